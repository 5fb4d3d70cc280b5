#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_KERNEL_STATS_DB_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_KERNEL_STATS_DB_H_

// Kernel reports: every distinct device kernel of a run, summed over its
// occurrences. Nothing here fails or logs.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "trace/core/protobuf/kernel_stats.pb.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// A kernel's occurrences so far. Durations in nanoseconds.
struct KernelReportValue {
  uint64_t total_duration_ns = 0;
  uint64_t min_duration_ns = 0;
  uint64_t max_duration_ns = 0;
  uint64_t occurrences = 0;  // 0 only before the first occurrence
  // PmuData case with the summed counters, and the latest device facts.
  PmuInfo pmu_info;
};

// Only name and op_name identify a report.
struct KernelReportHash {
  size_t operator()(const KernelReport& report) const;
};
struct KernelReportEqual {
  bool operator()(const KernelReport& a, const KernelReport& b) const;
};

using KernelReportMap =
    std::unordered_map<KernelReport, KernelReportValue, KernelReportHash, KernelReportEqual>;

// Adds every kernel event of the device plane (an event with kernel_details
// lasting at least 1 ns) to `reports`, keyed by display name and op name.
void ConvertDeviceTraceXPlaneToKernelReports(const XPlane& plane, KernelReportMap* reports);

// Adds one occurrence of the kernel `key`.
void InsertOrUpdateKernelReport(const KernelReport& key, const KernelReportValue& value,
                                KernelReportMap* reports);

// Appends one report per kernel, largest total duration first (ties by name,
// then op name), with the counters averaged per occurrence.
void CopyKernelReportsToDb(const KernelReportMap& reports, KernelStatsDb* db);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_KERNEL_STATS_DB_H_
