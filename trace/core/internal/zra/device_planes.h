#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_PLANES_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_PLANES_H_

#include <cstdint>
#include <map>
#include <string>

#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/host_events.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {

// What one export pass reads besides the device's records: all of it built
// by the collection (or by a test) before the pass.
struct DeviceExportInputs {
  uint64_t session_start_ns = 0;  // records that started earlier are left out
  const CorrelationIndex* correlations = nullptr;
  const std::map<uint32_t, DeviceAttributes>* attributes = nullptr;
  // Whether kernels carry their latency stats (and implausibly late ones are
  // dropped); the collection reads ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS.
  bool latency_timestamps = false;
};

// The device-plane record of one activity (kernel, copy, memory set,
// notifier, atomic operation). `type_name` is the correlation's activity type
// name. With `latency_timestamps`, a kernel whose three latency stamps are
// all present gets the latency stats and is dropped (INFO line) when it
// started more than 1e5 ms after its submission.
EventRecord AddActivityEventToPlane(const DravikTracerEvent& record, const std::string& type_name,
                                    bool latency_timestamps, ExportNameCache* cache);

// One export pass over one device's records, holding the list's mutex: the
// activities go to `device_plane`, one line per queue, named after the queue
// and the kinds it ran; API calls and overhead intervals go to `host_plane`,
// one line per thread. Call on the collecting thread after tracing stopped.
void ExportToXSpace(DeviceEventList* list, const DeviceExportInputs& inputs,
                    XPlaneBuilder* device_plane, XPlaneBuilder* host_plane);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_PLANES_H_
