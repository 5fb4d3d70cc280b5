#include "trace/core/utils/xplane_visitor.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

// A getter that knows the names of `table`.
TypeGetter TableGetter(std::map<std::string, int64_t> table) {
  return [table](std::string name) -> std::unique_ptr<int64_t> {
    auto it = table.find(name);
    if (it == table.end()) return nullptr;
    return std::make_unique<int64_t>(it->second);
  };
}

void AddEventMetadata(XPlane* plane, int64_t key, const std::string& name) {
  XEventMetadata& metadata = (*plane->mutable_event_metadata())[key];
  metadata.set_id(key);
  metadata.set_name(name);
}

void AddStatMetadata(XPlane* plane, int64_t key, const std::string& name) {
  XStatMetadata& metadata = (*plane->mutable_stat_metadata())[key];
  metadata.set_id(key);
  metadata.set_name(name);
}

// Ids the plane lacks read as type 0 and default metadata; a repeated stat
// name's metadata is its smallest key; metadata added later has no type.
// Dense ids are looked up in tables, sparse and negative ones in maps.
TEST(XPlaneVisitorTest, UnknownRepeatedSparseAndLateMetadata) {
  for (const int64_t base : {int64_t{1}, int64_t{1} << 40, int64_t{-100}}) {
    SCOPED_TRACE(base);
    XPlane plane;
    AddEventMetadata(&plane, base + 5, "TaskLaunch");
    AddStatMetadata(&plane, base + 9, "group_id");
    AddStatMetadata(&plane, base + 4, "group_id");
    XPlaneVisitor visitor(&plane, {TableGetter({{"TaskLaunch", 3}})},
                          {TableGetter({{"group_id", 38}, {"late", 39}})});
    EXPECT_EQ(visitor.GetEventMetadata(base + 5)->name(), "TaskLaunch");
    EXPECT_EQ(visitor.GetEventType(base + 5), 3);
    EXPECT_EQ(visitor.GetEventMetadata(base + 6), &XEventMetadata::default_instance());
    EXPECT_EQ(visitor.GetStatType(base + 9), 38);
    EXPECT_EQ(visitor.GetStatType(base + 4), 38);
    EXPECT_EQ(visitor.GetStatMetadataByType(38), &plane.stat_metadata().at(base + 4));
    EXPECT_EQ(visitor.GetStatMetadata(base + 3), &XStatMetadata::default_instance());
    EXPECT_EQ(visitor.GetStatType(base + 3), 0);

    AddStatMetadata(&plane, base + 2, "late");
    EXPECT_EQ(visitor.GetStatType(base + 2), 0);
    EXPECT_EQ(visitor.GetStatMetadataByType(39), nullptr);
    EXPECT_EQ(visitor.GetStatMetadata(base + 2)->name(), "late");

    XLine line;
    XEvent* event = line.add_events();
    event->set_metadata_id(base + 42);
    XStat* stat = event->add_stats();
    stat->set_metadata_id(base + 43);
    stat->set_int64_value(1);
    XEventVisitor event_visitor(&visitor, &line, event);
    EXPECT_EQ(event_visitor.Type(), 0);
    EXPECT_EQ(event_visitor.Name(), "");
    XStatVisitor stat_visitor(&visitor, stat);
    EXPECT_EQ(stat_visitor.Type(), 0);
    EXPECT_EQ(stat_visitor.ToString(), "1");
    EXPECT_FALSE(event_visitor.GetStat(38).has_value());
  }
}

