#include "trace/core/utils/pmu_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/pmu_fixtures.h"
#include "testing/pmu_values.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::NanSensitiveDoubleEq;
using ::testing::Pointwise;
using ::zentrik::testing::FigureValues;
using ::zentrik::testing::MakeDeviceInfo;

constexpr double kNo = kPmuNoValueDouble;

// A missing counter on either side stays missing; a sum wraps past the marker.
TEST(PmuUtilsTest, AddPmuDataKeepsMarkers) {
  PmuData a, b;
  a.set_vector_ops(5), b.set_vector_ops(kPmuNoValue);
  EXPECT_EQ(AddPmuData(a, b).vector_ops(), kPmuNoValue);
  a.set_vector_ops(kPmuNoValue - 1), b.set_vector_ops(3);
  EXPECT_EQ(AddPmuData(a, b).vector_ops(), 1u);
}

// Every counter known on an ACC401, whose LT counter needs no divisor; tlb_*
// and ct_cycles are not read, so their markers must not matter.
PmuInfo FullRecord() {
  PmuInfo info;
  PmuData* d = info.mutable_pmu_data();
  *d = testing::AllUnknownPmuData();
  for (const auto& [setter, value] : std::vector<std::pair<void (PmuData::*)(uint64_t), uint64_t>>{
           {&PmuData::set_io_dma_write_bytes, 500}, {&PmuData::set_io_dma_read_bytes, 1000},
           {&PmuData::set_lt_cycles, 500}, {&PmuData::set_csimd_pre_cycles, 100},
           {&PmuData::set_csimd_post_cycles, 200}, {&PmuData::set_dram_read_cycles, 400},
           {&PmuData::set_dram_write_cycles, 1000}, {&PmuData::set_field14, 1000},
           {&PmuData::set_mac_ops, 4000}, {&PmuData::set_vector_ops, 100}}) {
    (d->*setter)(value);
  }
  *info.mutable_device_info() = MakeDeviceInfo(11, 1000, 4, 2, 2.0, 8.0, 0.5);
  return info;
}

// Each row changes the full record and gives figures (index into
// FigureValues: value; -1: all); averages over one occurrence must agree.
TEST(PmuUtilsTest, ComputePmuUtilFromCountersAndFromAverages) {
  // total = 2 * (1000 * (1000 * 0.001)) = 2000 cycles; lt 500 / 2000; ct =
  // csimd_post; mac 4000 / ((2 / 4) * 8 * 1000 * 1000); vec 100 / ((2 / 4) *
  // 0.5 * 1000 * 1000); compute efficiency: the MAC figure (alu unknown).
  const std::vector<double> full = {2000, 0.25, 0.1,   kNo,   0.05, 0.1, 0.2,
                                    0.5,  0.5,  0.25, 0.001, 0.001, 0.75, 0.0004};
  const std::pair<std::function<void(PmuData*, DeviceInfo*)>, std::map<int, double>> cases[] = {
      {[](PmuData*, DeviceInfo*) {}, {}},
      {[](PmuData* d, DeviceInfo*) { d->set_mac_ops(kPmuNoValue), d->set_vector_ops(kPmuNoValue); },
       {{10, kNo}, {11, kNo}, {13, kNo}}},
      {[](PmuData*, DeviceInfo* i) { i->set_zra_type(static_cast<ZraType>(INT_MIN)); }, {}},
      {[](PmuData* d, DeviceInfo* i) {  // zero divisors everywhere: the marker, never inf or NaN
         d->set_alu_cycles(5), d->set_dram_read_cycles(0);
         *i = MakeDeviceInfo(ACC401, 0, 0, 0, 0, 2.0, 0);
       },
       {{-1, kNo}, {0, 0}}},
      // A zero total: every figure over it; no core used: the operations' figures too.
      {[](PmuData*, DeviceInfo* i) { i->set_core_used(0); },
       {{0, 0}, {1, kNo}, {2, kNo}, {3, kNo}, {4, kNo}, {5, kNo}, {6, kNo}, {7, kNo},
        {10, kNo}, {11, kNo}, {13, kNo}}},
      {[](PmuData*, DeviceInfo* i) { i->set_frequency(0); },
       {{0, 0}, {1, kNo}, {2, kNo}, {3, kNo}, {4, kNo}, {5, kNo}, {6, kNo}, {7, kNo}}},
      {[](PmuData*, DeviceInfo* i) { i->set_core_count(0); }, {{10, kNo}, {11, kNo}, {13, kNo}}},
      {[](PmuData*, DeviceInfo* i) { i->set_top_bandwidth(0); }, {{8, kNo}, {9, kNo}, {12, kNo}}},
      {[](PmuData* d, DeviceInfo*) { d->set_field14(kPmuNoValue); }, {{-1, kNo}}},
  };
  for (size_t row = 0; row < std::size(cases); ++row) {
    PmuInfo raw = FullRecord(), averaged;
    cases[row].first(raw.mutable_pmu_data(), raw.mutable_device_info());
    std::vector<double> expected = full;
    for (const auto& [index, value] : cases[row].second) {
      index < 0 ? expected.assign(full.size(), value) : void(expected[index] = value);
    }
    MergePmuInfo(&averaged, raw, 1);
    ComputePmuUtil(&raw, /*average=*/false);
    for (const PmuInfo* result : {&raw, &averaged}) {
      EXPECT_THAT(FigureValues(result->pmu_util()), Pointwise(NanSensitiveDoubleEq(), expected))
          << "row " << row << (result == &raw ? "" : " averaged");
    }
  }
}

