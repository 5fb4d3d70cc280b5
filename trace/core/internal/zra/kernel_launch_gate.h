#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zentrik {
namespace trace {

// Serialises PMU-traced kernel launches of all threads from a launch's entry
// to its exit, so one launch's counters are not disturbed by another's. Unlike
// a mutex it can be opened: a tracing session that stops while a launch holds
// it must not leave the next session's launches waiting forever. Thread-safe.
class KernelLaunchGate {
 public:
  enum class Entry { kTaken, kHeldByThisThread, kSessionEnded };

  // The session that Take and Release must name; changes at each EndSession.
  uint64_t session() const;

  // Takes the gate for the calling thread in `session`, waiting while another
  // thread holds it. Never waits on itself: a thread that holds it gets
  // kHeldByThisThread. kSessionEnded when `session` is over (also while
  // waiting).
  Entry Take(uint64_t session);

  // Releases the gate when the calling thread took it in `session`; otherwise
  // does nothing (the session ended, or another thread holds it now).
  void Release(uint64_t session);

  // Ends the current session: opens the gate and wakes every waiter.
  void EndSession();

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  uint64_t session_ = 0;       // Guarded by mutex_.
  bool held_ = false;          // Guarded by mutex_.
  std::thread::id holder_;     // Guarded by mutex_.
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_
