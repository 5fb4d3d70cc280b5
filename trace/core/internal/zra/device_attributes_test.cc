// Device facts read from the simulator, whose frequency query succeeds only
// while MORVEL_DEBUG_SKIP_FREQUENCY_CHECK is "1" and whose failed queries leave
// garbage in every out-parameter.
#include "trace/core/internal/zra/device_attributes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/internal/zra/dravik_wrapper.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kSkipCheck[] = "MORVEL_DEBUG_SKIP_FREQUENCY_CHECK";

TEST(DeviceAttributesTest, CombinesBandwidthAndKeepsInitialValuesOnFailure) {
  const uint32_t ddr[][2] = {{12, 8}, {12, 80}, {12, 125}, {3, 5}};
  const double top_bandwidth[] = {12.8, 12.8, 13.25, 3.5};
  std::vector<zra_sim::Device> devices;
  for (uint32_t i = 0; i < 4; ++i) {
    devices.push_back({100 + i, 0x2030, 8, 1500, ddr[i][0], ddr[i][1], 2, "ZRA-S60"});
  }
  zra_sim::Reset();
  zra_sim::SetDevices(devices);
  DravikTracerCollectorImpl collector(0);
  for (uint32_t device : {kDravikNoId32, 3u, 0u, 1u, 2u, 3u}) {  // none: an API record
    auto record = NewDravikTracerEvent(kKernel, kActivity);
    record->device_id = device;
    collector.AddEvent(std::move(record));
  }
  unsetenv(kSkipCheck);
  std::map<uint32_t, DeviceAttributes> attributes;
  CollectDeviceAttributes(collector, &attributes, GetDravikInterface());
  EXPECT_EQ(getenv(kSkipCheck), nullptr);
  ASSERT_EQ(attributes.size(), 4u);
  for (uint32_t device = 0; device < 4; ++device) {
    const DeviceAttributes& a = attributes[device];
    EXPECT_DOUBLE_EQ(a.top_bandwidth, top_bandwidth[device]) << device;
    EXPECT_EQ(std::make_tuple(a.device_type, a.frequency, a.cores_used),
              std::make_tuple(100 + device, 1500u, 8u)) << device;
  }
  // Failed queries leave garbage behind, the user's own switch is restored.
  for (const char* query : {"dravikGetDeviceType", "morvelGetFrequencyInfo", "morvelGetCoreCount",
                            "morvelGetDDRInfo"}) {
    zra_sim::FailNext(query, 1, MORVEL_ERROR_UNKNOWN);
  }
  setenv(kSkipCheck, "user", 1);
  testing::StderrCapture capture;
  const DeviceAttributes a = GetDeviceAttributes(1, GetDravikInterface());
  const auto lines = testing::LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer");
  EXPECT_STREQ(getenv(kSkipCheck), "user");
  EXPECT_EQ(std::make_tuple(a.device_type, a.frequency, a.core_count, a.top_bandwidth),
            std::make_tuple(kDravikNoId32, 0u, 0u, 0.0));
  const std::string morvel = " failed, error is MORVEL_ERROR_UNKNOWN";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       // The interface leaves the result text unread.
                       "ERROR Device Id = 1, get device type failed, error is ",
                       "ERROR Device Id = 1, get device frequency" + morvel,
                       "ERROR Device id = 1, get device core count" + morvel,
                       "ERROR Device id = 1, get device top bandwidth" + morvel}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
