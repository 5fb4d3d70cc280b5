#include "trace/core/convert/xplane_to_op_stats.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/plane_events.h"
#include "testing/proto_bytes.h"
#include "trace/core/convert/op_stats_to_overview_page.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AddPlaneEvent;
using ::zentrik::testing::ToHex;

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
    EXPECT_EQ(op_stats.device_op_metrics_db().metrics_size(), c.device_entries) << c.what;
  }
}

TEST(OverviewPageTest, CopiesTheStepOverview) {
  auto op_stats = std::make_unique<OpStats>();
  ZentrikStepRecord* record = op_stats->mutable_overview_info()->add_step_records();
  record->set_step_id(2);
  op_stats->mutable_overview_info()->set_pmu_data_valid(true);

  const OverviewPage page = ConvertOpStatsToOverviewPage(*op_stats);
  record->set_step_id(3);
  op_stats.reset();
  // Field 9 holding the record (step id 2) and the validity flag.
  EXPECT_EQ(ToHex(page.SerializeAsString()), "4a 06 0a 02 08 02 20 01");
}

// Device planes share one database and one idle entry, as the lines of the
// first host plane do; other host planes are ignored.
TEST(ConvertXSpaceToOpStatsTest, OneIdleEntryPerDatabase) {
  XSpace space;
  AddPlane(&space, "/device:ZRA:0", 0, 30);    // 20 ps idle
  AddPlane(&space, "/host:CPU", 0, 50);        // 39 ps idle: b:B counts as an op
  AddPlane(&space, "/device:ZRA:1", 100, 15);  // 5 ps idle
  AddPlane(&space, "/host:CPU", 0, 1000);      // ignored: not the first host plane
  XPlaneBuilder host(space.mutable_planes(1));
  AddPlaneEvent(host, 2, "plain", 0, 10);  // a line without framework ops
  const OpStats op_stats = ConvertXSpaceToOpStats(space);

  // "name occurrences time" per entry, then the totals.
  auto summary = [](const OpMetricsDb& db) {
    std::string text;
    for (const OpMetrics& m : db.metrics()) {
      text += m.name() + " " + std::to_string(m.occurrences()) + " " + std::to_string(m.time_ps()) +
              " | ";
    }
    return text + std::to_string(db.total_time_ps()) + " " + std::to_string(db.total_op_time_ps());
  };
  EXPECT_EQ(summary(op_stats.device_op_metrics_db()), "a/a:A 2 20 | IDLE 0 25 | 45 20");
  EXPECT_EQ(summary(op_stats.host_op_metrics_db()), "a:A 1 10 | b:B 1 1 | IDLE 0 39 | 50 11");
  EXPECT_EQ(op_stats.kernel_stats_db().reports_size(), 0);  // kernels under 1 ns
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
