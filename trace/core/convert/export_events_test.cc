#include "zentrik/trace/export_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
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
using ::testing::Not;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::XSpaceFixture;

void AddTraceMe(XSpaceFixture* fixture, uint32_t thread, const std::string& name, uint64_t start,
                uint64_t end) {
  fixture->AddTraceMe(
      {thread, "thread", name, "", start, end, {{"traceme_correlation_id", 1}}, {}});
}

// A device-API call on `thread` and, unless `activity` is empty, the device
// activity of the same correlation id on device 1.
void AddCall(XSpaceFixture* fixture, uint32_t thread, const std::string& function,
             uint32_t correlation, uint64_t start, const std::string& activity,
             const std::string& annotation = "") {
  fixture->AddApiCall({{"", "", "", correlation, start, start + 10, {}}, thread, function, ""});
  if (activity.empty()) return;
  fixture->AddActivity(
      {{annotation, "", "", correlation, start + 20, start + 25, {}}, 1, 0, activity, "", "", {}});
}

// Each event, by name@start: short name, times, line and device events (@ kind:name:device
// type/id:start+duration).
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

// A step over a kernel and calls of several kinds, names to shorten, an
// overhead event, and derived lines first, so that reading them would show.
std::string ScenarioBytes() {
  XSpaceFixture fixture(1000);
  XPlaneBuilder& device0 = fixture.DevicePlane(0);
  device0.GetOrCreateLine(kDerivedLineId)
      .AddEvent(*device0.GetOrCreateEventMetadata("##Ghost"))
      .AddStatValue(*device0.GetOrCreateStatMetadata("correlation_id"), uint64_t{10});
  XPlaneBuilder& host = fixture.HostPlane();
  host.GetOrCreateLine(kDerivedLineId).AddEvent(*host.GetOrCreateEventMetadata("ghost:Ghost"));
  AddTraceMe(&fixture, 8, "step:Step", 1000, 3000);
  // Thread, device, queue, name, annotation, op, model, correlation id, times.
  fixture.AddKernel({8, 0, 1, "matmul(float*)", "MatMul", "MatMul", "", 10, 1200, 1210, 1300, 1400,
                     std::nullopt, testing::UnknownDeviceInfo()});
  AddCall(&fixture, 8, "qxMemcpyPeer", 15, 1300, "Memcpy P2P");
  AddCall(&fixture, 8, "qxFusedLaunch", 19, 1700, "fused(int)", "MemcpyH2D_fused");
  AddCall(&fixture, 8, "qxInitLaunch", 20, 1800, "init(int)", "MemorySet_init");
  AddCall(&fixture, 8, "qxFirstLaunch", 21, 1900, "first(int)");
  AddCall(&fixture, 8, "qxSecondLaunch", 21, 1950, "second(int)");
  AddCall(&fixture, 8, "qxLost", 99, 2100, "");
  uint64_t start = 5000;
  for (const char* name : {"a:b:c", "end:", "a::b", "plain"}) {
    AddTraceMe(&fixture, 9, name, start, start + 5);
    start += 10;
  }
  fixture.AddOverhead("Buffer Flush", 1000, 1100);
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
      {"##qxFusedLaunch@1700", "qx_runtime 1700-1710 8"},
      {"##qxInitLaunch@1800", "qx_runtime 1800-1810 8"},
      {"##qxLost@2100", "qx_runtime 2100-2110 8"},
      {"##qxMemcpyPeer@1300", "qx_runtime 1300-1310 8 @0:##Memcpy P2P:3/1:1320+5"},
      {"##qxSecondLaunch@1950", "qx_runtime 1950-1960 8" + first},
      {"Buffer Flush@1000", "qx_runtime 1000-1100 4294967295"},
      {"MatMul##qxInvokeKernel@1200", "qx_runtime 1200-1210 8" + kernel},
      {"step:Step@1000",
       "Step 1000-3000 8" + kernel + " @0:##Memcpy P2P:3/1:1320+5" + first + first},
      {"a:b:c@5000", "b:c 5000-5005 9"},
      {"end:@5010", " 5010-5015 9"},
  };
  EXPECT_EQ(Describe(events), expected);
  EXPECT_THAT(log, HasSubstr("] Host_event named error, name = plain\n"));
  EXPECT_THAT(log, HasSubstr("] Host_event named error, name = a::b\n"));
  EXPECT_THAT(log, HasSubstr("##second(int) is existed, correlation_id = 21"));
  EXPECT_THAT(log, Not(HasSubstr("Ghost")));
}

// Refused input leaves the vector alone; a plane without a device number is
// refused too.
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
  EXPECT_THAT(result.err, Not(HasSubstr("Parse xspace data")));
}

// Calls on one vector link only their own events; ids stay unique in the
// process, whatever thread draws them.
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
    const std::vector<ElapseEvent> last(events.end() - n, events.end());
    EXPECT_EQ(Describe(last), Describe({events.begin(), events.begin() + n}));
  }
  EXPECT_EQ(ids.size(), 20 * n);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
