#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_

#include <google/protobuf/arena.h>

#include <cstddef>
#include <cstdint>

#include "trace/core/protobuf/trace_events.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {

// The trace-viewer process of the host plane; device plane n is process n + 1.
constexpr uint32_t kHostDeviceId = 501;
// The trace viewer fails to load timelines much larger than this.
constexpr uint32_t kMaxTraceViewerEvents = 5000000;

// Converts the host plane "/host:CPU" and every "/device:ZRA:" plane of
// `space` into `trace`, which the caller passes empty (it is not cleared).
// Then, unless ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING reads true, cuts
// the trace to kMaxTraceViewerEvents. Event times outside the range of the
// trace are clamped into it, with one WARNING giving their count. Reports
// nothing else; runs on the caller's thread and only reads `space`.
void ConvertXSpaceToTraceEvents(const XSpace& space, Trace* trace);

// The same into a new Trace on `arena`, which owns it. A large trace's many
// small parts are made and freed much faster so; see TraceArenaOptions.
Trace* ConvertXSpaceToTraceEvents(const XSpace& space, google::protobuf::Arena* arena);

// Block sizes for an arena that holds a converted trace: its blocks grow
// quickly to 1 MiB, so a million events need few of them.
google::protobuf::ArenaOptions TraceArenaOptions();

// Converts one plane under `device_id`: its Device entry (created or reused)
// and one TraceEvent per shown event. Returns how many events had their
// times clamped.
size_t ConvertXPlaneToTraceEvents(uint32_t device_id, const XPlaneVisitor& plane, Trace* trace);

// Sets the device's name and id and a Resource per line of the plane; on the
// host the resources are ordered by the lines' positions.
void FillDeviceFromXPlane(uint32_t device_id, const XPlaneVisitor& plane, Device* device);

// Where the events of one line go; built once per line.
struct TraceEventDestination {
  uint32_t device_id;
  uint32_t resource_id;
  Trace* trace;
};

// Appends the event as a TraceEvent with its stats (and PMU figures) as
// arguments; appends nothing for memory allocation events. Returns true when
// its start or duration lay outside the unsigned 64-bit picosecond range and
// was clamped.
bool ConvertXEventToTraceEvent(const TraceEventDestination& destination,
                               const XEventVisitor& event);

// When `trace` holds more than `limit` events (a limit of 0 counts as 1), keeps
// only those that start no later than the limit-th earliest start, in their
// order; ties at that start are all kept. Logs the event count at INFO and,
// when it cuts, one WARNING.
void MaybeDropEventsForTraceViewer(Trace* trace, uint32_t limit);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_