TEST(PmuUtilsTest, MergeAndCopyReadTheSourceBeforeChangingIt) {
  PmuInfo src = FullRecord();
  src.mutable_pmu_data()->set_lt_cycles(10);
  src.mutable_pmu_util()->set_lt_utilization(0.5);
  PmuInfo self = src, copy;
  MergePmuInfo(&self, self, 5);  // onto itself: divides its own counters
  EXPECT_EQ(self.ave_pmu_data().lt_cycles(), 2.0);
  copy.mutable_ave_pmu_data()->set_lt_cycles(9.5);
  CopyPmuInfoData(src, &copy, /*average=*/false);
  EXPECT_EQ(copy.SerializeAsString(), src.SerializeAsString());
  // Onto itself in the other case: reads that case's zeros.
  CopyPmuInfoData(src, &src, /*average=*/true);
  *copy.mutable_ave_pmu_data() = AvePmuData();
  EXPECT_EQ(src.SerializeAsString(), copy.SerializeAsString());
}

TEST(PmuUtilsTest, PeakPerformanceByModelAndTypeForAnyValue) {
  // Operations per core and cycle, MAC and vector (0: none); qint4 runs on int4 MAC units.
  const std::tuple<int, DataType, double, double> cases[] = {
      {ACC301, HALF, 1536, 64}, {EDG102, HALF, 0, 64}, {INT_MIN, HALF, 0, 0}, {INT_MAX, INT8, 0, 0},
      {ACC401, QINT4, 8192, 0}, {ACC401, static_cast<DataType>(-7), 0, 0}};
  for (const auto& [zra_type, type, mac, vector] : cases) {
    // 3 cores at 1250 MHz in tera-operations per second, a MAC being two.
    const DeviceInfo device = MakeDeviceInfo(zra_type, 1250, 3, 1);
    EXPECT_DOUBLE_EQ(GetMacPeakPerformance(type, device), 3 * mac * 1250 / 1e6 * 2) << zra_type;
    EXPECT_DOUBLE_EQ(GetPeakPerformance(type, device), 3 * vector * 1250 / 1e6) << zra_type;
  }
}

ZENTRIK_CHILD_SCENARIO(PeakLookupsLogMissingFigures) {
  // A data type out of range is named by its number.
  const DeviceInfo acc401 = MakeDeviceInfo(ACC401, 1000, 4, 4);
  GetMacPeakPerformance(static_cast<DataType>(40), acc401);
  return GetPeakPerformance(BFLOAT16, acc401) == 0.0 ? 0 : 1;
}

