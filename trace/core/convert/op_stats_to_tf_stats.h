#ifndef ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_TF_STATS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_TF_STATS_H_

// The ranked framework-op tables of the tool "op_stats". Nothing here fails
// or logs; inputs are only read.

#include <cstdint>
#include <vector>

#include "trace/core/protobuf/op_metrics.pb.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/tf_stats.pb.h"

namespace zentrik {
namespace trace {

// Both tables (with and without idle time) of the run's device kernels,
// grouped by framework op, followed by its host ops, and the device type.
TfStatsDatabase ConvertOpStatsToTfStats(const OpStats& op_stats);

// One table: up to 500 device ops, then up to 500 host ops, each side by
// descending self time, ranked from 1; device records then take the averaged
// second PMU set, flags and data type of the host record of the same op name.
TfStatsTable GenerateTfStatsTable(const OpMetricsDb& host_db, const OpMetricsDb& device_tf_db,
                                  bool exclude_idle);

// The record of one op, times in microseconds and PMU counters averaged per
// occurrence; rank and fractions left 0.
TfStatsRecord ConvertOpMetricsToTfStatsRecord(bool on_device, const OpMetrics& metrics);

// Pointers to the database's entries by descending self time, ties by name.
// With `max_records` not -1 (and smaller than the entry count) only the first
// `max_records` entries of that order are kept. A negative
// `max_records` other than -1 counts as -1. The pointers live as long as
// `db`.
std::vector<const OpMetrics*> SortedOpMetricsDb(const OpMetricsDb& db, int32_t max_records);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_TF_STATS_H_
