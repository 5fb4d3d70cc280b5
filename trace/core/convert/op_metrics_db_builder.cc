#include "trace/core/convert/op_metrics_db_builder.h"

#include <algorithm>

#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/qx_op_utils.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kUnknownDeviceCategory[] = "unknown";
constexpr char kUnknownOpType[] = "Unknown";

bool HasNoCounterValue(const PmuData& data) {
  return (data.io_dma_write_bytes() & data.io_dma_read_bytes() & data.tlb_write_access() &
          data.tlb_read_access() & data.tlb_write_miss() & data.tlb_read_miss() &
          data.lt_cycles() & data.ct_cycles() & data.alu_cycles() & data.csimd_pre_cycles() &
          data.csimd_post_cycles() & data.dram_read_cycles() & data.dram_write_cycles() &
          data.field14() & data.mac_ops() & data.vector_ops()) == kPmuNoValue;
}

// Adds `add`'s counters into `sum` in place, as AddPmuData does: a counter
// without a value on either side has none in the sum. Hot path: runs for
// every op occurrence.
void AddPmuCountersInPlace(const PmuData& add, PmuData* sum) {
  // A sum without any value stays so: the occurrence's counters, which lie
  // apart from the event in memory, are then not read at all.
  if (HasNoCounterValue(*sum)) return;
  const auto plus = [](uint64_t a, uint64_t b) {
    return a == kPmuNoValue || b == kPmuNoValue ? kPmuNoValue : a + b;
  };
#define ZENTRIK_ADD_COUNTER(name) sum->set_##name(plus(sum->name(), add.name()))
  ZENTRIK_ADD_COUNTER(io_dma_write_bytes);
  ZENTRIK_ADD_COUNTER(io_dma_read_bytes);
  ZENTRIK_ADD_COUNTER(tlb_write_access);
  ZENTRIK_ADD_COUNTER(tlb_read_access);
  ZENTRIK_ADD_COUNTER(tlb_write_miss);
  ZENTRIK_ADD_COUNTER(tlb_read_miss);
  ZENTRIK_ADD_COUNTER(lt_cycles);
  ZENTRIK_ADD_COUNTER(ct_cycles);
  ZENTRIK_ADD_COUNTER(alu_cycles);
  ZENTRIK_ADD_COUNTER(csimd_pre_cycles);
  ZENTRIK_ADD_COUNTER(csimd_post_cycles);
  ZENTRIK_ADD_COUNTER(dram_read_cycles);
  ZENTRIK_ADD_COUNTER(dram_write_cycles);
  ZENTRIK_ADD_COUNTER(field14);
  ZENTRIK_ADD_COUNTER(mac_ops);
  ZENTRIK_ADD_COUNTER(vector_ops);
#undef ZENTRIK_ADD_COUNTER
}

// Sums the occurrence's counters into the entry's and takes its device facts.
// An entry that once lacked a counter keeps lacking it.
void AccumulatePmuInfo(const PmuData* occurrence, const DeviceInfo* device, PmuInfo* entry) {
  // Zeros when the entry held averages.
  AddPmuCountersInPlace(occurrence != nullptr ? *occurrence : PmuData::default_instance(),
                        entry->mutable_pmu_data());
  CopyDeviceInfo(device != nullptr ? *device : DeviceInfo::default_instance(),
                 entry->mutable_device_info());
}

// Sums the source's counters (zeros when it holds none) into the target's.
void AddPmuCounters(const PmuInfo& src, PmuInfo* target) {
  AddPmuCountersInPlace(src.pmu_data(), target->mutable_pmu_data());
}

void CopyPmuFlags(const OpMetrics& src, OpMetrics* target) {
  target->set_has_pmu_flag(src.has_pmu_flag());
  target->set_pmu_data_flag(src.pmu_data_flag());
  target->set_second_pmu_data_flag(src.second_pmu_data_flag());
}

void SetIfEmpty(std::string* target, const std::string& value) {
  if (target->empty()) *target = value;
}

