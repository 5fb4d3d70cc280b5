#include "trace/core/internal/zra/dravik_tracer.h"

#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/platform/thread_exit_local.h"
#include "trace/core/internal/zra/device_tracer.h"
#include "trace/core/internal/zra/dravik_activity_records.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/lib/fork_handlers.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace trace {

// Counts a callback as running in `tracer` for its whole duration.
class CallbackScope {
 public:
  explicit CallbackScope(DravikTracer* tracer) : tracer_(tracer) {
    tracer_->callbacks_in_flight_.fetch_add(1);
  }
  ~CallbackScope() { tracer_->callbacks_in_flight_.fetch_sub(1); }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  DravikTracer* tracer_;
};

namespace {

// A failed library call: logged, and reported as INTERNAL.
Status CallError(const char* call, int32_t result) {
  LOG(ERROR) << "function " << call << " failed with error " << result;
  return errors::Internal("dravik call error " + std::to_string(result));
}

Status Check(int32_t result, const char* call) {
  return result == 0 ? Status() : CallError(call, result);
}

void KeepFirstError(Status* first, const Status& next) {
  if (first->ok() && !next.ok()) *first = next;
}

// Nothing may unwind into the library's C frames; even the log line may fail.
void LogDropped(const char* what) noexcept {
  try {
    LOG(WARNING) << what;
  } catch (...) {
  }
}

// A field of a library record, copied out at its byte offset.
template <typename T>
T ReadAt(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof(value));
  return value;
}

constexpr uint32_t kVorundDomain = DRAVIK_CB_DOMAIN_VORUND_API;
constexpr uint32_t kInvokeKernelCbid = DRAVIK_CBID_VORUND_qxInvokeKernel;

// The calling thread's PMU-traced kernel launches in one session: how many
// have entered and not exited, and at which depth this thread took the gate
// (0: it does not hold it). Trivially destructible, as every per-thread
// variable here: launches may come from the thread's thread_local destructors.
struct LaunchState {
  uint64_t session = ~uint64_t{0};
  int open_launches = 0;
  int holder_depth = 0;
};
thread_local LaunchState launch_state;
// Counter id -> value read at the entry of the thread's current launch.
using StartCounterValues = std::map<uint64_t, uint64_t>;

// A thread's launches of an earlier session never exited there; forget them.
LaunchState& LaunchStateFor(uint64_t session) {
  if (launch_state.session != session) launch_state = LaunchState{session, 0, 0};
  return launch_state;
}

uint32_t CurrentThreadId() {
  thread_local bool cached = false;
  thread_local uint32_t thread_id = 0;
  if (!cached) {
    thread_id = static_cast<uint32_t>(Env::Default()->GetCurrentThreadId());
    cached = true;
  }
  return thread_id;
}

// The number of clusters the current context uses; 0 when it cannot be read.
uint64_t ClusterCountOfCurrentContext(DravikInterface* dravik_interface) {
  uint64_t context = 0;
  if (int32_t result = dravik_interface->CtxGetCurrent(&context)) {
    LOG(ERROR) << "Get current context failed, ret is " << result;
    return 0;
  }
  uint64_t value = 0;
  if (int32_t result = dravik_interface->GetCtxConfigParam(context, QX_CTX_PARAM_CLUSTER_COUNT,
                                                           &value)) {
    LOG(ERROR) << "Get current context config failed, ret is " << result;
    return 0;
  }
  return value;
}

// Records handed out by the library are checked before they are read: inside
// the buffer, past the previous record, and whole within the valid bytes.
bool RecordFits(const uint8_t* buffer, size_t valid_size, const uint8_t* previous,
                const uint8_t* record) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(buffer);
  const uintptr_t at = reinterpret_cast<uintptr_t>(record);
  if (record == nullptr || at < begin) return false;
  if (previous != nullptr && at <= reinterpret_cast<uintptr_t>(previous)) return false;
  const uintptr_t offset = at - begin;
  if (offset > valid_size || valid_size - offset < sizeof(uint32_t)) return false;
  return valid_size - offset >= ActivityRecordSize(ReadAt<uint32_t>(record, 0));
}

