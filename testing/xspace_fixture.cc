#include "testing/xspace_fixture.h"

#include "testing/proto_bytes.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace testing {

using trace::XEventBuilder;
using trace::XPlaneBuilder;

namespace {
std::string StatName(trace::StatType type) { return trace::GetStatTypeStr(type); }
}  // namespace

trace::DeviceInfo UnknownDeviceInfo() {
  trace::DeviceInfo info;
  info.set_zra_type(trace::UnknownZraType);
  return info;
}

// Everything the device tracer writes for one event of either plane.
struct XSpaceFixture::WrittenEvent {
  int64_t line_id;
  std::string line_name_when_new, metadata_name, display_name;
  uint32_t correlation_id;
  uint64_t start_ns, end_ns;
  std::map<std::string, std::string> stats;
  bool second_pmu_data;
  const CounterRecord* pmu;
};

std::string XSpaceFixture::Serialize() const { return DeterministicBytes(space_); }

XPlaneBuilder& XSpaceFixture::PlaneNamed(const std::string& name) {
  std::unique_ptr<XPlaneBuilder>& builder = builders_[name];
  if (builder == nullptr) {
    builder = std::make_unique<XPlaneBuilder>(trace::FindOrAddMutablePlaneWithName(&space_, name));
  }
  return *builder;
}

XPlaneBuilder& XSpaceFixture::HostPlane() { return PlaneNamed(trace::kHostPlaneName); }

XPlaneBuilder& XSpaceFixture::DevicePlane(uint32_t device) {
  XPlaneBuilder& plane = PlaneNamed(trace::kDevicePlanePrefix + std::to_string(device));
  plane.SetId(device);
  return plane;
}

XEventBuilder XSpaceFixture::AddTraceMe(const TraceMeSpec& params) {
  XPlaneBuilder& plane = HostPlane();
  trace::XLineBuilder line = plane.GetOrCreateLine(params.thread_id);
  line.SetTimestampNs(static_cast<int64_t>(session_start_ns_));
  line.SetName(params.thread_name + "/" + std::to_string(params.thread_id));
  trace::XEventMetadata* metadata = plane.GetOrCreateEventMetadata(params.name);
  if (!params.display_name.empty()) metadata->set_display_name(params.display_name);
  XEventBuilder event = line.AddEvent(*metadata);
  event.SetTimestampNs(params.start_ns);
  event.SetEndTimestampNs(params.end_ns);
  event.AddStatValue(*plane.GetOrCreateStatMetadata(StatName(trace::traceme_flag)), int64_t{1});
  event.InitPmuData(true);
  event.InitPmuData(false);
  if (params.annotation_counters.has_value()) {
    *event.mutable_event()->mutable_second_pmu_data() = *params.annotation_counters;
    event.mutable_event()->set_second_pmu_data_flag(true);
  }
  for (const auto& [key, value] : params.args) {
    const trace::XStatMetadata& stat = *plane.GetOrCreateStatMetadata(key);
    std::visit([&](const auto& v) { event.AddStatValue(stat, v); }, value);
  }
  return event;
}

XEventBuilder XSpaceFixture::AddTraceMe(uint32_t thread_id, const std::string& name,
                                        uint64_t start_ns, uint64_t end_ns,
                                        std::vector<std::pair<std::string, StatValue>> args) {
  return AddTraceMe(
      TraceMeSpec{thread_id, "", name, "", start_ns, end_ns, std::move(args), std::nullopt});
}

XEventBuilder XSpaceFixture::AddTracerEvent(XPlaneBuilder& plane, const WrittenEvent& params) {
  trace::XLineBuilder line = plane.GetOrCreateLine(params.line_id);
  line.SetTimestampNs(static_cast<int64_t>(session_start_ns_));
  if (line.line().name().empty()) line.SetName(params.line_name_when_new);
  trace::XEventMetadata* metadata = plane.GetOrCreateEventMetadata(params.metadata_name);
  metadata->set_display_name(params.display_name);
  XEventBuilder event = line.AddEvent(*metadata);
  event.SetTimestampNs(params.start_ns);
  event.SetEndTimestampNs(params.end_ns);
  if (params.correlation_id != kNoCorrelationId) {
    event.AddStatValue(*plane.GetOrCreateStatMetadata(StatName(trace::correlation_id)),
                       uint64_t{params.correlation_id});
  }
  // Ascending names, as the tracer's ordered map gives them.
  for (const auto& [name, text] : params.stats) {
    event.AddStatValue(*plane.GetOrCreateStatMetadata(name), text);
  }
  event.InitPmuData(false);
  if (params.second_pmu_data) event.InitPmuData(true);
  if (params.pmu->read.has_value()) {
    event.SetPmuData(*params.pmu->read);
    event.mutable_event()->set_pmu_data_flag(true);
  } else {
    event.mutable_event()->mutable_pmu_data()->set_field14(params.pmu->field14);
  }
  event.SetDeviceInfo(params.pmu->device_info);
  return event;
}

