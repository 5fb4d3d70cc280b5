#include "trace/core/utils/pmu_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/pmu_values.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::zentrik::testing::CounterValues;
using ::zentrik::testing::DeviceInfoValues;
using ::zentrik::testing::FigureValues;
using ::zentrik::testing::MakeDeviceInfo;
using ::zentrik::testing::RunScenario;
using ::zentrik::testing::SequencePmuData;

constexpr double kNoValue = kPmuNoValueDouble;

TEST(PmuUtilsTest, AddPmuDataSumsEachCounterAndKeepsMarkers) {
  EXPECT_THAT(
      CounterValues(AddPmuData(SequencePmuData(1), SequencePmuData(100))),
      ElementsAre(101, 103, 105, 107, 109, 111, 113, 115, 117, 119, 121, 123, 125, 127, 129, 131));
  struct Case {
    uint64_t a, b, sum;
  };
  const Case cases[] = {
      {5, 7, 12},
      {5, kPmuNoValue, kPmuNoValue},
      {kPmuNoValue, 7, kPmuNoValue},
      {kPmuNoValue, kPmuNoValue, kPmuNoValue},
      {kPmuNoValue - 1, 3, 1},  // wraps
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    PmuData a;
    PmuData b;
    a.set_dram_write_cycles(c.a);
    b.set_dram_write_cycles(c.b);
    a.set_vector_ops(c.a);
    b.set_vector_ops(c.b);
    const PmuData sum = AddPmuData(a, b);
    EXPECT_EQ(sum.dram_write_cycles(), c.sum) << c.a << " + " << c.b;
    EXPECT_EQ(sum.vector_ops(), c.sum) << c.a << " + " << c.b;
    EXPECT_EQ(sum.field14(), 0u);
  }
}

TEST(PmuUtilsTest, CopiesCountersAndDeviceFacts) {
  PmuData counters;
  CopyPmuCounters(SequencePmuData(kPmuNoValue - 20), &counters);
  EXPECT_EQ(CounterValues(counters), CounterValues(SequencePmuData(kPmuNoValue - 20)));

  DeviceInfo device;
  CopyDeviceInfo(MakeDeviceInfo(-1, 1300, 8, 4, 51.2, 3.5, 1.25), &device);
  EXPECT_THAT(DeviceInfoValues(device), ElementsAre(-1, 1300, 8, 51.2, 3.5, 4, 1.25));
}

