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

using ::testing::HasSubstr;
using ::zentrik::testing::StderrCapture;

constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr char kOverlapLine[] = "Found overlapped launch in host thread.";

using Interval = std::pair<uint64_t, uint64_t>;  // (begin, duration)

HostEventRecord Launch(uint64_t begin, uint64_t duration, int64_t line = 1, uint32_t kind = 1) {
  HostEventRecord record;
  record.begin_ps = begin;
  record.duration_ps = duration;
  record.name = "MatMul:MatMul";
  record.line_id = line;
  record.launch_kind = kind;
  return record;
}

DeviceEventRecord Kernel(uint64_t begin, uint64_t duration, int64_t device = 0) {
  DeviceEventRecord record;
  record.begin_ps = begin;
  record.duration_ps = duration;
  record.plane_id = device;
  return record;
}

// A step spanned by one host marker.
StepDetails Step(uint64_t begin, uint64_t duration, int64_t batch = -1) {
  StepDetails step;
  step.AddMarker({HostStepMarker, "step", begin, duration});
  step.batch_size = batch;
  return step;
}

TEST(ZentrikOverviewConversionTest, SummarisesLaunchesAndDeviceWork) {
  const struct {
    const char* what;
    std::vector<Interval> launches;  // on one host thread
    std::vector<Interval> kernels;   // on one device
    int overlap_warnings;
    bool has_launch_record;
  } cases[] = {
      {"touching launches overlap", {{0, 10}, {10, 10}}, {}, 1, true},
      {"gap measured from the reference that stayed", {{0, 10}, {5, 15}, {30, 5}}, {}, 1, true},
      {"one launch of no length is dropped", {{5, 0}}, {}, 0, false},
      {"device overlaps merge", {}, {{0, 100}, {10, 10}, {50, 10}, {120, 10}}, 0, false},
  };
  // The records each case should give, in the same order.
  ZentrikLaunchRecord touching;
  touching.set_span_ps(20);
  touching.set_max_duration_ps(10);
  touching.set_count(2);
  touching.set_total_duration_ps(20);
  ZentrikLaunchRecord gapped;
  gapped.set_span_ps(35);
  gapped.set_max_duration_ps(15);
  gapped.set_count(3);
  gapped.set_total_duration_ps(30);
  gapped.set_max_gap_ps(20);
  gapped.set_total_gap_ps(20);
  gapped.set_gap_count(1);
  ZentrikDeviceExecuteRecord merged;
  merged.set_span_ps(130);
  merged.set_max_duration_ps(100);
  merged.set_count(4);
  merged.set_total_duration_ps(130);
  merged.set_max_gap_ps(20);
  merged.set_total_gap_ps(20);
  merged.set_gap_count(1);
  const ZentrikLaunchRecord want_launch[] = {touching, gapped, {}, {}};
  const ZentrikDeviceExecuteRecord want_execute[] = {{}, {}, {}, merged};

  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    StepEvents events;
    StepDetails& step = events[0] = Step(0, 200);
    for (const auto& [begin, duration] : c.launches) step.AddHostEvent(Launch(begin, duration));
    for (const auto& [begin, duration] : c.kernels) step.AddDeviceEvent(Kernel(begin, duration));

    StderrCapture capture;
    const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
    const std::string log = capture.Stop();
    int warnings = 0;
    for (size_t at = log.find(kOverlapLine); at != std::string::npos;
         at = log.find(kOverlapLine, at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, c.overlap_warnings) << c.what;
    const ZentrikStepRecord& record = overview.step_records(0);
    EXPECT_EQ(record.has_launch_record(), c.has_launch_record) << c.what;
    EXPECT_EQ(record.launch_record().SerializeAsString(), want_launch[i].SerializeAsString())
        << c.what;
    EXPECT_EQ(record.has_device_execute_record(), !c.kernels.empty()) << c.what;
    EXPECT_EQ(record.device_execute_record().SerializeAsString(),
              want_execute[i].SerializeAsString())
        << c.what;
  }
}

