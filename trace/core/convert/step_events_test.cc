#include "trace/core/convert/step_events.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/plane_events.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using Stat = std::pair<std::string, testing::StatValue>;
using Span = std::pair<uint64_t, uint64_t>;

// Adds an event at `offset_ps` to line `line_id` (timestamp 1 ns) of `plane`.
XEventBuilder AddEvent(XPlaneBuilder& plane, int64_t line_id, const std::string& name,
                       int64_t offset_ps, int64_t duration_ps, const std::vector<Stat>& stats) {
  plane.GetOrCreateLine(line_id).SetTimestampNs(1);
  return testing::AddPlaneEvent(plane, line_id, name, offset_ps, duration_ps, stats);
}

StepEvents ConvertHostLine(const XPlane& plane, int line_index) {
  const XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
  return ConvertHostThreadsXLineToStepEvents({&visitor, &plane.lines(line_index)}, visitor);
}

// A step as text: its markers "M<type> name begin+duration", host events
// "H begin plane/line kind", device events "D name begin
// plane/line correlation host? details? lt_cycles/core_count", batch size and
// step time.
std::string Describe(const StepDetails& step) {
  std::string text;
  const auto add = [&text](auto... values) { ((text += values, text += " "), ...); };
  using std::to_string;
  for (const StepMarker& m : step.markers) {
    add("M" + to_string(m.type), m.name, to_string(m.begin_ps) + "+" + to_string(m.duration_ps));
  }
  for (const HostEventRecord& e : step.host_events) {
    add("H", to_string(e.begin_ps), to_string(e.plane_id) + "/" + to_string(e.line_id),
        to_string(e.launch_kind));
  }
  for (const DeviceEventRecord& e : step.device_events) {
    add("D", std::string(e.name), to_string(e.begin_ps), to_string(e.plane_id) + "/" + to_string(e.line_id),
        to_string(e.correlation_id), to_string(e.on_host), to_string(e.has_kernel_details),
        to_string(e.pmu_data->lt_cycles()) + "/" + to_string(e.device_info->core_count()));
  }
  add("batch", to_string(step.batch_size),
      to_string(step.step_begin_ps) + "+" + to_string(step.step_duration_ps));
  return text;
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
  AddEvent(plane, 8, "MatMul:MatMul", 0, 10,
           {{"group_id", int64_t{1}}, {"launch_zra", int64_t{1}}});

  const StepEvents events = ConvertHostLine(raw, 0);
  EXPECT_TRUE(events.host_launch_stats_seen);  // launch_cpu
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(Describe(events.at(0)), "H 1500 3/7 1 batch -1 0+0 ");
  EXPECT_EQ(Describe(events.at(1)),
            "M0 train 1000+1000 H 1100 3/7 0 H 1200 3/7 1 "
            "D compute 1300 3/7 -1 1 0 0/0 batch 8 1400+60 ");

  // Launch stats are seen per conversion (per line, per run) and combined.
  const StepEvents with_launch = ConvertHostLine(raw, 1);
  EXPECT_TRUE(with_launch.host_launch_stats_seen);
  EXPECT_EQ(with_launch.at(1).host_events[0].launch_kind, 1u);
  StepEvents combined;
  CombineStepEvents(with_launch, &combined);
  raw.mutable_lines(0)->mutable_events()->DeleteSubrange(2, 1);  // the launch_cpu op
  EXPECT_FALSE(ConvertHostLine(raw, 0).host_launch_stats_seen);
  CombineStepEvents(ConvertHostLine(raw, 0), &combined);
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
  EXPECT_EQ(Describe(events.at(1)),
            "M1 step 1 1000+900 D MatMul:MatMul 1100 5/2 3 0 1 42/4 batch -1 0+0 ");
}

TEST(StepEventsTest, StepTimePrefersEnclosingHostMarker) {
  const struct {
    const char* what;
    std::vector<StepMarker> markers;
    Span want;
  } cases[] = {
      {"host only, longest, first of equal",
       {{HostStepMarker, "a", 5, 10}, {HostStepMarker, "b", 0, 20}, {HostStepMarker, "c", 7, 20}},
       {0, 20}},
      {"host begins after device",
       {{DeviceStepMarker, "d", 0, 50}, {HostStepMarker, "h", 1, 100}},
       {0, 50}},
      {"device ends after host",
       {{DeviceStepMarker, "d", 5, 50}, {HostStepMarker, "h", 0, 10}},
       {5, 50}},
      {"device only", {{DeviceStepMarker, "d", 3, 4}}, {3, 4}},
      {"no markers", {}, {0, 0}},
      {"host encloses device",
       {{DeviceStepMarker, "d", 0, 5}, {HostStepMarker, "h", 0, 10}},
       {0, 10}},
  };
  for (const auto& c : cases) {
    StepDetails details;
    details.markers = c.markers;
    EXPECT_EQ(details.StepTime(), c.want) << c.what;
  }
}

// Steps of one id from several lines or planes make one step: markers and
// events in the order combined; a known batch size and a step time stay
// unless a later part brings its own.
TEST(StepEventsTest, CombineAppendsInOrderAndKeepsKnownFigures) {
  StepEvents first;
  first[1].AddMarker({HostStepMarker, "a", 0, 1});
  first[1].batch_size = 8;
  first[1].step_duration_ps = 100;
  first[1].step_begin_ps = 10;
  StepEvents second;
  second[1].AddMarker({HostStepMarker, "b", 2, 3});
  second[2].batch_size = 4;
  second[2].step_duration_ps = 50;
  second[2].step_begin_ps = 5;
  StepEvents third;
  third[2].batch_size = 6;
  third[2].step_duration_ps = 70;
  third[2].step_begin_ps = 7;

  CombineStepEvents(second, &first);
  CombineStepEvents(std::move(third), &first);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(Describe(first.at(1)), "M0 a 0+1 M0 b 2+3 batch 8 10+100 ");
  EXPECT_EQ(Describe(first.at(2)), "batch 6 7+70 ");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
