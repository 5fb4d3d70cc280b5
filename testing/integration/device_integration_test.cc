// Device tracing as an application meets it, through libzentrik.so against
// the ZRA device simulator: each test is one scenario in its own process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/profile_files.h"
#include "testing/strict_json.h"
#include "testing/temp_dir.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/protobuf/kernel_stats.pb.h"
#include "trace/core/protobuf/tf_stats.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/export_events.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace {

using namespace zentrik::trace;  // NOLINT: the test reads the library's own types throughout

constexpr uint64_t kKernelNs = 5000;
const char* const kKernels[] = {"conv_gemm(float*)", "fc_gemm(float*)"};

// One application thread: two kernels inside its layer, then (thread 0 only)
// a copy, a memset, a notifier pair and an atomic on the same queue.
void Work(int thread) {
  TraceMe step([] { return TraceMeEncode("train_step", {{"step_num", "0"}, {"_r", "1"}}); });
  ScopedAnnotation layer(thread == 0 ? "model#model_id=m1#::conv" : "model::fc");
  TraceMe op(thread == 0 ? "conv:Conv2D" : "fc:MatMul");
  for (int i = 0; i < 2; ++i) zra_sim::LaunchKernel({1u + thread, kKernels[thread], 2, 1, 1, kKernelNs, 3});
  if (thread != 0) return;
  zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 4096, 1);
  zra_sim::Memset(256, 0, 1);
  zra_sim::NotifierPlace(9, 1);
  zra_sim::NotifierWait(9, 1);
  zra_sim::AtomicOperation(DRAVIK_ATOMIC_REQUEST, 2, 1, 1);
}

std::unique_ptr<TracerInterface> NewTracer(int device_level, const std::string& logdir = "/tmp") {
  TracerOptions options;
  options.device_tracer_level = device_level;
  return std::unique_ptr<TracerInterface>(CreateTracer(options, logdir));
}

XSpace Trace(int device_level) {
  auto tracer = NewTracer(device_level);
  EXPECT_TRUE(tracer->Start());
  std::thread a(Work, 0), b(Work, 1);
  a.join();
  b.join();
  std::string bytes;
  EXPECT_TRUE(tracer->Stop(&bytes));
  XSpace space;
  EXPECT_TRUE(space.ParseFromString(bytes));
  return space;
}

const XPlane* Plane(const XSpace& space, const std::string& name) {
  for (const XPlane& plane : space.planes()) {
    if (plane.name() == name) return &plane;
  }
  return nullptr;
}

std::string Stat(const XPlane& plane, const XEvent& event, const std::string& name) {
  for (const XStat& stat : event.stats()) {
    if (plane.stat_metadata().at(stat.metadata_id()).name() != name) continue;
    return stat.value_case() == XStat::kUint64Value ? std::to_string(stat.uint64_value())
                                                   : stat.str_value();
  }
  return "";
}

// Metadata name -> the correlation ids of the plane's events of that name.
std::map<std::string, std::multiset<std::string>> CorrelationsByName(const XPlane& plane) {
  std::map<std::string, std::multiset<std::string>> ids;
  for (const XLine& line : plane.lines()) {
    for (const XEvent& event : line.events()) {
      ids[plane.event_metadata().at(event.metadata_id()).name()].insert(
          Stat(plane, event, "correlation_id"));
    }
  }
  return ids;
}

