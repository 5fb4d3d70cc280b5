#ifndef ZENTRIK_TRACE_CORE_CONVERT_HOST_KERNEL_PMU_H_
#define ZENTRIK_TRACE_CORE_CONVERT_HOST_KERNEL_PMU_H_

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Writes onto each op event of the host plane (a host event with a
// traceme_flag stat) the summed PMU counters of the kernel launches that name
// it in their op_fullname stat, the device facts of its latest such kernel
// with the peak figures for the op's data type, and the pmu_data_flag of its
// latest kernel; an integer data_type stat of an op becomes the type's name.
// Sorts every line's events first and adds the host plane when missing.
// Run once on a collected, post-processed space. Never fails; single-threaded.
void FillHostKernelPmuData(XSpace* space);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_HOST_KERNEL_PMU_H_
