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
    XSpace space = SpaceWithPlanes({"/host:CPU", "/device:ZRA:0"});
    for (XPlane& plane : *space.mutable_planes()) {
      for (int64_t timestamp : c.before) plane.add_lines()->set_timestamp_ns(timestamp);
    }
    NormalizeTimestamps(&space, c.start);
    for (const XPlane& plane : space.planes()) {
      std::vector<int64_t> after;
      for (const XLine& line : plane.lines()) after.push_back(line.timestamp_ns());
      EXPECT_EQ(after, c.after) << c.start;
    }
  }
}

TEST(XPlaneUtilsTest, SortXPlaneOrdersByOffsetThenLongerFirstComparingUnsigned) {
  // {has offset, offset, duration}; without an offset the event holds a
  // count of occurrences and sorts as offset 0.
  using Order = std::vector<std::pair<int64_t, int64_t>>;
  const struct {
    std::vector<std::tuple<bool, int64_t, int64_t>> events;
    Order sorted;
  } cases[] = {
      {{{true, 10, 5}, {true, 10, 20}, {true, 0, 1}}, {{0, 1}, {10, 20}, {10, 5}}},
      {{{true, -1, 0}, {true, 5, 0}, {true, 0, 0}}, {{0, 0}, {5, 0}, {-1, 0}}},
      {{{true, 1, 5}, {true, 1, -1}}, {{1, -1}, {1, 5}}},
      {{{true, 4, 0}, {false, 0, 2}, {true, 0, 9}}, {{0, 9}, {0, 2}, {4, 0}}},
  };
  for (const auto& c : cases) {
    XPlane plane;
    XLine* line = plane.add_lines();
    for (const auto& [has_offset, offset, duration] : c.events) {
      XEvent* event = line->add_events();
      if (has_offset) {
        event->set_offset_ps(offset);
      } else {
        event->set_num_occurrences(3);
      }
      event->set_duration_ps(duration);
    }
    SortXPlane(&plane);
    Order order;
    for (const XEvent& event : line->events()) {
      order.emplace_back(event.offset_ps(), event.duration_ps());
    }
    EXPECT_EQ(order, c.sorted) << c.events.size();
  }
}

// Equal keys keep their order, whether the line was sorted already (which
// sorting then leaves alone) or not; no message moves.
TEST(XPlaneUtilsTest, SortKeepsEqualEventsInOrderAndMovesNoMessage) {
  XSpace space = SpaceWithPlanes({"unsorted", "sorted"});
  for (XPlane& plane : *space.mutable_planes()) {
    XLine* line = plane.add_lines();
    for (int i = 0; i < 100; ++i) {
      XEvent* event = line->add_events();
      event->set_offset_ps(plane.name() == "sorted" ? i / 10 : (99 - i) / 10);
      event->set_duration_ps(1);
      event->set_metadata_id(i);
    }
  }
  const XEvent* first_at_offset_zero = &space.planes(0).lines(0).events(90);
  SortXSpace(&space);
  for (const XPlane& plane : space.planes()) {
    const auto& events = plane.lines(0).events();
    for (int i = 1; i < events.size(); ++i) {
      ASSERT_LE(events[i - 1].offset_ps(), events[i].offset_ps()) << plane.name();
      if (events[i - 1].offset_ps() == events[i].offset_ps()) {
        EXPECT_LT(events[i - 1].metadata_id(), events[i].metadata_id()) << plane.name();
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
  const std::pair<std::string, std::string> lines[] = {
      {"b", ""}, {"a", "z"}, {"c", ""}, {"\xc3", ""}, {"worker/7", ""}, {"worker/12", ""},
      {"ab", ""}, {"x", "a"}};
  for (XPlane& plane : *space.mutable_planes()) {
    for (const auto& [name, display_name] : lines) {
      XLine* line = plane.add_lines();
      line->set_name(name);
      line->set_display_name(display_name);
    }
  }
  SortHostPlaneLines(&space);
  EXPECT_EQ(LineNames(space.planes(1)),
            (std::vector<std::string>{"x", "ab", "b", "c", "worker/12", "worker/7", "a", "\xc3"}));
  EXPECT_EQ(LineNames(space.planes(2))[0], "b");
  EXPECT_EQ(LineNames(space.planes(0))[0], "b");

  XSpace without_host = SpaceWithPlanes({"/device:ZRA:0"});
  SortHostPlaneLines(&without_host);
  ASSERT_EQ(without_host.planes_size(), 2);
  EXPECT_EQ(without_host.planes(1).name(), "/host:CPU");
}

TEST(XPlaneUtilsTest, RemoveEmptyLinesKeepsTheOthersInOrder) {
  const std::pair<std::vector<int>, std::vector<int64_t>> cases[] = {
      {{0, 3, 0, 1}, {1, 3}},
      {{0, 0, 0}, {}},
      {{}, {}},
      {{1, 0, 0, 0, 1, 0, 1, 1, 0}, {0, 4, 6, 7}},
  };
  for (const auto& [events_per_line, kept_ids] : cases) {
    XPlane plane;
    for (size_t id = 0; id < events_per_line.size(); ++id) {
      XLine* line = plane.add_lines();
      line->set_id(static_cast<int64_t>(id));
      for (int i = 0; i < events_per_line[id]; ++i) line->add_events();
    }
    RemoveEmptyLines(&plane);
    std::vector<int64_t> ids;
    for (const XLine& line : plane.lines()) ids.push_back(line.id());
    EXPECT_EQ(ids, kept_ids);
  }
  // Many lines: one pass that moves the kept messages themselves down.
  XPlane plane;
  std::vector<const XLine*> kept;
  for (int i = 0; i < 20000; ++i) {
    XLine* line = plane.add_lines();
    if (i % 3 == 1) {
      line->add_events();
      kept.push_back(line);
    }
  }
  RemoveEmptyLines(&plane);
  ASSERT_EQ(plane.lines_size(), static_cast<int>(kept.size()));
  for (int i = 0; i < plane.lines_size(); ++i) ASSERT_EQ(&plane.lines(i), kept[i]);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