std::string ActivityName(uint32_t kind) {
  const auto& names = DravikTracer::GetActivityTypeNames();
  auto it = names.find(kind);
  return it != names.end() ? it->second : std::to_string(kind);
}

struct IdRange {
  uint32_t first, last;
};
constexpr IdRange kDisabledGorvinCbids[] = {
    {0, 0},     {2, 2},     {4, 4},     {12, 12},   {14, 20},   {25, 28},   {30, 30},
    {32, 32},   {37, 37},   {39, 46},   {50, 50},   {54, 54},   {56, 56},   {58, 63},
    {65, 65},   {67, 67},   {69, 71},   {73, 73},   {78, 78},   {82, 82},   {84, 84},
    {88, 96},   {101, 101}, {105, 105}, {108, 108}, {111, 113}, {121, 122}, {126, 126},
    {129, 129}, {132, 132}, {136, 137}, {142, 142}, {147, 148}, {150, 150}, {152, 157},
    {162, 162}, {164, 164}, {166, 171}, {177, 177}, {179, 181}, {184, 184}, {186, 188},
    {190, 196}, {205, 208}, {212, 212}, {225, 225}, {230, 232}, {234, 236}, {240, 240},
    {243, 243}, {247, 247}, {252, 252}, {254, 254}, {256, 256}, {258, 258}, {267, 268},
    {274, 274}, {281, 281}, {283, 283}, {285, 299}, {302, 302}, {304, 304}, {306, 309},
    {311, 315}, {317, 317}, {320, 328}, {330, 332}, {335, 336}, {338, 358}, {361, 364},
    {367, 368}, {370, 372}, {376, 380}, {382, 383}, {385, 389}, {391, 392}, {394, 400},
    {403, 405}, {412, 412}, {415, 415}, {417, 418}, {423, 424}, {441, 442}, {444, 445},
    {448, 457}, {459, 477}, {481, 481}, {483, 485}, {487, 490}, {494, 494}, {496, 497},
    {501, 503}, {505, 505}, {507, 507}, {509, 511}, {513, 516}, {518, 518}, {525, 525},
    {527, 528}, {530, 543}, {545, 547}, {550, 550}, {554, 554}, {556, 561}, {565, 565}};

}  // namespace

// ---------------------------------------------------------------------------
// API hooks.

SessionPmuDevices::SessionPmuDevices(DravikInterface* dravik_interface,
                                     const std::vector<uint64_t>* device0_counters)
    : dravik_interface_(dravik_interface), device0_counters_(device0_counters) {}

const std::vector<uint64_t>* SessionPmuDevices::Counters(uint32_t device) {
  if (device == 0) return device0_counters_;
  auto found = devices_.find(device);
  if (found == devices_.end()) {
    found = devices_.emplace(device, Device()).first;
    // Tried once: a device that cannot count stays without counters.
    found->second.usable =
        SetUpPmuCounters(dravik_interface_, &found->second.counters, device).ok();
  }
  return found->second.usable ? &found->second.counters : nullptr;
}

Status SessionPmuDevices::ReadFailed(uint32_t device, const char* call, int32_t result) {
  const bool first = devices_[device].failed_reads.insert(call).second;
  if (!first) return errors::Internal("dravik call error " + std::to_string(result));
  return CallError(call, result);
}

DravikQxApiHookWithHostEvent::DravikQxApiHookWithHostEvent(const DravikTracerOptions* options,
                                                           DravikTracerCollector* collector,
                                                           DravikInterface* dravik_interface,
                                                           KernelLaunchGate* gate,
                                                           uint64_t session)
    : options_(options),
      collector_(collector),
      dravik_interface_(dravik_interface),
      gate_(gate),
      session_(session),
      devices_(dravik_interface, &options->pmu_counter_ids) {}

