#ifndef ZENTRIK_TRACE_TRACER_H_
#define ZENTRIK_TRACE_TRACER_H_

// Profiling a stretch of a run.
//
//   zentrik::trace::TracerOptions options;  // host level 2, device level 1
//   std::unique_ptr<zentrik::trace::TracerInterface> tracer(
//       zentrik::trace::CreateTracer(options, "/tmp/logdir"));
//   if (tracer != nullptr && tracer->Start()) {
//     RunTheWork();           // marked with TraceMe (zentrik/trace/trace_me.h)
//     tracer->Stop(nullptr);  // writes <logdir>/plugins/profile/<run>/...
//   }
//
// One tracer at a time records in a process: while one is started, Start of
// any other fails. A tracer is driven from one thread at a time; the work it
// profiles may run on any number of threads. Every function here reports
// failure through its result and a WARNING line on standard error; that of
// a failed export is a fixed one, which does not say why (which directory,
// the system's error). None throws.

#include <cstdint>
#include <memory>  // the usage above holds the tracer in a std::unique_ptr
#include <string>

#include "zentrik/export.h"

namespace zentrik {
namespace trace {

// What a tracer records. Each level is copied bit for bit into an unsigned
// 32-bit level (a negative value becomes a large one).
struct TracerOptions {
  // 0: no host events. Otherwise TraceMe activities of this level and below
  // (see TraceMeLevel) are recorded.
  int32_t host_tracer_level = 2;
  // 0: no device tracing. 1: device activity and API calls. 2: also the PMU
  // counters of every kernel, through the environment variable
  // ZENTRIK_TRACE_PMU, which the tracer sets to "true" at Start and back to
  // "false" when it stops, fails to start or is deleted while started.
  int32_t device_tracer_level = 1;
};

// A tracer: idle after creation, started by a successful Start, idle again
// after any Stop of a started tracer (so it can be started again). Deleting a
// started tracer ends its recording without collecting anything. After fork(),
// a child records nothing of a session the parent started: there a tracer the
// parent had started returns false from Stop (with a WARNING) and leaves the
// parent's recording alone, and its Start starts a session of the child's own.
class TracerInterface {
 public:
  // Starts recording. True when the tracer is recording afterwards, also when
  // it already was (a WARNING says so). False when another tracer of the
  // process is recording.
  virtual bool Start() = 0;

  // Stops recording and delivers the trace. With `output` set, the trace
  // replaces its contents as a serialized XSpace protobuf message and nothing
  // is written to disk. With `output` null, the trace is converted into
  // TensorBoard profile files in a new run directory of this host below
  // <logdir>/plugins/profile. True when the data reached its destination; a
  // tracer that was not started returns true (with a WARNING).
  virtual bool Stop(std::string* output) = 0;

  // Sets the separator of nested annotation names ("::" at first) for the
  // whole process, whether or not this tracer is started. False for an empty
  // delimiter, which changes nothing.
  virtual bool SetAnnotationDelimiter(const std::string& delimiter) = 0;

  virtual ~TracerInterface() = default;
};

// A new idle tracer that writes below `logdir` on Stop(nullptr). The caller
// owns it and deletes it through TracerInterface. Null for an empty `logdir`
// or when memory runs out.
ZENTRIK_EXPORT TracerInterface* CreateTracer(const TracerOptions& options,
                                             const std::string& logdir);

// Converts a serialized XSpace (as Stop hands it out) into TensorBoard profile
// files below `logdir`, as Stop(nullptr) does, without needing a tracer. Empty
// bytes are an empty trace. False for an empty `logdir`, bytes that are not an
// XSpace (nothing is then written) or a failed export. May run on any thread,
// also while a tracer records.
ZENTRIK_EXPORT bool ExportToTensorboard(const std::string& xspace, const std::string& logdir);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_TRACER_H_
