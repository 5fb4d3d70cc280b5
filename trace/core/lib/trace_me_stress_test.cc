// Many threads record and annotate while sessions start and stop; run under
// ThreadSanitizer too. Every activity known to lie inside a session must be
// collected by that session, and no activity may be collected twice.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/trace_me_events.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/annotation_stack.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kWorkers = 16;
constexpr int kSessions = 20;
constexpr int kIterationsPerThread = 150;

// Odd values: a session runs and has that id. Even values: none is known to run.
std::atomic<uint64_t> epoch{0};
std::atomic<bool> done{false};
// The epoch each worker read after its latest complete activity.
std::atomic<uint64_t> acked[kWorkers];

using Certain = std::pair<uint64_t, std::string>;  // session, activity name

// One short-lived thread of worker `w`: records, annotates and exits.
void RunWorkerThread(int w, int generation, std::vector<Certain>* certain) {
  for (int i = 0; i < kIterationsPerThread && !done.load(); ++i) {
    const std::string name = "w" + std::to_string(w) + "-" + std::to_string(generation) + "-" +
                             std::to_string(i);
    const uint64_t before = epoch.load(std::memory_order_acquire);
    {
      ScopedAnnotation outer("stress-outer-" + std::to_string(w % 4));
      AnnotatedTraceMe activity([&] { return name; }, kCritical);
      ScopedAnnotation inner("stress-inner");
      if (i % 10 == 0) TraceMe::RecordInstantTrace(name + "-instant");
    }
    const uint64_t after = epoch.load(std::memory_order_acquire);
    if (before == after && before % 2 == 1) {
      certain->push_back({before, name});
      if (i % 10 == 0) certain->push_back({before, name + "-instant"});
    }
    acked[w].store(after, std::memory_order_release);
  }
  EXPECT_TRUE(ThreadAnnotationStack::Get().empty());
}

void RunWorker(int w, std::vector<Certain>* certain) {
  for (int generation = 0; !done.load(); ++generation) {
    std::thread(RunWorkerThread, w, generation, certain).join();
    // The joined thread's events happen before this acknowledgement.
    acked[w].store(epoch.load(), std::memory_order_release);
  }
}

void WaitForAcks(uint64_t value) {
  for (auto& ack : acked) {
    while (ack.load(std::memory_order_acquire) < value) std::this_thread::yield();
  }
}

TEST(TraceMeStressTest, SessionsCollectEveryActivityExactlyOnce) {
  TraceMeRecorder::Get()->Stop();
  std::vector<std::vector<Certain>> certain(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) workers.emplace_back(RunWorker, w, &certain[w]);

  std::map<std::string, std::pair<int, uint64_t>> collected;  // name -> (count, session)
  for (int s = 0; s < kSessions; ++s) {
    SetAnnotationsEnabled(s % 2 == 0);
    ASSERT_TRUE(TraceMeRecorder::Get()->Start(1 + s % 3));
    const uint64_t session = epoch.fetch_add(1) + 1;
    WaitForAcks(session);  // Every worker saw this session at least once.
    SetAnnotationsEnabled(s % 2 == 1);
    const uint64_t ended = epoch.fetch_add(1) + 1;
    WaitForAcks(ended);
    for (const auto& thread : TraceMeRecorder::Get()->Stop()) {
      for (const auto& event : thread.events) {
        auto& entry = collected[event.name];
        ++entry.first;
        entry.second = session;
      }
    }
  }
  done.store(true);
  for (auto& worker : workers) worker.join();
  SetAnnotationsEnabled(false);

  size_t certain_count = 0;
  for (const auto& list : certain) {
    for (const auto& [session, name] : list) {
      ++certain_count;
      auto it = collected.find(name);
      ASSERT_NE(it, collected.end()) << name << " of session " << session << " was lost";
      EXPECT_EQ(it->second.second, session) << name;
    }
  }
  for (const auto& [name, entry] : collected) EXPECT_EQ(entry.first, 1) << name;
  EXPECT_GT(certain_count, 0u);
  EXPECT_EQ(TraceMeRecorder::DroppedEvents(), 0u);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