Status DravikQxApiHookWithHostEvent::OnApiEnter(uint32_t domain, uint32_t cbid,
                                                const void* /*cbdata*/) {
  ThreadAnnotationStack::GetThreadState().first_stack.push_back(dravik_interface_->GetTimestamp());
  if (!options_->trace_pmu || domain != kVorundDomain || cbid != kInvokeKernelCbid) return Status();
  return KernelLaunchEnter();
}

Status DravikQxApiHookWithHostEvent::KernelLaunchEnter() {
  uint32_t device_id = 0;
  dravik_interface_->CtxGetDevice(&device_id);
  LOG(INFO) << "on qxInvokeKernel enter, device_id = " << device_id;
  LaunchState& state = LaunchStateFor(session_);
  ++state.open_launches;
  // Made before the gate is taken: running out of memory leaves it open.
  StartCounterValues* start_values = ThreadExitLocal<StartCounterValues>::Get();
  // A launch inside this thread's own launch, or one whose session is ending,
  // reads no counters rather than wait.
  if (gate_->Take(session_) != KernelLaunchGate::Entry::kTaken) return Status();
  state.holder_depth = state.open_launches;
  // Gone only at the thread's very end: the launch goes without counters.
  if (start_values == nullptr) return Status();
  start_values->clear();
  const std::vector<uint64_t>* counter_ids = devices_.Counters(device_id);
  if (counter_ids == nullptr) return Status();
  if (int32_t result = dravik_interface_->PmuFlushData(device_id)) {
    return devices_.ReadFailed(device_id, "dravik_interface_->PmuFlushData(device_id)", result);
  }
  for (uint64_t id : *counter_ids) {
    uint64_t data = 0;
    if (int32_t result = dravik_interface_->PmuGetCounterValue(device_id, id, &data)) {
      return devices_.ReadFailed(
          device_id, "dravik_interface_->PmuGetCounterValue(device_id, id, &data)", result);
    }
    start_values->emplace(id, data);
  }
  return Status();
}

bool DravikQxApiHookWithHostEvent::EndLaunch() {
  LaunchState& state = LaunchStateFor(session_);
  if (state.open_launches == 0) {
    // Its entry came before this session: its kernel ran outside the gate,
    // perhaps inside the launch that holds it now.
    gate_->Disturb(session_);
    return false;
  }
  const bool took_gate = state.holder_depth == state.open_launches;
  --state.open_launches;
  if (!took_gate) return false;
  state.holder_depth = 0;
  return true;
}

namespace {

// Ends the launch that holds the gate: whatever happened to the launch, its
// start values go and the gate opens.
struct EndOfLaunch {
  KernelLaunchGate* gate;
  uint64_t session;
  bool released = false;
  bool Release() {
    released = true;
    return gate->Release(session);
  }
  ~EndOfLaunch() {
    if (auto* start_values = ThreadExitLocal<StartCounterValues>::Existing()) {
      start_values->clear();
    }
    if (!released) gate->Release(session);
  }
};

}  // namespace

Status DravikQxApiHookWithHostEvent::KernelLaunchExit(const void* params,
                                                      uint32_t correlation_id) {
  if (!EndLaunch()) return Status();
  EndOfLaunch end_of_launch{gate_, session_};

  uint32_t device_id = 0;
  KernelPmuCounters counters;
  const Status status = ReadLaunchCounters(params, &device_id, &counters);
  // Read after the end values: a gate held undisturbed until now kept every
  // other launch out of them.
  const bool alone = end_of_launch.Release();
  if (status.ok() && alone && counters.valid) {
    collector_->AddKernelPmuCounters(device_id, correlation_id, counters);
  }
  return status;
}

