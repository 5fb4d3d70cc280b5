#include "trace/core/internal/zra/kernel_launch_gate.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

namespace zentrik {
namespace trace {
namespace {

using Entry = KernelLaunchGate::Entry;

// A launch whose thread ends inside it never exits: the gate opens as the
// thread ends, and the next thread takes it as its own, never as a nested take
// of the thread that ended. Run under ThreadSanitizer too.
TEST(KernelLaunchGateTest, ThreadsThatEndHoldingTheGateOpenIt) {
  KernelLaunchGate gate;
  const uint64_t session = gate.session();
  for (int thread = 0; thread < 3; ++thread) {
    std::thread([&] { EXPECT_EQ(gate.Take(session), Entry::kTaken); }).join();
    ASSERT_FALSE(gate.Held()) << thread;
  }
  EXPECT_EQ(gate.Take(session), Entry::kTaken);
  EXPECT_TRUE(gate.Release(session));
}

// A launch made while its thread ends: from a thread_local object's destructor
// that runs after the gate's own per-thread state was made (destruction runs in
// reverse), or from a thread-specific destructor that runs after the gate's.
// Neither touches freed state nor leaves the gate held; a launch that still can
// give the gate back at the thread's end holds it as usual.
struct LateLaunch {
  KernelLaunchGate* gate = nullptr;
  bool release = false;
  Entry entry = Entry::kSessionEnded;
  bool released = false;

  void Run() {
    const uint64_t session = gate->session();
    entry = gate->Take(session);
    if (release) released = gate->Release(session);
  }
};

struct LateLauncher {
  LateLaunch* launch = nullptr;
  ~LateLauncher() {
    if (launch != nullptr) launch->Run();
  }
};

TEST(KernelLaunchGateTest, LaunchesWhileTheThreadEndsLeaveTheGateOpen) {
  KernelLaunchGate gate;
  {
    // The gate's per-thread state exists process-wide before the key below.
    const uint64_t session = gate.session();
    ASSERT_EQ(gate.Take(session), Entry::kTaken);
    ASSERT_TRUE(gate.Release(session));
  }
  pthread_key_t late_key;
  ASSERT_EQ(
      pthread_key_create(&late_key, [](void* launch) { static_cast<LateLaunch*>(launch)->Run(); }),
      0);
  const struct {
    const char* row;
    bool from_thread_specific;
    bool release;
    Entry entry;
    bool released;
  } rows[] = {
      {"thread_local destructor, launch exits", false, true, Entry::kTaken, true},
      {"thread_local destructor, launch never exits", false, false, Entry::kTaken, false},
      {"thread-specific destructor", true, true, Entry::kUntracked, false},
  };
  for (const auto& row : rows) {
    LateLaunch launch{&gate, row.release};
    std::thread([&] {
      if (row.from_thread_specific) {
        pthread_setspecific(late_key, &launch);
      } else {
        // Made before the gate's per-thread state: runs after a thread_local one would be gone.
        thread_local LateLauncher launcher;
        launcher.launch = &launch;
      }
      const uint64_t session = gate.session();
      EXPECT_EQ(gate.Take(session), Entry::kTaken);
      EXPECT_TRUE(gate.Release(session));
    }).join();
    EXPECT_EQ(launch.entry, row.entry) << row.row;
    EXPECT_EQ(launch.released, row.released) << row.row;
    EXPECT_FALSE(gate.Held()) << row.row;
  }
  pthread_key_delete(late_key);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
