#include "trace/core/internal/zra/dravik_tracer_collector.h"

#include <utility>

namespace zentrik {
namespace trace {

void DravikTracerCollector::AddKernelPmuCounters(uint32_t /*device_id*/, uint32_t correlation_id,
                                                 const KernelPmuCounters& counters) noexcept {
  try {
    std::lock_guard<std::mutex> lock(pmu_mutex);
    kernel_pmu_by_correlation.emplace(correlation_id, counters);
  } catch (...) {
    // Out of memory: the kernel's activity record finds no counters.
  }
}

KernelPmuCounters DravikTracerCollector::FindKernelPmuCounters(uint32_t correlation_id) const {
  std::lock_guard<std::mutex> lock(pmu_mutex);
  auto it = kernel_pmu_by_correlation.find(correlation_id);
  return it == kernel_pmu_by_correlation.end() ? KernelPmuCounters{} : it->second;
}

namespace {

std::atomic<uint64_t> next_collector_serial{1};

// The list a thread appended to last. Lists live as long as their collector,
// so a thread that keeps adding to one device (the API records of an
// application thread) finds it without touching the shared map lock.
struct LastDevice {
  uint64_t collector_serial = 0;
  uint32_t device_id = 0;
  DeviceEventList* list = nullptr;
};
thread_local LastDevice last_device;

}  // namespace

DravikTracerCollectorImpl::DravikTracerCollectorImpl(uint64_t start_time_ns)
    : start_time_ns(start_time_ns), serial_(next_collector_serial.fetch_add(1)) {}

DeviceEventList& DravikTracerCollectorImpl::FindOrAddDevice(uint32_t device_id) {
  if (last_device.collector_serial == serial_ && last_device.device_id == device_id) {
    return *last_device.list;
  }
  DeviceEventList* list = nullptr;
  {
    std::shared_lock<std::shared_mutex> lock(devices_mutex);
    auto it = events_by_device.find(device_id);
    if (it != events_by_device.end()) list = &it->second;
  }
  if (list == nullptr) {
    std::unique_lock<std::shared_mutex> lock(devices_mutex);
    list = &events_by_device.try_emplace(device_id).first->second;
  }
  last_device = LastDevice{serial_, device_id, list};
  return *list;
}

void DravikTracerCollectorImpl::AddEvent(std::unique_ptr<DravikTracerEvent> event) noexcept {
  if (event == nullptr) return;
  try {
    DeviceEventList& list = FindOrAddDevice(event->device_id);
    std::lock_guard<std::mutex> lock(list.mutex);
    list.events.push_back(std::move(event));
  } catch (...) {
    // The caller is the profiling library's C code: nothing may unwind into it.
    dropped_events_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace trace
}  // namespace zentrik