Status DravikQxApiHookWithHostEvent::ReadLaunchCounters(const void* params, uint32_t* device,
                                                        KernelPmuCounters* counters) {
  uint32_t& device_id = *device;
  dravik_interface_->CtxGetDevice(&device_id);
  LOG(INFO) << "on qxInvokeKernel exit,  device id = " << device_id;
  const std::vector<uint64_t>* counter_ids = devices_.Counters(device_id);
  const StartCounterValues* start_values = ThreadExitLocal<StartCounterValues>::Existing();
  if (counter_ids == nullptr || start_values == nullptr) return Status();
  // The kernel must have finished before its counters are read.
  if (params != nullptr) {
    dravik_interface_->QueueSync(ReadAt<uint64_t>(params, DRAVIK_INVOKE_KERNEL_PARAMS_OFFSET_QUEUE));
  }
  if (int32_t result = dravik_interface_->PmuFlushData(device_id)) {
    return devices_.ReadFailed(device_id, "dravik_interface_->PmuFlushData(device_id)", result);
  }
  for (uint64_t id : *counter_ids) {
    uint64_t data = 0;
    const char* name = nullptr;
    if (int32_t result = dravik_interface_->PmuGetCounterValue(device_id, id, &data)) {
      return devices_.ReadFailed(
          device_id, "dravik_interface_->PmuGetCounterValue(device_id, id, &data)", result);
    }
    if (int32_t result = dravik_interface_->PmuGetCounterName(id, &name)) {
      return devices_.ReadFailed(device_id, "dravik_interface_->PmuGetCounterName(id, &name)",
                                 result);
    }
    // Without a start value the end value alone is no increase.
    auto start = start_values->find(id);
    if (start != start_values->end()) {
      SetPmuCounterDelta(counters, name, data, start->second);
    }
  }
  counters->valid = true;
  return Status();
}

Status DravikQxApiHookWithHostEvent::OnApiExit(uint32_t domain, uint32_t cbid,
                                               const void* cbdata, uint32_t thread_id) {
  const auto* name = ReadAt<const char*>(cbdata, DRAVIK_CB_DATA_OFFSET_FUNCTION_NAME);
  const auto* params = ReadAt<const void*>(cbdata, DRAVIK_CB_DATA_OFFSET_FUNCTION_PARAMS);
  const auto correlation_id = ReadAt<uint64_t>(cbdata, DRAVIK_CB_DATA_OFFSET_CORRELATION_ID);
  const bool kernel_launch = domain == kVorundDomain && cbid == kInvokeKernelCbid;
  std::deque<uint64_t>& entry_times = ThreadAnnotationStack::GetThreadState().first_stack;
  if (entry_times.empty()) {
    // Without its entry this exit is matched to no entry: no record, no
    // counters. But a launch that holds the gate must still open it.
    if (kernel_launch && options_->trace_pmu && EndLaunch()) {
      EndOfLaunch{gate_, session_}.Release();
    }
    return errors::Unavailable("The correlationData stack is empty.");
  }
  const uint64_t enter_time_ns = entry_times.back();
  entry_times.pop_back();

  uint64_t cluster_count = 0;
  Status status;
  if (kernel_launch) {
    cluster_count = ClusterCountOfCurrentContext(dravik_interface_);
    LOG(INFO) << "current kernel ,corr_id = " << correlation_id
              << ", cluster_count_ctx_used = " << cluster_count;
    // A failed counter read loses the counters, not the call's record.
    if (options_->trace_pmu) {
      status = KernelLaunchExit(params, static_cast<uint32_t>(correlation_id));
    }
  }
  const uint64_t exit_time_ns = dravik_interface_->GetTimestamp();

  uint64_t annotation_id = kDravikNoValue64;
  const std::deque<uint64_t>& annotations = ThreadAnnotationStack::Get();
  if (annotations.empty()) {
    LOG(INFO) << "On qxapi exit, cbid = " << correlation_id
              << ", there is no annotation index for it." << "\n";
  } else {
    annotation_id = annotations.back();
  }

  auto event = NewDravikTracerEvent(kGeneric, kApiCallback);
  if (name != nullptr) {
    event->name = name;
    // The name goes into the trace, whose strings must be well-formed UTF-8.
    SanitizeUtf8(&event->name);
  }
  event->annotation_id = annotation_id;
  event->start_time_ns = enter_time_ns;
  event->api_enter_time_ns = enter_time_ns;
  event->end_time_ns = exit_time_ns;
  event->correlation_id = static_cast<uint32_t>(correlation_id);
  event->thread_id = thread_id;
  event->cluster_count = cluster_count;
  collector_->AddEvent(std::move(event));
  return status;
}

