#include "trace/core/convert/pmu_display_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

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

}  // namespace
}  // namespace trace
}  // namespace zentrik
