#include "trace/core/utils/pmu_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/pmu_values.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::zentrik::testing::CounterValues;
using ::zentrik::testing::DeviceInfoValues;
using ::zentrik::testing::FigureValues;
using ::zentrik::testing::LogLinesFrom;
using ::zentrik::testing::MakeDeviceInfo;
using ::zentrik::testing::RunScenario;
using ::zentrik::testing::SequencePmuData;

constexpr double kNoValue = kPmuNoValueDouble;

TEST(PmuUtilsTest, AddPmuDataSumsEachCounterAndKeepsMarkers) {
  EXPECT_THAT(
      CounterValues(AddPmuData(SequencePmuData(1), SequencePmuData(100))),
      ElementsAre(101, 103, 105, 107, 109, 111, 113, 115, 117, 119, 121, 123, 125, 127, 129, 131));
  const uint64_t cases[][3] = {{5, kPmuNoValue, kPmuNoValue},
                               {kPmuNoValue, 7, kPmuNoValue},
                               {kPmuNoValue - 1, 3, 1}};  // wraps
  for (const auto& c : cases) {
    PmuData a = SequencePmuData(0);
    PmuData b = SequencePmuData(0);
    a.set_vector_ops(c[0]);
    b.set_vector_ops(c[1]);
    EXPECT_EQ(AddPmuData(a, b).vector_ops(), c[2]) << c[0] << " + " << c[1];
  }
}

TEST(PmuUtilsTest, CopyPmuInfoDataCopiesTheChosenCaseAndTheRest) {
  PmuInfo raw;
  *raw.mutable_pmu_data() = SequencePmuData(1);
  *raw.mutable_device_info() = MakeDeviceInfo(11, 1000, 4, 2, 8.0);
  raw.mutable_pmu_util()->set_lt_utilization(0.5);
  raw.set_count(3);

  PmuInfo copy;
  copy.mutable_ave_pmu_data()->set_lt_cycles(9.5);
  CopyPmuInfoData(raw, &copy, /*average=*/false);
  EXPECT_EQ(copy.SerializeAsString(), raw.SerializeAsString());

  // A record copied onto itself in the other case reads the zeros of that case.
  CopyPmuInfoData(raw, &raw, /*average=*/true);
  *copy.mutable_ave_pmu_data() = AvePmuData();
  EXPECT_EQ(raw.SerializeAsString(), copy.SerializeAsString());
}

// Every counter known, on an ACC401 whose LT counter needs no divisor.
PmuInfo FullRecord() {
  PmuInfo info;
  PmuData* d = info.mutable_pmu_data();
  d->set_io_dma_write_bytes(500);
  d->set_io_dma_read_bytes(1000);
  d->set_lt_cycles(500);
  d->set_alu_cycles(kPmuNoValue);
  d->set_csimd_pre_cycles(100);
  d->set_csimd_post_cycles(200);
  d->set_dram_read_cycles(400);
  d->set_dram_write_cycles(1000);
  d->set_field14(1000);
  d->set_mac_ops(4000);
  d->set_vector_ops(100);
  // tlb_* and ct_cycles are not read: the markers here must not matter.
  d->set_tlb_read_miss(kPmuNoValue);
  d->set_ct_cycles(kPmuNoValue);
  *info.mutable_device_info() = MakeDeviceInfo(11, 1000, 4, 2, 2.0, 8.0, 0.5);
  return info;
}

