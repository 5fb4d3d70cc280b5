// The ZRA device simulator's core: all state of the three simulated device
// libraries, their functions (zra_sim_<name>, reached through the shims) and
// the control and runtime of zra_sim_control.h. Exports only zra_sim_* names.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "tools/zra_sim/zra_sim_control.h"
#include "tools/zra_sim/zra_sim_core.h"

// The core implements every declared function with the declared type.
#define ZRA_SIM_CHECK_TYPE(name, ret, params) \
  static_assert(std::is_same<decltype(&zra_sim_##name), name##_fn>::value, #name);
DRAVIK_FOR_EACH_FUNCTION(ZRA_SIM_CHECK_TYPE)

namespace {

constexpr uint8_t kGarbageByte = 0xA5;
constexpr uint64_t kSubmitGap = 1000;  // ns from a call to the earliest device start
constexpr size_t kDefaultBufferSize = 64 * 1024;

uint64_t Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepUntil(uint64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

template <typename T>
void Garbage(T* out) {
  if (out != nullptr) memset(static_cast<void*>(out), kGarbageByte, sizeof(T));
}

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

// The record kinds of the library and their sizes (a kernel's stored name
// comes on top).
struct KindSize {
  uint32_t kind;
  size_t size;
};
constexpr KindSize kKinds[] = {
    {DRAVIK_ACTIVITY_TYPE_KERNEL, sizeof(dravikActivityKernel)},
    {DRAVIK_ACTIVITY_TYPE_VORUND_API, sizeof(dravikActivityApi)},
    {DRAVIK_ACTIVITY_TYPE_HALVO_API, sizeof(dravikActivityApi)},
    {DRAVIK_ACTIVITY_TYPE_TAMSEL_API, sizeof(dravikActivityApi)},
    {DRAVIK_ACTIVITY_TYPE_GORVIN_API, sizeof(dravikActivityApi)},
    {DRAVIK_ACTIVITY_TYPE_OVERHEAD, sizeof(dravikActivityOverhead)},
    {DRAVIK_ACTIVITY_TYPE_MEMCPY, sizeof(dravikActivityMemcpy)},
    {DRAVIK_ACTIVITY_TYPE_MEMSET, sizeof(dravikActivityMemset)},
    {DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP, sizeof(dravikActivityMemcpyPtoP)},
    {DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION, sizeof(dravikActivityAtomic)},
    {DRAVIK_ACTIVITY_TYPE_NOTIFIER, sizeof(dravikActivityNotifier)},
};

// 0 for a kind the library does not know.
size_t KindSizeOf(uint32_t kind) {
  for (const KindSize& k : kKinds) {
    if (k.kind == kind) return k.size;
  }
  return 0;
}

bool KnownKind(uint32_t kind) { return KindSizeOf(kind) != 0; }

// Size of the record at `record` as a walk steps over it: 8 for unknown kinds.
size_t RecordSize(const uint8_t* record) {
  uint32_t kind, name_bytes;
  memcpy(&kind, record, sizeof(kind));
  memcpy(&name_bytes, record + 4, sizeof(name_bytes));
  size_t size = KindSizeOf(kind);
  if (kind == DRAVIK_ACTIVITY_TYPE_KERNEL) size += name_bytes;
  return size == 0 ? 8 : size;
}

bool KnownDomain(uint32_t domain) {
  return domain == DRAVIK_CB_DOMAIN_HALVO_API || domain == DRAVIK_CB_DOMAIN_TAMSEL_API ||
         domain == DRAVIK_CB_DOMAIN_GORVIN_API || domain == DRAVIK_CB_DOMAIN_VORUND_API;
}

// Supported PMU counters in the order the library reports them; the last one
// only with the hidden-counter switch. Ids are opaque.
struct CounterSpec {
  uint64_t id;
  const char* name;
};
constexpr CounterSpec kCounters[] = {
    {0x51c3a09e0007ull, "tp_core__dram_read_cycles"},
    {0x51c3a09e0011ull, "tp_core__write_bytes"},
    {0x51c3a09e0002ull, "tp_core__ecc_errors"},
    {0x51c3a09e001cull, "tp_memcore__read_bytes"},
    {0x51c3a09e0005ull, "tp_core__tlb_read_miss"},
    {0x51c3a09e0019ull, "tp_core__alu_cycles"},
    {0x51c3a09e000bull, "tp_core__read_bytes"},
    {0x51c3a09e0016ull, "tp_core__csimd_post_cycles"},
    {0x51c3a09e0003ull, "tp_core__tlb_write_access"},
    {0x51c3a09e0014ull, "tp_core__idle_cycles"},
    {0x51c3a09e000eull, "tp_core__lt_cycles"},
    {0x51c3a09e001aull, "tp_memcore__write_bytes"},
    {0x51c3a09e0009ull, "tp_core__tlb_write_miss"},
    {0x51c3a09e0012ull, "tp_core__csimd_pre_cycles"},
    {0x51c3a09e0001ull, "tp_memcore__stall_cycles"},
    {0x51c3a09e0017ull, "tp_core__tlb_read_access"},
    {0x51c3a09e000full, "tp_core__dram_write_cycles"},
    {0x51c3a09e0020ull, "tp_core__hidden_cycles"},
};
constexpr size_t kCounterCount = sizeof(kCounters) / sizeof(kCounters[0]);

// Deterministic increase of counter `index` for one kernel.
uint64_t Delta(size_t index, uint32_t gx, uint32_t gy, uint32_t gz, uint64_t duration) {
  return (index + 1) * 16 * uint64_t{gx} * gy * gz + duration / 8;
}

// Texts of result codes; codes not listed have none (null).
struct CodeText {
  int32_t code;
  const char* text;
};
constexpr CodeText kDravikTexts[] = {
    {DRAVIK_SUCCESS, "DRAVIK_SUCCESS"},
    {DRAVIK_ERROR_INVALID_PARAMETER, "DRAVIK_ERROR_INVALID_PARAMETER"},
    {DRAVIK_ERROR_NOT_INITIALIZED, "DRAVIK_ERROR_NOT_INITIALIZED"},
    {DRAVIK_ERROR_INVALID_DEVICE, "DRAVIK_ERROR_INVALID_DEVICE"},
    {DRAVIK_ERROR_NOT_ENABLED, "DRAVIK_ERROR_NOT_ENABLED"},
    {DRAVIK_ERROR_OUT_OF_MEMORY, "DRAVIK_ERROR_OUT_OF_MEMORY"},
    {DRAVIK_ERROR_NOT_SUPPORTED, "DRAVIK_ERROR_NOT_SUPPORTED"},
    {DRAVIK_ERROR_MAX_LIMIT_REACHED, "DRAVIK_ERROR_MAX_LIMIT_REACHED"},
    {DRAVIK_ERROR_UNKNOWN, "DRAVIK_ERROR_UNKNOWN"},
};
constexpr CodeText kMorvelTexts[] = {
    {MORVEL_SUCCESS, "MORVEL_SUCCESS"},
    {MORVEL_ERROR_INVALID_ARGUMENT, "MORVEL_ERROR_INVALID_ARGUMENT"},
    {MORVEL_ERROR_NOT_PERMITTED, "MORVEL_ERROR_NOT_PERMITTED"},
    {MORVEL_ERROR_UNKNOWN, "MORVEL_ERROR_UNKNOWN"},
};
template <size_t N>
const char* TextOf(const CodeText (&texts)[N], int32_t code) {
  for (const CodeText& t : texts) {
    if (t.code == code) return t.text;
  }
  return nullptr;
}

struct Device {
  zra_sim_device config;
  std::string card_name;
  uint64_t live[kCounterCount] = {};
  uint64_t captured[kCounterCount] = {};
  bool enabled[kCounterCount] = {};
};

struct Subscriber {
  int number;
  dravik_CallbackFunc callback;
  void* userdata;
  std::map<uint32_t, bool> domain_on;
  std::map<std::pair<uint32_t, uint32_t>, bool> id_on;  // overrides its domain
  bool active = true;
  int in_flight = 0;
  bool Enabled(uint32_t domain, uint32_t cbid) const {
    auto id = id_on.find({domain, cbid});
    if (id != id_on.end()) return id->second;
    auto d = domain_on.find(domain);
    return d != domain_on.end() && d->second;
  }
};

struct Completed {
  uint8_t* buffer;
  size_t size;
  size_t valid;
  dravik_BufferCompleteFunc complete;
  uint64_t sequence = 0;  // order of hand-over to delivery; 0 while held
};

struct Failure {
  int count;
  int32_t code;
};

struct EnvSettings {
  int32_t dravik_init = 0;
  int32_t morvel_init = 0;
  int32_t version[3] = {3, 1, 0};
  EnvSettings() {
    if (const char* v = getenv("ZRA_SIM_DRAVIK_INIT_RESULT")) dravik_init = atoi(v);
    if (const char* v = getenv("ZRA_SIM_MORVEL_INIT_RESULT")) morvel_init = atoi(v);
    if (const char* v = getenv("ZRA_SIM_VERSION")) {
      sscanf(v, "%d.%d.%d", &version[0], &version[1], &version[2]);
    }
  }
};

const EnvSettings& Env() {
  static const EnvSettings* settings = new EnvSettings();
  return *settings;
}

// All state. Lock order: buffer_mu before mu; no lock is held while a client
// callback runs, except buffer_mu around the buffer-request callback.
struct Sim {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Device> devices;
  std::deque<std::string> counter_names;  // grows only: handed-out names stay valid
  const char* names[kCounterCount];
  bool hidden_counter = false;
  uint32_t flush_mode = DRAVIK_PMU_AUTO_FLUSH;
  std::list<Subscriber> subscribers;
  int next_subscriber = 1;
  std::map<std::string, Failure> failures;
  int32_t version[3];
  std::map<uint64_t, uint64_t> busy_until;  // device timeline per queue
  bool real_time = false;
  std::atomic<bool> journal_on{false};
  std::vector<std::string> journal;
  std::atomic<uint64_t> next_correlation{1};
  // Walk faults.
  int walk_fault = 0;
  int walk_fault_after = 0;
  // Delivery of completed buffers.
  std::deque<Completed> queue;
  std::vector<Completed> held;
  bool hold = false;
  uint64_t handed_over = 0;        // sequence of the last buffer queued for delivery
  std::set<uint64_t> undelivered;  // sequences queued or being delivered
  int worker_count = 1;
  bool stopping = false;
  std::vector<std::thread> workers;

  std::mutex buffer_mu;  // the fields below
  dravik_BufferRequestFunc request = nullptr;
  dravik_BufferCompleteFunc complete = nullptr;
  std::set<uint32_t> kinds;
  uint8_t* buffer = nullptr;
  size_t buffer_capacity = 0;
  size_t buffer_used = 0;
  size_t buffer_records = 0;
  size_t buffer_max_records = 0;
  dravik_BufferCompleteFunc buffer_complete = nullptr;
  size_t buffer_size = kDefaultBufferSize;
  std::atomic<uint64_t> dropped{0};

  Sim() { ResetLocked(); }

  void ResetLocked() {
    devices.clear();
    for (uint32_t i = 0; i < 2; ++i) {
      Device d;
      d.card_name = i == 0 ? "ZRA-S60" : "ZRA-S60 #1";
      d.config = {1, 0x2030u + i, 8, 1500, 3, 5, 2, nullptr};
      devices.push_back(d);
    }
    for (size_t i = 0; i < kCounterCount; ++i) names[i] = kCounters[i].name;
    flush_mode = DRAVIK_PMU_AUTO_FLUSH;
    subscribers.clear();
    next_subscriber = 1;
    failures.clear();
    std::copy(Env().version, Env().version + 3, version);
    busy_until.clear();
    real_time = false;
    journal_on = false;
    journal.clear();
    next_correlation = 1;
    walk_fault = 0;
    hold = false;
    worker_count = 1;
  }
};

Sim& S() {
  static Sim* sim = new Sim();  // never destroyed: workers may outlive main
  return *sim;
}

// The calling thread's current context.
thread_local uint32_t t_device = 0;
thread_local uint32_t t_clusters = 0;  // 0: the device's cluster count

uint64_t ContextHandle() { return uint64_t{t_device + 1} << 32 | t_clusters; }

// Journals a call of the library function whose core name is `core_name`
// (zra_sim_<name>), with its arguments formatted by `format`.
void VNote(const char* core_name, const char* format, va_list args) {
  Sim& s = S();
  if (!s.journal_on.load(std::memory_order_relaxed)) return;
  char text[256];
  vsnprintf(text, sizeof(text), format, args);
  std::lock_guard<std::mutex> lock(s.mu);
  s.journal.push_back(std::string(core_name + strlen("zra_sim_")) + "(" + text + ")");
}

void Note(const char* core_name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Note(const char* core_name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VNote(core_name, format, args);
  va_end(args);
}

const char* Ptr(const void* p) { return p == nullptr ? "null" : "&"; }

// True (and the code in *code) when a failure was asked for this function.
bool Fails(const char* function, int32_t* code) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.failures.find(function);
  if (it == s.failures.end()) return false;
  *code = it->second.code;
  if (--it->second.count <= 0) s.failures.erase(it);
  return true;
}

// Journals the call and tells whether it is to fail (code in *code).
bool Called(int32_t* code, const char* core_name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool Called(int32_t* code, const char* core_name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VNote(core_name, format, args);
  va_end(args);
  return Fails(core_name + strlen("zra_sim_"), code);
}

Device* FindDevice(Sim& s, uint32_t device) {
  return device < s.devices.size() ? &s.devices[device] : nullptr;
}

int CounterIndex(uint64_t id, bool hidden) {
  for (size_t i = 0; i < kCounterCount; ++i) {
    if (kCounters[i].id == id) {
      return (i + 1 == kCounterCount && !hidden) ? -1 : static_cast<int>(i);
    }
  }
  return -1;
}

Subscriber* FindSubscriber(Sim& s, dravik_SubscriberHandle handle) {
  for (Subscriber& sub : s.subscribers) {
    if (reinterpret_cast<dravik_SubscriberHandle>(&sub) == handle && sub.active) return &sub;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Buffer delivery.

void WorkerLoop() {
  Sim& s = S();
  std::unique_lock<std::mutex> lock(s.mu);
  while (true) {
    s.cv.wait(lock, [&] { return s.stopping || !s.queue.empty(); });
    if (s.stopping) return;
    Completed c = s.queue.front();
    s.queue.pop_front();
    lock.unlock();
    c.complete(c.buffer, c.size, c.valid);
    lock.lock();
    s.undelivered.erase(c.sequence);
    s.cv.notify_all();
  }
}

void EnqueueLocked(Sim& s, Completed c) {
  if (s.hold) {
    s.held.push_back(c);
    return;
  }
  c.sequence = ++s.handed_over;
  s.undelivered.insert(c.sequence);
  s.queue.push_back(c);
  while (static_cast<int>(s.workers.size()) < s.worker_count) s.workers.emplace_back(WorkerLoop);
  s.cv.notify_all();
}

// Sequence of the last buffer handed over to delivery so far.
uint64_t LastHandedOver(Sim& s) {
  std::lock_guard<std::mutex> lock(s.mu);
  return s.handed_over;
}

// Waits until every buffer handed over up to `last` was delivered. Buffers
// completed later do not count: while other threads keep filling buffers the
// queue may never be empty.
void WaitForDeliveries(Sim& s, uint64_t last) {
  std::unique_lock<std::mutex> lock(s.mu);
  s.cv.wait(lock, [&] { return s.undelivered.empty() || *s.undelivered.begin() > last; });
}

// Appends a record under buffer_mu, no checks.
void AppendLocked(Sim& s, const void* record, size_t size) {
  memcpy(s.buffer + s.buffer_used, record, size);
  s.buffer_used += RoundUp8(size);
  ++s.buffer_records;
}

// Hands the current buffer to delivery; with overhead records enabled a
// "buffer flush" interval of this thread closes it.
void CompleteCurrentLocked(Sim& s, uint64_t flush_start) {
  if (s.buffer == nullptr) return;
  if (s.buffer_used > 0 && s.kinds.count(DRAVIK_ACTIVITY_TYPE_OVERHEAD) &&
      s.buffer_used + sizeof(dravikActivityOverhead) <= s.buffer_capacity) {
    dravikActivityOverhead o{};
    o.kind = DRAVIK_ACTIVITY_TYPE_OVERHEAD;
    o.overheadKind = DRAVIK_OVERHEAD_BUFFER_FLUSH;
    o.start = flush_start;
    o.end = Now();
    o.objectKind = DRAVIK_OBJECT_KIND_THREAD;
    o.objectId[0] = uint64_t{static_cast<uint32_t>(getpid())} |
                    uint64_t{static_cast<uint32_t>(syscall(SYS_gettid))} << 32;
    AppendLocked(s, &o, sizeof(o));
  }
  Completed c{s.buffer, s.buffer_capacity, s.buffer_used, s.buffer_complete};
  s.buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    EnqueueLocked(s, c);
  }
}

// Asks the client for a buffer; false (nothing changed) when it gives none.
bool RequestLocked(Sim& s, uint8_t** buffer, size_t* size, size_t* max_records) {
  *buffer = nullptr;
  *size = s.buffer_size;
  *max_records = 0;
  if (s.request == nullptr) return false;
  s.request(buffer, size, max_records);
  return *buffer != nullptr;
}

// Writes one record (and a kernel's name after it) into the current buffer.
// Returns false when the record was dropped.
bool Produce(uint32_t kind, const void* record, size_t size, const char* name, bool forced) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.buffer_mu);
  if (s.request == nullptr || (!forced && !s.kinds.count(kind))) return false;
  size_t name_bytes = name == nullptr ? 0 : RoundUp8(strlen(name) + 1);
  size_t total = RoundUp8(size) + name_bytes;
  bool full = s.buffer != nullptr &&
              (s.buffer_used + total > s.buffer_capacity ||
               (s.buffer_max_records != 0 && s.buffer_records >= s.buffer_max_records));
  if (full) CompleteCurrentLocked(s, Now());
  if (s.buffer == nullptr) {
    uint8_t* b;
    size_t capacity, max_records;
    if (!RequestLocked(s, &b, &capacity, &max_records)) {
      s.dropped.fetch_add(1);
      return false;
    }
    s.buffer = b;
    s.buffer_capacity = capacity;
    s.buffer_used = 0;
    s.buffer_records = 0;
    s.buffer_max_records = max_records;
    s.buffer_complete = s.complete;
  }
  if (s.buffer_used + total > s.buffer_capacity) {  // too big for an empty buffer
    s.dropped.fetch_add(1);
    return false;
  }
  uint8_t* at = s.buffer + s.buffer_used;
  AppendLocked(s, record, size);
  if (name != nullptr) {
    char* stored = reinterpret_cast<char*>(s.buffer + s.buffer_used);
    memset(stored, 0, name_bytes);
    memcpy(stored, name, strlen(name));
    s.buffer_used += name_bytes;
    const char* pointer = stored;
    uint32_t bytes = static_cast<uint32_t>(name_bytes);
    memcpy(at + DRAVIK_KERNEL_OFFSET_NAME, &pointer, sizeof(pointer));
    memcpy(at + 4, &bytes, sizeof(bytes));
  }
  return true;
}

// ---------------------------------------------------------------------------
// API callbacks and the simulated device.

void Fire(uint32_t domain, uint32_t cbid, uint32_t site, const char* name, const void* params,
          uint64_t correlation) {
  Sim& s = S();
  std::vector<Subscriber*> targets;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (Subscriber& sub : s.subscribers) {
      if (sub.active && sub.Enabled(domain, cbid)) {
        ++sub.in_flight;
        targets.push_back(&sub);
      }
    }
  }
  if (targets.empty()) return;
  dravik_CallbackData data{};
  data.callbackSite = site;
  data.functionName = name;
  data.functionParams = params;
  data.symbolName = name;
  data.correlationId = correlation;
  for (Subscriber* sub : targets) sub->callback(sub->userdata, domain, cbid, &data);
  std::lock_guard<std::mutex> lock(s.mu);
  for (Subscriber* sub : targets) --sub->in_flight;
  s.cv.notify_all();
}

uint64_t NextCorrelation() { return S().next_correlation.fetch_add(1); }

template <typename Effect>
uint64_t Call(uint32_t domain, uint32_t cbid, const char* name, const void* params,
              Effect&& effect) {
  uint64_t correlation = NextCorrelation();
  Fire(domain, cbid, DRAVIK_API_ENTER, name, params, correlation);
  effect(correlation);
  Fire(domain, cbid, DRAVIK_API_EXIT, name, params, correlation);
  return correlation;
}

struct Times {
  uint64_t received, queued, submitted, start, end;
};

// Places a command of `duration` on the queue's timeline.
Times Schedule(uint64_t queue, uint64_t duration, bool sync) {
  Sim& s = S();
  uint64_t submit = Now();
  Times t;
  bool real_time;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    uint64_t& busy = s.busy_until[queue];
    t.start = std::max(submit + kSubmitGap, busy);
    t.end = t.start + duration;
    busy = t.end;
    real_time = s.real_time;
  }
  t.received = submit + kSubmitGap / 4;
  t.queued = submit + kSubmitGap / 2;
  t.submitted = submit + kSubmitGap * 3 / 4;
  if (sync && real_time) SleepUntil(t.end);
  return t;
}

// The fields every device record has; records of commands that pass the
// device queue also carry their queued and submitted times.
template <typename Record>
void Common(Record* r, uint32_t kind, uint64_t correlation, uint64_t queue, const Times& t) {
  r->kind = kind;
  r->correlationId = correlation;
  r->start = t.start;
  r->end = t.end;
  r->received = t.received;
  r->deviceId = t_device;
  r->queueId = queue;
  r->auxId = correlation;
}
template <typename Record>
void Queued(Record* r, const Times& t) {
  r->queued = t.queued;
  r->submitted = t.submitted;
}
template <typename Record>
void Emit(const Record& r, const char* name = nullptr) {
  Produce(r.kind, &r, sizeof(r), name, false);
}

}  // namespace

// ===========================================================================
// Library functions (C linkage from their declarations).

int32_t zra_sim_qxQueueSync(uint64_t queue) {
  int32_t code;
  if (Called(&code, __func__, "%lu", queue)) return code;
  Sim& s = S();
  uint64_t until;
  bool real_time;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    until = s.busy_until[queue];
    real_time = s.real_time;
  }
  if (real_time) SleepUntil(until);
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_qxCtxGetDevice(uint32_t* device) {
  int32_t code;
  if (Called(&code, __func__, "%s", "")) return Garbage(device), code;
  if (device == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  *device = t_device;
  return DRAVIK_SUCCESS;
}

// A context handle names its device (high half, plus one) and its cluster
// count (low half; 0 for the device's).
int32_t zra_sim_qxCtxGetCurrent(uint64_t* ctx) {
  int32_t code;
  if (Called(&code, __func__, "%s", "")) return Garbage(ctx), code;
  if (ctx == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  *ctx = ContextHandle();
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_qxGetCtxConfigParam_pt(uint64_t ctx, uint32_t param, uint64_t* value) {
  int32_t code;
  if (Called(&code, __func__, "%lu,%u", ctx, param)) return Garbage(value), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, static_cast<uint32_t>((ctx >> 32) - 1));
  if (value == nullptr || d == nullptr || param != QX_CTX_PARAM_CLUSTER_COUNT) {
    Garbage(value);
    return DRAVIK_ERROR_INVALID_PARAMETER;
  }
  uint32_t clusters = static_cast<uint32_t>(ctx);
  *value = clusters != 0 ? clusters : d->config.cluster_count;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_morvelInit(uint32_t flags) {
  int32_t code;
  if (Called(&code, __func__, "%u", flags)) return code;
  return Env().morvel_init;
}

// The device-management queries share their checks: a known device and a
// record of the expected version; any failure leaves garbage in the record.
template <typename Info, typename Fill>
int32_t DeviceQuery(const char* function, Info* info, uint32_t device, Fill&& fill) {
  int32_t code;
  if (Called(&code, function, "%s,%u", Ptr(info), device)) return Garbage(info), code;
  if (info == nullptr) return MORVEL_ERROR_INVALID_ARGUMENT;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr || info->version != MORVEL_RECORD_VERSION) {
    Garbage(info);
    return MORVEL_ERROR_INVALID_ARGUMENT;
  }
  return fill(*d, info);
}

int32_t zra_sim_morvelGetCoreCount(morvelCoreCountInfo* info, uint32_t device) {
  return DeviceQuery(__func__, info, device, [](Device& d, morvelCoreCountInfo* i) {
    i->count = d.config.core_count;
    return MORVEL_SUCCESS;
  });
}

int32_t zra_sim_morvelGetFrequencyInfo(morvelFrequencyInfo* info, uint32_t device) {
  return DeviceQuery(__func__, info, device, [](Device& d, morvelFrequencyInfo* i) {
    const char* skip = getenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK");
    if (skip == nullptr || strcmp(skip, "1") != 0) {
      Garbage(i);
      return static_cast<int>(MORVEL_ERROR_NOT_PERMITTED);
    }
    i->frequency = d.config.frequency_mhz;
    i->minFrequency = d.config.frequency_mhz / 2;
    i->maxFrequency = d.config.frequency_mhz;
    return static_cast<int>(MORVEL_SUCCESS);
  });
}

int32_t zra_sim_morvelGetDDRInfo(morvelDDRInfo* info, uint32_t device) {
  return DeviceQuery(__func__, info, device, [](Device& d, morvelDDRInfo* i) {
    i->ddrType = 4;
    i->bandwidthIntegral = d.config.ddr_integral;
    i->bandwidthFractional = d.config.ddr_fractional;
    i->capacityBytes = uint64_t{16} << 30;
    return MORVEL_SUCCESS;
  });
}

const char* zra_sim_morvelGetCardNameStringByDevId(uint32_t device) {
  int32_t code;
  if (Called(&code, __func__, "%u", device)) return nullptr;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  return d == nullptr ? nullptr : d->card_name.c_str();
}

// Unknown codes have no text.
const char* zra_sim_morvelGetErrorString(int32_t result) {
  Note(__func__, "%d", result);
  return TextOf(kMorvelTexts, result);
}

int32_t zra_sim_dravikGetDeviceType(uint32_t device, uint32_t* type) {
  int32_t code;
  if (Called(&code, __func__, "%u", device)) return Garbage(type), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr || type == nullptr) return Garbage(type), DRAVIK_ERROR_INVALID_DEVICE;
  *type = d->config.type;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikGetDeviceChipId(uint32_t device, uint64_t* chip_id) {
  int32_t code;
  if (Called(&code, __func__, "%u", device)) return Garbage(chip_id), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr || chip_id == nullptr) return Garbage(chip_id), DRAVIK_ERROR_INVALID_DEVICE;
  *chip_id = d->config.chip_id;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikGetLibVersion(int32_t* major, int32_t* minor, int32_t* patch) {
  int32_t code;
  if (Called(&code, __func__, "%s", "")) {
    Garbage(major), Garbage(minor), Garbage(patch);
    return code;
  }
  if (major == nullptr || minor == nullptr || patch == nullptr) {
    return DRAVIK_ERROR_INVALID_PARAMETER;
  }
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  *major = s.version[0];
  *minor = s.version[1];
  *patch = s.version[2];
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuGetCounterSupported(uint64_t chip_id, uint64_t* ids, uint64_t* count) {
  int32_t code;
  if (Called(&code, __func__, "%lu,%s", chip_id, Ptr(ids))) return Garbage(count), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  bool known_chip = false;
  for (const Device& d : s.devices) known_chip |= d.config.chip_id == chip_id;
  if (count == nullptr || !known_chip) return Garbage(count), DRAVIK_ERROR_INVALID_DEVICE;
  uint64_t supported = kCounterCount - (s.hidden_counter ? 0 : 1);
  if (ids == nullptr) {
    *count = supported;
    return DRAVIK_SUCCESS;
  }
  uint64_t n = std::min(*count, supported);
  for (uint64_t i = 0; i < n; ++i) ids[i] = kCounters[i].id;
  *count = n;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuGetCounterName(uint64_t id, const char** name) {
  int32_t code;
  if (Called(&code, __func__, "%lu", id)) return Garbage(name), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  int index = CounterIndex(id, s.hidden_counter);
  if (index < 0 || name == nullptr) return Garbage(name), DRAVIK_ERROR_INVALID_PARAMETER;
  *name = s.names[index];
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuSetFlushMode(uint32_t mode) {
  int32_t code;
  if (Called(&code, __func__, "%u", mode)) return code;
  if (mode > DRAVIK_PMU_EXPLICIT_FLUSH) return DRAVIK_ERROR_INVALID_PARAMETER;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.flush_mode = mode;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuEnableCounter(uint32_t device, uint64_t id, bool enable) {
  int32_t code;
  if (Called(&code, __func__, "%u,%lu,%d", device, id, enable ? 1 : 0)) return code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr) return DRAVIK_ERROR_INVALID_DEVICE;
  int index = CounterIndex(id, s.hidden_counter);
  if (index < 0) return DRAVIK_ERROR_INVALID_PARAMETER;
  d->enabled[index] = enable;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuFlushData(uint32_t device) {
  int32_t code;
  if (Called(&code, __func__, "%u", device)) return code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr) return DRAVIK_ERROR_INVALID_DEVICE;
  std::copy(d->live, d->live + kCounterCount, d->captured);
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikPmuGetCounterValue(uint32_t device, uint64_t id, uint64_t* value) {
  int32_t code;
  if (Called(&code, __func__, "%u,%lu", device, id)) return Garbage(value), code;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Device* d = FindDevice(s, device);
  if (d == nullptr || value == nullptr) return Garbage(value), DRAVIK_ERROR_INVALID_DEVICE;
  int index = CounterIndex(id, s.hidden_counter);
  if (index < 0) return Garbage(value), DRAVIK_ERROR_INVALID_PARAMETER;
  if (!d->enabled[index]) return Garbage(value), DRAVIK_ERROR_NOT_ENABLED;
  *value = s.flush_mode == DRAVIK_PMU_EXPLICIT_FLUSH ? d->captured[index] : d->live[index];
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikInit(void) {
  int32_t code;
  if (Called(&code, __func__, "%s", "")) return code;
  const char* hidden = getenv("DRAVIK_PMU_ENABLE_HIDDEN_COUNTER");
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.hidden_counter = hidden != nullptr && (strcmp(hidden, "true") == 0 || strcmp(hidden, "1") == 0);
  return Env().dravik_init;
}

// Unknown codes have no text.
int32_t zra_sim_dravikGetResultString(int32_t result, const char** text) {
  Note(__func__, "%d", result);
  if (text == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  *text = TextOf(kDravikTexts, result);
  return *text == nullptr ? DRAVIK_ERROR_INVALID_PARAMETER : DRAVIK_SUCCESS;
}

namespace {
int32_t SwitchKind(const char* core_name, uint32_t kind, bool on) {
  int32_t code;
  if (Called(&code, core_name, "%u", kind)) return code;
  if (!KnownKind(kind)) return DRAVIK_ERROR_INVALID_PARAMETER;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.buffer_mu);
  if (on) {
    s.kinds.insert(kind);
  } else {
    s.kinds.erase(kind);
  }
  return DRAVIK_SUCCESS;
}
}  // namespace

int32_t zra_sim_dravikActivityEnable(uint32_t kind) { return SwitchKind(__func__, kind, true); }

int32_t zra_sim_dravikActivityDisable(uint32_t kind) { return SwitchKind(__func__, kind, false); }

// Withdrawal (two nulls) completes the current buffer and returns when every
// completed buffer that is not held has been delivered.
int32_t zra_sim_dravikActivityRegisterCallbacks(dravik_BufferRequestFunc request,
                                                dravik_BufferCompleteFunc complete) {
  int32_t code;
  if (Called(&code, __func__, "%s,%s", Ptr(reinterpret_cast<void*>(request)),
             Ptr(reinterpret_cast<void*>(complete))))
    return code;
  if ((request == nullptr) != (complete == nullptr)) return DRAVIK_ERROR_INVALID_PARAMETER;
  Sim& s = S();
  uint64_t last;
  {
    std::lock_guard<std::mutex> lock(s.buffer_mu);
    if (request == nullptr) CompleteCurrentLocked(s, Now());
    s.request = request;
    s.complete = complete;
    last = LastHandedOver(s);
  }
  if (request == nullptr) WaitForDeliveries(s, last);
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikActivityGetNextRecord(uint8_t* buffer, size_t valid_size, uint8_t** record) {
  int32_t code;
  if (Called(&code, __func__, "%s,%zu", Ptr(buffer), valid_size)) return Garbage(record), code;
  if (buffer == nullptr || record == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  size_t next = 0;
  if (*record != nullptr) {
    if (*record < buffer || *record >= buffer + valid_size) return DRAVIK_ERROR_INVALID_PARAMETER;
    size_t at = static_cast<size_t>(*record - buffer);
    if (at % 8 != 0 || at + 8 > valid_size) return DRAVIK_ERROR_INVALID_PARAMETER;
    next = at + RecordSize(*record);
  }
  if (next + 8 > valid_size || next + RecordSize(buffer + next) > valid_size) {
    return DRAVIK_ERROR_MAX_LIMIT_REACHED;
  }
  Sim& s = S();
  int fault = 0;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.walk_fault != 0 && s.walk_fault_after-- <= 0) std::swap(fault, s.walk_fault);
  }
  switch (static_cast<zra_sim::WalkFault>(fault)) {
    case zra_sim::WalkFault::kNullRecord:
      *record = nullptr;
      break;
    case zra_sim::WalkFault::kNoProgress:
      break;
    case zra_sim::WalkFault::kPastEnd:
      *record = buffer + RoundUp8(valid_size) + 8;
      break;
    case zra_sim::WalkFault::kMisaligned:
      *record = buffer + next + 4;
      break;
    default:
      *record = buffer + next;
  }
  return DRAVIK_SUCCESS;
}

// Records always carry their received, queued and submitted times, so this
// only answers (and journals).
int32_t zra_sim_dravikActivityEnableLatencyTimestamps(int32_t enable) {
  int32_t code;
  if (Called(&code, __func__, "%d", enable)) return code;
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikSubscribe(dravik_SubscriberHandle* subscriber, dravik_CallbackFunc callback,
                                void* userdata) {
  int32_t code;
  if (Called(&code, __func__, "%s,%s", Ptr(reinterpret_cast<void*>(callback)), Ptr(userdata)))
    return Garbage(subscriber), code;
  if (subscriber == nullptr || callback == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.subscribers.emplace_back();
  Subscriber& sub = s.subscribers.back();
  sub.number = s.next_subscriber++;
  sub.callback = callback;
  sub.userdata = userdata;
  *subscriber = reinterpret_cast<dravik_SubscriberHandle>(&sub);
  return DRAVIK_SUCCESS;
}

namespace {
int SubscriberNumber(dravik_SubscriberHandle handle) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Subscriber* sub = FindSubscriber(s, handle);
  return sub == nullptr ? 0 : sub->number;
}

// Runs `change` on the subscriber under the lock; an unknown handle or
// domain is an invalid parameter.
template <typename Change>
int32_t ChangeSubscriber(const char* core_name, dravik_SubscriberHandle handle, uint32_t domain,
                         Change&& change) {
  int32_t code;
  if (Fails(core_name + strlen("zra_sim_"), &code)) return code;
  if (!KnownDomain(domain)) return DRAVIK_ERROR_INVALID_PARAMETER;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Subscriber* sub = FindSubscriber(s, handle);
  if (sub == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  change(*sub);
  return DRAVIK_SUCCESS;
}
}  // namespace

// No callback of the subscriber runs once this has returned (do not call it
// from the subscriber's own callback).
int32_t zra_sim_dravikUnsubscribe(dravik_SubscriberHandle subscriber) {
  int32_t code;
  if (Called(&code, __func__, "S%d", SubscriberNumber(subscriber))) return code;
  Sim& s = S();
  std::unique_lock<std::mutex> lock(s.mu);
  Subscriber* sub = FindSubscriber(s, subscriber);
  if (sub == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  sub->active = false;
  s.cv.wait(lock, [&] { return sub->in_flight == 0; });
  s.subscribers.remove_if([&](const Subscriber& x) { return &x == sub; });
  return DRAVIK_SUCCESS;
}

int32_t zra_sim_dravikEnableCallback(uint32_t enable, dravik_SubscriberHandle subscriber,
                                     uint32_t domain, uint32_t cbid) {
  Note(__func__, "%u,S%d,%u,%u", enable, SubscriberNumber(subscriber), domain, cbid);
  return ChangeSubscriber(__func__, subscriber, domain, [&](Subscriber& sub) {
    sub.id_on[{domain, cbid}] = enable != 0;
  });
}

// Switches the whole domain: earlier per-id switches of it are forgotten.
int32_t zra_sim_dravikEnableDomain(uint32_t enable, dravik_SubscriberHandle subscriber,
                                   uint32_t domain) {
  Note(__func__, "%u,S%d,%u", enable, SubscriberNumber(subscriber), domain);
  return ChangeSubscriber(__func__, subscriber, domain, [&](Subscriber& sub) {
    sub.domain_on[domain] = enable != 0;
    for (auto it = sub.id_on.begin(); it != sub.id_on.end();) {
      it = it->first.first == domain ? sub.id_on.erase(it) : std::next(it);
    }
  });
}

int32_t zra_sim_dravikEnableAllDomains(uint32_t enable, dravik_SubscriberHandle subscriber) {
  Note(__func__, "%u,S%d", enable, SubscriberNumber(subscriber));
  return ChangeSubscriber(__func__, subscriber, DRAVIK_CB_DOMAIN_HALVO_API, [&](Subscriber& sub) {
    for (uint32_t d : {0u, 1u, 3u, 6u}) sub.domain_on[d] = enable != 0;
    sub.id_on.clear();
  });
}

int32_t zra_sim_dravikGetCallbackState(uint32_t* enable, dravik_SubscriberHandle subscriber,
                                       uint32_t domain, uint32_t cbid) {
  Note(__func__, "S%d,%u,%u", SubscriberNumber(subscriber), domain, cbid);
  if (enable == nullptr) return DRAVIK_ERROR_INVALID_PARAMETER;
  int32_t result = ChangeSubscriber(__func__, subscriber, domain,
                                    [&](Subscriber& sub) { *enable = sub.Enabled(domain, cbid); });
  if (result != DRAVIK_SUCCESS) Garbage(enable);
  return result;
}

uint64_t zra_sim_dravikGetTimestamp(void) {
  Note(__func__, "%s", "");
  return Now();
}

// ===========================================================================
// Control.

ZRA_SIM_EXPORT void zra_sim_reset(void) {
  Sim& s = S();
  std::vector<std::thread> workers;
  std::vector<Completed> orphans;
  {
    std::lock_guard<std::mutex> buffer_lock(s.buffer_mu);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.buffer != nullptr) orphans.push_back({s.buffer, 0, 0, nullptr});
    s.buffer = nullptr;
    s.request = nullptr;
    s.complete = nullptr;
    s.kinds.clear();
    s.buffer_size = kDefaultBufferSize;
    s.dropped = 0;
    orphans.insert(orphans.end(), s.queue.begin(), s.queue.end());
    orphans.insert(orphans.end(), s.held.begin(), s.held.end());
    s.queue.clear();
    s.held.clear();
    s.stopping = true;
    workers.swap(s.workers);
    s.cv.notify_all();
  }
  for (std::thread& t : workers) t.join();
  for (const Completed& c : orphans) free(c.buffer);
  std::lock_guard<std::mutex> lock(s.mu);
  s.undelivered.clear();  // the orphans': nobody delivers them now
  s.cv.notify_all();
  s.stopping = false;
  s.ResetLocked();
  t_device = 0;
  t_clusters = 0;
}

ZRA_SIM_EXPORT void zra_sim_set_devices(const zra_sim_device* devices, uint32_t count) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.devices.assign(count, Device());
  for (uint32_t i = 0; i < count; ++i) {
    s.devices[i].config = devices[i];
    s.devices[i].card_name = devices[i].card_name == nullptr ? "" : devices[i].card_name;
    s.devices[i].config.card_name = nullptr;
  }
}

ZRA_SIM_EXPORT void zra_sim_set_current_device(uint32_t device, uint32_t cluster_count) {
  t_device = device;
  t_clusters = cluster_count;
}

ZRA_SIM_EXPORT void zra_sim_fail_next(const char* function, int32_t count, int32_t code) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.failures[function] = {count, code};
}

ZRA_SIM_EXPORT void zra_sim_set_version(int32_t major, int32_t minor, int32_t patch) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.version[0] = major;
  s.version[1] = minor;
  s.version[2] = patch;
}

ZRA_SIM_EXPORT void zra_sim_set_buffer_size(size_t bytes) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.buffer_mu);
  s.buffer_size = bytes;
}

ZRA_SIM_EXPORT void zra_sim_set_worker_count(int32_t count) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.worker_count = std::max(1, count);
}

ZRA_SIM_EXPORT void zra_sim_hold_buffers(int32_t hold) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.hold = hold != 0;
}

ZRA_SIM_EXPORT int32_t zra_sim_deliver_held_buffers(void) {
  Sim& s = S();
  std::vector<Completed> held;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    held.swap(s.held);
  }
  for (const Completed& c : held) c.complete(c.buffer, c.size, c.valid);
  return static_cast<int32_t>(held.size());
}

ZRA_SIM_EXPORT void zra_sim_complete_empty_buffer(void) {
  Sim& s = S();
  std::lock_guard<std::mutex> buffer_lock(s.buffer_mu);
  uint8_t* buffer;
  size_t size, max_records;
  if (!RequestLocked(s, &buffer, &size, &max_records)) return;
  std::lock_guard<std::mutex> lock(s.mu);
  EnqueueLocked(s, {buffer, size, 0, s.complete});
}

ZRA_SIM_EXPORT void zra_sim_flush_activity(void) {
  Sim& s = S();
  uint64_t last;
  {
    std::lock_guard<std::mutex> lock(s.buffer_mu);
    if (s.buffer_used > 0) CompleteCurrentLocked(s, Now());
    last = LastHandedOver(s);
  }
  WaitForDeliveries(s, last);
}

ZRA_SIM_EXPORT int32_t zra_sim_inject_record(const void* bytes, size_t size) {
  if (bytes == nullptr || size < 4 || size > (1u << 20)) return 0;
  std::vector<uint8_t> record(RoundUp8(std::max<size_t>(size, 8)));
  memcpy(record.data(), bytes, size);
  uint32_t kind;
  memcpy(&kind, record.data(), sizeof(kind));
  if (kind == DRAVIK_ACTIVITY_TYPE_KERNEL) memset(record.data() + 4, 0, 4);  // no stored name
  if (size < RecordSize(record.data())) return 0;
  return Produce(kind, record.data(), record.size(), nullptr, true) ? 1 : 0;
}

ZRA_SIM_EXPORT void zra_sim_set_walk_fault(int32_t fault, int32_t after_records) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.walk_fault = fault;
  s.walk_fault_after = after_records;
}

ZRA_SIM_EXPORT void zra_sim_send_raw_callback(uint32_t domain, uint32_t cbid, uint32_t site,
                                              const char* function_name, uint64_t correlation_id,
                                              const void* params) {
  Fire(domain, cbid, site, function_name, params, correlation_id);
}

ZRA_SIM_EXPORT void zra_sim_force_correlation_id(uint64_t id) { S().next_correlation = id; }

namespace {
int IndexByName(Sim& s, const char* name) {
  for (size_t i = 0; i < kCounterCount; ++i) {
    if (strcmp(s.names[i], name) == 0) return static_cast<int>(i);
  }
  return -1;
}
}  // namespace

ZRA_SIM_EXPORT uint64_t zra_sim_counter_id(const char* name) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  int index = IndexByName(s, name);
  return index < 0 ? 0 : kCounters[index].id;
}

