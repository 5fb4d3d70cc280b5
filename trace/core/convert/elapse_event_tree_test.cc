#include "trace/core/convert/elapse_event_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

// A host event named by its id; `traceme` -1 makes it a runtime call.
struct EventShape {
  int64_t id, line, start, end, traceme = 1;
  std::vector<std::string> device = {};  // Names of its device events.
};

std::vector<ElapseEvent> Events(const std::vector<EventShape>& shapes) {
  std::vector<ElapseEvent> events;
  for (const EventShape& shape : shapes) {
    ElapseEvent& event = events.emplace_back();
    event.id = shape.id;
    event.line_id = event.thread_id = shape.line;
    event.start_ns = shape.start;
    event.end_ns = shape.end;
    event.traceme_correlation_id = shape.traceme;
    for (const std::string& name : shape.device) event.device_events.emplace_back().name = name;
  }
  return events;
}

// Event by event: id, ^parent, >children, @device event names.
std::string LinksOf(const std::vector<ElapseEvent>& events) {
  std::map<int64_t, std::string> links;
  for (const ElapseEvent& event : events) {
    std::string& text = links[event.id] = std::to_string(event.id);
    if (event.parent_id != -1) text += "^" + std::to_string(event.parent_id);
    for (size_t i = 0; i < event.child_ids.size(); ++i) {
      text += (i == 0 ? ">" : ",") + std::to_string(event.child_ids[i]);
    }
    for (size_t i = 0; i < event.device_events.size(); ++i) {
      text += (i == 0 ? "@" : ",") + event.device_events[i].name;
    }
  }
  std::string result;
  for (const auto& [id, text] : links) result += (result.empty() ? "" : " ") + text;
  return result;
}

TEST(ConvertHostEventsTest, NestsAndAttachesPerThread) {
  const std::pair<std::vector<EventShape>, std::string> cases[] = {
      // Input order does not matter; at equal starts the longer encloses.
      {{{3, 7, 150, 160}, {2, 7, 0, 20}, {1, 7, 0, 100}}, "1>2 2^1 3"},
      // Overlapping siblings: one parent, the later sibling.
      {{{1, 7, 0, 100}, {2, 7, 10, 50}, {3, 7, 20, 60}, {4, 7, 25, 45}}, "1>2,3 2^1 3^1>4 4^3"},
      // A call gives its device events to every enclosing event, but only to
      // the first enclosing top-level one; one overlapping its neighbour does
      // not hide later calls.
      {{{1, 7, 0, 100}, {2, 7, 50, 200}, {3, 7, 10, 150, -1, {"a"}}, {4, 7, 20, 30, -1, {"b"}}},
       "1@b 2 3@a 4@b"},
      {{{1, 7, 0, 100}, {2, 7, 10, 20}, {3, 7, 12, 15, -1, {"k"}}, {4, 7, 60, 90, -1, {"m"}}},
       "1>2@k,m 2^1@k 3@k 4@m"},
      // Calls attach in start order; calls on other threads or outside stay.
      {{{1, 7, 0, 100},
        {2, 7, 60, 61, -1, {"late"}},
        {3, 7, 10, 11, -1, {"early", "early2"}},
        {4, 8, 10, 11, -1, {"other"}},
        {5, 7, 90, 120, -1, {"outside"}}},
       "1@early,early2,late 2@late 3@early,early2 4@other 5@outside"},
  };
  for (const auto& [shapes, expected] : cases) {
    std::vector<ElapseEvent> events = Events(shapes);
    ConvertHostEvents(0, &events);
    EXPECT_EQ(LinksOf(events), expected);
  }
}

// Scale guard: neither a scan of every sibling per insertion or call nor a
// recursion per level.
TEST(ConvertHostEventsTest, DeepAndWideTrees) {
  constexpr int64_t kSize = 200000;
  std::vector<EventShape> wide = {{1, 7, 0, 10 * kSize}}, deep;
  for (int64_t i = 0; i < kSize; ++i) {
    wide.push_back({2 * i + 2, 7, 10 * i + 1, 10 * i + 5});
    wide.push_back({2 * i + 3, 7, 10 * i + 2, 10 * i + 3, -1, {"k"}});
    deep.push_back({i + 1, 7, i, 2 * kSize - i});
  }
  std::vector<ElapseEvent> events = Events(wide);
  ConvertHostEvents(0, &events);
  ASSERT_EQ(events[0].child_ids.size(), static_cast<size_t>(kSize));
  EXPECT_EQ(events[0].device_events.size(), static_cast<size_t>(kSize));
  EXPECT_EQ(events[2 * kSize - 1].device_events.size(), 1u);
  events = Events(deep);
  ConvertHostEvents(0, &events);
  EXPECT_EQ(events[kSize - 1].parent_id, kSize - 1);
  EXPECT_EQ(events[kSize - 2].child_ids, std::vector<int64_t>{kSize});
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
