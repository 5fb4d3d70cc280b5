#include "zentrik/trace/export_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/address_space.h"
#include "testing/child_process.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/elapse_event_tree.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::HasSubstr;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::XSpaceFixture;

void AddTraceMe(XSpaceFixture* fixture, uint32_t thread, const std::string& name, uint64_t start,
                uint64_t end) {
  fixture->AddTraceMe(
      {thread, "thread", name, "", start, end, {{"traceme_correlation_id", 1}}, {}});
}

// A device-API call and, unless `activity` is empty, its activity on device 1.
void AddCall(XSpaceFixture* fixture, uint32_t thread, const std::string& function,
             uint32_t correlation, uint64_t start, const std::string& activity,
             const std::string& annotation = "") {
  fixture->AddApiCall({{"", "", "", correlation, start, start + 10, {}}, thread, function, ""});
  if (activity.empty()) return;
  fixture->AddActivity(
      {{annotation, "", "", correlation, start + 20, start + 25, {}}, 1, 0, activity, "", "", {}});
}

// By name@start: short name, times, line, device events (@kind:name:type/id:start+length).
std::map<std::string, std::string> Describe(const std::vector<ElapseEvent>& events) {
  std::map<std::string, std::string> result;
  for (const ElapseEvent& event : events) {
    std::string text = event.short_name + " " + std::to_string(event.start_ns) + "-" +
                       std::to_string(event.end_ns) + " " + std::to_string(event.line_id);
    for (const ElapseDeviceEvent& device : event.device_events) {
      text += " @" + std::to_string(device.kind) + ":" + device.name + ":" +
              std::to_string(device.device_type) + "/" + std::to_string(device.device_id) + ":" +
              std::to_string(device.start_ns) + "+" + std::to_string(device.duration_ns);
    }
    result[event.name + "@" + std::to_string(event.start_ns)] = text;
  }
  return result;
}

// A step over a kernel and calls of several kinds, and names to shorten.
std::string ScenarioBytes() {
  XSpaceFixture fixture(1000);
  AddTraceMe(&fixture, 8, "step:Step", 1000, 3000);
  fixture.AddKernel({8, 0, 1, "matmul(float*)", "MatMul", "MatMul", "", 10, 1200, 1210, 1300, 1400,
                     std::nullopt, testing::UnknownDeviceInfo()});
  AddCall(&fixture, 8, "qxMemcpyPeer", 15, 1300, "Memcpy P2P");
  AddCall(&fixture, 8, "qxInitLaunch", 20, 1800, "init(int)", "MemorySet_init");
  AddCall(&fixture, 8, "qxFirstLaunch", 21, 1900, "first(int)");
  AddCall(&fixture, 8, "qxSecondLaunch", 21, 1950, "second(int)");
  AddTraceMe(&fixture, 9, "a:b:c", 5000, 5005);
  AddTraceMe(&fixture, 9, "a::b", 5010, 5015);
  AddTraceMe(&fixture, 9, "plain", 5020, 5025);
  return fixture.Serialize();
}

TEST(ExportEventsTest, FlattensAFixtureSpace) {
  const std::string bytes = ScenarioBytes();
  std::vector<ElapseEvent> events;
  StderrCapture capture;
  ASSERT_TRUE(ExportEvents(&bytes, nullptr, &events));
  const std::string log = capture.Stop();
  const std::string first = " @0:##first(int):3/1:1920+5";
  const std::string kernel = " @0:MatMul##matmul(float*):3/0:1300+100";
  const std::map<std::string, std::string> expected = {
      {"##qxFirstLaunch@1900", "qx_runtime 1900-1910 8" + first},
      {"##qxInitLaunch@1800", "qx_runtime 1800-1810 8"},
      {"##qxMemcpyPeer@1300", "qx_runtime 1300-1310 8 @0:##Memcpy P2P:3/1:1320+5"},
      {"##qxSecondLaunch@1950", "qx_runtime 1950-1960 8" + first},
      {"MatMul##qxInvokeKernel@1200", "qx_runtime 1200-1210 8" + kernel},
      {"step:Step@1000",
       "Step 1000-3000 8" + kernel + " @0:##Memcpy P2P:3/1:1320+5" + first + first},
      {"a:b:c@5000", "b:c 5000-5005 9"},
  };
  EXPECT_EQ(Describe(events), expected);
  EXPECT_THAT(log, HasSubstr("] Host_event named error, name = plain\n"));
  EXPECT_THAT(log, HasSubstr("##second(int) is existed, correlation_id = 21"));
}