Status DravikQxApiHookWithHostEvent::SetPmuCounterDelta(KernelPmuCounters* counters,
                                                        const char* name, uint64_t end,
                                                        uint64_t start) {
  const int slot = KernelPmuCounters::SlotOfCounterName(name);
  if (slot >= 0) counters->counters[slot] = end - start;
  return Status();
}

// ---------------------------------------------------------------------------
// API tracer.

DravikTracer* DravikTracer::GetDravikTracerSingleton(DravikInterface* dravik_interface) {
  static DravikTracer* const tracer =
      new DravikTracer(dravik_interface != nullptr ? dravik_interface : GetDravikInterface());
  return tracer;
}

DravikTracer::DravikTracer(DravikInterface* dravik_interface)
    : dravik_interface_(dravik_interface) {}

bool DravikTracer::InEnablingProcess() const {
  return enabled_generation_.load(std::memory_order_relaxed) == ForkGeneration();
}

bool DravikTracer::IsAvailable() const {
  return !activity_tracing_enabled_.load() && !api_tracing_enabled_.load();
}

const std::map<uint32_t, std::string>& DravikTracer::GetActivityTypeNames() {
  static const auto* const names = new std::map<uint32_t, std::string>{
      {DRAVIK_ACTIVITY_TYPE_KERNEL, "DRAVIK_ACTIVITY_TYPE_KERNEL"},
      {DRAVIK_ACTIVITY_TYPE_VORUND_API, "DRAVIK_ACTIVITY_TYPE_VORUND_API"},
      {DRAVIK_ACTIVITY_TYPE_HALVO_API, "DRAVIK_ACTIVITY_TYPE_HALVO_API"},
      {DRAVIK_ACTIVITY_TYPE_TAMSEL_API, "DRAVIK_ACTIVITY_TYPE_TAMSEL_API"},
      {DRAVIK_ACTIVITY_TYPE_GORVIN_API, "DRAVIK_ACTIVITY_TYPE_GORVIN_API"},
      {DRAVIK_ACTIVITY_TYPE_OVERHEAD, "DRAVIK_ACTIVITY_TYPE_OVERHEAD"},
      {DRAVIK_ACTIVITY_TYPE_MEMCPY, "DRAVIK_ACTIVITY_TYPE_MEMCPY"},
      {DRAVIK_ACTIVITY_TYPE_MEMSET, "DRAVIK_ACTIVITY_TYPE_MEMSET"},
      {DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP, "DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP"},
      {DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION, "DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION"},
      {DRAVIK_ACTIVITY_TYPE_NOTIFIER, "DRAVIK_ACTIVITY_TYPE_NOTIFIER"}};
  return *names;
}

const std::vector<uint32_t>& DravikTracer::DefaultEnabledVorundCbids() {
  static const auto* const ids = new std::vector<uint32_t>{
      83, 84, 85, 52, 53, 54, 78, 80, 81, 82, 47, 49, 50, 51, 48, 79, 72, 66, 75, 65, 91, 70, 76};
  return *ids;
}

const std::vector<uint32_t>& DravikTracer::DefaultDisabledGorvinCbids() {
  static const auto* const ids = [] {
    auto* list = new std::vector<uint32_t>();
    for (const IdRange& range : kDisabledGorvinCbids) {
      for (uint32_t id = range.first; id <= range.last; ++id) list->push_back(id);
    }
    return list;
  }();
  return *ids;
}

