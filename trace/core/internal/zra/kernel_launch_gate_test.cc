#include "trace/core/internal/zra/kernel_launch_gate.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace trace
}  // namespace zentrik
