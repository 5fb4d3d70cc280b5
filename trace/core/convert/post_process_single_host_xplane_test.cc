#include "trace/core/convert/post_process_single_host_xplane.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <google/protobuf/arena.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/proto_bytes.h"
#include "testing/xspace_fixture.h"
#include "testing/xspace_reader.h"
#include "trace/core/convert/derived_timeline.h"
#include "trace/core/convert/group_events.h"
#include "trace/core/convert/host_kernel_pmu.h"
#include "trace/core/internal/cpu/host_tracer_utils.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Key;
using ::testing::Not;
using ::testing::Pair;
using ::zentrik::testing::EventNamed;
using ::zentrik::testing::EventsNamed;
using ::zentrik::testing::StatMetadataNames;
using ::zentrik::testing::StatTexts;
using ::zentrik::testing::XSpaceFixture;

TEST(PostProcessSingleHostXSpaceTest, EmptySpaceGainsABareHostPlane) {
  XSpace space;
  PostProcessSingleHostXSpace(&space, 12345);

  XSpace expected;
  XPlane* host = expected.add_planes();
  host->set_name("/host:CPU");
  (*host->mutable_stat_metadata())[1].set_id(1);
  (*host->mutable_stat_metadata())[1].set_name("group_id");
  (*host->mutable_stat_metadata())[2].set_id(2);
  (*host->mutable_stat_metadata())[2].set_name("step_name");
  EXPECT_EQ(::zentrik::testing::DeterministicBytes(space),
            ::zentrik::testing::DeterministicBytes(expected));
}

ZENTRIK_CHILD_SCENARIO(PostProcessEmptySpace) {
  XSpace space;
  PostProcessSingleHostXSpace(&space, 0);
  return space.planes_size() == 1 ? 0 : 1;
}

