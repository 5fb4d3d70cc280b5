#include "zentrik/trace/trace_me.h"

#include <cstring>

#include "common/platform/env.h"
#include "trace/core/internal/cpu/traceme_recorder.h"

namespace zentrik {
namespace trace {

// Hot path: one clock read here, one atomic load and one clock read in Stop.
void TraceMe::Start(std::string name) {
  new (&name_) std::string(std::move(name));
  start_time_ = EnvTime::NowNanos();
}

// Hot path, and run from destructors: never throws.
void TraceMe::Stop() {
  if (start_time_ == 0) return;
  if (TraceMeRecorder::threshold.load(std::memory_order_relaxed) >= 1) {
    const uint64_t end_time = EnvTime::NowNanos();
    TraceMeRecorder::Record(std::move(name_), static_cast<int64_t>(start_time_),
                            static_cast<int64_t>(end_time));
  }
  name_.~basic_string();
  start_time_ = 0;
}

namespace {
// Taking the address emits the out-of-line Active that the shared library
// exports for callers compiled when it was not inline.
[[gnu::used]] bool (*const kExportedActive)(int) = &TraceMe::Active;
}  // namespace

void TraceMe::RecordInstantTrace(std::string name) {
  // Nothing would ever drain events queued while idle.
  if (TraceMeRecorder::threshold.load(std::memory_order_relaxed) < 0) return;
  const int64_t now = static_cast<int64_t>(EnvTime::NowNanos());
  TraceMeRecorder::Record(std::move(name), now, now);
}

std::string TraceMeEncode(std::string name, std::initializer_list<TraceMeArg> args) {
  if (args.size() == 0) return name;
  size_t length = name.size() + 1;
  for (const TraceMeArg& arg : args) length += arg.key.size() + arg.value.size() + 2;
  size_t pos = name.size();
  try {
    name.resize(length);
  } catch (...) {
    return name;  // resize left it unchanged.
  }
  char* out = &name[0];
  out[pos++] = '#';
  for (const TraceMeArg& arg : args) {
    std::memcpy(out + pos, arg.key.data(), arg.key.size());
    pos += arg.key.size();
    out[pos++] = '=';
    std::memcpy(out + pos, arg.value.data(), arg.value.size());
    pos += arg.value.size();
    out[pos++] = ',';
  }
  out[length - 1] = '#';
  return name;
}

std::string TraceMeEncode(const char* name, std::initializer_list<TraceMeArg> args) {
  try {
    return TraceMeEncode(std::string(name != nullptr ? name : ""), args);
  } catch (...) {
    return std::string();
  }
}

AnnotatedTraceMe::~AnnotatedTraceMe() {
  if (has_trace_me_) trace_me_.Stop();
  if (has_annotation_) annotation_.PopAnnotation();
}

}  // namespace trace
}  // namespace zentrik