void DravikTracer::Enable(const DravikTracerOptions& options, DravikTracerCollector* collector) {
  enabled_generation_.store(ForkGeneration());
  options_.store(&options);
  collector_.store(collector);
  if (options.enable_callback) {
    std::unique_ptr<DravikQxApiHook> previous = std::move(hook_owner_);
    hook_owner_ = std::make_unique<DravikQxApiHookWithHostEvent>(
        &options, collector, dravik_interface_, &gate_, gate_.session());
    hook_.store(hook_owner_.get());
    // A callback may still run in the hook it replaces.
    while (previous != nullptr && callbacks_in_flight_.load() != 0) std::this_thread::yield();
    EnableApiTracing();
  }
  if (options.activity_latency_timestamps) {
    LOG(INFO) << "DRAVIK activity enable latency timestamps.";
    if (int32_t result = dravik_interface_->ActivityEnableLatencyTimestamps(1)) {
      LOG(ERROR) << "DRAVIK activity enable latency timestamps failed, ret is " << result;
    }
  }
  if (options.enable_activity) EnableActivityTracing();
}

void DravikTracer::Disable() {
  const DravikTracerOptions* options = options_.load();
  if (options == nullptr) return;
  // First the gate opens: a launch waiting in it must not keep the library
  // from removing the subscriber. Launches from now on read no counters.
  gate_.EndSession();
  if (options->enable_callback) DisableApiTracing();
  if (options->enable_activity) DisableActivityTracing();
  // Nothing may still use what is let go below.
  while (callbacks_in_flight_.load() != 0) std::this_thread::yield();
  if (DravikTracerCollector* collector = collector_.load()) collector->OnTracingStopped();
  collector_.store(nullptr);
  options_.store(nullptr);
  hook_.store(nullptr);
  hook_owner_.reset();
}

Status DravikTracer::EnableApiTracing() {
  if (api_tracing_enabled_.load()) return Status();
  const DravikTracerOptions* options = options_.load();
  if (options == nullptr) return errors::FailedPrecondition("No device tracing session.");
  api_tracing_enabled_.store(true);
  LOG(INFO) << "Enable dravik subscriber";
  DravikInterface* dravik = dravik_interface_;
  // A subscriber that could not be removed is used again, so that no callback
  // is ever delivered twice.
  if (!subscribed_) {
    if (int32_t result = dravik->Subscribe(&subscriber_, &DravikTracer::ApiCallback, this)) {
      return CallError(
          "dravik_interface_->Subscribe(&subscriber_, (dravik_CallbackFunc)ApiCallback, this)",
          result);
    }
    subscribed_ = true;
  }
  Status status;
  auto call = [&status](int32_t result, const char* text) {
    if (status.ok()) status = Check(result, text);
    return status.ok();
  };
  if (options->trace_tamsel &&
      !call(dravik->EnableDomain(1, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API),
            "dravik_interface_->EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)")) {
    return status;
  }
  if (options->trace_halvo &&
      !call(dravik->EnableDomain(1, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API),
            "dravik_interface_->EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API)")) {
    return status;
  }
  if (options->trace_gorvin &&
      !call(dravik->EnableDomain(1, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API),
            "dravik_interface_->EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API)")) {
    return status;
  }
  if (options->trace_vorund) {
    for (uint32_t id : DefaultEnabledVorundCbids()) {
      if (!call(dravik->EnableCallback(1, subscriber_, DRAVIK_CB_DOMAIN_VORUND_API, id),
                "dravik_interface_->EnableCallback( 1, subscriber_, "
                "DRAVIK_CB_DOMAIN_VORUND_API, default_enabled_vorund_cbid)")) {
        return status;
      }
    }
  }
  if (!options->trace_all) {
    if (!call(dravik->EnableDomain(0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API),
              "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)") ||
        !call(dravik->EnableDomain(0, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API),
              "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API)")) {
      return status;
    }
    for (uint32_t id : DefaultDisabledGorvinCbids()) {
      if (!call(dravik->EnableCallback(0, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API, id),
                "dravik_interface_->EnableCallback( 0, subscriber_, "
                "DRAVIK_CB_DOMAIN_GORVIN_API, default_disabled_gorvin_cbid)")) {
        return status;
      }
    }
  } else if (call(dravik->EnableDomain(1, subscriber_, DRAVIK_CB_DOMAIN_VORUND_API),
                  "dravik_interface_->EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_VORUND_API)")) {
    call(dravik->EnableDomain(1, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API),
         "dravik_interface_->EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API)");
  }
  return status;
}

