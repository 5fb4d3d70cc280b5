#include "trace/core/convert/step_events_to_zentrik_overview.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "common/platform/logging.h"
#include "common/utils/number_format.h"
#include "trace/core/utils/pmu_utils.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

using ThreadKey = std::pair<int64_t, int64_t>;   // (plane id, line id)
using Interval = std::pair<uint64_t, uint64_t>;  // (begin, duration)

// How a set of intervals (of one host thread or one device) spreads in time.
struct IntervalSummary {
  uint64_t total_duration_ps = 0;
  uint64_t earliest_begin_ps = 0;
  uint64_t latest_end_ps = 0;
  uint64_t max_duration_ps = 0;
  uint64_t count = 0;
  uint64_t max_gap_ps = 0;
  uint64_t total_gap_ps = 0;
  uint64_t gap_count = 0;
};

enum class Overlaps {
  kReport,  // host launches should not overlap; the reference interval stays
  kMerge,   // device work may; overlapping intervals become one
};

// Summarises `intervals` (not empty); nothing when they span no time.
std::optional<IntervalSummary> Summarise(std::vector<Interval> intervals, Overlaps overlaps) {
  std::sort(intervals.begin(), intervals.end());
  IntervalSummary summary;
  summary.count = intervals.size();
  summary.earliest_begin_ps = intervals.front().first;
  for (const auto& [begin, duration] : intervals) {
    summary.total_duration_ps += duration;
    summary.latest_end_ps = std::max(summary.latest_end_ps, begin + duration);
    summary.max_duration_ps = std::max(summary.max_duration_ps, duration);
  }
  Interval reference = intervals.front();
  for (size_t i = 1; i < intervals.size(); ++i) {
    const auto& [begin, duration] = intervals[i];
    const uint64_t reference_end = reference.first + reference.second;
    if (reference_end < begin) {
      const uint64_t gap = begin - reference_end;
      ++summary.gap_count;
      summary.total_gap_ps += gap;
      summary.max_gap_ps = std::max(summary.max_gap_ps, gap);
      reference = intervals[i];
    } else if (overlaps == Overlaps::kMerge) {
      reference.second = std::max(reference_end, begin + duration) - reference.first;
    } else if (reference_end < begin + duration) {
      LOG(WARNING) << "Found overlapped launch in host thread.";
    }
  }
  if (summary.latest_end_ps <= summary.earliest_begin_ps) return std::nullopt;
  return summary;
}

// Fills a launch or device-execute record from the summaries of the threads
// or devices that took part; false when none did.
template <typename Key, typename Record>
bool FillRecord(const std::map<Key, std::vector<Interval>>& intervals, Overlaps overlaps,
                Record* record) {
  bool any = false;
  uint64_t earliest_begin = kAllOnes;
  uint64_t latest_end = 0;
  for (const auto& [key, list] : intervals) {
    if (list.empty()) continue;
    const std::optional<IntervalSummary> summary = Summarise(list, overlaps);
    if (!summary) continue;
    any = true;
    earliest_begin = std::min(earliest_begin, summary->earliest_begin_ps);
    latest_end = std::max(latest_end, summary->latest_end_ps);
    record->set_max_duration_ps(std::max(record->max_duration_ps(), summary->max_duration_ps));
    record->set_count(record->count() + summary->count);
    record->set_total_duration_ps(record->total_duration_ps() + summary->total_duration_ps);
    record->set_max_gap_ps(std::max(record->max_gap_ps(), summary->max_gap_ps));
    record->set_total_gap_ps(record->total_gap_ps() + summary->total_gap_ps);
    record->set_gap_count(record->gap_count() + summary->gap_count);
  }
  if (any) record->set_span_ps(latest_end - earliest_begin);
  return any;
}

// The smallest begin among the elements that `pick` accepts.
template <typename T, typename Pick>
std::optional<uint64_t> EarliestBegin(const std::vector<T>& events, Pick pick) {
  std::optional<uint64_t> earliest;
  for (const T& event : events) {
    if (pick(event) && (!earliest || event.begin_ps < *earliest)) earliest = event.begin_ps;
  }
  return earliest;
}

