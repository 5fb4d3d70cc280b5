#ifndef ZENTRIK_TRACE_TRACE_ME_H_
#define ZENTRIK_TRACE_TRACE_ME_H_

// Marking host work for the profiler.
//
//   TraceMe step("train_step");                           // level 1 (kCritical)
//   TraceMe detail([&] { return TraceMeEncode("step", {{"step_num", "3"}}); }, kInfo);
//   ScopedAnnotation region("my_model/conv1");            // names device work
//
// A TraceMe records one event (name, start, end) when it ends, but only while
// a profiling session records host activity at its level or above; otherwise
// it costs one check and no allocation (a name generator is not even called).
// Every object here belongs to the thread that created it and must end on that
// thread; any number of threads may record at once. The library's functions
// never throw; only building a name in the caller's code may (std::bad_alloc).
//
// Recording is not async-signal-safe: no TraceMe, ScopedAnnotation or
// AnnotatedTraceMe may start or end inside a signal handler (a SIGPROF
// sampler, say), since recording allocates and a thread's first event takes a
// lock. A child made by fork() records nothing of the parent's session; it may
// start one of its own (zentrik/trace/tracer.h).

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "zentrik/export.h"

namespace zentrik {
namespace trace {

// Levels of detail: an activity of level l is recorded while the session's
// host level is at least l. Any int may be used as a level.
enum TraceMeLevel : int {
  kCritical = 1,
  kInfo = 2,
  kVerbose = 3,
};

// One key/value argument of an encoded activity name.
struct TraceMeArg {
  std::string key;
  std::string value;
};

// Returns name#key1=value1,...,keyN=valueN#, or `name` unchanged when `args`
// is empty. Nothing is escaped. A null `name` counts as empty. On allocation
// failure returns `name` without the arguments.
ZENTRIK_EXPORT std::string TraceMeEncode(std::string name, std::initializer_list<TraceMeArg> args);
ZENTRIK_EXPORT std::string TraceMeEncode(const char* name, std::initializer_list<TraceMeArg> args);

namespace trace_me_internal {
// The recording threshold: -1 while no session records host activity, else
// the session's host level. Only the library writes it; TraceMe reads it
// inline, so a scope costs one relaxed load while recording is off.
ZENTRIK_EXPORT extern std::atomic<int> threshold;

// True for callables that produce a name.
template <typename T>
constexpr bool kIsNameGenerator = std::is_invocable_r_v<std::string, T>;
}  // namespace trace_me_internal

// Measures one activity on the calling thread, from construction to
// destruction (or an earlier Stop).
class TraceMe {
 public:
  explicit TraceMe(const char* name, int level = kCritical) {
    if (Active(level)) Start(std::string(name != nullptr ? name : ""));
  }
  explicit TraceMe(std::string_view name, int level = kCritical) {
    if (Active(level)) Start(std::string(name));
  }
  explicit TraceMe(const std::string& name, int level = kCritical) {
    if (Active(level)) Start(name);
  }
  explicit TraceMe(std::string&& name, int level = kCritical) {
    if (Active(level)) Start(std::move(name));
  }
  // `name_generator` () returns the name; it runs only when the level is active.
  template <typename NameGeneratorT,
            typename = std::enable_if_t<trace_me_internal::kIsNameGenerator<NameGeneratorT&&>>>
  explicit TraceMe(NameGeneratorT&& name_generator, int level = kCritical) {
    if (Active(level)) Start(std::forward<NameGeneratorT>(name_generator)());
  }

  ~TraceMe() {
    if (start_time_ != 0) Stop();
  }

  TraceMe(const TraceMe&) = delete;
  TraceMe& operator=(const TraceMe&) = delete;

  // Ends the activity now; later calls (and the destructor) do nothing.
  ZENTRIK_EXPORT void Stop();

  // True when an activity of `level` would be recorded now. Hot path: inline,
  // one relaxed load. The library also keeps an out-of-line copy for callers
  // built against headers where this was a call.
  ZENTRIK_EXPORT static bool Active(int level = kCritical) {
    return level <= trace_me_internal::threshold.load(std::memory_order_relaxed);
  }

