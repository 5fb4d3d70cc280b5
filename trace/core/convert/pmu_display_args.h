#ifndef ZENTRIK_TRACE_CORE_CONVERT_PMU_DISPLAY_ARGS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_PMU_DISPLAY_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "trace/core/protobuf/pmu.pb.h"

namespace zentrik {
namespace trace {

// The display texts of a kernel's PMU figures, shown by the trace viewer as
// event arguments named "[PMU]" + figure + "(" + unit + ")". Missing values
// (all-ones counters, figures of exactly 2^64) print as "NA". Every number is
// formatted independently of the process's locale. All functions are pure.

// "NA" for 2^64; otherwise value x 100 with two decimals and " %" ("50.00 %").
std::string FormatPercent(double value);

// The 29 display arguments of a kernel from its two records: `first` holds the
// kernel's own counters, `second` the counters its annotation carried. Each
// record's raw counters and figures are read (zeros where it lacks them).
std::map<std::string, std::string> ComputePmuDisplayArgs(const PmuInfo& first,
                                                         const PmuInfo& second);

// How many display arguments a kernel has, and the key of each in ascending
// byte order (index below kPmuDisplayArgCount).
constexpr size_t kPmuDisplayArgCount = 29;
std::string_view PmuDisplayArgKey(size_t index);

// The texts of the 29 arguments into texts[0..28], in key order; the strings
// are overwritten and keep their capacity. Hot path: no allocation once the
// strings have grown.
void FormatPmuDisplayArgs(const PmuInfo& first, const PmuInfo& second, std::string* texts);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_PMU_DISPLAY_ARGS_H_