void SetLaunchLatencies(const StepDetails& details, ZentrikStepRecord* record) {
  const std::optional<uint64_t> host_launch = EarliestBegin(
      details.host_events, [](const HostEventRecord& e) { return e.launch_kind == 0; });
  const std::optional<uint64_t> host_execution =
      EarliestBegin(details.device_events, [](const DeviceEventRecord& e) { return e.on_host; });
  if (host_launch && host_execution) {
    record->set_cpu_launch_latency_ps(
        *host_launch < *host_execution ? *host_execution - *host_launch : 1);
  }
  const std::optional<uint64_t> kernel_launch = EarliestBegin(
      details.host_events, [](const HostEventRecord& e) { return e.launch_kind == 1; });
  const std::optional<uint64_t> kernel =
      EarliestBegin(details.device_events, [](const DeviceEventRecord& e) { return !e.on_host; });
  if (kernel_launch && kernel) {
    if (*kernel_launch >= *kernel) {
      LOG(INFO) << "Launch time(ps): " << FormatUnsigned(*kernel_launch)
                << " is larger than kernel time(ps): " << FormatUnsigned(*kernel);
      record->set_kernel_launch_latency_ps(1);
    } else {
      record->set_kernel_launch_latency_ps(*kernel - *kernel_launch);
    }
  }
}

ZentrikStepRecord BuildStepRecord(int64_t step_id, const StepDetails& details,
                                  bool host_launch_stats_seen) {
  ZentrikStepRecord record;
  record.set_step_id(static_cast<uint64_t>(step_id));
  if (host_launch_stats_seen) {
    record.set_step_duration_ps(details.step_duration_ps);
    record.set_step_begin_ps(details.step_begin_ps);
  } else {
    const auto [begin, duration] = details.StepTime();
    record.set_step_begin_ps(begin);
    record.set_step_duration_ps(duration);
  }

  std::map<int64_t, std::vector<Interval>> device_intervals;
  uint64_t host_execute_time = 0;
  PmuData counters;
  DeviceInfo device;
  for (const DeviceEventRecord& event : details.device_events) {
    if (event.on_host) {
      host_execute_time += event.duration_ps;
      continue;
    }
    device_intervals[event.plane_id].emplace_back(event.begin_ps, event.duration_ps);
    if (event.has_kernel_details) {
      CopyPmuCounters(AddPmuData(*event.pmu_data, counters), &counters);
      CopyDeviceInfo(*event.device_info, &device);
    }
  }
  PmuInfo* pmu = record.mutable_pmu_info();
  CopyPmuCounters(counters, pmu->mutable_pmu_data());
  CopyDeviceInfo(device, pmu->mutable_device_info());
  SetPmuInfoCountToOne(pmu);

  std::map<ThreadKey, std::vector<Interval>> launch_intervals;
  for (const HostEventRecord& event : details.host_events) {
    launch_intervals[{event.plane_id, event.line_id}].emplace_back(event.begin_ps,
                                                                   event.duration_ps);
  }
  ZentrikLaunchRecord launch;
  if (FillRecord(launch_intervals, Overlaps::kReport, &launch)) {
    *record.mutable_launch_record() = std::move(launch);
  }
  ZentrikDeviceExecuteRecord execute;
  if (FillRecord(device_intervals, Overlaps::kMerge, &execute)) {
    *record.mutable_device_execute_record() = std::move(execute);
  }

  record.set_host_execute_time_ps(host_execute_time);
  SetLaunchLatencies(details, &record);
  record.set_reserved_int_9(-1);
  record.set_reserved_int_10(-1);
  record.set_batch_size(details.batch_size);
  return record;
}

// One quantity over the steps; a mean and a step only when something was counted.
ZentrikStats MakeStats(uint64_t total, uint64_t divisor, uint64_t max, int64_t max_step_id) {
  ZentrikStats stats;
  stats.set_total(total);
  stats.set_max(max);
  stats.set_mean(divisor == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(divisor));
  stats.set_max_step_id(divisor == 0 ? -1 : max_step_id);
  return stats;
}

// Sum, count and the largest value with its step (the later step on ties).
struct StatsAccumulator {
  void Add(int64_t step_id, uint64_t value) {
    total += value;
    ++count;
    if (value >= max) {
      max = value;
      max_step_id = step_id;
    }
  }
  ZentrikStats ToStats() const { return MakeStats(total, count, max, max_step_id); }

