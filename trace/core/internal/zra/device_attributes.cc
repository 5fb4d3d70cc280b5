#include "trace/core/internal/zra/device_attributes.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "trace/core/internal/zra/device_tracer_log.h"
#include "trace/core/internal/zra/dravik_api.h"
#include "trace/core/internal/zra/dravik_wrapper.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kSkipFrequencyCheck[] = "MORVEL_DEBUG_SKIP_FREQUENCY_CHECK";

// A device-management record: version 5 first, the rest zero, and far larger
// than any layout we read, so a library of a newer layout writes into our
// storage and a failed call leaves zeros behind.
class VersionedRecord {
 public:
  VersionedRecord() {
    const uint32_t version = MORVEL_RECORD_VERSION;
    memcpy(bytes_, &version, sizeof(version));
  }

  template <typename T>
  T* As() {
    return reinterpret_cast<T*>(bytes_);
  }

  uint32_t Word(size_t offset) const {
    uint32_t value;
    memcpy(&value, bytes_ + offset, sizeof(value));
    return value;
  }

 private:
  alignas(8) unsigned char bytes_[256] = {};
};

const char* TextOrEmpty(const char* text) { return text == nullptr ? "" : text; }

// Sets the variable for the duration of one query and puts the user's own
// value (or its absence) back afterwards.
class ScopedEnvVar {
 public:
  ScopedEnvVar(const char* name, const char* value) : name_(name) {
    if (const char* previous = getenv(name)) previous_ = std::string(previous);
    setenv(name, value, 1);
  }
  ~ScopedEnvVar() {
    if (previous_.has_value()) {
      setenv(name_, previous_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

void QueryDeviceType(DravikInterface* dravik, uint32_t device_id, DeviceAttributes* attributes) {
  uint32_t device_type = kDravikNoId32;
  const int32_t result = dravik->GetDeviceType(device_id, &device_type);
  if (result == 0) {
    attributes->device_type = device_type;
    return;
  }
  const char* text = nullptr;
  dravik->GetResultString(result, &text);
  DEVICE_TRACER_LOG(ERROR) << "Device Id = " << device_id
                           << ", get device type failed, error is " << TextOrEmpty(text);
}

void QueryFrequency(DravikInterface* dravik, uint32_t device_id, DeviceAttributes* attributes) {
  VersionedRecord record;
  int32_t result;
  {
    ScopedEnvVar skip_check(kSkipFrequencyCheck, "1");
    result = dravik->DevGetFrequencyInfo(record.As<morvelFrequencyInfo>(), device_id);
  }
  if (result != 0) {
    DEVICE_TRACER_LOG(ERROR) << "Device Id = " << device_id
                             << ", get device frequency failed, error is "
                             << dravik->DevGetErrorString(result);
    return;
  }
  attributes->frequency = record.Word(MORVEL_FREQUENCY_OFFSET_FREQUENCY);
}

void QueryCoreCount(DravikInterface* dravik, uint32_t device_id, DeviceAttributes* attributes) {
  VersionedRecord record;
  const int32_t result = dravik->DevGetCoreCount(record.As<morvelCoreCountInfo>(), device_id);
  if (result != 0) {
    DEVICE_TRACER_LOG(ERROR) << "Device id = " << device_id
                             << ", get device core count failed, error is "
                             << dravik->DevGetErrorString(result);
    return;
  }
  attributes->core_count = record.Word(MORVEL_CORE_COUNT_OFFSET_COUNT);
  attributes->cores_used = attributes->core_count;
}

// The library reports the bandwidth as an integral part and a one- or
// two-digit fractional part.
double CombineBandwidth(uint32_t integral, uint32_t fraction) {
  return integral + (fraction < 10 ? fraction * 0.1 : fraction * 0.01);
}

void QueryTopBandwidth(DravikInterface* dravik, uint32_t device_id, DeviceAttributes* attributes) {
  VersionedRecord record;
  const int32_t result = dravik->DevGetDDRInfo(record.As<morvelDDRInfo>(), device_id);
  if (result != 0) {
    DEVICE_TRACER_LOG(ERROR) << "Device id = " << device_id
                             << ", get device top bandwidth failed, error is "
                             << dravik->DevGetErrorString(result);
    return;
  }
  attributes->top_bandwidth = CombineBandwidth(record.Word(MORVEL_DDR_OFFSET_BANDWIDTH_INTEGRAL),
                                               record.Word(MORVEL_DDR_OFFSET_BANDWIDTH_FRACTIONAL));
}

}  // namespace

DeviceAttributes GetDeviceAttributes(uint32_t device_id, DravikInterface* dravik) {
  DeviceAttributes attributes;
  if (device_id == kDravikNoId32) return attributes;
  if (dravik == nullptr) dravik = GetDravikInterface();
  QueryDeviceType(dravik, device_id, &attributes);
  QueryFrequency(dravik, device_id, &attributes);
  QueryCoreCount(dravik, device_id, &attributes);
  QueryTopBandwidth(dravik, device_id, &attributes);
  return attributes;
}

void CollectDeviceAttributes(const DravikTracerCollectorImpl& collector,
                             std::map<uint32_t, DeviceAttributes>* attributes,
                             DravikInterface* dravik) {
  for (const auto& [device_id, events] : collector.events_by_device) {
    if (device_id == kDravikNoId32) continue;
    const DeviceAttributes found = GetDeviceAttributes(device_id, dravik);
    attributes->emplace(device_id, found);
  }
}

}  // namespace trace
}  // namespace zentrik
