#include "testing/xspace_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace testing {
namespace {

using trace::XEvent;
using trace::XLine;
using trace::XPlane;

// "name=value" of every stat of the event, in order, as the visitors read it.
std::vector<std::string> Stats(const XPlane& plane, const XEvent& event) {
  trace::XPlaneVisitor visitor(&plane, {trace::FindHostEventType}, {trace::FindStatType});
  trace::XEventVisitor event_visitor(&visitor, &plane.lines(0), &event);
  std::vector<std::string> stats;
  event_visitor.ForEachStat([&](const trace::XStatVisitor& stat) {
    stats.push_back(stat.Name() + "=" + stat.ToString());
  });
  return stats;
}

const XPlane& Plane(const XSpaceFixture& fixture, const std::string& name) {
  const XPlane* plane = trace::FindPlaneWithName(fixture.space(), name);
  EXPECT_NE(plane, nullptr) << name;
  return plane != nullptr ? *plane : XPlane::default_instance();
}

trace::PmuData Counters(uint64_t base) {
  trace::PmuData pmu = AllUnknownPmuData();
  pmu.set_io_dma_write_bytes(base + 1);
  pmu.set_lt_cycles(base + 7);
  pmu.set_alu_cycles(base + 9);
  return pmu;
}

TEST(XSpaceFixtureTest, TraceMeEventsLookAsTheHostTracerWritesThem) {
  XSpaceFixture fixture(/*session_start_ns=*/1000);
  TraceMeSpec op;
  op.thread_id = 7;
  op.thread_name = "worker";
  op.name = "MatMul";
  op.start_ns = 1010;
  op.end_ns = 1100;
  op.args = {{"data_type", int64_t{1}}, {"_r", int64_t{1}}, {"ratio", 0.5}, {"shape", "[2,2]"}};
  const XEvent& event = fixture.AddTraceMe(op).event();
  trace::PmuData annotated = AllUnknownPmuData();
  annotated.set_mac_ops(4096);
  op.annotation_counters = annotated;
  op.args.clear();
  const XEvent& second = fixture.AddTraceMe(op).event();

  const XPlane& host = Plane(fixture, "/host:CPU");
  ASSERT_EQ(host.lines_size(), 1);
  const XLine& line = host.lines(0);
  EXPECT_EQ(line.id(), 7);
  EXPECT_EQ(line.name(), "worker/7");
  EXPECT_EQ(line.timestamp_ns(), 1000);
  ASSERT_EQ(line.events_size(), 2);
  EXPECT_EQ(host.event_metadata().at(event.metadata_id()).name(), "MatMul");
  EXPECT_EQ(event.offset_ps(), 10000);
  EXPECT_EQ(event.duration_ps(), 90000);
  EXPECT_EQ(Stats(host, event), (std::vector<std::string>{"traceme_flag=1", "data_type=1", "_r=1",
                                                          "ratio=0.500000", "shape=[2,2]"}));
  EXPECT_EQ(event.pmu_data().SerializeAsString(), AllUnknownPmuData().SerializeAsString());
  EXPECT_FALSE(event.pmu_data_flag());
  EXPECT_EQ(event.second_pmu_data().SerializeAsString(), AllUnknownPmuData().SerializeAsString());
  EXPECT_FALSE(event.second_pmu_data_flag());
  EXPECT_FALSE(event.has_device_info());

  EXPECT_EQ(second.second_pmu_data().mac_ops(), 4096u);
  EXPECT_TRUE(second.second_pmu_data_flag());
  EXPECT_EQ(Stats(host, second), std::vector<std::string>{"traceme_flag=1"});
}

TEST(XSpaceFixtureTest, KernelsPairALaunchOnTheHostWithTheKernelOnItsQueue) {
  XSpaceFixture fixture(/*session_start_ns=*/1000);
  KernelSpec params;
  params.thread_id = 7;
  params.device = 1;
  params.queue = 3;
  params.kernel_name = "conv2d(float*, int)";
  params.annotation = "conv1";
  params.op_fullname = "model";
  params.model_id = "resnet";
  params.correlation_id = 42;
  params.launch_start_ns = 1010;
  params.launch_end_ns = 1020;
  params.start_ns = 1030;
  params.end_ns = 1080;
  params.counters = Counters(100);
  params.device_info.set_zra_type(trace::ACC401);
  params.device_info.set_core_count(4);
  KernelEvents events = fixture.AddKernel(params);

  const XPlane& host = Plane(fixture, "/host:CPU");
  ASSERT_EQ(host.lines_size(), 1);
  EXPECT_EQ(host.lines(0).id(), 7);
  EXPECT_EQ(host.lines(0).name(), "/Generic/7");
  const XEvent& launch = events.launch.event();
  const trace::XEventMetadata& launch_metadata = host.event_metadata().at(launch.metadata_id());
  EXPECT_EQ(launch_metadata.name(), "conv1##qxInvokeKernel");
  EXPECT_EQ(launch_metadata.display_name(), "qxInvokeKernel");
  EXPECT_EQ(launch.offset_ps(), 10000);
  EXPECT_EQ(launch.duration_ps(), 10000);
  EXPECT_EQ(Stats(host, launch),
            (std::vector<std::string>{"correlation_id=42", "flow_event_cat=Kernel", "is_host=true",
                                      "model_id=resnet", "op_fullname=model"}));
  trace::PmuData expected_counters = Counters(100);
  expected_counters.set_field14(50);
  EXPECT_EQ(launch.pmu_data().SerializeAsString(), expected_counters.SerializeAsString());
  EXPECT_TRUE(launch.pmu_data_flag());
  EXPECT_FALSE(launch.has_second_pmu_data());
  EXPECT_EQ(launch.device_info().SerializeAsString(), params.device_info.SerializeAsString());

  const XPlane& device = Plane(fixture, "/device:ZRA:1");
  EXPECT_EQ(device.id(), 1);
  ASSERT_EQ(device.lines_size(), 1);
  EXPECT_EQ(device.lines(0).id(), 3);
  EXPECT_EQ(device.lines(0).name(), "Queue #3(Compute,)");
  EXPECT_EQ(device.lines(0).timestamp_ns(), 1000);
  const XEvent& kernel = events.kernel.event();
  const trace::XEventMetadata& kernel_metadata = device.event_metadata().at(kernel.metadata_id());
  EXPECT_EQ(kernel_metadata.name(), "conv1##conv2d(float*, int)");
  EXPECT_EQ(kernel_metadata.display_name(), "conv2d");
  EXPECT_EQ(kernel.offset_ps(), 30000);
  EXPECT_EQ(kernel.duration_ps(), 50000);
  EXPECT_EQ(
      Stats(device, kernel),
      (std::vector<std::string>{"correlation_id=42", "device_id=1", "dimx=1", "dimy=1", "dimz=1",
                                "flow_event_cat=Kernel", "is_host=false", "kernel_details=reserved",
                                "kernel_type=0", "op_fullname=model"}));
  EXPECT_EQ(kernel.pmu_data().SerializeAsString(), expected_counters.SerializeAsString());
  EXPECT_TRUE(kernel.pmu_data_flag());
  EXPECT_EQ(kernel.second_pmu_data().SerializeAsString(), AllUnknownPmuData().SerializeAsString());
  EXPECT_FALSE(kernel.second_pmu_data_flag());
}

TEST(XSpaceFixtureTest, UnreadCountersKeepOnlyTheKernelDuration) {
  XSpaceFixture fixture;
  KernelSpec params;
  params.kernel_name = "";
  params.start_ns = 5;
  params.end_ns = 25;
  KernelEvents events = fixture.AddKernel(params);
  trace::PmuData expected = AllUnknownPmuData();
  expected.set_field14(20);
  for (const XEvent* event : {&events.launch.event(), &events.kernel.event()}) {
    EXPECT_EQ(event->pmu_data().SerializeAsString(), expected.SerializeAsString());
    EXPECT_FALSE(event->pmu_data_flag());
    EXPECT_EQ(event->device_info().zra_type(), trace::UnknownZraType);
  }
  const XPlane& device = Plane(fixture, "/device:ZRA:0");
  EXPECT_EQ(device.event_metadata().at(events.kernel.event().metadata_id()).display_name(),
            "unknown kernel");
  EXPECT_EQ(Stats(Plane(fixture, "/host:CPU"), events.launch.event())[0], "correlation_id=1");
}

TEST(XSpaceFixtureTest, ApiCallsActivitiesAndOverheadFollowTheDeviceTracer) {
  XSpaceFixture fixture(/*session_start_ns=*/100);
  fixture.AddTraceMe(9, "Step", 100, 200);

  ApiCallSpec copy;
  copy.thread_id = 9;
  copy.function = "qxMemcpyAsync";
  copy.flow_event_cat = "Memcpy";
  copy.correlation_id = 5;
  copy.start_ns = 110;
  copy.end_ns = 120;
  const XEvent& api = fixture.AddApiCall(copy).event();
  ApiCallSpec sync;
  sync.thread_id = 9;
  sync.function = "qxQueueSync";
  sync.start_ns = 130;
  sync.end_ns = 140;
  const XEvent& no_activity = fixture.AddApiCall(sync).event();

  ActivitySpec memcpy;
  memcpy.device = 2;
  memcpy.queue = 0;
  memcpy.name = "MemcpyH2D";
  memcpy.flow_event_cat = "Memcpy";
  memcpy.correlation_id = 5;
  memcpy.start_ns = 150;
  memcpy.end_ns = 160;
  memcpy.stats = {{"size", "64"}, {"direction", "H2D"}, {"async", "1"}};
  const XEvent& device_copy = fixture.AddActivity(memcpy).event();
  memcpy.name = "Memset";
  memcpy.correlation_id = kNoCorrelationId;
  memcpy.stats = {};
  fixture.AddActivity(memcpy);
  const XEvent& overhead = fixture.AddOverhead("Buffer Flush", 170, 175).event();

  const XPlane& host = Plane(fixture, "/host:CPU");
  ASSERT_EQ(host.lines_size(), 2);
  // The host tracer's name stays on a line that also holds API calls.
  EXPECT_EQ(host.lines(0).name(), "/9");
  EXPECT_EQ(host.lines(0).events_size(), 3);
  EXPECT_EQ(host.event_metadata().at(api.metadata_id()).name(), "##qxMemcpyAsync");
  EXPECT_EQ(Stats(host, api), (std::vector<std::string>{"correlation_id=5", "flow_event_cat=Memcpy",
                                                        "is_host=true"}));
  EXPECT_EQ(Stats(host, no_activity),
            (std::vector<std::string>{"flow_event_cat=", "is_host=true"}));
  EXPECT_EQ(host.lines(1).id(), 0xffffffff);
  EXPECT_EQ(host.lines(1).name(), "dravik_overhead");
  const trace::XEventMetadata& overhead_metadata = host.event_metadata().at(overhead.metadata_id());
  EXPECT_EQ(overhead_metadata.name(), "Buffer Flush");
  EXPECT_EQ(overhead_metadata.display_name(), "Buffer Flush");
  EXPECT_EQ(overhead.pmu_data().field14(), kPmuNoValue);
  EXPECT_FALSE(overhead.has_second_pmu_data());

  const XPlane& device = Plane(fixture, "/device:ZRA:2");
  EXPECT_EQ(device.id(), 2);
  ASSERT_EQ(device.lines_size(), 1);
  EXPECT_EQ(device.lines(0).name(), "Sync task(MemcpyH2D,Memset,)");
  EXPECT_EQ(Stats(device, device_copy),
            (std::vector<std::string>{"correlation_id=5", "async=1", "device_id=2", "direction=H2D",
                                      "flow_event_cat=Memcpy", "is_host=false", "size=64"}));
}

}  // namespace
}  // namespace testing
}  // namespace zentrik
