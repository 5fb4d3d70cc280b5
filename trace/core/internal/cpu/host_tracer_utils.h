#ifndef ZENTRIK_TRACE_CORE_INTERNAL_CPU_HOST_TRACER_UTILS_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_CPU_HOST_TRACER_UTILS_H_

#include <cstdint>

#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Adds what the recorder collected to `plane`, the host plane: one line per
// thread (id = tid, name = "<thread name>/<tid>", timestamp = the session
// start), one event per activity that began at or after `start_timestamp_ns`,
// each with the traceme_flag stat and both PMU counter sets marked as not
// read. The arguments of an encoded name (name#key=value,...#) become stats,
// or counters of second_pmu_data for the PMU keys. Every string it stores is
// well-formed UTF-8: ill-formed sequences in names become U+FFFD. Finally all
// lines of the plane are ordered by name. Consumes `events` thread by thread.
// Call only from the collecting thread.
void ConvertRecordedEventsToHostPlane(uint64_t start_timestamp_ns, TraceMeRecorder::Events&& events,
                                      XPlane* plane);

// Gives `metadata` the short op name of its name as display name, when it has
// no display name yet and the short name differs from the name.
void SetEventMetadataDisplayName(XEventMetadata* metadata);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_CPU_HOST_TRACER_UTILS_H_
