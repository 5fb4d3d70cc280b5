#ifndef ZENTRIK_TRACE_CORE_LIB_PROFILER_INTERFACE_H_
#define ZENTRIK_TRACE_CORE_LIB_PROFILER_INTERFACE_H_

#include <cstdint>

#include "common/platform/status.h"

namespace zentrik {
namespace trace {

class XSpace;

// One source of profiling data in a session. The session owns its profilers,
// calls Start once right after creation, Stop at collection and once more
// from its destructor, and CollectData once after every profiler stopped.
// All calls come from the thread that drives the session.
class ProfilerInterface {
 public:
  virtual ~ProfilerInterface() = default;

  // Begins recording; `start_time_ns` is the session's start on the monotonic
  // clock.
  virtual Status Start(uint64_t start_time_ns) = 0;

  // Ends recording. A second call answers with an error (or OK) and does
  // nothing else.
  virtual Status Stop() = 0;

  // Adds this profiler's planes to `space`.
  virtual Status CollectData(XSpace* space) = 0;
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_PROFILER_INTERFACE_H_