TEST(PostProcessSingleHostXSpaceTest, LogsThePassAtInfo) {
  const auto shown = ::zentrik::testing::RunScenario("PostProcessEmptySpace",
                                                     {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_THAT(shown.err, HasSubstr("] Post processing local profiler XSpace.\n"));

  const auto hidden = ::zentrik::testing::RunScenario("PostProcessEmptySpace");
  EXPECT_EQ(hidden.exit_code, 0);
  EXPECT_THAT(hidden.err, Not(HasSubstr("Post processing")));
}

// A session that started at 1000 ns: two host threads, a step on one of
// them launching a kernel and a memory copy onto device 0, an idle queue.
class FixtureSpaceTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kStart = 1000;

  void SetUp() override {
    ::zentrik::testing::TraceMeSpec step;
    step.thread_id = 7;
    step.thread_name = "worker";
    step.name = "Step";
    step.start_ns = kStart + 10;
    step.end_ns = kStart + 500;
    step.args = {{"_r", int64_t{1}}};
    // The inner op is added first: sorting puts the step (same start,
    // longer) before it.
    ::zentrik::testing::TraceMeSpec op = step;
    op.name = "MatMul";
    op.end_ns = kStart + 200;
    op.args = {};
    fixture_.AddTraceMe(op);
    fixture_.AddTraceMe(step);

    ::zentrik::testing::TraceMeSpec other = op;
    other.thread_id = 3;
    other.thread_name = "main";
    other.name = "Idle";
    other.start_ns = kStart + 600;
    other.end_ns = kStart + 700;
    fixture_.AddTraceMe(other);

    ::zentrik::testing::KernelSpec kernel;
    kernel.thread_id = 7;
    kernel.device = 0;
    kernel.queue = 1;
    kernel.kernel_name = "gemm(float)";
    kernel.annotation = "MatMul";
    kernel.op_fullname = "MatMul";
    kernel.correlation_id = 11;
    kernel.launch_start_ns = kStart + 20;
    kernel.launch_end_ns = kStart + 30;
    kernel.start_ns = kStart + 300;
    kernel.end_ns = kStart + 400;
    fixture_.AddKernel(kernel);

    ::zentrik::testing::ApiCallSpec copy;
    copy.thread_id = 7;
    copy.function = "qxMemcpyAsync";
    copy.correlation_id = 12;
    copy.start_ns = kStart + 40;
    copy.end_ns = kStart + 50;
    fixture_.AddApiCall(copy);
    ::zentrik::testing::ActivitySpec memcpy;
    memcpy.device = 0;
    memcpy.queue = 2;
    memcpy.name = "MemcpyH2D";
    memcpy.correlation_id = 12;
    memcpy.start_ns = kStart + 450;
    memcpy.end_ns = kStart + 460;
    fixture_.AddActivity(memcpy);
    // A launch whose activity was never collected, outside any step.
    copy.correlation_id = 13;
    copy.start_ns = kStart + 650;
    copy.end_ns = kStart + 660;
    fixture_.AddApiCall(copy);

    fixture_.DevicePlane(0).GetOrCreateLine(5).SetName("Queue #5()");
    fixture_.AddOverhead("Buffer Flush", kStart + 800, kStart + 900);
  }

  const XPlane& Host() { return *FindPlaneWithName(fixture_.space(), kHostPlaneName); }
  const XPlane& Device() { return *FindPlaneWithName(fixture_.space(), "/device:ZRA:0"); }

  XSpaceFixture fixture_{kStart};
};

TEST_F(FixtureSpaceTest, GroupsOrdersMakesTimesRelativeAndRunsTwiceAlike) {
  XPlane* host = FindMutablePlaneWithName(&fixture_.space(), kHostPlaneName);
  // The overhead line began before the session: it keeps its timestamp.
  for (XLine& line : *host->mutable_lines()) {
    if (line.name() == "dravik_overhead") line.set_timestamp_ns(kStart - 1);
  }
  PostProcessSingleHostXSpace(&fixture_.space(), kStart);

  EXPECT_THAT(StatTexts(Host(), EventNamed(Host(), "Step")),
              AllOf(Contains(Pair("group_id", "0")), Contains(Pair("step_name", "Step 0"))));
  for (const char* name : {"MatMul", "MatMul##qxInvokeKernel", "##qxMemcpyAsync"}) {
    const XEvent& event = *EventsNamed(Host(), name).front();
    EXPECT_THAT(StatTexts(Host(), event), Contains(Pair("group_id", "0"))) << name;
    EXPECT_THAT(StatTexts(Host(), event), Not(Contains(Key("step_name")))) << name;
  }
  for (const char* name : {"MatMul##gemm(float)", "##MemcpyH2D"}) {
    EXPECT_THAT(StatTexts(Device(), EventNamed(Device(), name)), Contains(Pair("group_id", "0")));
  }
  // Outside the step: the second memory-copy call, the idle thread, overhead.
  EXPECT_THAT(StatTexts(Host(), *EventsNamed(Host(), "##qxMemcpyAsync").back()),
              Not(Contains(Key("group_id"))));
  for (const char* name : {"Idle", "Buffer Flush"}) {
    EXPECT_THAT(StatTexts(Host(), EventNamed(Host(), name)), Not(Contains(Key("group_id"))));
  }
  EXPECT_THAT(StatMetadataNames(Device()), Contains(Pair(::testing::_, "step_name")));

  std::vector<std::pair<std::string, int64_t>> lines;
  for (const XLine& line : Host().lines()) lines.emplace_back(line.name(), line.timestamp_ns());
  EXPECT_THAT(lines, ElementsAre(Pair("dravik_overhead", static_cast<int64_t>(kStart - 1)),
                                 Pair("main/3", 0), Pair("worker/7", 0)));
  std::vector<std::string> worker_events;
  const XPlaneVisitor visitor = CreateTypedXPlaneVisitor(&Host());
  for (const XEvent& event : Host().lines(2).events()) {
    worker_events.push_back(visitor.GetEventMetadata(event.metadata_id())->name());
  }
  EXPECT_THAT(worker_events, ElementsAre("Step", "MatMul", "MatMul##qxInvokeKernel",
                                         "##qxMemcpyAsync", "##qxMemcpyAsync"));
  // The idle queue is gone, the queues with activity stay, no step line.
  std::vector<int64_t> device_lines;
  for (const XLine& line : Device().lines()) device_lines.push_back(line.id());
  EXPECT_THAT(device_lines, ElementsAre(1, 2));

  const std::string once = ::zentrik::testing::DeterministicBytes(fixture_.space());
  PostProcessSingleHostXSpace(&fixture_.space(), kStart);
  EXPECT_EQ(::zentrik::testing::DeterministicBytes(fixture_.space()), once);
}

// A fixed-seed session as the tracer collects it: kernel launches with
// counters and their device activity, plus 4 threads of recorded TraceMe steps
// nested 5 deep, 2 scopes in 5 with arguments.
constexpr uint64_t kSessionStart = 1'000'000;

void FixedSession(XSpace* devices, TraceMeRecorder::Events* recorded) {
  std::mt19937 rng(2026);
  ::zentrik::testing::XSpaceFixture fixture(kSessionStart);
  uint32_t correlation_id = 0;
  for (uint32_t tid = 1; tid <= 4; ++tid) {
    TraceMeRecorder::ThreadEvents thread{{tid, "worker"}, {}};
    uint64_t t = kSessionStart + rng() % 100;
    for (int step = 0; step < 60; ++step) {
      const std::string op = "conv" + std::to_string(rng() % 4) + ":Conv2D";
      const int64_t s = static_cast<int64_t>(t);
      const int64_t leaf_end = s + 40 + static_cast<int64_t>(rng() % 600);
      // TraceMe records at the end of a scope: innermost first.
      thread.events.push_back({"leaf", s + 40, leaf_end});
      thread.events.push_back({"MatMul#flops=" + std::to_string(rng() % 100) +
                                   ",mac_ops=" + std::to_string(rng() % 5000) + "#",
                               s + 30, s + 700});
      thread.events.push_back({op + "#data_type=" + std::to_string(rng() % 3) + "#", s + 20,
                               s + 800});
      thread.events.push_back({"layer", s + 10, s + 900});
      thread.events.push_back(
          {"train_step#_r=1,step_num=" + std::to_string(step) + "#", s, s + 1000});
      if (rng() % 3 != 0) {
        ::zentrik::testing::KernelSpec kernel;
        kernel.thread_id = tid;
        kernel.annotation = kernel.op_fullname = rng() % 4 == 0 ? "other" : op;
        kernel.correlation_id = ++correlation_id;
        kernel.launch_start_ns = t + 50 + rng() % 100;
        kernel.launch_end_ns = kernel.launch_start_ns + 5;
        kernel.start_ns = t + 300;
        kernel.end_ns = t + 400;
        if (rng() % 2 == 0) {
          PmuData counters;
          counters.set_mac_ops(rng() % 1000);
          counters.set_lt_cycles(rng() % 1000);
          kernel.counters = counters;
        }
        kernel.device_info.set_frequency(1000 + rng() % 10);
        fixture.AddKernel(kernel);
      }
      t += 1000 + rng() % 50;
    }
    recorded->push_back(std::move(thread));
  }
  *devices = fixture.space();
}

// The whole collection as the tracer runs it, on an arena.
std::string CollectOnArena(const XSpace& devices, TraceMeRecorder::Events recorded) {
  google::protobuf::Arena arena;
  XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  *space = devices;
  ConvertRecordedEventsToHostPlane(kSessionStart, std::move(recorded),
                                   FindOrAddMutablePlaneWithName(space, kHostPlaneName));
  PostProcessSingleHostXSpace(space, kSessionStart);
  FillHostKernelPmuData(space);
  return ::zentrik::testing::DeterministicBytes(*space);
}

// The same passes spelled out on the heap, every sort a full stable sort.
std::string CollectPlainly(XSpace space, TraceMeRecorder::Events recorded) {
  ConvertRecordedEventsToHostPlane(kSessionStart, std::move(recorded),
                                   FindOrAddMutablePlaneWithName(&space, kHostPlaneName));
  auto sort_events = [&space] {
    for (XPlane& plane : *space.mutable_planes()) {
      for (XLine& line : *plane.mutable_lines()) {
        auto* events = line.mutable_events();
        std::stable_sort(events->pointer_begin(), events->pointer_end(), XEventsComparator());
      }
    }
  };
  auto* host_lines = FindOrAddMutablePlaneWithName(&space, kHostPlaneName)->mutable_lines();
  std::stable_sort(host_lines->pointer_begin(), host_lines->pointer_end(),
                   XLinesComparatorByName());
  NormalizeTimestamps(&space, kSessionStart);
  sort_events();
  EventGrouper grouper;
  GroupEvents(&space, &grouper);
  BuildStepLines(grouper.GetGroupMetadataMap(), &space, /*step_info_only=*/false);
  sort_events();
  FillHostKernelPmuData(&space);
  return ::zentrik::testing::DeterministicBytes(space);
}

uint64_t Fnv1a(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ULL;
  return hash;
}

TEST(CollectionBytesTest, ArenaCollectionMatchesThePlainPassesAndTheGoldenDigest) {
  XSpace devices;
  TraceMeRecorder::Events recorded;
  FixedSession(&devices, &recorded);
  const std::string plain = CollectPlainly(devices, recorded);
  EXPECT_EQ(CollectOnArena(devices, recorded), plain);
  // Digest of the bytes before the collection path was optimised.
  EXPECT_EQ(Fnv1a(plain), 0xbbeb05580b846ef0ULL) << plain.size();
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
