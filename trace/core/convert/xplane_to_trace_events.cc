#include "trace/core/convert/xplane_to_trace_events.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/utils/number_format.h"
#include "trace/core/convert/event_walk.h"
#include "trace/core/convert/pmu_display_args.h"
#include "trace/core/convert/trace_events_to_json.h"
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

bool ShowsPmuFigures(const XEventVisitor& xevent) {
  const XEvent& raw = xevent.RawEvent();
  return raw.second_pmu_data_flag() ||
         (raw.pmu_data_flag() && xevent.DisplayName() != kKernelLaunchName);
}

// The shown start and duration of an event; true when either was clamped.
bool ShownTimes(const XEventVisitor& xevent, uint64_t* start_ps, uint64_t* duration_ps) {
  const XEvent& raw = xevent.RawEvent();
  bool clamped = ClampedStartPs(xevent.Line().timestamp_ns(),
                                xevent.HasOffsetPs() ? raw.offset_ps() : 0, start_ps);
  if (raw.duration_ps() < 0) {
    *duration_ps = 0;
    return true;
  }
  *duration_ps = static_cast<uint64_t>(raw.duration_ps());
  return clamped;
}

// Enumerates the planes the trace viewer shows with their process ids.
template <typename F>
void ForEachShownPlane(const XSpace& space, F&& f) {
  if (const XPlane* host = FindPlaneWithName(space, kHostPlaneName)) {
    f(kHostDeviceId, CreateTraceViewerPlaneVisitor(host));
  }
  for (const XPlane* device : FindPlanesWithPrefix(space, kDevicePlanePrefix)) {
    f(static_cast<uint32_t>(device->id()) + 1, CreateTraceViewerPlaneVisitor(device));
  }
}

bool KeepsAllEvents() {
  bool keep_all_events = false;
  // An unparsable value keeps the default: events are dropped.
  (void)Env::Default()->ReadBoolFromEnvVar("ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING", false,
                                           &keep_all_events);
  return keep_all_events;
}

void LogClamped(size_t clamped) {
  if (clamped > 0) {
    LOG(WARNING) << clamped << " trace viewer events had a negative or overflowing start or a "
                 << "negative duration; their times were clamped to the valid range.";
  }
}

// Logs the event count and, when `starts` (of every event, in any order)
// holds more than `limit`, a WARNING; returns the latest start kept (the
// limit-th earliest, found in linear time), or the largest start there is
// when nothing is dropped. Reorders `starts`.
uint64_t DropThreshold(std::vector<uint64_t>* starts, uint32_t limit) {
  LOG(INFO) << "Trace viewer events number: " << starts->size();
  limit = std::max<uint32_t>(limit, 1);
  if (starts->size() <= limit) return std::numeric_limits<uint64_t>::max();
  LOG(WARNING) << "Drop events to avoid loading failure for trace viewer because of it's "
                  "scalability issues. Maximum number of events is set as "
               << limit
               << ". The dropping can be disabled using 'export "
                  "ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = true'";
  const auto nth = starts->begin() + (limit - 1);
  std::nth_element(starts->begin(), nth, starts->end());
  return *nth;
}

}  // namespace

bool TraceEventConverter::Convert(uint32_t device_id, uint32_t resource_id,
                                  const XEventVisitor& xevent, TraceEventView* view,
                                  bool* clamped) {
  if (IsInternalEvent(xevent.Type())) return false;
  view->device_id = device_id;
  view->resource_id = resource_id;
  *clamped = ShownTimes(xevent, &view->timestamp_ps, &view->duration_ps);

  numbered_.clear();
  used_texts_ = 0;
  const XEventMetadata& metadata = xevent.Metadata();
  if (!metadata.display_name().empty()) {
    view->name = metadata.display_name();
    AddArg({"long_name", metadata.name()});
  } else {
    view->name = metadata.name();
  }
  AddStatArgs(xevent, view);
  SortArgs();
  if (ShowsPmuFigures(xevent)) MergePmuArgs(xevent.RawEvent());
  view->args = args_.data();
  view->arg_count = args_.size();
  return true;
}

std::string* TraceEventConverter::NextText() {
  if (used_texts_ == texts_.size()) texts_.emplace_back();
  std::string* text = &texts_[used_texts_++];
  text->clear();
  return text;
}

