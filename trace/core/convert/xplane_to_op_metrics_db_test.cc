#include "trace/core/convert/xplane_to_op_metrics_db.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
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

// Entry name to (occurrences, time, self time).
using Entries = std::map<std::string, std::tuple<uint32_t, uint64_t, uint64_t>>;

Entries EntriesOf(const OpMetricsDb& db) {
  Entries entries;
  for (const OpMetrics& m : db.metrics()) {
    entries[m.name()] = {m.occurrences(), m.time_ps(), m.self_time_ps()};
  }
  return entries;
}

TEST(HostOpMetricsTest, NestsFrameworkOpsByTime) {
  const struct {
    const char* what;
    std::vector<HostOp> ops;
    Entries want;
    uint64_t total_time_ps;
    uint64_t total_op_time_ps;
  } cases[] = {
      {"nested",
       {{"a:A", 0, 100}, {"b:B", 10, 20}, {"c:C", 15, 5}},
       {{"a:A", {1, 100, 80}}, {"b:B", {1, 20, 15}}, {"c:C", {1, 5, 5}}},
       100,
       100},
      {"one after the other", {{"a:A", 0, 10}, {"a:A", 20, 10}}, {{"a:A", {2, 20, 20}}}, 30, 20},
      {"overlapping: the later op is lost",
       {{"a:A", 0, 10}, {"b:B", 5, 10}},
       {{"a:A", {1, 10, 10}}},
       15,
       10},
      {"an overlapped op's end leaves its parent open",
       {{"p:P", 0, 100}, {"a:A", 10, 40}, {"b:B", 20, 40}},
       {{"p:P", {1, 100, 60}}, {"a:A", {1, 40, 40}}},
       100,
       100},
      {"shared edges and a zero-length op",
       {{"p:P", 0, 100}, {"a:A", 0, 50}, {"b:B", 50, 50}, {"z:Z", 50, 0}},
       {{"p:P", {1, 100, 0}}, {"a:A", {1, 50, 50}}, {"b:B", {1, 50, 50}}, {"z:Z", {1, 0, 0}}},
       100,
       100},
      {"not framework ops", {{"plain", 0, 10}, {"a:A#1", 0, 10}, {"a:", 0, 10}}, {}, 0, 0},
      {"negative duration lasts no time", {{"a:A", 50, -20}}, {{"a:A", {1, 0, 0}}}, 0, 0},
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
    EXPECT_EQ(EntriesOf(result->db), c.want) << c.what;
    EXPECT_EQ(result->db.total_time_ps(), c.total_time_ps) << c.what;
    EXPECT_EQ(result->db.total_op_time_ps(), c.total_op_time_ps) << c.what;
  }
}

TEST(HostOpMetricsTest, EntersTextsCountersAndIdle) {
  XSpace space;
  XPlaneBuilder plane(space.add_planes());
  plane.SetName(kHostPlaneName);
  XEventBuilder op =
      AddPlaneEvent(plane, 1, "mm:MatMul", 0, 10,
                    {{"data_type", std::string("float")}, {"model_id", std::string("m")}});
  op.mutable_event()->set_second_pmu_data_flag(true);
  op.mutable_event()->mutable_second_pmu_data()->set_mac_ops(4);
  op.mutable_event()->mutable_device_info()->set_frequency(7);
  AddPlaneEvent(plane, 1, "mm:MatMul", 30, 10);
  AddPlaneEvent(plane, 2, "other", 0, 10);  // a line without framework ops
  const XPlaneVisitor visitor(&plane.plane(), {FindHostEventType}, {FindStatType});
  const TfOpMap tf_ops = BuildTfOpMapFromHostPlane(plane.plane());

  OpMetricsDb host_db;
  OpMetricsDbBuilder host_builder(&host_db);
  for (const XLine& line : plane.plane().lines()) {
    auto result = ConvertHostThreadsXLineToOpMetricsDb({&visitor, &line}, tf_ops);
    AddIdleAndCombineOpMetricsDb(result->db, host_builder);
    EXPECT_EQ(result->db.metrics_size(), 0);
  }
  ASSERT_EQ(host_db.metrics_size(), 2);
  const OpMetrics& mm = host_db.metrics(0);
  EXPECT_EQ(mm.name(), "mm:MatMul");
  EXPECT_EQ(mm.category(), "MatMul");
  EXPECT_EQ(mm.data_type(), "");  // of the later occurrence
  EXPECT_EQ(mm.model_id(), "");
  EXPECT_EQ(mm.second_pmu_info().pmu_data().mac_ops(), 4u);
  const OpMetrics& idle = host_db.metrics(1);
  EXPECT_EQ(idle.name(), "IDLE");
  EXPECT_EQ(idle.time_ps(), 20u);  // 40 ps spanned, 20 ps in ops; the second line adds 0
  EXPECT_EQ(host_db.total_time_ps(), 40u);
}

TEST(DeviceOpMetricsTest, EntersKernelsOfFrameworkOps) {
  XSpace space;
  XPlaneBuilder plane(space.add_planes());
  plane.SetName("/device:ZRA:0");
  const std::string kernel = "";
  AddPlaneEvent(plane, 1, "k1", 100, 50,
                {{"op_fullname", std::string("mm:MatMul")},
                 {"kernel_details", kernel},
                 {"data_type", std::string("float")}});
  AddPlaneEvent(plane, 2, "k2", 200, 30,
                {{"tf_op", std::string("x:X")},
                 {"op_fullname", std::string("mm:MatMul")},
                 {"kernel_details", kernel},
                 {"data_type", std::string("half")}});
  AddPlaneEvent(plane, 2, "copy", 400, 100, {{"op_fullname", std::string("mm:MatMul")}});
  AddPlaneEvent(plane, 1, "k3", 300, 10,
                {{"op_fullname", std::string("")}, {"kernel_details", kernel}});
  AddPlaneEvent(plane, 1, "k4", 300, 10,
                {{"tf_op", std::string("train")}, {"kernel_details", kernel}});

  const OpMetricsDb db = ConvertDeviceTraceXPlaneToOpMetricsDb(plane.plane());
  ASSERT_EQ(db.metrics_size(), 3);
  const OpMetrics& mm = db.metrics(0);
  EXPECT_EQ(mm.name(), "mm/mm:MatMul");
  EXPECT_EQ(mm.category(), "MatMul");
  EXPECT_EQ(mm.provenance(), "mm:MatMul");
  EXPECT_EQ(mm.occurrences(), 2u);
  EXPECT_EQ(mm.time_ps(), 80u);
  EXPECT_EQ(mm.self_time_ps(), 80u);
  EXPECT_EQ(mm.data_type(), "half");
  EXPECT_EQ(db.metrics(1).name(), "train/train");
  EXPECT_EQ(db.metrics(1).category(), "unknown");
  EXPECT_EQ(db.total_time_ps(), 400u);  // 100 to 500, the copy included
  EXPECT_EQ(db.total_op_time_ps(), 90u);
  EXPECT_EQ(db.metrics(2).name(), "IDLE");
  EXPECT_EQ(db.metrics(2).time_ps(), 310u);
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