Status DravikTracer::DisableApiTracing() {
  if (!api_tracing_enabled_.load()) return Status();
  api_tracing_enabled_.store(false);
  if (!subscribed_) return Status();
  // Each domain goes off on its own, and the subscriber goes whatever failed.
  Status first;
  DravikInterface* dravik = dravik_interface_;
  if (const DravikTracerOptions* options = options_.load()) {
    const struct {
      bool on;
      uint32_t domain;
      const char* text;
    } domains[] = {
        {options->trace_tamsel, DRAVIK_CB_DOMAIN_TAMSEL_API,
         "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)"},
        {options->trace_halvo, DRAVIK_CB_DOMAIN_HALVO_API,
         "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API)"},
        {options->trace_gorvin, DRAVIK_CB_DOMAIN_GORVIN_API,
         "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API)"},
        {options->trace_vorund, DRAVIK_CB_DOMAIN_VORUND_API,
         "dravik_interface_->EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_VORUND_API)"},
    };
    for (const auto& d : domains) {
      if (d.on) KeepFirstError(&first, Check(dravik->EnableDomain(0, subscriber_, d.domain), d.text));
    }
  }
  LOG(INFO) << "Disable subscriber";
  const Status unsubscribed =
      Check(dravik->Unsubscribe(subscriber_), "dravik_interface_->Unsubscribe(subscriber_)");
  if (unsubscribed.ok()) subscribed_ = false;
  KeepFirstError(&first, unsubscribed);
  return first;
}

Status DravikTracer::EnableActivityTracing() {
  const DravikTracerOptions* options = options_.load();
  if (options == nullptr) return errors::FailedPrecondition("No device tracing session.");
  if (options->activities.empty()) {
    activity_tracing_enabled_.store(true);
    return Status();
  }
  LOG(INFO) << "Registering DRAVIK activity callbacks";
  Status first = Check(dravik_interface_->ActivityRegisterCallbacks(AllocDravikActivityBuffer,
                                                                     FreeDravikActivityBuffer),
                       "dravik_interface_->ActivityRegisterCallbacks( AllocDravikActivityBuffer, "
                       "FreeDravikActivityBuffer)");
  if (!first.ok()) return first;
  // From here buffers may complete; they are parsed, and Disable withdraws
  // the callbacks whichever kinds could be enabled.
  activity_tracing_enabled_.store(true);
  LOG(INFO) << "Enabling activity tracing for " << options->activities.size() << " activities";
  for (uint32_t kind : options->activities) {
    LOG(INFO) << "Enabling activity tracing for: " << ActivityName(kind);
    KeepFirstError(&first, Check(dravik_interface_->ActivityEnable(kind),
                                 "dravik_interface_->ActivityEnable(activity)"));
  }
  return first;
}

Status DravikTracer::DisableActivityTracing() {
  if (!activity_tracing_enabled_.load()) return Status();
  const DravikTracerOptions* options = options_.load();
  const size_t count = options != nullptr ? options->activities.size() : 0;
  LOG(INFO) << "Disabling activity tracing for " << count << " activities";
  Status first;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t kind = options->activities[i];
    LOG(INFO) << "Disabling activity tracing for: " << ActivityName(kind);
    KeepFirstError(&first, Check(dravik_interface_->ActivityDisable(kind),
                                 "dravik_interface_->ActivityDisable(activity)"));
  }
  // Buffers the withdrawal completes are still parsed; then none is.
  KeepFirstError(&first, Check(dravik_interface_->ActivityRegisterCallbacks(nullptr, nullptr),
                               "dravik_interface_->ActivityRegisterCallbacks( nullptr, nullptr)"));
  activity_tracing_enabled_.store(false);
  return first;
}

