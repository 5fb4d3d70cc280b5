#include "zentrik/trace/export_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/address_space.h"
#include "testing/child_process.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::XSpaceFixture;

constexpr uint64_t kSessionStart = 1000;

void AddTraceMe(XSpaceFixture* fixture, uint32_t thread, const std::string& name, uint64_t start,
                uint64_t end, int64_t traceme) {
  fixture->AddTraceMe(
      {thread, "thread", name, "", start, end, {{"traceme_correlation_id", traceme}}, {}});
}

// A device-API call on `thread` and, unless `activity` is empty, the device
// activity of the same correlation id on device 1.
void AddCall(XSpaceFixture* fixture, uint32_t thread, const std::string& function,
             uint32_t correlation, uint64_t start, const std::string& activity,
             const std::string& annotation = "") {
  fixture->AddApiCall({{"", "", "", correlation, start, start + 10, {}}, thread, function, ""});
  if (activity.empty()) return;
  fixture->AddActivity({{annotation, "", "", correlation, start + 20, start + 25, {}},
                        /*device=*/1,
                        0,
                        activity,
                        "",
                        "",
                        {}});
}

// One event as text, keyed by name@start: short name, times, line/thread,
// traceme id, then parent (^), children (>) and device events (@) when any.
std::map<std::string, std::string> Describe(const std::vector<ElapseEvent>& events) {
  std::map<int64_t, std::string> names;
  for (const ElapseEvent& event : events) names[event.id] = event.name;
  std::map<std::string, std::string> result;
  for (const ElapseEvent& event : events) {
    std::ostringstream text;
    text << event.short_name << " " << event.start_ns << "-" << event.end_ns << " " << event.line_id
         << "/" << event.thread_id << " " << event.traceme_correlation_id;
    if (event.parent_id != -1) text << " ^" << names[event.parent_id];
    for (int64_t child : event.child_ids) text << " >" << names[child];
    for (const ElapseDeviceEvent& device : event.device_events) {
      text << " @" << device.kind << ":" << device.name << ":" << device.device_type << "/"
           << device.device_id << ":" << device.start_ns << "+" << device.duration_ns;
    }
    result[event.name + "@" + std::to_string(event.start_ns)] = text.str();
  }
  return result;
}

// Threads of nested host events, device-API calls with device activity of
// several kinds, and derived lines.
std::string ScenarioBytes() {
  XSpaceFixture fixture(kSessionStart);
  // Derived lines come first, so that reading them would change the result.
  XPlaneBuilder& device0 = fixture.DevicePlane(0);
  XLineBuilder derived = device0.GetOrCreateLine(kDerivedLineId);
  XEventBuilder ghost = derived.AddEvent(*device0.GetOrCreateEventMetadata("##Ghost"));
  ghost.AddStatValue(*device0.GetOrCreateStatMetadata("correlation_id"), uint64_t{10});
  XPlaneBuilder& host = fixture.HostPlane();
  XLineBuilder host_derived = host.GetOrCreateLine(kDerivedLineId);
  host_derived.AddEvent(*host.GetOrCreateEventMetadata("ghost:Ghost"));

  // Thread 7: a step with an op; a kernel launch and a copy.
  AddTraceMe(&fixture, 7, "step:Step1", 1000, 2000, 1);
  AddTraceMe(&fixture, 7, "op:MatMul", 1100, 1500, 2);
  // Thread, device, queue, name, annotation, op, model, correlation id, times.
  fixture.AddKernel({7, 0, 1, "matmul(float*)", "MatMul", "MatMul", "", 10, 1200, 1210, 1300, 1400,
                     std::nullopt, testing::UnknownDeviceInfo()});
  AddCall(&fixture, 7, "qxMemcpyHtoD", 11, 1650, "MemcpyH2D");

  // Thread 8: one step over calls of every other kind of activity.
  AddTraceMe(&fixture, 8, "step:Step2", 1000, 3000, 4);
  AddCall(&fixture, 8, "qxMemcpyDtoH", 13, 1100, "MemcpyD2H");
  AddCall(&fixture, 8, "qxMemcpyPeer", 15, 1300, "Memcpy P2P");
  AddCall(&fixture, 8, "qxFusedLaunch", 19, 1700, "fused(int)", "MemcpyH2D_fused");
  AddCall(&fixture, 8, "qxInitLaunch", 20, 1800, "init(int)", "MemorySet_init");
  AddCall(&fixture, 8, "qxFirstLaunch", 21, 1900, "first(int)");
  AddCall(&fixture, 8, "qxSecondLaunch", 21, 1950, "second(int)");
  AddCall(&fixture, 8, "qxSynchronize", testing::kNoCorrelationId, 2000, "");
  AddCall(&fixture, 8, "qxLost", 99, 2100, "");

  // Thread 9: short names follow the first ':'; names without one, or with
  // "::", are dropped.
  uint64_t start = 5000;
  for (const char* name : {"a:b:c", "end:", ":start", "a::b", "plain", "::x", "a:::b"}) {
    AddTraceMe(&fixture, 9, name, start, start + 5, 9);
    start += 10;
  }
  fixture.AddOverhead("Buffer Flush", 1000, 1100);
  return fixture.Serialize();
}

