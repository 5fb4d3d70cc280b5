// The tracer's entry points when memory runs out: no exception escapes, a failure is
// reported as false or null with a WARNING, and the tracer and its lock stay usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/failing_allocations.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/lib/tracer.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::allocation_failed;
using ::zentrik::testing::allocations_until_failure;
using ::zentrik::testing::failing_allocation_size;
using ::zentrik::testing::LogLinesFrom;
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
        // No other tracer ran: one line, from the tracer or from the session
        // that met the failure, says what failed, and nothing repeats it.
        std::vector<std::string> lines = LogLinesFrom(err, "trace/core/lib/tracer");
        for (std::string& line : LogLinesFrom(err, "trace/core/lib/profiler_session")) {
          lines.push_back(std::move(line));
        }
        EXPECT_TRUE(result || (lines.size() == 1 && lines[0].rfind("WARNING ", 0) == 0)) << err;
        EXPECT_EQ(err.find("Another tracer already started"), std::string::npos) << n << err;
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

// Encoding when memory runs out gives the bare name, or nothing when even
// the name cannot be copied; it never throws.
TEST(TracerOutOfMemoryTest, EncodingGivesTheNameOrNothing) {
  const char* const name = "an operation name longer than a short string";
  for (long n = 0;; ++n) {
    std::string encoded;
    const bool failed = testing::RunWithAllocationFailing(n, [&] {
      encoded = TraceMeEncode(name, {{"key", "value"}});
    });
    if (!failed) {
      EXPECT_EQ(encoded, std::string(name) + "#key=value#");
      EXPECT_GT(n, 1);
      break;
    }
    EXPECT_EQ(encoded, n == 0 ? "" : name) << n;
  }
}

// An annotation that cannot be pushed is simply missing: nothing is popped
// for it, and the name registry stays whole (one id for the name, in the end).
TEST(TracerOutOfMemoryTest, AnnotationsThatCannotBePushedAreMissing) {
  const std::string name = "an annotation name longer than a short string";
  const uint64_t registered = AnnotationRegistry::Size();
  SetAnnotationsEnabled(true);
  long n = 0;
  for (bool failed = true; failed; ++n) {
    std::thread([&] {  // A fresh thread: its annotation state is made too.
      ScopedAnnotation outer("outer");
      size_t depth = 0;
      failed = testing::RunWithAllocationFailing(n, [&] {
        ScopedAnnotation annotation(name);
        depth = ThreadAnnotationStack::Get().size();
      });
      EXPECT_EQ(ThreadAnnotationStack::Get().size(), 1u) << n;
      EXPECT_LE(depth, 2u) << n;
    })
        .join();
  }
  SetAnnotationsEnabled(false);
  EXPECT_GT(n, 2);
  EXPECT_EQ(AnnotationRegistry::Size(), registered + 2);  // "outer" and `name`
  EXPECT_EQ(AnnotationRegistry::NameOf(AnnotationRegistry::GetOrRegister(name)), name);
  EXPECT_EQ(AnnotationRegistry::Size(), registered + 2);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
