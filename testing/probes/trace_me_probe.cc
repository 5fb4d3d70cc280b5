// Public headers only: all forms compile, idle ones run no generator, TraceMe::Active is exported.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zentrik/trace/trace_me.h"

using namespace zentrik::trace;  // NOLINT: a probe of the public names

int main() {
  auto exported = reinterpret_cast<bool (*)(int)>(
      dlsym(RTLD_DEFAULT, "_ZN7zentrik5trace7TraceMe6ActiveEi"));
  const bool active = TraceMe::Active(kCritical) || ScopedAnnotation::IsEnabled();
  const bool found = exported != nullptr && !exported(1);
  std::atomic<int> generated{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&generated] {
      auto name = [&] { return ++generated, TraceMeEncode("step", {{"step_num", "3"}}); };
      for (int n = 0; n < 100; ++n) {
        TraceMe::RecordInstantTrace("instant");
        TraceMe a("name"), b(std::string("name"), kInfo), c(name, 1);
        ScopedAnnotation f("name"), g(name);
        AnnotatedTraceMe h("name", 1), i(name, 1);
        b.Stop();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  if (!active && found && generated == 0) return std::printf("ok\n"), 0;
  std::printf("failed: active=%d found=%d generated=%d\n", active, found, generated.load());
  return 1;
}
