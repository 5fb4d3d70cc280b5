#include "trace/core/convert/xplane_to_kernel_stats_db.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/qx_op_utils.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {
namespace {

using ReportEntry = std::pair<const KernelReport*, const KernelReportValue*>;

bool KernelReportLess(const KernelReport& a, const KernelReport& b) {
  if (a.name() != b.name()) return a.name() < b.name();
  return a.op_name() < b.op_name();
}

// Whole nanoseconds of a duration; a negative duration (a broken trace) is 0
// rather than an out-of-range conversion.
uint64_t DurationNs(int64_t duration_ps) {
  if (duration_ps <= 0) return 0;
  return static_cast<uint64_t>(static_cast<double>(duration_ps) / 1000.0);
}

}  // namespace

size_t KernelReportHash::operator()(const KernelReport& report) const {
  const uint64_t name_hash = std::hash<std::string>()(report.name());
  const uint64_t op_hash = std::hash<std::string>()(report.op_name());
  return static_cast<size_t>(name_hash + op_hash);
}

bool KernelReportEqual::operator()(const KernelReport& a, const KernelReport& b) const {
  return a.name() == b.name() && a.op_name() == b.op_name();
}

void ConvertDeviceTraceXPlaneToKernelReports(const XPlane& plane, KernelReportMap* reports) {
  const XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
  for (const XLine& line : plane.lines()) {
    if (IsDerivedLineId(line.id())) continue;
    for (const XEvent& raw_event : line.events()) {
      const XEventVisitor event(&visitor, &line, &raw_event);
      KernelReport key;
      std::string op_fullname;
      event.ForEachStat([&](const XStatVisitor& stat) {
        if (stat.Type() == StatType::kernel_details) {
          key.set_name(event.DisplayName());
          const uint64_t duration_ns = DurationNs(raw_event.duration_ps());
          key.set_total_duration_ns(duration_ns);
          key.set_min_duration_ns(duration_ns);
          key.set_max_duration_ns(duration_ns);
        } else if (stat.Type() == StatType::op_fullname || stat.Type() == StatType::tf_op) {
          op_fullname = stat.StrOrRefValue();
        }
      });
      if (key.total_duration_ns() == 0) continue;
      if (!op_fullname.empty()) key.set_op_name(ParseQxOpFullname(op_fullname, false).name);
      KernelReportValue value;
      value.total_duration_ns = value.min_duration_ns = value.max_duration_ns =
          key.total_duration_ns();
      value.occurrences = 1;
      CopyPmuCounters(raw_event.pmu_data(), value.pmu_info.mutable_pmu_data());
      CopyDeviceInfo(raw_event.device_info(), value.pmu_info.mutable_device_info());
      InsertOrUpdateKernelReport(key, value, reports);
    }
  }
}

void InsertOrUpdateKernelReport(const KernelReport& key, const KernelReportValue& value,
                                KernelReportMap* reports) {
  KernelReportValue& entry = (*reports)[key];
  if (entry.occurrences == 0) {
    entry.total_duration_ns = value.total_duration_ns;
    entry.min_duration_ns = value.min_duration_ns;
    entry.max_duration_ns = value.max_duration_ns;
    entry.occurrences = value.occurrences;
    entry.pmu_info = value.pmu_info;
    CopyPmuCounters(value.pmu_info.pmu_data(), entry.pmu_info.mutable_pmu_data());
    return;
  }
  entry.total_duration_ns += value.total_duration_ns;
  entry.min_duration_ns = std::min(entry.min_duration_ns, value.min_duration_ns);
  entry.max_duration_ns = std::max(entry.max_duration_ns, value.max_duration_ns);
  entry.occurrences += 1;
  PmuData* counters = entry.pmu_info.mutable_pmu_data();
  *counters = AddPmuData(value.pmu_info.pmu_data(), *counters);
  CopyDeviceInfo(value.pmu_info.device_info(), entry.pmu_info.mutable_device_info());
}

void CopyKernelReportsToDb(const KernelReportMap& reports, KernelStatsDb* db) {
  std::vector<ReportEntry> entries;
  entries.reserve(reports.size());
  for (const auto& [key, value] : reports) entries.emplace_back(&key, &value);
  std::sort(entries.begin(), entries.end(), [](const ReportEntry& a, const ReportEntry& b) {
    if (a.second->total_duration_ns != b.second->total_duration_ns) {
      return a.second->total_duration_ns > b.second->total_duration_ns;
    }
    return KernelReportLess(*a.first, *b.first);
  });
  for (const auto& [key, value] : entries) {
    KernelReport* report = db->add_reports();
    report->CopyFrom(*key);
    report->set_min_duration_ns(value->min_duration_ns);
    report->set_occurrences(static_cast<uint32_t>(value->occurrences));
    report->set_max_duration_ns(value->max_duration_ns);
    report->set_total_duration_ns(value->total_duration_ns);
    MergePmuInfo(report->mutable_pmu_info(), value->pmu_info, value->occurrences);
    SetPmuInfoCountToOne(report->mutable_pmu_info());
  }
}

}  // namespace trace
}  // namespace zentrik
