// The tracer's entry points when memory runs out: no exception escapes, a
// failure is reported as false or null with a WARNING, and the tracer and the
// profiler lock stay usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"
#include "trace/core/lib/tracer.h"
#include "zentrik/trace/trace_me.h"

namespace {

// Allocations on this thread still to succeed before one fails; -1: none fails.
thread_local long allocations_until_failure = -1;
// Allocations on this thread of this size or more fail.
thread_local std::size_t failing_allocation_size = SIZE_MAX;
thread_local bool allocation_failed = false;

}  // namespace

// Exported, so that the shared libraries of the process allocate here too; the
// standard library's array form calls it.
__attribute__((visibility("default"))) void* operator new(std::size_t size) {
  if ((allocations_until_failure >= 0 && allocations_until_failure-- == 0) ||
      size >= failing_allocation_size) {
    allocation_failed = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
// Also replaced, so that sanitizers see one family of allocations.
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
// Not inlined: the compiler would take the free() as mismatching the new.
__attribute__((visibility("default"), noinline)) void operator delete(void* memory) noexcept {
  std::free(memory);
}
__attribute__((visibility("default"))) void operator delete(void* memory, std::size_t) noexcept {
  ::operator delete(memory);
}

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::StderrCapture;

TracerOptions Options(int32_t device_level) {
  TracerOptions options;
  options.host_tracer_level = 2;
  options.device_tracer_level = device_level;
  return options;
}

// Each operation runs with its n-th allocation failing, n = 0, 1, ..., until a
// run makes fewer allocations than that. Every run that fails logs `expected`. The export fills protobuf maps, which do not survive a failed
// allocation while they grow: it runs here on bytes refused before any map is
// filled (its own running out of memory is tested with an address-space limit).
TEST(TracerOutOfMemoryTest, EveryFailingAllocationIsReported) {
  zentrik::testing::TempDir dir;
  const std::string logdir = dir.Join("logs");
  const std::unique_ptr<TracerInterface> tracer(CreateTracer(Options(2), "logs"));
  const std::string delimiter = "a delimiter longer than a short string";
  std::string bytes;
  const struct {
    std::string label;
    std::function<bool()> operation;
    std::string expected;
    std::function<void(bool)> check;  // Runs after each run, allocations working.
  } cases[] = {
      {"CreateTracer",
       [] { return std::unique_ptr<TracerInterface>(CreateTracer(Options(1), "logs")) != nullptr; },
       "] Failed to malloc memory. CreateTracer failed\n", [](bool) {}},
      {"Start", [&] { return tracer->Start(); }, ": WARNING: ",
       [&](bool started) {
         if (!started) {
           EXPECT_STREQ(getenv(kTracePmuEnvVar), "false");
         }
         // A failed start kept no lock.
         EXPECT_TRUE((started || tracer->Start()) && tracer->Stop(&bytes));
       }},
      {"ExportToTensorboard", [&] { return ExportToTensorboard("\xff", logdir); }, ": WARNING: ",
       [](bool) {}},
      {"SetAnnotationDelimiter",
       [&] { return tracer->SetAnnotationDelimiter(delimiter); },
       ": WARNING: ", [](bool) {}},
  };
  for (const auto& c : cases) {
    long n = 0;
    for (;; ++n) {
      StderrCapture capture;
      allocation_failed = false;
      allocations_until_failure = n;
      const bool result = c.operation();
      allocations_until_failure = -1;
      const std::string err = capture.Stop();
      if (!allocation_failed) break;
      if (!result) {
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.label << " run " << n << ": " << err;
      }
      c.check(result);
    }
    EXPECT_GT(n, 0) << c.label;
  }
  EXPECT_TRUE(tracer->SetAnnotationDelimiter("::"));
}

// Collection fills protobuf maps too; what fails here is the one large
// allocation of the trace's bytes.
TEST(TracerOutOfMemoryTest, StopWhenTheTraceDoesNotFitInMemory) {
  const std::unique_ptr<TracerInterface> tracer(CreateTracer(Options(0), "logs"));
  ASSERT_TRUE(tracer->Start());
  constexpr int kEvents = 2000;
  for (int i = 0; i < kEvents; ++i) {
    TraceMe::RecordInstantTrace(std::to_string(i) + std::string(1024, 'x'));
  }
  std::string bytes = "unchanged";
  StderrCapture capture;
  allocation_failed = false;
  failing_allocation_size = kEvents * 1024;
  const bool stopped = tracer->Stop(&bytes);
  failing_allocation_size = SIZE_MAX;
  const std::string err = capture.Stop();
  ASSERT_TRUE(allocation_failed);
  EXPECT_FALSE(stopped);
  EXPECT_NE(err.find("] Tracer stop failed: out of memory.\n"), std::string::npos) << err;
  // Idle, and the lock is free.
  EXPECT_TRUE(tracer->Start() && tracer->Stop(&bytes));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