// Refused input, a plane without a device number too, leaves the vector alone.
TEST(ExportEventsTest, RejectsBadInputAndLeavesTheVectorAlone) {
  XSpaceFixture fixture(1000);
  AddTraceMe(&fixture, 3, "plain", 1000, 1100);
  fixture.space().add_planes()->set_name("/device:ZRA:99999999999999999999");
  const std::pair<std::string, std::string> cases[] = {
      {"", "] Collection xspace is empty\n"},
      {"\x0a\xff\xff", "] Parse xspace data from input string failed\n"},
      {fixture.Serialize(), "] Device id is not found\n"},
  };
  for (const auto& [bytes, line] : cases) {
    std::vector<ElapseEvent> events(1);
    StderrCapture capture;
    EXPECT_FALSE(ExportEvents(&bytes, nullptr, &events));
    EXPECT_THAT(capture.Stop(), HasSubstr(line));
    EXPECT_EQ(events.size(), 1u) << line;
  }
  std::vector<ElapseEvent> events;
  EXPECT_FALSE(ExportEvents(nullptr, nullptr, &events));
  EXPECT_FALSE(ExportEvents(&cases[1].first, nullptr, nullptr));
  // Not refused, but said: no host event is left.
  fixture.space().mutable_planes()->RemoveLast();
  const std::string dropped = fixture.Serialize();
  StderrCapture capture;
  EXPECT_TRUE(ExportEvents(&dropped, nullptr, &events) && events.empty());
  EXPECT_THAT(capture.Stop(), HasSubstr("] Host events is empty\n"));
}

// Running out of memory says so: the bytes were fine.
ZENTRIK_CHILD_SCENARIO(ExportEventsOutOfMemory) {
  XSpaceFixture fixture(1000);
  AddTraceMe(&fixture, 3, "op:" + std::string(256 << 20, 'x'), 1000, 1100);
  const std::string bytes = fixture.Serialize();
  fixture.space().Clear();
  if (!testing::LimitAddressSpaceToCurrentPlus(64 << 20)) return 2;
  std::vector<ElapseEvent> events;
  return ExportEvents(&bytes, nullptr, &events) ? 1 : 0;
}

TEST(ExportEventsTest, OutOfMemoryWhileParsingIsNotBadInput) {
  if (testing::kSanitizedAllocator) GTEST_SKIP() << "the sanitizers' allocator aborts instead";
  const testing::ChildResult result = testing::RunScenario("ExportEventsOutOfMemory");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("] Out of memory while parsing xspace data\n"));
  EXPECT_THAT(result.err, ::testing::Not(HasSubstr("Parse xspace data")));
}

