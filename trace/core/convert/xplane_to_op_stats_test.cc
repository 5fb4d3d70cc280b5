#include "trace/core/convert/xplane_to_op_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/plane_events.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AddPlaneEvent;

// Adds a plane named `name` whose line 1 holds the framework op "a:A" from
// `begin_ps` for 10 ps (a kernel on device planes) and spans `span_ps`.
void AddPlane(XSpace* space, const std::string& name, int64_t begin_ps = 0, int64_t span_ps = 10) {
  XPlaneBuilder plane(space->add_planes());
  plane.SetName(name);
  AddPlaneEvent(plane, 1, "a:A", begin_ps, 10,
                {{"op_fullname", std::string("a:A")}, {"kernel_details", std::string()}});
  AddPlaneEvent(plane, 1, "b:B", begin_ps + span_ps - 1, 1);
}

TEST(ConvertXSpaceToOpStatsTest, SelectsHostAndDevicePlanes) {
  const struct {
    const char* what;
    std::vector<std::string> planes;
    const char* device_type;
    bool has_host_db;
    int device_entries;  // the kernel's and "IDLE"
  } cases[] = {
      {"no planes", {}, "CPU", false, 0},
      {"host only", {"/host:CPU"}, "CPU", true, 0},
      {"device only", {"/device:ZRA:0"}, "ZRA", false, 2},
      {"other planes ignored", {"/device:ZRA", "/device:GPU:0", "/host:CPU:1"}, "CPU", false, 0},
      {"both", {"/device:ZRA:1", "/host:CPU", "/device:ZRA:0"}, "ZRA", true, 2},
  };
  for (const auto& c : cases) {
    XSpace space;
    for (const std::string& name : c.planes) AddPlane(&space, name);
    const OpStats op_stats = ConvertXSpaceToOpStats(space);
    EXPECT_EQ(op_stats.run_environment().device_type(), c.device_type) << c.what;
    EXPECT_EQ(op_stats.has_host_op_metrics_db(), c.has_host_db) << c.what;
    EXPECT_TRUE(op_stats.has_device_op_metrics_db()) << c.what;
    EXPECT_TRUE(op_stats.has_kernel_stats_db()) << c.what;
    EXPECT_TRUE(op_stats.has_overview_info()) << c.what;
    EXPECT_EQ(op_stats.device_op_metrics_db().metrics_size(), c.device_entries) << c.what;
  }
}

TEST(ConvertXSpaceToOpStatsTest, OneIdleEntryPerDatabase) {
  XSpace space;
  AddPlane(&space, "/device:ZRA:0", 0, 30);    // 20 ps idle
  AddPlane(&space, "/host:CPU", 0, 50);        // 39 ps idle: b:B counts as an op
  AddPlane(&space, "/device:ZRA:1", 100, 15);  // 5 ps idle
  AddPlane(&space, "/host:CPU", 0, 1000);      // ignored: not the first host plane
  XPlaneBuilder host(space.mutable_planes(1));
  AddPlaneEvent(host, 2, "plain", 0, 10);  // a line without framework ops
  const OpStats op_stats = ConvertXSpaceToOpStats(space);

  const OpMetricsDb& device = op_stats.device_op_metrics_db();
  ASSERT_EQ(device.metrics_size(), 2);
  EXPECT_EQ(device.metrics(0).name(), "a/a:A");
  EXPECT_EQ(device.metrics(0).occurrences(), 2u);
  EXPECT_EQ(device.metrics(1).name(), "IDLE");
  EXPECT_EQ(device.metrics(1).time_ps(), 25u);
  EXPECT_EQ(device.total_time_ps(), 45u);
  EXPECT_EQ(device.total_op_time_ps(), 20u);

  const OpMetricsDb& host_db = op_stats.host_op_metrics_db();
  ASSERT_EQ(host_db.metrics_size(), 3);
  EXPECT_EQ(host_db.metrics(2).name(), "IDLE");
  EXPECT_EQ(host_db.metrics(2).time_ps(), 39u);
  EXPECT_EQ(host_db.total_time_ps(), 50u);

  ASSERT_EQ(op_stats.kernel_stats_db().reports_size(), 0);  // kernels under 1 ns
}

TEST(ConvertXSpaceToOpStatsTest, HostPlaneWithoutLinesGivesEmptyDatabase) {
  XSpace space;
  XPlaneBuilder(space.add_planes()).SetName("/host:CPU");
  const OpStats op_stats = ConvertXSpaceToOpStats(space);
  EXPECT_TRUE(op_stats.has_host_op_metrics_db());
  EXPECT_EQ(op_stats.host_op_metrics_db().ByteSizeLong(), 0u);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