TEST(ExportEventsTest, FlattensAFixtureSpace) {
  const std::string bytes = ScenarioBytes();
  std::vector<ElapseEvent> events;
  std::vector<MemoryEvent> memory(1);
  memory[0].bytes = 42;
  StderrCapture capture;
  ASSERT_TRUE(ExportEvents(&bytes, &memory, &events));
  const std::string log = capture.Stop();

  const std::map<std::string, std::string> expected = {
      {"##qxFirstLaunch@1900", "qx_runtime 1900-1910 8/8 -1 @0:##first(int):3/1:1920+5"},
      {"##qxFusedLaunch@1700", "qx_runtime 1700-1710 8/8 -1"},
      {"##qxInitLaunch@1800", "qx_runtime 1800-1810 8/8 -1"},
      {"##qxLost@2100", "qx_runtime 2100-2110 8/8 -1"},
      {"##qxMemcpyDtoH@1100", "qx_runtime 1100-1110 8/8 -1"},
      {"##qxMemcpyHtoD@1650", "qx_runtime 1650-1660 7/7 -1"},
      {"##qxMemcpyPeer@1300", "qx_runtime 1300-1310 8/8 -1 @0:##Memcpy P2P:3/1:1320+5"},
      {"##qxSecondLaunch@1950", "qx_runtime 1950-1960 8/8 -1 @0:##first(int):3/1:1920+5"},
      {"##qxSynchronize@2000", "qx_runtime 2000-2010 8/8 -1"},
      {"Buffer Flush@1000", "qx_runtime 1000-1100 4294967295/4294967295 -1"},
      {"MatMul##qxInvokeKernel@1200",
       "qx_runtime 1200-1210 7/7 -1 @0:MatMul##matmul(float*):3/0:1300+100"},
      {"op:MatMul@1100",
       "MatMul 1100-1500 7/7 2 ^step:Step1 @0:MatMul##matmul(float*):3/0:1300+100"},
      {"step:Step1@1000",
       "Step1 1000-2000 7/7 1 >op:MatMul @0:MatMul##matmul(float*):3/0:1300+100"},
      {"step:Step2@1000",
       "Step2 1000-3000 8/8 4 @0:##Memcpy P2P:3/1:1320+5 @0:##first(int):3/1:1920+5 "
       "@0:##first(int):3/1:1920+5"},
      {"a:b:c@5000", "b:c 5000-5005 9/9 9"},
      {"end:@5010", " 5010-5015 9/9 9"},
      {":start@5020", "start 5020-5025 9/9 9"},
  };
  EXPECT_EQ(Describe(events), expected);
  for (const std::string name : {"a::b", "plain", "::x", "a:::b"}) {
    EXPECT_THAT(log, HasSubstr("] Host_event named error, name = " + name + "\n"));
  }
  EXPECT_THAT(log, HasSubstr("##second(int) is existed, correlation_id = 21"));
  EXPECT_THAT(log, Not(HasSubstr("Ghost")));
  EXPECT_THAT(log, Not(HasSubstr("Host events is empty")));
  ASSERT_EQ(memory.size(), 1u);
  EXPECT_EQ(memory[0].bytes, 42);
}

TEST(ExportEventsTest, RejectsBadInputAndLeavesTheVectorAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "Collection xspace is empty"},
      {"\x0a\xff\xff", "Parse xspace data from input string failed"},
      {std::string("\x00\x01", 2), "Parse xspace data from input string failed"},
  };
  for (const auto& [bytes, line] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    std::vector<ElapseEvent> events(1);
    events[0].name = "kept";
    StderrCapture capture;
    EXPECT_FALSE(ExportEvents(&bytes, nullptr, &events));
    EXPECT_THAT(capture.Stop(), HasSubstr("] " + line + "\n"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "kept");
  }
  std::vector<ElapseEvent> events;
  EXPECT_FALSE(ExportEvents(nullptr, nullptr, &events));
  // Not refused, but said: no host event is left.
  XSpaceFixture fixture(kSessionStart);
  AddTraceMe(&fixture, 3, "plain", 1000, 1100, 1);
  const std::string dropped = fixture.Serialize();
  StderrCapture capture;
  EXPECT_TRUE(ExportEvents(&dropped, nullptr, &events));
  EXPECT_THAT(capture.Stop(), HasSubstr("] Host events is empty\n"));
  EXPECT_THAT(events, IsEmpty());
  EXPECT_FALSE(ExportEvents(&cases[1].first, nullptr, nullptr));
}

