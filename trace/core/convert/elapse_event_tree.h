#ifndef ZENTRIK_TRACE_CORE_CONVERT_ELAPSE_EVENT_TREE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_ELAPSE_EVENT_TREE_H_

#include <cstddef>
#include <vector>

#include "zentrik/trace/export_events.h"

namespace zentrik {
namespace trace {

// Links the host events (*events)[first ...] thread by thread; the events
// before `first` are neither read nor changed.
//  - Events with a traceme correlation id are nested: each gets as parent the
//    innermost enclosing event of its thread (taking events in start order,
//    the longer first at equal starts), so every event has at most one parent
//    and appears in one `child_ids` list only.
//  - Runtime events (no traceme correlation id, some device events) hand
//    copies of their device events to every nested event that encloses them,
//    below the first enclosing top-level event of their thread.
// Runs in O(n log n) with no recursion, whatever the nesting depth. Logs
// WARNING "Host events is empty" when *events is empty.
void ConvertHostEvents(size_t first, std::vector<ElapseEvent>* events);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_ELAPSE_EVENT_TREE_H_