TEST(PmuUtilsTest, MissingPeakFiguresAreLoggedAtInfo) {
  const auto result =
      testing::RunScenario("PeakLookupsLogMissingFigures", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(testing::LogLinesFrom(result.err, "trace/core/utils/pmu_utils"),
            std::vector<std::string>(
                {"INFO dev type = 11, data type = 40, no corresponding MAC peak performance.",
                 "INFO dev type = 11, data type = bfloat16, no corresponding peak performance"}));
}

// Each row leaves one counter of the full record unmeasured: the figures that
// read it, and only those, become the marker.
TEST(PmuUtilsTest, ComputePmuUtilMarksFiguresOfUnmeasuredCounters) {
  const struct {
    const char* name;
    void (PmuData::*set)(uint64_t);
    std::vector<int> marked;  // indexes into FigureValues
  } cases[] = {
      {"lt", &PmuData::set_lt_cycles, {1}},
      {"csimd_pre", &PmuData::set_csimd_pre_cycles, {4}},
      {"csimd_post", &PmuData::set_csimd_post_cycles, {2, 5}},
      {"dram_read", &PmuData::set_dram_read_cycles, {6}},
      {"dram_write", &PmuData::set_dram_write_cycles, {7}},
      {"read_bytes", &PmuData::set_io_dma_read_bytes, {8, 12}},
      {"write_bytes", &PmuData::set_io_dma_write_bytes, {9, 12}},
      // Compute efficiency falls back to the vector figure.
      {"mac_ops", &PmuData::set_mac_ops, {10}},
      {"vector_ops", &PmuData::set_vector_ops, {13}},
  };
  PmuInfo reference = FullRecord();
  ComputePmuUtil(&reference, /*average=*/false);
  for (const auto& c : cases) {
    PmuInfo info = FullRecord();
    (info.mutable_pmu_data()->*c.set)(kPmuNoValue);
    ComputePmuUtil(&info, /*average=*/false);
    std::vector<double> expected = FigureValues(reference.pmu_util());
    for (const int i : c.marked) expected[i] = kNo;
    if (std::string(c.name) == "mac_ops") expected[11] = expected[13];
    EXPECT_EQ(FigureValues(info.pmu_util()), expected) << c.name;
  }
}

// A known ALU counter leaves no compute efficiency; otherwise the MAC figure
// when MAC operations were counted, else the vector figure.
TEST(PmuUtilsTest, ComputeEfficiencyFollowsTheFirstKnownCounter) {
  const struct {
    uint64_t alu, mac_ops, vector_ops;
    double mac_peak;
    double expected;
  } cases[] = {
      {7, 4000, 100, 8.0, kNo},
      {kPmuNoValue, 4000, 100, 8.0, 0.001},          // the MAC figure
      {kPmuNoValue, 4000, 100, 0.0, kNo},            // the MAC figure, itself unknown
      {kPmuNoValue, kPmuNoValue, 100, 8.0, 0.0004},  // the vector figure
      {kPmuNoValue, kPmuNoValue, kPmuNoValue, 8.0, kNo},
  };
  for (const auto& c : cases) {
    PmuInfo info = FullRecord();
    info.mutable_pmu_data()->set_alu_cycles(c.alu);
    info.mutable_pmu_data()->set_mac_ops(c.mac_ops);
    info.mutable_pmu_data()->set_vector_ops(c.vector_ops);
    info.mutable_device_info()->set_mac_peak_performance(c.mac_peak);
    ComputePmuUtil(&info, /*average=*/false);
    EXPECT_DOUBLE_EQ(info.pmu_util().compute_efficiency(), c.expected)
        << c.alu << " " << c.mac_ops << " " << c.vector_ops << " " << c.mac_peak;
  }
}

TEST(PmuUtilsTest, LtUtilizationUsesTheModelsDivisor) {
  // 6400 LT cycles over a total of 4 * 1000 * 0.1 = 400 cycles.
  const std::pair<int, double> cases[] = {
      {ACC201, 0.5}, {ACC202, 0.25}, {ACC203, 0.25}, {ACC302, 16},  {ACC401, 16},
      {-1, 16},      {12, 16},       {INT_MIN, 16},  {INT_MAX, 16},
  };
  for (const auto& [zra_type, lt_utilization] : cases) {
    PmuInfo info;
    info.mutable_pmu_data()->set_lt_cycles(6400);
    info.mutable_pmu_data()->set_field14(100);
    *info.mutable_device_info() = MakeDeviceInfo(zra_type, 1000, 4, 4);
    ComputePmuUtil(&info, /*average=*/false);
    EXPECT_DOUBLE_EQ(info.pmu_util().total_cycles_estimated(), 400) << zra_type;
    EXPECT_DOUBLE_EQ(info.pmu_util().lt_utilization(), lt_utilization) << zra_type;
  }
}

TEST(PmuUtilsTest, MergePmuInfoAveragesPerOccurrence) {
  PmuInfo src;
  src.mutable_pmu_data()->set_lt_cycles(10);
  src.mutable_pmu_data()->set_mac_ops(kPmuNoValue);
  src.mutable_pmu_data()->set_field14(400);
  *src.mutable_device_info() = MakeDeviceInfo(ACC202, 1000, 4, 4);

  // No occurrence: nothing changes.
  PmuInfo untouched;
  untouched.mutable_pmu_data()->set_lt_cycles(3);
  const std::string before = untouched.SerializeAsString();
  MergePmuInfo(&untouched, src, 0);
  EXPECT_EQ(untouched.SerializeAsString(), before);

  PmuInfo dst;
  dst.mutable_pmu_data()->set_lt_cycles(3);
  MergePmuInfo(&dst, src, 4);
  ASSERT_EQ(dst.data_case(), PmuInfo::kAvePmuData);
  std::vector<double> averages(16, 0.0);
  averages[6] = 2.5, averages[13] = 100.0, averages[14] = kNo;  // lt, field14, mac_ops
  EXPECT_EQ(testing::CounterValues(dst.ave_pmu_data()), averages);
  EXPECT_EQ(testing::DeviceInfoValues(dst.device_info()),
            testing::DeviceInfoValues(src.device_info()));
  // Figures from the averages: total 4 * 1000 * 0.1 = 400, lt 2.5 / 64 / 400.
  EXPECT_DOUBLE_EQ(dst.pmu_util().total_cycles_estimated(), 400);
  EXPECT_DOUBLE_EQ(dst.pmu_util().lt_utilization(), 2.5 / 64 / 400);
  EXPECT_EQ(dst.pmu_util().mac_utilization(), kNo);

  // A source holding averages has no raw counters: zeros.
  PmuInfo from_averages;
  MergePmuInfo(&from_averages, dst, 2);
  EXPECT_EQ(testing::CounterValues(from_averages.ave_pmu_data()), std::vector<double>(16, 0.0));
}

// For a kernel's two records: the destination's compute efficiency becomes
// its own LT figure when the source's MAC figure is known, its own CT figure
// when only the source's vector figure is, and stays when neither is.
TEST(PmuUtilsTest, CopyPmuUtilPeakChoosesTheEfficiencySource) {
  const struct {
    double src_mac, src_vec;
    bool src_has_util;
    double expected;
  } cases[] = {
      {kNo, kNo, true, 0.9},   // unchanged
      {0.3, kNo, true, 0.25},  // its own LT figure
      {0.3, 0.4, true, 0.25},  // its own LT figure
      {kNo, 0.4, true, 0.75},  // its own CT figure
      {0, 0, false, 0.25},     // absent figures read as known zeros
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

// Every row of the two peak tables, the models without one, and types and
// models outside the enums.
TEST(PmuUtilsTest, PeakTablesByModelAndType) {
  const struct {
    int zra_type;
    DataType type;
    double mac, vector;  // operations per core and cycle; 0: no figure
  } cases[] = {
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
      {ACC404, HALF, 2048, 64},
      {ACC402, FLOAT, 512, 32},
      {EDG101, INT4, 4096, 0},
      {SOC501, INT8, 2048, 0},
      {EDG101, INT16, 512, 0},
      {SOC501, FLOAT, 0, 32},
      {EDG101, HALF, 0, 64},
      {SOC501, BFLOAT16, 0, 32},
      {EDG101, BFLOAT16, 0, 32},
      {SOC501, HALF, 0, 64},
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
  for (const auto& c : cases) {
    // 3 cores at 1250 MHz in tera-operations per second, a MAC being two.
    const DeviceInfo device = MakeDeviceInfo(c.zra_type, 1250, 3, 1);
    EXPECT_DOUBLE_EQ(GetMacPeakPerformance(c.type, device), 3 * c.mac * 1250 / 1e6 * 2)
        << c.zra_type << " " << c.type;
    EXPECT_DOUBLE_EQ(GetPeakPerformance(c.type, device), 3 * c.vector * 1250 / 1e6)
        << c.zra_type << " " << c.type;
  }
  // qint31 runs on int16 MAC units at a quarter of their rate.
  const std::pair<int, double> qint31[] = {
      {ACC401, 2.048}, {EDG101, 1.024}, {ACC301, 4.096}, {ACC201, 0.0}};
  for (const auto& [zra_type, peak] : qint31) {
    EXPECT_DOUBLE_EQ(GetMacPeakPerformance(QINT31, MakeDeviceInfo(zra_type, 1000, 4, 4)), peak)
        << zra_type;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
