#include "trace/core/internal/zra/device_attributes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "trace/core/internal/zra/dravik_wrapper.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kSkipCheck[] = "MORVEL_DEBUG_SKIP_FREQUENCY_CHECK";
constexpr uint32_t kBandwidth[][3] = {{12, 8, 0}, {12, 80, 0}, {12, 125, 0}, {3, 5, 0}};
constexpr double kTopBandwidth[] = {12.8, 12.8, 13.25, 3.5};
constexpr uint32_t kFailing = 9;  // every query of this device fails, after writing garbage

// Answers from the tables above and writes what it was asked into a journal.
class FakeDravik : public DravikInterface {
 public:
  std::string journal;

  int32_t GetDeviceType(uint32_t device, uint32_t* type) override {
    journal += "type" + std::to_string(device) + " ";
    *type = device == kFailing ? 77 : 100 + device;
    return device == kFailing ? 5 : 0;
  }
  int32_t GetResultString(int32_t, const char** text) override {
    *text = "not enabled";
    return 0;
  }
  int32_t DevGetFrequencyInfo(morvelFrequencyInfo* info, uint32_t device) override {
    const char* skip = getenv(kSkipCheck);
    journal += "frequency" + std::to_string(device) + (skip ? skip : "-") + " ";
    info->frequency = device == kFailing ? 0xdead : 1000;
    return device == kFailing ? 4 : 0;
  }
  int32_t DevGetCoreCount(morvelCoreCountInfo* info, uint32_t device) override {
    info->count = device == kFailing ? 0xdead : 8;
    return device == kFailing ? 4 : 0;
  }
  int32_t DevGetDDRInfo(morvelDDRInfo* info, uint32_t device) override {
    EXPECT_EQ(info->version, 5u);
    info->bandwidthIntegral = device == kFailing ? 0xdead : kBandwidth[device][0];
    info->bandwidthFractional = device == kFailing ? 0xdead : kBandwidth[device][1];
    return device == kFailing ? 4 : 0;
  }
  std::string DevGetErrorString(int32_t) override { return "not permitted"; }
};

TEST(DeviceAttributesTest, QueriesEachDeviceOnceAndCombinesBandwidth) {
  DravikTracerCollectorImpl collector(0);
  for (uint32_t device : {kDravikNoId32, 3u, 0u, 1u, 2u}) {
    auto record = NewDravikTracerEvent(kKernel, kActivity);
    record->device_id = device;
    collector.AddEvent(std::move(record));
  }
  FakeDravik dravik;
  unsetenv(kSkipCheck);
  std::map<uint32_t, DeviceAttributes> attributes;
  CollectDeviceAttributes(collector, &attributes, &dravik);
  EXPECT_EQ(dravik.journal,
            "type0 frequency01 type1 frequency11 type2 frequency21 type3 frequency31 ");
  EXPECT_EQ(getenv(kSkipCheck), nullptr);
  ASSERT_EQ(attributes.size(), 4u);
  for (uint32_t device = 0; device < 4; ++device) {
    EXPECT_DOUBLE_EQ(attributes[device].top_bandwidth, kTopBandwidth[device]) << device;
    EXPECT_EQ(attributes[device].device_type, 100 + device);
    EXPECT_EQ(attributes[device].cores_used, 8u);
  }
}

TEST(DeviceAttributesTest, FailedQueriesKeepInitialValuesAndRestoreUserEnvironment) {
  FakeDravik dravik;
  setenv(kSkipCheck, "user", 1);
  testing::StderrCapture capture;
  const DeviceAttributes attributes = GetDeviceAttributes(kFailing, &dravik);
  const auto lines = testing::LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer");
  EXPECT_STREQ(getenv(kSkipCheck), "user");
  EXPECT_EQ(dravik.journal, "type9 frequency91 ");
  EXPECT_EQ(attributes.device_type, kDravikNoId32);
  EXPECT_EQ(attributes.frequency, 0u);
  EXPECT_EQ(attributes.core_count, 0u);
  EXPECT_EQ(attributes.top_bandwidth, 0.0);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "ERROR Device Id = 9, get device type failed, error is not enabled",
                       "ERROR Device Id = 9, get device frequency failed, error is not permitted",
                       "ERROR Device id = 9, get device core count failed, error is not permitted",
                       "ERROR Device id = 9, get device top bandwidth failed, error is not permitted"}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
