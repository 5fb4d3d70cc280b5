#include "trace/core/convert/pmu_display_args.h"

#include <string_view>

#include "common/utils/number_format.h"
#include "trace/core/utils/pmu_utils.h"

namespace zentrik {
namespace trace {
namespace {

// The estimated cycle total as a count. A NaN, negative or too-large double
// has no unsigned value (converting one would be undefined behaviour); such
// values, the marker and totals below one cycle show "NA".
std::string FormatEstimatedCycles(double total) {
  if (!(total >= 1.0 && total < kPmuNoValueDouble)) return "NA";
  return FormatUnsigned(static_cast<uint64_t>(total));
}

// What one argument reads: both records' counters and figures.
struct PmuRecords {
  const PmuData& first_counters;
  const PmuUtil& first_figures;
  const PmuData& second_counters;
  const PmuUtil& second_figures;
};

struct PmuDisplayArg {
  std::string_view key;
  std::string (*text)(const PmuRecords& records);
};

using R = PmuRecords;

// In key order, so that building the ordered map appends at its end.
constexpr PmuDisplayArg kPmuDisplayArgs[] = {
    {"[PMU]alu_cycles(count)",
     [](const R& r) { return FormatCount(r.first_counters.alu_cycles()); }},
    {"[PMU]alu_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.alu_utilization()); }},
    {"[PMU]compute_efficiency(%)",
     [](const R& r) { return FormatPercent(r.second_figures.compute_efficiency()); }},
    {"[PMU]csimd_post_cycles(count)",
     [](const R& r) { return FormatCount(r.first_counters.csimd_post_cycles()); }},
    {"[PMU]csimd_post_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.csimd_post_utilization()); }},
    {"[PMU]csimd_pre_cycles(count)",
     [](const R& r) { return FormatCount(r.first_counters.csimd_pre_cycles()); }},
    {"[PMU]csimd_pre_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.csimd_pre_utilization()); }},
    {"[PMU]ct_cycles(count)", [](const R& r) { return FormatCount(r.first_counters.ct_cycles()); }},
    {"[PMU]ct_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.ct_utilization()); }},
    {"[PMU]dram_read_cycles(count)",
     [](const R& r) { return FormatCount(r.first_counters.dram_read_cycles()); }},
    {"[PMU]dram_working_read_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.dram_working_read_utilization()); }},
    {"[PMU]dram_working_write_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.dram_working_write_utilization()); }},
    {"[PMU]dram_write_cycles(count)",
     [](const R& r) { return FormatCount(r.first_counters.dram_write_cycles()); }},
    {"[PMU]io_dma_read_bytes(bytes)",
     [](const R& r) {
       return FormatCountPair(r.first_counters.io_dma_read_bytes(),
                              r.second_counters.io_dma_read_bytes());
     }},
    {"[PMU]io_dma_write_bytes(bytes)",
     [](const R& r) {
       return FormatCountPair(r.first_counters.io_dma_write_bytes(),
                              r.second_counters.io_dma_write_bytes());
     }},
    {"[PMU]io_efficiency(%)",
     [](const R& r) { return FormatPercent(r.second_figures.io_efficiency()); }},
    {"[PMU]lt_cycles(count)", [](const R& r) { return FormatCount(r.first_counters.lt_cycles()); }},
    {"[PMU]lt_utilization(%)",
     [](const R& r) { return FormatPercent(r.first_figures.lt_utilization()); }},
    {"[PMU]mac_ops(count)", [](const R& r) { return FormatCount(r.second_counters.mac_ops()); }},
    {"[PMU]mac_utilization(%)",
     [](const R& r) { return FormatPercent(r.second_figures.mac_utilization()); }},
    {"[PMU]read_bandwidth_utilization(%)",
     [](const R& r) {
       return FormatPercentPair(r.first_figures.read_bandwidth_utilization(),
                                r.second_figures.read_bandwidth_utilization());
     }},
    {"[PMU]tlb_read_access(times)",
     [](const R& r) { return FormatCount(r.first_counters.tlb_read_access()); }},
    {"[PMU]tlb_read_miss(times)",
     [](const R& r) { return FormatCount(r.first_counters.tlb_read_miss()); }},
    {"[PMU]tlb_write_access(times)",
     [](const R& r) { return FormatCount(r.first_counters.tlb_write_access()); }},
    {"[PMU]tlb_write_miss(times)",
     [](const R& r) { return FormatCount(r.first_counters.tlb_write_miss()); }},
    {"[PMU]total_cycles_estimated(count)",
     [](const R& r) { return FormatEstimatedCycles(r.first_figures.total_cycles_estimated()); }},
    {"[PMU]vec_utilization(%)",
     [](const R& r) { return FormatPercent(r.second_figures.vec_utilization()); }},
    {"[PMU]vector_ops(count)",
     [](const R& r) { return FormatCount(r.second_counters.vector_ops()); }},
    {"[PMU]write_bandwidth_utilization(%)",
     [](const R& r) {
       return FormatPercentPair(r.first_figures.write_bandwidth_utilization(),
                                r.second_figures.write_bandwidth_utilization());
     }},
};

// A record's raw counters and figures; the accessors give all-zero messages
// when the record holds averages, nothing, or no figures.
PmuRecords ReadRecords(const PmuInfo& first, const PmuInfo& second) {
  return PmuRecords{first.pmu_data(), first.pmu_util(), second.pmu_data(), second.pmu_util()};
}

}  // namespace

std::string FormatPercent(double value) {
  if (value == kPmuNoValueDouble) return "NA";
  // Printed in full: a fixed-size buffer would cut the digits of huge ratios.
  std::string text = FormatFixed(value * 100, 2);
  text += " %";
  return text;
}

std::string FormatCount(uint64_t value) {
  if (value == kPmuNoValue) return "NA";
  return FormatUnsigned(value);
}

std::string FormatPercentPair(double a, double b) {
  if (b == kPmuNoValueDouble) return FormatPercent(a);
  return "[" + FormatPercent(a) + ", " + FormatPercent(b) + "]";
}

std::string FormatCountPair(uint64_t a, uint64_t b) {
  if (b == kPmuNoValue) return FormatCount(a);
  return "[" + FormatCount(a) + ", " + FormatUnsigned(b) + "]";
}

std::map<std::string, std::string> ComputePmuDisplayArgs(const PmuInfo& first,
                                                         const PmuInfo& second) {
  const PmuRecords records = ReadRecords(first, second);
  std::map<std::string, std::string> args;
  for (const PmuDisplayArg& arg : kPmuDisplayArgs) {
    args.emplace_hint(args.end(), arg.key, arg.text(records));
  }
  return args;
}

void SetPmuDisplayArgs(const PmuInfo& first, const PmuInfo& second,
                       google::protobuf::Map<std::string, std::string>* args) {
  const PmuRecords records = ReadRecords(first, second);
  for (const PmuDisplayArg& arg : kPmuDisplayArgs) {
    (*args)[std::string(arg.key)] = arg.text(records);
  }
}

}  // namespace trace
}  // namespace zentrik
