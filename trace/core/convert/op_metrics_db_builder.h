#ifndef ZENTRIK_TRACE_CORE_CONVERT_OP_METRICS_DB_BUILDER_H_
#define ZENTRIK_TRACE_CORE_CONVERT_OP_METRICS_DB_BUILDER_H_

// Accumulating per-operation metrics into an OpMetricsDb. Nothing here fails
// or logs; a builder and its database belong to one thread at a time.

#include <cstdint>
#include <map>
#include <string>

#include "trace/core/protobuf/op_metrics.pb.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Name and category of the idle entry of every op-metrics database.
inline constexpr char kIdleOpName[] = "IDLE";

// The PMU input of one occurrence, pointing into the event it came from;
// null counters or device facts read as zeros.
struct EventPmuRecord {
  bool pmu_data_flag = false;
  bool second_pmu_data_flag = false;
  const PmuData* pmu_data = nullptr;
  const PmuData* second_pmu_data = nullptr;
  const DeviceInfo* device_info = nullptr;
};

// The record of `event`: its flags, both counter sets and its device facts.
EventPmuRecord MakeEventPmuRecord(const XEvent& event);

// One entry per key in a database it does not own. The database must outlive
// the builder and not be cleared while the builder is in use.
class OpMetricsDbBuilder {
 public:
  explicit OpMetricsDbBuilder(OpMetricsDb* db);

  // The entry for `key`, created (named `name`, or `key` when `name` is
  // empty) when absent.
  OpMetrics* LookupOrInsertNewOpMetrics(const std::string& key, const std::string& name);

  // One host op occurrence; the entry is keyed and named by `name`. Times in
  // picoseconds.
  void EnterOp(const std::string& name, const std::string& category, uint64_t time_ps,
               uint64_t children_time_ps, const std::string& data_type, const std::string& model_id,
               const EventPmuRecord& pmu);
  // The same into an entry of this builder found before, which spares the
  // lookup by name.
  void EnterOp(OpMetrics* entry, const std::string& category, uint64_t time_ps,
               uint64_t children_time_ps, const std::string& data_type, const std::string& model_id,
               const EventPmuRecord& pmu);

  // `occurrences` device kernel or op occurrences; an empty category is
  // stored as "unknown".
  void EnterDeviceOp(const std::string& name, const std::string& category,
                     const std::string& provenance, uint32_t occurrences, uint64_t time_ps,
                     uint64_t children_time_ps, const std::string& data_type,
                     const EventPmuRecord& pmu);

  // Merges a whole database: totals added, entries merged by name.
  void Combine(const OpMetricsDb& src);

 private:
  OpMetrics* EnterTimes(OpMetrics* entry, uint32_t occurrences, uint64_t time_ps,
                        uint64_t children_time_ps, const EventPmuRecord& pmu);

  std::map<std::string, OpMetrics*> op_metrics_map_;
  OpMetricsDb* db_;
};

// total_time_ps - total_op_time_ps, or 0 when the op time is not smaller.
uint64_t IdleTimePs(const OpMetricsDb& db);

// Appends the "IDLE" entry holding the idle time, with no occurrences.
void AddIdleOp(OpMetricsDb* db);

// Regroups a device database by the framework op that launched each kernel
// (parsed from the provenance). Without `with_idle` the idle entry is left
// out and total_time_ps is the op time.
OpMetricsDb CreateTfMetricsDbFromDeviceOpMetricsDb(const OpMetricsDb& device_db, bool with_idle);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_OP_METRICS_DB_BUILDER_H_