TEST(DeviceTracing, Level1PlanesQueuesAnnotationsAndCorrelations) {
  const XSpace space = Trace(1);
  const XPlane* device = Plane(space, "/device:ZRA:0");
  const XPlane* host = Plane(space, "/host:CPU");
  ASSERT_NE(device, nullptr);
  ASSERT_NE(host, nullptr);
  ASSERT_NE(Plane(space, "/device:ZRA:4294967295"), nullptr);
  EXPECT_EQ(Plane(space, "/device:ZRA:4294967295")->lines_size(), 0);

  std::set<std::string> queues;
  for (const XLine& line : device->lines()) queues.insert(line.name());
  EXPECT_EQ(queues, (std::set<std::string>{
                        "Queue #1(Atomic_Operation,Compute,MemcpyH2D,Memset,Notifier,)",
                        "Queue #2(Compute,)"}));
  auto device_ids = CorrelationsByName(*device);
  auto host_ids = CorrelationsByName(*host);
  EXPECT_EQ(device_ids["conv##conv_gemm(float*)"].size(), 2u);
  EXPECT_EQ(device_ids["fc##fc_gemm(float*)"].size(), 2u);
  std::multiset<std::string> kernels = device_ids["conv##conv_gemm(float*)"];
  kernels.insert(device_ids["fc##fc_gemm(float*)"].begin(), device_ids["fc##fc_gemm(float*)"].end());
  std::multiset<std::string> launches = host_ids["conv##qxInvokeKernel"];
  launches.insert(host_ids["fc##qxInvokeKernel"].begin(), host_ids["fc##qxInvokeKernel"].end());
  EXPECT_EQ(kernels, launches);

  for (const XLine& line : device->lines()) {
    for (const XEvent& event : line.events()) {
      EXPECT_EQ(event.device_info().core_count(), 8u);
      EXPECT_EQ(event.device_info().frequency(), 1500u);
      EXPECT_DOUBLE_EQ(event.device_info().top_bandwidth(), 3.5);
      if (Stat(*device, event, "flow_event_cat") != "Kernel") continue;
      EXPECT_EQ(event.device_info().core_used(), 8u);  // 2 clusters of 4 cores
      EXPECT_EQ(event.duration_ps(), kKernelNs * 1000);
      EXPECT_EQ(Stat(*device, event, "op_fullname"), "model");
    }
  }
}

TEST(DeviceTracing, Level2KernelsCarryExactCounterDeltas) {
  const XSpace space = Trace(2);
  const XPlane* device = Plane(space, "/device:ZRA:0");
  ASSERT_NE(device, nullptr);
  int kernels = 0;
  for (const XLine& line : device->lines()) {
    for (const XEvent& event : line.events()) {
      if (Stat(*device, event, "flow_event_cat") != "Kernel") continue;
      ++kernels;
      auto delta = [](const char* name) { return zra_sim::CounterDelta(name, 2, 1, 1, kKernelNs); };
      EXPECT_TRUE(event.pmu_data_flag());
      EXPECT_EQ(event.pmu_data().lt_cycles(), delta("tp_core__lt_cycles"));
      EXPECT_EQ(event.pmu_data().io_dma_write_bytes(),
                delta("tp_core__write_bytes") + delta("tp_memcore__write_bytes"));
      EXPECT_EQ(event.pmu_data().field14(), kKernelNs);
    }
  }
  EXPECT_EQ(kernels, 4);
}

TEST(DeviceTracing, Level0RecordsNoDevice) {
  const XSpace space = Trace(0);
  for (const XPlane& plane : space.planes()) EXPECT_EQ(plane.name().rfind("/device:", 0), std::string::npos);
}