// Calls link only their own events; ids stay unique whatever thread draws them.
TEST(ExportEventsTest, RepeatedCallsOnManyThreads) {
  const std::string bytes = ScenarioBytes();
  std::vector<std::vector<ElapseEvent>> results(4);
  std::vector<std::thread> threads;
  for (auto& events : results) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) ExportEvents(&bytes, nullptr, &events);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<int64_t> ids;
  const size_t n = results[0].size() / 5;
  for (const std::vector<ElapseEvent>& events : results) {
    for (const ElapseEvent& event : events) ids.insert(event.id);
    EXPECT_EQ(Describe({events.end() - n, events.end()}),
              Describe({events.begin(), events.begin() + n}));
  }
  EXPECT_EQ(ids.size(), 20 * n);
}

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
      // Equal intervals: the one given first encloses.
      {{{4, 7, 0, 10}, {5, 7, 0, 10}}, "4>5 5^4"},
      // Overlapping top-level events stay apart; a later event nests in the last.
      {{{1, 7, 0, 100}, {2, 7, 50, 150}, {3, 7, 60, 90}}, "1 2>3 3^2"},
      // Overlapping siblings: one parent, the later sibling.
      {{{1, 7, 0, 100}, {2, 7, 10, 50}, {3, 7, 20, 60}, {4, 7, 25, 45}}, "1>2,3 2^1 3^1>4 4^3"},
      // Calls reach every enclosing event but only the first top-level one;
      // one overlapping its neighbour does not hide later calls.
      {{{1, 7, 0, 100}, {2, 7, 50, 200}, {3, 7, 10, 150, -1, {"a"}}, {4, 7, 20, 30, -1, {"b"}}},
       "1@b 2 3@a 4@b"},
      {{{1, 7, 0, 100}, {2, 7, 10, 20}, {3, 7, 12, 15, -1, {"k"}}, {4, 7, 60, 90, -1, {"m"}}},
       "1>2@k,m 2^1@k 3@k 4@m"},
      // A sibling that does not enclose the call gets nothing; siblings that
      // overlap each other both do.
      {{{1, 7, 0, 100}, {2, 7, 10, 20}, {3, 7, 30, 40}, {4, 7, 12, 15, -1, {"k"}}},
       "1>2,3@k 2^1@k 3^1 4@k"},
      {{{1, 7, 0, 100},
        {2, 7, 10, 50},
        {3, 7, 20, 60},
        {4, 7, 30, 40, -1, {"k"}},
        {5, 7, 55, 58, -1, {"m"}}},
       "1>2,3@k,m 2^1@k 3^1@k,m 4@k 5@m"},
      // A call reaching past the end of every event stays alone.
      {{{1, 7, 0, 100}, {2, 7, 90, 120, -1, {"out"}}}, "1 2@out"},
      // Calls attach in start order; calls on other threads stay.
      {{{1, 7, 0, 50},
        {2, 7, 30, 31, -1, {"c"}},
        {3, 7, 1, 2, -1, {"a", "b"}},
        {4, 8, 1, 2, -1, {"x"}}},
       "1@a,b,c 2@c 3@a,b 4@x"},
  };
  for (const auto& [shapes, expected] : cases) {
    std::vector<ElapseEvent> events = Events(shapes);
    ConvertHostEvents(0, &events);
    EXPECT_EQ(LinksOf(events), expected);
  }
}

// Scale guard: no scan of every sibling per insertion or call, no recursion per level.
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
  EXPECT_TRUE(events[0].child_ids.size() == size_t{kSize} &&
              events[0].device_events.size() == size_t{kSize});
  events = Events(deep);
  ConvertHostEvents(0, &events);
  EXPECT_EQ(events[kSize - 1].parent_id, kSize - 1);
  EXPECT_EQ(events[kSize - 2].child_ids, std::vector<int64_t>{kSize});
}

// One call's result: its events and what it logged.
struct Exported {
  bool ok = false;
  std::vector<ElapseEvent> events;
  std::string log;
};

Exported Export(const std::string& bytes) {
  Exported result;
  StderrCapture capture;
  result.ok = ExportEvents(&bytes, nullptr, &result.events);
  result.log = capture.Stop();
  return result;
}

// The names of an event's device events, each ended by ";".
std::string DeviceNames(const ElapseEvent& event) {
  std::string names;
  for (const ElapseDeviceEvent& device : event.device_events) names += device.name + ";";
  return names;
}

// Only kernels and other kind-0 activity attach; the kind is read from the
// whole name, annotation included.
TEST(ExportEventsTest, AttachesDeviceEventsByKind) {
  const struct {
    const char* activity;
    const char* annotation;
    bool attached;
  } cases[] = {
      {"MemcpyH2D", "", false},
      {"MemcpyD2H", "", false},
      {"MemcpyD2D", "", false},
      {"MemorySet", "", false},
      {"MemcpyH2H", "", true},
      {"Memcpy P2P", "", true},
      {"Memset", "", true},
      {"Wait Notifier", "", true},
      {"Compare Atomic Operation", "", true},
      {"k(int)", "MatMul", true},
      {"fused(int)", "MemcpyH2D_fused", false},
      {"copy(int)", "MemcpyD2D_copy", false},
      {"init(int)", "MemorySet_init", false},
  };
  for (const auto& c : cases) {
    XSpaceFixture fixture(1000);
    AddTraceMe(&fixture, 3, "op:Op", 1000, 2000);
    AddCall(&fixture, 3, "qxCall", 5, 1100, c.activity, c.annotation);
    const Exported result = Export(fixture.Serialize());
    ASSERT_TRUE(result.ok && result.events.size() == 2) << c.activity;
    const std::string expected =
        c.attached ? std::string(c.annotation) + "##" + c.activity + ";" : "";
    for (const ElapseEvent& event : result.events) {
      EXPECT_EQ(DeviceNames(event), expected) << c.activity << " on " << event.name;
    }
  }
}

