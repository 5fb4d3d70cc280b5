#include "trace/core/convert/op_stats_to_overview_page.h"

#include <gtest/gtest.h>

#include <memory>

#include "testing/proto_bytes.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::ToHex;

TEST(OverviewPageTest, CopiesTheStepOverview) {
  auto op_stats = std::make_unique<OpStats>();
  ZentrikStepRecord* record = op_stats->mutable_overview_info()->add_step_records();
  record->set_step_id(2);
  op_stats->mutable_overview_info()->set_pmu_data_valid(true);

  const OverviewPage page = ConvertOpStatsToOverviewPage(*op_stats);
  record->set_step_id(3);
  op_stats.reset();
  // Field 9 holding the record (step id 2) and the validity flag.
  EXPECT_EQ(ToHex(page.SerializeAsString()), "4a 06 0a 02 08 02 20 01");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
