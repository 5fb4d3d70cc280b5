#include "trace/core/convert/post_process_single_host_xplane.h"

#include "common/platform/logging.h"
#include "trace/core/convert/derived_timeline.h"
#include "trace/core/convert/group_events.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {

void PostProcessSingleHostXSpace(XSpace* space, uint64_t start_time_ns) {
  LOG(INFO) << "Post processing local profiler XSpace.";
  SortHostPlaneLines(space);
  NormalizeTimestamps(space, start_time_ns);
  // Grouping nests each line's events in one pass and relies on this order.
  SortXSpace(space);
  EventGrouper grouper;
  GroupEvents(space, &grouper);
  BuildStepLines(grouper.GetGroupMetadataMap(), space, /*step_info_only=*/false);
}

}  // namespace trace
}  // namespace zentrik
