#include "trace/core/convert/op_stats_to_tf_stats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "trace/core/convert/op_metrics_db_builder.h"

namespace zentrik {
namespace trace {
namespace {

OpMetrics* AddOp(OpMetricsDb* db, const std::string& name, uint64_t self_ps, uint32_t occurrences,
                 const std::string& model_id = "") {
  OpMetrics* op = db->add_metrics();
  op->set_name(name);
  op->set_category("T");
  op->set_self_time_ps(self_ps);
  op->set_time_ps(self_ps);
  op->set_occurrences(occurrences);
  op->set_model_id(model_id);
  return op;
}

// (rank, side, op name, fraction, cumulative fraction of that side).
using Row = std::tuple<uint64_t, std::string, std::string, double, double>;

std::vector<Row> Rows(const TfStatsTable& table) {
  std::vector<Row> rows;
  for (const TfStatsRecord& r : table.records()) {
    const bool device = r.host_or_device() == "Device";
    rows.emplace_back(
        r.rank(), r.host_or_device(), r.op_name(),
        device ? r.device_self_time_fraction() : r.host_self_time_fraction(),
        device ? r.device_cumulative_self_time_fraction() : r.host_cumulative_self_time_fraction());
  }
  return rows;
}

TEST(TfStatsTest, RanksDeviceThenHostOps) {
  OpStats op_stats;
  op_stats.mutable_run_environment()->set_device_type("ZRA");
  OpMetricsDb* device = op_stats.mutable_device_op_metrics_db();
  OpMetricsDbBuilder builder(device);
  builder.EnterDeviceOp("mm/mm:MatMul", "MatMul", "mm:MatMul", 1, 2'000'000, 0, "", {});
  builder.EnterDeviceOp("add/add:Add", "Add", "add:Add", 1, 2'000'000, 0, "", {});
  device->set_total_time_ps(8'000'000);
  AddIdleOp(device);
  OpMetricsDb* host = op_stats.mutable_host_op_metrics_db();
  AddOp(host, "b:B", 1'000'000, 2, "m1");
  AddOp(host, "a:A", 3'000'000, 1, "m2");
  host->set_total_time_ps(5'000'000);
  host->set_total_op_time_ps(4'000'000);
  AddIdleOp(host);

  const TfStatsDatabase database = ConvertOpStatsToTfStats(op_stats);
  EXPECT_EQ(database.device_type(), "ZRA");
  const std::vector<Row> with_idle = {
      {1, "Device", "IDLE", 0.5, 0.5}, {2, "Device", "add", 0.25, 0.75},
      {3, "Device", "mm", 0.25, 1.0},  {4, "Host", "a", 0.6, 0.6},
      {5, "Host", "IDLE", 0.2, 0.8},   {6, "Host", "b", 0.2, 1.0},  // ties by name
  };
  EXPECT_EQ(Rows(database.table_with_idle()), with_idle);
  EXPECT_EQ(database.table_with_idle().model_id(), "m1");  // the last op's
  const std::vector<Row> without_idle = {
      {1, "Device", "add", 0.5, 0.5},
      {2, "Device", "mm", 0.5, 1.0},
      {3, "Host", "a", 0.75, 0.75},
      {4, "Host", "b", 0.25, 1.0},
  };
  EXPECT_EQ(Rows(database.table_without_idle()), without_idle);
  EXPECT_EQ(database.table_without_idle().model_id(), "m1");

  // Times in microseconds; no occurrences give no average.
  const TfStatsRecord& b = database.table_without_idle().records(3);
  const TfStatsRecord& idle = database.table_with_idle().records(4);
  EXPECT_EQ(std::make_tuple(b.op_type(), b.occurrences(), b.total_time_us(), b.avg_time_us(),
                            b.avg_self_time_us(), idle.occurrences(), idle.avg_time_us()),
            std::make_tuple("T", 2, 1.0, 0.5, 0.5, 0, 0.0));
}

// A side without time gives fractions of 0, not NaN.
TEST(TfStatsTest, ZeroTimeSide) {
  OpMetricsDb host;
  AddOp(&host, "a:A", 0, 1);
  AddOp(&host, "b:B", 0, 1);
  const TfStatsTable table = GenerateTfStatsTable(host, OpMetricsDb(), false);
  const std::vector<Row> want = {{1, "Host", "a", 0.0, 0.0}, {2, "Host", "b", 0.0, 0.0}};
  EXPECT_EQ(Rows(table), want);
}

TEST(TfStatsTest, KeepsTheRecordsOfLargestSelfTime) {
  OpMetricsDb db;
  AddOp(&db, "ab", 1, 1);
  AddOp(&db, "a", 1, 1);
  AddOp(&db, "c", 5, 1);
  AddOp(&db, "d", 9, 1);  // last in the database, first in the table
  const struct {
    int32_t max_records;
    std::vector<std::string> names;
  } cases[] = {
      {-1, {"d", "c", "a", "ab"}},
      {3, {"d", "c", "a"}},
      {0, {}},
      {-7, {"d", "c", "a", "ab"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> names;
    for (const OpMetrics* op : SortedOpMetricsDb(db, c.max_records)) names.push_back(op->name());
    EXPECT_EQ(names, c.names) << c.max_records;
  }
}

TEST(TfStatsTest, DeviceRecordsTakeTheHostPmuOfTheirOp) {
  OpMetricsDb device;
  OpMetrics* mm = AddOp(&device, "mm", 4, 2);
  mm->mutable_pmu_info()->mutable_pmu_data()->set_field14(8);
  AddOp(&device, "lonely", 1, 1);
  OpMetricsDb host;
  OpMetrics* first = AddOp(&host, "mm:MatMul", 3, 1);
  first->set_data_type("float");
  OpMetrics* last = AddOp(&host, "mm:Other", 2, 2);
  last->set_data_type("half");
  last->set_second_pmu_data_flag(true);
  last->set_has_pmu_flag(true);
  last->mutable_second_pmu_info()->mutable_pmu_data()->set_mac_ops(6);

  const TfStatsTable table = GenerateTfStatsTable(host, device, false);
  ASSERT_EQ(table.records_size(), 4);
  // The last host record of the name gives the data type and the flags;
  // counters are averaged per occurrence.
  const TfStatsRecord& r = table.records(0);
  EXPECT_EQ(std::make_tuple(r.op_name(), r.data_type(), r.second_pmu_data_flag(), r.has_pmu_flag(),
                            r.second_pmu_info().ave_pmu_data().mac_ops(),
                            r.pmu_info().ave_pmu_data().field14()),
            std::make_tuple("mm", "half", true, true, 3.0, 4.0));
  const TfStatsRecord& lonely = table.records(1);
  EXPECT_EQ(
      std::make_tuple(lonely.data_type(), lonely.has_pmu_flag(), lonely.second_pmu_info().count(),
                      lonely.second_pmu_info().has_ave_pmu_data()),
      std::make_tuple("", false, uint64_t{0}, true));
}

// A device entry that names no framework op stands for an op of its own
// name and type "Unknown".
TEST(TfStatsTest, DeviceEntryWithoutProvenance) {
  OpStats op_stats;
  OpMetricsDb* device = op_stats.mutable_device_op_metrics_db();
  OpMetricsDbBuilder builder(device);
  builder.EnterDeviceOp("k", "", "", 2, 1'000'000, 0, "", {});
  builder.EnterDeviceOp("mm/mm:MatMul", "MatMul", "mm:MatMul", 1, 3'000'000, 0, "", {});
  device->set_total_time_ps(4'000'000);
  const TfStatsTable table = ConvertOpStatsToTfStats(op_stats).table_without_idle();
  std::vector<std::string> records;
  for (const TfStatsRecord& r : table.records()) {
    records.push_back(r.op_name() + " " + r.op_type() + " " + std::to_string(r.occurrences()));
  }
  EXPECT_EQ(records, (std::vector<std::string>{"mm MatMul 1", "k Unknown 2"}));
}

// A side lists its 500 ops of largest self time; an empty run lists none.
TEST(TfStatsTest, AtMost500RecordsPerSide) {
  OpMetricsDb many;
  for (int i = 0; i < 600; ++i) AddOp(&many, "op" + std::to_string(i), i, 1);
  const TfStatsTable table = GenerateTfStatsTable(many, OpMetricsDb(), false);
  ASSERT_EQ(table.records_size(), 500);
  EXPECT_EQ(table.records(0).op_name(), "op599");
  EXPECT_EQ(table.records(499).op_name(), "op100");

  const TfStatsDatabase empty = ConvertOpStatsToTfStats(OpStats());
  EXPECT_TRUE(empty.has_table_with_idle() && empty.has_table_without_idle());
  EXPECT_EQ(empty.table_with_idle().records_size() + empty.table_without_idle().records_size(), 0);
  EXPECT_EQ(empty.device_type(), "");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
