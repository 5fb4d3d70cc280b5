// Device tracing as an application meets it, through libzentrik.so against
// the ZRA device simulator: each test is one scenario in its own process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
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
namespace files = zentrik::testing;

constexpr uint64_t kKernelNs = 5000;

// One application thread's step: two kernels inside its layer and op, then
// (thread 0) a copy, a memset, a notifier pair and an atomic on its queue.
void Work(int thread) {
  TraceMe step([] { return TraceMeEncode("train_step", {{"step_num", "0"}, {"_r", "1"}}); });
  ScopedAnnotation layer(thread == 0 ? "model#model_id=m1#::conv" : "model::fc");
  TraceMe op(thread == 0 ? "conv:Conv2D" : "fc:MatMul");
  const char* kernel = thread == 0 ? "conv_gemm(float*)" : "fc_gemm(float*)";
  for (int i = 0; i < 2; ++i) zra_sim::LaunchKernel({1u + thread, kernel, 2, 1, 1, kKernelNs, 3});
  if (thread != 0) return;
  zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 4096, 1);
  zra_sim::Memset(256, 0, 1);
  zra_sim::NotifierPlace(9, 1);
  zra_sim::NotifierWait(9, 1);
  zra_sim::AtomicOperation(DRAVIK_ATOMIC_REQUEST, 2, 1, 1);
}

// The serialized trace of a session at `device_level` while `work` (Work on two threads) runs.
std::string Trace(int device_level, XSpace* space, void (*work)() = [] {
  std::thread a(Work, 0), b(Work, 1);
  a.join();
  b.join();
}) {
  TracerOptions options;
  options.device_tracer_level = device_level;
  std::unique_ptr<TracerInterface> tracer(CreateTracer(options, "/tmp"));
  EXPECT_TRUE(tracer->Start());
  work();
  std::string bytes;
  EXPECT_TRUE(tracer->Stop(&bytes));
  EXPECT_TRUE(space == nullptr || space->ParseFromString(bytes));
  return bytes;
}

const XPlane& Plane(const XSpace& space, const std::string& name) {
  for (const XPlane& plane : space.planes()) if (plane.name() == name) return plane;
  ADD_FAILURE() << "no plane " << name;
  return XPlane::default_instance();
}

TEST(DeviceTracing, Level1PlanesCorrelationsAndEveryTool) {
  XSpace space;
  const std::string bytes = Trace(1, &space);
  const XPlane& device = Plane(space, "/device:ZRA:0");
  EXPECT_EQ(Plane(space, "/device:ZRA:4294967295").lines_size(), 0);
  ASSERT_EQ(device.lines_size(), 2);  // each kind reaches its queue's line
  EXPECT_EQ((std::set<std::string>{device.lines(0).name(), device.lines(1).name()}),
            (std::set<std::string>{"Queue #1(Atomic_Operation,Compute,MemcpyH2D,Memset,Notifier,)",
                                   "Queue #2(Compute,)"}));

  files::TempDir dir;
  ASSERT_TRUE(ExportToTensorboard(bytes, dir.path()));
  const auto runs = files::ListDirectory(dir.Join("plugins/profile"));
  ASSERT_EQ(runs.size(), 1u);
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  const std::string prefix = dir.Join("plugins/profile/" + runs[0] + "/" + host + ".");
  std::string json, errors;
  ASSERT_TRUE(files::Gunzip(files::ReadFileOrEmpty(prefix + "trace.json.gz"), &json));
  Json::Value root;
  ASSERT_TRUE(files::ParseStrictJson(json, &root, &errors)) << errors;
  std::map<std::string, int> phases;  // and process names
  for (const Json::Value& event : root["traceEvents"]) {
    ++phases[event["ph"].asString()];
    if (event["name"] == "process_name") ++phases[event["args"]["name"].asString()];
  }
  EXPECT_EQ(phases["/device:ZRA:0"], 1);
  EXPECT_GE(phases["s"], 4);  // a flow from each launch to its kernel at least
  EXPECT_EQ(phases["s"], phases["f"]);
  KernelStatsDb kernel_stats;
  ASSERT_TRUE(kernel_stats.ParseFromString(files::ReadFileOrEmpty(prefix + "kernel_stats.pb")));
  ASSERT_EQ(kernel_stats.reports_size(), 2);
  EXPECT_EQ(kernel_stats.reports(0).occurrences() + kernel_stats.reports(1).occurrences(), 4u);
  TfStatsDatabase op_tables;
  ASSERT_TRUE(op_tables.ParseFromString(files::ReadFileOrEmpty(prefix + "op_stats.pb")));
  double device_us = 0;
  for (const TfStatsRecord& record : op_tables.table_without_idle().records()) {
    if (record.host_or_device() == "Device") device_us += record.self_time_us();
  }
  EXPECT_GE(device_us, 4 * kKernelNs / 1000.0);
  EXPECT_FALSE(files::ReadFileOrEmpty(prefix + "overview_page.pb").empty());

  // Each kernel hangs, by the correlation id it shares, under its launch, with its annotation.
  std::vector<ElapseEvent> events;
  ASSERT_TRUE(ExportEvents(&bytes, nullptr, &events));
  std::multiset<std::string> attached;
  for (const ElapseEvent& event : events) {
    for (const auto& d : event.device_events) attached.insert(event.name + " > " + d.name);
  }
  EXPECT_EQ(attached.count("conv##qxInvokeKernel > conv##conv_gemm(float*)"), 2u);
  EXPECT_EQ(attached.count("fc##qxInvokeKernel > fc##fc_gemm(float*)"), 2u);
}