// The first stat of a type, the event's and the plane's own, read through
// copies and moves of the visitor that outlive the original.
TEST(XPlaneVisitorTest, GetStatFindsTheFirstStatOfTheTypeThroughAnyCopy) {
  XPlane plane;
  XPlaneBuilder builder(&plane);
  const XStatMetadata& group_id = *builder.GetOrCreateStatMetadata("group_id");
  const XStatMetadata& other = *builder.GetOrCreateStatMetadata("other");
  builder.GetOrCreateStatMetadata("step_name");
  XEventBuilder event =
      builder.GetOrCreateLine(1).AddEvent(*builder.GetOrCreateEventMetadata("TaskLaunch"));
  event.AddStatValue(other, int64_t{0});
  event.AddStatValue(group_id, int64_t{1});
  event.AddStatValue(group_id, int64_t{2});
  builder.AddStatValue(group_id, int64_t{7});

  std::deque<XPlaneVisitor> kept;
  {
    auto visitor = std::make_unique<XPlaneVisitor>(&plane, TypeGetterList{FindHostEventType},
                                                   TypeGetterList{FindStatType});
    kept.push_back(*visitor);
    kept.push_back(std::move(*visitor));
  }
  for (const XPlaneVisitor& visitor : kept) {
    XEventVisitor event_visitor(&visitor, &plane.lines(0), &plane.lines(0).events(0));
    EXPECT_EQ(event_visitor.Type(), 3);
    auto stat = event_visitor.GetStat(38);
    ASSERT_TRUE(stat.has_value());
    EXPECT_EQ(&stat->RawStat(), &plane.lines(0).events(0).stats(1));
    EXPECT_EQ(stat->Name(), "group_id");
    // Known to the plane, absent from the event; unknown to the plane.
    EXPECT_FALSE(event_visitor.GetStat(39).has_value());
    EXPECT_FALSE(event_visitor.GetStat(40).has_value());
    ASSERT_TRUE(visitor.GetStat(38).has_value());
    EXPECT_EQ(visitor.GetStat(38)->IntValue(), 7);
    std::vector<std::string> seen;
    event_visitor.ForEachStat([&](const XStatVisitor& s) {
      seen.push_back(s.Name() + "=" + s.ToString() + "/" + std::to_string(s.Type()));
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"other=0/0", "group_id=1/38", "group_id=2/38"}));
  }
}

TEST(XStatVisitorTest, ToStringAndStrOrRefValueByKindOfValue) {
  XPlane plane;
  AddStatMetadata(&plane, 1, "value");
  AddStatMetadata(&plane, 2, "referenced name");
  XPlaneVisitor visitor(&plane);
  struct Case {
    std::string what;
    std::function<void(XStat*)> set;
    std::string text;
    std::string str_or_ref;
  } cases[] = {
      {"double", [](XStat* s) { s->set_double_value(1.5); }, "1.500000", ""},
      {"largest uint64",
       [](XStat* s) { s->set_uint64_value(std::numeric_limits<uint64_t>::max()); },
       "18446744073709551615", ""},
      {"string", [](XStat* s) { s->set_str_value("text"); }, "text", "text"},
      {"bytes", [](XStat* s) { s->set_bytes_value(std::string("\0\1", 2)); }, "<opaque bytes>", ""},
      {"reference", [](XStat* s) { s->set_ref_value(2); }, "referenced name", "referenced name"},
      {"reference to a missing key", [](XStat* s) { s->set_ref_value(77); }, "", ""},
      {"reference beyond int64",
       [](XStat* s) { s->set_ref_value(std::numeric_limits<uint64_t>::max()); }, "", ""},
      {"no value", [](XStat*) {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XStat stat;
    stat.set_metadata_id(1);
    c.set(&stat);
    XStatVisitor stat_visitor(&visitor, &stat);
    EXPECT_EQ(stat_visitor.ToString(), c.text);
    EXPECT_EQ(stat_visitor.StrOrRefValue(), c.str_or_ref);
    EXPECT_EQ(stat_visitor.Name(), "value");
  }
}

TEST(XEventVisitorTest, StartsAtTheLineTimestampPlusTheOffsetInUnsignedArithmetic) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const struct {
    int64_t line_ns;
    bool has_offset;  // else a count of occurrences, which reads as offset 0
    int64_t offset_ps;
    int64_t duration_ps;
    uint64_t start_ps;
  } cases[] = {
      {3, true, 2500, 10, 5500},
      {3, false, 9, 1, 3000},
      {1, true, -2000, 0, uint64_t{0} - 1000},
      {kMax, true, kMax, 0, static_cast<uint64_t>(kMax) * 1001},
  };
  XPlane plane;
  XPlaneVisitor visitor(&plane);
  for (const auto& c : cases) {
    XLine line;
    line.set_timestamp_ns(c.line_ns);
    XEvent* event = line.add_events();
    if (c.has_offset) {
      event->set_offset_ps(c.offset_ps);
    } else {
      event->set_num_occurrences(c.offset_ps);
    }
    event->set_duration_ps(c.duration_ps);
    XEventVisitor event_visitor(&visitor, &line, event);
    EXPECT_EQ(event_visitor.TimestampPs(), c.start_ps) << c.offset_ps;
    EXPECT_EQ(event_visitor.EndTimestampPs(), c.start_ps + static_cast<uint64_t>(c.duration_ps));
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
