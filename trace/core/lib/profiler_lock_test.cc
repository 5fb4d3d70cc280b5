#include "trace/core/lib/profiler_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

TEST(ProfilerLockTest, GuardReleasesOnEveryWayOut) {
  {
    ProfilerLock lock = ProfilerLock::TryAcquire();
    EXPECT_TRUE(lock.Active());
    EXPECT_FALSE(ProfilerLock::TryAcquire().Active());
  }
  EXPECT_THROW(
      {
        ProfilerLock lock = ProfilerLock::TryAcquire();
        ASSERT_TRUE(lock.Active());
        throw std::runtime_error("construction failed");
      },
      std::runtime_error);

  ProfilerLock first = ProfilerLock::TryAcquire();
  ASSERT_TRUE(first.Active());
  // A refused guard never frees the holder's lock.
  { ProfilerLock refused = ProfilerLock::TryAcquire(); }
  EXPECT_FALSE(AcquireProfilerLock());
  // Moving hands the lock over; it is released once.
  ProfilerLock moved = std::move(first);
  EXPECT_FALSE(first.Active());
  EXPECT_TRUE(moved.Active());
  moved.Release();
  moved.Release();
  EXPECT_FALSE(moved.Active());
  ASSERT_TRUE(AcquireProfilerLock());
  ReleaseProfilerLock();
}

TEST(ProfilerLockTest, ConcurrentAcquirersGetItOnce) {
  constexpr int kThreads = 16;
  std::atomic<int> winners{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      if (AcquireProfilerLock()) winners.fetch_add(1);
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(winners.load(), 1);
  ReleaseProfilerLock();
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
