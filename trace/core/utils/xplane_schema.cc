#include "trace/core/utils/xplane_schema.h"

#include <iterator>
#include <utility>

namespace zentrik {
namespace trace {
namespace {

template <typename Type>
struct TypeName {
  std::string_view name;
  Type type;
};

constexpr TypeName<HostEventType> kHostEventTypeNames[] = {
    {"UnknownHostEventType", UnknownHostEventType},
    {"MemoryAllocation", MemoryAllocation},
    {"MemoryDeallocation", MemoryDeallocation},
    {"TaskLaunch", TaskLaunch},
    {"TaskExecute", TaskExecute},
};

constexpr TypeName<StatType> kStatTypeNames[] = {
    {"UnknownStatType", UnknownStatType},
    {"id", id},
    {"allocator_name", allocator_name},
    {"bytes_reserved", bytes_reserved},
    {"bytes_allocated", bytes_allocated},
    {"bytes_available", bytes_available},
    {"fragmentation", fragmentation},
    {"peak_bytes_in_use", peak_bytes_in_use},
    {"requested_bytes", requested_bytes},
    {"allocation_bytes", allocation_bytes},
    {"addr", addr},
    {"region_type", region_type},
    {"data_type", data_type},
    {"shape", shape},
    {"_r", _r},
    {"device_id", device_id},
    {"context_id", context_id},
    {"correlation_id", correlation_id},
    {"memcpy_details", memcpy_details},
    {"size", size},
    {"async", async},
    {"direction", direction},
    {"src_device", src_device},
    {"dst_device", dst_device},
    {"memset_value", memset_value},
    {"memalloc_details", memalloc_details},
    {"kernel_details", kernel_details},
    {"received_queued", received_queued},
    {"queued_submitted", queued_submitted},
    {"submitted_start", submitted_start},
    {"kernel_type", kernel_type},
    {"dimx", dimx},
    {"dimy", dimy},
    {"dimz", dimz},
    {"notifier_id", notifier_id},
    {"atomic_flag", atomic_flag},
    {"atomic_value", atomic_value},
    {"flow_event_cat", flow_event_cat},
    {"group_id", group_id},
    {"step_name", step_name},
    {"op_fullname", op_fullname},
    {"tf_op", tf_op},
    {"traceme_correlation_id", traceme_correlation_id},
    {"traceme_flag", traceme_flag},
    {"launch_cpu", launch_cpu},
    {"launch_zra", launch_zra},
    {"execute_cpu", execute_cpu},
    {"model_id", model_id},
    {"mac_ops", mac_ops},
    {"read_bytes", read_bytes},
    {"write_bytes", write_bytes},
    {"vector_ops", vector_ops},
    {"batch_size", batch_size},
};

// Every value appears once, in value order, so no name is lost or shadowed.
template <typename Type, size_t N>
constexpr bool RowsFollowValues(const TypeName<Type> (&rows)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(rows[i].type) != i) return false;
  }
  return true;
}
static_assert(std::size(kHostEventTypeNames) == 5 && RowsFollowValues(kHostEventTypeNames));
static_assert(std::size(kStatTypeNames) == 53 && RowsFollowValues(kStatTypeNames));

template <typename Type, size_t N>
const std::map<std::string, Type>* BuildNameMap(const TypeName<Type> (&rows)[N]) {
  auto* map = new std::map<std::string, Type>;
  for (const auto& row : rows) map->emplace(std::string(row.name), row.type);
  return map;
}

template <typename Type>
std::unique_ptr<int64_t> FindType(const std::map<std::string, Type>& map, const std::string& name) {
  const auto it = map.find(name);
  if (it == map.end()) return nullptr;
  return std::make_unique<int64_t>(it->second);
}

}  // namespace

const std::map<std::string, HostEventType>& GetHostEventTypeMap() {
  static const auto* const map = BuildNameMap(kHostEventTypeNames);
  return *map;
}

const std::map<std::string, StatType>& GetStatTypeMap() {
  static const auto* const map = BuildNameMap(kStatTypeNames);
  return *map;
}

std::unique_ptr<int64_t> FindHostEventType(std::string name) {
  return FindType(GetHostEventTypeMap(), name);
}

std::unique_ptr<int64_t> FindStatType(std::string name) { return FindType(GetStatTypeMap(), name); }

std::string GetStatTypeStr(StatType type) {
  static const auto* const names = [] {
    auto* reverse = new std::map<StatType, std::string>;
    for (const auto& [name, value] : GetStatTypeMap()) (*reverse)[value] = name;
    return reverse;
  }();
  return names->at(type);
}

bool IsInternalEvent(int64_t type) {
  switch (type) {
    case MemoryAllocation:
    case MemoryDeallocation:
      return true;
    default:
      return false;
  }
}

bool IsInternalStat(int64_t type) {
  switch (type) {
    case _r:
    case kernel_details:
    case traceme_flag:
    case model_id:
    case mac_ops:
    case read_bytes:
    case write_bytes:
    case vector_ops:
      return true;
    default:
      return false;
  }
}

std::string_view GetDeviceModelName(int32_t zra_type) {
  for (const DeviceModel& model : kDeviceModelTable) {
    if (model.type == zra_type) return model.name;
  }
  // The last row names every device outside the table.
  return kDeviceModelTable[std::size(kDeviceModelTable) - 1].name;
}

}  // namespace trace
}  // namespace zentrik
