#include "trace/core/internal/zra/kernel_launch_gate.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

using Entry = KernelLaunchGate::Entry;

// What a holder learns when it releases: its counters are its own only when
// nothing opened or disturbed the gate while it held it.
TEST(KernelLaunchGateTest, ReleaseSaysWhetherTheHoldWasUndisturbed) {
  const struct {
    const char* row;
    std::function<void(KernelLaunchGate*, uint64_t)> while_held;
    bool undisturbed;
  } rows[] = {
      {"nothing", [](KernelLaunchGate*, uint64_t) {}, true},
      {"a nested take",
       [](KernelLaunchGate* gate, uint64_t s) {
         EXPECT_EQ(gate->Take(s), Entry::kHeldByThisThread);
       },
       true},
      {"the session ended", [](KernelLaunchGate* gate, uint64_t) { gate->EndSession(); }, false},
      {"a launch outside the gate ended",
       [](KernelLaunchGate* gate, uint64_t s) {
         std::thread([gate, s] { gate->Disturb(s); }).join();
       },
       false},
      {"a stale session's launch ended",
       [](KernelLaunchGate* gate, uint64_t s) { gate->Disturb(s - 1); }, true},
  };
  for (const auto& row : rows) {
    KernelLaunchGate gate;
    const uint64_t session = gate.session();
    ASSERT_EQ(gate.Take(session), Entry::kTaken) << row.row;
    row.while_held(&gate, session);
    EXPECT_EQ(gate.Release(session), row.undisturbed) << row.row;
    EXPECT_FALSE(gate.Held()) << row.row;
    EXPECT_FALSE(gate.Release(session)) << row.row;  // not held any more
  }
}

// A launch whose thread ends inside it never exits: the gate opens as the
// thread ends, and the next thread takes it as its own, never as a nested take
// of the thread that ended.
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

// Run under ThreadSanitizer: threads that take, disturb and release the gate
// never hold it two at a time (a plain counter that only holders change shows
// it).
TEST(KernelLaunchGateTest, OneHolderAtATime) {
  KernelLaunchGate gate;
  const uint64_t session = gate.session();
  int inside = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&gate, &inside, session, t] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(gate.Take(session), Entry::kTaken);
        EXPECT_EQ(++inside, 1);
        --inside;
        if (i % 7 == t) gate.Disturb(session);
        gate.Release(session);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(gate.Held());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