void MergeTextFields(const OpMetrics& src, OpMetrics* target) {
  SetIfEmpty(target->mutable_long_name(), src.long_name());
  SetIfEmpty(target->mutable_category(), src.category());
  SetIfEmpty(target->mutable_provenance(), src.provenance());
  // Copied whole: merging would fold children of one name into one entry.
  if (!target->has_children() && src.has_children()) *target->mutable_children() = src.children();
  SetIfEmpty(target->mutable_data_type(), src.data_type());
  SetIfEmpty(target->mutable_model_id(), src.model_id());
}

void MergeValues(const OpMetrics& src, OpMetrics* target) {
  if (target->occurrences() != 0) {
    target->set_merged_minimum(std::min(target->merged_minimum(), src.merged_minimum()));
    AddPmuCounters(src.pmu_info(), target->mutable_pmu_info());
    AddPmuCounters(src.second_pmu_info(), target->mutable_second_pmu_info());
  } else {
    target->set_merged_minimum(src.merged_minimum());
    CopyPmuInfoData(src.pmu_info(), target->mutable_pmu_info(), /*average=*/false);
    CopyPmuInfoData(src.second_pmu_info(), target->mutable_second_pmu_info(), /*average=*/false);
  }
  target->set_occurrences(target->occurrences() + src.occurrences());
  target->set_time_ps(target->time_ps() + src.time_ps());
  target->set_self_time_ps(target->self_time_ps() + src.self_time_ps());
  CopyPmuFlags(src, target);
}

}  // namespace

EventPmuRecord MakeEventPmuRecord(const XEvent& event) {
  return EventPmuRecord{event.pmu_data_flag(), event.second_pmu_data_flag(), &event.pmu_data(),
                        &event.second_pmu_data(), &event.device_info()};
}

OpMetricsDbBuilder::OpMetricsDbBuilder(OpMetricsDb* db) : db_(db) {}

OpMetrics* OpMetricsDbBuilder::LookupOrInsertNewOpMetrics(const std::string& key,
                                                          const std::string& name) {
  OpMetrics*& entry = op_metrics_map_[key];
  if (entry == nullptr) {
    entry = db_->add_metrics();
    entry->set_name(name.empty() ? key : name);
  }
  return entry;
}

OpMetrics* OpMetricsDbBuilder::EnterTimes(OpMetrics* entry, uint32_t occurrences, uint64_t time_ps,
                                          uint64_t children_time_ps, const EventPmuRecord& pmu) {
  // Children reported longer than their parent would wrap the self time round
  // to nearly 2^64; such an occurrence has no time of its own.
  const uint64_t self_ps = time_ps > children_time_ps ? time_ps - children_time_ps : 0;
  entry->set_self_time_ps(entry->self_time_ps() + self_ps);
  entry->set_time_ps(entry->time_ps() + time_ps);
  entry->set_occurrences(entry->occurrences() + occurrences);
  entry->set_has_pmu_flag(pmu.pmu_data_flag || pmu.second_pmu_data_flag);
  entry->set_pmu_data_flag(pmu.pmu_data_flag);
  entry->set_second_pmu_data_flag(pmu.second_pmu_data_flag);
  AccumulatePmuInfo(pmu.pmu_data, pmu.device_info, entry->mutable_pmu_info());
  AccumulatePmuInfo(pmu.second_pmu_data, pmu.device_info, entry->mutable_second_pmu_info());
  db_->set_total_op_time_ps(db_->total_op_time_ps() + self_ps);
  return entry;
}

void OpMetricsDbBuilder::EnterOp(const std::string& name, const std::string& category,
                                 uint64_t time_ps, uint64_t children_time_ps,
                                 const std::string& data_type, const std::string& model_id,
                                 const EventPmuRecord& pmu) {
  EnterOp(LookupOrInsertNewOpMetrics(name, ""), category, time_ps, children_time_ps, data_type,
          model_id, pmu);
}

