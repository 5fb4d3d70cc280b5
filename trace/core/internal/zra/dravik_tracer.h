#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/platform/status.h"
#include "trace/core/internal/zra/dravik_api.h"
#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/dravik_wrapper.h"
#include "trace/core/internal/zra/kernel_launch_gate.h"

namespace zentrik {
namespace trace {

// The switches of one device-tracing run. The device tracer fills them at
// each start; the API tracer, the hooks and the activity parser read them.
struct DravikTracerOptions {
  bool enable_activity = true;
  bool enable_callback = true;
  bool trace_halvo = true;
  bool trace_gorvin = true;
  bool trace_tamsel = true;
  bool trace_vorund = true;
  bool trace_pmu = false;
  bool activity_latency_timestamps = false;
  bool trace_all = false;
  std::vector<uint32_t> activities;       // dravikActivityType values to enable
  std::vector<uint64_t> pmu_counter_ids;  // counters read around kernel launches
};

// The per-call hook that turns API callbacks into records.
class DravikQxApiHook {
 public:
  virtual ~DravikQxApiHook() = default;
  virtual Status OnApiEnter(uint32_t domain, uint32_t cbid, const void* cbdata) = 0;
  virtual Status OnApiExit(uint32_t domain, uint32_t cbid, const void* cbdata,
                           uint32_t thread_id) = 0;
  // Stores end - start (wrapping) in the slot of counter `name`; a null or
  // unknown name changes nothing. Always OK.
  virtual Status SetPmuCounterDelta(KernelPmuCounters* counters, const char* name, uint64_t end,
                                    uint64_t start) = 0;
  virtual Status DefaultOk() { return Status(); }
};

// The PMU counters of the devices that PMU-traced launches reach in one
// session. Device 0's were set up when the session started; any other device's
// are set up at its first launch, with the same calls and log lines. A failure
// is logged once per session and device, not at every launch. Call only from
// the launch that holds the launch gate (or held it when its session ended,
// when no other launch of the session can take it): the gate serialises the
// callers, so the launch path takes no lock of its own here.
class SessionPmuDevices {
 public:
  // None owned; `device0_counters` are the ids set up for device 0.
  SessionPmuDevices(DravikInterface* dravik_interface,
                    const std::vector<uint64_t>* device0_counters);

  // The counters to read on `device`, set up on its first call; null when
  // its set-up failed. The list stays valid and unchanged for the session.
  const std::vector<uint64_t>* Counters(uint32_t device);

  // The failed read `call` on `device`: logged at ERROR the first time per
  // device and call, and returned as INTERNAL every time.
  Status ReadFailed(uint32_t device, const char* call, int32_t result);

 private:
  struct Device {
    bool usable = false;
    std::vector<uint64_t> counters;
    std::set<std::string> failed_reads;  // call texts already logged
  };

  DravikInterface* const dravik_interface_;
  const std::vector<uint64_t>* const device0_counters_;
  std::map<uint32_t, Device> devices_;  // Guarded by the launch gate.
};

// Times every traced call on its thread and records it at exit, tagged with
// the innermost ScopedAnnotation; reads the PMU counters around PMU-traced
// kernel launches. Runs on the application threads; per-thread state only,
// but PMU-traced launches of all threads pass one at a time through `gate`.
// Counters that another launch may have added to (the gate was opened by the
// session's end, or a launch from before the session ended meanwhile) are not
// stored; the call is still recorded.
class DravikQxApiHookWithHostEvent : public DravikQxApiHook {
 public:
  // None owned; all must outlive the hook. `session` is the gate's session.
  DravikQxApiHookWithHostEvent(const DravikTracerOptions* options,
                               DravikTracerCollector* collector, DravikInterface* dravik_interface,
                               KernelLaunchGate* gate, uint64_t session);

  Status OnApiEnter(uint32_t domain, uint32_t cbid, const void* cbdata) override;
  // `cbdata` must not be null (checked by the caller).
  Status OnApiExit(uint32_t domain, uint32_t cbid, const void* cbdata,
                   uint32_t thread_id) override;
  Status SetPmuCounterDelta(KernelPmuCounters* counters, const char* name, uint64_t end,
                            uint64_t start) override;

