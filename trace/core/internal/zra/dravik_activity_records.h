#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_ACTIVITY_RECORDS_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_ACTIVITY_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "trace/core/internal/zra/dravik_tracer_event.h"

namespace zentrik {
namespace trace {

// The bytes a record of `kind` must hold for the fields read from it; for a
// kind that yields no event only its kind.
size_t ActivityRecordSize(uint32_t kind);

// The event of one activity record, fields copied out at their byte offsets
// (the record may sit at any alignment), or null when the record yields none
// (a kind without event, an overhead interval with a zero start or end).
// `record` must hold ActivityRecordSize(kind) bytes. Kernels keep the preset
// PMU block. May throw std::bad_alloc.
std::unique_ptr<DravikTracerEvent> ParseActivityRecord(const uint8_t* record);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_ACTIVITY_RECORDS_H_
