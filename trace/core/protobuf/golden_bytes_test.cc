#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "trace/core/protobuf/kernel_stats.pb.h"
#include "trace/core/protobuf/op_metrics.pb.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/overview_page.pb.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/profiler_service.pb.h"
#include "trace/core/protobuf/tf_stats.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/protobuf/zentrik_overview.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::FromHex;
using ::zentrik::testing::ToHex;

template <typename Message>
std::shared_ptr<google::protobuf::MessageLite> Make(std::function<void(Message*)> fill) {
  auto message = std::make_shared<Message>();
  fill(message.get());
  return message;
}

constexpr char kAllOnes[] = "ff ff ff ff ff ff ff ff ff 01";  // the ten-byte varint of -1

// A message and the hex of its wire bytes.
struct GoldenRow {
  const char* what;
  std::shared_ptr<google::protobuf::MessageLite> message;
  std::string hex;
};

// Each row writes its bytes and parses back to the same bytes (bytes fields
// take non-UTF-8 data, enums stay open).
template <size_t N>
void ExpectWrittenAndRead(const GoldenRow (&rows)[N]) {
  for (const GoldenRow& c : rows) {
    EXPECT_EQ(ToHex(DeterministicBytes(*c.message)), c.hex) << c.what;
    std::unique_ptr<google::protobuf::MessageLite> parsed(c.message->New());
    ASSERT_TRUE(parsed->ParseFromString(FromHex(c.hex))) << c.what;
    EXPECT_EQ(ToHex(DeterministicBytes(*parsed)), c.hex) << c.what;
  }
}

