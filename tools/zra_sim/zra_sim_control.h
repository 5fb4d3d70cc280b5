// Control and simulated runtime of the ZRA device simulator, for tests and the
// demo. The simulator's state lives in libzra_sim.so; the three libraries
// libdravik.so, libvorund.so and libmorvel.so of a variant folder forward to
// it, so a test that links libzra_sim.so and loads the variant's libraries
// (LD_LIBRARY_PATH, see zentrik_sim_test) drives one simulator through both.
//
// Simulated time is virtual: a command starts at max(submit + 1 us, its
// queue's busy-until) and ends `duration` later; nothing waits unless
// SetRealTime(true). Every function here is thread-safe. Scenarios the
// device tracer decides at load time are read once from the environment:
//   ZRA_SIM_DRAVIK_INIT_RESULT, ZRA_SIM_MORVEL_INIT_RESULT  result of dravikInit /
//                                                            morvelInit (default 0)
//   ZRA_SIM_VERSION                                          "major.minor.patch"
//                                                            (default 3.1.0)
#ifndef ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CONTROL_H_
#define ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CONTROL_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <type_traits>
#include <vector>

#include "trace/core/internal/zra/dravik_api.h"

// The core's own C exports; the inline functions below are the interface.
#pragma GCC visibility push(default)
extern "C" {
struct zra_sim_device {
  uint32_t type;
  uint64_t chip_id;
  uint32_t core_count;
  uint32_t frequency_mhz;
  uint32_t ddr_integral;
  uint32_t ddr_fractional;
  uint32_t cluster_count;  // what a context on this device uses
  const char* card_name;   // copied
};
struct zra_sim_kernel {
  uint64_t queue;
  const char* name;  // copied into the activity buffer; may be null
  uint32_t grid_x, grid_y, grid_z;
  uint64_t duration_ns;
  uint64_t kernel_type;
};
void zra_sim_reset(void);
void zra_sim_set_devices(const zra_sim_device* devices, uint32_t count);
void zra_sim_set_current_device(uint32_t device, uint32_t cluster_count);
void zra_sim_fail_next(const char* function, int32_t count, int32_t code);
void zra_sim_set_version(int32_t major, int32_t minor, int32_t patch);
void zra_sim_set_buffer_size(size_t bytes);
void zra_sim_set_worker_count(int32_t count);
void zra_sim_hold_buffers(int32_t hold);
int32_t zra_sim_deliver_held_buffers(void);
void zra_sim_complete_empty_buffer(void);
void zra_sim_flush_activity(void);
int32_t zra_sim_inject_record(const void* bytes, size_t size);
void zra_sim_set_walk_fault(int32_t fault, int32_t after_records);
void zra_sim_send_raw_callback(uint32_t domain, uint32_t cbid, uint32_t site,
                               const char* function_name, uint64_t correlation_id,
                               const void* params);
void zra_sim_force_correlation_id(uint64_t id);
uint64_t zra_sim_counter_id(const char* name);
void zra_sim_set_counter(uint32_t device, const char* name, uint64_t value);
void zra_sim_rename_counter(const char* name, const char* new_name);
uint64_t zra_sim_counter_delta(const char* name, uint32_t grid_x, uint32_t grid_y, uint32_t grid_z,
                               uint64_t duration_ns);
void zra_sim_set_journal(int32_t on);
const char* zra_sim_journal(void);
uint64_t zra_sim_dropped_records(void);
void zra_sim_set_real_time(int32_t on);
uint64_t zra_sim_launch_kernel(const zra_sim_kernel* kernel);
uint64_t zra_sim_memcpy(uint32_t copy_kind, uint64_t bytes, uint64_t queue, int32_t async);
uint64_t zra_sim_memset(uint64_t bytes, uint64_t value, uint64_t queue, int32_t async);
uint64_t zra_sim_memcpy_peer(uint32_t src_device, uint32_t dst_device, uint64_t bytes,
                             uint64_t queue, int32_t async);
uint64_t zra_sim_notifier(uint32_t notifier_kind, uint64_t notifier_id, uint64_t queue);
uint64_t zra_sim_atomic(uint32_t request_type, uint32_t operation, uint64_t value, uint64_t queue);
uint64_t zra_sim_malloc(uint64_t bytes);
uint64_t zra_sim_free(uint64_t address);
uint64_t zra_sim_traced_call(uint32_t domain, uint32_t cbid, const char* name, void (*body)(void*),
                             void* arg);
}
#pragma GCC visibility pop