  // Records a zero-length event named `name` now, while a session records.
  ZENTRIK_EXPORT static void RecordInstantTrace(std::string name);

 private:
  friend class AnnotatedTraceMe;

  TraceMe() {}

  // Takes the name and the start time.
  ZENTRIK_EXPORT void Start(std::string name);

  // Holds a string only while the activity runs (start_time_ != 0).
  union {
    std::string name_;
  };
  uint64_t start_time_ = 0;
};

// Names the region of host code running on the calling thread, so that device
// work launched from it can be attributed to it. Annotations nest per thread.
// They are kept only while device tracing runs (IsEnabled); otherwise
// construction costs one check.
class ScopedAnnotation {
 public:
  explicit ScopedAnnotation(const char* name) {
    if (IsEnabled()) PushAnnotation(name != nullptr ? name : "");
  }
  explicit ScopedAnnotation(std::string_view name) {
    if (IsEnabled()) PushAnnotation(name);
  }
  explicit ScopedAnnotation(const std::string& name) {
    if (IsEnabled()) PushAnnotation(name);
  }
  // `name_generator` () returns the name; it runs only while enabled.
  template <typename NameGeneratorT,
            typename = std::enable_if_t<trace_me_internal::kIsNameGenerator<NameGeneratorT&&>>>
  explicit ScopedAnnotation(NameGeneratorT&& name_generator) {
    if (IsEnabled()) PushAnnotation(std::forward<NameGeneratorT>(name_generator)());
  }

  // Removes this object's annotation, if it pushed one.
  ZENTRIK_EXPORT ~ScopedAnnotation();

  ScopedAnnotation(const ScopedAnnotation&) = delete;
  ScopedAnnotation& operator=(const ScopedAnnotation&) = delete;

  // True while device tracing keeps annotations.
  ZENTRIK_EXPORT static bool IsEnabled();

 private:
  friend class AnnotatedTraceMe;

  ScopedAnnotation() = default;

  // Pushes the id of `name` on the calling thread's annotation stack.
  ZENTRIK_EXPORT void PushAnnotation(std::string_view name);
  // Pops what PushAnnotation pushed, once.
  void PopAnnotation();

  bool pushed_ = false;
};

// A TraceMe and a ScopedAnnotation of one name; the name is produced once, and
// only when at least one of them is active. The TraceMe ends before the
// annotation is removed.
class AnnotatedTraceMe {
 public:
  template <typename NameGeneratorT,
            typename = std::enable_if_t<trace_me_internal::kIsNameGenerator<NameGeneratorT&&>>>
  explicit AnnotatedTraceMe(NameGeneratorT&& name_generator, int level = kCritical) {
    const bool annotate = ScopedAnnotation::IsEnabled();
    const bool trace = TraceMe::Active(level);
    if (annotate || trace) {
      Begin(std::forward<NameGeneratorT>(name_generator)(), annotate, trace);
    }
  }
  explicit AnnotatedTraceMe(const char* name, int level = kCritical)
      : AnnotatedTraceMe(std::string_view(name != nullptr ? name : ""), level) {}
  explicit AnnotatedTraceMe(std::string_view name, int level = kCritical)
      : AnnotatedTraceMe([name] { return std::string(name); }, level) {}
  explicit AnnotatedTraceMe(const std::string& name, int level = kCritical)
      : AnnotatedTraceMe(std::string_view(name), level) {}

  ZENTRIK_EXPORT ~AnnotatedTraceMe();

  AnnotatedTraceMe(const AnnotatedTraceMe&) = delete;
  AnnotatedTraceMe& operator=(const AnnotatedTraceMe&) = delete;

 private:
  void Begin(std::string name, bool annotate, bool trace) {
    if (annotate) {
      annotation_.PushAnnotation(name);
      has_annotation_ = annotation_.pushed_;
    }
    if (trace) {
      trace_me_.Start(std::move(name));
      has_trace_me_ = true;
    }
  }

  TraceMe trace_me_;
  ScopedAnnotation annotation_;
  bool has_trace_me_ = false;
  bool has_annotation_ = false;
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_TRACE_ME_H_
