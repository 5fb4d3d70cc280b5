#include "trace/core/convert/xplane_to_trace_events.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/utils/number_format.h"
#include "trace/core/convert/pmu_display_args.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

// Kernel launches carry their kernel's counters too; the kernel's own event on
// the device shows them, so a launch shows them only for annotated counters.
constexpr char kKernelLaunchName[] = "qxInvokeKernel";

XPlaneVisitor CreateTraceViewerPlaneVisitor(const XPlane* plane) {
  return XPlaneVisitor(plane, {FindHostEventType}, {FindStatType});
}

// A line's thread id: its display id when set, else its id (low 32 bits).
uint32_t ResourceIdOf(const XLine& line) {
  return static_cast<uint32_t>(line.display_id() != 0 ? line.display_id() : line.id());
}

// The exact start in picoseconds, clamped into the unsigned 64-bit range.
// Returns true when it had to be clamped.
bool ClampedStartPs(int64_t line_timestamp_ns, int64_t offset_ps, uint64_t* start_ps) {
  const __int128 exact = static_cast<__int128>(line_timestamp_ns) * 1000 + offset_ps;
  if (exact < 0) {
    *start_ps = 0;
    return true;
  }
  if (exact > static_cast<__int128>(std::numeric_limits<uint64_t>::max())) {
    *start_ps = std::numeric_limits<uint64_t>::max();
    return true;
  }
  *start_ps = static_cast<uint64_t>(exact);
  return false;
}

// Writes the event's stats into `event`'s arguments, in stored order.
void AddStatArgs(const XEventVisitor& xevent, TraceEvent* event) {
  auto& args = *event->mutable_args();
  xevent.ForEachStat([&](const XStatVisitor& stat) {
    if (stat.ValueCase() == XStat::VALUE_NOT_SET) return;
    if (IsInternalStat(stat.Type())) return;
    // Doubles are formatted here: the text must not follow the process's
    // locale, and every NaN reads "nan".
    std::string text = stat.ValueCase() == XStat::kDoubleValue ? FormatFixed(stat.DoubleValue(), 6)
                                                               : stat.ToString();
    if (stat.Type() == StatType::step_name) event->set_name(text);
    args[stat.Name()] = std::move(text);
  });
}

bool ShowsPmuFigures(const XEventVisitor& xevent) {
  const XEvent& raw = xevent.RawEvent();
  return raw.second_pmu_data_flag() ||
         (raw.pmu_data_flag() && xevent.DisplayName() != kKernelLaunchName);
}

// The kernel's two PMU records (its own counters and those of its
// annotation, both over its own running time) as display arguments.
void AddPmuArgs(const XEvent& raw, TraceEvent* event) {
  PmuInfo first;
  CopyPmuCounters(raw.pmu_data(), first.mutable_pmu_data());
  CopyDeviceInfo(raw.device_info(), first.mutable_device_info());
  ComputePmuUtil(&first, /*average=*/false);

  PmuInfo second;
  CopyPmuCounters(raw.second_pmu_data(), second.mutable_pmu_data());
  CopyDeviceInfo(raw.device_info(), second.mutable_device_info());
  second.mutable_pmu_data()->set_field14(first.pmu_data().field14());
  ComputePmuUtil(&second, /*average=*/false);

  SetPmuDisplayArgs(first, second, event->mutable_args());
}

}  // namespace

bool ConvertXEventToTraceEvent(const TraceEventDestination& destination,
                               const XEventVisitor& xevent) {
  if (IsInternalEvent(xevent.Type())) return false;
  TraceEvent* event = destination.trace->add_trace_events();
  event->set_device_id(destination.device_id);
  event->set_resource_id(destination.resource_id);

  const XEventMetadata& metadata = xevent.Metadata();
  if (!metadata.display_name().empty()) {
    event->set_name(metadata.display_name());
    (*event->mutable_args())["long_name"] = metadata.name();
  } else {
    event->set_name(metadata.name());
  }

  const XEvent& raw = xevent.RawEvent();
  uint64_t start_ps = 0;
  bool clamped = ClampedStartPs(xevent.Line().timestamp_ns(),
                                xevent.HasOffsetPs() ? raw.offset_ps() : 0, &start_ps);
  event->set_timestamp_ps(start_ps);
  if (raw.duration_ps() < 0) {
    clamped = true;
    event->set_duration_ps(0);
  } else {
    event->set_duration_ps(static_cast<uint64_t>(raw.duration_ps()));
  }

  AddStatArgs(xevent, event);
  if (ShowsPmuFigures(xevent)) AddPmuArgs(raw, event);
  return clamped;
}

