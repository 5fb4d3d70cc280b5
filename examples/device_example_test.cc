// Runs the device example on the ZRA simulator and reads the profile it
// wrote, so that the demo keeps showing what it is there to show: typed
// device ops, a kernel report per kernel and op, PMU figures on the host ops
// that launched kernels, and device work in every step.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "testing/child_process.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "trace/core/protobuf/kernel_stats.pb.h"
#include "trace/core/protobuf/overview_page.pb.h"
#include "trace/core/protobuf/tf_stats.pb.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kSteps = 6;
// The layers of the example: op name, op type, kernel, kernel duration.
struct Layer {
  const char* name;
  const char* type;
  const char* kernel;
  uint64_t duration_ns;
};
constexpr Layer kLayers[] = {
    {"conv1", "Conv2D", "conv2d_3x3", 400000},
    {"relu1", "Relu", "relu", 60000},
    {"conv2", "Conv2D", "conv2d_3x3", 500000},
    {"fc", "MatMul", "gemm", 250000},
    {"loss", "SoftmaxCrossEntropy", "softmax_xent", 40000},
};
constexpr double kNoValue = 18446744073709551616.0;

// The profile files of one run of the example, parsed.
class DeviceExampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const testing::ChildResult run = testing::RunChild({DEVICE_EXAMPLE_PROGRAM, dir_.path()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string runs = dir_.Join("plugins/profile");
    ASSERT_EQ(testing::ListDirectory(runs).size(), 1u);
    run_dir_ = runs + "/" + testing::ListDirectory(runs)[0];
    ASSERT_TRUE(op_tables_.ParseFromString(Read(".op_stats.pb")));
    ASSERT_TRUE(kernel_stats_.ParseFromString(Read(".kernel_stats.pb")));
    ASSERT_TRUE(overview_.ParseFromString(Read(".overview_page.pb")));
  }

  // The one file of the run whose name (after the host name) ends in `suffix`.
  std::string Read(const std::string& suffix) {
    for (const std::string& name : testing::ListDirectory(run_dir_)) {
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return testing::ReadFileOrEmpty(run_dir_ + "/" + name);
      }
    }
    ADD_FAILURE() << "no file *" << suffix << " in " << run_dir_;
    return "";
  }

  testing::TempDir dir_;
  std::string run_dir_;
  TfStatsDatabase op_tables_;
  KernelStatsDb kernel_stats_;
  OverviewPage overview_;
};

TEST_F(DeviceExampleTest, DeviceOpsAreTypedAndHostOpsCarryTheirKernelsCounters) {
  std::set<std::tuple<std::string, std::string, int64_t>> device_rows;
  std::map<std::string, const TfStatsRecord*> host_rows;
  for (const TfStatsRecord& record : op_tables_.table_without_idle().records()) {
    if (record.host_or_device() == "Device") {
      device_rows.emplace(record.op_type(), record.op_name(), record.occurrences());
    } else {
      host_rows[record.op_name()] = &record;
    }
  }
  std::set<std::tuple<std::string, std::string, int64_t>> expected;
  for (const Layer& layer : kLayers) expected.emplace(layer.type, layer.name, kSteps);
  EXPECT_EQ(device_rows, expected);

  for (const Layer& layer : kLayers) {
    ASSERT_EQ(host_rows.count(layer.name), 1u) << layer.name;
    const double lt_cycles = host_rows[layer.name]->pmu_info().ave_pmu_data().lt_cycles();
    EXPECT_GT(lt_cycles, 0) << layer.name;
    EXPECT_LT(lt_cycles, kNoValue) << layer.name;
  }
}

TEST_F(DeviceExampleTest, OneKernelReportPerKernelAndOp) {
  std::set<std::tuple<std::string, std::string, uint32_t, uint64_t>> reports;
  for (const KernelReport& report : kernel_stats_.reports()) {
    reports.emplace(report.name(), report.op_name(), report.occurrences(),
                    report.total_duration_ns());
  }
  std::set<std::tuple<std::string, std::string, uint32_t, uint64_t>> expected;
  for (const Layer& layer : kLayers) {
    expected.emplace(layer.kernel, layer.name, kSteps, kSteps * layer.duration_ns);
  }
  EXPECT_EQ(reports, expected);
}

TEST_F(DeviceExampleTest, EveryStepRunsItsKernelsOnTheDevice) {
  uint64_t kernels_ps = 0;
  for (const Layer& layer : kLayers) kernels_ps += layer.duration_ns * 1000;
  const ZentrikOverviewInfo& info = overview_.overview_info();
  ASSERT_EQ(info.step_records_size(), kSteps);
  for (const ZentrikStepRecord& step : info.step_records()) {
    const ZentrikDeviceExecuteRecord& device = step.device_execute_record();
    EXPECT_GE(device.count(), std::size(kLayers)) << "step " << step.step_id();
    EXPECT_GE(device.total_duration_ps(), kernels_ps) << "step " << step.step_id();
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
