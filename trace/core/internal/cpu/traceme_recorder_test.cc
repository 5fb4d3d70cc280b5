#include "trace/core/internal/cpu/traceme_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/trace_me_events.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
using ::zentrik::testing::EventNames;
using Block = TraceMeRecorder::EventQueue::Block;

TraceMeRecorder* Recorder() { return TraceMeRecorder::Get(); }

void Record(const std::string& name, int64_t time = 1) {
  TraceMeRecorder::Record({name, time, time + 1});
}

uint32_t CurrentTid() { return static_cast<uint32_t>(pthread_self()); }

class TraceMeRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { ::zentrik::testing::StopRecorder(); }
  void TearDown() override { ::zentrik::testing::StopRecorder(); }
};

TEST_F(TraceMeRecorderTest, CollectsEachThreadsEventsInOrderByTid) {
  ASSERT_TRUE(Recorder()->Start(1));
  Record("main-0", 10);
  Record("main-1", 20);
  // The workers stay alive until the events were taken.
  std::promise<void> collected;
  std::shared_future<void> collected_future = collected.get_future().share();
  std::vector<std::promise<void>> recorded(3);
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([i, &recorded, collected_future] {
      const std::string name = "worker" + std::to_string(i);
      pthread_setname_np(pthread_self(), name.c_str());
      for (int j = 0; j < 3; ++j) Record(name + "-" + std::to_string(j), j);
      recorded[i].set_value();
      collected_future.wait();
    });
  }
  for (auto& promise : recorded) promise.get_future().wait();
  const TraceMeRecorder::Events events = Recorder()->Stop();
  collected.set_value();
  for (auto& worker : workers) worker.join();

  ASSERT_EQ(events.size(), 4u);
  for (size_t i = 0; i < events.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(events[i - 1].thread.tid, events[i].thread.tid);
    }
    const auto& thread = events[i];
    const std::string& name = thread.thread.name;
    const std::string prefix = name.rfind("worker", 0) == 0 ? name : "main";
    ASSERT_EQ(thread.events.size(), prefix == "main" ? 2u : 3u);
    for (size_t j = 0; j < thread.events.size(); ++j) {
      EXPECT_EQ(thread.events[j].name, prefix + "-" + std::to_string(j));
    }
  }
}

// Level -1 stands for "idle": the thread records and exits with the recorder
// stopped.
TEST_F(TraceMeRecorderTest, ExitedThreadsKeepTheirEventsOnlyWhileRecordingAtLevelOneOrMore) {
  const struct {
    int level;
    bool kept;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    if (c.level >= 0) {
      ASSERT_TRUE(Recorder()->Start(c.level));
    }
    const size_t registered = Recorder()->RegisteredThreadCount();
    std::thread([] { Record("exited"); }).join();
    EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered + (c.kept ? 1 : 0));
    if (c.level < 0) {
      ASSERT_TRUE(Recorder()->Start(1));
    }
    const std::vector<std::string> names = EventNames(Recorder()->Stop());
    EXPECT_EQ(names, c.kept ? std::vector<std::string>{"exited"} : std::vector<std::string>{});
    // The exited thread's entry went with the collection.
    EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered);
  }
}

TEST_F(TraceMeRecorderTest, ThreadsReusingAnExitedThreadsIdLoseNothing) {
  ASSERT_TRUE(Recorder()->Start(1));
  const size_t registered = Recorder()->RegisteredThreadCount();
  constexpr int kThreads = 8;
  std::vector<uint32_t> tids;
  std::vector<std::string> expected;
  for (int i = 0; i < kThreads; ++i) {
    // Joined one by one, so the C library tends to hand the next thread the
    // same pthread_self value.
    uint32_t tid = 0;
    std::thread([i, &tid] {
      Record("reuse-" + std::to_string(i));
      tid = CurrentTid();
    }).join();
    tids.push_back(tid);
    expected.push_back("reuse-" + std::to_string(i));
  }
  const TraceMeRecorder::Events events = Recorder()->Stop();
  EXPECT_THAT(EventNames(events), UnorderedElementsAreArray(expected));
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads));
  // Entries sharing an id come out separately, in registration order.
  std::map<uint32_t, std::vector<int>> order_by_tid;
  for (const auto& thread : events) {
    ASSERT_EQ(thread.events.size(), 1u);
    order_by_tid[thread.thread.tid].push_back(std::stoi(thread.events[0].name.substr(6)));
  }
  for (const auto& [tid, order] : order_by_tid) {
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << tid;
  }
  EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered);
}

