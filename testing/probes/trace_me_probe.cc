// Built on the public headers only: every form the header promises compiles;
// with no session nothing is recorded and no name generator runs, on any
// thread; callers built when TraceMe::Active was a call still find it.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zentrik/trace/trace_me.h"

using zentrik::trace::AnnotatedTraceMe;
using zentrik::trace::ScopedAnnotation;
using zentrik::trace::TraceMe;
using zentrik::trace::TraceMeEncode;

int failures = 0;

void Expect(bool condition, const char* what) {
  if (!condition) ++failures, std::printf("failed: %s\n", what);
}

void MarkRegions(int* generated) {
  auto name = [generated] { return ++*generated, TraceMeEncode("step", {{"step_num", "3"}}); };
  TraceMe a("name");
  TraceMe b(std::string("name"), zentrik::trace::kInfo);
  TraceMe c(name, 1);
  ScopedAnnotation f("name");
  ScopedAnnotation g(name);
  AnnotatedTraceMe h("name", 1);
  AnnotatedTraceMe i(name, 1);
  TraceMe::RecordInstantTrace("instant");
  b.Stop();
}

int main() {
  Expect(!TraceMe::Active(zentrik::trace::kCritical), "Active is false without a session");
  Expect(!ScopedAnnotation::IsEnabled(), "annotations are off without device tracing");
  auto exported = reinterpret_cast<bool (*)(int)>(
      dlsym(RTLD_DEFAULT, "_ZN7zentrik5trace7TraceMe6ActiveEi"));
  Expect(exported != nullptr && !exported(1), "the library exports TraceMe::Active(int)");

  std::vector<int> generated(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&generated, t] {
      for (int n = 0; n < 100; ++n) MarkRegions(&generated[t]);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : generated) Expect(count == 0, "no name generator runs while inactive");
  return failures != 0 ? 1 : (std::printf("ok\n"), 0);
}
