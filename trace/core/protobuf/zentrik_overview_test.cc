#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/zentrik_overview.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::ToHex;

// TensorBoard reads these bytes, so every field keeps its number and type.
TEST(ZentrikOverviewTest, WritesGoldenBytes) {
  ZentrikStepRecord no_batch;
  no_batch.set_batch_size(-1);
  ZentrikStats nothing_counted;
  nothing_counted.set_max_step_id(-1);
  ZentrikBaseInfo base;
  base.set_step_count(2);
  base.add_batch_sizes(~uint64_t{0});
  base.add_batch_sizes(8);
  ZentrikStepRecord record;
  record.set_step_id(3);
  record.set_step_duration_ps(100);
  record.set_step_begin_ps(5);
  record.set_cpu_launch_latency_ps(1);
  record.set_kernel_launch_latency_ps(2);
  record.mutable_launch_record()->set_gap_count(1);
  record.mutable_device_execute_record()->set_span_ps(7);
  record.set_host_execute_time_ps(4);
  record.set_reserved_int_9(1);
  record.set_reserved_int_10(1);
  record.set_batch_size(8);
  record.mutable_pmu_info()->set_count(1);
  ZentrikStepStats stats;
  stats.mutable_step_time_stats()->set_p99(9);
  stats.set_throughput(-1.0);
  stats.mutable_launch_info()->set_gap_ratio(-1.0);
  stats.mutable_device_execute_info();
  stats.set_reserved_uint_5(5);
  stats.mutable_cpu_launch_latency_stats();
  stats.mutable_kernel_launch_latency_stats();
  stats.mutable_device_idle_stats()->set_total(1);
  stats.mutable_base_info();
  stats.mutable_analysis()->set_host_launch_stats_seen(1);
  ZentrikOverviewInfo overview;
  overview.add_step_records();
  overview.mutable_step_stats();
  overview.mutable_pmu_info();
  overview.set_pmu_data_valid(true);

  const struct {
    const char* what;
    const google::protobuf::MessageLite& message;
    std::string hex;
  } cases[] = {
      {"batch size -1 takes ten bytes", no_batch, "58 ff ff ff ff ff ff ff ff ff 01"},
      {"nothing counted writes only max_step_id", nothing_counted,
       "20 ff ff ff ff ff ff ff ff ff 01"},
      {"batch sizes packed", base, "08 02 12 0b ff ff ff ff ff ff ff ff ff 01 08"},
      {"every record field", record,
       "08 03 10 64 18 05 20 01 28 02 32 02 38 01 3a 02 08 07 40 04 48 01 50 01 58 08 62 02 28 01"},
      {"every stats field", stats,
       "0a 02 50 09 11 00 00 00 00 00 00 f0 bf 1a 09 19 00 00 00 00 00 00 f0 bf 22 00 28 05 "
       "32 00 3a 00 42 02 08 01 4a 00 52 02 40 01"},
      {"overview", overview, "0a 00 12 00 1a 00 20 01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(DeterministicBytes(c.message)), c.hex) << c.what;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
