#include "trace/core/internal/zra/device_tracer.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "trace/core/internal/zra/device_attributes.h"
#include "trace/core/internal/zra/device_planes.h"
#include "trace/core/internal/zra/device_tracer_log.h"
#include "trace/core/internal/zra/dravik_api.h"
#include "trace/core/internal/zra/dravik_tracer.h"
#include "trace/core/internal/zra/dravik_wrapper.h"
#include "trace/core/internal/zra/host_events.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

// More counters than any device reports: a count beyond it is garbage.
constexpr uint64_t kMaxPmuCounters = 4096;

// The counters read around every kernel launch. Built on first use, so no
// static initialiser depends on another.
const std::set<std::string>& TracedPmuCounterNames() {
  static const auto* const names = new std::set<std::string>{
      "tp_core__write_bytes",      "tp_core__read_bytes",       "tp_core__tlb_write_access",
      "tp_core__tlb_read_access",  "tp_core__tlb_write_miss",   "tp_core__tlb_read_miss",
      "tp_core__lt_cycles",        "tp_core__alu_cycles",       "tp_core__dram_read_cycles",
      "tp_core__dram_write_cycles", "tp_core__csimd_pre_cycles", "tp_core__csimd_post_cycles",
      "tp_memcore__write_bytes",   "tp_memcore__read_bytes"};
  return *names;
}

Status DravikCallError(const char* call, int32_t result) {
  DEVICE_TRACER_LOG(ERROR) << "function " << call << " failed with error " << result;
  return errors::Internal("dravik call error " + std::to_string(result));
}

bool ReadSwitch(const char* name, bool default_value) {
  bool value = default_value;
  // An unreadable value keeps the default; the status says nothing more.
  Env::Default()->ReadBoolFromEnvVar(name, default_value, &value);
  return value;
}

std::string DevicePlaneName(uint32_t device_id) {
  return std::string(kDevicePlanePrefix) + std::to_string(device_id);
}

void SetLineTimestamps(XPlane* plane, uint64_t timestamp_ns) {
  for (XLine& line : *plane->mutable_lines()) line.set_timestamp_ns(static_cast<int64_t>(timestamp_ns));
}

}  // namespace

Status SetUpPmuCounters(DravikInterface* dravik, std::vector<uint64_t>* counter_ids,
                        uint32_t device_id) {
  // A restarted tracer would otherwise enable and read every counter twice.
  counter_ids->clear();
  uint64_t chip_type = 0;
  int32_t result = dravik->GetDeviceChipId(device_id, &chip_type);
  if (result != 0) {
    return DravikCallError("dravik_interface->GetDeviceChipId(device_id, &chip_type)", result);
  }
  // A failed count query leaves whatever the library likes in `size`; that
  // must never size the list.
  constexpr char kCountQuery[] =
      "dravik_interface->PmuGetCounterSupported( chip_type, nullptr, &size)";
  uint64_t size = 0;
  result = dravik->PmuGetCounterSupported(chip_type, nullptr, &size);
  if (result != 0) return DravikCallError(kCountQuery, result);
  if (size > kMaxPmuCounters) {
    DEVICE_TRACER_LOG(ERROR) << "function " << kCountQuery << " reported " << size
                             << " counters, more than " << kMaxPmuCounters;
    return errors::Internal("dravik call error: " + std::to_string(size) + " counters");
  }
  std::vector<uint64_t> supported(size);
  // With no room a null array would read as another count query.
  if (size != 0) {
    result = dravik->PmuGetCounterSupported(chip_type, supported.data(), &size);
    if (result != 0) {
      return DravikCallError(
          "dravik_interface->PmuGetCounterSupported( chip_type, pmu_counter_supported.data(), "
          "&size)",
          result);
    }
    supported.resize(std::min<uint64_t>(size, supported.size()));
  }
  for (uint64_t id : supported) {
    const char* name = nullptr;
    if (dravik->PmuGetCounterName(id, &name) != 0 || name == nullptr) continue;
    if (TracedPmuCounterNames().count(name) != 0) counter_ids->push_back(id);
  }
  result = dravik->PmuSetFlushMode(DRAVIK_PMU_EXPLICIT_FLUSH);
  if (result != 0) {
    return DravikCallError("dravik_interface->PmuSetFlushMode(DRAVIK_PMU_EXPLICIT_FLUSH)", result);
  }
  for (uint64_t id : *counter_ids) {
    result = dravik->PmuEnableCounter(device_id, id, true);
    if (result != 0) {
      return DravikCallError("dravik_interface->PmuEnableCounter(device_id, id, true)", result);
    }
  }
  return Status();
}

DeviceTracer::DeviceTracer(DravikTracer* tracer, DravikInterface* dravik)
    : tracer_(tracer), dravik_(dravik) {}

DeviceTracer::~DeviceTracer() {
  if (state_ == kRunning) Stop();
}

Status DeviceTracer::Start(uint64_t start_time_ns) {
  if (state_ == kRunning) {
    DEVICE_TRACER_LOG(WARNING) << "device tracer has started , not need to start again!!!";
    return Status();
  }
  start_timestamp_ns_ = start_time_ns;
  Status status = StartSequence();
  if (!status.ok()) {
    state_ = kStartFailed;
    DEVICE_TRACER_LOG(INFO) << "Device tracer failed to start.";
    return status;
  }
  state_ = kRunning;
  DEVICE_TRACER_LOG(INFO) << "Device tracer started.";
  return Status();
}

