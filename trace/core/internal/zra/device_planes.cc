#include "trace/core/internal/zra/device_planes.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <string_view>
#include <unordered_map>

#include "trace/core/internal/zra/dravik_event_names.h"
#include "trace/core/internal/zra/device_tracer_log.h"

namespace zentrik {
namespace trace {
namespace {

constexpr float kMaxSubmittedStartMs = 100000.0f;

std::string FormatMs(float ms) {
  char text[64];
  snprintf(text, sizeof(text), "%f ms", ms);
  return text;
}

// Gap between two stamps in ms, in single precision as the device reports it.
float GapMs(uint64_t from_ns, uint64_t to_ns) {
  return static_cast<float>(to_ns - from_ns) / 1000000.0f;
}

// A kernel's queueing delays. A stamp of 0 was never delivered (the library
// does not provide them, or the request failed): then the kernel has no
// latency figures and is never judged late.
void AddLatencyStats(const DravikTracerEvent& record, EventRecord* out) {
  if (record.received_time_ns == 0 || record.queued_time_ns == 0 ||
      record.submitted_time_ns == 0) {
    return;
  }
  const float submitted_start = GapMs(record.submitted_time_ns, record.start_time_ns);
  out->stats.emplace_back("received_queued",
                          FormatMs(GapMs(record.received_time_ns, record.queued_time_ns)));
  out->stats.emplace_back("queued_submitted",
                          FormatMs(GapMs(record.queued_time_ns, record.submitted_time_ns)));
  out->stats.emplace_back("submitted_start", FormatMs(submitted_start));
  if (submitted_start > kMaxSubmittedStartMs) {
    DEVICE_TRACER_LOG(INFO) << "Submitted_start time of " << out->display_name
                            << " is larger than 1e5 ms: " << submitted_start << " ms, drop it."
                            << " start_time_ns: " << record.start_time_ns
                            << " submitted_time_ns: " << record.submitted_time_ns;
    out->dropped = true;
  }
}

// Fills display name, group and the kind's stats; returns the event name the
// metadata is keyed by.
std::string DescribeActivity(const DravikTracerEvent& record, bool latency_timestamps,
                             EventRecord* out) {
  auto& stats = out->stats;
  switch (record.type) {
    case kKernel: {
      const auto& kernel = record.kernel;
      out->display_name = KernelShortName(record.name);
      out->group = "Compute";
      stats.emplace_back("kernel_type", std::to_string(kernel.kernel_type));
      stats.emplace_back("dimx", std::to_string(kernel.dimx));
      stats.emplace_back("dimy", std::to_string(kernel.dimy));
      stats.emplace_back("dimz", std::to_string(kernel.dimz));
      stats.emplace_back("kernel_details", "reserved");
      if (latency_timestamps) AddLatencyStats(record, out);
      return record.name;
    }
    case kMemcpy: {
      const auto& memcpy = record.memcpy;
      std::string kind = MemcpyKindName(memcpy.copy_kind);
      out->display_name = "Memcpy" + kind;
      out->group = out->display_name;
      stats.emplace_back("size", std::to_string(memcpy.bytes));
      stats.emplace_back("direction", std::move(kind));
      stats.emplace_back("async", memcpy.is_async ? "1" : "0");
      return out->display_name;
    }
    case kMemcpyPeer: {
      const auto& peer = record.memcpy_peer;
      out->display_name = "Memcpy P2P";
      out->group = out->display_name;
      stats.emplace_back("size", std::to_string(peer.bytes));
      stats.emplace_back("src_device", std::to_string(peer.src_device));
      stats.emplace_back("dst_device", std::to_string(peer.dst_device));
      return out->display_name;
    }
    case kMemset: {
      const auto& memset = record.memset;
      out->display_name = "Memset";
      out->group = out->display_name;
      stats.emplace_back("size", std::to_string(memset.bytes));
      stats.emplace_back("memset_value", std::to_string(memset.memset_value));
      stats.emplace_back("async", memset.is_async ? "1" : "0");
      return out->display_name;
    }
    case kNotifier: {
      const auto& notifier = record.notifier;
      out->display_name = NotifierKindName(notifier.notifier_kind);
      out->group = "Notifier";
      stats.emplace_back("notifier_id", std::to_string(notifier.notifier_id));
      return out->display_name;
    }
    case kAtomicOperation: {
      const auto& atomic = record.atomic;
      out->display_name = AtomicRequestTypeName(atomic.atomic_request_type);
      out->group = "Atomic_Operation";
      stats.emplace_back("atomic_flag",
                         AtomicOperationName(atomic.atomic_request_type, atomic.atomic_operation));
      stats.emplace_back("atomic_value", std::to_string(atomic.atomic_value));
      return out->display_name;
    }
    default:
      out->display_name = "unknown";
      out->group = "unknown";
      return "unknown";
  }
}

// Write access to one plane during a pass, with its stat metadata memoised
// by the static stat names.
class PlaneWriter {
 public:
  explicit PlaneWriter(XPlaneBuilder* builder) : builder_(builder) {}

