#include "testing/xspace_fixture.h"

#include "testing/proto_bytes.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace testing {

using trace::StatType;
using trace::XEventBuilder;
using trace::XLineBuilder;
using trace::XPlaneBuilder;

namespace {

std::string StatName(StatType type) { return trace::GetStatTypeStr(type); }

// The kernel name up to its first "(", as the device tracer shows kernels.
std::string KernelShortName(const std::string& name) {
  std::string short_name = name.substr(0, name.find('('));
  return short_name.empty() ? "unknown kernel" : short_name;
}

void AddStatValue(XEventBuilder* event, const trace::XStatMetadata& metadata,
                  const StatValue& value) {
  std::visit([&](const auto& v) { event->AddStatValue(metadata, v); }, value);
}

}  // namespace

trace::DeviceInfo UnknownDeviceInfo() {
  trace::DeviceInfo info;
  info.set_zra_type(trace::UnknownZraType);
  return info;
}

// Everything the device tracer writes for one event of either plane.
struct XSpaceFixture::WrittenEvent {
  int64_t line_id;
  std::string line_name_when_new;
  std::string metadata_name;
  std::string display_name;
  uint32_t correlation_id;
  uint64_t start_ns;
  uint64_t end_ns;
  std::map<std::string, std::string> stats;
  bool second_pmu_data;
  const CounterRecord* pmu;
};

XSpaceFixture::XSpaceFixture(uint64_t session_start_ns) : session_start_ns_(session_start_ns) {}

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

XLineBuilder XSpaceFixture::Line(XPlaneBuilder& plane, int64_t line_id) {
  XLineBuilder line = plane.GetOrCreateLine(line_id);
  line.SetTimestampNs(static_cast<int64_t>(session_start_ns_));
  return line;
}

XEventBuilder XSpaceFixture::AddTraceMe(const TraceMeSpec& spec) {
  XPlaneBuilder& plane = HostPlane();
  XLineBuilder line = Line(plane, spec.thread_id);
  line.SetName(spec.thread_name + "/" + std::to_string(spec.thread_id));
  trace::XEventMetadata* metadata = plane.GetOrCreateEventMetadata(spec.name);
  if (!spec.display_name.empty()) metadata->set_display_name(spec.display_name);
  XEventBuilder event = line.AddEvent(*metadata);
  event.SetTimestampNs(spec.start_ns);
  event.SetEndTimestampNs(spec.end_ns);
  event.AddStatValue(*plane.GetOrCreateStatMetadata(StatName(trace::traceme_flag)), int64_t{1});
  event.InitPmuData(true);
  event.InitPmuData(false);
  if (spec.annotation_counters.has_value()) {
    *event.mutable_event()->mutable_second_pmu_data() = *spec.annotation_counters;
    event.mutable_event()->set_second_pmu_data_flag(true);
  }
  for (const auto& [key, value] : spec.args) {
    AddStatValue(&event, *plane.GetOrCreateStatMetadata(key), value);
  }
  return event;
}

XEventBuilder XSpaceFixture::AddTraceMe(uint32_t thread_id, const std::string& name,
                                        uint64_t start_ns, uint64_t end_ns,
                                        std::vector<std::pair<std::string, StatValue>> args) {
  TraceMeSpec spec;
  spec.thread_id = thread_id;
  spec.name = name;
  spec.start_ns = start_ns;
  spec.end_ns = end_ns;
  spec.args = std::move(args);
  return AddTraceMe(spec);
}

XEventBuilder XSpaceFixture::AddTracerEvent(XPlaneBuilder& plane, const WrittenEvent& spec) {
  XLineBuilder line = Line(plane, spec.line_id);
  if (line.line().name().empty()) line.SetName(spec.line_name_when_new);
  trace::XEventMetadata* metadata = plane.GetOrCreateEventMetadata(spec.metadata_name);
  metadata->set_display_name(spec.display_name);
  XEventBuilder event = line.AddEvent(*metadata);
  event.SetTimestampNs(spec.start_ns);
  event.SetEndTimestampNs(spec.end_ns);
  if (spec.correlation_id != kNoCorrelationId) {
    event.AddStatValue(*plane.GetOrCreateStatMetadata(StatName(trace::correlation_id)),
                       uint64_t{spec.correlation_id});
  }
  // Ascending names, as the tracer's ordered map gives them.
  for (const auto& [name, text] : spec.stats) {
    event.AddStatValue(*plane.GetOrCreateStatMetadata(name), text);
  }
  event.InitPmuData(false);
  if (spec.second_pmu_data) event.InitPmuData(true);
  if (spec.pmu->read.has_value()) {
    event.SetPmuData(*spec.pmu->read);
    event.mutable_event()->set_pmu_data_flag(true);
  } else {
    event.mutable_event()->mutable_pmu_data()->set_field14(spec.pmu->field14);
  }
  event.SetDeviceInfo(spec.pmu->device_info);
  return event;
}