TEST(PmuUtilsTest, ComputePmuUtilDerivesEveryFigure) {
  PmuInfo info = FullRecord();
  ComputePmuUtil(&info, /*average=*/false);
  // total = 2 * (1000 * (1000 * 0.001)) = 2000 cycles.
  const std::vector<double> expected = {
      2000,      // total_cycles_estimated
      0.25,      // lt 500 / 2000
      0.1,       // ct = csimd_post
      kNoValue,  // alu: no counter
      0.05,      // csimd_pre 100 / 2000
      0.1,       // csimd_post 200 / 2000
      0.2,       // dram read 400 / 2000
      0.5,       // dram write 1000 / 2000
      0.5,       // read bandwidth 1000 / (1000 * 2)
      0.25,      // write bandwidth 500 / (1000 * 2)
      0.001,     // mac 4000 / ((2 / 4) * 8 * 1000 * 1000)
      0.001,     // compute efficiency: alu unknown, mac known
      0.75,      // io efficiency
      0.0004,    // vec 100 / ((2 / 4) * 0.5 * 1000 * 1000)
  };
  // The same counters as averages give the same figures.
  PmuInfo averaged;
  MergePmuInfo(&averaged, FullRecord(), 1);
  for (const PmuInfo* result : {&info, &averaged}) {
    const std::vector<double> figures = FigureValues(result->pmu_util());
    ASSERT_EQ(figures.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(figures[i], expected[i]) << i;
  }
  // Without a time base there is no figure at all.
  for (const bool average : {false, true}) {
    PmuInfo no_time = average ? averaged : FullRecord();
    if (average) {
      no_time.mutable_ave_pmu_data()->set_field14(kNoValue);
    } else {
      no_time.mutable_pmu_data()->set_field14(kPmuNoValue);
    }
    ComputePmuUtil(&no_time, average);
    EXPECT_EQ(FigureValues(no_time.pmu_util()), std::vector<double>(14, kNoValue)) << average;
  }
}

TEST(PmuUtilsTest, ComputeEfficiencyFollowsTheFirstKnownCounter) {
  const struct {
    uint64_t alu, mac_ops, vector_ops;
    double mac_peak;
    double expected;
  } cases[] = {
      {7, 4000, 100, 8.0, kNoValue},  // a known ALU counter wins
      {kPmuNoValue, 4000, 100, 8.0, 0.001},
      {kPmuNoValue, 4000, 100, 0.0, kNoValue},  // MAC figure itself unknown
      {kPmuNoValue, kPmuNoValue, 100, 8.0, 0.0004},
      {kPmuNoValue, kPmuNoValue, kPmuNoValue, 8.0, kNoValue},
  };
  for (const auto& c : cases) {
    PmuInfo info = FullRecord();
    info.mutable_pmu_data()->set_alu_cycles(c.alu);
    info.mutable_pmu_data()->set_mac_ops(c.mac_ops);
    info.mutable_pmu_data()->set_vector_ops(c.vector_ops);
    info.mutable_device_info()->set_mac_peak_performance(c.mac_peak);
    ComputePmuUtil(&info, false);
    EXPECT_DOUBLE_EQ(info.pmu_util().compute_efficiency(), c.expected) << c.alu << " " << c.mac_ops;
  }
}

TEST(PmuUtilsTest, LtUtilizationUsesTheModelsDivisor) {
  // 6400 LT cycles over a total of 4 * 1000 * 0.1 = 400 cycles.
  const std::pair<int, double> cases[] = {{ACC201, 0.5}, {ACC203, 0.25}, {ACC401, 16},
                                          {INT_MIN, 16}, {INT_MAX, 16}};
  for (const auto& [zra_type, lt_utilization] : cases) {
    PmuInfo info;
    info.mutable_pmu_data()->set_lt_cycles(6400);
    info.mutable_pmu_data()->set_field14(100);
    *info.mutable_device_info() = MakeDeviceInfo(zra_type, 1000, 4, 4);
    ComputePmuUtil(&info, false);
    EXPECT_DOUBLE_EQ(info.pmu_util().lt_utilization(), lt_utilization) << zra_type;
  }
}

TEST(PmuUtilsTest, ZeroDenominatorsGiveInfinityOrNanNotTheMarker) {
  PmuInfo info = FullRecord();
  info.mutable_pmu_data()->set_alu_cycles(5);
  info.mutable_pmu_data()->set_dram_read_cycles(0);
  *info.mutable_device_info() = MakeDeviceInfo(ACC401, 0, 0, 0);  // everything zero
  ComputePmuUtil(&info, false);
  const PmuUtil& util = info.pmu_util();
  EXPECT_EQ(util.total_cycles_estimated(), 0.0);
  EXPECT_TRUE(std::isinf(util.alu_utilization()));
  EXPECT_TRUE(std::isnan(util.dram_working_read_utilization()));
  EXPECT_TRUE(std::isinf(util.read_bandwidth_utilization()));
  EXPECT_EQ(util.mac_utilization(), kNoValue);  // no peak figure
  // A device without cores but with a peak: (0 / 0) makes the MAC figure NaN.
  info.mutable_device_info()->set_mac_peak_performance(2.0);
  ComputePmuUtil(&info, false);
  EXPECT_TRUE(std::isnan(info.pmu_util().mac_utilization()));
}

TEST(PmuUtilsTest, MergePmuInfoAveragesPerOccurrence) {
  PmuInfo src;
  src.mutable_pmu_data()->set_lt_cycles(10);
  src.mutable_pmu_data()->set_mac_ops(kPmuNoValue);
  src.mutable_pmu_data()->set_field14(400);
  *src.mutable_device_info() = MakeDeviceInfo(ACC202, 1000, 4, 4);

  PmuInfo untouched;
  MergePmuInfo(&untouched, src, 0);
  EXPECT_EQ(untouched.ByteSizeLong(), 0u);

  PmuInfo dst;
  dst.mutable_pmu_data()->set_lt_cycles(3);
  MergePmuInfo(&dst, src, 4);
  EXPECT_EQ(dst.data_case(), PmuInfo::kAvePmuData);
  EXPECT_EQ(dst.ave_pmu_data().lt_cycles(), 2.5);
  EXPECT_EQ(dst.ave_pmu_data().mac_ops(), kNoValue);
  EXPECT_EQ(dst.ave_pmu_data().field14(), 100.0);
  EXPECT_EQ(DeviceInfoValues(dst.device_info()), DeviceInfoValues(src.device_info()));
  // Figures from the averages: total 4 * 1000 * 0.1 = 400, lt 2.5 / 64 / 400.
  EXPECT_DOUBLE_EQ(dst.pmu_util().lt_utilization(), 2.5 / 64 / 400);

  // Merging a record into itself reads it before it changes.
  MergePmuInfo(&src, src, 5);
  EXPECT_EQ(src.ave_pmu_data().lt_cycles(), 2.0);
  EXPECT_EQ(src.ave_pmu_data().field14(), 80.0);
}

TEST(PmuUtilsTest, CopyPmuUtilPeakChoosesTheEfficiencySource) {
  const struct {
    double src_mac, src_vec;
    bool src_has_util;
    double expected;  // the destination's compute efficiency
  } cases[] = {
      {kNoValue, kNoValue, true, 0.9},  // unchanged
      {0.3, 0.4, true, 0.25},           // its own LT figure
      {kNoValue, 0.4, true, 0.75},      // its own CT figure
      {0, 0, false, 0.25},              // absent figures read as known zeros
  };
  for (const auto& c : cases) {
    PmuInfo src;
    if (c.src_has_util) {
      src.mutable_pmu_util()->set_mac_utilization(c.src_mac);
      src.mutable_pmu_util()->set_vec_utilization(c.src_vec);
    }
    PmuInfo dst;
    dst.mutable_pmu_util()->set_lt_utilization(0.25);
    dst.mutable_pmu_util()->set_ct_utilization(0.75);
    dst.mutable_pmu_util()->set_compute_efficiency(0.9);
    CopyPmuUtilPeak(&dst, src);
    EXPECT_EQ(dst.pmu_util().compute_efficiency(), c.expected) << c.src_mac << " " << c.src_vec;
  }
}

TEST(PmuUtilsTest, PeakPerformanceByModelAndType) {
  struct Case {
    int zra_type;
    DataType type;
    double mac;     // MAC operations per core and cycle; 0: no figure
    double vector;  // vector operations per core and cycle
  };
  const Case cases[] = {
      {ACC302, INT4, 4096, 0},   {ACC301, HALF, 1536, 64},  {ACC302, TF32, 0, 0},
      {EDG102, INT8, 2048, 0},   {EDG102, HALF, 0, 64},     {ACC404, INT4, 8192, 0},
      {ACC401, FLOAT, 512, 32},  {ACC402, TF32, 1024, 0},   {EDG101, INT16, 512, 0},
      {SOC501, HALF, 0, 64},     {EDG101, BFLOAT16, 0, 32}, {ACC201, INT8, 0, 0},
      {-1, INT8, 0, 0},          {INT_MIN, HALF, 0, 0},     {INT_MAX, INT8, 0, 0},
      // Quantized types run on the plain type's MAC units; vector units have
      // no quantized figures.
      {ACC401, QINT4, 8192, 0},  {ACC401, QINT8, 4096, 0},  {ACC401, QINT16, 1024, 0},
      {ACC401, INVALID, 0, 0},   {ACC401, COUNT, 0, 0},     {ACC401, static_cast<DataType>(31), 0, 0},
      {ACC401, static_cast<DataType>(-7), 0, 0},
  };
  for (const Case& c : cases) {
    // 3 cores at 1250 MHz in tera-operations per second, a MAC being two.
    const DeviceInfo device = MakeDeviceInfo(c.zra_type, 1250, 3, 1);
    EXPECT_DOUBLE_EQ(GetMacPeakPerformance(c.type, device), 3 * c.mac * 1250 / 1e6 * 2)
        << c.zra_type << " " << c.type;
    EXPECT_DOUBLE_EQ(GetPeakPerformance(c.type, device), 3 * c.vector * 1250 / 1e6)
        << c.zra_type << " " << c.type;
  }
  // qint31 runs on int16 units at a quarter of their rate.
  EXPECT_DOUBLE_EQ(GetMacPeakPerformance(QINT31, MakeDeviceInfo(ACC401, 1000, 4, 4)), 2.048);
  EXPECT_EQ(GetMacPeakPerformance(QINT31, MakeDeviceInfo(ACC201, 1000, 4, 4)), 0.0);
}

ZENTRIK_CHILD_SCENARIO(PeakLookupsLogMissingFigures) {
  // One after the other: the log lines come in this order.
  const double peaks[] = {
      GetMacPeakPerformance(HALF, MakeDeviceInfo(EDG102, 1000, 4, 4)),
      GetMacPeakPerformance(QINT8, MakeDeviceInfo(-1, 1000, 4, 4)),
      GetMacPeakPerformance(static_cast<DataType>(40), MakeDeviceInfo(ACC401, 1000, 4, 4)),
      GetPeakPerformance(BFLOAT16, MakeDeviceInfo(ACC401, 1000, 4, 4)),
      GetPeakPerformance(FLOAT, MakeDeviceInfo(SOC501, 1000, 4, 4)),
      GetMacPeakPerformance(INT8, MakeDeviceInfo(SOC501, 1000, 4, 4)),
  };
  for (const double peak : peaks) std::printf("%g ", peak);
  std::printf("\n");
  return 0;
}

TEST(PmuUtilsTest, MissingPeakFiguresAreLoggedAtInfo) {
  const auto result =
      RunScenario("PeakLookupsLogMissingFigures", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "0 0 0 0 0.128 16.384 \n");
  EXPECT_THAT(
      LogLinesFrom(result.err, "trace/core/utils/pmu_utils"),
      ElementsAre("INFO dev type = 4, data type = half, no corresponding MAC peak performance.",
                  "INFO dev type = -1, data type = int8, no corresponding MAC peak performance.",
                  "INFO dev type = 11, data type = 40, no corresponding MAC peak performance.",
                  "INFO dev type = 11, data type = bfloat16, no corresponding peak performance"));
  // At the default level the lookups write nothing.
  const auto quiet =
      RunScenario("PeakLookupsLogMissingFigures", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", std::nullopt}});
  EXPECT_EQ(quiet.out, result.out);
  EXPECT_THAT(LogLinesFrom(quiet.err, "trace/core/utils/pmu_utils"), ::testing::IsEmpty());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
