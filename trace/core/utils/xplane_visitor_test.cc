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

TypeGetter KnowsNothing() {
  return [](std::string) { return std::unique_ptr<int64_t>(); };
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

TEST(XPlaneVisitorTest, ResolvesTypesByTheFirstGetterThatKnowsTheName) {
  XPlane plane;
  AddEventMetadata(&plane, 5, "TaskLaunch");
  AddEventMetadata(&plane, 7, "Other");
  const TypeGetter host_events = FindHostEventType;
  const struct {
    TypeGetterList getters;
    int64_t type_of_5;
    int64_t type_of_7;
  } cases[] = {
      {{}, 0, 0},
      {{KnowsNothing(), host_events}, 3, 0},
      {{TableGetter({{"TaskLaunch", 9}}), host_events}, 9, 0},
      {{host_events, TableGetter({{"Other", 11}, {"TaskLaunch", 12}})}, 3, 11},
  };
  for (const auto& c : cases) {
    XPlaneVisitor visitor(&plane, c.getters, {});
    EXPECT_EQ(visitor.GetEventType(5), c.type_of_5) << c.getters.size();
    EXPECT_EQ(visitor.GetEventType(7), c.type_of_7) << c.getters.size();
    EXPECT_EQ(visitor.GetEventType(6), 0);
  }
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

TEST(XPlaneVisitorTest, GetStatFindsTheFirstStatOfTheType) {
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

  XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
  XEventVisitor event_visitor(&visitor, &plane.lines(0), &plane.lines(0).events(0));
  EXPECT_EQ(event_visitor.Type(), 3);
  EXPECT_EQ(event_visitor.Name(), "TaskLaunch");
  auto stat = event_visitor.GetStat(38);
  ASSERT_TRUE(stat.has_value());
  EXPECT_EQ(stat->IntValue(), 1);
  EXPECT_EQ(stat->Type(), 38);
  EXPECT_EQ(stat->Name(), "group_id");
  EXPECT_EQ(&stat->RawStat(), &plane.lines(0).events(0).stats(1));
  // Known to the plane, absent from the event; unknown to the plane.
  EXPECT_FALSE(event_visitor.GetStat(39).has_value());
  EXPECT_FALSE(event_visitor.GetStat(40).has_value());
  // The plane's own stats.
  auto plane_stat = visitor.GetStat(38);
  ASSERT_TRUE(plane_stat.has_value());
  EXPECT_EQ(plane_stat->IntValue(), 7);

  std::vector<std::string> seen;
  event_visitor.ForEachStat([&](const XStatVisitor& s) {
    seen.push_back(s.Name() + "=" + s.ToString() + "/" + std::to_string(s.Type()));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"other=0/0", "group_id=1/38", "group_id=2/38"}));
  seen.clear();
  visitor.ForEachStat([&](const XStatVisitor& s) { seen.push_back(s.ToString()); });
  EXPECT_EQ(seen, std::vector<std::string>{"7"});
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
  struct Case {
    std::string what;
    int64_t line_ns;
    std::function<void(XEvent*)> set;
    uint64_t start_ps;
    uint64_t end_ps;
  } cases[] = {
      {"offset", 3,
       [](XEvent* e) {
         e->set_offset_ps(2500);
         e->set_duration_ps(10);
       },
       5500, 5510},
      {"count of occurrences", 3,
       [](XEvent* e) {
         e->set_num_occurrences(9);
         e->set_duration_ps(1);
       },
       3000, 3001},
      {"negative offset", 1, [](XEvent* e) { e->set_offset_ps(-2000); }, uint64_t{0} - 1000,
       uint64_t{0} - 1000},
      {"huge timestamp wraps", std::numeric_limits<int64_t>::max(),
       [](XEvent* e) { e->set_offset_ps(std::numeric_limits<int64_t>::max()); },
       static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) * 1001,
       static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) * 1001},
  };
  XPlane plane;
  XPlaneVisitor visitor(&plane);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XLine line;
    line.set_timestamp_ns(c.line_ns);
    XEvent* event = line.add_events();
    c.set(event);
    XEventVisitor event_visitor(&visitor, &line, event);
    EXPECT_EQ(event_visitor.TimestampPs(), c.start_ps);
    EXPECT_EQ(event_visitor.EndTimestampPs(), c.end_ps);
  }
}

TEST(XPlaneVisitorTest, CopiesOutliveTheOriginal) {
  XPlane plane;
  XPlaneBuilder builder(&plane);
  const XStatMetadata& group_id = *builder.GetOrCreateStatMetadata("group_id");
  builder.AddStatValue(group_id, int64_t{5});
  XEventBuilder event =
      builder.GetOrCreateLine(1).AddEvent(*builder.GetOrCreateEventMetadata("TaskExecute"));
  event.AddStatValue(group_id, int64_t{6});

  std::deque<XPlaneVisitor> kept;
  {
    auto visitor =
        std::make_unique<XPlaneVisitor>(&plane, TypeGetterList{TableGetter({{"TaskExecute", 4}})},
                                        TypeGetterList{TableGetter({{"group_id", 38}})});
    kept.push_back(*visitor);
    std::vector<XPlaneVisitor> moved;
    moved.push_back(std::move(*visitor));
    kept.push_back(std::move(moved.back()));
  }
  for (const XPlaneVisitor& copy : kept) {
    ASSERT_TRUE(copy.GetStat(38).has_value());
    EXPECT_EQ(copy.GetStat(38)->IntValue(), 5);
    XEventVisitor event_visitor(&copy, &plane.lines(0), &plane.lines(0).events(0));
    EXPECT_EQ(event_visitor.Type(), 4);
    ASSERT_TRUE(event_visitor.GetStat(38).has_value());
    EXPECT_EQ(event_visitor.GetStat(38)->ToString(), "6");
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
