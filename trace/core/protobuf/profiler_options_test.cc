#include <gtest/gtest.h>

#include <string>

#include "trace/core/protobuf/profiler_options.pb.h"

namespace zentrik {
namespace trace {
namespace {

TEST(ProfileOptionsTest, WireBytes) {
  ProfileOptions options;
  options.set_host_tracer_level(300);
  options.set_device_tracer_level(1);
  options.set_version(1);
  EXPECT_EQ(options.SerializeAsString(), std::string("\x10\xac\x02\x18\x01\x28\x01", 7));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
