#include "trace/core/internal/zra/dravik_event_names.h"

#include <string_view>

namespace zentrik {
namespace trace {
namespace {

struct NamedValue {
  int64_t value;
  std::string_view name;
};

template <size_t N>
std::string Lookup(const NamedValue (&table)[N], int64_t value, std::string_view fallback) {
  for (const NamedValue& entry : table) {
    if (entry.value == value) return std::string(entry.name);
  }
  return std::string(fallback);
}

constexpr NamedValue kMemcpyKinds[] = {{1, "H2D"}, {2, "D2H"}, {3, "D2D"}, {4, "H2H"}, {5, "P2P"}};
constexpr NamedValue kEventTypes[] = {
    {kKernel, "Kernel"},     {kMemcpy, "Memcpy"},     {kMemcpyPeer, "MemcpyPeer"},
    {kMemoryAlloc, "MemoryAlloc"}, {kMemset, "Memset"}, {kOverhead, "Overhead"},
    {kNotifier, "Notifier"}, {kAtomicOperation, "AtomicOperation"}, {kGeneric, "Generic"}};
constexpr NamedValue kNotifierKinds[] = {{0, "Wait Notifier"}, {1, "Place Notifier"}};
constexpr NamedValue kAtomicRequestTypes[] = {{0, "Request Atomic Operation"},
                                              {1, "Compare Atomic Operation"}};
constexpr NamedValue kOverheadKinds[] = {{1, "Buffer Flush"}, {2, "DRAVIK Internal"}};
// Keyed by request type * 2^32 + operation.
constexpr int64_t AtomicKey(uint32_t request_type, uint32_t operation) {
  return (static_cast<int64_t>(request_type) << 32) | operation;
}
constexpr NamedValue kAtomicOperations[] = {
    {AtomicKey(0, 2), "Atomic Operation[ADD]"},   {AtomicKey(0, 3), "Atomic Operation[SET]"},
    {AtomicKey(0, 4), "Atomic Operation[CLEAR]"}, {AtomicKey(1, 0), "Atomic Operation[EQUAL]"},
    {AtomicKey(1, 1), "Atomic Operation[LESS_EQUAL]"}, {AtomicKey(1, 2), "Atomic Operation[LESS]"}};

// A core byte counter plus its memcore counterpart; all ones only when both
// have no value, so a missing part can never wrap the sum.
uint64_t AddByteCounters(uint64_t core, uint64_t memcore) {
  if (core == kDravikNoValue64) return memcore;
  if (memcore == kDravikNoValue64) return core;
  return core + memcore;
}

}  // namespace

std::string MemcpyKindName(uint32_t copy_kind) { return Lookup(kMemcpyKinds, copy_kind, "Unknow"); }

std::string DravikTracerEventTypeName(int32_t type) { return Lookup(kEventTypes, type, "Unknown"); }

std::string KernelShortName(const std::string& name) {
  if (name.empty()) return "unknown kernel";
  return name.substr(0, name.find('('));
}

std::string NotifierKindName(int32_t notifier_kind) {
  return Lookup(kNotifierKinds, notifier_kind, "Unknown Notifier");
}

std::string AtomicRequestTypeName(uint32_t request_type) {
  return Lookup(kAtomicRequestTypes, request_type, "");
}

std::string OverheadKindName(int32_t overhead_kind) {
  return Lookup(kOverheadKinds, overhead_kind, "DRAVIK Unknown");
}

std::string AtomicOperationName(uint32_t request_type, uint32_t operation) {
  return Lookup(kAtomicOperations, AtomicKey(request_type, operation), "");
}

std::string QueueDisplayName(int64_t queue_id, const std::set<std::string>& names) {
  std::string text = queue_id == 0 ? "Sync task" : "Queue #" + std::to_string(queue_id);
  if (names.empty()) return text;
  text += '(';
  for (const std::string& name : names) {
    text += name;
    text += ',';
  }
  text += ')';
  return text;
}

void FillPmuData(XEventBuilder* event, const KernelPmuCounters& pmu) {
  XEvent* xevent = event->mutable_event();
  xevent->set_pmu_data_flag(pmu.valid);
  PmuData* data = xevent->mutable_pmu_data();
  const uint64_t* slot = pmu.counters;
  data->set_io_dma_write_bytes(AddByteCounters(slot[0], slot[13]));
  data->set_io_dma_read_bytes(AddByteCounters(slot[1], slot[14]));
  data->set_tlb_write_access(slot[2]);
  data->set_tlb_read_access(slot[3]);
  data->set_tlb_write_miss(slot[4]);
  data->set_tlb_read_miss(slot[5]);
  data->set_lt_cycles(slot[6]);
  // The device has no counter of its own for this field; it shares the
  // post-processing SIMD counter.
  data->set_ct_cycles(slot[9]);
  data->set_alu_cycles(slot[7]);
  data->set_csimd_pre_cycles(slot[8]);
  data->set_csimd_post_cycles(slot[9]);
  data->set_dram_read_cycles(slot[10]);
  data->set_dram_write_cycles(slot[11]);
  data->set_field14(slot[KernelPmuCounters::kDurationSlot]);
  data->set_mac_ops(kDravikNoValue64);
}

void FillDeviceInfo(XEventBuilder* event, const DeviceAttributes& attributes) {
  DeviceInfo* info = event->mutable_event()->mutable_device_info();
  info->set_zra_type(static_cast<ZraType>(static_cast<int32_t>(attributes.device_type)));
  info->set_frequency(attributes.frequency);
  info->set_core_count(attributes.core_count);
  info->set_top_bandwidth(attributes.top_bandwidth);
  info->set_core_used(attributes.cores_used);
}

}  // namespace trace
}  // namespace zentrik