XEventBuilder XSpaceFixture::AddApiCall(const ApiCallSpec& spec) {
  WrittenEvent event{spec.thread_id,
                     "/Generic/" + std::to_string(spec.thread_id),
                     spec.annotation + "##" + spec.function,
                     spec.function,
                     spec.correlation_id,
                     spec.start_ns,
                     spec.end_ns,
                     {{StatName(trace::flow_event_cat), spec.flow_event_cat}, {"is_host", "true"}},
                     /*second_pmu_data=*/false,
                     &spec.pmu};
  if (!spec.model_id.empty()) event.stats[StatName(trace::model_id)] = spec.model_id;
  if (!spec.op_fullname.empty()) event.stats[StatName(trace::op_fullname)] = spec.op_fullname;
  return AddTracerEvent(HostPlane(), event);
}

XEventBuilder XSpaceFixture::AddActivity(const ActivitySpec& spec) {
  WrittenEvent event{spec.queue,
                     "",
                     spec.annotation + "##" + spec.name,
                     spec.display_name.empty() ? spec.name : spec.display_name,
                     spec.correlation_id,
                     spec.start_ns,
                     spec.end_ns,
                     spec.stats,
                     /*second_pmu_data=*/true,
                     &spec.pmu};
  event.stats[StatName(trace::device_id)] = std::to_string(spec.device);
  event.stats[StatName(trace::flow_event_cat)] = spec.flow_event_cat;
  event.stats["is_host"] = "false";
  if (!spec.op_fullname.empty()) event.stats[StatName(trace::op_fullname)] = spec.op_fullname;
  XPlaneBuilder& plane = DevicePlane(spec.device);
  XEventBuilder added = AddTracerEvent(plane, event);
  // Queues are named after their id and every kind seen on them.
  std::set<std::string>& kinds = queue_kinds_[{spec.device, spec.queue}];
  kinds.insert(spec.kind.empty() ? event.display_name : spec.kind);
  std::string name = spec.queue == 0 ? "Sync task" : "Queue #" + std::to_string(spec.queue);
  name += "(";
  for (const std::string& kind : kinds) name += kind + ",";
  name += ")";
  plane.GetOrCreateLine(spec.queue).SetName(name);
  return added;
}

XEventBuilder XSpaceFixture::AddOverhead(const std::string& kind, uint64_t start_ns,
                                         uint64_t end_ns) {
  const CounterRecord no_counters;
  WrittenEvent event{kOverheadLineId,
                     "dravik_overhead",
                     kind,
                     kind,
                     kNoCorrelationId,
                     start_ns,
                     end_ns,
                     {{StatName(trace::flow_event_cat), ""}, {"is_host", "true"}},
                     /*second_pmu_data=*/false,
                     &no_counters};
  return AddTracerEvent(HostPlane(), event);
}

KernelEvents XSpaceFixture::AddKernel(const KernelSpec& spec) {
  CounterRecord record;
  record.field14 = spec.end_ns - spec.start_ns;
  if (spec.counters.has_value()) {
    record.read = *spec.counters;
    record.read->set_field14(record.field14);
  }
  record.device_info = spec.device_info;

  TracerEventSpec shared;
  shared.annotation = spec.annotation;
  shared.op_fullname = spec.op_fullname;
  shared.flow_event_cat = "Kernel";
  shared.correlation_id = spec.correlation_id;
  shared.pmu = record;

  ApiCallSpec launch;
  static_cast<TracerEventSpec&>(launch) = shared;
  launch.thread_id = spec.thread_id;
  launch.model_id = spec.model_id;
  launch.start_ns = spec.launch_start_ns;
  launch.end_ns = spec.launch_end_ns;

  ActivitySpec kernel;
  static_cast<TracerEventSpec&>(kernel) = shared;
  kernel.device = spec.device;
  kernel.queue = spec.queue;
  kernel.name = spec.kernel_name;
  kernel.kind = "Compute";
  kernel.display_name = KernelShortName(spec.kernel_name);
  kernel.start_ns = spec.start_ns;
  kernel.end_ns = spec.end_ns;
  kernel.stats = {{StatName(trace::kernel_type), "0"},
                  {StatName(trace::dimx), "1"},
                  {StatName(trace::dimy), "1"},
                  {StatName(trace::dimz), "1"},
                  {StatName(trace::kernel_details), "reserved"}};

  return KernelEvents{AddApiCall(launch), AddActivity(kernel)};
}

}  // namespace testing
}  // namespace zentrik
