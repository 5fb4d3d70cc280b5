// The tracer's entry points when memory runs out: no exception escapes, a
// failure is reported as false or null with a WARNING, and the tracer and the
// profiler lock stay usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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

void FailIfAsked(std::size_t size) {
  if ((allocations_until_failure >= 0 && allocations_until_failure-- == 0) ||
      size >= failing_allocation_size) {
    allocation_failed = true;
    throw std::bad_alloc();
  }
}

void* Allocate(std::size_t size) {
  FailIfAsked(size);
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  const std::size_t align = static_cast<std::size_t>(alignment);
  FailIfAsked(size);
  void* memory = std::aligned_alloc(align, (size + align - 1) / align * align);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

// Exported, so that the shared libraries of the process allocate here too.
#define REPLACEMENT __attribute__((visibility("default")))

REPLACEMENT void* operator new(std::size_t size) { return Allocate(size); }
REPLACEMENT void* operator new[](std::size_t size) { return Allocate(size); }
REPLACEMENT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
REPLACEMENT void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
REPLACEMENT void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
REPLACEMENT void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
REPLACEMENT void operator delete(void* memory) noexcept { std::free(memory); }
REPLACEMENT void operator delete[](void* memory) noexcept { std::free(memory); }
REPLACEMENT void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
REPLACEMENT void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
REPLACEMENT void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
REPLACEMENT void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
REPLACEMENT void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}
REPLACEMENT void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}

#undef REPLACEMENT

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;

constexpr long kMaxAllocations = 200000;

// Runs `setup` and then `operation` with the `n`-th allocation of the
// operation failing, n = 0, 1, ..., until a run makes fewer allocations than
// that; `check` sees each failed run's result and log. Returns the number of
// failed runs.
template <typename Setup, typename Operation, typename Check>
long ForEveryFailingAllocation(Setup setup, Operation operation, Check check) {
  for (long n = 0; n < kMaxAllocations; ++n) {
    setup();
    StderrCapture capture;
    allocation_failed = false;
    allocations_until_failure = n;
    const auto result = operation();
    allocations_until_failure = -1;
    const std::string err = capture.Stop();
    if (!allocation_failed) return n;
    check(result, err);
  }
  ADD_FAILURE() << "more than " << kMaxAllocations << " allocations";
  return kMaxAllocations;
}

void NoSetup() {}

bool LoggedWarning(const std::string& err) { return err.find(": WARNING: ") != std::string::npos; }

TracerOptions Options(int32_t device_level) {
  TracerOptions options;
  options.host_tracer_level = 2;
  options.device_tracer_level = device_level;
  return options;
}

TEST(TracerOutOfMemoryTest, CreateTracer) {
  const std::string logdir = "logs";
  const long runs = ForEveryFailingAllocation(
      NoSetup, [&] { return std::unique_ptr<TracerInterface>(CreateTracer(Options(1), logdir)); },
      [](const std::unique_ptr<TracerInterface>& tracer, const std::string& err) {
        if (tracer == nullptr) {
          EXPECT_NE(err.find("] Failed to malloc memory. CreateTracer failed\n"), std::string::npos)
              << err;
        }
      });
  EXPECT_GT(runs, 0);
}

TEST(TracerOutOfMemoryTest, Start) {
  const std::unique_ptr<TracerInterface> tracer(CreateTracer(Options(2), "logs"));
  ForEveryFailingAllocation(
      NoSetup, [&] { return tracer->Start(); },
      [&](bool started, const std::string& err) {
        if (started) {
          std::string bytes;
          EXPECT_TRUE(tracer->Stop(&bytes));
          return;
        }
        EXPECT_TRUE(LoggedWarning(err)) << err;
        EXPECT_STREQ(getenv(kTracePmuEnvVar), "false");
        // The lock was not kept.
        ASSERT_TRUE(tracer->Start());
        std::string bytes;
        EXPECT_TRUE(tracer->Stop(&bytes));
      });
}

// Protobuf maps do not survive a failed allocation while they grow, so the
// collection, which fills them, is not run with every single allocation
// failing. What fails here is the one large allocation of the trace's bytes.
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
  ASSERT_TRUE(tracer->Start());
  EXPECT_TRUE(tracer->Stop(&bytes));
}

// The export itself fills protobuf maps (op statistics, memory profile), which
// do not survive a failed allocation while they grow; its running out of memory
// is tested with an address-space limit instead. Here the entry point's own
// allocations fail, on bytes that are refused before any map is filled.
TEST(TracerOutOfMemoryTest, ExportToTensorboardAndSetAnnotationDelimiter) {
  TempDir dir;
  const std::string logdir = dir.Join("logs");
  const std::string bad_bytes = "\xff";
  ForEveryFailingAllocation(
      NoSetup, [&] { return ExportToTensorboard(bad_bytes, logdir); },
      [](bool exported, const std::string& err) {
        if (!exported) {
          EXPECT_TRUE(LoggedWarning(err)) << err;
        }
      });
  const std::unique_ptr<TracerInterface> tracer(CreateTracer(Options(0), "logs"));
  const std::string delimiter = "a delimiter longer than a short string";
  ForEveryFailingAllocation(
      NoSetup, [&] { return tracer->SetAnnotationDelimiter(delimiter); },
      [](bool set, const std::string& err) {
        if (!set) {
          EXPECT_TRUE(LoggedWarning(err)) << err;
        }
      });
  EXPECT_TRUE(tracer->SetAnnotationDelimiter("::"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