  uint64_t total = 0;
  uint64_t count = 0;
  uint64_t max = 0;
  int64_t max_step_id = -1;
};

// Launch or device-execute summaries over the steps that counted any interval.
template <typename Record, typename Get>
ZentrikInfo BuildInfo(const std::map<int64_t, ZentrikStepRecord>& records, Get get) {
  uint64_t durations = 0, duration_count = 0, gaps = 0, gap_count = 0;
  uint64_t max_duration = 0, max_gap = 0;
  int64_t max_duration_step = -1, max_gap_step = -1;
  for (const auto& [step_id, record] : records) {
    const Record& r = get(record);
    if (r.count() == 0) continue;
    durations += r.total_duration_ps();
    duration_count += r.count();
    gaps += r.total_gap_ps();
    gap_count += r.gap_count();
    if (r.max_duration_ps() >= max_duration) {
      max_duration = r.max_duration_ps();
      max_duration_step = step_id;
    }
    if (r.max_gap_ps() >= max_gap) {
      max_gap = r.max_gap_ps();
      max_gap_step = step_id;
    }
  }
  ZentrikInfo info;
  *info.mutable_duration_stats() =
      MakeStats(durations, duration_count, max_duration, max_duration_step);
  *info.mutable_gap_stats() = MakeStats(gaps, gap_count, max_gap, max_gap_step);
  const uint64_t both = durations + gaps;
  info.set_gap_ratio(both == 0 ? -1.0 : static_cast<double>(gaps) / static_cast<double>(both));
  return info;
}

ZentrikLanterncyStats BuildStepTimeStats(const std::map<int64_t, ZentrikStepRecord>& records) {
  std::vector<uint64_t> v;
  for (const auto& entry : records) v.push_back(entry.second.step_duration_ps());
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  ZentrikLanterncyStats stats;
  stats.set_min(v.front());
  stats.set_max(v.back());
  if (n % 2 == 1) {
    stats.set_median(static_cast<double>(v[n / 2]));
  } else {
    const uint64_t a = v[n / 2 - 1], b = v[n / 2];
    // Two durations near 2^64 would wrap in their unsigned sum.
    const double sum =
        a + b >= a ? static_cast<double>(a + b) : static_cast<double>(a) + static_cast<double>(b);
    stats.set_median(0.5 * sum);
  }
  double sum = 0.0;
  for (uint64_t x : v) sum += static_cast<double>(x);
  const double mean = sum / static_cast<double>(n);
  stats.set_mean(mean);
  double squares = 0.0;
  for (uint64_t x : v) squares += (static_cast<double>(x) - mean) * (static_cast<double>(x) - mean);
  stats.set_stddev(std::sqrt(squares / static_cast<double>(n)));
  auto at = [&](double p) { return v[static_cast<size_t>(p * static_cast<double>(n))]; };
  stats.set_p50(at(0.5));
  stats.set_p80(at(0.8));
  stats.set_p90(at(0.9));
  stats.set_p95(at(0.95));
  stats.set_p99(at(0.99));
  return stats;
}

double Throughput(const std::map<int64_t, ZentrikStepRecord>& records) {
  if (records.empty()) return -1.0;
  double samples = 0.0;
  uint64_t earliest_begin = kAllOnes;
  uint64_t latest_end = 0;
  for (const auto& [step_id, record] : records) {
    if (record.batch_size() < 1) return -1.0;
    samples += static_cast<double>(record.batch_size());
    earliest_begin = std::min(earliest_begin, record.step_begin_ps());
    latest_end = std::max(latest_end, record.step_begin_ps() + record.step_duration_ps());
  }
  if (latest_end <= earliest_begin) return -1.0;
  return samples * 1e12 / static_cast<double>(latest_end - earliest_begin);
}

// The step's time with no device work: its duration less the device span,
// gaps excepted. Zero, not a wrapped value, when the devices ran longer
// than the step.
uint64_t DeviceIdle(const ZentrikStepRecord& record) {
  const ZentrikDeviceExecuteRecord& execute = record.device_execute_record();
  const uint64_t duration = record.step_duration_ps();
  if (execute.span_ps() <= execute.total_gap_ps()) {
    return duration + (execute.total_gap_ps() - execute.span_ps());
  }
  const uint64_t busy = execute.span_ps() - execute.total_gap_ps();
  return busy >= duration ? 0 : duration - busy;
}

