#include "trace/core/convert/pmu_display_args.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

using ::testing::Each;
using ::testing::Pair;
using ::testing::SizeIs;

constexpr double kNoFigure = 18446744073709551616.0;
constexpr uint64_t kNoCounter = std::numeric_limits<uint64_t>::max();

TEST(PmuDisplayArgsTest, HugePercentagesArePrintedInFull) {
  for (const double value : {1e47, 1e100, 1.7e306}) {
    std::vector<char> expected(512);
    snprintf(expected.data(), expected.size(), "%.2f %%", value * 100);
    EXPECT_EQ(FormatPercent(value), expected.data());
    EXPECT_GT(FormatPercent(value).size(), 49u);
  }
}

// The counters and figures in field-number order.
using CounterSetter = void (PmuData::*)(uint64_t);
constexpr CounterSetter kCounterSetters[] = {&PmuData::set_io_dma_write_bytes,
                                             &PmuData::set_io_dma_read_bytes,
                                             &PmuData::set_tlb_write_access,
                                             &PmuData::set_tlb_read_access,
                                             &PmuData::set_tlb_write_miss,
                                             &PmuData::set_tlb_read_miss,
                                             &PmuData::set_lt_cycles,
                                             &PmuData::set_ct_cycles,
                                             &PmuData::set_alu_cycles,
                                             &PmuData::set_csimd_pre_cycles,
                                             &PmuData::set_csimd_post_cycles,
                                             &PmuData::set_dram_read_cycles,
                                             &PmuData::set_dram_write_cycles,
                                             &PmuData::set_field14,
                                             &PmuData::set_mac_ops,
                                             &PmuData::set_vector_ops};
using FigureSetter = void (PmuUtil::*)(double);
constexpr FigureSetter kFigureSetters[] = {&PmuUtil::set_total_cycles_estimated,
                                           &PmuUtil::set_lt_utilization,
                                           &PmuUtil::set_ct_utilization,
                                           &PmuUtil::set_alu_utilization,
                                           &PmuUtil::set_csimd_pre_utilization,
                                           &PmuUtil::set_csimd_post_utilization,
                                           &PmuUtil::set_dram_working_read_utilization,
                                           &PmuUtil::set_dram_working_write_utilization,
                                           &PmuUtil::set_read_bandwidth_utilization,
                                           &PmuUtil::set_write_bandwidth_utilization,
                                           &PmuUtil::set_mac_utilization,
                                           &PmuUtil::set_compute_efficiency,
                                           &PmuUtil::set_io_efficiency,
                                           &PmuUtil::set_vec_utilization};

// Counter i (1-based field number) becomes base + i; with `same`, every
// counter becomes base.
void FillCounters(uint64_t base, PmuData* data, bool same = false) {
  uint64_t i = 0;
  for (CounterSetter setter : kCounterSetters) (data->*setter)(same ? base : base + ++i);
}

// Figure i becomes (base + i) / 100, shown as base + i percent; with `same`,
// every figure becomes base.
void FillFigures(double base, PmuUtil* util, bool same = false) {
  double i = 0;
  for (FigureSetter setter : kFigureSetters) (util->*setter)(same ? base : (base + ++i) / 100);
}

TEST(PmuDisplayArgsTest, EachKeyShowsItsRecordAndField) {
  PmuInfo first, second;
  FillCounters(100, first.mutable_pmu_data());
  FillCounters(200, second.mutable_pmu_data());
  FillFigures(0, first.mutable_pmu_util());
  FillFigures(50, second.mutable_pmu_util());
  first.mutable_pmu_util()->set_total_cycles_estimated(98765.4);
  const std::map<std::string, std::string> expected = {
      {"[PMU]lt_utilization(%)", "2.00 %"},
      {"[PMU]ct_utilization(%)", "3.00 %"},
      {"[PMU]io_efficiency(%)", "63.00 %"},
      {"[PMU]compute_efficiency(%)", "62.00 %"},
      {"[PMU]read_bandwidth_utilization(%)", "[9.00 %, 59.00 %]"},
      {"[PMU]write_bandwidth_utilization(%)", "[10.00 %, 60.00 %]"},
      {"[PMU]mac_ops(count)", "215"},
      {"[PMU]vector_ops(count)", "216"},
      {"[PMU]mac_utilization(%)", "61.00 %"},
      {"[PMU]vec_utilization(%)", "64.00 %"},
      {"[PMU]io_dma_write_bytes(bytes)", "[101, 201]"},
      {"[PMU]io_dma_read_bytes(bytes)", "[102, 202]"},
      {"[PMU]lt_cycles(count)", "107"},
      {"[PMU]alu_cycles(count)", "109"},
      {"[PMU]alu_utilization(%)", "4.00 %"},
      {"[PMU]tlb_write_access(times)", "103"},
      {"[PMU]tlb_read_access(times)", "104"},
      {"[PMU]tlb_write_miss(times)", "105"},
      {"[PMU]tlb_read_miss(times)", "106"},
      {"[PMU]total_cycles_estimated(count)", "98765"},
      {"[PMU]ct_cycles(count)", "108"},
      {"[PMU]csimd_pre_cycles(count)", "110"},
      {"[PMU]csimd_pre_utilization(%)", "5.00 %"},
      {"[PMU]csimd_post_cycles(count)", "111"},
      {"[PMU]csimd_post_utilization(%)", "6.00 %"},
      {"[PMU]dram_read_cycles(count)", "112"},
      {"[PMU]dram_working_read_utilization(%)", "7.00 %"},
      {"[PMU]dram_write_cycles(count)", "113"},
      {"[PMU]dram_working_write_utilization(%)", "8.00 %"},
  };
  ASSERT_THAT(expected, SizeIs(29));
  const PmuInfo first_copy = first, second_copy = second;
  EXPECT_EQ(ComputePmuDisplayArgs(first, second), expected);
  EXPECT_EQ(first.SerializeAsString(), first_copy.SerializeAsString());
  EXPECT_EQ(second.SerializeAsString(), second_copy.SerializeAsString());
}

TEST(PmuDisplayArgsTest, EstimatedCycleTotalIsAnUnsignedCountOrNa) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double total;
    const char* text;
  } cases[] = {
      {0.7, "NA"},
      {0.0, "NA"},
      {1.0, "1"},
      {1234.9, "1234"},
      {9223372036854775808.0, "9223372036854775808"},
      {18446744073709549568.0, "18446744073709549568"},  // the largest double below 2^64
      {kNoFigure, "NA"},
      {1e30, "NA"},
      {std::numeric_limits<double>::infinity(), "NA"},
      {-5.0, "NA"},
      {-0.5, "NA"},
      {nan, "NA"},
      {-nan, "NA"},
  };
  for (const auto& c : cases) {
    PmuInfo first;
    first.mutable_pmu_util()->set_total_cycles_estimated(c.total);
    EXPECT_EQ(ComputePmuDisplayArgs(first, PmuInfo())["[PMU]total_cycles_estimated(count)"], c.text)
        << c.total;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