void DeviceTracer::ReadOptionsFromEnv() {
  options_.activities = {DRAVIK_ACTIVITY_TYPE_KERNEL,      DRAVIK_ACTIVITY_TYPE_MEMCPY,
                         DRAVIK_ACTIVITY_TYPE_MEMSET,      DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP,
                         DRAVIK_ACTIVITY_TYPE_NOTIFIER,    DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION};
  options_.enable_activity = ReadSwitch("ZENTRIK_ENABLE_ACTIVITY", true);
  options_.enable_callback = ReadSwitch("ZENTRIK_ENABLE_CALLBACK", true);
  options_.trace_halvo = ReadSwitch("ZENTRIK_TRACE_HALVO", true);
  options_.trace_tamsel = ReadSwitch("ZENTRIK_TRACE_TAMSEL", true);
  options_.trace_gorvin = ReadSwitch("ZENTRIK_TRACE_GORVIN", true);
  options_.trace_vorund = ReadSwitch("ZENTRIK_TRACE_VORUND", true);
  options_.trace_pmu = ReadSwitch("ZENTRIK_TRACE_PMU", false);
  options_.activity_latency_timestamps =
      ReadSwitch("ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS", false);
  options_.trace_all = ReadSwitch("ZENTRIK_TRACE_ALL", false);
  if (options_.trace_all) options_.activities.push_back(DRAVIK_ACTIVITY_TYPE_OVERHEAD);
  if (!options_.enable_activity) options_.activity_latency_timestamps = false;
}

Status DeviceTracer::StartSequence() {
  if (!tracer_->IsAvailable()) return errors::Unavailable("Another profile session running.");
  ReadOptionsFromEnv();
  if (options_.trace_pmu) {
    Status status = SetUpPmuCounters(dravik_, &options_.pmu_counter_ids, 0);
    if (!status.ok()) return status;
  }
  collector_ = std::make_unique<DravikTracerCollectorImpl>(start_timestamp_ns_);
  SetAnnotationsEnabled(true);
  tracer_->Enable(options_, collector_.get());
  return Status();
}

Status DeviceTracer::Stop() {
  if (state_ != kRunning) return errors::Internal("Device tracer already be stopped.");
  tracer_->Disable();
  SetAnnotationsEnabled(false);
  state_ = kStopped;
  return Status();
}

Status DeviceTracer::CollectData(XSpace* space) {
  switch (state_) {
    case kCreated:
      DEVICE_TRACER_LOG(INFO) << "No trace data collected, session wasn't started";
      return errors::FailedPrecondition("No trace data collected, session wasn't started");
    case kRunning:
      DEVICE_TRACER_LOG(INFO) << "Cannot collect trace before stopping";
      return errors::FailedPrecondition("Cannot collect trace before stopping");
    case kStartFailed:
      DEVICE_TRACER_LOG(INFO) << "Cannot collect,session failed to start";
      return errors::FailedPrecondition("Cannot collect, session failed to start");
    case kStopped:
      return Collect(space);
  }
  return errors::Internal("Invalid profiling state");
}

Status DeviceTracer::Collect(XSpace* space) {
  if (collector_ == nullptr) return Status();
  CollectDeviceAttributes(*collector_, &collector_->attributes_by_device, dravik_);
  CorrelationIndex correlations;
  BuildCorrelationIndex(collector_.get(), &correlations);

  XPlane* host_plane = FindOrAddMutablePlaneWithName(space, kHostPlaneName);
  XPlaneBuilder host(host_plane);
  DeviceExportInputs inputs;
  inputs.session_start_ns = collector_->start_time_ns;
  inputs.correlations = &correlations;
  inputs.attributes = &collector_->attributes_by_device;
  inputs.latency_timestamps = ReadSwitch("ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS", false);
  for (auto& [device_id, list] : collector_->events_by_device) {
    XPlane* plane = FindOrAddMutablePlaneWithName(space, DevicePlaneName(device_id));
    XPlaneBuilder device(plane);
    device.SetId(device_id);
    ExportToXSpace(&list, inputs, &device, &host);
    SetLineTimestamps(plane, start_timestamp_ns_);
  }
  SetLineTimestamps(host_plane, start_timestamp_ns_);
  return Status();
}

std::unique_ptr<ProfilerInterface> CreateDeviceTracer(const ProfileOptions& options) {
  if (options.device_tracer_level() == 0) return nullptr;
  DravikInterface* dravik = GetDravikInterface();
  if (dravik->InitFailed()) {
    DEVICE_TRACER_LOG(WARNING) << "DravikInterface initialization failed. "
                               << "Device tracer will be disabled.";
    return nullptr;
  }
  DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton();
  if (!tracer->IsAvailable()) {
    DEVICE_TRACER_LOG(WARNING) << "DravikTracer initialization failed. "
                               << "Device tracer will be disabled.";
    return nullptr;
  }
  auto device_tracer = std::make_unique<DeviceTracer>(tracer, dravik);
  internal::LogMessage("trace/core/internal/zra/device_tracer.h", __LINE__, internal::INFO).stream()
      << "DeviceTracer created.";
  return device_tracer;
}

}  // namespace trace
}  // namespace zentrik