ZRA_SIM_EXPORT void zra_sim_set_counter(uint32_t device, const char* name, uint64_t value) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  int index = IndexByName(s, name);
  Device* d = FindDevice(s, device);
  if (index >= 0 && d != nullptr) d->live[index] = value;
}

ZRA_SIM_EXPORT void zra_sim_rename_counter(const char* name, const char* new_name) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  int index = IndexByName(s, name);
  if (index < 0) return;
  s.counter_names.push_back(new_name);
  s.names[index] = s.counter_names.back().c_str();
}

ZRA_SIM_EXPORT uint64_t zra_sim_counter_delta(const char* name, uint32_t grid_x, uint32_t grid_y,
                                              uint32_t grid_z, uint64_t duration_ns) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  int index = IndexByName(s, name);
  return index < 0 ? 0 : Delta(index, grid_x, grid_y, grid_z, duration_ns);
}

ZRA_SIM_EXPORT void zra_sim_set_journal(int32_t on) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.journal.clear();
  s.journal_on = on != 0;
}

ZRA_SIM_EXPORT const char* zra_sim_journal(void) {
  static thread_local std::string text;
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  text.clear();
  for (const std::string& entry : s.journal) text += entry + "\n";
  s.journal.clear();
  return text.c_str();
}

ZRA_SIM_EXPORT uint64_t zra_sim_dropped_records(void) { return S().dropped.load(); }

