#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/pmu.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::FromHex;
using ::zentrik::testing::ToHex;

constexpr uint64_t kNoValue = ~uint64_t{0};
constexpr double kNoValueDouble = 18446744073709551616.0;  // 2^64
// The ten-byte varint of all ones, as every unknown counter is written.
constexpr char kNoValueVarint[] = "ff ff ff ff ff ff ff ff ff 01";

TEST(PmuMessagesTest, WritesGoldenBytes) {
  PmuData field14_unknown;
  field14_unknown.set_field14(kNoValue);
  PmuData vector_ops_one;
  vector_ops_one.set_vector_ops(1);
  DeviceInfo unknown_device;
  unknown_device.set_zra_type(UnknownZraType);
  DeviceInfo device;
  device.set_zra_type(ACC401);
  device.set_frequency(1000);
  device.set_core_count(4);
  device.set_top_bandwidth(0.5);
  device.set_core_used(4);
  device.set_peak_performance(2.0);
  AvePmuData ave_unknown;
  ave_unknown.set_field14(kNoValueDouble);
  PmuUtil util;
  util.set_vec_utilization(1.0);
  PmuInfo info_empty_counters;
  info_empty_counters.mutable_pmu_data();
  info_empty_counters.set_count(3);
  PmuInfo info_ave;
  info_ave.mutable_ave_pmu_data()->set_mac_ops(2.0);
  info_ave.mutable_device_info();
  info_ave.mutable_pmu_util();

  const struct {
    const char* what;
    const google::protobuf::MessageLite& message;
    std::string hex;
  } cases[] = {
      {"field14 unknown", field14_unknown, std::string("70 ") + kNoValueVarint},
      {"field 16 takes a two-byte tag", vector_ops_one, "80 01 01"},
      {"zra_type -1", unknown_device, std::string("08 ") + kNoValueVarint},
      {"full DeviceInfo", device,
       "08 0b 10 e8 07 18 04 21 00 00 00 00 00 00 e0 3f 30 04 39 00 00 00 00 00 00 00 40"},
      {"averaged no-value marker", ave_unknown, "71 00 00 00 00 00 00 f0 43"},
      {"PmuUtil field 14", util, "71 00 00 00 00 00 00 f0 3f"},
      {"present empty oneof member", info_empty_counters, "0a 00 28 03"},
      {"averaged member and empty sub-messages", info_ave,
       "12 09 79 00 00 00 00 00 00 00 40 1a 00 22 00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(DeterministicBytes(c.message)), c.hex) << c.what;
  }
}

TEST(PmuMessagesTest, ZraTypeIsOpen) {
  // Models outside the table, or reported by newer devices, survive a round
  // trip unchanged.
  const struct {
    std::string hex;
    int32_t zra_type;
  } cases[] = {
      {"08 e7 07", 999},
      {"08 80 80 80 80 f8 ff ff ff ff 01", INT32_MIN},
  };
  for (const auto& c : cases) {
    DeviceInfo device;
    ASSERT_TRUE(device.ParseFromString(FromHex(c.hex))) << c.hex;
    EXPECT_EQ(static_cast<int32_t>(device.zra_type()), c.zra_type);
    EXPECT_EQ(ToHex(DeterministicBytes(device)), c.hex);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