 private:
  Status KernelLaunchEnter();
  Status KernelLaunchExit(const void* params, uint32_t correlation_id);
  // Ends the calling thread's innermost launch of the session; true when it
  // holds the gate, which the caller must then open.
  bool EndLaunch();
  // Reads the launch's counter increases on the current device into `counters`.
  Status ReadLaunchCounters(const void* params, uint32_t* device, KernelPmuCounters* counters);

  const DravikTracerOptions* options_;
  DravikTracerCollector* collector_;
  DravikInterface* dravik_interface_;
  KernelLaunchGate* gate_;
  const uint64_t session_;
  SessionPmuDevices devices_;
};

// The process-wide switchboard between the device tracer and the profiling
// library: API callbacks and activity buffers on and off. Enable and Disable
// run on the session's thread; the callbacks on application and library
// threads. Disable waits until no callback is running before it lets go of
// the session's options, collector and hook.
class DravikTracer {
 public:
  // The one tracer, created on the first call with `dravik_interface` (or
  // GetDravikInterface() when null); later arguments are ignored.
  static DravikTracer* GetDravikTracerSingleton(DravikInterface* dravik_interface = nullptr);

  // For tests; the process uses the singleton (the buffer callbacks reach only it).
  explicit DravikTracer(DravikInterface* dravik_interface);
  DravikTracer(const DravikTracer&) = delete;
  DravikTracer& operator=(const DravikTracer&) = delete;

  // False while API or activity tracing is on.
  bool IsAvailable() const;

  // Starts tracing for one session; `options` and `collector` must outlive it.
  // Failures are logged, never returned.
  void Enable(const DravikTracerOptions& options, DravikTracerCollector* collector);
  // Ends the session's tracing. Call only after Enable.
  void Disable();

  // The steps of Enable and Disable; each returns the first failure.
  Status EnableApiTracing();
  Status DisableApiTracing();
  Status EnableActivityTracing();
  Status DisableActivityTracing();

  // The dravik_CallbackFunc given to Subscribe; `userdata` is the tracer.
  // Never throws.
  static void ApiCallback(void* userdata, uint32_t domain, uint32_t cbid, const void* cbdata);
  Status HandleApiCallback(uint32_t domain, uint32_t cbid, const void* cbdata);

  // Turns the records of one completed buffer into events. The buffer stays
  // the caller's. A record the walk cannot trust ends the buffer with an error;
  // the events before it stay.
  Status ProcessActivityBuffer(uint8_t* buffer, size_t valid_size);

  // dravikActivityType -> its name, for the kinds the tracer can enable.
  static const std::map<uint32_t, std::string>& GetActivityTypeNames();

  // The driver callback ids switched on, and the library callback ids switched
  // off, unless every callback is traced.
  static const std::vector<uint32_t>& DefaultEnabledVorundCbids();
  static const std::vector<uint32_t>& DefaultDisabledGorvinCbids();

 private:
  friend class CallbackScope;

  // False in a child that fork() made after Enable: the session is the
  // parent's there.
  bool InEnablingProcess() const;

  DravikInterface* const dravik_interface_;
  // Read by the callbacks without a lock; written on the session's thread.
  std::atomic<const DravikTracerOptions*> options_{nullptr};
  std::atomic<DravikTracerCollector*> collector_{nullptr};
  std::atomic<bool> api_tracing_enabled_{false};
  std::atomic<bool> activity_tracing_enabled_{false};
  std::atomic<DravikQxApiHook*> hook_{nullptr};  // Owned by hook_owner_.
  std::unique_ptr<DravikQxApiHook> hook_owner_;
  // Callbacks currently running in this tracer.
  std::atomic<int> callbacks_in_flight_{0};
  std::atomic<uint64_t> enabled_generation_{0};  // ForkGeneration() at Enable.
  // Session's thread only.
  dravik_SubscriberHandle subscriber_ = nullptr;
  bool subscribed_ = false;
  KernelLaunchGate gate_;
};

// The buffer callbacks registered with the profiling library. Never throw.
// Hands the library an 8-byte aligned block of *size bytes (null when none).
void AllocDravikActivityBuffer(uint8_t** buffer, size_t* size, size_t* max_num_records);
// Parses a completed buffer on the process-wide tracer, then frees it.
void FreeDravikActivityBuffer(uint8_t* buffer, size_t size, size_t valid_size);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_H_