void FillDeviceFromXPlane(uint32_t device_id, const XPlaneVisitor& plane, Device* device) {
  device->set_name(plane.Name());
  device->set_device_id(device_id);
  auto& resources = *device->mutable_resources();
  uint32_t position = 0;
  for (const XLine& line : plane.RawPlane().lines()) {
    const uint32_t resource_id = ResourceIdOf(line);
    Resource& resource = resources[resource_id];
    resource.set_resource_id(resource_id);
    resource.set_name(!line.display_name().empty() ? line.display_name() : line.name());
    // Host threads keep the order of their lines; device threads sort by id.
    if (device_id == kHostDeviceId) resource.set_sort_index(++position);
  }
}

size_t ConvertXPlaneToTraceEvents(uint32_t device_id, const XPlaneVisitor& plane, Trace* trace) {
  FillDeviceFromXPlane(device_id, plane, &(*trace->mutable_devices())[device_id]);
  // One array for all events: on the arena every outgrown array stays
  // allocated until the trace is freed.
  auto& trace_events = *trace->mutable_trace_events();
  size_t planned = static_cast<size_t>(trace_events.size());
  for (const XLine& line : plane.RawPlane().lines()) planned += line.events_size();
  if (planned <= static_cast<size_t>(std::numeric_limits<int>::max())) {
    trace_events.Reserve(static_cast<int>(planned));
  }
  size_t clamped = 0;
  for (const XLine& line : plane.RawPlane().lines()) {
    const TraceEventDestination destination{device_id, ResourceIdOf(line), trace};
    for (const XEvent& event : line.events()) {
      if (ConvertXEventToTraceEvent(destination, XEventVisitor(&plane, &line, &event))) {
        ++clamped;
      }
    }
  }
  return clamped;
}

void ConvertXSpaceToTraceEvents(const XSpace& space, Trace* trace) {
  size_t clamped = 0;
  if (const XPlane* host = FindPlaneWithName(space, kHostPlaneName)) {
    clamped +=
        ConvertXPlaneToTraceEvents(kHostDeviceId, CreateTraceViewerPlaneVisitor(host), trace);
  }
  for (const XPlane* device : FindPlanesWithPrefix(space, kDevicePlanePrefix)) {
    const uint32_t device_id = static_cast<uint32_t>(device->id()) + 1;
    clamped += ConvertXPlaneToTraceEvents(device_id, CreateTraceViewerPlaneVisitor(device), trace);
  }
  if (clamped > 0) {
    LOG(WARNING) << clamped << " trace viewer events had a negative or overflowing start or a "
                 << "negative duration; their times were clamped to the valid range.";
  }

  bool keep_all_events = false;
  // An unparsable value keeps the default: events are dropped.
  (void)Env::Default()->ReadBoolFromEnvVar("ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING", false,
                                           &keep_all_events);
  if (!keep_all_events) MaybeDropEventsForTraceViewer(trace, kMaxTraceViewerEvents);
}

Trace* ConvertXSpaceToTraceEvents(const XSpace& space, google::protobuf::Arena* arena) {
  Trace* trace = google::protobuf::Arena::CreateMessage<Trace>(arena);
  ConvertXSpaceToTraceEvents(space, trace);
  return trace;
}

google::protobuf::ArenaOptions TraceArenaOptions() {
  google::protobuf::ArenaOptions options;
  options.start_block_size = size_t{64} << 10;
  options.max_block_size = size_t{1} << 20;
  return options;
}

void MaybeDropEventsForTraceViewer(Trace* trace, uint32_t limit) {
  auto& events = *trace->mutable_trace_events();
  const int count = events.size();
  LOG(INFO) << "Trace viewer events number: " << count;
  limit = std::max<uint32_t>(limit, 1);
  if (static_cast<uint64_t>(count) <= limit) return;
  LOG(WARNING) << "Drop events to avoid loading failure for trace viewer because of it's "
                  "scalability issues. Maximum number of events is set as "
               << limit
               << ". The dropping can be disabled using 'export "
                  "ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = true'";

  // The limit-th earliest start, found in linear time on a copy of the starts.
  std::vector<uint64_t> starts;
  starts.reserve(count);
  for (const TraceEvent& event : events) starts.push_back(event.timestamp_ps());
  const auto nth = starts.begin() + (limit - 1);
  std::nth_element(starts.begin(), nth, starts.end());
  const uint64_t threshold = *nth;

  // One stable forward pass moves the kept events down; the rest end at the
  // tail and are destroyed there.
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (events.Get(i).timestamp_ps() > threshold) continue;
    if (kept != i) events.SwapElements(kept, i);
    ++kept;
  }
  events.DeleteSubrange(kept, count - kept);
}

}  // namespace trace
}  // namespace zentrik
