#include "trace/core/utils/pmu_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
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

}  // namespace
}  // namespace trace
}  // namespace zentrik
