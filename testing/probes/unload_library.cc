// Loads the shared library named on the command line as a framework would,
// gives a second thread per-thread state in it (an annotation), closes the
// library while that thread lives and then lets the thread end: the thread's
// cleanup must not run code that closing unmapped. Prints "ok" when the
// thread ended and the process is still alive.
#include <dlfcn.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>

#include "zentrik/trace/trace_me.h"

namespace {

// The exported member functions, called as the inline constructor and the
// destructor of a ScopedAnnotation would (`this` comes first).
using PushFn = void (*)(void* annotation, std::string_view name);
using DestroyFn = void (*)(void* annotation);
constexpr char kPush[] =
    "_ZN7zentrik5trace16ScopedAnnotation14PushAnnotationESt17basic_string_viewIcSt11char_traitsIcEE";
constexpr char kDestroy[] = "_ZN7zentrik5trace16ScopedAnnotationD1Ev";

struct Steps {
  std::mutex mutex;
  std::condition_variable changed;
  bool annotated = false;
  bool closed = false;
};

void Annotate(PushFn push, DestroyFn destroy, Steps* steps) {
  // Zeroed storage is the state the private default constructor leaves.
  alignas(zentrik::trace::ScopedAnnotation) unsigned char annotation[sizeof(
      zentrik::trace::ScopedAnnotation)] = {};
  push(annotation, "unload");
  destroy(annotation);
  std::unique_lock<std::mutex> lock(steps->mutex);
  steps->annotated = true;
  steps->changed.notify_all();
  steps->changed.wait(lock, [steps] { return steps->closed; });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::printf("%s\n", dlerror()), 1;
  auto push = reinterpret_cast<PushFn>(dlsym(handle, kPush));
  auto destroy = reinterpret_cast<DestroyFn>(dlsym(handle, kDestroy));
  if (push == nullptr || destroy == nullptr) return std::printf("not exported\n"), 1;

  Steps steps;
  std::thread thread(Annotate, push, destroy, &steps);
  {
    std::unique_lock<std::mutex> lock(steps.mutex);
    steps.changed.wait(lock, [&steps] { return steps.annotated; });
  }
  if (dlclose(handle) != 0) return std::printf("%s\n", dlerror()), 1;
  {
    std::lock_guard<std::mutex> lock(steps.mutex);
    steps.closed = true;
    steps.changed.notify_all();
  }
  thread.join();
  std::printf("ok\n");
  return 0;
}
