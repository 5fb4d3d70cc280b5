#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/profiler_service.pb.h"
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

// Stored files, TensorBoard and the profiler service read these layouts:
// field numbers, wire types, zero values that are written, map order. Each
// row also parses back to the same bytes (bytes fields take non-UTF-8 data,
// enums stay open).
TEST(GoldenBytesTest, WritesAndReadsTheLayoutsCallersRelyOn) {
  const std::string ones = kAllOnes;
  const struct {
    const char* what;
    std::shared_ptr<google::protobuf::MessageLite> message;
    std::string hex;
  } cases[] = {
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
       "08 05 12 09 2f 68 6f 73 74 3a 43 50 55 1a 02 08 07 22 18 08 " + ones + " 12 0b 08 " +
           ones + " 22 04 08 00 12 00 22 06 08 02 12 02 08 02 2a 0a 08 01 12 06 08 01 12 02 69 64 "
           "32 0b 20 " + ones},
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
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(DeterministicBytes(*c.message)), c.hex) << c.what;
    std::unique_ptr<google::protobuf::MessageLite> parsed(c.message->New());
    ASSERT_TRUE(parsed->ParseFromString(FromHex(c.hex))) << c.what;
    EXPECT_EQ(ToHex(DeterministicBytes(*parsed)), c.hex) << c.what;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
