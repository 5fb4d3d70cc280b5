#ifndef ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_H_

// What happened during each step of a run, gathered per host-thread line and
// per device plane and merged into one StepEvents for the step overview.
// Plain values; all functions are thread-safe on distinct values.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {

enum StepMarkerType : uint32_t {
  HostStepMarker = 0,    // from a host-thread line
  DeviceStepMarker = 1,  // from a device plane's derived step line
};

// An event that marks the extent of a step. Times in picoseconds.
struct StepMarker {
  uint32_t type = HostStepMarker;
  std::string name;
  uint64_t begin_ps = 0;
  uint64_t duration_ps = 0;
};

// A host framework op of a step: its thread and span, no more, as there is
// one record per framework op of the whole trace.
struct HostEventRecord {
  uint64_t begin_ps = 0;
  uint64_t duration_ps = 0;
  int64_t plane_id = 0;
  int64_t line_id = 0;
  uint32_t launch_kind = 1;  // 0: launched host work (launch_cpu), 1: anything else
};

// Work executed for a step: a device kernel, or an execute_cpu event of a host line.
// The name, counters and device facts are the event's own in the space, which
// must outlive the record: there is one record per kernel of the whole trace.
struct DeviceEventRecord {
  uint64_t begin_ps = 0;
  uint64_t duration_ps = 0;
  std::string_view name;
  int64_t plane_id = 0;
  int64_t line_id = 0;
  const PmuData* pmu_data = &PmuData::default_instance();
  const DeviceInfo* device_info = &DeviceInfo::default_instance();
  int64_t correlation_id = -1;
  bool on_host = false;
  bool has_kernel_details = false;
};

struct StepDetails {
  std::vector<StepMarker> markers;
  std::vector<HostEventRecord> host_events;
  std::vector<DeviceEventRecord> device_events;
  int64_t batch_size = -1;  // -1: not given
  // The span of the event that carried the batch size.
  uint64_t step_duration_ps = 0;
  uint64_t step_begin_ps = 0;

  void AddMarker(const StepMarker& marker) { markers.push_back(marker); }
  void AddHostEvent(const HostEventRecord& event) { host_events.push_back(event); }
  void AddDeviceEvent(const DeviceEventRecord& event) { device_events.push_back(event); }

  // (begin, duration) of the step: the longest host marker, unless the
  // longest device marker is set and not enclosed by it.
  std::pair<uint64_t, uint64_t> StepTime() const;
};

// Steps by id, ascending. Also records whether any host line carried launch
// stats, which decides how the overview takes step spans; it belongs to the
// conversion at hand, so that one run's trace cannot change how a later run
// in the same process is read.
struct StepEvents : std::map<int64_t, StepDetails> {
  bool host_launch_stats_seen = false;
};

// Appends the steps of `src` to those of `dst`; a batch size above 0 and a
// non-zero stored span of `src` replace those of `dst`.
void CombineStepEvents(const StepEvents& src, StepEvents* dst);
// The same, moving the events out of `src`.
void CombineStepEvents(StepEvents&& src, StepEvents* dst);

// The step markers, host ops, launches and host executions of one host-thread
// line. `plane` is the host plane's visitor.
StepEvents ConvertHostThreadsXLineToStepEvents(const XLineVisitor& line,
                                               const XPlaneVisitor& plane);

// The markers of the derived step line and the kernels of every other line
// of a device plane.
StepEvents ConvertDeviceTraceXPlaneToStepEvents(const XPlane& device_plane);

// The device step markers of a device plane's derived step line.
StepEvents ConvertStepInfoXLineToStepEvents(const XLineVisitor& line);

// The kernels of one ordinary device line.
StepEvents ConvertDeviceTraceXLineToStepEvents(const XLineVisitor& line,
                                               const XPlaneVisitor& plane);

// Adds one device event to its step when it has a step id, a correlation id
// and an op name.
void AddDeviceTraceEventToStepEvents(const XPlaneVisitor& plane, const XLineVisitor& line,
                                     const XEventVisitor& event, StepEvents* result);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_H_
