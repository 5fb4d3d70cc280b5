#ifndef ZENTRIK_TRACE_CORE_LIB_PROFILER_LOCK_H_
#define ZENTRIK_TRACE_CORE_LIB_PROFILER_LOCK_H_

#include <cstdint>

namespace zentrik {
namespace trace {

// The process-wide profiler lock: at most one profiler session at a time owns
// the profilers. It is never waited for.

// Takes the lock when it is free; true when the caller now holds it. One
// atomic exchange, so two threads can never both obtain it. Thread-safe.
bool AcquireProfilerLock();

// Frees the lock, whoever holds it. Thread-safe.
void ReleaseProfilerLock();

// Holds the profiler lock until Release() or destruction, so that every way
// out of its owner (an exception included) gives the lock back. Move-only;
// not for concurrent use of one object. A holder copied by fork() into a
// child frees nothing there: the child starts with the lock free, and may have
// taken it for a session of its own.
class ProfilerLock {
 public:
  // Holds nothing.
  ProfilerLock() = default;
  // Tries to take the lock; Active() tells whether it did.
  static ProfilerLock TryAcquire();

  ProfilerLock(ProfilerLock&& other) noexcept
      : active_(other.active_), fork_generation_(other.fork_generation_) {
    other.active_ = false;
  }
  ProfilerLock& operator=(ProfilerLock&& other) noexcept;
  ProfilerLock(const ProfilerLock&) = delete;
  ProfilerLock& operator=(const ProfilerLock&) = delete;
  ~ProfilerLock() { Release(); }

  bool Active() const { return active_; }
  // Frees the lock if this object holds it; later calls do nothing.
  void Release();

 private:
  bool active_ = false;
  uint64_t fork_generation_ = 0;  // ForkGeneration() when the lock was taken.
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_PROFILER_LOCK_H_
