#include "trace/core/utils/xplane_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

XSpace SpaceWithPlanes(const std::vector<std::string>& names) {
  XSpace space;
  int64_t id = 0;
  for (const std::string& name : names) {
    XPlane* plane = space.add_planes();
    plane->set_name(name);
    plane->set_id(id++);
  }
  return space;
}

template <typename Plane>
std::vector<int64_t> Ids(const std::vector<Plane*>& planes) {
  std::vector<int64_t> ids;
  for (const auto* plane : planes) ids.push_back(plane->id());
  return ids;
}

TEST(XPlaneUtilsTest, PlaneLookupsReturnTheFirstExactMatch) {
  XSpace space = SpaceWithPlanes({"/device:ZRA:0", "/host:CPU", "/host:CPU", "/host:cpu"});
  ASSERT_NE(FindPlaneWithName(space, "/host:CPU"), nullptr);
  EXPECT_EQ(FindPlaneWithName(space, "/host:CPU"), &space.planes(1));
  EXPECT_EQ(FindMutablePlaneWithName(&space, "/host:CPU"), space.mutable_planes(1));
  EXPECT_EQ(FindPlaneWithName(space, "/host:cpu"), &space.planes(3));
  EXPECT_EQ(FindPlaneWithName(space, "/host"), nullptr);
  EXPECT_EQ(FindMutablePlaneWithName(&space, "/host:CPU "), nullptr);
  EXPECT_EQ(FindPlaneWithName(space, ""), nullptr);

  EXPECT_EQ(FindOrAddMutablePlaneWithName(&space, "/host:CPU"), space.mutable_planes(1));
  EXPECT_EQ(space.planes_size(), 4);
  XPlane* added = FindOrAddMutablePlaneWithName(&space, "/device:ZRA:1");
  ASSERT_EQ(space.planes_size(), 5);
  EXPECT_EQ(added, space.mutable_planes(4));
  XPlane only_name;
  only_name.set_name("/device:ZRA:1");
  EXPECT_EQ(added->SerializeAsString(), only_name.SerializeAsString());
}

