#include "trace/core/convert/derived_timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "testing/proto_bytes.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int64_t kStep = -559038737;
constexpr int64_t kOtherDerived = 0x1deadbeefLL;  // the derived low 32 bits, other high bits
using Line = std::tuple<int64_t, std::string, int64_t, int>;  // id, name, timestamp, events

// Each row's lines before and after on a device plane; a second run changes
// nothing unless the line that timed the step line was empty and is gone.
// Other planes are left alone; a plane with the stat metadata keeps it.
TEST(DerivedTimelineTest, PreparesTheStepLineOfADevicePlane) {
  const struct {
    std::vector<Line> before, after;
    bool second_run_same = true;
  } cases[] = {
      {{}, {}},
      {{{3, "Queue #3", 100, 0}}, {}},
      {{{2, "b", 200, 2}, {1, "a", 100, 1}}, {{2, "b", 200, 2}, {1, "a", 100, 1}}},
      {{{1, "a", 100, 0}, {2, "b", 200, 3}, {3, "c", 300, 0}, {4, "d", 400, 1}},
       {{2, "b", 200, 3}, {4, "d", 400, 1}}},
      {{{kStep, "old", 5, 2}, {1, "q", 700, 1}}, {{kStep, "Steps", 700, 2}, {1, "q", 700, 1}}},
      {{{kStep, "Steps", 5, 0}, {1, "q", 700, 1}}, {{1, "q", 700, 1}}},
      {{{1, "q", 300, 1}, {kStep, "x", 0, 1}, {2, "r", 800, 0}},
       {{1, "q", 300, 1}, {kStep, "Steps", 800, 1}},
       false},
      {{{kStep, "x", 0, 1}, {1, "q", 300, 1}, {kOtherDerived, "other", 900, 2}},
       {{kStep, "Steps", 300, 1}, {1, "q", 300, 1}, {kOtherDerived, "other", 900, 2}}},
      {{{kStep, "x", 0, 1}, {kStep, "y", 0, 1}, {1, "q", 300, 1}},
       {{kStep, "Steps", 300, 1}, {kStep, "y", 0, 1}, {1, "q", 300, 1}}},
  };
  for (size_t row = 0; row < std::size(cases); ++row) {
    const auto& c = cases[row];
    XSpace space, expected;
    for (XSpace* s : {&space, &expected}) {
      for (const char* name : {kHostPlaneName, "/device:ZRB:0", "device:ZRA:0", "/device:ZRA:1",
                               "/device:ZRA:0"}) {
        XPlane* plane = s->add_planes();
        plane->set_name(name);
        for (const auto& [id, line_name, timestamp, events] :
             s == &expected && plane->name().rfind("/device:ZRA:", 0) == 0 ? c.after : c.before) {
          XLine* line = plane->add_lines();
          line->set_id(id);
          line->set_name(line_name);
          line->set_timestamp_ns(timestamp);
          for (int i = 0; i < events; ++i) line->add_events()->set_offset_ps(i);
        }
      }
      for (auto [plane, id, name] : {std::tuple<int, int64_t, const char*>{3, 4, "step_name"},
                                     {3, 9, "group_id"}, {4, 1, "group_id"}, {4, 2, "step_name"}}) {
        if (plane == 4 && s == &space) continue;  // added by the pass
        (*s->mutable_planes(plane)->mutable_stat_metadata())[id].set_id(id);
        (*s->mutable_planes(plane)->mutable_stat_metadata())[id].set_name(name);
      }
    }
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    const std::string once = testing::DeterministicBytes(space);
    EXPECT_EQ(once, testing::DeterministicBytes(expected)) << "row " << row;
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    EXPECT_EQ(testing::DeterministicBytes(space) == once, c.second_run_same) << "row " << row;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
