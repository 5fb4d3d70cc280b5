#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_COLLECTOR_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_COLLECTOR_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "trace/core/internal/zra/dravik_tracer_event.h"

namespace zentrik {
namespace trace {

// The facts of one device that the exported events carry.
struct DeviceAttributes {
  uint32_t device_type = kDravikNoId32;
  uint32_t frequency = 0;
  uint32_t core_count = 0;
  uint32_t cores_used = 0;
  double top_bandwidth = 0.0;
};

// The sink of every device-trace record while tracing runs. Producers on any
// thread hand records to AddEvent; the API hooks store per-kernel counters
// that the activity parser looks up.
class DravikTracerCollector {
 public:
  virtual ~DravikTracerCollector() = default;

  // Takes ownership of `event` and stores it. Thread-safe. Never throws: it
  // is called from the profiling library's C frames; a record that cannot be
  // stored is dropped (and counted by the implementation).
  virtual void AddEvent(std::unique_ptr<DravikTracerEvent> event) noexcept = 0;

  // Tracing has been switched off; called once by the API tracer.
  virtual void OnTracingStopped() = 0;

  // Keeps a copy of `counters` under `correlation_id` unless that id has
  // counters already (the first stays). `device_id` is not stored.
  // Thread-safe; an allocation failure drops the counters.
  void AddKernelPmuCounters(uint32_t device_id, uint32_t correlation_id,
                            const KernelPmuCounters& counters) noexcept;

  // The counters stored under `correlation_id`, or `valid` false with all
  // slots all ones. Thread-safe.
  KernelPmuCounters FindKernelPmuCounters(uint32_t correlation_id) const;

 protected:
  mutable std::mutex pmu_mutex;
  std::map<uint32_t, KernelPmuCounters> kernel_pmu_by_correlation;  // Guarded by pmu_mutex.
};

// One device's records in arrival order. A chunked list, so that a long
// session never moves millions of pointers while producers wait.
struct DeviceEventList {
  std::mutex mutex;
  std::deque<std::unique_ptr<DravikTracerEvent>> events;  // Guarded by mutex.
};

// The collector of one device-tracing run, created by each start of the
// device tracer.
class DravikTracerCollectorImpl : public DravikTracerCollector {
 public:
  explicit DravikTracerCollectorImpl(uint64_t start_time_ns);

  // Appends `event` to the list of its device_id (all ones for API records),
  // creating the list on the device's first record. Thread-safe.
  void AddEvent(std::unique_ptr<DravikTracerEvent> event) noexcept override;
  void OnTracingStopped() override {}

  // Records dropped because memory ran out.
  uint64_t dropped_events() const { return dropped_events_.load(std::memory_order_relaxed); }

  const uint64_t start_time_ns;

  // Device id -> its records, iterated in ascending device id. While tracing
  // runs, producers find or add entries under devices_mutex (shared to find,
  // exclusive to insert); once tracing stopped the collecting thread reads it
  // without a lock. Entries are never removed, so a list outlives the lock.
  std::shared_mutex devices_mutex;
  std::map<uint32_t, DeviceEventList> events_by_device;

  // The facts of every device that produced records, filled by the
  // collection (device_attributes.h) on the collecting thread. The
  // correlation index lives with the export (host_events.h).
  std::map<uint32_t, DeviceAttributes> attributes_by_device;

 private:
  DeviceEventList& FindOrAddDevice(uint32_t device_id);

  // Tells this collector from any earlier one at the same address, for the
  // producers' per-thread memory of their last device.
  const uint64_t serial_;
  std::atomic<uint64_t> dropped_events_{0};
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_COLLECTOR_H_
