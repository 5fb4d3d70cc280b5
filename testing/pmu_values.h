#ifndef ZENTRIK_TESTING_PMU_VALUES_H_
#define ZENTRIK_TESTING_PMU_VALUES_H_

// The PMU messages as plain value lists in field order, so tests compare whole
// records at once and failures name the field by position.

#include <cstdint>
#include <vector>

#include "trace/core/protobuf/pmu.pb.h"

namespace zentrik {
namespace testing {

// The sixteen counters, fields 1 to 16.
std::vector<uint64_t> CounterValues(const trace::PmuData& data);
std::vector<double> CounterValues(const trace::AvePmuData& data);
// The fourteen figures, fields 1 to 14.
std::vector<double> FigureValues(const trace::PmuUtil& util);
// The seven device facts, fields 1 to 7, as doubles.
std::vector<double> DeviceInfoValues(const trace::DeviceInfo& device);

// A PmuData whose counters 1 to 16 hold first, first + 1, ... first + 15, so
// that every field of a sum can be told apart.
trace::PmuData SequencePmuData(uint64_t first);

// Device facts; the peak figures default to 0 as the device tracer writes them.
trace::DeviceInfo MakeDeviceInfo(int32_t zra_type, uint64_t frequency, uint64_t core_count,
                                 uint64_t core_used, double top_bandwidth = 0.0,
                                 double mac_peak_performance = 0.0, double peak_performance = 0.0);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PMU_VALUES_H_
