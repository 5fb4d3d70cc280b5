#include "trace/core/convert/op_stats_to_overview_page.h"

namespace zentrik {
namespace trace {

OverviewPage ConvertOpStatsToOverviewPage(const OpStats& op_stats) {
  OverviewPage page;
  page.mutable_overview_info()->CopyFrom(op_stats.overview_info());
  return page;
}

OverviewPage TakeOverviewPage(OpStats* op_stats) {
  OverviewPage page;
  page.mutable_overview_info()->Swap(op_stats->mutable_overview_info());
  return page;
}

}  // namespace trace
}  // namespace zentrik