TEST(XPlaneUtilsTest, PrefixLookupsKeepSpaceOrder) {
  XSpace space = SpaceWithPlanes({"/device:ZRA:0", "/host:CPU", "/device:ZRA:1", "/device:ZR"});
  EXPECT_EQ(Ids(FindPlanesWithPrefix(space, "/device:ZRA:")), (std::vector<int64_t>{0, 2}));
  EXPECT_EQ(Ids(FindMutablePlanesWithPrefix(&space, "/device:ZRA:")), (std::vector<int64_t>{0, 2}));
  EXPECT_EQ(Ids(FindPlanesWithPrefix(space, "/")), (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_TRUE(FindPlanesWithPrefix(space, "").empty());
  EXPECT_TRUE(FindMutablePlanesWithPrefix(&space, "").empty());
  EXPECT_TRUE(FindPlanesWithPrefix(space, "/gpu").empty());
  EXPECT_TRUE(FindPlanesWithPrefix(XSpace(), "/").empty());
}

TEST(XPlaneUtilsTest, NormalizeTimestampsShiftsOnlyLinesAtOrAfterTheStart) {
  const int64_t kNegative = -5;
  struct Case {
    uint64_t start;
    std::vector<int64_t> before;
    std::vector<int64_t> after;
  } cases[] = {
      {1000, {1500, 1000, 400}, {500, 0, 400}},
      {0, {1500, 0, kNegative}, {1500, 0, kNegative}},
      // A negative timestamp reads as a huge unsigned one, which is after the
      // start: it is shifted by wrapping arithmetic.
      {10, {kNegative}, {kNegative - 10}},
      {std::numeric_limits<uint64_t>::max(), {kNegative, -1}, {kNegative, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    XSpace space = SpaceWithPlanes({"/host:CPU", "/device:ZRA:0"});
    for (XPlane& plane : *space.mutable_planes()) {
      for (int64_t timestamp : c.before) {
        XLine* line = plane.add_lines();
        line->set_timestamp_ns(timestamp);
        line->add_events()->set_offset_ps(7);
      }
    }
    NormalizeTimestamps(&space, c.start);
    for (const XPlane& plane : space.planes()) {
      std::vector<int64_t> after;
      for (const XLine& line : plane.lines()) {
        after.push_back(line.timestamp_ns());
        EXPECT_EQ(line.events(0).offset_ps(), 7);
      }
      EXPECT_EQ(after, c.after);
    }
  }
}

struct EventTime {
  // Unset: the event holds a count of occurrences instead of an offset.
  bool has_offset;
  int64_t offset;
  int64_t duration;
};

std::vector<std::pair<int64_t, int64_t>> SortedEvents(const std::vector<EventTime>& events) {
  XPlane plane;
  XLine* line = plane.add_lines();
  for (const EventTime& e : events) {
    XEvent* event = line->add_events();
    if (e.has_offset) {
      event->set_offset_ps(e.offset);
    } else {
      event->set_num_occurrences(3);
    }
    event->set_duration_ps(e.duration);
  }
  SortXPlane(&plane);
  std::vector<std::pair<int64_t, int64_t>> order;
  for (const XEvent& event : line->events()) {
    order.emplace_back(event.offset_ps(), event.duration_ps());
  }
  return order;
}

TEST(XPlaneUtilsTest, SortXPlaneOrdersByOffsetThenLongerFirstComparingUnsigned) {
  using Order = std::vector<std::pair<int64_t, int64_t>>;
  EXPECT_EQ(SortedEvents({{true, 10, 5}, {true, 10, 20}, {true, 0, 1}}),
            (Order{{0, 1}, {10, 20}, {10, 5}}));
  // A negative offset is a huge unsigned one.
  EXPECT_EQ(SortedEvents({{true, -1, 0}, {true, 5, 0}, {true, 0, 0}}),
            (Order{{0, 0}, {5, 0}, {-1, 0}}));
  // A negative duration is a huge unsigned one, so it comes first.
  EXPECT_EQ(SortedEvents({{true, 1, 5}, {true, 1, -1}}), (Order{{1, -1}, {1, 5}}));
  // A count of occurrences sorts as offset 0 (and reads back offset 0).
  EXPECT_EQ(SortedEvents({{true, 4, 0}, {false, 0, 2}, {true, 0, 9}}),
            (Order{{0, 9}, {0, 2}, {4, 0}}));
}

TEST(XPlaneUtilsTest, SortKeepsEqualEventsInOrderAndMovesNoMessage) {
  XSpace space = SpaceWithPlanes({"a", "b"});
  std::vector<const XEvent*> expected;
  for (XPlane& plane : *space.mutable_planes()) {
    XLine* line = plane.add_lines();
    for (int i = 0; i < 100; ++i) {
      XEvent* event = line->add_events();
      event->set_offset_ps((99 - i) / 10);
      event->set_duration_ps(1);
      event->set_metadata_id(i);
    }
  }
  const XEvent* first_at_offset_zero = &space.planes(0).lines(0).events(90);
  SortXSpace(&space);
  for (const XPlane& plane : space.planes()) {
    const auto& events = plane.lines(0).events();
    for (int i = 1; i < events.size(); ++i) {
      const XEvent& prev = events[i - 1];
      const XEvent& cur = events[i];
      ASSERT_LE(prev.offset_ps(), cur.offset_ps());
      // Equal keys: the earlier event (smaller original index) stays first.
      if (prev.offset_ps() == cur.offset_ps()) {
        EXPECT_LT(prev.metadata_id(), cur.metadata_id());
      }
    }
  }
  EXPECT_EQ(&space.planes(0).lines(0).events(0), first_at_offset_zero);
}

std::vector<std::string> LineNames(const XPlane& plane) {
  std::vector<std::string> names;
  for (const XLine& line : plane.lines()) names.push_back(line.name());
  return names;
}

TEST(XPlaneUtilsTest, SortHostPlaneLinesOrdersTheFirstHostPlaneByDisplayNameOrName) {
  XSpace space = SpaceWithPlanes({"/device:ZRA:0", "/host:CPU", "/host:CPU"});
  struct Line {
    std::string name;
    std::string display_name;
  };
  const std::vector<Line> lines = {{"b", ""},        {"a", "z"},        {"c", ""},  {"\xc3", ""},
                                   {"worker/7", ""}, {"worker/12", ""}, {"ab", ""}, {"x", "a"}};
  for (XPlane& plane : *space.mutable_planes()) {
    for (const Line& l : lines) {
      XLine* line = plane.add_lines();
      line->set_name(l.name);
      line->set_display_name(l.display_name);
    }
  }
  SortHostPlaneLines(&space);
  EXPECT_EQ(LineNames(space.planes(1)),
            (std::vector<std::string>{"x", "ab", "b", "c", "worker/12", "worker/7", "a", "\xc3"}));
  const std::vector<std::string> unsorted = {"b",        "a",         "c",  "\xc3",
                                             "worker/7", "worker/12", "ab", "x"};
  EXPECT_EQ(LineNames(space.planes(0)), unsorted);
  EXPECT_EQ(LineNames(space.planes(2)), unsorted);
}

TEST(XPlaneUtilsTest, SortHostPlaneLinesAddsAMissingHostPlane) {
  XSpace space = SpaceWithPlanes({"/device:ZRA:0"});
  SortHostPlaneLines(&space);
  ASSERT_EQ(space.planes_size(), 2);
  XPlane only_name;
  only_name.set_name("/host:CPU");
  EXPECT_EQ(space.planes(1).SerializeAsString(), only_name.SerializeAsString());
  SortHostPlaneLines(&space);
  EXPECT_EQ(space.planes_size(), 2);
}

TEST(XPlaneUtilsTest, RemoveEmptyLinesKeepsTheOthersInOrder) {
  struct Case {
    std::vector<int> events_per_line;
    std::vector<int64_t> kept_ids;
  } cases[] = {
      {{0, 3, 0, 1}, {1, 3}},
      {{0, 0, 0}, {}},
      {{}, {}},
      {{2, 1}, {0, 1}},
      {{1, 0, 0, 0, 1, 0, 1, 1, 0}, {0, 4, 6, 7}},
  };
  for (const Case& c : cases) {
    XPlane plane;
    int64_t id = 0;
    for (int count : c.events_per_line) {
      XLine* line = plane.add_lines();
      line->set_id(id++);
      line->set_name("kept regardless of name");
      for (int i = 0; i < count; ++i) line->add_events()->set_metadata_id(i);
    }
    RemoveEmptyLines(&plane);
    std::vector<int64_t> ids;
    for (const XLine& line : plane.lines()) {
      ids.push_back(line.id());
      EXPECT_EQ(line.events_size(), c.events_per_line[line.id()]);
    }
    EXPECT_EQ(ids, c.kept_ids);
  }
}

TEST(XPlaneUtilsTest, RemoveEmptyLinesOnManyLines) {
  XPlane plane;
  constexpr int kLines = 20000;
  std::vector<const XLine*> kept;
  for (int i = 0; i < kLines; ++i) {
    XLine* line = plane.add_lines();
    line->set_id(i);
    if (i % 3 == 1) {
      line->add_events();
      kept.push_back(line);
    }
  }
  RemoveEmptyLines(&plane);
  ASSERT_EQ(plane.lines_size(), static_cast<int>(kept.size()));
  for (int i = 0; i < plane.lines_size(); ++i) {
    // The kept messages themselves moved down, not copies of them.
    EXPECT_EQ(&plane.lines(i), kept[i]);
    EXPECT_EQ(plane.lines(i).id(), 3 * i + 1);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
