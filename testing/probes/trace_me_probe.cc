// An application's view of the recording interface: compiled against the
// public headers only and linked with libzentrik.so. Every form the header
// promises must compile; with no session running nothing is recorded, no name
// generator runs and no annotation is kept, on any thread.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zentrik/trace/trace_me.h"

using zentrik::trace::AnnotatedTraceMe;
using zentrik::trace::ScopedAnnotation;
using zentrik::trace::TraceMe;
using zentrik::trace::TraceMeEncode;
using zentrik::trace::TraceMeLevel;

namespace {

int failures = 0;

void Expect(bool condition, const char* what) {
  if (!condition) {
    std::printf("failed: %s\n", what);
    ++failures;
  }
}

void MarkRegions(int* generated) {
  TraceMe a("name");
  TraceMe b(std::string("name"), 2);
  TraceMe c(
      [&] {
        ++*generated;
        return TraceMeEncode("step", {{"step_num", "3"}, {"_r", "1"}});
      },
      1);
  TraceMe d("verbose", TraceMeLevel::kVerbose);
  TraceMe e("info", zentrik::trace::kInfo);
  ScopedAnnotation f("name");
  ScopedAnnotation g([&] {
    ++*generated;
    return std::string("name");
  });
  AnnotatedTraceMe h("name", 1);
  AnnotatedTraceMe i(
      [&] {
        ++*generated;
        return std::string("name");
      },
      1);
  TraceMe::RecordInstantTrace("instant");
  b.Stop();
}

}  // namespace

int main() {
  Expect(!TraceMe::Active(1), "Active(1) is false without a session");
  Expect(!TraceMe::Active(zentrik::trace::kCritical), "Active(kCritical) is false");
  Expect(!ScopedAnnotation::IsEnabled(), "annotations are off without device tracing");
  Expect(TraceMeEncode("step", {{"step_num", "3"}, {"_r", "1"}}) == "step#step_num=3,_r=1#",
         "TraceMeEncode with arguments");
  Expect(TraceMeEncode(std::string("op"), {}) == "op", "TraceMeEncode without arguments");

  std::vector<int> generated(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&generated, t] {
      for (int n = 0; n < 100; ++n) MarkRegions(&generated[t]);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : generated) Expect(count == 0, "no name generator runs while inactive");

  if (failures != 0) return 1;
  std::printf("ok\n");
  return 0;
}
