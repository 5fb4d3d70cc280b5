#include "trace/core/convert/op_metrics_db_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>

#include "testing/pmu_fixtures.h"
#include "trace/core/utils/pmu_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AllUnknownPmuData;

// A record of counters that live as long as the test program.
EventPmuRecord Counters(uint64_t lt_cycles, uint64_t field14, bool flag = true) {
  static std::deque<PmuData>* const kept = new std::deque<PmuData>;
  PmuData* counters = &kept->emplace_back();
  counters->set_lt_cycles(lt_cycles);
  counters->set_field14(field14);
  EventPmuRecord record;
  record.pmu_data_flag = flag;
  record.pmu_data = counters;
  return record;
}

TEST(OpMetricsDbBuilderTest, EnterDeviceOpKeepsFirstCategoryAndLatestDataType) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterDeviceOp("k", "", "a:A", 2, 10, 0, "float", Counters(1, 5));
  builder.EnterDeviceOp("k", "Conv", "b:B", 1, 6, 0, "half", Counters(kPmuNoValue, 7, false));
  builder.EnterDeviceOp("k", "Other", "c:C", 1, 4, 0, "int8", Counters(3, 1));
  ASSERT_EQ(db.metrics_size(), 1);
  const OpMetrics& entry = db.metrics(0);
  EXPECT_EQ(entry.name(), "k");
  EXPECT_EQ(entry.category(), "unknown");
  EXPECT_EQ(entry.provenance(), "a:A");
  EXPECT_EQ(entry.data_type(), "int8");
  EXPECT_EQ(entry.occurrences(), 4u);
  EXPECT_EQ(entry.time_ps(), 20u);
  EXPECT_EQ(entry.self_time_ps(), 20u);
  EXPECT_EQ(db.total_op_time_ps(), 20u);
  // A counter once without value stays so.
  EXPECT_EQ(entry.pmu_info().pmu_data().lt_cycles(), kPmuNoValue);
  EXPECT_EQ(entry.pmu_info().pmu_data().field14(), 13u);
  EXPECT_TRUE(entry.has_pmu_flag());
  EXPECT_TRUE(entry.pmu_data_flag());
  EXPECT_FALSE(entry.second_pmu_data_flag());
}

TEST(OpMetricsDbBuilderTest, EnterOpTakesSelfTimeAndLatestTexts) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterOp("a:A", "A", 100, 30, "float", "m1", Counters(1, 1));
  builder.EnterOp("a:A", "B", 50, 0, "half", "m2", Counters(1, 1, false));
  // Children reported longer than the op give no self time, not a wrap-around.
  builder.EnterOp("a:A", "", 5, 9, "half", "m3", Counters(1, 1, false));
  const OpMetrics& entry = db.metrics(0);
  EXPECT_EQ(entry.category(), "A");
  EXPECT_EQ(entry.model_id(), "m3");
  EXPECT_EQ(entry.occurrences(), 3u);
  EXPECT_EQ(entry.time_ps(), 155u);
  EXPECT_EQ(entry.self_time_ps(), 120u);
  EXPECT_EQ(db.total_op_time_ps(), 120u);
  EXPECT_FALSE(entry.has_pmu_flag());
}

TEST(OpMetricsDbBuilderTest, CombineMergesEntriesByName) {
  OpMetricsDb target;
  OpMetricsDbBuilder builder(&target);
  OpMetricsDb empty;
  empty.set_total_time_ps(7);
  empty.set_total_op_time_ps(3);
  builder.Combine(empty);
  EXPECT_EQ(target.metrics_size(), 0);
  EXPECT_EQ(target.total_time_ps(), 7u);
  EXPECT_EQ(target.total_op_time_ps(), 3u);

  OpMetricsDb first;
  OpMetrics* a = first.add_metrics();
  a->set_name("a");
  a->set_occurrences(1);
  a->set_time_ps(10);
  a->set_self_time_ps(8);
  a->set_merged_minimum(0);
  a->set_category("A");
  *a->mutable_pmu_info()->mutable_pmu_data() = AllUnknownPmuData();
  a->mutable_pmu_info()->mutable_pmu_data()->set_field14(4);
  a->mutable_pmu_info()->mutable_device_info()->set_frequency(9);
  a->mutable_children()->add_metrics()->set_name("child");
  OpMetricsDb second = first;
  second.mutable_metrics(0)->set_merged_minimum(5);
  second.mutable_metrics(0)->set_category("B");
  second.mutable_metrics(0)->set_data_type("half");
  second.mutable_metrics(0)->mutable_pmu_info()->mutable_device_info()->set_frequency(1);
  second.mutable_metrics(0)->set_pmu_data_flag(true);

  builder.Combine(first);
  builder.Combine(second);
  ASSERT_EQ(target.metrics_size(), 1);
  const OpMetrics& entry = target.metrics(0);
  EXPECT_EQ(entry.category(), "A");
  EXPECT_EQ(entry.data_type(), "half");
  EXPECT_EQ(entry.children().metrics_size(), 1);
  EXPECT_EQ(entry.merged_minimum(), 0u);  // the smaller, zero included
  EXPECT_EQ(entry.occurrences(), 2u);
  EXPECT_EQ(entry.time_ps(), 20u);
  EXPECT_EQ(entry.self_time_ps(), 16u);
  EXPECT_EQ(entry.pmu_info().pmu_data().field14(), 8u);
  EXPECT_EQ(entry.pmu_info().pmu_data().lt_cycles(), kPmuNoValue);
  EXPECT_EQ(entry.pmu_info().device_info().frequency(), 9u);  // the first copy's
  EXPECT_TRUE(entry.pmu_data_flag());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
