#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_

#include <cstdint>
#include <memory>

namespace zentrik {
namespace trace {

// Serialises PMU-traced kernel launches of all threads from a launch's entry
// to its exit, so one launch's counters are not disturbed by another's. Unlike
// a mutex it can be opened: a tracing session that stops while a launch holds
// it must not leave the next session's launches waiting forever, and a thread
// that ends while it holds the gate gives it back. Holders are told apart by
// a number each thread draws once, never by a thread id the system may hand
// to a later thread. Thread-safe.
class KernelLaunchGate {
 public:
  enum class Entry { kTaken, kHeldByThisThread, kSessionEnded, kUntracked };

  KernelLaunchGate();
  ~KernelLaunchGate();
  KernelLaunchGate(const KernelLaunchGate&) = delete;
  KernelLaunchGate& operator=(const KernelLaunchGate&) = delete;

  // The session that Take and Release must name; changes at each EndSession.
  uint64_t session() const;

  // Takes the gate for the calling thread in `session`, waiting while another
  // thread holds it. Never waits on itself: a thread that holds it gets
  // kHeldByThisThread. kSessionEnded when `session` is over (also while
  // waiting). kUntracked, without waiting, when the thread could no longer
  // give the gate back at its end (it is past its thread-specific clean-up, or
  // no thread-specific slot is left); the holder, if any, counts as disturbed.
  Entry Take(uint64_t session);

  // Releases the gate when the calling thread holds it in `session`. True
  // only then and when nothing disturbed the hold since Take: the session did
  // not end and no launch outside the gate ended (see Disturb).
  bool Release(uint64_t session);

  // A launch that ran outside the gate (its entry came before tracing) ended
  // in `session`: whoever holds the gate now may have counted its work.
  void Disturb(uint64_t session);

  // Ends the current session: opens the gate and wakes every waiter.
  void EndSession();

  // Whether some thread holds the gate now.
  bool Held() const;

  struct State;  // Defined where the gate is implemented.

 private:
  // Shared with the threads that hold it, which release it when they end.
  std::shared_ptr<State> state_;
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_KERNEL_LAUNCH_GATE_H_
