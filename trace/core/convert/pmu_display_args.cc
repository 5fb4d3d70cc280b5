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
void AppendEstimatedCycles(double total, std::string* out) {
  if (!(total >= 1.0 && total < kPmuNoValueDouble)) {
    out->append("NA");
    return;
  }
  AppendUnsigned(static_cast<uint64_t>(total), out);
}

void AppendPercent(double value, std::string* out) {
  if (value == kPmuNoValueDouble) {
    out->append("NA");
    return;
  }
  // Printed in full: a fixed-size buffer would cut the digits of huge ratios.
  AppendFixed(value * 100, 2, out);
  out->append(" %");
}

void AppendCount(uint64_t value, std::string* out) {
  if (value == kPmuNoValue) {
    out->append("NA");
    return;
  }
  AppendUnsigned(value, out);
}

void AppendPercentPair(double a, double b, std::string* out) {
  if (b == kPmuNoValueDouble) return AppendPercent(a, out);
  out->push_back('[');
  AppendPercent(a, out);
  out->append(", ");
  AppendPercent(b, out);
  out->push_back(']');
}

void AppendCountPair(uint64_t a, uint64_t b, std::string* out) {
  if (b == kPmuNoValue) return AppendCount(a, out);
  out->push_back('[');
  AppendCount(a, out);
  out->append(", ");
  AppendUnsigned(b, out);
  out->push_back(']');
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
  void (*append)(const PmuRecords& records, std::string* out);
};

using R = PmuRecords;

// In key order, so that building the ordered map appends at its end.
constexpr PmuDisplayArg kPmuDisplayArgs[kPmuDisplayArgCount] = {
    {"[PMU]alu_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.alu_cycles(), o); }},
    {"[PMU]alu_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.first_figures.alu_utilization(), o); }},
    {"[PMU]compute_efficiency(%)",
     [](const R& r, std::string* o) { AppendPercent(r.second_figures.compute_efficiency(), o); }},
    {"[PMU]csimd_post_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.csimd_post_cycles(), o); }},
    {"[PMU]csimd_post_utilization(%)",
     [](const R& r, std::string* o) {
       AppendPercent(r.first_figures.csimd_post_utilization(), o);
     }},
    {"[PMU]csimd_pre_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.csimd_pre_cycles(), o); }},
    {"[PMU]csimd_pre_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.first_figures.csimd_pre_utilization(), o); }},
    {"[PMU]ct_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.ct_cycles(), o); }},
    {"[PMU]ct_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.first_figures.ct_utilization(), o); }},
    {"[PMU]dram_read_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.dram_read_cycles(), o); }},
    {"[PMU]dram_working_read_utilization(%)",
     [](const R& r, std::string* o) {
       AppendPercent(r.first_figures.dram_working_read_utilization(), o);
     }},
    {"[PMU]dram_working_write_utilization(%)",
     [](const R& r, std::string* o) {
       AppendPercent(r.first_figures.dram_working_write_utilization(), o);
     }},
    {"[PMU]dram_write_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.dram_write_cycles(), o); }},
    {"[PMU]io_dma_read_bytes(bytes)",
     [](const R& r, std::string* o) {
       AppendCountPair(r.first_counters.io_dma_read_bytes(), r.second_counters.io_dma_read_bytes(),
                       o);
     }},
    {"[PMU]io_dma_write_bytes(bytes)",
     [](const R& r, std::string* o) {
       AppendCountPair(r.first_counters.io_dma_write_bytes(),
                       r.second_counters.io_dma_write_bytes(), o);
     }},
    {"[PMU]io_efficiency(%)",
     [](const R& r, std::string* o) { AppendPercent(r.second_figures.io_efficiency(), o); }},
    {"[PMU]lt_cycles(count)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.lt_cycles(), o); }},
    {"[PMU]lt_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.first_figures.lt_utilization(), o); }},
    {"[PMU]mac_ops(count)",
     [](const R& r, std::string* o) { AppendCount(r.second_counters.mac_ops(), o); }},
    {"[PMU]mac_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.second_figures.mac_utilization(), o); }},
    {"[PMU]read_bandwidth_utilization(%)",
     [](const R& r, std::string* o) {
       AppendPercentPair(r.first_figures.read_bandwidth_utilization(),
                         r.second_figures.read_bandwidth_utilization(), o);
     }},
    {"[PMU]tlb_read_access(times)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.tlb_read_access(), o); }},
    {"[PMU]tlb_read_miss(times)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.tlb_read_miss(), o); }},
    {"[PMU]tlb_write_access(times)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.tlb_write_access(), o); }},
    {"[PMU]tlb_write_miss(times)",
     [](const R& r, std::string* o) { AppendCount(r.first_counters.tlb_write_miss(), o); }},
    {"[PMU]total_cycles_estimated(count)",
     [](const R& r, std::string* o) {
       AppendEstimatedCycles(r.first_figures.total_cycles_estimated(), o);
     }},
    {"[PMU]vec_utilization(%)",
     [](const R& r, std::string* o) { AppendPercent(r.second_figures.vec_utilization(), o); }},
    {"[PMU]vector_ops(count)",
     [](const R& r, std::string* o) { AppendCount(r.second_counters.vector_ops(), o); }},
    {"[PMU]write_bandwidth_utilization(%)",
     [](const R& r, std::string* o) {
       AppendPercentPair(r.first_figures.write_bandwidth_utilization(),
                         r.second_figures.write_bandwidth_utilization(), o);
     }},
};

// A record's raw counters and figures; the accessors give all-zero messages
// when the record holds averages, nothing, or no figures.
PmuRecords ReadRecords(const PmuInfo& first, const PmuInfo& second) {
  return PmuRecords{first.pmu_data(), first.pmu_util(), second.pmu_data(), second.pmu_util()};
}

}  // namespace

std::string FormatPercent(double value) {
  std::string text;
  AppendPercent(value, &text);
  return text;
}

std::string_view PmuDisplayArgKey(size_t index) { return kPmuDisplayArgs[index].key; }

void FormatPmuDisplayArgs(const PmuInfo& first, const PmuInfo& second, std::string* texts) {
  const PmuRecords records = ReadRecords(first, second);
  for (size_t i = 0; i < kPmuDisplayArgCount; ++i) {
    texts[i].clear();
    kPmuDisplayArgs[i].append(records, &texts[i]);
  }
}

std::map<std::string, std::string> ComputePmuDisplayArgs(const PmuInfo& first,
                                                         const PmuInfo& second) {
  const PmuRecords records = ReadRecords(first, second);
  std::map<std::string, std::string> args;
  for (const PmuDisplayArg& arg : kPmuDisplayArgs) {
    std::string text;
    arg.append(records, &text);
    args.emplace_hint(args.end(), arg.key, std::move(text));
  }
  return args;
}

}  // namespace trace
}  // namespace zentrik