void OpMetricsDbBuilder::EnterOp(OpMetrics* entry, const std::string& category, uint64_t time_ps,
                                 uint64_t children_time_ps, const std::string& data_type,
                                 const std::string& model_id, const EventPmuRecord& pmu) {
  EnterTimes(entry, 1, time_ps, children_time_ps, pmu);
  SetIfEmpty(entry->mutable_category(), category);
  entry->set_data_type(data_type);
  entry->set_model_id(model_id);
}

void OpMetricsDbBuilder::EnterDeviceOp(const std::string& name, const std::string& category,
                                       const std::string& provenance, uint32_t occurrences,
                                       uint64_t time_ps, uint64_t children_time_ps,
                                       const std::string& data_type, const EventPmuRecord& pmu) {
  OpMetrics* entry =
      EnterTimes(LookupOrInsertNewOpMetrics(name, ""), occurrences, time_ps, children_time_ps, pmu);
  SetIfEmpty(entry->mutable_category(), category.empty() ? kUnknownDeviceCategory : category);
  SetIfEmpty(entry->mutable_provenance(), provenance);
  entry->set_data_type(data_type);
}

void OpMetricsDbBuilder::Combine(const OpMetricsDb& src) {
  db_->set_total_time_ps(db_->total_time_ps() + src.total_time_ps());
  db_->set_total_op_time_ps(db_->total_op_time_ps() + src.total_op_time_ps());
  for (const OpMetrics& src_entry : src.metrics()) {
    OpMetrics* target = LookupOrInsertNewOpMetrics(src_entry.name(), "");
    MergeTextFields(src_entry, target);
    MergeValues(src_entry, target);
  }
}

uint64_t IdleTimePs(const OpMetricsDb& db) {
  return db.total_time_ps() > db.total_op_time_ps() ? db.total_time_ps() - db.total_op_time_ps()
                                                    : 0;
}

void AddIdleOp(OpMetricsDb* db) {
  const uint64_t idle_ps = IdleTimePs(*db);
  OpMetrics* idle = db->add_metrics();
  idle->set_name(kIdleOpName);
  idle->set_category(kIdleOpName);
  idle->set_occurrences(0);
  idle->set_time_ps(idle_ps);
  idle->set_self_time_ps(idle_ps);
}

OpMetricsDb CreateTfMetricsDbFromDeviceOpMetricsDb(const OpMetricsDb& device_db, bool with_idle) {
  OpMetricsDb result;
  OpMetricsDbBuilder builder(&result);
  for (const OpMetrics& kernel : device_db.metrics()) {
    std::string key;
    std::string name;
    std::string category;
    if (kernel.name() == kIdleOpName) {
      if (!with_idle) continue;
      key = std::string(kIdleOpName) + ":" + kIdleOpName;
      name = category = kIdleOpName;
    } else if (!kernel.provenance().empty()) {
      QxOp op = ParseQxOpFullname(kernel.provenance(), false);
      key = op.name + ":" + op.type;
      name = op.name;
      category = op.type.empty() ? kUnknownOpType : op.type;
    } else {
      key = kernel.name() + ":";
      name = kernel.name();
      category = kUnknownOpType;
    }
    OpMetrics* entry = builder.LookupOrInsertNewOpMetrics(key, name);
    SetIfEmpty(entry->mutable_category(), category);
    entry->set_occurrences(std::max(entry->occurrences(), kernel.occurrences()));
    entry->set_time_ps(entry->time_ps() + kernel.time_ps());
    entry->set_self_time_ps(entry->self_time_ps() + kernel.self_time_ps());
    entry->set_data_type(kernel.data_type());
    CopyPmuFlags(kernel, entry);
    CopyPmuInfoData(kernel.pmu_info(), entry->mutable_pmu_info(), /*average=*/false);
    CopyPmuInfoData(kernel.second_pmu_info(), entry->mutable_second_pmu_info(),
                    /*average=*/false);
  }
  result.set_total_op_time_ps(device_db.total_op_time_ps());
  result.set_total_time_ps(with_idle ? device_db.total_time_ps() : device_db.total_op_time_ps());
  return result;
}

}  // namespace trace
}  // namespace zentrik
