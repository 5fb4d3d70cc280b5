// The whole road as an application takes it, through the public headers and
// libzentrik.so only: create a tracer, record on threads, stop into a string
// and into a log directory, export offline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/profile_files.h"
#include "testing/strict_json.h"
#include "testing/temp_dir.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::zentrik::testing::Gunzip;
using ::zentrik::testing::IsRunName;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::ParseStrictJson;
using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;
using ::zentrik::trace::AnnotatedTraceMe;
using ::zentrik::trace::CreateTracer;
using ::zentrik::trace::ExportToTensorboard;
using ::zentrik::trace::ScopedAnnotation;
using ::zentrik::trace::TraceMe;
using ::zentrik::trace::TraceMeEncode;
using ::zentrik::trace::TracerInterface;
using ::zentrik::trace::TracerOptions;
using ::zentrik::trace::XEvent;
using ::zentrik::trace::XLine;
using ::zentrik::trace::XPlane;
using ::zentrik::trace::XSpace;
using ::zentrik::trace::XStat;

constexpr int kWorkers = 4;
constexpr int kSteps = 3;

// The files an export writes besides the host's run claim, by tool file name.
// Each tool converter adds its file here when it joins the export.
const std::vector<std::string> kToolFiles = {"overview_page.pb", "trace.json.gz", "op_stats.pb",
                                             "kernel_stats.pb", "memory_profile.json.gz"};

std::unique_ptr<TracerInterface> NewTracer(const std::string& logdir) {
  TracerOptions options;
  options.host_tracer_level = 2;
  options.device_tracer_level = 0;
  return std::unique_ptr<TracerInterface>(CreateTracer(options, logdir));
}

// Runs kWorkers named threads doing kSteps marked steps each; returns their
// thread ids as the host plane names lines.
std::vector<uint32_t> RunWorkers() {
  std::vector<uint32_t> ids(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w, &ids] {
      pthread_setname_np(pthread_self(), ("worker" + std::to_string(w)).c_str());
      ids[w] = static_cast<uint32_t>(pthread_self());
      for (int step = 0; step < kSteps; ++step) {
        TraceMe step_event([&] {
          return TraceMeEncode("train_step", {{"step_num", std::to_string(step)},
                                              {"ratio", "0.5"},
                                              {"phase", "train"},
                                              {"_r", "1"}});
        });
        ScopedAnnotation annotation("model/layer");  // Kept only while devices are traced.
        AnnotatedTraceMe backward("backward");
        TraceMe detail("detail", zentrik::trace::kInfo);
        TraceMe verbose("verbose", zentrik::trace::kVerbose);  // Above the host level.
      }
      TraceMe::RecordInstantTrace("done");
    });
  }
  for (std::thread& worker : workers) worker.join();
  return ids;
}

std::string EventName(const XPlane& plane, const XEvent& event) {
  auto it = plane.event_metadata().find(event.metadata_id());
  return it == plane.event_metadata().end() ? "" : it->second.name();
}

// The stat values of `event` by stat name, as text.
std::map<std::string, std::string> Stats(const XPlane& plane, const XEvent& event) {
  std::map<std::string, std::string> stats;
  for (const XStat& stat : event.stats()) {
    auto it = plane.stat_metadata().find(stat.metadata_id());
    const std::string name = it == plane.stat_metadata().end() ? "?" : it->second.name();
    switch (stat.value_case()) {
      case XStat::kInt64Value:
        stats[name] = std::to_string(stat.int64_value());
        break;
      case XStat::kUint64Value:
        stats[name] = std::to_string(stat.uint64_value());
        break;
      case XStat::kDoubleValue:
        stats[name] = std::to_string(stat.double_value());
        break;
      case XStat::kStrValue:
        stats[name] = stat.str_value();
        break;
      default:
        stats[name] = "other";
    }
  }
  return stats;
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof(name) - 1);
  return name;
}

