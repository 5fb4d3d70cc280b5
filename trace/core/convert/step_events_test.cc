#include "trace/core/convert/step_events.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using Stat = std::pair<std::string, std::variant<int64_t, std::string>>;
using Span = std::pair<uint64_t, uint64_t>;

// Adds an event at `offset_ps` to line `line_id` (timestamp 1 ns) of `plane`.
XEventBuilder AddEvent(XPlaneBuilder& plane, int64_t line_id, const std::string& name,
                       int64_t offset_ps, int64_t duration_ps, const std::vector<Stat>& stats) {
  XLineBuilder line = plane.GetOrCreateLine(line_id);
  line.SetTimestampNs(1);
  XEventBuilder event = line.AddEvent(*plane.GetOrCreateEventMetadata(name));
  event.SetOffsetPs(offset_ps);
  event.SetDurationPs(duration_ps);
  for (const auto& [stat_name, value] : stats) {
    const XStatMetadata& metadata = *plane.GetOrCreateStatMetadata(stat_name);
    std::visit([&](const auto& v) { event.AddStatValue(metadata, v); }, value);
  }
  return event;
}

StepEvents ConvertHostLine(const XPlane& plane, int line_index) {
  const XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
  return ConvertHostThreadsXLineToStepEvents({&visitor, &plane.lines(line_index)}, visitor);
}

TEST(StepEventsTest, HostLineGivesMarkersOpsAndHostExecutions) {
  XPlane raw;
  XPlaneBuilder plane(&raw);
  plane.SetId(3);
  AddEvent(plane, 7, "train", 0, 1000, {{"group_id", int64_t{1}}, {"step_name", "train"}});
  // A step id without a step name marks nothing.
  AddEvent(plane, 7, "nameless", 0, 2000, {{"group_id", int64_t{1}}});
  AddEvent(plane, 7, "MatMul:MatMul", 100, 50,
           {{"group_id", int64_t{1}}, {"correlation_id", int64_t{9}}, {"launch_cpu", int64_t{1}}});
  AddEvent(plane, 7, "Add:AddV2", 200, 30, {{"group_id", int64_t{1}}, {"batch_size", int64_t{0}}});
  // Not an op, but executed on the host.
  AddEvent(plane, 7, "compute", 300, 40, {{"group_id", int64_t{1}}, {"execute_cpu", int64_t{1}}});
  AddEvent(plane, 7, "batch", 400, 60, {{"group_id", int64_t{1}}, {"batch_size", int64_t{8}}});
  // A group id of another kind reads as step 0; no step id adds nothing.
  AddEvent(plane, 7, "Relu:Relu", 500, 10, {{"group_id", "x"}});
  AddEvent(plane, 7, "Sub:Sub", 600, 10, {});

  const StepEvents events = ConvertHostLine(raw, 0);
  EXPECT_TRUE(events.host_launch_stats_seen);  // launch_cpu
  ASSERT_EQ(events.size(), 2u);
  ASSERT_EQ(events.count(0), 1u);
  ASSERT_EQ(events.at(0).host_events.size(), 1u);
  EXPECT_EQ(events.at(0).host_events[0].name, "Relu:Relu");

  const StepDetails& step = events.at(1);
  ASSERT_EQ(step.markers.size(), 1u);
  EXPECT_EQ(step.markers[0].type, HostStepMarker);
  EXPECT_EQ(step.markers[0].name, "train");
  EXPECT_EQ(step.markers[0].begin_ps, 1000u);
  EXPECT_EQ(step.markers[0].duration_ps, 1000u);

  ASSERT_EQ(step.host_events.size(), 2u);
  const HostEventRecord& matmul = step.host_events[0];
  EXPECT_EQ(matmul.name, "MatMul:MatMul");
  EXPECT_EQ(matmul.begin_ps, 1100u);
  EXPECT_EQ(matmul.plane_id, 3);
  EXPECT_EQ(matmul.line_id, 7);
  EXPECT_EQ(matmul.correlation_id, 9);
  EXPECT_EQ(matmul.launch_kind, 0u);
  EXPECT_EQ(step.host_events[1].correlation_id, -1);
  EXPECT_EQ(step.host_events[1].launch_kind, 1u);

  ASSERT_EQ(step.device_events.size(), 1u);
  EXPECT_EQ(step.device_events[0].name, "compute");
  EXPECT_TRUE(step.device_events[0].on_host);
  EXPECT_EQ(step.device_events[0].begin_ps, 1300u);
  EXPECT_TRUE(step.device_events[0].pmu_info.has_pmu_data());

  EXPECT_EQ(step.batch_size, 8);
  EXPECT_EQ(step.step_begin_ps, 1400u);
  EXPECT_EQ(step.step_duration_ps, 60u);
}