TEST_F(TraceMeRecorderTest, StartDiscardsWhatWasQueuedWhileIdle) {
  Record("before-first-start");
  ASSERT_TRUE(Recorder()->Start(1));
  EXPECT_FALSE(Recorder()->Start(3));
  EXPECT_EQ(TraceMeRecorder::threshold.load(), 1);
  Record("first");
  EXPECT_THAT(EventNames(Recorder()->Stop()), ElementsAre("first"));
  EXPECT_EQ(TraceMeRecorder::threshold.load(), -1);
  Record("between-sessions");
  ASSERT_TRUE(Recorder()->Start(-5));
  EXPECT_EQ(TraceMeRecorder::threshold.load(), 0);
  Record("second");
  EXPECT_THAT(EventNames(Recorder()->Stop()), ElementsAre("second"));
}

TEST_F(TraceMeRecorderTest, SilentThreadsAreLeftOutButErasedWhenExited) {
  std::promise<void> recorded, second_session, exit_now;
  ASSERT_TRUE(Recorder()->Start(1));
  std::thread worker([&] {
    Record("once");
    recorded.set_value();
    second_session.get_future().wait();
  });
  recorded.get_future().wait();
  EXPECT_THAT(EventNames(Recorder()->Stop()), ElementsAre("once"));
  ASSERT_TRUE(Recorder()->Start(1));
  const size_t registered = Recorder()->RegisteredThreadCount();
  second_session.set_value();
  worker.join();
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
  EXPECT_EQ(Recorder()->RegisteredThreadCount(), registered - 1);
}

TEST(EventQueueTest, BlocksHoldAsManyEventsAsFitAndAreFreedWhenDrained) {
  constexpr uint64_t kPerBlock = Block::kEventsPerBlock;
  EXPECT_EQ(kPerBlock, (65536 - 16) / sizeof(TraceMeRecorder::Event));
  if (sizeof(TraceMeRecorder::Event) == 48) {
    EXPECT_EQ(kPerBlock, 1365u);
  }

  const uint64_t counts[] = {
      0, 1, kPerBlock - 2, kPerBlock - 1, kPerBlock, 2 * kPerBlock - 1, 3 * kPerBlock + 7};
  for (const uint64_t count : counts) {
    SCOPED_TRACE(count);
    TraceMeRecorder::EventQueue queue;
    // Filling the last slot of a block links the next one.
    for (uint64_t round = 0; round < 2; ++round) {
      for (uint64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(queue.Push("e" + std::to_string(i), static_cast<int64_t>(i), 0));
      }
      const uint64_t first_index = round * count;
      const uint64_t end_index = first_index + count;
      EXPECT_EQ(queue.BlockCount(), end_index / kPerBlock - first_index / kPerBlock + 1);
      std::deque<TraceMeRecorder::Event> out;
      queue.PopAll(&out);
      ASSERT_EQ(out.size(), count);
      for (uint64_t i = 0; i < count; ++i) {
        EXPECT_EQ(out[i].name, "e" + std::to_string(i));
        EXPECT_EQ(out[i].start_time, static_cast<int64_t>(i));
      }
      EXPECT_EQ(queue.BlockCount(), 1u);
    }
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRIK_UNDER_SANITIZER 1
#else
#define ZENTRIK_UNDER_SANITIZER 0
#endif

// Lowers the address-space limit until recording cannot get a new block.
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

}  // namespace
}  // namespace trace
}  // namespace zentrik
