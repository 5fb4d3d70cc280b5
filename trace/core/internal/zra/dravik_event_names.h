#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_EVENT_NAMES_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_EVENT_NAMES_H_

#include <cstdint>
#include <set>
#include <string>

#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/dravik_tracer_event.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {

// Display texts of the numeric fields of a DravikTracerEvent. Stateless and
// thread-safe; an unknown value gives the table's fallback text.
std::string MemcpyKindName(uint32_t copy_kind);
std::string DravikTracerEventTypeName(int32_t type);
// The name before its first "("; "unknown kernel" for an empty name.
std::string KernelShortName(const std::string& name);
std::string NotifierKindName(int32_t notifier_kind);
std::string AtomicRequestTypeName(uint32_t request_type);
std::string OverheadKindName(int32_t overhead_kind);
std::string AtomicOperationName(uint32_t request_type, uint32_t operation);
// "Sync task" for queue 0, else "Queue #<id>"; then "(" + each name + "," +
// ")" when `names` is not empty.
std::string QueueDisplayName(int64_t queue_id, const std::set<std::string>& names);

// Writes the event's PMU-data flag (the block's valid flag) and its PmuData
// (created when absent) from a kernel's counters. A byte counter is the core
// counter plus the memcore counter, a missing part contributing nothing.
void FillPmuData(XEventBuilder* event, const KernelPmuCounters& pmu);

// Writes the event's DeviceInfo (created when absent) from `attributes`.
void FillDeviceInfo(XEventBuilder* event, const DeviceAttributes& attributes);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_EVENT_NAMES_H_
