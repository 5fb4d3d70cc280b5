#include "trace/core/internal/cpu/traceme_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "testing/child_process.h"
#include "testing/trace_me_events.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::EventNames;

TraceMeRecorder* Recorder() { return TraceMeRecorder::Get(); }

void Record(const std::string& name, int64_t time = 1) {
  TraceMeRecorder::Record({name, time, time + 1});
}

class TraceMeRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceMeRecorder::Get()->Stop(); }
  void TearDown() override { TraceMeRecorder::Get()->Stop(); }
};

// Level -1 stands for "idle": the thread records and exits with the recorder
// stopped. What was queued while idle is discarded by Start; a negative level
// counts as 0, at which nothing is kept.
TEST_F(TraceMeRecorderTest, ExitedThreadsKeepTheirEventsOnlyWhileRecordingAtLevelOneOrMore) {
  const struct {
    int level;
    bool kept;
    int threshold;
  } cases[] = {{-1, false, -1}, {-5, false, 0}, {3, true, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    Record("queued while idle");
    if (c.level != -1) {
      ASSERT_TRUE(Recorder()->Start(c.level));
      EXPECT_FALSE(Recorder()->Start(3));
    }
    EXPECT_EQ(TraceMeRecorder::threshold.load(), c.threshold);
    const size_t registered = Recorder()->RegisteredThreadCount();
    std::thread([] { Record("exited"); }).join();
    EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered + (c.kept ? 1 : 0));
    ASSERT_TRUE(c.level != -1 || Recorder()->Start(1));
    EXPECT_EQ(EventNames(Recorder()->Stop()),
              c.kept ? std::vector<std::string>{"exited"} : std::vector<std::string>{});
    EXPECT_EQ(TraceMeRecorder::threshold.load(), -1);
    // The exited thread's entry went with the collection.
    EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered);
  }
}

// Joined one by one, the C library tends to hand the next thread the same
// pthread_self value: entries sharing an id come out separately, in
// registration order, and each exited entry goes with the collection.
// Threads come out by tid, each with its events in recording order.
TEST_F(TraceMeRecorderTest, ThreadsReusingAnExitedThreadsIdLoseNothing) {
  ASSERT_TRUE(Recorder()->Start(1));
  const size_t registered = Recorder()->RegisteredThreadCount();
  for (int i = 0; i < 8; ++i) {
    std::thread([i] {
      Record(std::to_string(i), 2);
      Record(std::to_string(i) + "-later", 1);
    }).join();
  }
  const TraceMeRecorder::Events events = Recorder()->Stop();
  ASSERT_EQ(events.size(), 8u);
  std::map<uint32_t, std::vector<int>> order_by_tid;  // ordered by tid, as the threads must be
  for (const auto& thread : events) {
    const std::string& first = thread.events[0].name;
    ASSERT_EQ(EventNames({thread}), std::vector<std::string>({first, first + "-later"}));
    EXPECT_TRUE(order_by_tid.empty() || order_by_tid.rbegin()->first <= thread.thread.tid);
    order_by_tid[thread.thread.tid].push_back(std::stoi(first));
  }
  std::vector<int> all;
  for (const auto& [tid, order] : order_by_tid) all.insert(all.end(), order.begin(), order.end());
  EXPECT_THAT(all, ::testing::UnorderedElementsAre(0, 1, 2, 3, 4, 5, 6, 7));
  for (const auto& [tid, order] : order_by_tid) {
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << tid;
  }
  EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRIK_UNDER_SANITIZER 1
#else
#define ZENTRIK_UNDER_SANITIZER 0
#endif

// Lowers the address-space limit until recording cannot get a new block; the
// events kept across thousands of blocks all come back, the last one last.
ZENTRIK_CHILD_SCENARIO(RecordWhenMemoryRunsOut) {
  if (!TraceMeRecorder::Get()->Start(1)) return 10;
  Record("first");  // Registers the thread while memory is plentiful.
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) return 11;
  fclose(statm);
  rlimit original;
  getrlimit(RLIMIT_AS, &original);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (4 << 20);
  if (setrlimit(RLIMIT_AS, &lowered) != 0) return 12;
  uint64_t attempted = 1;
  // Names fit the string's inline buffer: only queue blocks need memory.
  for (; attempted < 20000000 && TraceMeRecorder::DroppedEvents() < 5; ++attempted) Record("e");
  setrlimit(RLIMIT_AS, &original);
  const uint64_t dropped = TraceMeRecorder::DroppedEvents();
  Record("after");
  ++attempted;
  const TraceMeRecorder::Events events = TraceMeRecorder::Get()->Stop();
  const std::vector<std::string> names = EventNames(events);
  printf("dropped=%llu collected+dropped=attempted:%d last=%s\n",
         static_cast<unsigned long long>(dropped), names.size() + dropped == attempted,
         names.empty() ? "" : names.back().c_str());
  return 0;
}

