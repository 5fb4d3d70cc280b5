#include "trace/core/utils/xplane_utils.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <utility>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

// Only lines at or after the start shift; a negative timestamp reads as a
// huge unsigned one, which is after the start, and shifts by wrapping.
TEST(XPlaneUtilsTest, NormalizeTimestampsShiftsOnlyLinesAtOrAfterTheStart) {
  const struct {
    uint64_t start;
    std::vector<int64_t> before, after;
  } cases[] = {{1000, {1500, 1000, 400, -5}, {500, 0, 400, -1005}},
               {std::numeric_limits<uint64_t>::max(), {-5, -1}, {-5, 0}}};
  for (const auto& c : cases) {
    XSpace space;
    for (int64_t timestamp : c.before) space.add_planes()->add_lines()->set_timestamp_ns(timestamp);
    NormalizeTimestamps(&space, c.start);
    std::vector<int64_t> after;
    for (const XPlane& plane : space.planes()) after.push_back(plane.lines(0).timestamp_ns());
    EXPECT_EQ(after, c.after) << c.start;
  }
}

// By offset compared unsigned, then longer first; an event holding a count
// of occurrences instead of an offset sorts as offset 0.
TEST(XPlaneUtilsTest, SortXPlaneOrdersByOffsetThenLongerFirstComparingUnsigned) {
  using Event = std::tuple<bool, int64_t, int64_t>;  // has offset, offset, duration
  const std::pair<std::vector<Event>, std::vector<Event>> cases[] = {
      {{{true, -1, 0}, {true, 10, 5}, {true, 10, -1}, {true, 10, 20}, {true, 0, 1}},
       {{true, 0, 1}, {true, 10, -1}, {true, 10, 20}, {true, 10, 5}, {true, -1, 0}}},
      {{{true, 4, 0}, {false, 0, 2}, {true, 0, 9}}, {{true, 0, 9}, {false, 0, 2}, {true, 4, 0}}},
  };
  for (const auto& [events, sorted] : cases) {
    XPlane plane;
    XLine* line = plane.add_lines();
    for (const auto& [has_offset, offset, duration] : events) {
      XEvent* event = line->add_events();
      has_offset ? event->set_offset_ps(offset) : event->set_num_occurrences(3);
      event->set_duration_ps(duration);
    }
    SortXPlane(&plane);
    std::vector<Event> order;
    for (const XEvent& e : line->events()) {
      order.emplace_back(e.has_offset_ps(), e.offset_ps(), e.duration_ps());
    }
    EXPECT_EQ(order, sorted) << events.size();
  }
}

// One pass moves the kept messages themselves down, in order.
TEST(XPlaneUtilsTest, RemoveEmptyLinesKeepsTheOthersInOrder) {
  XPlane plane;
  std::vector<const XLine*> kept;
  for (int i = 0; i < 20000; ++i) {
    XLine* line = plane.add_lines();
    if (i % 3 == 1 || i % 7 == 0) {
      line->add_events();
      kept.push_back(line);
    }
  }
  RemoveEmptyLines(&plane);
  ASSERT_EQ(plane.lines_size(), static_cast<int>(kept.size()));
  for (int i = 0; i < plane.lines_size(); ++i) ASSERT_EQ(&plane.lines(i), kept[i]) << i;
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
