#include "trace/core/convert/derived_timeline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "testing/proto_bytes.h"
#include "testing/xspace_reader.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pair;
using ::zentrik::testing::StatMetadataNames;

constexpr int64_t kStepLineId = -559038737;
// Low 32 bits of the derived-line id, other high bits.
constexpr int64_t kOtherDerivedId = 0x1deadbeefLL;

struct LineSpec {
  int64_t id;
  std::string name;
  int64_t timestamp_ns;
  int num_events;
  bool operator==(const LineSpec& o) const {
    return std::tie(id, name, timestamp_ns, num_events) ==
           std::tie(o.id, o.name, o.timestamp_ns, o.num_events);
  }
  friend std::ostream& operator<<(std::ostream& os, const LineSpec& l) {
    return os << "{" << l.id << ", " << l.name << ", " << l.timestamp_ns << ", " << l.num_events
              << "}";
  }
};

void AddLines(XPlane* plane, const std::vector<LineSpec>& lines) {
  for (const LineSpec& params : lines) {
    XLine* line = plane->add_lines();
    line->set_id(params.id);
    line->set_name(params.name);
    line->set_timestamp_ns(params.timestamp_ns);
    for (int i = 0; i < params.num_events; ++i) line->add_events()->set_offset_ps(i);
  }
}

std::vector<LineSpec> Lines(const XPlane& plane) {
  std::vector<LineSpec> lines;
  for (const XLine& line : plane.lines()) {
    lines.push_back({line.id(), line.name(), line.timestamp_ns(), line.events_size()});
  }
  return lines;
}

TEST(DerivedTimelineTest, PreparesTheStepLineOfADevicePlane) {
  struct Case {
    const char* label;
    std::vector<LineSpec> before;
    std::vector<LineSpec> after;
    // A second run changes nothing, unless the line that timed the step
    // line was empty and is gone.
    bool second_run_same = true;
  };
  const Case cases[] = {
      {"no lines", {}, {}},
      {"only an empty line", {{3, "Queue #3", 100, 0}}, {}},
      {"every line holds events",
       {{2, "b", 200, 2}, {1, "a", 100, 1}},
       {{2, "b", 200, 2}, {1, "a", 100, 1}}},
      {"empty lines among full ones",
       {{1, "a", 100, 0}, {2, "b", 200, 3}, {3, "c", 300, 0}, {4, "d", 400, 1}},
       {{2, "b", 200, 3}, {4, "d", 400, 1}}},
      {"a step line with events is kept, named and timed like the last ordinary line",
       {{kStepLineId, "old", 5, 2}, {1, "q", 700, 1}},
       {{kStepLineId, "Steps", 700, 2}, {1, "q", 700, 1}}},
      {"an empty step line is removed",
       {{kStepLineId, "Steps", 5, 0}, {1, "q", 700, 1}},
       {{1, "q", 700, 1}}},
      {"an empty ordinary line still times the step line",
       {{1, "q", 300, 1}, {kStepLineId, "x", 0, 1}, {2, "r", 800, 0}},
       {{1, "q", 300, 1}, {kStepLineId, "Steps", 800, 1}},
       /*second_run_same=*/false},
      {"lines with the derived low bits neither time nor become the step line",
       {{kStepLineId, "x", 0, 1}, {1, "q", 300, 1}, {kOtherDerivedId, "other", 900, 2}},
       {{kStepLineId, "Steps", 300, 1}, {1, "q", 300, 1}, {kOtherDerivedId, "other", 900, 2}}},
      {"only the first of two step lines is renamed",
       {{kStepLineId, "x", 0, 1}, {kStepLineId, "y", 0, 1}, {1, "q", 300, 1}},
       {{kStepLineId, "Steps", 300, 1}, {kStepLineId, "y", 0, 1}, {1, "q", 300, 1}}},
  };
  for (const Case& c : cases) {
    XSpace space;
    XPlane* device = space.add_planes();
    device->set_name("/device:ZRA:0");
    AddLines(device, c.before);
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    EXPECT_THAT(Lines(*device), ElementsAreArray(c.after)) << c.label;
    EXPECT_THAT(StatMetadataNames(*device), ElementsAre(Pair(1, "group_id"), Pair(2, "step_name")))
        << c.label;

    const std::string once = ::zentrik::testing::DeterministicBytes(space);
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    EXPECT_EQ(::zentrik::testing::DeterministicBytes(space) == once, c.second_run_same) << c.label;
  }
}

// Other planes are left alone; a device plane that has the stat metadata
// keeps it; the step line builder reuses only the exact id.
TEST(DerivedTimelineTest, LeavesOtherPlanesAndExistingMetadataAlone) {
  XSpace space;
  for (const char* name : {kHostPlaneName, "/device:ZRB:0", "device:ZRA:0", ""}) {
    XPlane* plane = space.add_planes();
    plane->set_name(name);
    AddLines(plane, {{1, "empty", 5, 0}});
  }
  XPlane* device = space.add_planes();
  device->set_name("/device:ZRA:1");
  for (auto [id, name] : {std::pair<int64_t, const char*>{4, "step_name"}, {9, "group_id"}}) {
    (*device->mutable_stat_metadata())[id].set_id(id);
    (*device->mutable_stat_metadata())[id].set_name(name);
  }
  AddLines(device, {{kOtherDerivedId, "other", 1, 1}});
  const XSpace before = space;
  BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(::zentrik::testing::DeterministicBytes(space.planes(i)),
              ::zentrik::testing::DeterministicBytes(before.planes(i)))
        << i;
  }
  EXPECT_THAT(StatMetadataNames(*device), ElementsAre(Pair(4, "step_name"), Pair(9, "group_id")));
  EXPECT_THAT(Lines(*device), ElementsAre(LineSpec{kOtherDerivedId, "other", 1, 1}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
