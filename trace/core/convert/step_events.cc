#include "trace/core/convert/step_events.h"

#include <iterator>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "trace/core/convert/event_walk.h"
#include "trace/core/utils/qx_op_utils.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

// The (begin, duration) of the longest marker of `type`; the first of equal ones.
std::pair<uint64_t, uint64_t> LongestMarker(const std::vector<StepMarker>& markers, uint32_t type) {
  std::pair<uint64_t, uint64_t> longest{0, 0};
  for (const StepMarker& marker : markers) {
    if (marker.type == type && marker.duration_ps > longest.second) {
      longest = {marker.begin_ps, marker.duration_ps};
    }
  }
  return longest;
}

bool IsFrameworkOp(const std::string& name) {
  return ParseQxOpFullname(name, /*warn_multiple=*/false).kind != QxOp::kOther;
}

// IsFrameworkOp of each event's name, parsed once per metadata id.
class FrameworkOpCache {
 public:
  bool IsFrameworkOp(const XEventVisitor& event) {
    const auto [it, added] = known_.try_emplace(event.RawEvent().metadata_id(), false);
    if (added) it->second = trace::IsFrameworkOp(event.Name());
    return it->second;
  }

 private:
  std::unordered_map<int64_t, bool> known_;
};

// The stat's int64 value; 0 for a stat holding another kind of value.
int64_t IntOf(const XStatVisitor& stat) {
  return stat.ValueCase() == XStat::kInt64Value ? stat.IntValue() : 0;
}

// What one host event says about its step.
struct HostEventStats {
  int64_t step_id = -1;
  int64_t correlation_id = -1;
  int64_t batch = -1;
  bool has_step_name = false;
  bool launch = false;  // launch_cpu or launch_zra
  bool launch_cpu = false;
  bool execute_cpu = false;

  void Apply(const XStatVisitor& stat) {
    switch (stat.Type()) {
      case StatType::correlation_id:
        correlation_id = IntOf(stat);
        break;
      case StatType::group_id:
        step_id = IntOf(stat);
        break;
      case StatType::step_name:
        has_step_name = !stat.StrOrRefValue().empty();
        break;
      case StatType::launch_cpu:
        launch = launch_cpu = true;
        break;
      case StatType::launch_zra:
        launch = true;
        break;
      case StatType::execute_cpu:
        execute_cpu = true;
        break;
      case StatType::batch_size:
        if (IntOf(stat) > 0) batch = IntOf(stat);
        break;
      default:
        break;
    }
  }
};

// One walk over a host line: step markers, batch sizes, framework ops and
// host executions. Returns whether any event carried a launch stat.
bool AddHostLineEvents(const XLineVisitor& line, const XPlaneVisitor& plane, StepEvents* result) {
  bool launch_stats_seen = false;
  FrameworkOpCache framework_ops;
  ForEachLineEvent(*line.line, [&](const XEvent& raw) {
    const XEventVisitor event(&plane, line.line, &raw);
    HostEventStats stats;
    event.ForEachStat([&stats](const XStatVisitor& stat) { stats.Apply(stat); });
    launch_stats_seen = launch_stats_seen || stats.launch;
    const int64_t step_id = stats.step_id;
    if (step_id < 0) return;
    // A step is entered only when the event adds something to it.
    auto step = [&]() -> StepDetails& { return (*result)[step_id]; };
    const uint64_t begin = event.TimestampPs();
    const uint64_t duration = static_cast<uint64_t>(event.DurationPs());
    if (stats.has_step_name) step().AddMarker({HostStepMarker, event.Name(), begin, duration});
    if (stats.batch >= 1) {
      step().batch_size = stats.batch;
      step().step_begin_ps = begin;
      step().step_duration_ps = duration;
    }
    if (framework_ops.IsFrameworkOp(event)) {
      step().AddHostEvent(
          {begin, duration, plane.Id(), line.line->id(), stats.launch_cpu ? 0u : 1u});
    }
    if (stats.execute_cpu) {
      DeviceEventRecord execution;
      execution.begin_ps = begin;
      execution.duration_ps = duration;
      execution.name = event.Name();
      execution.plane_id = plane.Id();
      execution.line_id = line.line->id();
      execution.correlation_id = stats.correlation_id;
      execution.on_host = true;
      step().AddDeviceEvent(execution);
    }
  });
  return launch_stats_seen;
}

}  // namespace

std::pair<uint64_t, uint64_t> StepDetails::StepTime() const {
  const std::pair<uint64_t, uint64_t> host = LongestMarker(markers, HostStepMarker);
  const std::pair<uint64_t, uint64_t> device = LongestMarker(markers, DeviceStepMarker);
  if (device == std::pair<uint64_t, uint64_t>{0, 0}) return host;
  if (host.first > device.first) return device;
  if (device.first + device.second > host.first + host.second) return device;
  return host;
}