  XPlaneBuilder* builder() { return builder_; }

  const XStatMetadata& Stat(std::string_view name) {
    auto it = stats_.find(name);
    if (it == stats_.end()) {
      it = stats_.emplace(name, builder_->GetOrCreateStatMetadata(std::string(name))).first;
    }
    return *it->second;
  }

 private:
  XPlaneBuilder* builder_;
  std::unordered_map<std::string_view, XStatMetadata*> stats_;
};

class ExportPass {
 public:
  ExportPass(const DeviceExportInputs& inputs, XPlaneBuilder* device_plane,
             XPlaneBuilder* host_plane)
      : inputs_(inputs), device_(device_plane), host_(host_plane) {}

  void Export(DravikTracerEvent* record);
  void NameQueues();

 private:
  const CorrelationFacts* FindCorrelation(uint32_t correlation_id) const;
  DeviceAttributes AttributesOf(uint32_t device_id) const;
  void WriteEvent(const EventRecord& event, const KernelPmuCounters& pmu,
                  const DeviceAttributes& attributes, bool activity);

  const DeviceExportInputs& inputs_;
  PlaneWriter device_;
  PlaneWriter host_;
  ExportNameCache names_;
  std::map<uint32_t, std::set<std::string>> kinds_by_queue_;
};

const CorrelationFacts* ExportPass::FindCorrelation(uint32_t correlation_id) const {
  if (correlation_id == kDravikNoId32 || inputs_.correlations == nullptr) return nullptr;
  auto it = inputs_.correlations->find(correlation_id);
  return it == inputs_.correlations->end() ? nullptr : &it->second;
}

DeviceAttributes ExportPass::AttributesOf(uint32_t device_id) const {
  if (inputs_.attributes != nullptr) {
    auto it = inputs_.attributes->find(device_id);
    if (it != inputs_.attributes->end()) return it->second;
  }
  return DeviceAttributes();
}

void ExportPass::Export(DravikTracerEvent* record) {
  if (record->start_time_ns < inputs_.session_start_ns) return;
  const CorrelationFacts* facts = FindCorrelation(record->correlation_id);
  static const std::string* const kNoTypeName = new std::string();
  const std::string& type_name =
      facts != nullptr && facts->activity_type != 0 ? names_.TypeName(facts->activity_type)
                                                     : *kNoTypeName;
  const bool activity = record->source == kActivity &&
                        record->type != kOverhead;
  // Each record starts from the initial facts: an API call that reached no
  // device must not inherit the previous record's device.
  DeviceAttributes attributes;
  EventRecord event;
  if (activity) {
    if (facts != nullptr && facts->has_api_call) record->annotation_id = facts->annotation_id;
    attributes = AttributesOf(record->device_id);
    event = AddActivityEventToPlane(*record, type_name, inputs_.latency_timestamps, &names_);
    if (event.dropped) return;
    kinds_by_queue_[event.line_id].insert(event.group);
  } else {
    if (facts != nullptr && facts->kernel_pmu != nullptr) record->pmu = *facts->kernel_pmu;
    if (facts != nullptr && facts->activity_type != 0) attributes = AttributesOf(facts->device_id);
    event = BuildEventRecord(*record, type_name, &names_);
  }
  if (facts != nullptr && facts->has_api_call && static_cast<int32_t>(attributes.core_count) > 3) {
    // A kernel launch whose context could not be read reports 0 clusters;
    // the whole device is the better guess than no core at all.
    const bool unknown_kernel_clusters =
        facts->cluster_count == 0 &&
        facts->activity_type == static_cast<int32_t>(kKernel);
    if (!unknown_kernel_clusters) {
      attributes.cores_used = static_cast<uint32_t>(facts->cluster_count) << 2;
    }
  }
  WriteEvent(event, record->pmu, attributes, activity);
}

void ExportPass::WriteEvent(const EventRecord& event, const KernelPmuCounters& pmu,
                            const DeviceAttributes& attributes, bool activity) {
  PlaneWriter& plane = activity ? device_ : host_;
  XLineBuilder line = plane.builder()->GetOrCreateLine(event.line_id);
  line.SetTimestampNs(static_cast<int64_t>(inputs_.session_start_ns));
  if (line.line().name().empty()) line.SetName(event.group);

  XEventMetadata* metadata = plane.builder()->GetOrCreateEventMetadata(event.metadata_name);
  metadata->set_display_name(event.display_name);
  XEventBuilder xevent = line.AddEvent(*metadata);
  // Unsigned arithmetic first, then the cast: no signed overflow whatever the
  // stamps hold.
  xevent.SetOffsetPs(static_cast<int64_t>((event.start_ns - inputs_.session_start_ns) * 1000));
  xevent.SetDurationPs(event.end_ns >= event.start_ns
                           ? static_cast<int64_t>((event.end_ns - event.start_ns) * 1000)
                           : 0);
  if (event.correlation_id != kDravikNoId32) {
    xevent.AddStatValue(plane.Stat("correlation_id"), static_cast<uint64_t>(event.correlation_id));
  }
  std::vector<const std::pair<std::string_view, std::string>*> stats;
  stats.reserve(event.stats.size());
  for (const auto& stat : event.stats) stats.push_back(&stat);
  std::sort(stats.begin(), stats.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  for (const auto* stat : stats) xevent.AddStatValue(plane.Stat(stat->first), stat->second);

  xevent.InitPmuData(false);
  if (activity) xevent.InitPmuData(true);
  if (pmu.valid) {
    FillPmuData(&xevent, pmu);
  } else {
    xevent.mutable_event()->mutable_pmu_data()->set_field14(pmu.counters[KernelPmuCounters::kDurationSlot]);
  }
  FillDeviceInfo(&xevent, attributes);
}

void ExportPass::NameQueues() {
  static const std::set<std::string>* const kNoKinds = new std::set<std::string>();
  for (XLine& line : *device_.builder()->mutable_plane()->mutable_lines()) {
    auto it = kinds_by_queue_.find(static_cast<uint32_t>(line.id()));
    line.set_name(QueueDisplayName(line.id(), it == kinds_by_queue_.end() ? *kNoKinds : it->second));
  }
}

}  // namespace

EventRecord AddActivityEventToPlane(const DravikTracerEvent& record, const std::string& type_name,
                                    bool latency_timestamps, ExportNameCache* cache) {
  EventRecord out = EventRecordOf(record, record.queue_id);
  const AnnotationParts& annotation = cache->Annotation(record.annotation_id);
  if (annotation.present) out.stats.emplace_back("op_fullname", annotation.op_fullname);
  out.stats.emplace_back("device_id", std::to_string(record.device_id));
  out.stats.emplace_back("is_host", "false");
  out.stats.emplace_back("flow_event_cat", type_name);
  const std::string event_name = DescribeActivity(record, latency_timestamps, &out);
  out.metadata_name = annotation.innermost + "##" + event_name;
  return out;
}

void ExportToXSpace(DeviceEventList* list, const DeviceExportInputs& inputs,
                    XPlaneBuilder* device_plane, XPlaneBuilder* host_plane) {
  std::lock_guard<std::mutex> lock(list->mutex);
  ExportPass pass(inputs, device_plane, host_plane);
  for (auto& record : list->events) pass.Export(record.get());
  pass.NameQueues();
}

}  // namespace trace
}  // namespace zentrik