// The stats as arguments, in stored order; the step name also names the
// event.
void TraceEventConverter::AddStatArgs(const XEventVisitor& xevent, TraceEventView* view) {
  xevent.ForEachStat([&](const XStatVisitor& stat) {
    if (stat.ValueCase() == XStat::VALUE_NOT_SET || IsInternalStat(stat.Type())) return;
    std::string_view text;
    std::string* formatted = nullptr;
    switch (stat.ValueCase()) {
      // Doubles are formatted here: the text must not follow the process's
      // locale, and every NaN reads "nan".
      case XStat::kDoubleValue:
        AppendFixed(stat.DoubleValue(), 6, formatted = NextText());
        break;
      case XStat::kInt64Value:
        AppendSigned(stat.IntValue(), formatted = NextText());
        break;
      case XStat::kUint64Value:
        AppendUnsigned(stat.UintValue(), formatted = NextText());
        break;
      case XStat::kStrValue:
      case XStat::kRefValue:
        text = stat.StrOrRefValue();
        break;
      default:  // bytes
        text = "<opaque bytes>";
        break;
    }
    if (formatted != nullptr) text = *formatted;
    if (stat.Type() == StatType::step_name) view->name = text;
    AddArg({stat.Name(), text});
  });
}

void TraceEventConverter::AddArg(const TraceEventArg& arg) {
  numbered_.push_back({arg, numbered_.size()});
}

// Ascending keys, each once: of equal keys the later argument wins, so a
// later stat replaces an earlier argument of the same name. Equal keys sort
// later first, by position, so no two elements compare equal: the plain
// (unstable) sort gives one result, in n log n however many arguments an
// event carries, and the first of each run is the one kept.
void TraceEventConverter::SortArgs() {
  std::sort(numbered_.begin(), numbered_.end(), [](const NumberedArg& a, const NumberedArg& b) {
    const int order = a.arg.key.compare(b.arg.key);
    return order < 0 || (order == 0 && a.position > b.position);
  });
  args_.clear();
  for (const NumberedArg& numbered : numbered_) {
    if (args_.empty() || args_.back().key != numbered.arg.key) args_.push_back(numbered.arg);
  }
}

// The kernel's two PMU records (its own counters and those of its
// annotation, both over its own running time) as display arguments, merged
// into the sorted arguments; they replace stats of the same name.
void TraceEventConverter::MergePmuArgs(const XEvent& raw) {
  first_.Clear();
  CopyPmuCounters(raw.pmu_data(), first_.mutable_pmu_data());
  CopyDeviceInfo(raw.device_info(), first_.mutable_device_info());
  ComputePmuUtil(&first_, /*average=*/false);

  second_.Clear();
  CopyPmuCounters(raw.second_pmu_data(), second_.mutable_pmu_data());
  CopyDeviceInfo(raw.device_info(), second_.mutable_device_info());
  second_.mutable_pmu_data()->set_field14(first_.pmu_data().field14());
  ComputePmuUtil(&second_, /*average=*/false);

  FormatPmuDisplayArgs(first_, second_, pmu_texts_);
  merged_.clear();
  size_t stat = 0;
  for (size_t pmu = 0; pmu < kPmuDisplayArgCount; ++pmu) {
    const std::string_view key = PmuDisplayArgKey(pmu);
    while (stat < args_.size() && args_[stat].key < key) merged_.push_back(args_[stat++]);
    if (stat < args_.size() && args_[stat].key == key) ++stat;
    merged_.push_back({key, pmu_texts_[pmu]});
  }
  merged_.insert(merged_.end(), args_.begin() + stat, args_.end());
  args_.swap(merged_);
}

void AppendTraceEvent(const TraceEventView& view, Trace* trace) {
  TraceEvent* event = trace->add_trace_events();
  event->set_device_id(view.device_id);
  event->set_resource_id(view.resource_id);
  event->set_name(std::string(view.name));
  event->set_timestamp_ps(view.timestamp_ps);
  event->set_duration_ps(view.duration_ps);
  auto& args = *event->mutable_args();
  for (size_t i = 0; i < view.arg_count; ++i) {
    args[std::string(view.args[i].key)] = std::string(view.args[i].value);
  }
}

