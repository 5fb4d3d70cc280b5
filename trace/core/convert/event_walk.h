#ifndef ZENTRIK_TRACE_CORE_CONVERT_EVENT_WALK_H_
#define ZENTRIK_TRACE_CORE_CONVERT_EVENT_WALK_H_

// Walking the events of a parsed line in order. A million parsed events lie
// far apart in memory, so a plain walk waits on a cache miss per event; the
// walk asks for the events a few places ahead before it needs them.

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// How many events ahead the walk asks for.
inline constexpr int kEventPrefetchDistance = 16;

// Calls `f(const XEvent&)` for every event of `line`, in order.
template <typename F>
void ForEachLineEvent(const XLine& line, F&& f) {
  const auto& events = line.events();
  const int count = events.size();
  for (int i = 0; i < count; ++i) {
    if (i + kEventPrefetchDistance < count) {
      __builtin_prefetch(&events.Get(i + kEventPrefetchDistance));
    }
    f(events.Get(i));
  }
}

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_EVENT_WALK_H_
