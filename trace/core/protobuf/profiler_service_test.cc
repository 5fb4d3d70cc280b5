#include <gtest/gtest.h>

#include <string>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/profiler_service.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::FromHex;

TEST(ProfilerServiceTest, DefaultMessagesSerializeToNothing) {
  EXPECT_EQ(ProfileRequest().SerializeAsString(), "");
  EXPECT_EQ(ToolRequestOptions().SerializeAsString(), "");
  EXPECT_EQ(ProfileToolData().SerializeAsString(), "");
  ProfileResponse response;
  response.set_no_trace_events(false);
  EXPECT_EQ(response.SerializeAsString(), "");
}

TEST(ProfilerServiceTest, TypeNames) {
  EXPECT_EQ(ProfileRequest().GetTypeName(), "zentrik.trace.ProfileRequest");
  EXPECT_EQ(ToolRequestOptions().GetTypeName(), "zentrik.trace.ToolRequestOptions");
  EXPECT_EQ(ProfileToolData().GetTypeName(), "zentrik.trace.ProfileToolData");
  EXPECT_EQ(ProfileResponse().GetTypeName(), "zentrik.trace.ProfileResponse");
}

TEST(ProfilerServiceTest, RequestWireBytes) {
  ProfileRequest request;
  request.set_field1(1);
  request.set_max_events(1000000);
  request.add_tools("op");
  request.add_tools("kv");
  request.mutable_opts()->set_host_tracer_level(2);
  request.set_repository_root("r");
  request.set_session_id("s");
  request.set_host_name("h");
  ToolRequestOptions& tool = (*request.mutable_tool_options())["b"];
  tool.set_output_formats("j");
  tool.set_field3(true);
  (*request.mutable_tool_options())["a"];

  const std::string bytes = FromHex(
      "08 01"                        // field1
      " 10 c0 84 3d"                 // max_events 1000000
      " 1a 02 6f 70 1a 02 6b 76"     // tools
      " 22 02 10 02"                 // opts
      " 2a 01 72 32 01 73 3a 01 68"  // repository_root, session_id, host_name
      " 42 05 0a 01 61 12 00"        // tool_options entry "a": the empty value is written
      " 42 0a 0a 01 62 12 05 12 01 6a 18 01");  // entry "b"
  EXPECT_EQ(DeterministicBytes(request), bytes);

  ProfileRequest parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  EXPECT_EQ(parsed.max_events(), 1000000u);
  ASSERT_EQ(parsed.tools_size(), 2);
  EXPECT_EQ(parsed.tools(1), "kv");
  EXPECT_EQ(parsed.opts().host_tracer_level(), 2u);
  EXPECT_EQ(parsed.host_name(), "h");
  ASSERT_EQ(parsed.tool_options().count("b"), 1u);
  EXPECT_EQ(parsed.tool_options().at("b").output_formats(), "j");
  EXPECT_TRUE(parsed.tool_options().at("b").field3());
}

TEST(ProfilerServiceTest, ResponseWireBytes) {
  ProfileResponse response;
  ProfileToolData* data = response.add_tool_data();
  data->set_name("a.pb");
  data->set_data(std::string("\x00\xff", 2));
  response.set_no_trace_events(true);
  EXPECT_EQ(response.SerializeAsString(), FromHex("32 0a 0a 04 61 2e 70 62 12 02 00 ff 38 01"));
}

TEST(ProfilerServiceTest, BytesAreNotValidatedButStringsAre) {
  const std::string not_utf8("\xc3\x28\xff", 3);
  ProfileToolData data;
  data.set_data(not_utf8);
  ProfileToolData parsed;
  ASSERT_TRUE(parsed.ParseFromString(data.SerializeAsString()));
  EXPECT_EQ(parsed.data(), not_utf8);

  // The same bytes as the name (field 1) do not parse.
  const std::string bad_name = std::string("\x0a\x03", 2) + not_utf8;
  EXPECT_FALSE(parsed.ParseFromString(bad_name));
}

TEST(ProfilerServiceTest, UnknownFieldsAreCarriedThrough) {
  // Field 1 of ProfileResponse is not in the schema; it is written back after
  // the known fields.
  ProfileResponse response;
  ASSERT_TRUE(response.ParseFromString(FromHex("08 05 38 01")));
  EXPECT_TRUE(response.no_trace_events());
  EXPECT_EQ(response.SerializeAsString(), FromHex("38 01 08 05"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