TEST(PmuUtilsTest, CopyPmuInfoDataCopiesTheChosenCaseAndTheRest) {
  PmuInfo raw;
  *raw.mutable_pmu_data() = SequencePmuData(1);
  *raw.mutable_device_info() = MakeDeviceInfo(11, 1000, 4, 2, 8.0);
  raw.mutable_pmu_util()->set_lt_utilization(0.5);
  raw.mutable_pmu_util()->set_vec_utilization(kNoValue);
  raw.set_count(3);

  PmuInfo copy;
  copy.mutable_ave_pmu_data()->set_lt_cycles(9.5);
  CopyPmuInfoData(raw, &copy, /*average=*/false);
  EXPECT_EQ(copy.data_case(), PmuInfo::kPmuData);
  EXPECT_EQ(CounterValues(copy.pmu_data()), CounterValues(SequencePmuData(1)));
  EXPECT_EQ(FigureValues(copy.pmu_util()), FigureValues(raw.pmu_util()));
  EXPECT_EQ(DeviceInfoValues(copy.device_info()), DeviceInfoValues(raw.device_info()));
  EXPECT_EQ(copy.count(), 3u);

  // Asked for averages of a record that holds raw counters: zeros.
  PmuInfo averaged;
  CopyPmuInfoData(raw, &averaged, /*average=*/true);
  EXPECT_EQ(averaged.data_case(), PmuInfo::kAvePmuData);
  EXPECT_EQ(CounterValues(averaged.ave_pmu_data()), std::vector<double>(16, 0.0));
  EXPECT_EQ(averaged.count(), 3u);

  PmuInfo ave_source;
  ave_source.mutable_ave_pmu_data()->set_field14(2.5);
  ave_source.mutable_ave_pmu_data()->set_mac_ops(kNoValue);
  CopyPmuInfoData(ave_source, &averaged, /*average=*/true);
  EXPECT_EQ(averaged.ave_pmu_data().field14(), 2.5);
  EXPECT_EQ(averaged.ave_pmu_data().mac_ops(), kNoValue);
  // A source without figures or facts copies zeros over the old ones.
  EXPECT_EQ(FigureValues(averaged.pmu_util()), std::vector<double>(14, 0.0));
  EXPECT_EQ(DeviceInfoValues(averaged.device_info()), std::vector<double>(7, 0.0));
  EXPECT_EQ(averaged.count(), 0u);

  // A record copied onto itself in the other case reads the zeros of that case.
  CopyPmuInfoData(raw, &raw, /*average=*/true);
  EXPECT_EQ(raw.data_case(), PmuInfo::kAvePmuData);
  EXPECT_EQ(CounterValues(raw.ave_pmu_data()), std::vector<double>(16, 0.0));
  EXPECT_EQ(raw.pmu_util().lt_utilization(), 0.5);
  EXPECT_EQ(raw.count(), 3u);
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
  const std::vector<double> figures = FigureValues(info.pmu_util());
  ASSERT_EQ(figures.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(figures[i], expected[i]) << i;

  // The same counters as averages give the same figures.
  PmuInfo averaged;
  MergePmuInfo(&averaged, FullRecord(), 1);
  const std::vector<double> merged = FigureValues(averaged.pmu_util());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(merged[i], expected[i]) << i;
}

TEST(PmuUtilsTest, ComputePmuUtilWithoutTimeBaseHasNoFigure) {
  for (const bool average : {false, true}) {
    PmuInfo info;
    if (average) {
      MergePmuInfo(&info, FullRecord(), 2);
      info.mutable_ave_pmu_data()->set_field14(kNoValue);
      info.mutable_ave_pmu_data()->set_alu_cycles(3);
    } else {
      info = FullRecord();
      info.mutable_pmu_data()->set_field14(kPmuNoValue);
    }
    ComputePmuUtil(&info, average);
    EXPECT_EQ(FigureValues(info.pmu_util()), std::vector<double>(14, kNoValue)) << average;
  }
}

TEST(PmuUtilsTest, ComputePmuUtilMarksFiguresOfUnmeasuredCounters) {
  struct Case {
    const char* name;
    void (PmuData::*set)(uint64_t);
    std::vector<int> marked;  // indexes into FigureValues()
  };
  const Case cases[] = {
      {"lt", &PmuData::set_lt_cycles, {1}},
      {"csimd_pre", &PmuData::set_csimd_pre_cycles, {4}},
      {"csimd_post", &PmuData::set_csimd_post_cycles, {2, 5}},
      {"dram_read", &PmuData::set_dram_read_cycles, {6}},
      {"dram_write", &PmuData::set_dram_write_cycles, {7}},
      {"read_bytes", &PmuData::set_io_dma_read_bytes, {8, 12}},
      {"write_bytes", &PmuData::set_io_dma_write_bytes, {9, 12}},
      // compute efficiency falls back to the vector figure.
      {"mac_ops", &PmuData::set_mac_ops, {10}},
      {"vector_ops", &PmuData::set_vector_ops, {13}},
  };
  PmuInfo reference = FullRecord();
  ComputePmuUtil(&reference, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PmuInfo info = FullRecord();
    (info.mutable_pmu_data()->*c.set)(kPmuNoValue);
    ComputePmuUtil(&info, false);
    std::vector<double> expected = FigureValues(reference.pmu_util());
    for (const int i : c.marked) expected[i] = kNoValue;
    if (std::string(c.name) == "mac_ops") expected[11] = expected[13];
    EXPECT_EQ(FigureValues(info.pmu_util()), expected);
  }
}

TEST(PmuUtilsTest, ComputeEfficiencyFollowsTheFirstKnownCounter) {
  struct Case {
    uint64_t alu, mac_ops, vector_ops;
    double mac_peak;
    double expected;  // -1: the MAC figure, -2: the vector figure
  };
  const Case cases[] = {
      {7, 4000, 100, 8.0, kNoValue},             // a known ALU counter wins
      {kPmuNoValue, 4000, 100, 8.0, -1},         //
      {kPmuNoValue, 4000, 100, 0.0, kNoValue},   // MAC figure itself unknown
      {kPmuNoValue, kPmuNoValue, 100, 8.0, -2},  //
      {kPmuNoValue, kPmuNoValue, kPmuNoValue, 8.0, kNoValue},
  };
  for (const Case& c : cases) {
    PmuInfo info = FullRecord();
    info.mutable_pmu_data()->set_alu_cycles(c.alu);
    info.mutable_pmu_data()->set_mac_ops(c.mac_ops);
    info.mutable_pmu_data()->set_vector_ops(c.vector_ops);
    info.mutable_device_info()->set_mac_peak_performance(c.mac_peak);
    ComputePmuUtil(&info, false);
    const PmuUtil& util = info.pmu_util();
    const double expected = c.expected == -1   ? util.mac_utilization()
                            : c.expected == -2 ? util.vec_utilization()
                                               : c.expected;
    EXPECT_EQ(util.compute_efficiency(), expected) << c.alu << " " << c.mac_ops;
    if (c.expected == -1) {
      EXPECT_DOUBLE_EQ(expected, 0.001);
    } else if (c.expected == -2) {
      EXPECT_DOUBLE_EQ(expected, 0.0004);
    }
  }
}

TEST(PmuUtilsTest, LtUtilizationUsesTheModelsDivisor) {
  struct Case {
    int zra_type;
    double lt_utilization;
  };
  // 6400 LT cycles over a total of 4 * 1000 * 0.1 = 400 cycles.
  const Case cases[] = {
      {ACC201, 0.5}, {ACC202, 0.25}, {ACC203, 0.25}, {ACC302, 16},  {ACC401, 16},
      {-1, 16},      {12, 16},       {INT_MIN, 16},  {INT_MAX, 16},
  };
  for (const Case& c : cases) {
    PmuInfo info;
    info.mutable_pmu_data()->set_lt_cycles(6400);
    info.mutable_pmu_data()->set_field14(100);
    *info.mutable_device_info() = MakeDeviceInfo(c.zra_type, 1000, 4, 4);
    ComputePmuUtil(&info, false);
    EXPECT_DOUBLE_EQ(info.pmu_util().total_cycles_estimated(), 400) << c.zra_type;
    EXPECT_DOUBLE_EQ(info.pmu_util().lt_utilization(), c.lt_utilization) << c.zra_type;
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

TEST(PmuUtilsTest, ComputePmuUtilReadsZerosFromTheOtherCase) {
  PmuInfo info;
  info.mutable_ave_pmu_data()->set_field14(kNoValue);
  *info.mutable_device_info() = MakeDeviceInfo(ACC401, 1000, 4, 4);
  // Raw counters asked for, averages held: every counter reads 0.
  ComputePmuUtil(&info, /*average=*/false);
  EXPECT_EQ(info.pmu_util().total_cycles_estimated(), 0.0);
  EXPECT_TRUE(std::isnan(info.pmu_util().lt_utilization()));
}

TEST(PmuUtilsTest, MergePmuInfoAveragesPerOccurrence) {
  PmuInfo src;
  src.mutable_pmu_data()->set_lt_cycles(10);
  src.mutable_pmu_data()->set_mac_ops(kPmuNoValue);
  src.mutable_pmu_data()->set_field14(400);
  *src.mutable_device_info() = MakeDeviceInfo(ACC202, 1000, 4, 4);

  PmuInfo untouched;
  untouched.mutable_pmu_data()->set_lt_cycles(3);
  MergePmuInfo(&untouched, src, 0);
  EXPECT_EQ(untouched.data_case(), PmuInfo::kPmuData);
  EXPECT_EQ(untouched.pmu_data().lt_cycles(), 3u);
  EXPECT_FALSE(untouched.has_device_info());
  EXPECT_FALSE(untouched.has_pmu_util());

  PmuInfo dst;
  dst.mutable_pmu_data()->set_lt_cycles(3);
  MergePmuInfo(&dst, src, 4);
  EXPECT_EQ(dst.data_case(), PmuInfo::kAvePmuData);
  EXPECT_EQ(dst.ave_pmu_data().lt_cycles(), 2.5);
  EXPECT_EQ(dst.ave_pmu_data().mac_ops(), kNoValue);
  EXPECT_EQ(dst.ave_pmu_data().field14(), 100.0);
  EXPECT_EQ(dst.ave_pmu_data().alu_cycles(), 0.0);
  EXPECT_EQ(DeviceInfoValues(dst.device_info()), DeviceInfoValues(src.device_info()));
  // Figures from the averages: total 4 * 1000 * 0.1 = 400, lt 2.5 / 64 / 400.
  EXPECT_DOUBLE_EQ(dst.pmu_util().total_cycles_estimated(), 400);
  EXPECT_DOUBLE_EQ(dst.pmu_util().lt_utilization(), 2.5 / 64 / 400);
  EXPECT_EQ(dst.pmu_util().mac_utilization(), kNoValue);

  // A source holding averages has no raw counters: zeros.
  PmuInfo from_averages;
  MergePmuInfo(&from_averages, dst, 2);
  EXPECT_EQ(CounterValues(from_averages.ave_pmu_data()), std::vector<double>(16, 0.0));

  // Merging a record into itself reads it before it changes.
  MergePmuInfo(&src, src, 5);
  EXPECT_EQ(src.ave_pmu_data().lt_cycles(), 2.0);
  EXPECT_EQ(src.ave_pmu_data().field14(), 80.0);
}

TEST(PmuUtilsTest, CopyPmuUtilPeakChoosesTheEfficiencySource) {
  struct Case {
    double src_mac, src_vec;
    bool src_has_util;
    double expected;  // the destination's compute efficiency
  };
  const Case cases[] = {
      {kNoValue, kNoValue, true, 0.9},  // unchanged
      {0.3, kNoValue, true, 0.25},      // its own LT figure
      {0.3, 0.4, true, 0.25},           //
      {kNoValue, 0.4, true, 0.75},      // its own CT figure
      {0, 0, false, 0.25},              // absent figures read as known zeros
  };
  for (const Case& c : cases) {
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

  PmuInfo bare;
  PmuInfo markers;
  markers.mutable_pmu_util()->set_mac_utilization(kNoValue);
  markers.mutable_pmu_util()->set_vec_utilization(kNoValue);
  CopyPmuUtilPeak(&bare, markers);
  EXPECT_FALSE(bare.has_pmu_util());
  CopyPmuUtilPeak(&bare, PmuInfo());
  EXPECT_TRUE(bare.has_pmu_util());
  EXPECT_EQ(bare.pmu_util().compute_efficiency(), 0.0);
}

TEST(PmuUtilsTest, PeakPerformanceByModelAndType) {
  struct Case {
    int zra_type;
    DataType type;
    double mac;     // MAC operations per core and cycle; 0: no figure
    double vector;  // vector operations per core and cycle
  };
  const Case cases[] = {
      {ACC302, INT4, 4096, 0},
      {ACC301, INT8, 4096, 0},
      {ACC302, INT16, 2048, 0},
      {ACC301, HALF, 1536, 64},
      {ACC302, BFLOAT16, 1536, 0},
      {ACC301, FLOAT, 384, 32},
      {ACC302, TF32, 0, 0},
      {EDG102, INT4, 4096, 0},
      {EDG102, INT8, 2048, 0},
      {EDG102, INT16, 1024, 0},
      {EDG102, HALF, 0, 64},
      {EDG102, FLOAT, 0, 32},
      {ACC404, INT4, 8192, 0},
      {ACC403, INT8, 4096, 0},
      {ACC402, INT16, 1024, 0},
      {ACC401, HALF, 2048, 64},
      {ACC404, BFLOAT16, 2048, 0},
      {ACC403, FLOAT, 512, 32},
      {ACC402, TF32, 1024, 0},
      {ACC401, DOUBLE, 0, 0},
      {EDG101, INT4, 4096, 0},
      {SOC501, INT8, 2048, 0},
      {EDG101, INT16, 512, 0},
      {SOC501, HALF, 0, 64},
      {EDG101, BFLOAT16, 0, 32},
      {SOC501, FLOAT, 0, 32},
      {ACC201, INT8, 0, 0},
      {ACC202, FLOAT, 0, 0},
      {ACC203, HALF, 0, 0},
      {-1, INT8, 0, 0},
      {12, FLOAT, 0, 0},
      {INT_MIN, HALF, 0, 0},
      {INT_MAX, INT8, 0, 0},
      // Quantized types run on the plain type's MAC units; vector units have
      // no quantized figures.
      {ACC401, QINT4, 8192, 0},
      {ACC401, QINT8, 4096, 0},
      {ACC401, QINT16, 1024, 0},
      {EDG102, QINT8, 2048, 0},
      {ACC401, INVALID, 0, 0},
      {ACC401, COUNT, 0, 0},
      {ACC401, static_cast<DataType>(31), 0, 0},
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
  EXPECT_DOUBLE_EQ(GetMacPeakPerformance(QINT31, MakeDeviceInfo(EDG101, 1000, 4, 4)), 1.024);
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

// The message of each log line written by the library's PMU utilities.
std::vector<std::string> PmuLogMessages(const std::string& err) {
  std::vector<std::string> messages;
  std::istringstream stream(err);
  for (std::string line; std::getline(stream, line);) {
    const size_t unit = line.find(": INFO:  trace/core/utils/pmu_utils:");
    if (unit == std::string::npos) continue;
    messages.push_back(line.substr(line.find("] ", unit) + 2));
  }
  return messages;
}

TEST(PmuUtilsTest, MissingPeakFiguresAreLoggedAtInfo) {
  const auto result =
      RunScenario("PeakLookupsLogMissingFigures", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "0 0 0 0 0.128 16.384 \n");
  EXPECT_THAT(
      PmuLogMessages(result.err),
      ElementsAre("dev type = 4, data type = half, no corresponding MAC peak performance.",
                  "dev type = -1, data type = int8, no corresponding MAC peak performance.",
                  "dev type = 11, data type = 40, no corresponding MAC peak performance.",
                  "dev type = 11, data type = bfloat16, no corresponding peak performance"));

  // At the default level the lookups write nothing.
  const auto quiet =
      RunScenario("PeakLookupsLogMissingFigures", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", std::nullopt}});
  EXPECT_EQ(quiet.out, result.out);
  EXPECT_THAT(PmuLogMessages(quiet.err), ElementsAreArray(std::vector<std::string>{}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
