#include "trace/core/internal/zra/kernel_launch_gate.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/platform/thread_exit_local.h"

namespace zentrik {
namespace trace {

namespace {

// Session numbers are unique in the process, so that per-thread state kept
// under a session's number never mistakes another gate's session for its own.
uint64_t NewSession() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

// The calling thread's number: drawn once, never given to another thread.
uint64_t ThisThread() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t number = next.fetch_add(1);
  return number;
}

}  // namespace

struct KernelLaunchGate::State {
  std::mutex mutex;
  std::condition_variable released;
  uint64_t session = NewSession();  // Guarded by mutex.
  bool held = false;                // Guarded by mutex.
  bool disturbed = false;           // Guarded by mutex; meaningful while held.
  uint64_t holder = 0;              // Guarded by mutex; a ThisThread() number.

  // Opens the gate when `thread` holds it. Call with mutex held.
  bool OpenIfHeldBy(uint64_t thread) {
    if (!held || holder != thread) return false;
    held = false;
    return true;
  }
};

namespace {

// The gates the calling thread took; those it still holds when it ends are
// opened then, since a launch whose thread ended never exits. Kept until the
// thread's very end, so launches from its thread_local destructors still
// find it.
class GatesOfThisThread {
 public:
  ~GatesOfThisThread() {
    const uint64_t thread = ThisThread();
    for (const auto& state : gates_) {
      bool opened;
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        opened = state->OpenIfHeldBy(thread);
      }
      if (opened) state->released.notify_one();
    }
  }
  void Add(const std::shared_ptr<KernelLaunchGate::State>& state) {
    if (std::find(gates_.begin(), gates_.end(), state) == gates_.end()) gates_.push_back(state);
  }
  void Remove(const KernelLaunchGate::State* state) {
    gates_.erase(std::remove_if(gates_.begin(), gates_.end(),
                                [state](const auto& s) { return s.get() == state; }),
                 gates_.end());
  }

 private:
  std::vector<std::shared_ptr<KernelLaunchGate::State>> gates_;
};

}  // namespace

KernelLaunchGate::KernelLaunchGate() : state_(std::make_shared<State>()) {}

KernelLaunchGate::~KernelLaunchGate() = default;

uint64_t KernelLaunchGate::session() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->session;
}

KernelLaunchGate::Entry KernelLaunchGate::Take(uint64_t session) {
  const uint64_t thread = ThisThread();
  GatesOfThisThread* gates = ThreadExitLocal<GatesOfThisThread>::Get();
  State& s = *state_;
  if (gates == nullptr) {
    // Nothing would open the gate if this launch never exited: it goes
    // without, and whoever holds the gate may count its work.
    Disturb(session);
    return Entry::kUntracked;
  }
  // Known before the gate is taken, so that running out of memory here never
  // leaves it held by a thread that cannot give it back at its end.
  gates->Add(state_);
  std::unique_lock<std::mutex> lock(s.mutex);
  if (session != s.session) return Entry::kSessionEnded;
  if (s.held && s.holder == thread) return Entry::kHeldByThisThread;
  s.released.wait(lock, [&] { return !s.held || session != s.session; });
  if (session != s.session) return Entry::kSessionEnded;
  s.held = true;
  s.disturbed = false;
  s.holder = thread;
  return Entry::kTaken;
}

bool KernelLaunchGate::Release(uint64_t session) {
  if (GatesOfThisThread* gates = ThreadExitLocal<GatesOfThisThread>::Existing()) {
    gates->Remove(state_.get());
  }
  bool undisturbed;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (session != state_->session || !state_->OpenIfHeldBy(ThisThread())) return false;
    undisturbed = !state_->disturbed;
  }
  state_->released.notify_one();
  return undisturbed;
}

void KernelLaunchGate::Disturb(uint64_t session) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (session == state_->session && state_->held) state_->disturbed = true;
}

void KernelLaunchGate::EndSession() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->session = NewSession();
    state_->held = false;
  }
  state_->released.notify_all();
}

bool KernelLaunchGate::Held() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->held;
}

}  // namespace trace
}  // namespace zentrik