TEST(DeviceTracing, Level2KernelsCarryExactCounterDeltas) {
  XSpace space;
  Trace(2, &space);
  auto delta = [](const char* name) { return zra_sim::CounterDelta(name, 2, 1, 1, kKernelNs); };
  int kernels = 0;
  for (const XLine& line : Plane(space, "/device:ZRA:0").lines()) {
    for (const XEvent& event : line.events()) {
      if (event.pmu_data().field14() != kKernelNs) continue;
      ++kernels;
      EXPECT_TRUE(event.pmu_data_flag());
      EXPECT_EQ(event.pmu_data().lt_cycles(), delta("tp_core__lt_cycles"));
      EXPECT_EQ(event.pmu_data().io_dma_write_bytes(),
                delta("tp_core__write_bytes") + delta("tp_memcore__write_bytes"));
    }
  }
  EXPECT_EQ(kernels, 4);
}

// Launches on both default devices: each device's kernels carry their own counters, and no
// counter read fails.
TEST(DeviceTracing, Level2CountersOnEveryDevice) {
  files::StderrCapture capture;
  XSpace space;
  Trace(2, &space, [] {
    std::vector<std::thread> threads;
    for (uint32_t device : {0u, 1u}) {
      threads.emplace_back([device] {
        zra_sim::SetCurrentDevice(device);
        Work(static_cast<int>(device));
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  const std::string err = capture.Stop();
  std::vector<std::string> errors;
  for (const char* source :
       {"trace/core/internal/zra/dravik_tracer", "trace/core/internal/zra/device_tracer"}) {
    for (const std::string& line : files::LogLinesFrom(err, source)) {
      if (line.rfind("ERROR", 0) == 0) errors.push_back(line);
    }
  }
  EXPECT_EQ(errors, std::vector<std::string>());
  const uint64_t lt = zra_sim::CounterDelta("tp_core__lt_cycles", 2, 1, 1, kKernelNs);
  for (const char* plane : {"/device:ZRA:0", "/device:ZRA:1"}) {
    int kernels = 0;
    for (const XLine& line : Plane(space, plane).lines()) {
      for (const XEvent& event : line.events()) {
        if (event.pmu_data().field14() != kKernelNs) continue;
        ++kernels;
        EXPECT_TRUE(event.pmu_data_flag()) << plane;
        EXPECT_EQ(event.pmu_data().lt_cycles(), lt) << plane;
      }
    }
    EXPECT_EQ(kernels, 2) << plane;
  }
}

TEST(DeviceTracing, Level0RecordsNoDevice) {
  XSpace space;
  Trace(0, &space);
  EXPECT_EQ(space.planes_size(), 1);
}

// Each session that finds no device library says so.
TEST(NoDeviceLibrary, HostRecordedAndEachSessionWarnsOnce) {
  files::StderrCapture capture;
  for (int session = 0; session < 2; ++session) {
    XSpace space;
    Trace(1, &space);
    ASSERT_EQ(space.planes_size(), 1);
    EXPECT_EQ(space.planes(0).lines_size(), 2);  // both application threads
  }
  const std::string warning =
      "WARNING DravikInterface initialization failed. Device tracer will be disabled.";
  EXPECT_EQ(files::LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer"),
            std::vector<std::string>(2, warning));
}

// Sessions start and stop while application threads keep launching.
TEST(DeviceConcurrency, SessionsStopWhileThreadsLaunch) {
  static std::atomic<bool> done{false};
  std::thread threads[] = {std::thread([] { while (!done) Work(0); }),
                           std::thread([] { while (!done) Work(1); })};
  for (int s = 0; s < 6; ++s) Trace(s % 2 + 1, nullptr, [] { usleep(2000); });
  done = true;
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
