#include "trace/core/internal/zra/kernel_launch_gate.h"

namespace zentrik {
namespace trace {

uint64_t KernelLaunchGate::session() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_;
}

KernelLaunchGate::Entry KernelLaunchGate::Take(uint64_t session) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (session != session_) return Entry::kSessionEnded;
  if (held_ && holder_ == std::this_thread::get_id()) return Entry::kHeldByThisThread;
  released_.wait(lock, [&] { return !held_ || session != session_; });
  if (session != session_) return Entry::kSessionEnded;
  held_ = true;
  holder_ = std::this_thread::get_id();
  return Entry::kTaken;
}

void KernelLaunchGate::Release(uint64_t session) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session != session_ || !held_ || holder_ != std::this_thread::get_id()) return;
    held_ = false;
  }
  released_.notify_one();
}

void KernelLaunchGate::EndSession() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++session_;
    held_ = false;
  }
  released_.notify_all();
}

}  // namespace trace
}  // namespace zentrik
