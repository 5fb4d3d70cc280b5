#include "trace/core/convert/elapse_event_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

// A host event named by its id; `traceme` -1 makes it a runtime event.
struct EventShape {
  int64_t id;
  int64_t line;
  int64_t start;
  int64_t end;
  int64_t traceme = 1;
  std::vector<std::string> device = {};  // Names of its device events.
};

std::vector<ElapseEvent> Events(const std::vector<EventShape>& shapes) {
  std::vector<ElapseEvent> events;
  for (const EventShape& params : shapes) {
    ElapseEvent& event = events.emplace_back();
    event.id = params.id;
    event.line_id = event.thread_id = params.line;
    event.start_ns = params.start;
    event.end_ns = params.end;
    event.traceme_correlation_id = params.traceme;
    for (const std::string& name : params.device) event.device_events.emplace_back().name = name;
  }
  return events;
}

// What the linking decided, event by event: id, ^parent, >children,
// @device event names.
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
  struct Case {
    const char* name;
    std::vector<EventShape> events;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"input order does not matter",
       {{3, 7, 150, 160}, {2, 7, 10, 20}, {1, 7, 0, 100}},
       "1>2 2^1 3"},
      {"equal starts: the longer encloses the shorter",
       {{1, 7, 0, 10}, {2, 7, 0, 50}, {3, 7, 0, 30}},
       "1^3 2>3 3^2>1"},
      {"overlapping siblings: one parent, the later sibling",
       {{1, 7, 0, 100}, {2, 7, 10, 50}, {3, 7, 20, 60}, {4, 7, 25, 45}},
       "1>2,3 2^1 3^1>4 4^3"},
      {"a runtime call hands its device events to every enclosing event",
       {{1, 7, 0, 100}, {2, 7, 10, 20}, {3, 7, 30, 40}, {4, 7, 12, 15, -1, {"k"}}},
       "1>2,3@k 2^1@k 3^1 4@k"},
      {"only the first enclosing top-level event receives a call",
       {{1, 7, 0, 100}, {2, 7, 50, 150}, {3, 7, 60, 90, -1, {"k"}}},
       "1@k 2 3@k"},
      {"a call overlapping its top-level neighbour does not hide later calls",
       {{1, 7, 0, 100}, {2, 7, 50, 200}, {3, 7, 10, 150, -1, {"a"}}, {4, 7, 20, 30, -1, {"b"}}},
       "1@b 2 3@a 4@b"},
      {"calls attach in start order; calls on other threads or outside stay",
       {{1, 7, 0, 100},
        {2, 7, 60, 61, -1, {"late"}},
        {3, 7, 10, 11, -1, {"early", "early2"}},
        {4, 8, 10, 11, -1, {"other"}},
        {5, 7, 90, 120, -1, {"outside"}}},
       "1@early,early2,late 2@late 3@early,early2 4@other 5@outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ElapseEvent> events = Events(c.events);
    ConvertHostEvents(0, &events);
    EXPECT_EQ(LinksOf(events), c.expected);
  }
}

TEST(ConvertHostEventsTest, ManySiblingsUnderOneEvent) {
  // Wide trees must not cost a scan of every sibling per insertion or call.
  constexpr int64_t kWidth = 200000;
  std::vector<EventShape> shapes = {{1, 7, 0, 10 * kWidth}};
  for (int64_t i = 0; i < kWidth; ++i) {
    shapes.push_back({2 * i + 2, 7, 10 * i + 1, 10 * i + 5});
    shapes.push_back({2 * i + 3, 7, 10 * i + 2, 10 * i + 3, -1, {"k"}});
  }
  std::vector<ElapseEvent> events = Events(shapes);
  ConvertHostEvents(0, &events);
  ASSERT_EQ(events[0].child_ids.size(), static_cast<size_t>(kWidth));
  EXPECT_EQ(events[0].child_ids.back(), 2 * kWidth);
  EXPECT_EQ(events[0].device_events.size(), static_cast<size_t>(kWidth));
  EXPECT_EQ(events[2 * kWidth - 1].device_events.size(), 1u);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
