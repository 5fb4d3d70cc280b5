#include "trace/core/convert/pmu_display_args.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "testing/pmu_fixtures.h"

namespace zentrik {
namespace trace {
namespace {

constexpr double kNoFigure = 18446744073709551616.0;

TEST(PmuDisplayArgsTest, HugePercentagesArePrintedInFull) {
  for (const double value : {1e47, 1.7e306}) {
    std::vector<char> expected(512);
    snprintf(expected.data(), expected.size(), "%.2f %%", value * 100);
    EXPECT_EQ(FormatPercent(value), expected.data());
    EXPECT_GT(FormatPercent(value).size(), 49u);
  }
}

// A message whose field i (counters 1 to 16, figures 1 to 14) holds base + i;
// figures hold (base + i) / 100, shown as base + i percent. Built from wire
// bytes, so that every field is set by number.
template <typename Message>
Message Numbered(uint64_t base) {
  constexpr bool kFigures = std::is_same_v<Message, PmuUtil>;
  std::string bytes;
  for (int i = 1; i <= (kFigures ? 14 : 16); ++i) {
    for (uint64_t v = static_cast<uint64_t>(i) << 3 | (kFigures ? 1 : 0); v; v >>= 7) {
      bytes += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
    }
    const double figure = static_cast<double>(base + i) / 100;
    if (kFigures) bytes.append(reinterpret_cast<const char*>(&figure), sizeof(figure));
    if (!kFigures) bytes += static_cast<char>(base + i);  // below 128: one varint byte
  }
  Message message;
  EXPECT_TRUE(message.ParseFromString(bytes));
  return message;
}

TEST(PmuDisplayArgsTest, EachKeyShowsItsRecordAndField) {
  PmuInfo first, second;
  *first.mutable_pmu_data() = Numbered<PmuData>(100);
  *second.mutable_pmu_data() = Numbered<PmuData>(110);
  *first.mutable_pmu_util() = Numbered<PmuUtil>(0);
  *second.mutable_pmu_util() = Numbered<PmuUtil>(50);
  first.mutable_pmu_util()->set_total_cycles_estimated(98765.4);
  const std::map<std::string, std::string> expected = {
      {"[PMU]lt_utilization(%)", "2.00 %"},
      {"[PMU]ct_utilization(%)", "3.00 %"},
      {"[PMU]io_efficiency(%)", "63.00 %"},
      {"[PMU]compute_efficiency(%)", "62.00 %"},
      {"[PMU]read_bandwidth_utilization(%)", "[9.00 %, 59.00 %]"},
      {"[PMU]write_bandwidth_utilization(%)", "[10.00 %, 60.00 %]"},
      {"[PMU]mac_ops(count)", "125"},
      {"[PMU]vector_ops(count)", "126"},
      {"[PMU]mac_utilization(%)", "61.00 %"},
      {"[PMU]vec_utilization(%)", "64.00 %"},
      {"[PMU]io_dma_write_bytes(bytes)", "[101, 111]"},
      {"[PMU]io_dma_read_bytes(bytes)", "[102, 112]"},
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
  EXPECT_EQ(ComputePmuDisplayArgs(first, second), expected);
}

TEST(PmuDisplayArgsTest, EstimatedCycleTotalIsAnUnsignedCountOrNa) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double total;
    const char* text;
  } cases[] = {
      {1234.9, "1234"},
      {18446744073709549568.0, "18446744073709549568"},  // the largest double below 2^64
      {kNoFigure, "NA"},
      {-5.0, "NA"},
      {nan, "NA"},
  };
  for (const auto& c : cases) {
    PmuInfo first;
    first.mutable_pmu_util()->set_total_cycles_estimated(c.total);
    EXPECT_EQ(ComputePmuDisplayArgs(first, PmuInfo())["[PMU]total_cycles_estimated(count)"], c.text)
        << c.total;
  }
}

TEST(PmuDisplayArgsTest, PercentTexts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {0.5, "50.00 %"},
      {0.123456, "12.35 %"},
      {1.0, "100.00 %"},
      {0.0, "0.00 %"},
      {-0.25, "-25.00 %"},
      {kNoFigure, "NA"},
      {inf, "inf %"},
      {-inf, "-inf %"},
      {nan, "nan %"},
      {-nan, "nan %"},
      {std::nextafter(kNoFigure, 0.0), "1844674407370954899456.00 %"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatPercent(value), text) << value;
}

// A count shows "NA" for all ones; a pair of a kernel's own value and its
// annotation's shows only the first when the second has no value.
TEST(PmuDisplayArgsTest, CountsAndPairsOfBothRecords) {
  constexpr uint64_t kNoCounter = ~uint64_t{0};
  const struct {
    uint64_t first, second;
    const char* count;  // lt_cycles: the first record's only
    const char* pair;   // io_dma_read_bytes
  } counts[] = {
      {0, 0, "0", "[0, 0]"},
      {12345, 7, "12345", "[12345, 7]"},
      {kNoCounter - 1, kNoCounter - 1, "18446744073709551614",
       "[18446744073709551614, 18446744073709551614]"},
      {kNoCounter, 0, "NA", "[NA, 0]"},
      {0, kNoCounter, "0", "0"},
      {kNoCounter, kNoCounter, "NA", "NA"},
  };
  for (const auto& c : counts) {
    PmuInfo first, second;
    first.mutable_pmu_data()->set_lt_cycles(c.first);
    second.mutable_pmu_data()->set_lt_cycles(c.second);
    first.mutable_pmu_data()->set_io_dma_read_bytes(c.first);
    second.mutable_pmu_data()->set_io_dma_read_bytes(c.second);
    const auto args = ComputePmuDisplayArgs(first, second);
    EXPECT_EQ(args.at("[PMU]lt_cycles(count)"), c.count) << c.first << " " << c.second;
    EXPECT_EQ(args.at("[PMU]io_dma_read_bytes(bytes)"), c.pair) << c.first << " " << c.second;
  }
  const struct {
    double first, second;
    const char* pair;  // write_bandwidth_utilization
  } figures[] = {
      {0.25, kNoFigure, "25.00 %"},
      {kNoFigure, 0.03, "[NA, 3.00 %]"},
      {0.125, 0.03, "[12.50 %, 3.00 %]"},
      {kNoFigure, kNoFigure, "NA"},
  };
  for (const auto& c : figures) {
    PmuInfo first, second;
    first.mutable_pmu_util()->set_write_bandwidth_utilization(c.first);
    second.mutable_pmu_util()->set_write_bandwidth_utilization(c.second);
    EXPECT_EQ(ComputePmuDisplayArgs(first, second).at("[PMU]write_bandwidth_utilization(%)"),
              c.pair)
        << c.first << " " << c.second;
  }
}

TEST(PmuDisplayArgsTest, RecordsWithoutValuesShowNaEverywhere) {
  PmuInfo first, second;
  for (PmuInfo* info : {&first, &second}) {
    *info->mutable_pmu_data() = testing::AllUnknownPmuData();
    PmuUtil* util = info->mutable_pmu_util();
    for (auto set :
         {&PmuUtil::set_total_cycles_estimated, &PmuUtil::set_lt_utilization,
          &PmuUtil::set_ct_utilization, &PmuUtil::set_alu_utilization,
          &PmuUtil::set_csimd_pre_utilization, &PmuUtil::set_csimd_post_utilization,
          &PmuUtil::set_dram_working_read_utilization, &PmuUtil::set_dram_working_write_utilization,
          &PmuUtil::set_read_bandwidth_utilization, &PmuUtil::set_write_bandwidth_utilization,
          &PmuUtil::set_mac_utilization, &PmuUtil::set_compute_efficiency,
          &PmuUtil::set_io_efficiency, &PmuUtil::set_vec_utilization}) {
      (util->*set)(kNoFigure);
    }
  }
  const auto args = ComputePmuDisplayArgs(first, second);
  ASSERT_EQ(args.size(), 29u);
  for (const auto& [key, text] : args) EXPECT_EQ(text, "NA") << key;
}

// Averaged records, and records without counters or figures, read as zeros.
TEST(PmuDisplayArgsTest, RecordsWithoutRawCountersOrFiguresShowZeros) {
  PmuInfo averaged;
  averaged.mutable_ave_pmu_data()->set_lt_cycles(5.5);
  averaged.mutable_ave_pmu_data()->set_mac_ops(3.0);
  const PmuInfo empty;
  const auto args = ComputePmuDisplayArgs(averaged, averaged);
  EXPECT_EQ(args, ComputePmuDisplayArgs(empty, empty));
  EXPECT_EQ(args.at("[PMU]lt_cycles(count)"), "0");
  EXPECT_EQ(args.at("[PMU]mac_ops(count)"), "0");
  EXPECT_EQ(args.at("[PMU]io_dma_read_bytes(bytes)"), "[0, 0]");
  EXPECT_EQ(args.at("[PMU]read_bandwidth_utilization(%)"), "[0.00 %, 0.00 %]");
  EXPECT_EQ(args.at("[PMU]lt_utilization(%)"), "0.00 %");
  EXPECT_EQ(args.at("[PMU]total_cycles_estimated(count)"), "NA");
}

TEST(PmuDisplayArgsTest, EstimatedCycleTotalsAroundTheEdges) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<double, const char*> cases[] = {
      {0.7, "NA"},  {0.0, "NA"},
      {1.0, "1"},   {9223372036854775808.0, "9223372036854775808"},
      {1e30, "NA"}, {std::numeric_limits<double>::infinity(), "NA"},
      {-0.5, "NA"}, {-nan, "NA"},
  };
  for (const auto& [total, text] : cases) {
    PmuInfo first;
    first.mutable_pmu_util()->set_total_cycles_estimated(total);
    EXPECT_EQ(ComputePmuDisplayArgs(first, PmuInfo()).at("[PMU]total_cycles_estimated(count)"),
              text)
        << total;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
