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
      {"space without planes", Make<XSpace>([](XSpace*) {}), ""},
      {"offset 0 is written", Make<XEvent>([](XEvent* e) { e->set_offset_ps(0); }), "10 00"},
      {"unset data writes nothing", Make<XEvent>([](XEvent*) {}), ""},
      {"occurrences 0 are written", Make<XEvent>([](XEvent* e) { e->set_num_occurrences(0); }),
       "28 00"},
      {"derived line id", Make<XLine>([](XLine* l) { l->set_id(-559038737); }),
       "08 ef fd b6 f5 fd ff ff ff ff 01"},
      {"double 0.0", Make<XStat>([](XStat* s) { s->set_double_value(0.0); }),
       "11 00 00 00 00 00 00 00 00"},
      {"int64 0", Make<XStat>([](XStat* s) { s->set_int64_value(0); }), "20 00"},
      {"empty string value", Make<XStat>([](XStat* s) { s->set_str_value(""); }), "2a 00"},
      {"ref 0", Make<XStat>([](XStat* s) { s->set_ref_value(0); }), "38 00"},
      {"stat without value", Make<XStat>([](XStat* s) { s->set_metadata_id(3); }), "08 03"},
      {"empty stat", Make<XStat>([](XStat*) {}), ""},
      {"pmu flag", Make<XEvent>([](XEvent* e) { e->set_pmu_data_flag(true); }), "30 01"},
      {"second pmu flag", Make<XEvent>([](XEvent* e) { e->set_second_pmu_data_flag(true); }),
       "50 01"},
      {"present all-zero counters", Make<XEvent>([](XEvent* e) { e->mutable_pmu_data(); }),
       "3a 00"},
      {"all-unknown counters",
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

TEST(XPlaneSchemaTest, ReadsWhatItWrites) {
  XSpace space;
  EXPECT_TRUE(space.ParseFromString(""));
  EXPECT_EQ(space.planes_size(), 0);

  XPlane* plane = space.add_planes();
  plane->set_id(1);
  plane->set_name("/device:ZRA:1");
  XEventMetadata& metadata = (*plane->mutable_event_metadata())[1];
  metadata.set_id(1);
  metadata.set_name("conv1##qxInvokeKernel");
  metadata.set_display_name("qxInvokeKernel");
  (*plane->mutable_stat_metadata())[17].set_name("correlation_id");
  XLine* line = plane->add_lines();
  line->set_id(-559038737);
  line->set_timestamp_ns(1000);
  XEvent* event = line->add_events();
  event->set_metadata_id(1);
  event->set_offset_ps(-5);
  event->set_duration_ps(300);
  event->add_stats()->set_str_value("Kernel");
  event->add_stats()->set_bytes_value(std::string("\x80\x00", 2));
  event->add_stats()->set_double_value(-0.5);
  *event->mutable_pmu_data() = AllUnknownPmuData();
  event->mutable_device_info()->set_zra_type(UnknownZraType);
  line->add_events()->set_num_occurrences(3);

  const std::string bytes = DeterministicBytes(space);
  XSpace parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  EXPECT_EQ(DeterministicBytes(parsed), bytes);
  const XLine& parsed_line = parsed.planes(0).lines(0);
  EXPECT_EQ(parsed_line.id(), -559038737);
  EXPECT_EQ(parsed_line.events(0).offset_ps(), -5);
  EXPECT_EQ(parsed_line.events(0).device_info().zra_type(), UnknownZraType);
  EXPECT_EQ(parsed_line.events(1).data_case(), XEvent::kNumOccurrences);
  EXPECT_EQ(parsed_line.events(1).offset_ps(), 0);
  EXPECT_FALSE(parsed_line.events(1).has_pmu_data());
  EXPECT_EQ(parsed.planes(0).event_metadata().at(1).display_name(), "qxInvokeKernel");
}

TEST(XPlaneSchemaTest, KeepsUnknownFieldsOfEveryMessage) {
  // A field 15 of each message type, through parse and write.
  const struct {
    std::shared_ptr<google::protobuf::MessageLite> message;
    const char* input;
    const char* output;
  } cases[] = {
      {std::make_shared<XSpace>(), "78 01 0a 00", "0a 00 78 01"},
      {std::make_shared<XLine>(), "30 05 40 06 08 01", "08 01 30 05 40 06"},
      {std::make_shared<XEvent>(), "78 01 10 00", "10 00 78 01"},
      {std::make_shared<XStat>(), "78 01 20 02", "20 02 78 01"},
      {std::make_shared<XEventMetadata>(), "78 01 08 01", "08 01 78 01"},
      {std::make_shared<XStatMetadata>(), "78 01 08 01", "08 01 78 01"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.message->ParseFromString(FromHex(c.input))) << c.message->GetTypeName();
    EXPECT_EQ(ToHex(DeterministicBytes(*c.message)), c.output) << c.message->GetTypeName();
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
      {std::make_shared<XLine>(), "12", false},
      {std::make_shared<XLine>(), "5a", false},
      {std::make_shared<XStat>(), "2a", false},
      {std::make_shared<XEventMetadata>(), "12", false},
      {std::make_shared<XEventMetadata>(), "22", false},
      {std::make_shared<XStatMetadata>(), "12", false},
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