// What a run directory of this host must hold.
std::vector<std::string> ExpectedRunFiles() {
  std::string plain_host = HostName();
  std::replace(plain_host.begin(), plain_host.end(), ':', '_');
  const std::string prefix = plain_host.empty() ? "" : plain_host + ".";
  std::vector<std::string> files = {prefix + "run.claim"};
  for (const std::string& tool : kToolFiles) {
    const bool gzipped = tool.size() > 3 && tool.compare(tool.size() - 3, 3, ".gz") == 0;
    files.push_back((gzipped ? HostName() + "." : prefix) + tool);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Checks the profile directory of `logdir`: `runs` run directories, each
// holding this host's files, gzip files complete. Returns the run names.
std::vector<std::string> CheckProfileDirectory(const std::string& logdir, size_t runs) {
  const std::string profile_dir = logdir + "/plugins/profile";
  const std::vector<std::string> names = ListDirectory(profile_dir);
  EXPECT_THAT(names, SizeIs(runs));
  for (const std::string& run : names) {
    EXPECT_TRUE(IsRunName(run)) << run;
    const std::vector<std::string> files = ListDirectory(profile_dir + "/" + run);
    EXPECT_THAT(files, ElementsAreArray(ExpectedRunFiles())) << run;
    for (const std::string& file : files) {
      if (file.size() < 3 || file.compare(file.size() - 3, 3, ".gz") != 0) continue;
      std::string text;
      EXPECT_TRUE(Gunzip(ReadFileOrEmpty(profile_dir + "/" + run + "/" + file), &text)) << file;
    }
  }
  return names;
}

TEST(TracerIntegrationTest, StopIntoAStringHandsBackTheHostPlane) {
  TempDir dir;
  const std::string logdir = dir.Join("logs");
  auto tracer = NewTracer(logdir);
  ASSERT_NE(tracer, nullptr);
  ASSERT_TRUE(tracer->Start());
  const std::vector<uint32_t> ids = RunWorkers();
  std::string bytes;
  ASSERT_TRUE(tracer->Stop(&bytes));

  XSpace space;
  ASSERT_TRUE(space.ParseFromString(bytes));
  ASSERT_THAT(space.planes(), SizeIs(1));
  const XPlane& host = space.planes(0);
  EXPECT_EQ(host.name(), "/host:CPU");
  ASSERT_THAT(host.lines(), SizeIs(kWorkers));
  for (int w = 0; w < kWorkers; ++w) {
    const XLine& line = host.lines(w);  // Sorted by name.
    EXPECT_EQ(line.id(), ids[w]);
    EXPECT_EQ(line.name(), "worker" + std::to_string(w) + "/" + std::to_string(ids[w]));
    std::map<std::string, int> counts;
    std::vector<std::string> step_nums;
    for (const XEvent& event : line.events()) {
      const std::string name = EventName(host, event);
      ++counts[name];
      const std::map<std::string, std::string> stats = Stats(host, event);
      EXPECT_EQ(stats.at("traceme_flag"), "1") << name;
      if (name != "train_step") continue;
      step_nums.push_back(stats.at("step_num"));
      EXPECT_EQ(stats.at("ratio"), "0.500000");
      EXPECT_EQ(stats.at("phase"), "train");
      EXPECT_EQ(stats.count("step_name"), 1u);  // Grouped as a step root.
    }
    EXPECT_EQ(counts,
              (std::map<std::string, int>{
                  {"backward", kSteps}, {"detail", kSteps}, {"done", 1}, {"train_step", kSteps}}));
    EXPECT_EQ(step_nums, (std::vector<std::string>{"0", "1", "2"}));
    // Events are in time order, each step enclosing its inner events.
    for (int i = 1; i < line.events_size(); ++i) {
      EXPECT_LE(line.events(i - 1).offset_ps(), line.events(i).offset_ps());
    }
  }
  // Nothing reaches the disk.
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

TEST(TracerIntegrationTest, StopIntoALogDirectoryWritesOneRunPerStop) {
  TempDir dir;
  const std::string logdir = dir.Join("a/b/logs");
  auto tracer = NewTracer(logdir);
  for (int run = 0; run < 2; ++run) {  // Usually within one second.
    ASSERT_TRUE(tracer->Start());
    RunWorkers();
    ASSERT_TRUE(tracer->Stop(nullptr));
  }
  CheckProfileDirectory(logdir, 2);
}

TEST(TracerIntegrationTest, StopWritesTheRecordedEventsForTheTraceViewer) {
  TempDir dir;
  const std::string logdir = dir.Join("logs");
  auto tracer = NewTracer(logdir);
  ASSERT_TRUE(tracer->Start());
  const std::vector<uint32_t> ids = RunWorkers();
  ASSERT_TRUE(tracer->Stop(nullptr));
  const std::vector<std::string> runs = CheckProfileDirectory(logdir, 1);
  ASSERT_THAT(runs, SizeIs(1));

  std::string json;
  ASSERT_TRUE(Gunzip(
      ReadFileOrEmpty(logdir + "/plugins/profile/" + runs[0] + "/" + HostName() + ".trace.json.gz"),
      &json));
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(ParseStrictJson(json, &root, &errors)) << errors;

  // The host is process 501, each worker one thread named after it.
  std::map<uint32_t, std::string> thread_names;
  std::map<uint32_t, std::map<std::string, int>> counts;
  std::map<uint32_t, std::vector<std::string>> step_nums;
  for (const Json::Value& event : root["traceEvents"]) {
    if (event.empty()) continue;  // The closing element.
    EXPECT_EQ(event["pid"].asUInt(), 501u);
    const uint32_t tid = event["tid"].asUInt();
    if (event["ph"] == "M" && event["name"] == "process_name") {
      EXPECT_EQ(event["args"]["name"], "/host:CPU");
    } else if (event["ph"] == "M" && event["name"] == "thread_name") {
      thread_names[tid] = event["args"]["name"].asString();
    } else if (event["ph"] == "X") {
      const Json::Value& args = event["args"];
      // Internal stats are not shown.
      EXPECT_FALSE(args.isMember("_r") || args.isMember("traceme_flag")) << event.toStyledString();
      if (!args.isMember("step_num")) {
        ++counts[tid][event["name"].asString()];
        continue;
      }
      // A step root is shown under its step name.
      ++counts[tid]["train_step"];
      step_nums[tid].push_back(args["step_num"].asString());
      EXPECT_EQ(event["name"], args["step_name"]) << event.toStyledString();
      EXPECT_EQ(args["ratio"], "0.500000");
      EXPECT_EQ(args["phase"], "train");
    }
  }
  ASSERT_THAT(thread_names, SizeIs(kWorkers));
  for (int w = 0; w < kWorkers; ++w) {
    const uint32_t tid = ids[w];
    EXPECT_EQ(thread_names[tid], "worker" + std::to_string(w) + "/" + std::to_string(tid));
    EXPECT_EQ(counts[tid],
              (std::map<std::string, int>{
                  {"backward", kSteps}, {"detail", kSteps}, {"done", 1}, {"train_step", kSteps}}));
    EXPECT_THAT(step_nums[tid], ElementsAre("0", "1", "2"));
  }
}

// Reads one gzip file of this host from the only run of `logdir`.
std::string ReadRunFile(const std::string& logdir, const std::string& tool_file) {
  const std::vector<std::string> runs = CheckProfileDirectory(logdir, 1);
  std::string text;
  if (runs.size() != 1) return text;
  EXPECT_TRUE(Gunzip(
      ReadFileOrEmpty(logdir + "/plugins/profile/" + runs[0] + "/" + HostName() + "." + tool_file),
      &text));
  return text;
}

TEST(TracerIntegrationTest, StopWritesTheMemoryProfile) {
  TempDir dir;
  auto tracer = NewTracer(dir.Join("workers"));
  ASSERT_TRUE(tracer->Start());
  RunWorkers();
  ASSERT_TRUE(tracer->Stop(nullptr));
  EXPECT_EQ(ReadRunFile(dir.Join("workers"), "memory_profile.json.gz"),
            R"({"memoryProfilePerAllocator":{},"numHosts":1,"memoryIds":[]})");

  tracer = NewTracer(dir.Join("memory"));
  ASSERT_TRUE(tracer->Start());
  {
    // A step around the memory events: they are not shown in the trace
    // viewer, and the overview page needs a step.
    TraceMe step([] { return TraceMeEncode("train_step", {{"step_num", "0"}, {"_r", "1"}}); });
    {
      TraceMe allocation([] {
        return TraceMeEncode("MemoryAllocation", {{"allocator_name", "bfc"},
                                                  {"bytes_allocated", "64"},
                                                  {"allocation_bytes", "64"},
                                                  {"addr", "4096"},
                                                  {"tf_op", "MatMul"}});
      });
    }
    TraceMe deallocation([] {
      return TraceMeEncode("MemoryDeallocation", {{"allocator_name", "bfc"},
                                                  {"bytes_allocated", "0"},
                                                  {"allocation_bytes", "64"},
                                                  {"addr", "4096"}});
    });
  }
  ASSERT_TRUE(tracer->Stop(nullptr));
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(
      ParseStrictJson(ReadRunFile(dir.Join("memory"), "memory_profile.json.gz"), &root, &errors))
      << errors;
  EXPECT_EQ(root["numHosts"], 1);
  ASSERT_EQ(root["memoryIds"].size(), 1u);
  EXPECT_EQ(root["memoryIds"][0], "bfc");
  const Json::Value& bfc = root["memoryProfilePerAllocator"]["bfc"];
  const Json::Value& snapshots = bfc["memoryProfileSnapshots"];
  ASSERT_EQ(snapshots.size(), 2u) << root.toStyledString();
  EXPECT_EQ(snapshots[0]["activityMetadata"]["memoryActivity"], "ALLOCATION");
  EXPECT_EQ(snapshots[1]["activityMetadata"]["memoryActivity"], "DEALLOCATION");
  // The deallocation is named after its allocation.
  EXPECT_EQ(snapshots[1]["activityMetadata"]["tfOpName"], "MatMul");
  EXPECT_EQ(bfc["profileSummary"]["peakStats"]["heapAllocatedBytes"], "64");
}

TEST(TracerIntegrationTest, ExportToTensorboardWritesWhatStopWould) {
  TempDir dir;
  auto tracer = NewTracer(dir.Join("unused"));
  ASSERT_TRUE(tracer->Start());
  RunWorkers();
  std::string bytes;
  ASSERT_TRUE(tracer->Stop(&bytes));

  EXPECT_TRUE(ExportToTensorboard(bytes, dir.Join("offline")));
  CheckProfileDirectory(dir.Join("offline"), 1);
  EXPECT_TRUE(ExportToTensorboard("", dir.Join("empty")));
  EXPECT_FALSE(ExportToTensorboard("not an XSpace \xff\xff", dir.Join("garbage")));
  EXPECT_FALSE(ExportToTensorboard(bytes, ""));
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAreArray({"empty", "offline"}));
}

TEST(TracerIntegrationTest, OneTracerRecordsAtATime) {
  auto first = NewTracer("logs");
  auto second = NewTracer("logs");
  ASSERT_TRUE(first->Start());
  EXPECT_FALSE(second->Start());
  std::string bytes;
  EXPECT_TRUE(first->Stop(&bytes));
  EXPECT_TRUE(second->Start());
  EXPECT_TRUE(second->Stop(&bytes));
  EXPECT_EQ(CreateTracer(TracerOptions(), ""), nullptr);
}

}  // namespace
