#include "trace/core/convert/step_events_to_zentrik_overview.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/stderr_capture.h"

namespace zentrik {
namespace trace {
namespace {

using Interval = std::pair<uint64_t, uint64_t>;  // (begin, duration)

HostEventRecord Launch(uint64_t begin, uint64_t duration, int64_t line = 1, uint32_t kind = 1) {
  HostEventRecord record;
  record.begin_ps = begin;
  record.duration_ps = duration;
  record.line_id = line;
  record.launch_kind = kind;
  return record;
}

DeviceEventRecord Kernel(uint64_t begin, uint64_t duration) {
  DeviceEventRecord record;
  record.begin_ps = begin;
  record.duration_ps = duration;
  return record;
}

// A step spanned by one host marker.
StepDetails Step(uint64_t begin, uint64_t duration, int64_t batch = -1) {
  StepDetails step;
  step.AddMarker({HostStepMarker, "step", begin, duration});
  step.batch_size = batch;
  return step;
}

// The values, each followed by a space.
template <typename... T>
std::string Values(const T&... values) {
  std::string text;
  ((text += std::to_string(values) + " "), ...);
  return text;
}

// All fields of a launch or device record; "-" when it is absent.
template <typename Record>
std::string Fields(bool present, const Record& r) {
  if (!present) return "-";
  return Values(r.span_ps(), r.max_duration_ps(), r.count(), r.total_duration_ps(), r.max_gap_ps(),
                r.total_gap_ps(), r.gap_count());
}

TEST(ZentrikOverviewConversionTest, SummarisesLaunchesAndDeviceWork) {
  const struct {
    const char* what;
    std::vector<Interval> launches;  // on one host thread
    std::vector<Interval> kernels;   // on one device
    int overlap_warnings;
    const char* launch;
    const char* execute;
  } cases[] = {
      {"touching launches overlap", {{0, 10}, {10, 10}}, {}, 1, "20 10 2 20 0 0 0 ", "-"},
      {"gap from the kept one", {{0, 10}, {5, 15}, {30, 5}}, {}, 1, "35 15 3 30 20 20 1 ", "-"},
      {"one launch of no length is dropped", {{5, 0}}, {}, 0, "-", "-"},
      {"merged", {}, {{0, 100}, {10, 10}, {50, 10}, {120, 10}}, 0, "-", "130 100 4 130 20 20 1 "},
  };
  for (const auto& c : cases) {
    StepEvents events;
    StepDetails& step = events[0] = Step(0, 200);
    for (const auto& [begin, duration] : c.launches) step.AddHostEvent(Launch(begin, duration));
    for (const auto& [begin, duration] : c.kernels) step.AddDeviceEvent(Kernel(begin, duration));
    testing::StderrCapture capture;
    const ZentrikStepRecord record = ConvertStepEventsToZentrikOverview(events).step_records(0);
    const std::string log = capture.Stop();
    int warnings = 0;
    for (size_t at = 0; (at = log.find("Found overlapped launch", at) + 1) != 0;) ++warnings;
    EXPECT_EQ(warnings, c.overlap_warnings) << c.what;
    EXPECT_EQ(Fields(record.has_launch_record(), record.launch_record()), c.launch) << c.what;
    EXPECT_EQ(Fields(record.has_device_execute_record(), record.device_execute_record()), c.execute)
        << c.what;
  }
}

TEST(ZentrikOverviewConversionTest, BuildsStepRecordsAndSaturatesCounterSums) {
  constexpr uint64_t kAllOnes = ~uint64_t{0};
  StepEvents events;
  StepDetails& step = events[4] = Step(100, 1000, 16);
  step.AddHostEvent(Launch(300, 10, 1, /*kind=*/0));
  step.AddHostEvent(Launch(200, 10, 2, /*kind=*/0));
  step.AddHostEvent(Launch(250, 10, 2, /*kind=*/1));
  DeviceEventRecord host_execution = Kernel(260, 40);
  host_execution.on_host = true;
  step.AddDeviceEvent(host_execution);
  host_execution.begin_ps = 400;
  step.AddDeviceEvent(host_execution);
  DeviceEventRecord kernel = Kernel(700, 50);
  kernel.has_kernel_details = true;
  PmuData counters;
  counters.set_lt_cycles(5);
  counters.set_mac_ops(kAllOnes);
  DeviceInfo devices[2];
  devices[0].set_core_count(2);
  devices[1].set_core_count(8);
  kernel.pmu_data = &counters;
  kernel.device_info = &devices[0];
  step.AddDeviceEvent(kernel);
  kernel.begin_ps = 600;
  kernel.device_info = &devices[1];
  step.AddDeviceEvent(kernel);
  kernel.has_kernel_details = false;  // counted as device work, not in the counters
  kernel.begin_ps = 650;
  step.AddDeviceEvent(kernel);

  const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
  ASSERT_EQ(overview.step_records_size(), 1);
  // Launch latencies 260 - 200 and 600 - 250; launches on two threads span
  // 200 to 310; the last kernel's device facts.
  const ZentrikStepRecord& r = overview.step_records(0);
  EXPECT_EQ(Values(r.step_id(), r.step_begin_ps(), r.step_duration_ps(), r.host_execute_time_ps(),
                   r.cpu_launch_latency_ps(), r.kernel_launch_latency_ps(), r.reserved_int_9(),
                   r.reserved_int_10(), r.batch_size(), r.launch_record().span_ps(),
                   r.launch_record().count(), r.launch_record().gap_count(),
                   r.device_execute_record().span_ps(), r.pmu_info().pmu_data().lt_cycles(),
                   r.pmu_info().pmu_data().mac_ops(), r.pmu_info().device_info().core_count()),
            "4 100 1000 80 60 350 -1 -1 16 110 3 1 150 10 18446744073709551615 8 ");
  // The run's counters: an unknown counter stays unknown.
  EXPECT_EQ(Values(overview.pmu_info().pmu_data().lt_cycles(),
                   overview.pmu_info().pmu_data().mac_ops(), overview.pmu_data_valid()),
            "10 18446744073709551615 1 ");
}

TEST(ZentrikOverviewConversionTest, ComputesStepStatistics) {
  StepEvents events;
  events[1] = Step(0, 100, 4);
  events[1].AddHostEvent(Launch(0, 30));
  events[1].AddHostEvent(Launch(50, 30));  // gap 20
  events[1].AddDeviceEvent(Kernel(20, 10));
  events[1].AddDeviceEvent(Kernel(60, 10));  // gap 30, span 50
  events[2] = Step(100, 300, 4);
  events[2].AddHostEvent(Launch(100, 30));
  events[2].AddHostEvent(Launch(150, 30));  // gap 20, a tie with step 1
  events[2].AddDeviceEvent(Kernel(120, 10));

  const ZentrikStepStats s = ConvertStepEventsToZentrikOverview(events).step_stats();
  const ZentrikLanterncyStats& time = s.step_time_stats();
  EXPECT_EQ(Values(time.min(), time.max(), time.median(), time.p50(), time.p99(), time.mean(),
                   time.stddev(), s.throughput(), s.base_info().step_count()),
            "100 300 200.000000 300 300 200.000000 100.000000 20000000000.000000 2 ");
  EXPECT_THAT(s.base_info().batch_sizes(), ::testing::ElementsAre(4u, 4u));
  // Ties go to the later step. Idle: 100 + 30 - 50 and 300 + 0 - 10.
  const ZentrikInfo& launch = s.launch_info();
  const ZentrikInfo& execute = s.device_execute_info();
  EXPECT_EQ(
      Values(launch.duration_stats().total(), launch.duration_stats().mean(),
             launch.duration_stats().max_step_id(), launch.gap_stats().total(),
             launch.gap_stats().max_step_id(), launch.gap_ratio(), execute.gap_stats().max(),
             execute.gap_stats().max_step_id(), execute.gap_stats().mean(),
             s.device_idle_stats().total(), s.device_idle_stats().max_step_id(),
             s.kernel_launch_latency_stats().total(), s.kernel_launch_latency_stats().max_step_id(),
             s.analysis().max_device_gap_ps(), s.analysis().max_device_gap_step_id(),
             s.analysis().max_launch_gap_step_id(), s.analysis().host_launch_stats_seen()),
      "120 30.000000 2 40 2 0.250000 30 1 30.000000 370 2 40 2 30 1 2 0 ");

  // Idle time does not wrap when devices outlast the step.
  events.clear();
  events[1] = Step(0, 10);
  events[1].AddDeviceEvent(Kernel(0, 50));
  EXPECT_EQ(ConvertStepEventsToZentrikOverview(events).step_stats().device_idle_stats().total(),
            0u);

  // A launch that does not precede its kernel has a latency of 1 ps.
  events[1].AddHostEvent(Launch(0, 10));
  EXPECT_EQ(ConvertStepEventsToZentrikOverview(events).step_records(0).kernel_launch_latency_ps(),
            1u);
}

// "total mean max max_step_id " of a quantity over the steps.
std::string StatsText(const ZentrikStats& stats) {
  return Values(stats.total(), stats.mean(), stats.max(), stats.max_step_id());
}

TEST(ZentrikOverviewConversionTest, EmptyStepsGiveMarkedStatistics) {
  const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(StepEvents());
  EXPECT_EQ(overview.step_records_size(), 0);
  const ZentrikStepStats& s = overview.step_stats();
  // No step: no time, launch or device statistics, a throughput of -1 and
  // nothing counted (no step id either).
  EXPECT_EQ(Values(s.has_base_info(), s.base_info().step_count(), s.throughput(),
                   s.has_step_time_stats(), s.has_launch_info(), s.has_device_execute_info()),
            "1 0 -1.000000 0 0 0 ");
  for (const ZentrikStats* stats :
       {&s.cpu_launch_latency_stats(), &s.kernel_launch_latency_stats(), &s.device_idle_stats()}) {
    EXPECT_EQ(StatsText(*stats), "0 0.000000 0 -1 ");
  }
  EXPECT_EQ(Values(overview.pmu_info().count(), overview.pmu_info().has_pmu_data(),
                   overview.pmu_data_valid()),
            "1 0 1 ");
}

// A step of its own id (-2 here) without kernels: a record of no counters and
// no kernel launch latency, whatever it launched.
TEST(ZentrikOverviewConversionTest, StepWithoutKernels) {
  StepEvents events;
  events[-2] = Step(0, 10);
  events[-2].AddHostEvent(Launch(0, 5, 1, /*kind=*/1));
  const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
  ASSERT_EQ(overview.step_records_size(), 1);
  const ZentrikStepRecord& r = overview.step_records(0);
  EXPECT_EQ(Values(r.step_id(), r.pmu_info().count(), r.pmu_info().pmu_data().lt_cycles(),
                   r.kernel_launch_latency_ps(), r.has_device_execute_record()),
            "18446744073709551614 1 0 0 0 ");
}

TEST(ZentrikOverviewConversionTest, UnknownLtCyclesMakeThePmuDataInvalid) {
  PmuData counters;
  counters.set_lt_cycles(~uint64_t{0});
  counters.set_mac_ops(7);
  DeviceEventRecord kernel = Kernel(0, 10);
  kernel.has_kernel_details = true;
  kernel.pmu_data = &counters;
  StepEvents events;
  (events[1] = Step(0, 10)).AddDeviceEvent(kernel);
  EXPECT_FALSE(ConvertStepEventsToZentrikOverview(events).pmu_data_valid());
  counters.set_lt_cycles(3);
  EXPECT_TRUE(ConvertStepEventsToZentrikOverview(events).pmu_data_valid());
}

// Samples per second over the steps' span, only when every step gave its
// batch size.
TEST(ZentrikOverviewConversionTest, ThroughputNeedsEveryBatchSize) {
  const struct {
    const char* what;
    std::vector<int64_t> batch_sizes;  // of steps of 100 ps, one after another
    const char* throughput;
  } cases[] = {
      {"every batch size", {4, 6}, "50000000000.000000 "},
      {"one missing", {4, -1}, "-1.000000 "},
      {"one of 0", {0, 4}, "-1.000000 "},
  };
  for (const auto& c : cases) {
    StepEvents events;
    for (size_t i = 0; i < c.batch_sizes.size(); ++i) {
      events[static_cast<int64_t>(i)] = Step(100 * i, 100, c.batch_sizes[i]);
    }
    const ZentrikStepStats stats = ConvertStepEventsToZentrikOverview(events).step_stats();
    EXPECT_EQ(Values(stats.throughput()), c.throughput) << c.what;
    ASSERT_EQ(stats.base_info().batch_sizes_size(), static_cast<int>(c.batch_sizes.size()));
    // A missing batch size is listed as the unsigned -1.
    EXPECT_EQ(stats.base_info().batch_sizes(1), static_cast<uint64_t>(c.batch_sizes[1])) << c.what;
  }
}

// With launch statistics seen, a step's time is the span stored with its batch
// size, not its markers'; the conversion says so.
TEST(ZentrikOverviewConversionTest, LaunchStatsTakeTheStoredSpans) {
  for (const bool seen : {true, false}) {
    StepEvents events;
    events[1] = Step(0, 100, 2);
    events[1].step_begin_ps = 40;
    events[1].step_duration_ps = 30;
    events.host_launch_stats_seen = seen;
    const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
    EXPECT_EQ(Values(overview.step_records(0).step_begin_ps(),
                     overview.step_records(0).step_duration_ps(),
                     overview.step_stats().analysis().host_launch_stats_seen()),
              seen ? "40 30 1 " : "0 100 0 ");
  }
}

ZENTRIK_CHILD_SCENARIO(LaunchNotBeforeKernel) {
  StepEvents events;
  events[1] = Step(0, 1000);
  events[1].AddHostEvent(Launch(500, 10));
  events[1].AddDeviceEvent(Kernel(500, 10));
  const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
  return overview.step_records(0).kernel_launch_latency_ps() == 1 ? 0 : 1;
}

TEST(ZentrikOverviewConversionTest, LogsLaunchesThatDoNotPrecedeTheirKernel) {
  const auto result =
      testing::RunScenario("LaunchNotBeforeKernel", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.err,
              ::testing::HasSubstr("] Launch time(ps): 500 is larger than kernel time(ps): 500\n"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
