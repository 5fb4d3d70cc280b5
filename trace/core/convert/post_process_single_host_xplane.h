#ifndef ZENTRIK_TRACE_CORE_CONVERT_POST_PROCESS_SINGLE_HOST_XPLANE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_POST_PROCESS_SINGLE_HOST_XPLANE_H_

#include <cstdint>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// The fixed sequence of passes run on a collected single-host space, in
// place: host lines ordered (the host plane added when missing), line
// timestamps made relative to `start_time_ns` (the session start, same clock
// as the lines), events put in time order, events grouped into steps
// (group_id and step_name stats), and device planes' step lines prepared and
// empty lines removed. Cannot fail; memory exhaustion propagates as an
// exception with the space changed as far as the passes got. Call on the
// collecting thread; nothing else may touch the space meanwhile.
void PostProcessSingleHostXSpace(XSpace* space, uint64_t start_time_ns);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_POST_PROCESS_SINGLE_HOST_XPLANE_H_
