#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "common/platform/status.h"
#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/dravik_tracer.h"
#include "trace/core/lib/profiler_interface.h"

namespace zentrik {
namespace trace {

class DravikInterface;
class ProfileOptions;

// The profiler of the accelerator devices. Start reads the device-tracing
// switches from the environment, makes a fresh collector and enables the
// process-wide API tracer; Stop disables it; CollectData writes one plane per
// device and the API calls onto the host plane. All calls come from the
// session's thread; the library's threads only reach the collector.
class DeviceTracer : public ProfilerInterface {
 public:
  // `tracer` and `dravik` are process-wide and outlive the device tracer.
  DeviceTracer(DravikTracer* tracer, DravikInterface* dravik);
  // Stops a running tracer first: the API tracer must not keep pointers to
  // this tracer's options and collector.
  ~DeviceTracer() override;

  DeviceTracer(const DeviceTracer&) = delete;
  DeviceTracer& operator=(const DeviceTracer&) = delete;

  Status Start(uint64_t start_time_ns) override;
  Status Stop() override;
  Status CollectData(XSpace* space) override;

  const DravikTracerOptions& options() const { return options_; }

 private:
  enum State : int32_t { kCreated = 0, kRunning = 1, kStartFailed = 2, kStopped = 3 };

  Status StartSequence();
  void ReadOptionsFromEnv();
  Status Collect(XSpace* space);

  State state_ = kCreated;
  DravikTracer* tracer_;
  DravikInterface* dravik_;
  DravikTracerOptions options_;
  std::unique_ptr<DravikTracerCollectorImpl> collector_;
  uint64_t start_timestamp_ns_ = 0;
};

// Selects the traced PMU counters that `device_id` supports into
// `counter_ids` (cleared first), sets the explicit flush mode and enables them
// on that device. The first failed call, or a supported count beyond any
// device's, is logged at ERROR and returned as INTERNAL. Start sets up device
// 0; the API hooks set up each other device at its first PMU-traced launch.
Status SetUpPmuCounters(DravikInterface* dravik, std::vector<uint64_t>* counter_ids,
                        uint32_t device_id = 0);

// The factory the session calls: none for device level 0, when the device
// libraries are missing or failed to initialise, or while another session
// traces devices (each logged at WARNING).
std::unique_ptr<ProfilerInterface> CreateDeviceTracer(const ProfileOptions& options);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_H_
