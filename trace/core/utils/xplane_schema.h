#ifndef ZENTRIK_TRACE_CORE_UTILS_XPLANE_SCHEMA_H_
#define ZENTRIK_TRACE_CORE_UTILS_XPLANE_SCHEMA_H_

// The vocabulary every producer and reader of an XSpace shares: plane and line
// names, the derived-line id, the known host event and stat types, and the
// device models. Everything here is safe to use from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "trace/core/protobuf/pmu.pb.h"  // ZraType

namespace zentrik {
namespace trace {

// Name of the one host plane.
inline constexpr char kHostPlaneName[] = "/host:CPU";
// Device planes are named this prefix followed by the device number in decimal.
inline constexpr char kDevicePlanePrefix[] = "/device:ZRA:";
// Name of the derived step line of device planes.
inline constexpr char kStepLineName[] = "Steps";
// Id of derived lines. It is a signed 32-bit value, so XLine.id holds it
// sign-extended: -559038737, not 3735928559.
inline constexpr int32_t kDerivedLineId = static_cast<int32_t>(0xdeadbeefu);

// True when the low 32 bits of `line_id` are those of kDerivedLineId.
constexpr bool IsDerivedLineId(int64_t line_id) {
  return static_cast<uint32_t>(line_id) == static_cast<uint32_t>(kDerivedLineId);
}

// Known host event kinds; the enumerator names are the event metadata names.
enum HostEventType : int32_t {
  UnknownHostEventType = 0,
  MemoryAllocation = 1,
  MemoryDeallocation = 2,
  TaskLaunch = 3,
  TaskExecute = 4,
};

// Known stat kinds; the enumerator names are the stat metadata names. The
// values are fixed (stored traces carry only names, code compares numbers).
enum StatType : int32_t {
  UnknownStatType = 0,
  id = 1,
  allocator_name = 2,
  bytes_reserved = 3,
  bytes_allocated = 4,
  bytes_available = 5,
  fragmentation = 6,
  peak_bytes_in_use = 7,
  requested_bytes = 8,
  allocation_bytes = 9,
  addr = 10,
  region_type = 11,
  data_type = 12,
  shape = 13,
  _r = 14,
  device_id = 15,
  context_id = 16,
  correlation_id = 17,
  memcpy_details = 18,
  size = 19,
  async = 20,
  direction = 21,
  src_device = 22,
  dst_device = 23,
  memset_value = 24,
  memalloc_details = 25,
  kernel_details = 26,
  received_queued = 27,
  queued_submitted = 28,
  submitted_start = 29,
  kernel_type = 30,
  dimx = 31,
  dimy = 32,
  dimz = 33,
  notifier_id = 34,
  atomic_flag = 35,
  atomic_value = 36,
  flow_event_cat = 37,
  group_id = 38,
  step_name = 39,
  op_fullname = 40,
  tf_op = 41,
  traceme_correlation_id = 42,
  traceme_flag = 43,
  launch_cpu = 44,
  launch_zra = 45,
  execute_cpu = 46,
  model_id = 47,
  mac_ops = 48,
  read_bytes = 49,
  write_bytes = 50,
  vector_ops = 51,
  batch_size = 52,
};

// Name to type of every HostEventType, built on first use and never freed.
const std::map<std::string, HostEventType>& GetHostEventTypeMap();
// Name to type of every StatType, built on first use and never freed.
const std::map<std::string, StatType>& GetStatTypeMap();

// The type whose name equals `name` exactly (case-sensitive), or null. These
// are the type getters of the plane visitor.
std::unique_ptr<int64_t> FindHostEventType(std::string name);
std::unique_ptr<int64_t> FindStatType(std::string name);

// The name of `type`. Throws std::out_of_range ("map::at") for a value
// outside StatType; callers pass enumerators only.
std::string GetStatTypeStr(StatType type);

// Internal events and stats are left out of what the trace viewer shows.
bool IsInternalEvent(int64_t type);
bool IsInternalStat(int64_t type);

// One row of the device-model table.
struct DeviceModel {
  std::string_view name;
  ZraType type;
};

// The device models by name; the last row stands for every other device.
inline constexpr DeviceModel kDeviceModelTable[] = {
    {"EDG101", EDG101},          {"EDG102", EDG102}, {"ACC201", ACC201}, {"ACC202", ACC202},
    {"ACC203", ACC203},          {"ACC301", ACC301}, {"ACC302", ACC302}, {"ACC401", ACC401},
    {"ACC402", ACC402},          {"ACC403", ACC403}, {"ACC404", ACC404}, {"SOC501", SOC501},
    {"Unknown", UnknownZraType},
};

// The model name of `zra_type`; "Unknown" for any value outside the table,
// which a parsed trace may carry.
std::string_view GetDeviceModelName(int32_t zra_type);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XPLANE_SCHEMA_H_