// Derived lines of either plane contribute nothing: neither device events
// (which would take a correlation id first) nor host events.
TEST(ExportEventsTest, IgnoresDerivedLines) {
  XSpaceFixture fixture(1000);
  XPlaneBuilder& device = fixture.DevicePlane(0);
  XEventBuilder ghost =
      device.GetOrCreateLine(kDerivedLineId).AddEvent(*device.GetOrCreateEventMetadata("##Ghost"));
  ghost.AddStatValue(*device.GetOrCreateStatMetadata("correlation_id"), uint64_t{10});
  XPlaneBuilder& host = fixture.HostPlane();
  host.GetOrCreateLine(int64_t{0xdeadbeef}).AddEvent(*host.GetOrCreateEventMetadata("ghost:Ghost"));
  fixture.AddKernel({8, 0, 1, "matmul(float*)", "MatMul", "MatMul", "", 10, 1200, 1210, 1300, 1400,
                     std::nullopt, testing::UnknownDeviceInfo()});
  const Exported result = Export(fixture.Serialize());
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.events.size(), 1u) << result.events.back().name;
  EXPECT_EQ(result.events[0].name, "MatMul##qxInvokeKernel");
  EXPECT_EQ(DeviceNames(result.events[0]), "MatMul##matmul(float*);");
  EXPECT_THAT(result.log, ::testing::Not(HasSubstr("Ghost")));
}

// The number after the last ':' as strtoll reads it in base 10; without a
// digit or outside int64 the call fails and leaves the vector alone.
TEST(ExportEventsTest, ReadsDeviceNumbersAsStrtollDoes) {
  const struct {
    std::string number;
    std::optional<int64_t> device_id;  // unset: refused
  } cases[] = {
      {"3", 3},
      {" 12", 12},
      {"+4", 4},
      {"-2", -2},
      {"5abc", 5},
      {"x:6", 6},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"", std::nullopt},
      {"x1", std::nullopt},
      {"+", std::nullopt},
      {" ", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
  };
  for (const auto& c : cases) {
    XSpaceFixture fixture(1000);
    AddCall(&fixture, 3, "qxLaunch", 5, 1010, "");
    XPlane* plane = fixture.space().add_planes();
    plane->set_name("/device:ZRA:" + c.number);
    XPlaneBuilder device(plane);
    device.GetOrCreateLine(0)
        .AddEvent(*device.GetOrCreateEventMetadata("##k"))
        .AddStatValue(*device.GetOrCreateStatMetadata("correlation_id"), uint64_t{5});
    const std::string bytes = fixture.Serialize();
    std::vector<ElapseEvent> events(1);
    StderrCapture capture;
    const bool ok = ExportEvents(&bytes, nullptr, &events);
    const std::string log = capture.Stop();
    if (!c.device_id) {
      EXPECT_FALSE(ok) << c.number;
      EXPECT_THAT(log, HasSubstr("] Device id is not found\n")) << c.number;
      EXPECT_THAT(log, HasSubstr("] Convert device plane to device events failed\n")) << c.number;
      EXPECT_EQ(events.size(), 1u) << c.number;
      continue;
    }
    ASSERT_TRUE(ok && events.size() == 2 && events[1].device_events.size() == 1) << c.number;
    EXPECT_EQ(events[1].device_events[0].device_id, *c.device_id) << c.number;
    EXPECT_EQ(events[1].device_events[0].device_type, 3) << c.number;
  }
}

