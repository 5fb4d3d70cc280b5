#ifndef ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_OVERVIEW_PAGE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_OVERVIEW_PAGE_H_

#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/overview_page.pb.h"

namespace zentrik {
namespace trace {

// The overview page: a copy of the step overview of `op_stats` (an empty one
// when it has none). Never fails; thread-safe.
OverviewPage ConvertOpStatsToOverviewPage(const OpStats& op_stats);
// The same page, made by taking the step overview out of `*op_stats` instead
// of copying it, for a caller that needs no overview afterwards.
OverviewPage TakeOverviewPage(OpStats* op_stats);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_OP_STATS_TO_OVERVIEW_PAGE_H_