ZentrikStepStats BuildStepStats(const std::map<int64_t, ZentrikStepRecord>& records,
                                bool host_launch_stats_seen) {
  ZentrikStepStats stats;
  ZentrikBaseInfo* base = stats.mutable_base_info();
  base->set_step_count(records.size());
  for (const auto& entry : records) {
    base->add_batch_sizes(static_cast<uint64_t>(entry.second.batch_size()));
  }
  if (!records.empty()) {
    *stats.mutable_step_time_stats() = BuildStepTimeStats(records);
    *stats.mutable_launch_info() = BuildInfo<ZentrikLaunchRecord>(
        records,
        [](const ZentrikStepRecord& r) -> const ZentrikLaunchRecord& { return r.launch_record(); });
    *stats.mutable_device_execute_info() = BuildInfo<ZentrikDeviceExecuteRecord>(
        records, [](const ZentrikStepRecord& r) -> const ZentrikDeviceExecuteRecord& {
          return r.device_execute_record();
        });
  }
  stats.set_throughput(Throughput(records));

  StatsAccumulator cpu_latency, kernel_latency, idle;
  for (const auto& [step_id, record] : records) {
    if (record.cpu_launch_latency_ps() != 0)
      cpu_latency.Add(step_id, record.cpu_launch_latency_ps());
    if (record.kernel_launch_latency_ps() != 0) {
      kernel_latency.Add(step_id, record.kernel_launch_latency_ps());
    }
    idle.Add(step_id, DeviceIdle(record));
  }
  *stats.mutable_cpu_launch_latency_stats() = cpu_latency.ToStats();
  *stats.mutable_kernel_launch_latency_stats() = kernel_latency.ToStats();
  *stats.mutable_device_idle_stats() = idle.ToStats();

  ZentrikAnalysis* analysis = stats.mutable_analysis();
  const ZentrikInfo& launch = stats.launch_info();
  const ZentrikInfo& execute = stats.device_execute_info();
  analysis->set_max_launch_duration_ps(launch.duration_stats().max());
  analysis->set_max_launch_duration_step_id(launch.duration_stats().max_step_id());
  analysis->set_max_device_gap_ps(execute.gap_stats().max());
  analysis->set_max_device_gap_step_id(execute.gap_stats().max_step_id());
  analysis->set_max_launch_gap_ps(launch.gap_stats().max());
  analysis->set_max_launch_gap_step_id(launch.gap_stats().max_step_id());
  analysis->set_host_launch_stats_seen(host_launch_stats_seen ? 1 : 0);
  return stats;
}

}  // namespace

PmuInfo SumStepRecordsPmuInfo(const std::map<int64_t, ZentrikStepRecord>& records) {
  PmuInfo sum;
  for (const auto& entry : records) {
    const PmuInfo& step = entry.second.pmu_info();
    CopyPmuCounters(AddPmuData(step.pmu_data(), sum.pmu_data()), sum.mutable_pmu_data());
    CopyDeviceInfo(step.device_info(), sum.mutable_device_info());
  }
  SetPmuInfoCountToOne(&sum);
  ComputePmuUtil(&sum, /*average=*/false);
  return sum;
}

ZentrikOverviewInfo ConvertStepEventsToZentrikOverview(const StepEvents& step_events) {
  ZentrikOverviewInfo overview;
  std::map<int64_t, ZentrikStepRecord> records;
  for (const auto& [step_id, details] : step_events) {
    ZentrikStepRecord& record = records[step_id] =
        BuildStepRecord(step_id, details, step_events.host_launch_stats_seen);
    *overview.add_step_records() = record;
  }
  *overview.mutable_step_stats() = BuildStepStats(records, step_events.host_launch_stats_seen);
  *overview.mutable_pmu_info() = SumStepRecordsPmuInfo(records);
  overview.set_pmu_data_valid(overview.pmu_info().pmu_data().lt_cycles() != kAllOnes);
  return overview;
}

}  // namespace trace
}  // namespace zentrik
