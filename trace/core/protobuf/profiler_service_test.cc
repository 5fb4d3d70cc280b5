#include <gtest/gtest.h>

#include <string>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/profiler_service.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::FromHex;

TEST(ProfilerServiceTest, RequestWireBytes) {
  ProfileRequest request;
  request.set_field1(1);
  request.set_max_events(1000000);
  request.add_tools("op");
  request.add_tools("kv");
  request.mutable_opts()->set_host_tracer_level(2);
  request.mutable_opts()->set_device_tracer_level(1);
  request.mutable_opts()->set_version(300);
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
      " 22 07 10 02 18 01 28 ac 02"  // opts: host and device levels, version 300
      " 2a 01 72 32 01 73 3a 01 68"  // repository_root, session_id, host_name
      " 42 05 0a 01 61 12 00"        // tool_options entry "a": the empty value is written
      " 42 0a 0a 01 62 12 05 12 01 6a 18 01");  // entry "b"
  EXPECT_EQ(DeterministicBytes(request), bytes);
}

TEST(ProfilerServiceTest, ResponseWireBytes) {
  ProfileResponse response;
  ProfileToolData* data = response.add_tool_data();
  data->set_name("a.pb");
  data->set_data(std::string("\x00\xff", 2));
  response.set_no_trace_events(true);
  EXPECT_EQ(response.SerializeAsString(), FromHex("32 0a 0a 04 61 2e 70 62 12 02 00 ff 38 01"));
  // Tool data is binary (gzip): bytes that are not UTF-8 parse back.
  EXPECT_TRUE(ProfileResponse().ParseFromString(response.SerializeAsString()));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
