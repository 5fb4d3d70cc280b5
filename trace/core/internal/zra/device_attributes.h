#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_ATTRIBUTES_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_ATTRIBUTES_H_

#include <cstdint>
#include <map>

#include "trace/core/internal/zra/dravik_tracer_collector.h"

namespace zentrik {
namespace trace {

class DravikInterface;

// The device facts of `device_id`, asked of `dravik` (the process-wide
// interface when null). A device id of all ones gets the initial values
// without any query. A failed query is logged at ERROR and leaves its fields
// at their initial values. Sets MORVEL_DEBUG_SKIP_FREQUENCY_CHECK for the
// frequency query only and restores its previous state afterwards. Call from
// the collecting thread.
DeviceAttributes GetDeviceAttributes(uint32_t device_id, DravikInterface* dravik = nullptr);

// Queries every device of `collector` that holds records, in ascending id,
// except the API records' all-ones id, into `attributes` (an existing entry
// is kept). Call after tracing stopped.
void CollectDeviceAttributes(const DravikTracerCollectorImpl& collector,
                             std::map<uint32_t, DeviceAttributes>* attributes,
                             DravikInterface* dravik = nullptr);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_ATTRIBUTES_H_
