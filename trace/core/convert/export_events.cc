#include "zentrik/trace/export_events.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/platform/logging.h"
#include "trace/core/convert/elapse_event_tree.h"
#include "trace/core/convert/parse_xspace.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {
namespace {

// Event ids of every call, on every thread: never reset, so ids stay unique
// in the process. The first id drawn is 1.
std::atomic<uint64_t> last_event_id{0};

int64_t NextEventId() { return static_cast<int64_t>(last_event_id.fetch_add(1) + 1); }

// Picoseconds to nanoseconds, through a double and truncated toward zero.
int64_t PsToNs(uint64_t ps) { return static_cast<int64_t>(static_cast<double>(ps) / 1000.0); }

int32_t DeviceEventKind(const std::string& name) {
  static constexpr const char* kKinds[] = {"MemcpyH2D", "MemcpyD2H", "MemcpyD2D", "MemorySet"};
  for (int32_t kind = 1; kind <= 4; ++kind) {
    if (name.find(kKinds[kind - 1]) != std::string::npos) return kind;
  }
  return 0;
}

XPlaneVisitor CreateVisitor(const XPlane& plane) {
  return XPlaneVisitor(&plane, {FindHostEventType}, {FindStatType});
}

// The device number after the last ':' of "/device:ZRA:<n>", read as strtoll
// reads base 10; false without a digit or outside the int64 range.
bool ParseDeviceIdFromPlaneName(const std::string& plane_name, int64_t* device_id) {
  const std::string_view prefix(kDevicePlanePrefix);
  if (plane_name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string number = plane_name.substr(plane_name.rfind(':') + 1);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(number.c_str(), &end, 10);
  if (end == number.c_str() || errno == ERANGE) return false;
  *device_id = value;
  return true;
}

// The state of one call: device events by correlation id, then the host
// events appended to the caller's vector.
class ElapseEventConverter {
 public:
  explicit ElapseEventConverter(std::vector<ElapseEvent>* elapse_events)
      : elapse_events_(elapse_events) {}

  // Collects the device events of one device plane that carry a correlation
  // id; the first of each id is kept. False for an unreadable device number.
  bool ConvertDevicePlaneToDeviceEvents(const XPlane& plane);

  // Appends the host plane's events, each with the kernel-like device events
  // of its correlation id. Events with a malformed traceme name are dropped.
  // Frees the events of each line once converted.
  void ConvertHostPlaneToHostEvents(XPlane* plane);

 private:
  // Sets `short_name`; false (after a WARNING) when the name is malformed.
  static bool SetShortName(ElapseEvent* event);
  void ReserveOutput(const XPlane& plane);

  std::vector<ElapseEvent>* elapse_events_;
  std::unordered_map<int64_t, ElapseDeviceEvent> device_events_by_correlation_id_;
};

bool ElapseEventConverter::ConvertDevicePlaneToDeviceEvents(const XPlane& plane) {
  ElapseDeviceEvent prototype;
  if (plane.name().find("ZRA") != std::string::npos) prototype.device_type = 3;
  if (prototype.device_type != 3 ||
      !ParseDeviceIdFromPlaneName(plane.name(), &prototype.device_id)) {
    LOG(ERROR) << "Device id is not found";
    return false;
  }
  const XPlaneVisitor visitor = CreateVisitor(plane);
  for (const XLine& line : plane.lines()) {
    if (IsDerivedLineId(line.id())) continue;
    for (const XEvent& event : line.events()) {
      XEventVisitor event_visitor(&visitor, &line, &event);
      bool correlated = false;
      int64_t correlation_id = 0;
      for (const XStat& stat : event.stats()) {
        if (visitor.GetStatType(stat.metadata_id()) != StatType::correlation_id) continue;
        correlated = true;
        correlation_id = stat.value_case() == XStat::kUint64Value
                             ? static_cast<int64_t>(stat.uint64_value())
                             : 0;
      }
      if (!correlated) continue;
      auto [it, inserted] = device_events_by_correlation_id_.try_emplace(correlation_id, prototype);
      if (!inserted) {
        LOG(WARNING) << event_visitor.Name() << " is existed, correlation_id = " << correlation_id;
        continue;
      }
      ElapseDeviceEvent& device_event = it->second;
      device_event.kind = DeviceEventKind(event_visitor.Name());
      // Only kind 0 is ever attached; the others just hold their id.
      if (device_event.kind == 0) device_event.name = event_visitor.Name();
      device_event.start_ns = PsToNs(event_visitor.TimestampPs());
      device_event.duration_ns = PsToNs(static_cast<uint64_t>(event.duration_ps()));
    }
  }
  return true;
}

bool ElapseEventConverter::SetShortName(ElapseEvent* event) {
  if (event->traceme_correlation_id == -1) {
    event->short_name = "qx_runtime";
    return true;
  }
  const size_t colon = event->name.find(':');
  if (colon == std::string::npos ||
      (colon + 1 < event->name.size() && event->name[colon + 1] == ':')) {
    LOG(WARNING) << "Host_event named error, name = " << event->name;
    return false;
  }
  event->short_name = event->name.substr(colon + 1);
  return true;
}

void ElapseEventConverter::ReserveOutput(const XPlane& plane) {
  size_t count = elapse_events_->size();
  for (const XLine& line : plane.lines()) count += line.events_size();
  // Grow geometrically so that callers accumulating many calls stay linear.
  if (count > elapse_events_->capacity()) {
    elapse_events_->reserve(std::max(count, 2 * elapse_events_->capacity()));
  }
}

void ElapseEventConverter::ConvertHostPlaneToHostEvents(XPlane* plane) {
  ReserveOutput(*plane);
  const XPlaneVisitor visitor = CreateVisitor(*plane);
  for (XLine& line : *plane->mutable_lines()) {
    if (IsDerivedLineId(line.id())) continue;
    for (const XEvent& event : line.events()) {
      XEventVisitor event_visitor(&visitor, &line, &event);
      ElapseEvent host_event;
      host_event.id = NextEventId();
      host_event.name = event_visitor.Name();
      host_event.start_ns = PsToNs(event_visitor.TimestampPs());
      host_event.end_ns = PsToNs(event_visitor.EndTimestampPs());
      host_event.line_id = host_event.thread_id = line.id();
      int64_t correlation_id = -1;
      for (const XStat& stat : event.stats()) {
        const int64_t type = visitor.GetStatType(stat.metadata_id());
        if (type == StatType::correlation_id) {
          correlation_id = stat.value_case() == XStat::kUint64Value
                               ? static_cast<int64_t>(stat.uint64_value())
                               : 0;
        } else if (type == StatType::traceme_correlation_id) {
          host_event.traceme_correlation_id =
              stat.value_case() == XStat::kInt64Value ? stat.int64_value() : 0;
        }
      }
      if (!SetShortName(&host_event)) continue;
      if (correlation_id != -1) {
        auto it = device_events_by_correlation_id_.find(correlation_id);
        if (it != device_events_by_correlation_id_.end() && it->second.kind == 0) {
          host_event.device_events.push_back(it->second);
        }
      }
      elapse_events_->push_back(std::move(host_event));
    }
    google::protobuf::RepeatedPtrField<XEvent>().Swap(line.mutable_events());
  }
}

// Everything of one call up to the linking; the parsed space and the device
// events are dropped before the linking, which needs neither.
bool ConvertXSpaceBytes(const std::string& xspace_bytes, std::vector<ElapseEvent>* elapse_events,
                        bool* host_plane_found) {
  auto space = std::make_unique<XSpace>();
  const Status parsed = ParseXSpace(xspace_bytes, space.get());
  if (!parsed.ok()) {
    LOG(ERROR) << parsed.error_message();
    return false;
  }
  XPlane* host_plane = FindMutablePlaneWithName(space.get(), kHostPlaneName);
  ElapseEventConverter converter(elapse_events);
  for (XPlane* device_plane : FindMutablePlanesWithPrefix(space.get(), kDevicePlanePrefix)) {
    if (!converter.ConvertDevicePlaneToDeviceEvents(*device_plane)) {
      LOG(ERROR) << "Convert device plane to device events failed";
      return false;
    }
    // The parsed space is ours: what is converted is freed at once, so that
    // the space and the output do not peak together.
    XPlane().Swap(device_plane);
  }
  *host_plane_found = host_plane != nullptr;
  if (host_plane != nullptr) converter.ConvertHostPlaneToHostEvents(host_plane);
  return true;
}

bool ExportEventsOrThrow(const std::string& xspace_bytes, std::vector<ElapseEvent>* elapse_events) {
  const size_t first = elapse_events->size();
  bool host_plane_found = false;
  if (!ConvertXSpaceBytes(xspace_bytes, elapse_events, &host_plane_found)) return false;
  if (host_plane_found) ConvertHostEvents(first, elapse_events);
  return true;
}

}  // namespace

bool ExportEvents(const std::string* xspace_bytes, std::vector<MemoryEvent>* /*memory_events*/,
                  std::vector<ElapseEvent>* elapse_events) {
  if (xspace_bytes == nullptr || xspace_bytes->empty()) {
    LOG(ERROR) << "Collection xspace is empty";
    return false;
  }
  if (elapse_events == nullptr) {
    LOG(ERROR) << "Elapse events output is null";
    return false;
  }
  const size_t first = elapse_events->size();
  const char* reason = "unknown error";
  try {
    return ExportEventsOrThrow(*xspace_bytes, elapse_events);
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
  }
  // Only events of this call were changed: dropping them restores the vector.
  elapse_events->erase(elapse_events->begin() + first, elapse_events->end());
  try {
    LOG(ERROR) << "Export events failed: " << reason;
  } catch (...) {
  }
  return false;
}

}  // namespace trace
}  // namespace zentrik
