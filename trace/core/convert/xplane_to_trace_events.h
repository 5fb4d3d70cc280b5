#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_

#include <google/protobuf/arena.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/platform/status.h"
#include "trace/core/convert/pmu_display_args.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/protobuf/pmu.pb.h"
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

// Block sizes for an arena that holds a converted trace or a parsed space:
// its blocks grow quickly to 1 MiB, so a million events need few of them.
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

// Decides what the trace viewer shows of an event: the one place that does,
// whether the event then goes into a Trace or straight into the document.
// Keeps its scratch storage between events, so converting allocates nothing
// once it has grown. Not thread-safe; one per thread.
class TraceEventConverter {
 public:
  // For a shown event, fills `view` (valid until the next call and while the
  // event's plane lives) and sets `clamped` when its start or duration lay
  // outside the unsigned 64-bit picosecond range and was clamped; false for
  // an event the viewer does not show (memory allocation events). The
  // arguments: "long_name" (the metadata name, when there is a display
  // name), the stats in stored order (a later one replaces an earlier one of
  // the same name), then the PMU figures for kernels that show them. Hot path.
  bool Convert(uint32_t device_id, uint32_t resource_id, const XEventVisitor& xevent,
               TraceEventView* view, bool* clamped);

 private:
  // An argument and how many came before it on its event.
  struct NumberedArg {
    TraceEventArg arg;
    size_t position;
  };

  std::string* NextText();
  void AddStatArgs(const XEventVisitor& xevent, TraceEventView* view);
  void AddArg(const TraceEventArg& arg);
  void SortArgs();
  void MergePmuArgs(const XEvent& raw);

  // Formatted stat values; a deque, so the texts stay put while it grows.
  std::deque<std::string> texts_;
  size_t used_texts_ = 0;
  std::vector<NumberedArg> numbered_;  // in the order they came
  std::vector<TraceEventArg> args_;
  std::vector<TraceEventArg> merged_;
  std::string pmu_texts_[kPmuDisplayArgCount];
  PmuInfo first_;
  PmuInfo second_;
};

// Appends the converted event to `trace` as a TraceEvent.
void AppendTraceEvent(const TraceEventView& view, Trace* trace);

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

// The trace viewer's document of a space without building its Trace: the
// same bytes as TraceToJson(ConvertXSpaceToTraceEvents(space)), and the same
// log lines, written by construction. A first pass over the event times finds
// which events are dropped; Write converts each event as it writes it. The
// space must outlive this and stay unchanged; only reads it.
class XSpaceTraceJson {
 public:
  // `limit` stands in for kMaxTraceViewerEvents.
  explicit XSpaceTraceJson(const XSpace& space, uint32_t limit = kMaxTraceViewerEvents);

  // The events the document holds.
  size_t event_count() const { return event_count_; }

  // Hands the document to `sink` as StreamTraceToJson does.
  Status Write(size_t chunk_bytes, const JsonPieceSink& sink) const;

 private:
  Trace devices_;  // the processes and threads, no events
  std::vector<std::pair<uint32_t, XPlaneVisitor>> planes_;
  size_t event_count_ = 0;
  // Events starting later are dropped.
  uint64_t threshold_ = std::numeric_limits<uint64_t>::max();
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_TRACE_EVENTS_H_
