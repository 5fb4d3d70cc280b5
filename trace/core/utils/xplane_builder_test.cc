#include "trace/core/utils/xplane_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>


namespace zentrik {
namespace trace {
namespace {


constexpr uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();

void AddEventMetadata(XPlane* plane, int64_t key, int64_t id, const std::string& name) {
  XEventMetadata& metadata = (*plane->mutable_event_metadata())[key];
  metadata.set_id(id);
  metadata.set_name(name);
}

void AddStatMetadata(XPlane* plane, int64_t key, int64_t id, const std::string& name) {
  XStatMetadata& metadata = (*plane->mutable_stat_metadata())[key];
  metadata.set_id(id);
  metadata.set_name(name);
}

TEST(XPlaneBuilderTest, NewIdsContinueAboveExistingMetadata) {
  struct Entry {
    int64_t key;
    int64_t id;
  };
  struct Case {
    std::string what;
    std::vector<Entry> existing;
    int64_t expected_id;
  } cases[] = {
      {"ids 3 and 7", {{3, 3}, {7, 7}}, 8},
      {"the counter follows the id field, not the key", {{10, 3}}, 4},
      {"a key already holding the next id is skipped", {{4, 2}, {3, 3}}, 5},
      {"negative ids only", {{-5, -5}}, 1},
      {"the largest id wraps instead of overflowing",
       {{std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()}},
       std::numeric_limits<int64_t>::min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XPlane plane;
    for (const Entry& e : c.existing) {
      AddEventMetadata(&plane, e.key, e.id, "event" + std::to_string(e.key));
      AddStatMetadata(&plane, e.key, e.id, "stat" + std::to_string(e.key));
    }
    const XPlane before = plane;
    XPlaneBuilder builder(&plane);
    EXPECT_EQ(builder.GetOrCreateEventMetadata("new")->id(), c.expected_id);
    EXPECT_EQ(builder.GetOrCreateStatMetadata("new")->id(), c.expected_id);
    EXPECT_EQ(plane.event_metadata().at(c.expected_id).name(), "new");
    // Existing entries are never taken over.
    for (const Entry& e : c.existing) {
      EXPECT_EQ(plane.event_metadata().at(e.key).name(), before.event_metadata().at(e.key).name());
      EXPECT_EQ(plane.stat_metadata().at(e.key).name(), before.stat_metadata().at(e.key).name());
    }
  }
}

// Existing metadata and lines are found: the smallest key keeps a repeated
// name, the first line a repeated id; lines stay put as the plane grows.
TEST(XPlaneBuilderTest, FindsExistingMetadataAndLines) {
  XPlane plane;
  AddEventMetadata(&plane, 9, 9, "dup");
  AddEventMetadata(&plane, 2, 2, "dup");
  AddStatMetadata(&plane, 6, 6, "group_id");
  AddStatMetadata(&plane, 4, 4, "group_id");
  for (const char* name : {"first", "second"}) {
    XLine* line = plane.add_lines();
    line->set_id(5);
    line->set_name(name);
  }
  XPlaneBuilder builder(&plane);
  EXPECT_EQ(builder.GetOrCreateEventMetadata("dup"), &plane.mutable_event_metadata()->at(2));
  EXPECT_EQ(builder.GetOrCreateStatMetadata("group_id"), &plane.mutable_stat_metadata()->at(4));
  EXPECT_EQ(builder.GetOrCreateLine(5).line().name(), "first");
  XLineBuilder line7 = builder.GetOrCreateLine(7);
  for (int64_t id = 100; id < 200; ++id) builder.GetOrCreateLine(id);
  EXPECT_EQ(builder.GetOrCreateLine(7).mutable_line(), line7.mutable_line());
  EXPECT_EQ(plane.lines_size(), 103);
  EXPECT_EQ(plane.event_metadata_size(), 2);
}

// Add* always appends a stat of its own kind; FindOrAddMutableStat keeps one
// stat per metadata.
TEST(XPlaneBuilderTest, TypedStatsAreAppendedAndFindOrAddKeepsOnePerMetadata) {
  XPlane plane;
  XPlaneBuilder builder(&plane);
  const XStatMetadata& m = *builder.GetOrCreateStatMetadata("value");
  const XStatMetadata& other = *builder.GetOrCreateStatMetadata("other");
  XEventBuilder event = builder.GetOrCreateLine(0).AddEvent(*builder.GetOrCreateEventMetadata("e"));
  event.AddStatValue(m, int64_t{-1});
  event.AddStatValue(m, uint64_t{2});
  event.AddStatValue(m, 2.5);
  event.AddStatValue(m, std::string("text"));
  event.AddStatValue(m, "chars");
  event.AddStatValue(m, 7);   // int
  event.AddStatValue(m, 8u);  // unsigned
  for (const XStat& stat : event.event().stats()) EXPECT_EQ(stat.metadata_id(), m.id());
  EXPECT_EQ(event.event().stats(0).int64_value(), -1);
  EXPECT_EQ(event.event().stats(1).uint64_value(), 2u);
  EXPECT_EQ(event.event().stats(2).double_value(), 2.5);
  EXPECT_EQ(event.event().stats(4).str_value(), "chars");
  EXPECT_EQ(event.event().stats(5).value_case(), XStat::kInt64Value);
  EXPECT_EQ(event.event().stats(6).value_case(), XStat::kUint64Value);
  builder.AddStatValue(m, int64_t{3});
  builder.AddStatValue(m, int64_t{3});
  EXPECT_EQ(plane.stats_size(), 2);

  auto* stats = event.mutable_event()->mutable_stats();
  XStat* added = FindOrAddMutableStat(other, stats);
  EXPECT_EQ(added->metadata_id(), other.id());
  EXPECT_EQ(added->value_case(), XStat::VALUE_NOT_SET);
  EXPECT_EQ(FindOrAddMutableStat(other, stats), added);
  EXPECT_EQ(FindOrAddMutableStat(m, stats), &stats->at(0));
  EXPECT_EQ(stats->size(), 8);
}

TEST(XPlaneBuilderTest, TimesRelativeToTheLineWrapInsteadOfOverflowing) {
  struct Case {
    int64_t line_ns;
    uint64_t start_ns;
    uint64_t end_ns;
    int64_t offset_ps;
    int64_t duration_ps;
  } cases[] = {
      {1000, 1500, 1600, 500000, 100000},
      {1000, 1000, 1000, 0, 0},
      // Begun before its line: a negative offset, the duration still right.
      {1000, 400, 500, -600000, 100000},
      // Huge timestamps near the top of the range.
      {0, kAllOnes, kAllOnes, -1000, 0},
      {std::numeric_limits<int64_t>::max(), 0, 1, 1000, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start_ns);
    XPlane plane;
    XPlaneBuilder builder(&plane);
    XLineBuilder line = builder.GetOrCreateLine(1);
    line.SetTimestampNs(c.line_ns);
    XEventBuilder event = line.AddEvent(*builder.GetOrCreateEventMetadata("e"));
    event.SetTimestampNs(c.start_ns);
    event.SetEndTimestampNs(c.end_ns);
    EXPECT_EQ(event.event().offset_ps(), c.offset_ps);
    EXPECT_EQ(event.event().duration_ps(), c.duration_ps);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
