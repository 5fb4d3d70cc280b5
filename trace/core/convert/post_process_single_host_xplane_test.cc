#include "trace/core/convert/post_process_single_host_xplane.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <google/protobuf/arena.h>

#include <random>
#include <string>
#include <utility>
#include <vector>
#include <tuple>

#include "testing/child_process.h"
#include "testing/proto_bytes.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/derived_timeline.h"
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

}  // namespace
}  // namespace trace
}  // namespace zentrik
