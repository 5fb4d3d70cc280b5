#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_EVENT_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_EVENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zentrik {
namespace trace {

// All bits set: "no value" for ids, annotation ids and PMU counter slots.
constexpr uint32_t kDravikNoId32 = ~uint32_t{0};
constexpr uint64_t kDravikNoValue64 = ~uint64_t{0};

enum DravikTracerEventType : int32_t {
  kKernel = 1,
  kMemcpy = 2,
  kMemcpyPeer = 3,
  kMemoryAlloc = 4,
  kMemset = 5,
  kOverhead = 6,
  kNotifier = 7,
  kAtomicOperation = 8,
  kGeneric = 100,
};

enum DravikTracerEventSource : int32_t {
  kApiCallback = 0,
  kActivity = 1,
};

// The profiling library's counter behind each slot of KernelPmuCounters; slot
// 13 has none.
constexpr std::string_view kKernelPmuCounterNames[15] = {
    "tp_core__write_bytes",      "tp_core__read_bytes",        "tp_core__tlb_write_access",
    "tp_core__tlb_read_access",  "tp_core__tlb_write_miss",    "tp_core__tlb_read_miss",
    "tp_core__lt_cycles",        "tp_core__alu_cycles",        "tp_core__csimd_pre_cycles",
    "tp_core__csimd_post_cycles", "tp_core__dram_read_cycles", "tp_core__dram_write_cycles",
    "",                          "tp_memcore__write_bytes",    "tp_memcore__read_bytes"};

// The increases of the device PMU counters across one kernel launch. Sixteen
// 64-bit words: the valid flag, then fifteen counter slots (all ones = no
// value). Slot 13 (counters[12]) is filled by no counter: the export stores
// the kernel's duration there.
struct KernelPmuCounters {
  static constexpr int kSlots = 15;
  static constexpr int kDurationSlot = 12;

  alignas(8) bool valid = false;
  uint64_t counters[kSlots] = {kDravikNoValue64, kDravikNoValue64, kDravikNoValue64,
                               kDravikNoValue64, kDravikNoValue64, kDravikNoValue64,
                               kDravikNoValue64, kDravikNoValue64, kDravikNoValue64,
                               kDravikNoValue64, kDravikNoValue64, kDravikNoValue64,
                               kDravikNoValue64, kDravikNoValue64, kDravikNoValue64};

  // The slot index that the profiling library's counter `name` fills, or -1
  // for a name that is none of the fourteen (and for null).
  static int SlotOfCounterName(const char* name);
};
static_assert(sizeof(KernelPmuCounters) == 16 * 8, "sixteen 64-bit words");

// The fields of one kind of activity; only the group of the record's type is
// meaningful.
struct KernelFields {
  uint64_t kernel_type;
  uint32_t dimx;
  uint32_t dimy;
  uint32_t dimz;
};
struct MemcpyFields {
  uint64_t bytes;
  uint32_t copy_kind;
  bool is_async;
};
struct MemsetFields {
  uint64_t bytes;
  uint64_t memset_value;
  bool is_async;
};
struct MemcpyPeerFields {
  uint64_t bytes;
  uint64_t src_device;
  uint64_t dst_device;
};
struct OverheadFields {
  uint32_t overhead_kind;
  uint32_t object_kind;
  uint64_t object_id[3];
};
struct NotifierFields {
  uint64_t notifier_id;
  uint32_t notifier_kind;
};
struct AtomicOperationFields {
  uint32_t atomic_request_type;
  uint32_t atomic_operation;
  uint64_t atomic_value;
};

// One device activity or one traced API call, from its producer (the activity
// parser or the API-exit hook) until the export. Made by NewDravikTracerEvent,
// owned by the collector once handed to AddEvent.
struct DravikTracerEvent {
  int32_t type = 0;    // DravikTracerEventType
  int32_t source = 0;  // DravikTracerEventSource
  std::string name;    // kernel name or API function name
  uint64_t start_time_ns = 0;
  uint64_t end_time_ns = 0;
  uint64_t received_time_ns = 0;
  uint64_t queued_time_ns = 0;
  uint64_t submitted_time_ns = 0;
  uint64_t api_enter_time_ns = 0;
  uint32_t device_id = kDravikNoId32;
  uint32_t thread_id = kDravikNoId32;
  uint32_t queue_id = kDravikNoId32;
  uint32_t aux_id = kDravikNoId32;
  uint32_t correlation_id = kDravikNoId32;
  uint64_t annotation_id = kDravikNoValue64;
  KernelPmuCounters pmu;
  uint64_t cluster_count = 0;
  // The kind-specific groups share one storage; zeroed with the record, so a
  // group that its producer does not fill reads as zeros.
  union {
    KernelFields kernel;
    MemcpyFields memcpy;
    MemsetFields memset;
    MemcpyPeerFields memcpy_peer;
    OverheadFields overhead;
    NotifierFields notifier;
    AtomicOperationFields atomic;
  };

  DravikTracerEvent() : overhead{} {}
};

// A new record with every field zeroed, then the presets applied: empty name,
// all-ones ids and annotation id, `pmu.valid` false with all-ones counters.
// May throw std::bad_alloc.
std::unique_ptr<DravikTracerEvent> NewDravikTracerEvent(DravikTracerEventType type,
                                                        DravikTracerEventSource source);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_TRACER_EVENT_H_
