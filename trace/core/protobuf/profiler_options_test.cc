#include <gtest/gtest.h>

#include <string>

#include "trace/core/protobuf/profiler_options.pb.h"

namespace zentrik {
namespace trace {
namespace {

ProfileOptions Options(uint32_t host, uint32_t device, uint32_t version) {
  ProfileOptions options;
  options.set_host_tracer_level(host);
  options.set_device_tracer_level(device);
  options.set_version(version);
  return options;
}

TEST(ProfileOptionsTest, WireBytes) {
  const struct {
    ProfileOptions options;
    std::string bytes;
  } cases[] = {
      {Options(0, 0, 0), ""},
      {Options(2, 1, 1), std::string("\x10\x02\x18\x01\x28\x01", 6)},
      {Options(0, 3, 0), std::string("\x18\x03", 2)},
      {Options(300, 0, 0), std::string("\x10\xac\x02", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.options.SerializeAsString(), c.bytes);
    ProfileOptions parsed = Options(9, 9, 9);
    ASSERT_TRUE(parsed.ParseFromString(c.bytes));
    EXPECT_EQ(parsed.host_tracer_level(), c.options.host_tracer_level());
    EXPECT_EQ(parsed.device_tracer_level(), c.options.device_tracer_level());
    EXPECT_EQ(parsed.version(), c.options.version());
  }
  EXPECT_EQ(ProfileOptions().GetTypeName(), "zentrik.trace.ProfileOptions");
}

TEST(ProfileOptionsTest, UnknownFieldSurvivesAfterKnownFields) {
  // Field 4 (tag 0x20) ahead of field 2 in the input.
  const std::string input("\x20\x07\x10\x02", 4);
  ProfileOptions options;
  ASSERT_TRUE(options.ParseFromString(input));
  EXPECT_EQ(options.host_tracer_level(), 2u);
  EXPECT_EQ(options.SerializeAsString(), std::string("\x10\x02\x20\x07", 4));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