namespace {

// Appends `from` to `to`, moving the elements when `from` may be emptied.
template <typename Vector, typename From>
void Append(From&& from, Vector* to) {
  if constexpr (std::is_const_v<std::remove_reference_t<From>>) {
    to->insert(to->end(), from.begin(), from.end());
  } else {
    to->insert(to->end(), std::make_move_iterator(from.begin()),
               std::make_move_iterator(from.end()));
  }
}

template <typename Src>
void Combine(Src&& src, StepEvents* dst) {
  dst->host_launch_stats_seen = dst->host_launch_stats_seen || src.host_launch_stats_seen;
  for (auto& [step_id, details] : src) {
    StepDetails& target = (*dst)[step_id];
    Append(details.markers, &target.markers);
    Append(details.host_events, &target.host_events);
    Append(details.device_events, &target.device_events);
    if (details.batch_size > 0) target.batch_size = details.batch_size;
    if (details.step_duration_ps != 0) {
      target.step_duration_ps = details.step_duration_ps;
      target.step_begin_ps = details.step_begin_ps;
    }
  }
}

}  // namespace

void CombineStepEvents(const StepEvents& src, StepEvents* dst) { Combine(src, dst); }

void CombineStepEvents(StepEvents&& src, StepEvents* dst) { Combine(src, dst); }

StepEvents ConvertHostThreadsXLineToStepEvents(const XLineVisitor& line,
                                               const XPlaneVisitor& plane) {
  StepEvents result;
  result.host_launch_stats_seen = AddHostLineEvents(line, plane, &result);
  return result;
}

StepEvents ConvertDeviceTraceXPlaneToStepEvents(const XPlane& device_plane) {
  const XPlaneVisitor plane(&device_plane, {FindHostEventType}, {FindStatType});
  StepEvents result;
  for (const XLine& line : device_plane.lines()) {
    if (line.id() == int64_t{kDerivedLineId}) {
      CombineStepEvents(ConvertStepInfoXLineToStepEvents({&plane, &line}), &result);
    } else if (!IsDerivedLineId(line.id())) {
      CombineStepEvents(ConvertDeviceTraceXLineToStepEvents({&plane, &line}, plane), &result);
    }
  }
  return result;
}

StepEvents ConvertStepInfoXLineToStepEvents(const XLineVisitor& line) {
  StepEvents result;
  for (const XEvent& raw : line.line->events()) {
    XEventVisitor event(line.plane, line.line, &raw);
    const std::optional<XStatVisitor> group = event.GetStat(StatType::group_id);
    if (!group) continue;
    result[IntOf(*group)].AddMarker({DeviceStepMarker, event.Name(), event.TimestampPs(),
                                     static_cast<uint64_t>(event.DurationPs())});
  }
  return result;
}

StepEvents ConvertDeviceTraceXLineToStepEvents(const XLineVisitor& line,
                                               const XPlaneVisitor& plane) {
  StepEvents result;
  for (const XEvent& raw : line.line->events()) {
    AddDeviceTraceEventToStepEvents(plane, line, XEventVisitor(&plane, line.line, &raw), &result);
  }
  return result;
}

void AddDeviceTraceEventToStepEvents(const XPlaneVisitor& plane, const XLineVisitor& line,
                                     const XEventVisitor& event, StepEvents* result) {
  int64_t step_id = -1;
  int64_t correlation_id = -1;
  const std::string* name = &event.Name();
  bool has_kernel_details = false;
  event.ForEachStat([&](const XStatVisitor& stat) {
    switch (stat.Type()) {
      case StatType::correlation_id:
        correlation_id = IntOf(stat);
        break;
      case StatType::group_id:
        step_id = IntOf(stat);
        break;
      case StatType::kernel_details:
        has_kernel_details = true;
        break;
      case StatType::op_fullname:
      case StatType::tf_op:
        name = &stat.StrOrRefValue();
        break;
      default:
        break;
    }
  });
  if (step_id < 0 || correlation_id < 0 || !IsFrameworkOp(*name)) return;

  DeviceEventRecord record;
  record.begin_ps = event.TimestampPs();
  record.duration_ps = static_cast<uint64_t>(event.DurationPs());
  record.name = *name;
  record.plane_id = plane.Id();
  record.line_id = line.line->id();
  record.pmu_data = &event.RawEvent().pmu_data();
  record.device_info = &event.RawEvent().device_info();
  record.correlation_id = correlation_id;
  record.has_kernel_details = has_kernel_details;
  (*result)[step_id].AddDeviceEvent(record);
}

}  // namespace trace
}  // namespace zentrik