ZRA_SIM_EXPORT void zra_sim_set_real_time(int32_t on) {
  Sim& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.real_time = on != 0;
}

// ===========================================================================
// Simulated runtime.

ZRA_SIM_EXPORT uint64_t zra_sim_launch_kernel(const zra_sim_kernel* k) {
  qxInvokeKernel_params params{};
  params.gridX = k->grid_x;
  params.gridY = k->grid_y;
  params.gridZ = k->grid_z;
  params.queue = k->queue;
  return Call(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxInvokeKernel, "qxInvokeKernel",
              &params, [&](uint64_t correlation) {
                Times t = Schedule(k->queue, k->duration_ns, false);
                Sim& s = S();
                {
                  std::lock_guard<std::mutex> lock(s.mu);
                  if (Device* d = FindDevice(s, t_device)) {
                    for (size_t i = 0; i < kCounterCount; ++i) {
                      d->live[i] += Delta(i, k->grid_x, k->grid_y, k->grid_z, k->duration_ns);
                    }
                  }
                }
                dravikActivityKernel r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_KERNEL, correlation, k->queue, t);
                Queued(&r, t);
                r.contextId = ContextHandle();
                r.kernelType = k->kernel_type;
                r.gridX = k->grid_x;
                r.gridY = k->grid_y;
                r.gridZ = k->grid_z;
                Emit(r, k->name);
              });
}