// A correlated event's short name follows its first ':', which must not be
// followed by another; else the event is dropped with a warning.
TEST(ExportEventsTest, ShortNamesAtTheEdges) {
  const struct {
    std::string name;
    const char* short_name;  // null: dropped
  } cases[] = {
      {"op:MatMul", "MatMul"}, {"end:", ""},     {":start", "start"}, {":", ""},
      {"a:b::c", "b::c"},      {"::x", nullptr}, {"a:::b", nullptr},  {"::", nullptr},
  };
  for (const auto& c : cases) {
    XSpaceFixture fixture(1000);
    AddTraceMe(&fixture, 3, c.name, 1000, 1100);
    const Exported result = Export(fixture.Serialize());
    ASSERT_TRUE(result.ok) << c.name;
    const std::string warning = "] Host_event named error, name = " + c.name + "\n";
    if (c.short_name == nullptr) {
      EXPECT_TRUE(result.events.empty()) << c.name;
      EXPECT_THAT(result.log, HasSubstr(warning));
      continue;
    }
    ASSERT_EQ(result.events.size(), 1u) << c.name;
    EXPECT_EQ(result.events[0].short_name, c.short_name) << c.name;
    EXPECT_EQ(result.events[0].name, c.name);
    EXPECT_THAT(result.log, ::testing::Not(HasSubstr("Host_event named error")));
  }
}

// A traceme correlation that is no int64 still marks the event, as 0; a
// correlation id that is no uint64 reads as 0 on either plane.
TEST(ExportEventsTest, StatsOfOtherKindsReadAsZero) {
  XSpaceFixture fixture(1000);
  fixture.AddTraceMe(
      {3, "thread", "op:Text", "", 1000, 1200, {{"traceme_correlation_id", "7"}}, {}});
  XPlaneBuilder& host = fixture.HostPlane();
  XEventBuilder call = host.GetOrCreateLine(3).AddEvent(*host.GetOrCreateEventMetadata("##qxCall"));
  call.SetTimestampNs(1050);
  call.SetEndTimestampNs(1060);
  call.AddStatValue(*host.GetOrCreateStatMetadata("correlation_id"), "x");
  XPlaneBuilder& device = fixture.DevicePlane(1);
  XEventBuilder kernel =
      device.GetOrCreateLine(0).AddEvent(*device.GetOrCreateEventMetadata("##zero(int)"));
  kernel.SetTimestampNs(1070);
  kernel.SetEndTimestampNs(1080);
  kernel.AddStatValue(*device.GetOrCreateStatMetadata("correlation_id"), "y");
  const Exported result = Export(fixture.Serialize());
  ASSERT_TRUE(result.ok && result.events.size() == 2);
  std::map<std::string, std::string> actual;
  for (const ElapseEvent& event : result.events) {
    actual[event.name] = event.short_name + " " + std::to_string(event.traceme_correlation_id) +
                         " " + DeviceNames(event);
  }
  const std::map<std::string, std::string> expected = {
      {"op:Text", "Text 0 ##zero(int);"},
      {"##qxCall", "qx_runtime -1 ##zero(int);"},
  };
  EXPECT_EQ(actual, expected);
}

// Without a host plane nothing is appended and nothing said; a host plane
// without events is said to be empty. The memory events are never touched.
TEST(ExportEventsTest, SpacesWithoutHostEvents) {
  XSpaceFixture devices_only(1000);
  devices_only.AddActivity({{"", "", "", 5, 1020, 1025, {}}, 1, 0, "k(int)", "", "", {}});
  XSpaceFixture empty_host(1000);
  empty_host.HostPlane();
  const std::pair<std::string, bool> cases[] = {
      {devices_only.Serialize(), false},
      {empty_host.Serialize(), true},
  };
  for (const auto& [bytes, warns] : cases) {
    std::vector<ElapseEvent> events;
    std::vector<MemoryEvent> memory(1);
    memory[0].bytes = 42;
    StderrCapture capture;
    EXPECT_TRUE(ExportEvents(&bytes, &memory, &events));
    const std::string log = capture.Stop();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(log.find("Host events is empty") != std::string::npos, warns) << log;
    EXPECT_TRUE(memory.size() == 1 && memory[0].bytes == 42);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
