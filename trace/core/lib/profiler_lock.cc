#include "trace/core/lib/profiler_lock.h"

#include <atomic>

#include "trace/core/lib/fork_handlers.h"

namespace zentrik {
namespace trace {
namespace {

// False when free. Constant-initialised: usable before any initialiser runs.
std::atomic<bool> profiler_lock_held{false};

}  // namespace

bool AcquireProfilerLock() { return !profiler_lock_held.exchange(true); }

void ReleaseProfilerLock() { profiler_lock_held.store(false, std::memory_order_seq_cst); }

ProfilerLock ProfilerLock::TryAcquire() {
  ProfilerLock lock;
  lock.fork_generation_ = ForkGeneration();
  lock.active_ = AcquireProfilerLock();
  return lock;
}

ProfilerLock& ProfilerLock::operator=(ProfilerLock&& other) noexcept {
  if (this != &other) {
    Release();
    active_ = other.active_;
    fork_generation_ = other.fork_generation_;
    other.active_ = false;
  }
  return *this;
}

void ProfilerLock::Release() {
  if (!active_) return;
  active_ = false;
  if (fork_generation_ == ForkGeneration()) ReleaseProfilerLock();
}

}  // namespace trace
}  // namespace zentrik
