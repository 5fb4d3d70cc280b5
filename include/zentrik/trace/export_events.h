#ifndef ZENTRIK_TRACE_EXPORT_EVENTS_H_
#define ZENTRIK_TRACE_EXPORT_EVENTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "zentrik/export.h"

namespace zentrik {
namespace trace {

// One piece of device activity (a kernel, a memory set, ...) caused by a host
// event. Times are nanoseconds on the trace's clock.
struct ElapseDeviceEvent {
  // 1 when `name` contains "MemcpyH2D", else 2 for "MemcpyD2H", else 3 for
  // "MemcpyD2D", else 4 for "MemorySet", else 0 (kernels and everything else).
  int32_t kind = 0;
  std::string name;
  int64_t start_ns = 0;
  int64_t duration_ns = 0;
  // 3 for a ZRA device, 2 for a GPU device, 0 otherwise.
  int32_t device_type = 0;
  // The device number from the device plane's name.
  int64_t device_id = 0;
};

// One host event with its place in its thread's nesting and the device
// activity attached to it.
struct ElapseEvent {
  // Unique in the process: drawn from one counter whose first value is 1.
  int64_t id = 0;
  // The event's traceme correlation id; -1 when it has none.
  int64_t traceme_correlation_id = -1;
  std::string name;
  // The part of `name` after its first ':' for events with a traceme
  // correlation id; "qx_runtime" for the others.
  std::string short_name;
  int64_t start_ns = 0;
  // The host line (thread) the event lies on.
  int64_t line_id = 0;
  int64_t end_ns = 0;
  // The same value as `line_id`.
  int64_t thread_id = 0;
  // `id` of the innermost event of the same call and thread that encloses this
  // one; -1 when there is none.
  int64_t parent_id = -1;
  // Ids of the events directly nested in this one, in start order.
  std::vector<int64_t> child_ids;
  // Device activity launched by this event, or by a runtime call inside it.
  std::vector<ElapseDeviceEvent> device_events;
};

// A change of allocated memory. Reserved for callers' own use: ExportEvents
// never creates, reads or changes one.
struct MemoryEvent {
  int64_t time_ns = 0;     // When the change happened.
  int64_t device_id = -1;  // Device number; -1 for host memory.
  int64_t bytes = 0;       // Bytes allocated (positive) or freed (negative).
};

// Flattens a serialized XSpace (as Tracer::Stop hands it out) into elapse
// events: appends one ElapseEvent per accepted host event to *elapse_events,
// linking only the events this call appends into parents and children and
// attaching device activity to them. What the vector held before is kept
// unchanged. *memory_events is never touched (it may be null).
//
// Returns false, after logging why at ERROR, when `xspace_bytes` or
// `elapse_events` is null, the bytes are empty or not an XSpace, or a device
// plane's number is unreadable; the vector is then left as it was. Thread-safe for
// calls with different output vectors.
ZENTRIK_EXPORT bool ExportEvents(const std::string* xspace_bytes,
                                 std::vector<MemoryEvent>* memory_events,
                                 std::vector<ElapseEvent>* elapse_events);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_EXPORT_EVENTS_H_
