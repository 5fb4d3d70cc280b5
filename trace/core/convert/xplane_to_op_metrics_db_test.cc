#include "trace/core/convert/xplane_to_op_metrics_db.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/plane_events.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AddPlaneEvent;

struct HostOp {
  std::string name;
  int64_t begin_ps;
  int64_t duration_ps;
};

// "name category occurrences time self_time" per entry, then the totals.
std::string Summary(const OpMetricsDb& db) {
  std::string text;
  for (const OpMetrics& m : db.metrics()) {
    text += m.name() + " " + m.category() + " " + std::to_string(m.occurrences()) + " " +
            std::to_string(m.time_ps()) + " " + std::to_string(m.self_time_ps()) + " | ";
  }
  return text + std::to_string(db.total_time_ps()) + " " + std::to_string(db.total_op_time_ps());
}

// Entries are made as ops end.
TEST(HostOpMetricsTest, NestsFrameworkOpsByTime) {
  const struct {
    const char* what;
    std::vector<HostOp> ops;
    const char* want;
  } cases[] = {
      {"nested",
       {{"a:A", 0, 100}, {"b:B", 10, 20}, {"c:C", 15, 5}},
       "c:C C 1 5 5 | b:B B 1 20 15 | a:A A 1 100 80 | 100 100"},
      {"one after the other", {{"a:A", 0, 10}, {"a:A", 20, 10}}, "a:A A 2 20 20 | 30 20"},
      {"overlapping: the later op is lost",
       {{"a:A", 0, 10}, {"b:B", 5, 10}},
       "a:A A 1 10 10 | 15 10"},
      {"an overlapped op's end leaves its parent open",
       {{"p:P", 0, 100}, {"a:A", 10, 40}, {"b:B", 20, 40}},
       "a:A A 1 40 40 | p:P P 1 100 60 | 100 100"},
      {"shared edges and a zero-length op",
       {{"p:P", 0, 100}, {"a:A", 0, 50}, {"b:B", 50, 50}, {"z:Z", 50, 0}},
       "a:A A 1 50 50 | z:Z Z 1 0 0 | b:B B 1 50 50 | p:P P 1 100 0 | 100 100"},
      {"not framework ops", {{"plain", 0, 10}, {"a:A#1", 0, 10}, {"a:", 0, 10}}, "0 0"},
      {"negative duration lasts no time", {{"a:A", 50, -20}}, "a:A A 1 0 0 | 0 0"},
  };
  for (const auto& c : cases) {
    XSpace space;
    XPlaneBuilder plane(space.add_planes());
    plane.SetName(kHostPlaneName);
    plane.GetOrCreateLine(1).SetTimestampNs(1000);
    for (const HostOp& op : c.ops) AddPlaneEvent(plane, 1, op.name, op.begin_ps, op.duration_ps);
    const XPlaneVisitor visitor(&plane.plane(), {FindHostEventType}, {FindStatType});
    const XLineVisitor line{&visitor, &plane.plane().lines(0)};
    const auto result =
        ConvertHostThreadsXLineToOpMetricsDb(line, BuildTfOpMapFromHostPlane(plane.plane()));
    EXPECT_EQ(Summary(result->db), c.want) << c.what;
  }
}

// Host lines combine with their idle time; an op takes its annotation's
// counters; kernels of framework ops enter under "<op name>/<op full name>".
TEST(OpMetricsTest, HostIdleAndDeviceKernels) {
  XSpace space;
  XPlaneBuilder host(space.add_planes());
  host.SetName(kHostPlaneName);
  XEventBuilder op = AddPlaneEvent(host, 1, "mm:MatMul", 0, 10);
  op.mutable_event()->set_second_pmu_data_flag(true);
  op.mutable_event()->mutable_second_pmu_data()->set_mac_ops(4);
  AddPlaneEvent(host, 1, "mm:MatMul", 30, 10);
  AddPlaneEvent(host, 2, "other", 0, 10);  // a line without framework ops
  const XPlaneVisitor visitor(&host.plane(), {FindHostEventType}, {FindStatType});
  OpMetricsDb host_db;
  OpMetricsDbBuilder host_builder(&host_db);
  for (const XLine& line : host.plane().lines()) {
    auto result = ConvertHostThreadsXLineToOpMetricsDb({&visitor, &line},
                                                       BuildTfOpMapFromHostPlane(host.plane()));
    AddIdleAndCombineOpMetricsDb(result->db, host_builder);
    EXPECT_EQ(result->db.metrics_size(), 0);
  }
  // 40 ps spanned, 20 ps in ops; the second line adds nothing.
  EXPECT_EQ(Summary(host_db), "mm:MatMul MatMul 2 20 20 | IDLE IDLE 0 20 20 | 40 20");
  EXPECT_EQ(host_db.metrics(0).second_pmu_info().pmu_data().mac_ops(), 4u);

  XPlaneBuilder device(space.add_planes());
  device.SetName("/device:ZRA:0");
  const std::string kernel = "";
  AddPlaneEvent(device, 1, "k1", 100, 50,
                {{"op_fullname", std::string("mm:MatMul")}, {"kernel_details", kernel}});
  AddPlaneEvent(device, 2, "k2", 200, 30,
                {{"tf_op", std::string("x:X")},
                 {"op_fullname", std::string("mm:MatMul")},
                 {"kernel_details", kernel},
                 {"data_type", std::string("half")}});
  AddPlaneEvent(device, 2, "copy", 400, 100, {{"op_fullname", std::string("mm:MatMul")}});
  AddPlaneEvent(device, 1, "k3", 300, 10,
                {{"op_fullname", std::string("")}, {"kernel_details", kernel}});
  AddPlaneEvent(device, 1, "k4", 300, 10,
                {{"tf_op", std::string("train")}, {"kernel_details", kernel}});
  // 100 to 500, the copy included.
  const OpMetricsDb db = ConvertDeviceTraceXPlaneToOpMetricsDb(device.plane());
  EXPECT_EQ(Summary(db),
            "mm/mm:MatMul MatMul 2 80 80 | train/train unknown 1 10 10 | IDLE IDLE 0 310 310 | "
            "400 90");
  EXPECT_EQ(db.metrics(0).provenance(), "mm:MatMul");
  EXPECT_EQ(db.metrics(0).data_type(), "half");
}

TEST(DeviceOpMetricsTest, SpanOfThePlaneEvents) {
  const struct {
    const char* what;
    std::vector<std::pair<int64_t, int64_t>> events;  // offset, duration
    uint64_t total_time_ps;
  } cases[] = {
      {"no events", {}, 0},
      {"overlapping kernels exceed the span", {{10, 20}, {10, 20}}, 20},
      {"negative durations", {{100, -50}}, 0},
      {"near the largest offset", {{INT64_MAX - 5, 100}}, 5},
      {"far apart", {{INT64_MIN, 0}, {INT64_MAX, 0}}, UINT64_MAX},
  };
  for (const auto& c : cases) {
    XSpace space;
    XPlaneBuilder plane(space.add_planes());
    for (const auto& [offset, duration] : c.events) {
      AddPlaneEvent(plane, 1, "k", offset, duration,
                    {{"op_fullname", std::string("a:A")}, {"kernel_details", std::string()}});
    }
    const OpMetricsDb db = ConvertDeviceTraceXPlaneToOpMetricsDb(plane.plane());
    EXPECT_EQ(db.total_time_ps(), c.total_time_ps) << c.what;
    EXPECT_EQ(db.metrics(db.metrics_size() - 1).name(), "IDLE") << c.what;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
