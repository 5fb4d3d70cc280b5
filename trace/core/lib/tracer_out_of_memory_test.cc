// The tracer's entry points when memory runs out: no exception escapes, a failure is
// reported as false or null with a WARNING, and the tracer and its lock stay usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "testing/stderr_capture.h"
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

// Each operation runs with its n-th allocation failing, n = 0, 1, ..., until a
// run makes fewer allocations than that; every run that fails logs a WARNING.
// The export's bytes are refused before any protobuf map is filled.
TEST(TracerOutOfMemoryTest, EveryFailingAllocationIsReported) {
  const std::unique_ptr<TracerInterface> tracer(CreateTracer({2, 2}, "logs"));
  std::string bytes;
  const std::string delimiter = "a delimiter longer than a short string";
  const std::pair<std::string, std::function<bool()>> cases[] = {
      {"] Failed to malloc memory. CreateTracer failed\n",
       [] { return std::unique_ptr<TracerInterface>(CreateTracer({}, "logs")) != nullptr; }},
      {"Start", [&] { return tracer->Start(); }},
      {"ExportToTensorboard", [&] { return ExportToTensorboard("\xff", "logs"); }},
      {"SetAnnotationDelimiter", [&] { return tracer->SetAnnotationDelimiter(delimiter); }},
  };
  for (const auto& [label, operation] : cases) {
    long n = 0;
    for (;; ++n) {
      StderrCapture capture;
      allocation_failed = false;
      allocations_until_failure = n;
      const bool result = operation();
      allocations_until_failure = -1;
      const std::string err = capture.Stop();
      if (!allocation_failed) break;
      const std::string expected = label[0] == ']' ? label : ": WARNING: ";
      EXPECT_TRUE(result || err.find(expected) != std::string::npos) << label << n << ": " << err;
      if (label == "Start") {  // A failed start kept no lock and asks for no counters.
        EXPECT_TRUE(result || std::string(getenv(kTracePmuEnvVar)) == "false");
        EXPECT_TRUE((result || tracer->Start()) && tracer->Stop(&bytes));
      }
    }
    EXPECT_GT(n, 0) << label;
  }
  EXPECT_TRUE(tracer->SetAnnotationDelimiter("::"));
}

// Collection fills protobuf maps too; what fails here is the one large
// allocation of the trace's bytes.
TEST(TracerOutOfMemoryTest, StopWhenTheTraceDoesNotFitInMemory) {
  const std::unique_ptr<TracerInterface> tracer(CreateTracer({2, 0}, "logs"));
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
  ASSERT_TRUE(allocation_failed && !stopped);
  EXPECT_NE(err.find("] Tracer stop failed: out of memory.\n"), std::string::npos) << err;
  EXPECT_TRUE(tracer->Start() && tracer->Stop(&bytes));  // Idle, and the lock is free.
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