namespace {
struct CopyCall {
  uint32_t cbid, async_cbid;
  const char* name;
  const char* async_name;
};
CopyCall CopyCallOf(uint32_t kind) {
  switch (kind) {
    case DRAVIK_MEMCPY_KIND_HTOD:
      return {DRAVIK_CBID_VORUND_qxMemcpyHtoD, DRAVIK_CBID_VORUND_qxMemcpyHtoDAsync, "qxMemcpyHtoD",
              "qxMemcpyHtoDAsync"};
    case DRAVIK_MEMCPY_KIND_DTOH:
      return {DRAVIK_CBID_VORUND_qxMemcpyDtoH, DRAVIK_CBID_VORUND_qxMemcpyDtoHAsync, "qxMemcpyDtoH",
              "qxMemcpyDtoHAsync"};
    case DRAVIK_MEMCPY_KIND_DTOD:
      return {DRAVIK_CBID_VORUND_qxMemcpyDtoD, DRAVIK_CBID_VORUND_qxMemcpyDtoDAsync, "qxMemcpyDtoD",
              "qxMemcpyDtoDAsync"};
    default:
      return {DRAVIK_CBID_VORUND_qxMemcpyHtoH, DRAVIK_CBID_VORUND_qxMemcpyHtoH, "qxMemcpyHtoH",
              "qxMemcpyHtoH"};
  }
}
}  // namespace