TEST(TraceMeRecorderMemoryTest, RecordDropsAndCountsEventsWhenMemoryRunsOut) {
  if (ZENTRIK_UNDER_SANITIZER) GTEST_SKIP() << "sanitizer allocators abort when memory runs out";
  const auto result = ::zentrik::testing::RunScenario("RecordWhenMemoryRunsOut");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "dropped=5 collected+dropped=attempted:1 last=after\n") << result.err;
}

std::unique_ptr<ProfilerInterface> HostTracerAtLevel(uint32_t level) {
  ProfileOptions options;
  options.set_host_tracer_level(level);
  return CreateHostTracer(options);
}

// Each misuse is refused with its own message and changes nothing; events up
// to the level are kept; destroying a recording tracer stops the recorder.
TEST_F(TraceMeRecorderTest, HostTracerRefusesCallsOutOfOrder) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  { TraceMe info("info", kInfo); }
  EXPECT_EQ(tracer->Start(0).ToString(), "Internal: TraceMeRecorder already started");
  EXPECT_EQ(HostTracerAtLevel(1)->Start(0).ToString(), "Internal: Failed to start TraceMeRecorder");
  { TraceMe kept("kept"); }
  XSpace space;
  EXPECT_EQ(tracer->CollectData(&space).ToString(), "Internal: TraceMeRecorder not stopped");
  EXPECT_EQ(space.planes_size(), 0);
  ASSERT_TRUE(tracer->Stop().ok());
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  ASSERT_TRUE(tracer->CollectData(&space).ok());  // the events were handed over once
  ASSERT_EQ(space.planes_size(), 1);
  const XPlane& plane = space.planes(0);
  ASSERT_EQ(plane.lines_size(), 1);
  ASSERT_EQ(plane.lines(0).events_size(), 1);
  EXPECT_EQ(plane.event_metadata().at(plane.lines(0).events(0).metadata_id()).name(), "kept");
  HostTracerAtLevel(1)->Start(EnvTime::NowNanos());
  EXPECT_FALSE(TraceMe::Active(kCritical));
}

// A thread that recorded in an earlier session and stays silent in this one
// is left out of the collection; once it has exited, its entry goes with it.
TEST_F(TraceMeRecorderTest, SilentThreadsAreLeftOutButErasedWhenExited) {
  std::promise<void> recorded, second_session;
  ASSERT_TRUE(Recorder()->Start(1));
  std::thread worker([&] {
    Record("once");
    recorded.set_value();
    second_session.get_future().wait();
  });
  recorded.get_future().wait();
  EXPECT_EQ(EventNames(Recorder()->Stop()), std::vector<std::string>{"once"});
  ASSERT_TRUE(Recorder()->Start(1));
  const size_t registered = Recorder()->RegisteredThreadCount();
  second_session.set_value();
  worker.join();
  EXPECT_TRUE(Recorder()->Stop().empty());
  EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered - 1);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
