// An application's view of the recording interface: compiled against the
// public headers only and linked with libzentrik.so. Every form the header
// promises must compile; with no session running nothing is recorded, no name
// generator runs and no annotation is kept, on any thread. Callers built when
// TraceMe::Active was a call still find it in the library.
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
  if (!condition) {
    std::printf("failed: %s\n", what);
    ++failures;
  }
}

void MarkRegions(int* generated) {
  auto name = [generated] {
    ++*generated;
    return TraceMeEncode("step", {{"step_num", "3"}, {"_r", "1"}});
  };
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
  Expect(TraceMeEncode("step", {{"step_num", "3"}, {"_r", "1"}}) == "step#step_num=3,_r=1#",
         "TraceMeEncode with arguments");
  using Active = bool (*)(int);
  auto exported = reinterpret_cast<Active>(dlsym(RTLD_DEFAULT, "_ZN7zentrik5trace7TraceMe6ActiveEi"));
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

  if (failures != 0) return 1;
  std::printf("ok\n");
  return 0;
}