ZRA_SIM_EXPORT uint64_t zra_sim_memcpy(uint32_t copy_kind, uint64_t bytes, uint64_t queue,
                                       int32_t async) {
  CopyCall call = CopyCallOf(copy_kind);
  return Call(DRAVIK_CB_DOMAIN_VORUND_API, async ? call.async_cbid : call.cbid,
              async ? call.async_name : call.name, nullptr, [&](uint64_t correlation) {
                Times t = Schedule(queue, 500 + bytes / 10, !async);
                dravikActivityMemcpy r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_MEMCPY, correlation, queue, t);
                r.isAsync = async != 0;
                r.bytes = bytes;
                r.copyKind = copy_kind;
                Queued(&r, t);
                Emit(r);
              });
}

ZRA_SIM_EXPORT uint64_t zra_sim_memset(uint64_t bytes, uint64_t value, uint64_t queue,
                                       int32_t async) {
  return Call(DRAVIK_CB_DOMAIN_VORUND_API,
              async ? DRAVIK_CBID_VORUND_qxMemsetAsync : DRAVIK_CBID_VORUND_qxMemset,
              async ? "qxMemsetAsync" : "qxMemset", nullptr, [&](uint64_t correlation) {
                Times t = Schedule(queue, 300 + bytes / 20, !async);
                dravikActivityMemset r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_MEMSET, correlation, queue, t);
                r.isAsync = async != 0;
                r.bytes = bytes;
                Queued(&r, t);
                r.value = value;
                Emit(r);
              });
}