bool ConvertXEventToTraceEvent(const TraceEventDestination& destination,
                               const XEventVisitor& xevent) {
  TraceEventConverter converter;
  TraceEventView view;
  bool clamped = false;
  if (!converter.Convert(destination.device_id, destination.resource_id, xevent, &view, &clamped)) {
    return false;
  }
  AppendTraceEvent(view, destination.trace);
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
  TraceEventConverter converter;
  TraceEventView view;
  for (const XLine& line : plane.RawPlane().lines()) {
    const uint32_t resource_id = ResourceIdOf(line);
    for (const XEvent& event : line.events()) {
      bool event_clamped = false;
      if (!converter.Convert(device_id, resource_id, XEventVisitor(&plane, &line, &event), &view,
                             &event_clamped)) {
        continue;
      }
      AppendTraceEvent(view, trace);
      if (event_clamped) ++clamped;
    }
  }
  return clamped;
}

void ConvertXSpaceToTraceEvents(const XSpace& space, Trace* trace) {
  size_t clamped = 0;
  ForEachShownPlane(space, [&](uint32_t device_id, const XPlaneVisitor& plane) {
    clamped += ConvertXPlaneToTraceEvents(device_id, plane, trace);
  });
  LogClamped(clamped);
  if (!KeepsAllEvents()) MaybeDropEventsForTraceViewer(trace, kMaxTraceViewerEvents);
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
  std::vector<uint64_t> starts;
  starts.reserve(count);
  for (const TraceEvent& event : events) starts.push_back(event.timestamp_ps());
  const uint64_t threshold = DropThreshold(&starts, limit);

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

XSpaceTraceJson::XSpaceTraceJson(const XSpace& space, uint32_t limit) {
  std::vector<uint64_t> starts;
  size_t clamped = 0;
  ForEachShownPlane(space, [&](uint32_t device_id, const XPlaneVisitor& plane) {
    FillDeviceFromXPlane(device_id, plane, &(*devices_.mutable_devices())[device_id]);
    size_t planned = starts.size();
    for (const XLine& line : plane.RawPlane().lines()) planned += line.events_size();
    starts.reserve(planned);
    for (const XLine& line : plane.RawPlane().lines()) {
      ForEachLineEvent(line, [&](const XEvent& event) {
        const XEventVisitor xevent(&plane, &line, &event);
        if (IsInternalEvent(xevent.Type())) return;
        uint64_t start_ps = 0;
        uint64_t duration_ps = 0;
        if (ShownTimes(xevent, &start_ps, &duration_ps)) ++clamped;
        starts.push_back(start_ps);
      });
    }
    planes_.emplace_back(device_id, plane);
  });
  LogClamped(clamped);
  event_count_ = starts.size();
  if (KeepsAllEvents()) return;
  threshold_ = DropThreshold(&starts, limit);
  if (threshold_ == std::numeric_limits<uint64_t>::max()) return;
  event_count_ = static_cast<size_t>(std::count_if(
      starts.begin(), starts.end(), [&](uint64_t start) { return start <= threshold_; }));
}

Status XSpaceTraceJson::Write(size_t chunk_bytes, const JsonPieceSink& sink) const {
  std::string piece;
  // One event's text at most goes past the chunk size.
  piece.reserve(chunk_bytes + chunk_bytes / 8);
  TraceJsonWriter writer(&piece, chunk_bytes, &sink);
  Status status = writer.Begin(devices_);
  TraceEventConverter converter;
  TraceEventView view;
  for (const auto& device_plane : planes_) {
    // Named, not bound: the lambda below captures them.
    const uint32_t device_id = device_plane.first;
    const XPlaneVisitor& plane = device_plane.second;
    for (const XLine& line : plane.RawPlane().lines()) {
      const uint32_t resource_id = ResourceIdOf(line);
      ForEachLineEvent(line, [&](const XEvent& event) {
        bool clamped = false;
        if (!status.ok() ||
            !converter.Convert(device_id, resource_id, XEventVisitor(&plane, &line, &event), &view,
                               &clamped) ||
            view.timestamp_ps > threshold_) {
          return;
        }
        status = writer.Add(view);
      });
      if (!status.ok()) return status;
    }
  }
  if (!status.ok()) return status;
  return writer.End();
}

}  // namespace trace
}  // namespace zentrik
