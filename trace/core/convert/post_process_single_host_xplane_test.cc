#include "trace/core/convert/post_process_single_host_xplane.h"

#include <gmock/gmock.h>
#include <google/protobuf/arena.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
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

ZENTRIK_CHILD_SCENARIO(PostProcessEmptySpace) {
  XSpace space;
  PostProcessSingleHostXSpace(&space, 0);
  return space.planes_size() == 1 ? 0 : 1;
}

TEST(PostProcessSingleHostXSpaceTest, LogsThePassAtInfo) {
  for (const char* level : {"0", "1"}) {
    const auto run = ::zentrik::testing::RunScenario("PostProcessEmptySpace",
                                                     {{"ZENTRIK_CPP_MIN_LOG_LEVEL", level}});
    EXPECT_EQ(run.exit_code, 0) << level;
    const size_t logged = run.err.find("] Post processing local profiler XSpace.\n");
    EXPECT_EQ(logged != std::string::npos, level[0] == '0') << run.err;
  }
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

// The whole collection as the tracer runs it, into `space`.
void Collect(const XSpace& devices, TraceMeRecorder::Events recorded, XSpace* space) {
  *space = devices;
  ConvertRecordedEventsToHostPlane(kSessionStart, std::move(recorded),
                                   FindOrAddMutablePlaneWithName(space, kHostPlaneName));
  PostProcessSingleHostXSpace(space, kSessionStart);
  FillHostKernelPmuData(space);
}

// The same on an arena, as the tracer does it.
std::string CollectOnArena(const XSpace& devices, TraceMeRecorder::Events recorded) {
  google::protobuf::Arena arena;
  XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  Collect(devices, std::move(recorded), space);
  return ::zentrik::testing::DeterministicBytes(*space);
}

uint64_t Fnv1a(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ULL;
  return hash;
}

// The digest of the bytes the plain heap passes (every sort a full stable
// sort) gave before the collection path was optimised.
TEST(CollectionBytesTest, ArenaCollectionMatchesTheGoldenDigest) {
  XSpace devices;
  TraceMeRecorder::Events recorded;
  FixedSession(&devices, &recorded);
  const std::string bytes = CollectOnArena(devices, std::move(recorded));
  EXPECT_EQ(Fnv1a(bytes), 0xbbeb05580b846ef0ULL) << bytes.size();
}

// Sessions that probe the corners of collection, one per seed: threads that
// share an id, equal starts, zero and negative lengths, events from before
// the session, ill-formed UTF-8, arguments with empty pairs, counter keys and
// the keys grouping writes itself, and a host plane that already holds
// kernel launches on some seeds.
void OddSession(uint32_t seed, XSpace* devices, TraceMeRecorder::Events* recorded) {
  static constexpr const char* kNames[] = {"a",
                                           "a:b:Mul",
                                           "step#_r=1,step_num=3#",
                                           "op#k=1,=x,data_type=3#",
                                           "n#mac_ops=5,read_bytes=zz,k=2.5#",
                                           "\xff\xfe#k=\xc3#",
                                           "g#group_id=9,step_name=s#",
                                           "#",
                                           "",
                                           "e#,,=,k=#",
                                           "conv0:Conv2D#data_type=1#",
                                           "iter#_r=1,_ct=3#",
                                           "x\xe2\x82"};
  std::mt19937 rng(seed);
  auto below = [&rng](uint32_t bound) { return static_cast<int64_t>(rng() % bound); };
  ::zentrik::testing::XSpaceFixture fixture(kSessionStart);
  if (seed % 2 == 1) {
    ::zentrik::testing::KernelSpec kernel;
    kernel.thread_id = 1;
    kernel.annotation = kernel.op_fullname = "conv0:Conv2D";
    kernel.launch_start_ns = kSessionStart + 5;
    kernel.launch_end_ns = kSessionStart + 6;
    kernel.start_ns = kSessionStart + 10;
    kernel.end_ns = kSessionStart + 20;
    PmuData counters;
    counters.set_mac_ops(7);
    kernel.counters = counters;
    fixture.AddKernel(kernel);
  }
  *devices = fixture.space();
  for (int t = 1 + below(4); t > 0; --t) {
    TraceMeRecorder::ThreadEvents thread{{static_cast<uint32_t>(1 + below(3)), "w\xff"}, {}};
    const uint32_t spread = 1 + rng() % 30;
    for (int i = below(40); i > 0; --i) {
      int64_t start = static_cast<int64_t>(kSessionStart) - 3 + below(spread + 3);
      int64_t end = start + below(spread / 2 + 1);
      if (rng() % 30 == 0) start = 0;
      if (rng() % 30 == 0) end = start - 2;
      thread.events.push_back({kNames[rng() % std::size(kNames)], start, end});
    }
    // Mostly as TraceMe records them, by their ends; some not at all.
    if (rng() % 3 != 0) {
      std::stable_sort(thread.events.begin(), thread.events.end(),
                       [](const auto& a, const auto& b) { return a.end_time < b.end_time; });
    }
    recorded->push_back(std::move(thread));
  }
}

// Collects every odd session on the heap and on an arena, also grouped a
// second time; prints the digest of all the bytes, or fails when the two
// collections differ.
ZENTRIK_CHILD_SCENARIO(CollectOddSessions) {
  uint64_t digest = 0;
  for (uint32_t seed = 0; seed < 200; ++seed) {
    XSpace devices;
    TraceMeRecorder::Events recorded;
    OddSession(seed, &devices, &recorded);
    XSpace heap;
    Collect(devices, recorded, &heap);
    google::protobuf::Arena arena;
    XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    Collect(devices, std::move(recorded), space);
    const std::string bytes = ::zentrik::testing::DeterministicBytes(*space);
    if (bytes != ::zentrik::testing::DeterministicBytes(heap)) return 1;
    EventGrouper again;
    GroupEvents(space, &again);
    digest = digest * 31 + Fnv1a(bytes + ::zentrik::testing::DeterministicBytes(*space));
  }
  std::printf("%016llx", static_cast<unsigned long long>(digest));
  return 0;
}

// The digests of the bytes and of the log lines that the collection gave for
// these sessions before it was optimised: events made in start order, the
// shared group ids and the shortcuts of the kernel PMU pass leave both as
// they were.
TEST(CollectionBytesTest, OddSessionsMatchTheGoldenDigests) {
  const auto run = ::zentrik::testing::RunScenario("CollectOddSessions",
                                                   {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(run.exit_code, 0) << "heap and arena collections differ";
  EXPECT_EQ(run.out, "3804384d1ad8d024");
  std::string logged;
  for (const char* source :
       {"trace/core/internal/cpu/host_tracer_utils", "trace/core/utils/parse_annotation",
        "trace/core/utils/qx_op_utils"}) {
    for (const std::string& line : ::zentrik::testing::LogLinesFrom(run.err, source)) {
      logged += line + "\n";
    }
  }
  EXPECT_EQ(Fnv1a(logged), 0xc0b2a1c571c933f9ULL) << logged.size();
}

constexpr int64_t kStep = -559038737;
constexpr int64_t kOtherDerived = 0x1deadbeefLL;  // the derived low 32 bits, other high bits
using Line = std::tuple<int64_t, std::string, int64_t, int>;  // id, name, timestamp, events

// Each row's lines before and after on a device plane; a second run changes
// nothing unless the line that timed the step line was empty and is gone.
// Other planes are left alone; the device plane gains the stat metadata.
TEST(DerivedTimelineTest, PreparesTheStepLineOfADevicePlane) {
  const struct {
    std::vector<Line> before, after;
    bool second_run_same = true;
  } cases[] = {
      {{{1, "a", 100, 0}, {2, "b", 200, 3}, {3, "c", 300, 0}, {4, "d", 400, 1}},
       {{2, "b", 200, 3}, {4, "d", 400, 1}}},
      {{{1, "q", 300, 1}, {kStep, "x", 0, 1}, {2, "r", 800, 0}},
       {{1, "q", 300, 1}, {kStep, "Steps", 800, 1}},
       false},
      {{{kStep, "x", 0, 1}, {1, "q", 300, 1}, {kOtherDerived, "other", 900, 2}},
       {{kStep, "Steps", 300, 1}, {1, "q", 300, 1}, {kOtherDerived, "other", 900, 2}}},
      {{{kStep, "x", 0, 1}, {kStep, "y", 0, 1}, {1, "q", 300, 1}},
       {{kStep, "Steps", 300, 1}, {kStep, "y", 0, 1}, {1, "q", 300, 1}}},
  };
  for (size_t row = 0; row < std::size(cases); ++row) {
    XSpace space, expected;
    for (XSpace* s : {&space, &expected}) {
      for (const char* name : {kHostPlaneName, "device:ZRA:0", "/device:ZRA:0"}) {
        XPlane* plane = s->add_planes();
        plane->set_name(name);
        const bool changed = s == &expected && plane->name() == "/device:ZRA:0";
        for (const auto& [id, line_name, timestamp, events] :
             changed ? cases[row].after : cases[row].before) {
          XLine* line = plane->add_lines();
          line->set_id(id);
          line->set_name(line_name);
          line->set_timestamp_ns(timestamp);
          for (int i = 0; i < events; ++i) line->add_events()->set_offset_ps(i);
        }
        for (auto [id, stat] : {std::pair<int64_t, const char*>{1, "group_id"}, {2, "step_name"}}) {
          if (!changed) continue;
          (*plane->mutable_stat_metadata())[id].set_id(id);
          (*plane->mutable_stat_metadata())[id].set_name(stat);
        }
      }
    }
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    const std::string once = testing::DeterministicBytes(space);
    EXPECT_EQ(once, testing::DeterministicBytes(expected)) << "row " << row;
    BuildStepLines(GroupMetadataMap(), &space, /*step_info_only=*/false);
    EXPECT_EQ(testing::DeterministicBytes(space) == once, cases[row].second_run_same) << row;
  }
}

TEST(PostProcessSingleHostXSpaceTest, EmptySpaceGainsABareHostPlane) {
  XSpace space;
  PostProcessSingleHostXSpace(&space, 12345);
  XSpace expected;
  XPlane* host = expected.add_planes();
  host->set_name("/host:CPU");
  for (auto [id, name] : {std::pair<int64_t, const char*>{1, "group_id"}, {2, "step_name"}}) {
    (*host->mutable_stat_metadata())[id].set_id(id);
    (*host->mutable_stat_metadata())[id].set_name(name);
  }
  EXPECT_EQ(testing::DeterministicBytes(space), testing::DeterministicBytes(expected));
}

// A session that started at 1000 ns as the tracers write it: two host
// threads, a step on one of them launching a kernel and a memory copy onto
// device 0, an idle queue and an overhead line that began before the session.
// Post-processing groups the step's host and device events into one step,
// sorts the lines, makes times relative to the session and drops the idle
// queue; running it again changes nothing. The collection digest guards the
// same passes as a whole; this says which of them broke.
TEST(PostProcessSingleHostXSpaceTest, GroupsOrdersMakesTimesRelativeAndRunsTwiceAlike) {
  constexpr uint64_t kStart = 1000;
  testing::XSpaceFixture fixture(kStart);
  testing::TraceMeSpec step;
  step.thread_id = 7;
  step.thread_name = "worker";
  step.name = "Step";
  step.start_ns = kStart + 10;
  step.end_ns = kStart + 500;
  step.args = {{"_r", int64_t{1}}};
  // The inner op is added first: sorting puts the step (same start, longer)
  // before it.
  testing::TraceMeSpec op = step;
  op.name = "MatMul";
  op.end_ns = kStart + 200;
  op.args = {};
  fixture.AddTraceMe(op);
  fixture.AddTraceMe(step);
  testing::TraceMeSpec other = op;
  other.thread_id = 3;
  other.thread_name = "main";
  other.name = "Idle";
  other.start_ns = kStart + 600;
  other.end_ns = kStart + 700;
  fixture.AddTraceMe(other);

  testing::KernelSpec kernel;
  kernel.thread_id = 7;
  kernel.kernel_name = "gemm(float)";
  kernel.annotation = "MatMul";
  kernel.op_fullname = "MatMul";
  kernel.correlation_id = 11;
  kernel.launch_start_ns = kStart + 20;
  kernel.launch_end_ns = kStart + 30;
  kernel.start_ns = kStart + 300;
  kernel.end_ns = kStart + 400;
  fixture.AddKernel(kernel);
  testing::ApiCallSpec copy;
  copy.thread_id = 7;
  copy.function = "qxMemcpyAsync";
  copy.correlation_id = 12;
  copy.start_ns = kStart + 40;
  copy.end_ns = kStart + 50;
  fixture.AddApiCall(copy);
  testing::ActivitySpec memcpy;
  memcpy.queue = 2;
  memcpy.name = "MemcpyH2D";
  memcpy.correlation_id = 12;
  memcpy.start_ns = kStart + 450;
  memcpy.end_ns = kStart + 460;
  fixture.AddActivity(memcpy);
  // A launch whose activity was never collected, outside any step.
  copy.correlation_id = 13;
  copy.start_ns = kStart + 650;
  copy.end_ns = kStart + 660;
  fixture.AddApiCall(copy);
  fixture.DevicePlane(0).GetOrCreateLine(5).SetName("Queue #5()");
  fixture.AddOverhead("Buffer Flush", kStart + 800, kStart + 900);
  XSpace& space = fixture.space();
  for (XLine& line : *FindMutablePlaneWithName(&space, kHostPlaneName)->mutable_lines()) {
    if (line.name() == "dravik_overhead") line.set_timestamp_ns(kStart - 1);
  }

  PostProcessSingleHostXSpace(&space, kStart);

  // Per line: its name or id, its timestamp, then each event's name and its
  // group_id and step_name ("-" when missing).
  std::string text;
  for (const XPlane& plane : space.planes()) {
    text += plane.name() + "\n";
    for (const XLine& line : plane.lines()) {
      text += (line.name().empty() ? std::to_string(line.id()) : line.name()) + "@" +
              std::to_string(line.timestamp_ns()) + ":";
      for (const XEvent& event : line.events()) {
        const auto stats = testing::StatTexts(plane, event);
        const auto stat = [&stats](const char* key) {
          const auto it = stats.find(key);
          return it == stats.end() ? std::string("-") : it->second;
        };
        text += " " + plane.event_metadata().at(event.metadata_id()).name() + "=" +
                stat("group_id") + "/" + stat("step_name");
      }
      text += "\n";
    }
  }
  EXPECT_EQ(text,
            "/host:CPU\n"
            "dravik_overhead@999: Buffer Flush=-/-\n"
            "main/3@0: Idle=-/-\n"
            "worker/7@0: Step=0/Step 0 MatMul=0/- MatMul##qxInvokeKernel=0/- "
            "##qxMemcpyAsync=0/- ##qxMemcpyAsync=-/-\n"
            "/device:ZRA:0\n"
            "Queue #1(Compute,)@0: MatMul##gemm(float)=0/-\n"
            "Queue #2(MemcpyH2D,)@0: ##MemcpyH2D=0/-\n");
  EXPECT_THAT(testing::StatMetadataNames(*FindPlaneWithName(space, "/device:ZRA:0")),
              ::testing::Contains(::testing::Pair(::testing::_, "step_name")));

  const std::string once = testing::DeterministicBytes(space);
  PostProcessSingleHostXSpace(&space, kStart);
  EXPECT_EQ(testing::DeterministicBytes(space), once);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