void DravikTracer::ApiCallback(void* userdata, uint32_t domain, uint32_t cbid,
                               const void* cbdata) {
  auto* tracer = static_cast<DravikTracer*>(userdata);
  if (tracer == nullptr) return;
  CallbackScope scope(tracer);
  try {
    tracer->HandleApiCallback(domain, cbid, cbdata);
  } catch (...) {
    LogDropped("Dropped a device API callback: it ran out of memory.");
  }
}

Status DravikTracer::HandleApiCallback(uint32_t domain, uint32_t cbid, const void* cbdata) {
  // In a child the gate may stay held by a thread that only the parent has.
  if (!api_tracing_enabled_.load() || !InEnablingProcess()) return Status();
  if (cbdata == nullptr) return errors::InvalidArgument("Null callback data.");
  DravikQxApiHook* hook = hook_.load();
  if (hook == nullptr) return Status();
  switch (ReadAt<uint32_t>(cbdata, DRAVIK_CB_DATA_OFFSET_SITE)) {
    case DRAVIK_API_ENTER:
      return hook->OnApiEnter(domain, cbid, cbdata);
    case DRAVIK_API_EXIT:
      return hook->OnApiExit(domain, cbid, cbdata, CurrentThreadId());
    default:
      return errors::InvalidArgument("Unknown callbackSite");
  }
}

// ---------------------------------------------------------------------------
// Activity buffers.

Status DravikTracer::ProcessActivityBuffer(uint8_t* buffer, size_t valid_size) {
  if (!activity_tracing_enabled_.load()) {
    LOG(WARNING) << "DRAVIK activity buffer is freed after flush.";
    return Status();
  }
  if (!InEnablingProcess()) return Status();
  const DravikTracerOptions* options = options_.load();
  DravikTracerCollector* collector = collector_.load();
  if (options == nullptr || collector == nullptr || buffer == nullptr) {
    return errors::FailedPrecondition("No device tracing session for the activity buffer.");
  }
  uint8_t* record = nullptr;
  for (;;) {
    uint8_t* const previous = record;
    const int32_t result = dravik_interface_->ActivityGetNextRecord(buffer, valid_size, &record);
    if (result == DRAVIK_ERROR_MAX_LIMIT_REACHED) return Status();
    if (result != 0 || !RecordFits(buffer, valid_size, previous, record)) {
      return errors::Internal("Parse dravik activity buffer error.");
    }
    std::unique_ptr<DravikTracerEvent> event = ParseActivityRecord(record);
    if (event == nullptr) continue;
    if (event->type == kKernel && options->trace_pmu) {
      event->pmu = collector->FindKernelPmuCounters(event->correlation_id);
    }
    collector->AddEvent(std::move(event));
  }
}

void AllocDravikActivityBuffer(uint8_t** buffer, size_t* size, size_t* max_num_records) {
  if (buffer == nullptr) return;
  void* block = nullptr;
  if (size == nullptr || posix_memalign(&block, 8, *size) != 0) block = nullptr;
  *buffer = static_cast<uint8_t*>(block);
  try {
    if (block != nullptr) {
      if (max_num_records != nullptr) *max_num_records = 0;
      LOG(INFO) << "Allocated Dravik buffer, buffer=" << std::hex
                << reinterpret_cast<uintptr_t>(block) << std::dec << " size=" << *size;
    } else {
      LOG(WARNING) << "Dravik buffer not allocated. activity records will be dropped";
    }
  } catch (...) {
  }
}

void FreeDravikActivityBuffer(uint8_t* buffer, size_t size, size_t valid_size) {
  try {
    LOG(INFO) << "Freeing Dravik buffer, buffer=" << std::hex
              << reinterpret_cast<uintptr_t>(buffer) << std::dec << " size=" << size
              << " valid_size=" << valid_size;
    if (valid_size != 0 && buffer != nullptr) {
      DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton();
      CallbackScope scope(tracer);
      tracer->ProcessActivityBuffer(buffer, valid_size);
    }
  } catch (...) {
    LogDropped("Dropped the rest of a Dravik activity buffer: it ran out of memory.");
  }
  std::free(buffer);
}

}  // namespace trace
}  // namespace zentrik
