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

// The one entry of `db` as "name category provenance data_type model_id
// occurrences time self_time merged_minimum children lt_cycles field14
// frequency has_pmu_flag pmu_data_flag second_pmu_data_flag | total_op_time".
std::string Entry(const OpMetricsDb& db) {
  EXPECT_EQ(db.metrics_size(), 1);
  const OpMetrics& m = db.metrics(0);
  const PmuInfo& pmu = m.pmu_info();
  std::string text;
  for (const std::string& part :
       {m.name(), m.category(), m.provenance(), m.data_type(), m.model_id()}) {
    text += part + " ";
  }
  for (const uint64_t number :
       {uint64_t{m.occurrences()}, m.time_ps(), m.self_time_ps(), m.merged_minimum(),
        uint64_t(m.children().metrics_size()), pmu.pmu_data().lt_cycles(), pmu.pmu_data().field14(),
        pmu.device_info().frequency(), uint64_t{m.has_pmu_flag()}, uint64_t{m.pmu_data_flag()},
        uint64_t{m.second_pmu_data_flag()}}) {
    text += std::to_string(number) + " ";
  }
  return text + "| " + std::to_string(db.total_op_time_ps());
}

// The first category and provenance stay, the latest data type wins; a
// counter once without value stays so.
TEST(OpMetricsDbBuilderTest, EnterDeviceOpKeepsFirstCategoryAndLatestDataType) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterDeviceOp("k", "", "a:A", 2, 10, 0, "float", Counters(1, 5));
  builder.EnterDeviceOp("k", "Conv", "b:B", 1, 6, 0, "half", Counters(kPmuNoValue, 7, false));
  builder.EnterDeviceOp("k", "Other", "c:C", 1, 4, 0, "int8", Counters(3, 1));
  EXPECT_EQ(Entry(db), "k unknown a:A int8  4 20 20 0 0 18446744073709551615 13 0 1 1 0 | 20");
}

// Children reported longer than the op give no self time, not a wrap-around.
TEST(OpMetricsDbBuilderTest, EnterOpTakesSelfTimeAndLatestTexts) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterOp("a:A", "A", 100, 30, "float", "m1", Counters(1, 1));
  builder.EnterOp("a:A", "B", 50, 0, "half", "m2", Counters(1, 1, false));
  builder.EnterOp("a:A", "", 5, 9, "half", "m3", Counters(1, 1, false));
  EXPECT_EQ(Entry(db), "a:A A  half m3 3 155 120 0 0 3 3 0 0 0 0 | 120");
}

// Entries merge by name: sums, the smaller merged minimum (zero included),
// the first category and device facts, the latest data type.
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
  EXPECT_EQ(Entry(target), "a A  half  2 20 16 0 1 18446744073709551615 8 9 0 1 0 | 3");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