TEST(ZentrikOverviewConversionTest, BuildsStepRecords) {
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
  kernel.pmu_info.mutable_pmu_data()->set_lt_cycles(5);
  kernel.pmu_info.mutable_pmu_data()->set_mac_ops(kAllOnes);
  kernel.pmu_info.mutable_device_info()->set_core_count(2);
  step.AddDeviceEvent(kernel);
  kernel.begin_ps = 600;
  kernel.pmu_info.mutable_device_info()->set_core_count(8);
  step.AddDeviceEvent(kernel);
  kernel.has_kernel_details = false;  // counted as device work, not in the counters
  kernel.begin_ps = 650;
  step.AddDeviceEvent(kernel);
  StepDetails& without_kernels = events[-2] = Step(0, 10);
  without_kernels.AddHostEvent(Launch(0, 5, 1, /*kind=*/1));

  const ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(events);
  ASSERT_EQ(overview.step_records_size(), 2);
  const ZentrikStepRecord& first = overview.step_records(0);
  EXPECT_EQ(first.step_id(), ~uint64_t{1});  // -2
  EXPECT_EQ(first.pmu_info().count(), 1u);
  EXPECT_EQ(first.pmu_info().pmu_data().lt_cycles(), 0u);
  EXPECT_EQ(first.kernel_launch_latency_ps(), 0u);

  const ZentrikStepRecord& record = overview.step_records(1);
  EXPECT_EQ(record.step_id(), 4u);
  EXPECT_EQ(record.step_begin_ps(), 100u);
  EXPECT_EQ(record.step_duration_ps(), 1000u);
  EXPECT_EQ(record.host_execute_time_ps(), 80u);
  EXPECT_EQ(record.cpu_launch_latency_ps(), 60u);      // 260 - 200
  EXPECT_EQ(record.kernel_launch_latency_ps(), 350u);  // 600 - 250
  EXPECT_EQ(record.reserved_int_9(), -1);
  EXPECT_EQ(record.reserved_int_10(), -1);
  EXPECT_EQ(record.batch_size(), 16);
  EXPECT_EQ(record.launch_record().span_ps(), 110u);  // two threads: 200 to 310
  EXPECT_EQ(record.launch_record().count(), 3u);
  EXPECT_EQ(record.launch_record().gap_count(), 1u);
  EXPECT_EQ(record.device_execute_record().span_ps(), 150u);
  EXPECT_EQ(record.pmu_info().pmu_data().lt_cycles(), 10u);
  EXPECT_EQ(record.pmu_info().pmu_data().mac_ops(), kAllOnes);
  EXPECT_EQ(record.pmu_info().device_info().core_count(), 8u);  // the last kernel's

  // The run's counters: an unknown counter stays unknown.
  EXPECT_EQ(overview.pmu_info().pmu_data().lt_cycles(), 10u);
  EXPECT_EQ(overview.pmu_info().pmu_data().mac_ops(), kAllOnes);
  EXPECT_TRUE(overview.pmu_data_valid());
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

  const ZentrikStepStats stats = ConvertStepEventsToZentrikOverview(events).step_stats();
  const ZentrikLanterncyStats& time = stats.step_time_stats();
  EXPECT_EQ(time.min(), 100u);
  EXPECT_EQ(time.max(), 300u);
  EXPECT_EQ(time.median(), 200.0);
  EXPECT_EQ(time.p50(), 300u);
  EXPECT_EQ(time.p99(), 300u);
  EXPECT_EQ(time.mean(), 200.0);
  EXPECT_EQ(time.stddev(), 100.0);
  EXPECT_DOUBLE_EQ(stats.throughput(), 8 * 1e12 / 400);
  EXPECT_EQ(stats.base_info().step_count(), 2u);
  EXPECT_THAT(stats.base_info().batch_sizes(), ::testing::ElementsAre(4u, 4u));

  const ZentrikInfo& launch = stats.launch_info();
  EXPECT_EQ(launch.duration_stats().total(), 120u);
  EXPECT_EQ(launch.duration_stats().mean(), 30.0);
  EXPECT_EQ(launch.duration_stats().max_step_id(), 2);  // ties go to the later step
  EXPECT_EQ(launch.gap_stats().total(), 40u);
  EXPECT_EQ(launch.gap_stats().max_step_id(), 2);
  EXPECT_DOUBLE_EQ(launch.gap_ratio(), 40.0 / 160.0);
  const ZentrikInfo& execute = stats.device_execute_info();
  EXPECT_EQ(execute.gap_stats().max(), 30u);
  EXPECT_EQ(execute.gap_stats().max_step_id(), 1);
  EXPECT_EQ(execute.gap_stats().mean(), 30.0);

  // Idle: 100 + 30 - 50 and 300 + 0 - 10.
  EXPECT_EQ(stats.device_idle_stats().total(), 80u + 290u);
  EXPECT_EQ(stats.device_idle_stats().max_step_id(), 2);
  EXPECT_EQ(stats.kernel_launch_latency_stats().total(), 20u + 20u);
  EXPECT_EQ(stats.kernel_launch_latency_stats().max_step_id(), 2);
  EXPECT_EQ(stats.analysis().max_device_gap_ps(), 30u);
  EXPECT_EQ(stats.analysis().max_device_gap_step_id(), 1);
  EXPECT_EQ(stats.analysis().max_launch_gap_step_id(), 2);
  EXPECT_EQ(stats.analysis().host_launch_stats_seen(), 0u);
}

TEST(ZentrikOverviewConversionTest, IdleTimeDoesNotWrapWhenDevicesOutlastTheStep) {
  StepEvents events;
  events[1] = Step(0, 10);
  events[1].AddDeviceEvent(Kernel(0, 50));
  EXPECT_EQ(ConvertStepEventsToZentrikOverview(events).step_stats().device_idle_stats().total(),
            0u);
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
              HasSubstr("] Launch time(ps): 500 is larger than kernel time(ps): 500\n"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
