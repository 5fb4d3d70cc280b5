#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/kernel_stats.pb.h"
#include "trace/core/protobuf/op_metrics.pb.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/tf_stats.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::ToHex;

// The field numbers and wire types are what stored files and TensorBoard read.
TEST(AnalysisSchemasTest, WritesGoldenBytes) {
  OpStats empty_stats;
  OpStats stats;
  stats.mutable_host_op_metrics_db();
  stats.mutable_device_op_metrics_db()->set_total_time_ps(1);
  stats.mutable_overview_info();
  stats.mutable_run_environment();
  stats.mutable_kernel_stats_db();
  OpStats zra_stats;
  zra_stats.mutable_run_environment()->set_device_type("ZRA");

  OpMetrics idle;
  idle.set_name("IDLE");
  idle.set_category("IDLE");
  idle.set_time_ps(5);
  idle.set_self_time_ps(5);
  OpMetrics flags;
  flags.set_occurrences(2);
  flags.set_data_type("f");
  flags.mutable_pmu_info();
  flags.mutable_second_pmu_info();
  flags.set_model_id("m");
  flags.set_has_pmu_flag(true);
  flags.set_pmu_data_flag(true);
  flags.set_second_pmu_data_flag(true);
  OpMetricsDb db;
  db.add_metrics();
  db.set_total_time_ps(std::numeric_limits<uint64_t>::max());
  db.set_total_op_time_ps(3);

  KernelStatsDb empty_kernels;
  KernelReport report;
  report.set_name("k");
  report.set_total_duration_ns(3);
  report.set_min_duration_ns(1);
  report.set_max_duration_ns(2);
  report.set_op_name("o");
  report.set_occurrences(2);
  report.mutable_pmu_info();

  TfStatsDatabase tables;
  tables.mutable_table_with_idle();
  tables.mutable_table_without_idle()->set_model_id("m");
  tables.set_device_type("CPU");
  TfStatsRecord record;
  record.set_rank(1);
  record.set_host_or_device("Host");
  record.set_occurrences(-1);
  record.set_avg_time_us(std::nan(""));
  record.set_self_time_us(0.0);
  record.set_host_cumulative_self_time_fraction(1.0);
  record.set_data_type("f");
  record.mutable_second_pmu_info();
  record.set_second_pmu_data_flag(true);

  const struct {
    const char* what;
    const google::protobuf::MessageLite& message;
    std::string hex;
  } cases[] = {
      {"default OpStats", empty_stats, ""},
      {"present empty sub-messages", stats, "0a 00 12 02 58 01 22 00 2a 00 32 00"},
      {"device type", zra_stats, "2a 05 22 03 5a 52 41"},
      {"idle entry", idle, "08 05 32 04 49 44 4c 45 38 05 5a 04 49 44 4c 45"},
      {"two-byte tags", flags,
       "18 02 aa 01 01 66 b2 01 00 ba 01 00 c2 01 01 6d c8 01 01 d0 01 01 d8 01 01"},
      {"empty entry and ten-byte total", db, "52 00 58 ff ff ff ff ff ff ff ff ff 01 60 03"},
      {"empty kernel statistics", empty_kernels, ""},
      {"kernel report", report, "0a 01 6b 38 03 40 01 48 02 62 01 6f 68 02 7a 00"},
      {"tables", tables, "22 00 2a 03 22 01 6d 32 03 43 50 55"},
      {"record: NaN written, zero not", record,
       "08 01 12 04 48 6f 73 74 28 ff ff ff ff ff ff ff ff ff 01 "
       "39 00 00 00 00 00 00 f8 7f 69 00 00 00 00 00 00 f0 3f "
       "a2 01 01 66 b2 01 00 c8 01 01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(DeterministicBytes(c.message)), c.hex) << c.what;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