ZRA_SIM_EXPORT uint64_t zra_sim_memcpy_peer(uint32_t src_device, uint32_t dst_device,
                                            uint64_t bytes, uint64_t queue, int32_t async) {
  return Call(DRAVIK_CB_DOMAIN_VORUND_API,
              async ? DRAVIK_CBID_VORUND_qxMemcpyPeerAsync : DRAVIK_CBID_VORUND_qxMemcpyPeer,
              async ? "qxMemcpyPeerAsync" : "qxMemcpyPeer", nullptr, [&](uint64_t correlation) {
                Times t = Schedule(queue, 800 + bytes / 5, !async);
                dravikActivityMemcpyPtoP r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP, correlation, queue, t);
                r.bytes = bytes;
                r.copyKind = DRAVIK_MEMCPY_KIND_PTOP;
                Queued(&r, t);
                r.srcDeviceId = src_device;
                r.dstDeviceId = dst_device;
                Emit(r);
              });
}

ZRA_SIM_EXPORT uint64_t zra_sim_notifier(uint32_t notifier_kind, uint64_t notifier_id,
                                         uint64_t queue) {
  bool place = notifier_kind == DRAVIK_NOTIFIER_PLACE;
  return Call(DRAVIK_CB_DOMAIN_VORUND_API,
              place ? DRAVIK_CBID_VORUND_qxNotifierPlace : DRAVIK_CBID_VORUND_qxNotifierWait,
              place ? "qxNotifierPlace" : "qxNotifierWait", nullptr, [&](uint64_t correlation) {
                Times t = Schedule(queue, 200, false);
                dravikActivityNotifier r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_NOTIFIER, correlation, queue, t);
                r.notifierKind = notifier_kind;
                r.notifierId = notifier_id;
                Emit(r);
              });
}

ZRA_SIM_EXPORT uint64_t zra_sim_atomic(uint32_t request_type, uint32_t operation, uint64_t value,
                                       uint64_t queue) {
  return Call(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxAtomicOperation,
              "qxAtomicOperation", nullptr, [&](uint64_t correlation) {
                Times t = Schedule(queue, 100, false);
                dravikActivityAtomic r{};
                Common(&r, DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION, correlation, queue, t);
                r.requestType = request_type;
                r.operation = operation;
                r.value = value;
                Emit(r);
              });
}

ZRA_SIM_EXPORT uint64_t zra_sim_malloc(uint64_t bytes) {
  (void)bytes;
  return Call(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxMalloc, "qxMalloc", nullptr,
              [](uint64_t) {});
}

ZRA_SIM_EXPORT uint64_t zra_sim_free(uint64_t address) {
  (void)address;
  return Call(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxFree, "qxFree", nullptr,
              [](uint64_t) {});
}

ZRA_SIM_EXPORT uint64_t zra_sim_traced_call(uint32_t domain, uint32_t cbid, const char* name,
                                            void (*body)(void*), void* arg) {
  return Call(domain, cbid, name, nullptr, [&](uint64_t) {
    if (body != nullptr) body(arg);
  });
}