TEST(DeviceTracing, ExportShowsDeviceWorkInEveryTool) {
  zentrik::testing::TempDir dir;
  auto tracer = NewTracer(2, dir.path());
  ASSERT_TRUE(tracer->Start());
  std::thread a(Work, 0), b(Work, 1);
  a.join();
  b.join();
  ASSERT_TRUE(tracer->Stop(nullptr));
  const std::string profile = dir.Join("plugins/profile");
  const auto runs = zentrik::testing::ListDirectory(profile);
  ASSERT_EQ(runs.size(), 1u);
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  const std::string prefix = profile + "/" + runs[0] + "/" + host + ".";

  std::string json;
  ASSERT_TRUE(zentrik::testing::Gunzip(zentrik::testing::ReadFileOrEmpty(prefix + "trace.json.gz"), &json));
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(zentrik::testing::ParseStrictJson(json, &root, &errors)) << errors;
  std::map<std::string, int> phases;
  std::set<std::string> processes;
  for (const Json::Value& event : root["traceEvents"]) {
    ++phases[event["ph"].asString()];
    if (event["name"] == "process_name") processes.insert(event["args"]["name"].asString());
  }
  EXPECT_EQ(processes.count("/device:ZRA:0"), 1u);
  EXPECT_GE(phases["s"], 4);  // one flow per kernel at least, each ending on the device
  EXPECT_EQ(phases["s"], phases["f"]);

  KernelStatsDb kernel_stats;
  ASSERT_TRUE(kernel_stats.ParseFromString(zentrik::testing::ReadFileOrEmpty(prefix + "kernel_stats.pb")));
  ASSERT_EQ(kernel_stats.reports_size(), 2);
  for (const KernelReport& report : kernel_stats.reports()) EXPECT_EQ(report.occurrences(), 2u);
  TfStatsDatabase op_tables;
  ASSERT_TRUE(op_tables.ParseFromString(zentrik::testing::ReadFileOrEmpty(prefix + "op_stats.pb")));
  double device_us = 0;
  for (const TfStatsRecord& record : op_tables.table_without_idle().records()) {
    if (record.host_or_device() == "Device") device_us += record.self_time_us();
  }
  EXPECT_GE(device_us, 4 * kKernelNs / 1000.0) << op_tables.DebugString();
  EXPECT_FALSE(zentrik::testing::ReadFileOrEmpty(prefix + "overview_page.pb").empty());
}

TEST(DeviceTracing, ExportEventsAttachesKernelsToTheirLaunches) {
  const XSpace space = Trace(1);
  const std::string bytes = space.SerializeAsString();
  std::vector<ElapseEvent> events;
  ASSERT_TRUE(ExportEvents(&bytes, nullptr, &events));
  int kernels = 0;
  for (const ElapseEvent& event : events) {
    if (event.name.find("qxInvokeKernel") == std::string::npos) continue;
    for (const ElapseDeviceEvent& device : event.device_events) {
      kernels += device.name.find("_gemm(float*)") != std::string::npos;
    }
  }
  EXPECT_EQ(kernels, 4);
}

TEST(NoDeviceLibrary, HostStillRecordedWithOneWarning) {
  fflush(stderr);
  const int saved = dup(2);
  FILE* log = tmpfile();
  dup2(fileno(log), 2);
  for (int session = 0; session < 2; ++session) {
    auto tracer = NewTracer(1);
    ASSERT_TRUE(tracer->Start());
    { TraceMe step("step"); }
    std::string bytes;
    ASSERT_TRUE(tracer->Stop(&bytes));
    XSpace space;
    ASSERT_TRUE(space.ParseFromString(bytes));
    ASSERT_EQ(space.planes_size(), 1);
    EXPECT_EQ(space.planes(0).name(), "/host:CPU");
  }
  fflush(stderr);
  dup2(saved, 2);
  std::string text(1 << 16, '\0');
  rewind(log);
  text.resize(fread(&text[0], 1, text.size(), log));
  const std::string warning = "device_tracer:";
  size_t lines = 0;
  for (size_t at = text.find(warning); at != std::string::npos; at = text.find(warning, at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << text;
  EXPECT_NE(text.find("WARNING"), std::string::npos);
  EXPECT_NE(text.find("DravikInterface initialization failed. Device tracer will be disabled."),
            std::string::npos) << text;
}

// Sessions stop while application threads keep launching: nothing races.
TEST(DeviceConcurrency, SessionsStopWhileThreadsLaunch) {
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t, &done] {
      while (!done) Work(t);
    });
  }
  for (int session = 0; session < 5; ++session) {
    auto tracer = NewTracer(session % 2 + 1);
    EXPECT_TRUE(tracer->Start());
    usleep(2000);
    std::string bytes;
    EXPECT_TRUE(tracer->Stop(&bytes));
  }
  done = true;
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