// Stored files, TensorBoard and the profiler service read these layouts:
// field numbers, wire types, zero values that are written, map order.
TEST(GoldenBytesTest, WritesAndReadsTheLayoutsCallersRelyOn) {
  const std::string ones = kAllOnes;
  const GoldenRow cases[] = {
      {"zero offset is written", Make<XEvent>([](XEvent* e) { e->set_offset_ps(0); }), "10 00"},
      {"derived line id", Make<XLine>([](XLine* l) { l->set_id(-559038737); }),
       "08 ef fd b6 f5 fd ff ff ff ff 01"},
      {"double 0.0", Make<XStat>([](XStat* s) { s->set_double_value(0.0); }),
       "11 00 00 00 00 00 00 00 00"},
      {"empty string value", Make<XStat>([](XStat* s) { s->set_str_value(""); }), "2a 00"},
      {"ref 0", Make<XStat>([](XStat* s) { s->set_ref_value(0); }), "38 00"},
      {"all-unknown counters take 177 bytes",
       Make<XEvent>([](XEvent* e) { *e->mutable_pmu_data() = testing::AllUnknownPmuData(); }),
       "3a b1 01 " + testing::AllUnknownPmuDataHex()},
      {"event fields in number order", Make<XEvent>([](XEvent* e) {
         e->set_second_pmu_data_flag(true);
         e->mutable_second_pmu_data();
         e->mutable_device_info();
         e->mutable_pmu_data();
         e->set_pmu_data_flag(true);
         e->add_stats()->set_metadata_id(1);
         e->set_duration_ps(3);
         e->set_offset_ps(2);
         e->set_metadata_id(1);
       }),
       "08 01 10 02 18 03 22 02 08 01 30 01 3a 00 42 00 4a 00 50 01"},
      {"line fields in number order", Make<XLine>([](XLine* l) {
         l->set_display_name("d");
         l->set_display_id(10);
         l->set_duration_ps(9);
         l->add_events()->set_metadata_id(4);
         l->set_timestamp_ns(3);
         l->set_name("n");
         l->set_id(1);
       }),
       "08 01 12 01 6e 18 03 22 02 08 04 48 09 50 0a 5a 01 64"},
      {"event metadata with binary metadata", Make<XEventMetadata>([](XEventMetadata* m) {
         m->add_stats()->set_uint64_value(1);
         m->set_display_name("D");
         m->set_metadata(std::string("\0\xff", 2));
         m->set_name("N");
         m->set_id(2);
       }),
       "08 02 12 01 4e 1a 02 00 ff 22 01 44 2a 02 18 01"},
      {"stat metadata", Make<XStatMetadata>([](XStatMetadata* m) {
         m->set_description("x");
         m->set_name("id");
         m->set_id(1);
       }),
       "08 01 12 02 69 64 1a 01 78"},
      {"plane: maps sorted by signed key, key 0 written", Make<XPlane>([](XPlane* p) {
         p->add_stats()->set_int64_value(-1);
         for (const int64_t key : {2, -1, 0}) (*p->mutable_event_metadata())[key].set_id(key);
         auto& stat = (*p->mutable_stat_metadata())[1];
         stat.set_id(1);
         stat.set_name("id");
         p->add_lines()->set_id(7);
         p->set_name("/host:CPU");
         p->set_id(5);
       }),
       "08 05 12 09 2f 68 6f 73 74 3a 43 50 55 1a 02 08 07 22 18 08 " + ones + " 12 0b 08 " + ones +
           " 22 04 08 00 12 00 22 06 08 02 12 02 08 02 2a 0a 08 01 12 06 08 01 12 02 69 64 "
           "32 0b 20 " +
           ones},
      {"space", Make<XSpace>([](XSpace* s) {
         s->add_planes()->set_id(1);
         s->add_planes();
       }),
       "0a 02 08 01 0a 00"},
      {"field 16 takes a two-byte tag", Make<PmuData>([](PmuData* d) { d->set_vector_ops(1); }),
       "80 01 01"},
      {"device model -1", Make<DeviceInfo>([](DeviceInfo* d) { d->set_zra_type(UnknownZraType); }),
       "08 " + ones},
      {"device model outside the table",
       Make<DeviceInfo>([](DeviceInfo* d) { d->set_zra_type(static_cast<ZraType>(999)); }),
       "08 e7 07"},
      {"full device info", Make<DeviceInfo>([](DeviceInfo* d) {
         d->set_zra_type(ACC401);
         d->set_frequency(1000);
         d->set_core_count(4);
         d->set_top_bandwidth(0.5);
         d->set_core_used(4);
         d->set_peak_performance(2.0);
       }),
       "08 0b 10 e8 07 18 04 21 00 00 00 00 00 00 e0 3f 30 04 39 00 00 00 00 00 00 00 40"},
      {"averaged no-value marker 2^64",
       Make<AvePmuData>([](AvePmuData* d) { d->set_field14(18446744073709551616.0); }),
       "71 00 00 00 00 00 00 f0 43"},
      {"present empty oneof member", Make<PmuInfo>([](PmuInfo* i) {
         i->mutable_pmu_data();
         i->set_count(3);
       }),
       "0a 00 28 03"},
      {"step record, batch size -1", Make<ZentrikStepRecord>([](ZentrikStepRecord* r) {
         r->set_step_id(3);
         r->mutable_device_execute_record()->set_span_ps(7);
         r->set_batch_size(-1);
       }),
       "08 03 3a 02 08 07 58 " + ones},
      {"profile request", Make<ProfileRequest>([](ProfileRequest* r) {
         r->set_field1(1);
         r->set_max_events(1000000);
         r->add_tools("op");
         r->add_tools("kv");
         r->mutable_opts()->set_host_tracer_level(2);
         r->mutable_opts()->set_device_tracer_level(1);
         r->mutable_opts()->set_version(300);
         r->set_repository_root("r");
         r->set_session_id("s");
         r->set_host_name("h");
         ToolRequestOptions& tool = (*r->mutable_tool_options())["b"];
         tool.set_output_formats("j");
         tool.set_field3(true);
         (*r->mutable_tool_options())["a"];  // the empty value is written
       }),
       "08 01 10 c0 84 3d 1a 02 6f 70 1a 02 6b 76 22 07 10 02 18 01 28 ac 02 2a 01 72 32 01 73 "
       "3a 01 68 42 05 0a 01 61 12 00 42 0a 0a 01 62 12 05 12 01 6a 18 01"},
      {"profile response with binary tool data", Make<ProfileResponse>([](ProfileResponse* r) {
         ProfileToolData* data = r->add_tool_data();
         data->set_name("a.pb");
         data->set_data(std::string("\x00\xff", 2));
         r->set_no_trace_events(true);
       }),
       "32 0a 0a 04 61 2e 70 62 12 02 00 ff 38 01"},
  };
  ExpectWrittenAndRead(cases);
}

