#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "testing/stderr_capture.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AllUnknownPmuData;
using ::zentrik::testing::AllUnknownPmuDataHex;
using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::FromHex;
using ::zentrik::testing::ToHex;

// A message built by `fill`, for the golden-bytes table.
template <typename Message>
std::shared_ptr<google::protobuf::MessageLite> Make(std::function<void(Message*)> fill) {
  auto message = std::make_shared<Message>();
  fill(message.get());
  return message;
}

TEST(XPlaneSchemaTest, WritesGoldenBytes) {
  const struct {
    const char* what;
    std::shared_ptr<google::protobuf::MessageLite> message;
    std::string hex;
  } cases[] = {
      {"offset 0 is written", Make<XEvent>([](XEvent* e) { e->set_offset_ps(0); }), "10 00"},
      {"occurrences 0 are written", Make<XEvent>([](XEvent* e) { e->set_num_occurrences(0); }),
       "28 00"},
      {"derived line id", Make<XLine>([](XLine* l) { l->set_id(-559038737); }),
       "08 ef fd b6 f5 fd ff ff ff ff 01"},
      {"double 0.0", Make<XStat>([](XStat* s) { s->set_double_value(0.0); }),
       "11 00 00 00 00 00 00 00 00"},
      {"int64 0", Make<XStat>([](XStat* s) { s->set_int64_value(0); }), "20 00"},
      {"empty string value", Make<XStat>([](XStat* s) { s->set_str_value(""); }), "2a 00"},
      {"ref 0", Make<XStat>([](XStat* s) { s->set_ref_value(0); }), "38 00"},
      {"present all-zero counters", Make<XEvent>([](XEvent* e) { e->mutable_pmu_data(); }),
       "3a 00"},
      {"all-unknown counters take 177 bytes",
       Make<XEvent>([](XEvent* e) { *e->mutable_pmu_data() = AllUnknownPmuData(); }),
       "3a b1 01 " + AllUnknownPmuDataHex()},
      {"metadata entry with key 0",
       Make<XPlane>([](XPlane* p) { (*p->mutable_event_metadata())[0]; }), "22 04 08 00 12 00"},
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
      {"metadata fields", Make<XEventMetadata>([](XEventMetadata* m) {
         m->add_stats()->set_uint64_value(1);
         m->set_display_name("D");
         m->set_metadata(std::string("\0\xff", 2));
         m->set_name("N");
         m->set_id(2);
       }),
       "08 02 12 01 4e 1a 02 00 ff 22 01 44 2a 02 18 01"},
      {"stat metadata fields", Make<XStatMetadata>([](XStatMetadata* m) {
         m->set_description("x");
         m->set_name("id");
         m->set_id(1);
       }),
       "08 01 12 02 69 64 1a 01 78"},
      {"maps sorted by signed key", Make<XPlane>([](XPlane* p) {
         p->add_stats()->set_int64_value(-1);
         for (const int64_t key : {2, -1, 1}) (*p->mutable_event_metadata())[key].set_id(key);
         auto& stat = (*p->mutable_stat_metadata())[1];
         stat.set_id(1);
         stat.set_name("id");
         p->add_lines()->set_id(7);
         p->set_name("/host:CPU");
         p->set_id(5);
       }),
       "08 05 12 09 2f 68 6f 73 74 3a 43 50 55 1a 02 08 07 "
       "22 18 08 ff ff ff ff ff ff ff ff ff 01 12 0b 08 ff ff ff ff ff ff ff ff ff 01 "
       "22 06 08 01 12 02 08 01 22 06 08 02 12 02 08 02 "
       "2a 0a 08 01 12 06 08 01 12 02 69 64 "
       "32 0b 20 ff ff ff ff ff ff ff ff ff 01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(DeterministicBytes(*c.message)), c.hex) << c.what;
  }
}

TEST(XPlaneSchemaTest, StringFieldsRejectInvalidUtf8WhileBytesFieldsTakeIt) {
  const std::string bad = "c3 28";  // a lead byte followed by no continuation
  const struct {
    std::shared_ptr<google::protobuf::MessageLite> message;
    std::string tag;
    bool parses;
  } cases[] = {
      {std::make_shared<XPlane>(), "12", false},
      {std::make_shared<XLine>(), "5a", false},
      {std::make_shared<XStat>(), "2a", false},
      {std::make_shared<XEventMetadata>(), "22", false},
      {std::make_shared<XStatMetadata>(), "1a", false},
      {std::make_shared<XEventMetadata>(), "1a", true},
      {std::make_shared<XStat>(), "32", true},
  };
  for (const auto& c : cases) {
    ::zentrik::testing::StderrCapture capture;
    EXPECT_EQ(c.message->ParseFromString(FromHex(c.tag + " 02 " + bad)), c.parses)
        << c.message->GetTypeName() << " tag " << c.tag;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