// Running out of memory says so: the bytes were fine.
ZENTRIK_CHILD_SCENARIO(ExportEventsOutOfMemory) {
  XSpaceFixture fixture(kSessionStart);
  AddTraceMe(&fixture, 3, "op:" + std::string(256 << 20, 'x'), 1000, 1100, 1);
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
  EXPECT_THAT(result.err, Not(HasSubstr("Parse xspace data")));
}

// Device numbers are read as strtoll reads them; a plane without one is
// refused and the vector is left alone.
TEST(ExportEventsTest, ReadsDeviceNumbersAsStrtollDoes) {
  constexpr int64_t kRefused = -99;
  const std::pair<std::string, int64_t> cases[] = {
      {"3", 3},       {" 12", 12},      {"+4", 4},
      {"-2", -2},     {"5abc", 5},      {"x:6", 6},
      {"", kRefused}, {"x1", kRefused}, {"99999999999999999999", kRefused},
  };
  for (const auto& [number, device_id] : cases) {
    SCOPED_TRACE(number);
    XSpaceFixture fixture(kSessionStart);
    AddTraceMe(&fixture, 3, "op:A", 1000, 1100, 1);
    AddCall(&fixture, 3, "qxLaunch", 5, 1010, "");
    XPlane* plane = fixture.space().add_planes();
    plane->set_name("/device:ZRA:" + number);
    XPlaneBuilder device(plane);
    XEventBuilder kernel =
        device.GetOrCreateLine(0).AddEvent(*device.GetOrCreateEventMetadata("k"));
    kernel.AddStatValue(*device.GetOrCreateStatMetadata("correlation_id"), uint64_t{5});
    const std::string bytes = fixture.Serialize();
    std::vector<ElapseEvent> events(1);
    StderrCapture capture;
    ASSERT_EQ(ExportEvents(&bytes, nullptr, &events), device_id != kRefused);
    const std::string log = capture.Stop();
    if (device_id == kRefused) {
      EXPECT_THAT(log, HasSubstr("] Device id is not found\n"));
      EXPECT_THAT(log, HasSubstr("] Convert device plane to device events failed\n"));
      EXPECT_EQ(events.size(), 1u);
      continue;
    }
    ASSERT_EQ(events.size(), 3u);
    ASSERT_EQ(events[1].device_events.size(), 1u);
    EXPECT_EQ(events[1].device_events[0].device_id, device_id);
    EXPECT_EQ(events[1].device_events[0].device_type, 3);
  }
}

// Calls on one vector link only their own events; ids stay unique in the
// process, whatever thread draws them.
TEST(ExportEventsTest, RepeatedCallsOnManyThreads) {
  const std::string bytes = ScenarioBytes();
  std::vector<ElapseEvent> one_call;
  ASSERT_TRUE(ExportEvents(&bytes, nullptr, &one_call));
  const size_t n = one_call.size();
  constexpr int kThreads = 4;
  constexpr int kCalls = 5;
  std::vector<std::vector<ElapseEvent>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) ExportEvents(&bytes, nullptr, &results[t]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<int64_t> ids;
  for (const std::vector<ElapseEvent>& events : results) {
    ASSERT_EQ(events.size(), kCalls * n);
    for (int i = 0; i < kCalls; ++i) {
      const std::vector<ElapseEvent> call(events.begin() + i * n, events.begin() + (i + 1) * n);
      EXPECT_EQ(Describe(call), Describe(one_call)) << i;
    }
    for (const ElapseEvent& event : events) ids.insert(event.id);
  }
  EXPECT_EQ(ids.size(), kThreads * kCalls * n);
}

TEST(ExportEventsTest, DeepNestingOfAHundredThousandEvents) {
  constexpr uint64_t kDepth = 100000;
  XSpaceFixture fixture(kSessionStart);
  for (uint64_t i = 0; i < kDepth; ++i) {
    AddTraceMe(&fixture, 3, "n:" + std::to_string(i), 1000 + i, 1020 + 2 * kDepth - i, 1);
  }
  AddCall(&fixture, 3, "qxLaunch", 5, 1000 + kDepth, "k(int)");
  const std::string bytes = fixture.Serialize();
  std::vector<ElapseEvent> events;
  ASSERT_TRUE(ExportEvents(&bytes, nullptr, &events));
  ASSERT_EQ(events.size(), kDepth + 1);
  for (uint64_t i = 0; i < kDepth; ++i) {
    const ElapseEvent& event = events[i];
    ASSERT_EQ(event.parent_id, i == 0 ? -1 : events[i - 1].id) << i;
    ASSERT_EQ(event.child_ids.size(), i + 1 < kDepth ? 1u : 0u) << i;
    ASSERT_EQ(event.device_events.size(), 1u) << i;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