namespace zra_sim {

// Back to the state of a fresh process: two default devices, no subscriber,
// no callbacks, no failures, journal off, the version of ZRA_SIM_VERSION.
// What dravikInit decided (the hidden counter) stays, as the device tracer
// initialises the library once per process.
// Stops the delivery workers; buffers still held or unfinished are freed with
// free() (clients allocate them with posix_memalign).
inline void Reset() { zra_sim_reset(); }

// Device 0: type 1, chip 0x2030, 8 cores, 1500 MHz, DDR 3.5, 2 clusters, card
// "ZRA-S60"; device 1 the same with chip 0x2031 and card "ZRA-S60 #1".
struct Device {
  uint32_t type = 1;
  uint64_t chip_id = 0x2030;
  uint32_t core_count = 8;
  uint32_t frequency_mhz = 1500;
  uint32_t ddr_integral = 3;
  uint32_t ddr_fractional = 5;
  uint32_t cluster_count = 2;
  std::string card_name = "ZRA-S60";
};
inline void SetDevices(const std::vector<Device>& devices) {
  std::vector<zra_sim_device> raw;
  for (const Device& d : devices) {
    raw.push_back({d.type, d.chip_id, d.core_count, d.frequency_mhz, d.ddr_integral,
                   d.ddr_fractional, d.cluster_count, d.card_name.c_str()});
  }
  zra_sim_set_devices(raw.data(), static_cast<uint32_t>(raw.size()));
}
// The calling thread's current context: its device (0 until set) and the
// cluster count it uses (0: the device's).
inline void SetCurrentDevice(uint32_t device, uint32_t cluster_count = 0) {
  zra_sim_set_current_device(device, cluster_count);
}

// The next `count` calls of the named library function (for example
// "dravikPmuFlushData") return `code`; out-parameters get the garbage pattern
// 0xA5 in every byte, as every failed call leaves them.
inline void FailNext(const char* function, int count, int32_t code) {
  zra_sim_fail_next(function, count, code);
}
// What dravikGetLibVersion reports from now on.
inline void SetVersion(int major, int minor, int patch) {
  zra_sim_set_version(major, minor, patch);
}
// Size asked for through the buffer-request callback (default 64 KiB): tiny
// sizes force many buffers, huge ones make the client's allocation fail.
inline void SetBufferSize(size_t bytes) { zra_sim_set_buffer_size(bytes); }
// Threads that deliver completed buffers (default 1; 2 for concurrent
// completions).
inline void SetWorkerCount(int count) { zra_sim_set_worker_count(count); }
// While on, completed buffers are kept instead of delivered, withdrawal
// included. DeliverHeldBuffers hands them, on the calling thread, to the
// complete callback registered when each was requested (also after
// withdrawal); returns how many it delivered.
inline void HoldBuffers(bool hold) { zra_sim_hold_buffers(hold); }
inline int DeliverHeldBuffers() { return zra_sim_deliver_held_buffers(); }
// Requests a buffer and completes it with valid size 0.
inline void CompleteEmptyBuffer() { zra_sim_complete_empty_buffer(); }
// Completes the partly filled buffer and waits until every completed buffer
// not held was delivered.
inline void FlushActivity() { zra_sim_flush_activity(); }
// Appends raw record bytes to the current buffer (requesting one when
// needed), whatever kinds are enabled. The record's size is rounded up to 8;
// a walk steps over it by its kind's size (8 for unknown kinds). False when
// no buffer could be had or the bytes are shorter than the kind's size.
inline bool InjectRecord(const void* bytes, size_t size) {
  return zra_sim_inject_record(bytes, size) != 0;
}
// Faults of dravikActivityGetNextRecord, once, after `after_records`
// successful steps: it returns 0 with a null record, the same record again, a
// record past the valid end, or a record 4 bytes off alignment.
enum class WalkFault : int32_t { kNullRecord = 1, kNoProgress, kPastEnd, kMisaligned };
inline void SetWalkFault(WalkFault fault, int after_records) {
  zra_sim_set_walk_fault(static_cast<int32_t>(fault), after_records);
}
// Sends one callback as given (any site, any name, null included) to every
// subscriber that enabled (domain, cbid), on the calling thread.
inline void SendRawCallback(uint32_t domain, uint32_t cbid, uint32_t site,
                            const char* function_name, uint64_t correlation_id,
                            const void* params = nullptr) {
  zra_sim_send_raw_callback(domain, cbid, site, function_name, correlation_id, params);
}
// The next traced call gets correlation id `id`; the counter goes on from it.
inline void ForceCorrelationId(uint64_t id) { zra_sim_force_correlation_id(id); }

// PMU. Supported counters (in this shuffled order): the 14 that the tracer
// reads, "tp_core__ecc_errors", "tp_core__idle_cycles", "tp_memcore__stall_cycles",
// and "tp_core__hidden_cycles" when DRAVIK_PMU_ENABLE_HIDDEN_COUNTER was
// "true" or "1" at dravikInit. Each kernel adds CounterDelta() to each counter
// of its device. In explicit flush mode reads give the values captured by the
// last dravikPmuFlushData. CounterId gives 0 for an unknown name.
inline uint64_t CounterId(const char* name) { return zra_sim_counter_id(name); }
inline void SetCounter(uint32_t device, const char* name, uint64_t value) {
  zra_sim_set_counter(device, name, value);
}
inline void RenameCounter(const char* name, const char* new_name) {
  zra_sim_rename_counter(name, new_name);
}
inline uint64_t CounterDelta(const char* name, uint32_t grid_x, uint32_t grid_y, uint32_t grid_z,
                             uint64_t duration_ns) {
  return zra_sim_counter_delta(name, grid_x, grid_y, grid_z, duration_ns);
}

// Call journal of the library functions, off by default: one entry per call,
// "name(arg,arg)" with values in decimal, subscribers as S1, S2..., callbacks
// and non-null pointers as "&", null as "null", out-parameters omitted; e.g.
// "dravikEnableDomain(1,S1,1)", "dravikPmuFlushData(0)". Turning it on
// clears it. TakeJournal returns the entries and clears them.
inline void SetJournal(bool on) { zra_sim_set_journal(on); }
inline std::vector<std::string> TakeJournal() {
  std::vector<std::string> entries;
  std::string text = zra_sim_journal();
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    entries.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return entries;
}
// Records dropped for want of a buffer since the last Reset.
inline uint64_t DroppedRecords() { return zra_sim_dropped_records(); }
// Demo only: synchronous calls sleep until their device end time.
inline void SetRealTime(bool on) { zra_sim_set_real_time(on); }

// Simulated runtime. Each call fires the enabled API callbacks (VORUND
// domain) on the calling thread at entry and exit, applies its effect on the
// calling thread's current device and, when its kind is enabled, writes its
// activity record. Each returns the call's correlation id.
struct Kernel {
  uint64_t queue = 1;
  const char* name = "kernel";
  uint32_t grid_x = 1, grid_y = 1, grid_z = 1;
  uint64_t duration_ns = 1000;
  uint64_t kernel_type = 0;
};
inline uint64_t LaunchKernel(const Kernel& k) {
  zra_sim_kernel raw{k.queue, k.name, k.grid_x, k.grid_y, k.grid_z, k.duration_ns, k.kernel_type};
  return zra_sim_launch_kernel(&raw);
}
inline uint64_t Memcpy(uint32_t copy_kind, uint64_t bytes, uint64_t queue = 1, bool async = false) {
  return zra_sim_memcpy(copy_kind, bytes, queue, async);
}
inline uint64_t Memset(uint64_t bytes, uint64_t value, uint64_t queue = 1, bool async = false) {
  return zra_sim_memset(bytes, value, queue, async);
}
inline uint64_t MemcpyPeer(uint32_t src_device, uint32_t dst_device, uint64_t bytes,
                           uint64_t queue = 1, bool async = false) {
  return zra_sim_memcpy_peer(src_device, dst_device, bytes, queue, async);
}
inline uint64_t NotifierPlace(uint64_t notifier_id, uint64_t queue = 1) {
  return zra_sim_notifier(DRAVIK_NOTIFIER_PLACE, notifier_id, queue);
}
inline uint64_t NotifierWait(uint64_t notifier_id, uint64_t queue = 1) {
  return zra_sim_notifier(DRAVIK_NOTIFIER_WAIT, notifier_id, queue);
}
inline uint64_t AtomicOperation(uint32_t request_type, uint32_t operation, uint64_t value,
                                uint64_t queue = 1) {
  return zra_sim_atomic(request_type, operation, value, queue);
}
// API callbacks only, no activity record.
inline uint64_t Malloc(uint64_t bytes) { return zra_sim_malloc(bytes); }
inline uint64_t Free(uint64_t address) { return zra_sim_free(address); }
// A traced call of any domain and id named `name` (a mangled C++ name, say)
// that runs `body(arg)` between its entry and exit callbacks; the body may
// make further traced calls.
inline uint64_t TracedCall(uint32_t domain, uint32_t cbid, const char* name,
                           void (*body)(void*) = nullptr, void* arg = nullptr) {
  return zra_sim_traced_call(domain, cbid, name, body, arg);
}
template <typename F>
uint64_t TracedCall(uint32_t domain, uint32_t cbid, const char* name, F&& body) {
  using Body = std::remove_reference_t<F>;
  return zra_sim_traced_call(
      domain, cbid, name, [](void* f) { (*static_cast<Body*>(f))(); }, &body);
}

}  // namespace zra_sim

#endif  // ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CONTROL_H_