// The analysis files' messages: which fields are written and how (present
// empty messages, two-byte tags, ten-byte negatives, NaN written, zero not).
TEST(GoldenBytesTest, WritesTheAnalysisLayouts) {
  const std::string ones = kAllOnes;
  const GoldenRow cases[] = {
      {"default op stats", Make<OpStats>([](OpStats*) {}), ""},
      {"op stats with present empty parts", Make<OpStats>([](OpStats* s) {
         s->mutable_host_op_metrics_db();
         s->mutable_device_op_metrics_db()->set_total_time_ps(1);
         s->mutable_overview_info();
         s->mutable_run_environment()->set_device_type("ZRA");
         s->mutable_kernel_stats_db();
       }),
       "0a 00 12 02 58 01 22 00 2a 05 22 03 5a 52 41 32 00"},
      {"idle entry", Make<OpMetrics>([](OpMetrics* m) {
         m->set_name("IDLE");
         m->set_category("IDLE");
         m->set_time_ps(5);
         m->set_self_time_ps(5);
       }),
       "08 05 32 04 49 44 4c 45 38 05 5a 04 49 44 4c 45"},
      {"op entry: two-byte tags", Make<OpMetrics>([](OpMetrics* m) {
         m->set_occurrences(2);
         m->set_data_type("f");
         m->mutable_pmu_info();
         m->mutable_second_pmu_info();
         m->set_model_id("m");
         m->set_has_pmu_flag(true);
         m->set_pmu_data_flag(true);
         m->set_second_pmu_data_flag(true);
       }),
       "18 02 aa 01 01 66 b2 01 00 ba 01 00 c2 01 01 6d c8 01 01 d0 01 01 d8 01 01"},
      {"database: empty entry, ten-byte total", Make<OpMetricsDb>([](OpMetricsDb* db) {
         db->add_metrics();
         db->set_total_time_ps(~uint64_t{0});
         db->set_total_op_time_ps(3);
       }),
       "52 00 58 " + ones + " 60 03"},
      {"kernel report", Make<KernelReport>([](KernelReport* r) {
         r->set_name("k");
         r->set_total_duration_ns(3);
         r->set_min_duration_ns(1);
         r->set_max_duration_ns(2);
         r->set_op_name("o");
         r->set_occurrences(2);
         r->mutable_pmu_info();
       }),
       "0a 01 6b 38 03 40 01 48 02 62 01 6f 68 02 7a 00"},
      {"tf stats tables", Make<TfStatsDatabase>([](TfStatsDatabase* d) {
         d->mutable_table_with_idle();
         d->mutable_table_without_idle()->set_model_id("m");
         d->set_device_type("CPU");
       }),
       "22 00 2a 03 22 01 6d 32 03 43 50 55"},
      {"tf stats record: NaN written, zero not", Make<TfStatsRecord>([](TfStatsRecord* r) {
         r->set_rank(1);
         r->set_host_or_device("Host");
         r->set_occurrences(-1);
         r->set_avg_time_us(std::nan(""));
         r->set_self_time_us(0.0);
         r->set_host_cumulative_self_time_fraction(1.0);
         r->set_data_type("f");
         r->mutable_second_pmu_info();
         r->set_second_pmu_data_flag(true);
       }),
       "08 01 12 04 48 6f 73 74 28 " + ones +
           " 39 00 00 00 00 00 00 f8 7f 69 00 00 00 00 00 00 f0 3f a2 01 01 66 b2 01 00 c8 01 01"},
      {"nothing counted writes only max_step_id",
       Make<ZentrikStats>([](ZentrikStats* s) { s->set_max_step_id(-1); }), "20 " + ones},
      {"batch sizes packed", Make<ZentrikBaseInfo>([](ZentrikBaseInfo* b) {
         b->set_step_count(2);
         b->add_batch_sizes(~uint64_t{0});
         b->add_batch_sizes(8);
       }),
       "08 02 12 0b " + ones + " 08"},
      {"every step record field", Make<ZentrikStepRecord>([](ZentrikStepRecord* r) {
         r->set_step_id(3);
         r->set_step_duration_ps(100);
         r->set_step_begin_ps(5);
         r->set_cpu_launch_latency_ps(1);
         r->set_kernel_launch_latency_ps(2);
         r->mutable_launch_record()->set_gap_count(1);
         r->mutable_device_execute_record()->set_span_ps(7);
         r->set_host_execute_time_ps(4);
         r->set_reserved_int_9(1);
         r->set_reserved_int_10(1);
         r->set_batch_size(8);
         r->mutable_pmu_info()->set_count(1);
       }),
       "08 03 10 64 18 05 20 01 28 02 32 02 38 01 3a 02 08 07 40 04 48 01 50 01 58 08 62 02 28 01"},
      {"every step stats field", Make<ZentrikStepStats>([](ZentrikStepStats* s) {
         s->mutable_step_time_stats()->set_p99(9);
         s->set_throughput(-1.0);
         s->mutable_launch_info()->set_gap_ratio(-1.0);
         s->mutable_device_execute_info();
         s->set_reserved_uint_5(5);
         s->mutable_cpu_launch_latency_stats();
         s->mutable_kernel_launch_latency_stats();
         s->mutable_device_idle_stats()->set_total(1);
         s->mutable_base_info();
         s->mutable_analysis()->set_host_launch_stats_seen(1);
       }),
       "0a 02 50 09 11 00 00 00 00 00 00 f0 bf 1a 09 19 00 00 00 00 00 00 f0 bf 22 00 28 05 "
       "32 00 3a 00 42 02 08 01 4a 00 52 02 40 01"},
      {"overview page holds the overview as field 9", Make<OverviewPage>([](OverviewPage* p) {
         ZentrikOverviewInfo* overview = p->mutable_overview_info();
         overview->add_step_records();
         overview->mutable_step_stats();
         overview->mutable_pmu_info();
         overview->set_pmu_data_valid(true);
       }),
       "4a 08 0a 00 12 00 1a 00 20 01"},
  };
  ExpectWrittenAndRead(cases);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
