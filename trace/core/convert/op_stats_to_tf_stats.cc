#include "trace/core/convert/op_stats_to_tf_stats.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "trace/core/convert/op_metrics_db_builder.h"
#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/qx_op_utils.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int32_t kMaxRecordsPerSide = 500;
constexpr double kPsPerUs = 1e6;
constexpr double kZeroGuard = 1e-10;
constexpr char kDeviceSide[] = "Device";
constexpr char kHostSide[] = "Host";

bool IsZero(double value) { return value > -kZeroGuard && value < kZeroGuard; }

double SafeDivide(double numerator, double denominator) {
  return IsZero(denominator) ? 0.0 : numerator / denominator;
}

// Appends the side's ops to `table`, continuing ranks and running totals from
// `previous`.
void AddSide(const OpMetricsDb& db, bool on_device, bool exclude_idle, TfStatsRecord* previous,
             TfStatsTable* table) {
  uint64_t total_ps = db.total_time_ps();
  if (exclude_idle) total_ps -= IdleTimePs(db);
  const double total_us = static_cast<double>(total_ps) / kPsPerUs;
  for (const OpMetrics* metrics : SortedOpMetricsDb(db, kMaxRecordsPerSide)) {
    if (exclude_idle && metrics->name() == kIdleOpName) continue;
    TfStatsRecord record = ConvertOpMetricsToTfStatsRecord(on_device, *metrics);
    record.set_rank(previous->rank() + 1);
    const double fraction = SafeDivide(record.self_time_us(), total_us);
    if (on_device) {
      record.set_device_self_time_fraction(fraction);
      record.set_device_cumulative_self_time_fraction(
          fraction + previous->device_cumulative_self_time_fraction());
    } else {
      record.set_host_self_time_fraction(fraction);
      record.set_host_cumulative_self_time_fraction(fraction +
                                                    previous->host_cumulative_self_time_fraction());
    }
    table->set_model_id(metrics->model_id());
    *previous = record;
    *table->add_records() = std::move(record);
  }
}

// Device records take the averaged second PMU set, flags and data type of the
// last host record of the same op name (defaults when there is none).
void HandHostPmuToDevice(TfStatsTable* table) {
  std::map<std::string, PmuInfo> pmu_infos;
  std::map<std::string, bool> second_pmu_data_flags;
  std::map<std::string, bool> has_pmu_flags;
  std::map<std::string, std::string> data_types;
  for (const TfStatsRecord& record : table->records()) {
    if (record.host_or_device() != kHostSide) continue;
    CopyPmuInfoData(record.second_pmu_info(), &pmu_infos[record.op_name()], /*average=*/true);
    second_pmu_data_flags[record.op_name()] = record.second_pmu_data_flag();
    has_pmu_flags[record.op_name()] = record.has_pmu_flag();
    data_types[record.op_name()] = record.data_type();
  }
  for (TfStatsRecord& record : *table->mutable_records()) {
    if (record.host_or_device() != kDeviceSide) continue;
    CopyPmuInfoData(pmu_infos[record.op_name()], record.mutable_second_pmu_info(),
                    /*average=*/true);
    CopyPmuUtilPeak(record.mutable_pmu_info(), record.second_pmu_info());
    record.set_second_pmu_data_flag(second_pmu_data_flags[record.op_name()]);
    record.set_has_pmu_flag(has_pmu_flags[record.op_name()]);
    record.set_data_type(data_types[record.op_name()]);
  }
}

}  // namespace

TfStatsDatabase ConvertOpStatsToTfStats(const OpStats& op_stats) {
  const OpMetricsDb& host_db = op_stats.host_op_metrics_db();
  const OpMetricsDb device_tf_db =
      CreateTfMetricsDbFromDeviceOpMetricsDb(op_stats.device_op_metrics_db(), /*with_idle=*/true);
  TfStatsDatabase database;
  *database.mutable_table_with_idle() = GenerateTfStatsTable(host_db, device_tf_db, false);
  *database.mutable_table_without_idle() = GenerateTfStatsTable(host_db, device_tf_db, true);
  database.set_device_type(op_stats.run_environment().device_type());
  return database;
}

TfStatsTable GenerateTfStatsTable(const OpMetricsDb& host_db, const OpMetricsDb& device_tf_db,
                                  bool exclude_idle) {
  TfStatsTable table;
  TfStatsRecord previous;
  AddSide(device_tf_db, /*on_device=*/true, exclude_idle, &previous, &table);
  AddSide(host_db, /*on_device=*/false, exclude_idle, &previous, &table);
  HandHostPmuToDevice(&table);
  return table;
}

TfStatsRecord ConvertOpMetricsToTfStatsRecord(bool on_device, const OpMetrics& metrics) {
  TfStatsRecord record;
  record.set_host_or_device(on_device ? kDeviceSide : kHostSide);
  record.set_op_type(metrics.category());
  record.set_op_name(ParseQxOpFullname(metrics.name(), false).name);
  record.set_data_type(metrics.data_type());
  record.set_occurrences(metrics.occurrences());
  record.set_total_time_us(static_cast<double>(metrics.time_ps()) / kPsPerUs);
  record.set_self_time_us(static_cast<double>(metrics.self_time_ps()) / kPsPerUs);
  const double occurrences = metrics.occurrences();
  record.set_avg_time_us(SafeDivide(record.total_time_us(), occurrences));
  record.set_avg_self_time_us(SafeDivide(record.self_time_us(), occurrences));
  record.set_has_pmu_flag(metrics.has_pmu_flag());
  record.set_pmu_data_flag(metrics.pmu_data_flag());
  record.set_second_pmu_data_flag(metrics.second_pmu_data_flag());

  // The second set is read against the running time of the first.
  PmuInfo second = metrics.second_pmu_info();
  const uint64_t field14 =
      metrics.pmu_info().has_pmu_data() ? metrics.pmu_info().pmu_data().field14() : 0;
  second.mutable_pmu_data()->set_field14(field14);
  MergePmuInfo(record.mutable_pmu_info(), metrics.pmu_info(), metrics.occurrences());
  MergePmuInfo(record.mutable_second_pmu_info(), second, metrics.occurrences());
  SetPmuInfoCountToOne(record.mutable_pmu_info());
  SetPmuInfoCountToOne(record.mutable_second_pmu_info());
  CopyPmuUtilPeak(record.mutable_pmu_info(), record.second_pmu_info());
  return record;
}

std::vector<const OpMetrics*> SortedOpMetricsDb(const OpMetricsDb& db, int32_t max_records) {
  std::vector<const OpMetrics*> sorted;
  sorted.reserve(db.metrics_size());
  for (const OpMetrics& metrics : db.metrics()) sorted.push_back(&metrics);
  const auto before = [](const OpMetrics* a, const OpMetrics* b) {
    if (a->self_time_ps() != b->self_time_ps()) return a->self_time_ps() > b->self_time_ps();
    return a->name() < b->name();
  };
  // A limited table keeps the ops of largest self time, wherever they stand
  // in the database.
  if (max_records >= 0 && static_cast<size_t>(max_records) < sorted.size()) {
    const auto kept = sorted.begin() + max_records;
    std::partial_sort(sorted.begin(), kept, sorted.end(), before);
    sorted.erase(kept, sorted.end());
    return sorted;
  }
  std::sort(sorted.begin(), sorted.end(), before);
  return sorted;
}

}  // namespace trace
}  // namespace zentrik
