#ifndef ZENTRIK_TRACE_CORE_UTILS_PMU_UTILS_H_
#define ZENTRIK_TRACE_CORE_UTILS_PMU_UTILS_H_

#include <cstdint>

#include "trace/core/protobuf/pmu.pb.h"
#include "zentrik/data_type.h"

namespace zentrik {
namespace trace {

// A PmuData counter that was not measured holds all ones.
constexpr uint64_t kPmuNoValue = ~uint64_t{0};
// The same marker in AvePmuData and PmuUtil: 2^64, which is also what an
// all-ones counter converts to, so one equality test serves both.
constexpr double kPmuNoValueDouble = 18446744073709551616.0;

// None of these functions fails or logs, except the peak lookups (one INFO
// line when a device model has no figure for a data type). Markers are carried
// through, never computed with. All are thread-safe on distinct records; a
// source and a destination may be the same record.

// Copies the sixteen counters.
void CopyPmuCounters(const PmuData& src, PmuData* dst);

// Copies the seven device facts.
void CopyDeviceInfo(const DeviceInfo& src, DeviceInfo* dst);

// Copies a whole record: the counters of the case `average` chooses (zeros
// when `src` holds the other case), the derived figures, the device facts and
// the count. `dst` is switched to that case.
void CopyPmuInfoData(const PmuInfo& src, PmuInfo* dst, bool average);

// Counter by counter a + b (wrapping), or the marker where either is one.
PmuData AddPmuData(const PmuData& a, const PmuData& b);

void SetPmuInfoCountToOne(PmuInfo* info);

// Derives info->pmu_util from its counters (ave_pmu_data when `average`, else
// pmu_data; zeros when the record holds the other case) and its device facts.
// A figure is the marker when a counter it needs is, and when its divisor is
// zero or has no value (no clock, cores, bandwidth or peak).
void ComputePmuUtil(PmuInfo* info, bool average);

// Does nothing when `count` is 0. Otherwise makes `dst` hold src's raw counters
// divided by `count`, copies src's device facts and recomputes dst's figures.
void MergePmuInfo(PmuInfo* dst, const PmuInfo& src, uint64_t count);

// For the two records of one kernel: unless src's MAC and vector utilisations
// are both the marker, dst's compute efficiency becomes its own LT
// utilisation (src's MAC figure known) or its own CT utilisation.
void CopyPmuUtilPeak(PmuInfo* dst, const PmuInfo& src);

// Peak MAC performance in tera-operations per second of the device for
// `type` (quantized types use their plain counterpart; qint31 counts a
// quarter). 0.0 with an INFO line when the model has no figure for the type.
double GetMacPeakPerformance(DataType type, const DeviceInfo& device);

// Peak vector performance in tera-operations per second; 0.0 with an INFO
// line when the model has no figure for the type.
double GetPeakPerformance(DataType type, const DeviceInfo& device);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_PMU_UTILS_H_