XEventBuilder XSpaceFixture::AddApiCall(const ApiCallSpec& params) {
  WrittenEvent event{params.thread_id, "/Generic/" + std::to_string(params.thread_id),
                     params.annotation + "##" + params.function, params.function,
                     params.correlation_id, params.start_ns, params.end_ns,
                     {{StatName(trace::flow_event_cat), params.flow_event_cat}, {"is_host", "true"}},
                     /*second_pmu_data=*/false, &params.pmu};
  if (!params.model_id.empty()) event.stats[StatName(trace::model_id)] = params.model_id;
  if (!params.op_fullname.empty()) event.stats[StatName(trace::op_fullname)] = params.op_fullname;
  return AddTracerEvent(HostPlane(), event);
}

XEventBuilder XSpaceFixture::AddActivity(const ActivitySpec& params) {
  WrittenEvent event{params.queue, "", params.annotation + "##" + params.name,
                     params.display_name.empty() ? params.name : params.display_name,
                     params.correlation_id, params.start_ns, params.end_ns, params.stats,
                     /*second_pmu_data=*/true, &params.pmu};
  event.stats[StatName(trace::device_id)] = std::to_string(params.device);
  event.stats[StatName(trace::flow_event_cat)] = params.flow_event_cat;
  event.stats["is_host"] = "false";
  if (!params.op_fullname.empty()) event.stats[StatName(trace::op_fullname)] = params.op_fullname;
  XPlaneBuilder& plane = DevicePlane(params.device);
  XEventBuilder added = AddTracerEvent(plane, event);
  // Queues are named after their id and every kind seen on them.
  std::set<std::string>& kinds = queue_kinds_[{params.device, params.queue}];
  kinds.insert(params.kind.empty() ? event.display_name : params.kind);
  std::string name = params.queue == 0 ? "Sync task(" : "Queue #" + std::to_string(params.queue) + "(";
  for (const std::string& kind : kinds) name += kind + ",";
  plane.GetOrCreateLine(params.queue).SetName(name + ")");
  return added;
}

XEventBuilder XSpaceFixture::AddOverhead(const std::string& kind, uint64_t start_ns,
                                         uint64_t end_ns) {
  const CounterRecord no_counters;
  return AddTracerEvent(
      HostPlane(), WrittenEvent{0xffffffff, "dravik_overhead", kind, kind, kNoCorrelationId,
                                start_ns, end_ns,
                                {{StatName(trace::flow_event_cat), ""}, {"is_host", "true"}},
                                /*second_pmu_data=*/false, &no_counters});
}

KernelEvents XSpaceFixture::AddKernel(const KernelSpec& params) {
  CounterRecord record;
  record.field14 = params.end_ns - params.start_ns;
  if (params.counters.has_value()) {
    record.read = *params.counters;
    record.read->set_field14(record.field14);
  }
  record.device_info = params.device_info;
  const TracerEventSpec shared{params.annotation, params.op_fullname,      "Kernel",
                               params.correlation_id, params.launch_start_ns, params.launch_end_ns,
                               record};
  const ApiCallSpec launch{shared, params.thread_id, kKernelLaunchName, params.model_id};
  // The display name is the kernel name up to its first "(".
  const std::string short_name = params.kernel_name.substr(0, params.kernel_name.find('('));
  ActivitySpec kernel{shared, params.device, params.queue, params.kernel_name,
                      short_name.empty() ? "unknown kernel" : short_name, "Compute",
                      {{StatName(trace::kernel_type), "0"}, {StatName(trace::dimx), "1"},
                       {StatName(trace::dimy), "1"}, {StatName(trace::dimz), "1"},
                       {StatName(trace::kernel_details), "reserved"}}};
  kernel.start_ns = params.start_ns;
  kernel.end_ns = params.end_ns;
  return KernelEvents{AddApiCall(launch), AddActivity(kernel)};
}

}  // namespace testing
}  // namespace zentrik
