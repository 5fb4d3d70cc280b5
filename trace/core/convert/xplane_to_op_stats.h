#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_STATS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_STATS_H_

#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// The op statistics of a run: the op metrics of the first "/host:CPU" plane
// (one database over its thread lines) and of every "/device:ZRA:" plane
// (one database over all of them), the kernel reports of the devices and the
// run environment, and the step overview of the steps of all those planes.
// Other planes are ignored; the space is only read. Never fails; logs only
// what the step overview logs.
OpStats ConvertXSpaceToOpStats(const XSpace& space);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_STATS_H_