TEST(StepEventsTest, LaunchStatsAreSeenPerConversion) {
  XPlane raw;
  XPlaneBuilder plane(&raw);
  AddEvent(plane, 1, "MatMul:MatMul", 0, 10,
           {{"group_id", int64_t{1}}, {"launch_zra", int64_t{1}}});
  AddEvent(plane, 2, "MatMul:MatMul", 0, 10, {{"group_id", int64_t{1}}});

  const StepEvents with_launch = ConvertHostLine(raw, 0);
  EXPECT_TRUE(with_launch.host_launch_stats_seen);
  EXPECT_EQ(with_launch.at(1).host_events[0].launch_kind, 1u);
  // A later line (or run) without launch stats is not affected.
  EXPECT_FALSE(ConvertHostLine(raw, 1).host_launch_stats_seen);

  StepEvents combined;
  CombineStepEvents(ConvertHostLine(raw, 1), &combined);
  CombineStepEvents(with_launch, &combined);
  EXPECT_TRUE(combined.host_launch_stats_seen);
}

TEST(StepEventsTest, DevicePlaneGivesStepMarkersAndKernels) {
  XPlane raw;
  XPlaneBuilder plane(&raw);
  plane.SetId(5);
  AddEvent(plane, kDerivedLineId, "step 1", 0, 900, {{"group_id", int64_t{1}}});
  AddEvent(plane, kDerivedLineId, "no group", 0, 900, {});
  PmuData counters;
  counters.set_lt_cycles(42);
  DeviceInfo device;
  device.set_core_count(4);
  XEventBuilder kernel = AddEvent(plane, 2, "kernel", 100, 20,
                                  {{"group_id", int64_t{1}},
                                   {"correlation_id", int64_t{3}},
                                   {"tf_op", "a:A"},
                                   {"op_fullname", "MatMul:MatMul"},
                                   {"kernel_details", "regs:32"}});
  kernel.SetPmuData(counters);
  kernel.SetDeviceInfo(device);
  // Dropped: no correlation id; no step; not an op.
  AddEvent(plane, 2, "Add:Add", 200, 10, {{"group_id", int64_t{1}}});
  AddEvent(plane, 2, "Add:Add", 200, 10, {{"correlation_id", int64_t{4}}});
  AddEvent(plane, 2, "memcpy", 300, 10, {{"group_id", int64_t{1}}, {"correlation_id", int64_t{5}}});
  // Low 32 bits of the derived line id, other high bits: neither kind of line.
  AddEvent(plane, (int64_t{1} << 32) | 0xdeadbeef, "Odd:Odd", 0, 10,
           {{"group_id", int64_t{1}}, {"correlation_id", int64_t{6}}});

  const StepEvents events = ConvertDeviceTraceXPlaneToStepEvents(raw);
  ASSERT_EQ(events.size(), 1u);
  const StepDetails& step = events.at(1);
  ASSERT_EQ(step.markers.size(), 1u);
  EXPECT_EQ(step.markers[0].type, DeviceStepMarker);
  EXPECT_EQ(step.markers[0].duration_ps, 900u);
  ASSERT_EQ(step.device_events.size(), 1u);
  const DeviceEventRecord& record = step.device_events[0];
  EXPECT_EQ(record.name, "MatMul:MatMul");
  EXPECT_EQ(record.plane_id, 5);
  EXPECT_EQ(record.line_id, 2);
  EXPECT_EQ(record.begin_ps, 1100u);
  EXPECT_EQ(record.correlation_id, 3);
  EXPECT_FALSE(record.on_host);
  EXPECT_TRUE(record.has_kernel_details);
  EXPECT_EQ(record.pmu_info.pmu_data().lt_cycles(), 42u);
  EXPECT_EQ(record.pmu_info.device_info().core_count(), 4u);
}

TEST(StepEventsTest, StepTimePrefersEnclosingHostMarker) {
  const struct {
    const char* what;
    std::vector<StepMarker> markers;
    Span want;
  } cases[] = {
      {"no markers", {}, {0, 0}},
      {"host only, longest, first of equal",
       {{HostStepMarker, "a", 5, 10}, {HostStepMarker, "b", 0, 20}, {HostStepMarker, "c", 7, 20}},
       {0, 20}},
      {"host encloses device",
       {{DeviceStepMarker, "d", 0, 5}, {HostStepMarker, "h", 0, 10}},
       {0, 10}},
      {"host begins after device",
       {{DeviceStepMarker, "d", 0, 50}, {HostStepMarker, "h", 1, 100}},
       {0, 50}},
      {"device ends after host",
       {{DeviceStepMarker, "d", 5, 50}, {HostStepMarker, "h", 0, 10}},
       {5, 50}},
      {"device only", {{DeviceStepMarker, "d", 3, 4}}, {3, 4}},
  };
  for (const auto& c : cases) {
    StepDetails details;
    details.markers = c.markers;
    EXPECT_EQ(details.StepTime(), c.want) << c.what;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
