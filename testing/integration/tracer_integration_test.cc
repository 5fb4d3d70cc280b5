// The tracer through the public headers and libzentrik.so only: the lines each call
// logs, the trace Stop hands out, the files it writes. INFO lines are on.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/strict_json.h"
#include "testing/temp_dir.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace {

namespace trace = ::zentrik::trace;
using Lines = std::vector<std::string>;

constexpr char kPmu[] = "ZENTRIK_TRACE_PMU";

std::unique_ptr<trace::TracerInterface> NewTracer(const std::string& logdir, int device = 0) {
  return std::unique_ptr<trace::TracerInterface>(trace::CreateTracer({2, device}, logdir));
}

// Checks that a call logged exactly `expected` (the tracer's own lines) into
// the captured `text`, and that no other source warned or logged an error
// either, but for the device libraries that level 2 looks for: a failed call
// never adds a line saying why.
void ExpectLines(const std::string& text, const Lines& expected) {
  EXPECT_EQ(zentrik::testing::LogLinesFrom(text, "trace/core/lib/tracer"), expected);
  const auto warnings = [](const Lines& lines) {
    Lines found;
    for (const std::string& line : lines) {
      const bool device_library = line.rfind("WARNING LoadLibrary: ", 0) == 0 ||
                                  line.rfind("WARNING DravikInterface initialization", 0) == 0;
      if (line.rfind("INFO ", 0) != 0 && !device_library) found.push_back(line);
    }
    return found;
  };
  EXPECT_EQ(warnings(zentrik::testing::LogLinesFrom(text, "")), warnings(expected)) << expected[0];
}

// Stop(nullptr) ($CALL "stop") or ExportToTensorboard ("export") into $LOGDIR,
// as an unprivileged user when the test runs as root, whom no mode refuses.
// Exits 0 when the call failed.
ZENTRIK_CHILD_SCENARIO(UnprivilegedExport) {
  if (geteuid() == 0 && !zentrik::testing::BecomeNobody()) return 2;
  const std::string logdir = getenv("LOGDIR");
  if (std::string(getenv("CALL")) == "export") return trace::ExportToTensorboard("", logdir);
  auto tracer = NewTracer(logdir);
  return tracer->Start() && tracer->Stop(nullptr);
}

// The lines each call logs; a log directory below a regular file fails Stop
// with its one fixed line.
TEST(TracerIntegrationTest, EveryCallLogsItsLines) {
  zentrik::testing::TempDir dir;
  ASSERT_TRUE(zentrik::testing::WriteTestFile(dir.Join("file")));
  const std::string logdir = dir.Join("file/logs");
  const struct {
    std::function<bool()> call;
    Lines lines;
  } cases[] = {
      {[] { return NewTracer("") != nullptr; },
       {"WARNING Logdir should not be empty. CreateTracer failed"}},
      {[] {  // Level 2: PMU counters are asked for only while a tracer runs.
         auto first = NewTracer("unused", 2), second = NewTracer("unused", 2);
         auto Pmu = [] { return std::string(getenv(kPmu) ? getenv(kPmu) : "-"); };
         std::string bytes;
         const bool refused = first->Start() && Pmu() == "true" && first->Start() &&
                              !second->Start() && Pmu() == "false";
         setenv(kPmu, "true", 1);
         first.reset();  // Deleting a started tracer gives the lock and the counters back.
         return !(refused && Pmu() == "false" && second->Stop(&bytes) && second->Start() &&
                  second->Stop(&bytes) && Pmu() == "false");
       },
       {"INFO Tracer started.", "WARNING Tracer is already started.",
        "WARNING Another tracer already started, tracer start failed.",
        "WARNING Tracer is not started. No need to stop.", "INFO Tracer started.",
        "INFO Tracer stopped."}},
      {[] { return trace::ExportToTensorboard("", ""); },
       {"WARNING Logdir should not be empty. ExportToTensorboard failed"}},
      {[&] {
         auto tracer = NewTracer(logdir);
         const bool stopped = tracer->Start() && tracer->Stop(nullptr);
         std::string bytes;  // Idle again, and the lock is free.
         return stopped || !tracer->Start() || !tracer->Stop(&bytes);
       },
       {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.",
        "INFO Tracer stopped.", "INFO Tracer started.", "INFO Tracer stopped."}},
  };
  for (const auto& c : cases) {
    zentrik::testing::StderrCapture capture;
    EXPECT_FALSE(c.call()) << c.lines[0];
    ExpectLines(capture.Stop(), c.lines);
  }
}

// Stop into the log directory, Stop into a string and the offline export of
// that string: one run of files each, and the host events of named threads.
TEST(TracerIntegrationTest, StopAndExportDeliverTheRecordedHostEvents) {
  zentrik::testing::TempDir dir;
  const std::string logdir = dir.Join("a/b/logs");
  auto tracer = NewTracer(logdir);
  std::string bytes;
  for (int run = 0; run < 2; ++run) {  // Usually within one second.
    ASSERT_TRUE(tracer->Start());
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
      workers.emplace_back([w] {
        pthread_setname_np(pthread_self(), ("worker" + std::to_string(w)).c_str());
        trace::TraceMe step([] {
          return trace::TraceMeEncode("step", {{"step_num", "0"}, {"_r", "1"}});
        });
        trace::AnnotatedTraceMe matmul("dense:MatMul");
        trace::TraceMe verbose("verbose", trace::kVerbose);  // Above the host level.
      });
    }
    for (std::thread& worker : workers) worker.join();
    ASSERT_TRUE(run == 0 ? tracer->Stop(nullptr) : tracer->Stop(&bytes));
  }
  ASSERT_TRUE(trace::ExportToTensorboard(bytes, logdir));
  const std::string profile_dir = logdir + "/plugins/profile/";
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  Lines tools = {"kernel_stats.pb", "memory_profile.json.gz", "op_stats.pb", "overview_page.pb",
                 "run.claim",       "trace.json.gz"};
  for (std::string& tool : tools) tool = host + ("." + tool);
  const Lines runs = zentrik::testing::ListDirectory(profile_dir);
  ASSERT_EQ(runs.size(), 2u);
  for (const std::string& run : runs) {
    EXPECT_TRUE(zentrik::testing::IsRunName(run)) << run;
    EXPECT_EQ(zentrik::testing::ListDirectory(profile_dir + run), tools);
  }
  trace::XSpace space;
  ASSERT_TRUE(space.ParseFromString(bytes) && space.planes_size() == 1);
  ASSERT_EQ(space.planes(0).lines_size(), 3);
  for (int w = 0; w < 3; ++w) {
    const trace::XLine& line = space.planes(0).lines(w);  // Sorted by name.
    EXPECT_EQ(line.name(), "worker" + std::to_string(w) + "/" + std::to_string(line.id()));
    EXPECT_EQ(line.events_size(), 2);  // Not the verbose ones.
  }
}

// Refusals and log directories that cannot be made (below a regular file, in
// a directory the user may not write, below a missing one): each call logs
// its one fixed line and no other saying why.
TEST(TracerIntegrationTest, RefusalsAndUnwritableDirectoriesLogOneFixedLine) {
  zentrik::testing::TempDir dir;
  ASSERT_TRUE(zentrik::testing::WriteTestFile(dir.Join("file")));
  ASSERT_TRUE(chmod(dir.path().c_str(), 0755) == 0 && mkdir(dir.Join("ro").c_str(), 0555) == 0);
  const std::string file_logs = dir.Join("file/logs"), proc_logs = "/proc/zentrik_test/logs";
  const auto unprivileged = [&dir](const char* call) {
    const zentrik::testing::ChildResult child = zentrik::testing::RunScenario(
        "UnprivilegedExport", {{"CALL", call}, {"LOGDIR", dir.Join("ro/logs")}});
    fputs(child.err.c_str(), stderr);  // into this process's capture
    return child.exit_code != 0;
  };
  const struct {
    std::function<bool()> call;
    Lines lines;
  } cases[] = {
      {[] { return NewTracer("unused")->SetAnnotationDelimiter(""); },
       {"WARNING Annotation delimiter should not be empty, set annotation delimiter failed."}},
      {[&] { return trace::ExportToTensorboard("\xff\xff garbage", dir.Join("garbage")); },
       {"WARNING Parse xspace data from input string failed"}},
      {[&] { return trace::ExportToTensorboard("", file_logs); },
       {"WARNING Export xspace data to tensorboard failed"}},
      {[&] { return trace::ExportToTensorboard("", proc_logs); },
       {"WARNING Export xspace data to tensorboard failed"}},
      {[&] {
         auto tracer = NewTracer(proc_logs);
         return tracer->Start() && tracer->Stop(nullptr);
       },
       {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.",
        "INFO Tracer stopped."}},
      {[&] { return unprivileged("export"); },
       {"WARNING Export xspace data to tensorboard failed"}},
      {[&] { return unprivileged("stop"); },
       {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.",
        "INFO Tracer stopped."}},
  };
  for (const auto& c : cases) {
    zentrik::testing::StderrCapture capture;
    EXPECT_FALSE(c.call()) << c.lines[0];
    ExpectLines(capture.Stop(), c.lines);
  }
  // Garbage is refused before anything is written, and nothing is made where
  // the user may not write.
  EXPECT_EQ(zentrik::testing::ListDirectory(dir.path()), (Lines{"file", "ro"}));
  EXPECT_EQ(zentrik::testing::ListDirectory(dir.Join("ro")), Lines{});
}

// Empty bytes are an empty trace: one run of this host with the tables an
// empty space still has.
TEST(TracerIntegrationTest, ExportOfEmptyBytesWritesAnEmptyRun) {
  zentrik::testing::TempDir dir;
  ASSERT_TRUE(trace::ExportToTensorboard("", dir.path()));
  const std::string profile_dir = dir.Join("plugins/profile/");
  const Lines runs = zentrik::testing::ListDirectory(profile_dir);
  ASSERT_EQ(runs.size(), 1u);
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  Lines tools = {"kernel_stats.pb", "memory_profile.json.gz", "op_stats.pb", "run.claim"};
  for (std::string& tool : tools) tool = host + ("." + tool);
  EXPECT_EQ(zentrik::testing::ListDirectory(profile_dir + runs[0]), tools);
}

// Allocations and deallocations recorded with TraceMe reach the memory
// profile that Stop writes; a recording without them writes an empty one.
TEST(TracerIntegrationTest, StopWritesTheMemoryProfile) {
  zentrik::testing::TempDir dir;
  auto memory_profile = [&dir](const std::string& name, const std::function<void()>& work) {
    auto tracer = NewTracer(dir.Join(name));
    EXPECT_TRUE(tracer->Start());
    work();
    EXPECT_TRUE(tracer->Stop(nullptr));
    const std::string run_dir = dir.Join(name + "/plugins/profile/");
    const Lines runs = zentrik::testing::ListDirectory(run_dir);
    std::string text;
    for (const std::string& file :
         runs.size() == 1 ? zentrik::testing::ListDirectory(run_dir + runs[0]) : Lines()) {
      if (file.find(".memory_profile.json.gz") == std::string::npos) continue;
      EXPECT_TRUE(zentrik::testing::Gunzip(
          zentrik::testing::ReadFileOrEmpty(run_dir + runs[0] + "/" + file), &text));
    }
    return text;
  };
  EXPECT_EQ(memory_profile("none", [] {}),
            R"({"memoryProfilePerAllocator":{},"numHosts":1,"memoryIds":[]})");
  const std::string text = memory_profile("memory", [] {
    trace::TraceMe step([] {
      return trace::TraceMeEncode("train_step", {{"step_num", "0"}, {"_r", "1"}});
    });
    {
      trace::TraceMe allocation([] {
        return trace::TraceMeEncode("MemoryAllocation", {{"allocator_name", "bfc"},
                                                         {"bytes_allocated", "64"},
                                                         {"allocation_bytes", "64"},
                                                         {"addr", "4096"},
                                                         {"tf_op", "MatMul"}});
      });
    }
    trace::TraceMe deallocation([] {
      return trace::TraceMeEncode("MemoryDeallocation", {{"allocator_name", "bfc"},
                                                         {"bytes_allocated", "0"},
                                                         {"allocation_bytes", "64"},
                                                         {"addr", "4096"}});
    });
  });
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(zentrik::testing::ParseStrictJson(text, &root, &errors)) << errors << text;
  EXPECT_EQ(root["numHosts"], 1);
  EXPECT_EQ(root["memoryIds"].toStyledString(), "[\n\t\"bfc\"\n]\n");
  const Json::Value& bfc = root["memoryProfilePerAllocator"]["bfc"];
  const Json::Value& snapshots = bfc["memoryProfileSnapshots"];
  ASSERT_EQ(snapshots.size(), 2u) << text;
  EXPECT_EQ(snapshots[0]["activityMetadata"]["memoryActivity"], "ALLOCATION");
  EXPECT_EQ(snapshots[1]["activityMetadata"]["memoryActivity"], "DEALLOCATION");
  // The deallocation is named after its allocation.
  EXPECT_EQ(snapshots[1]["activityMetadata"]["tfOpName"], "MatMul");
  EXPECT_EQ(bfc["profileSummary"]["peakStats"]["heapAllocatedBytes"], "64");
}

}  // namespace

int main(int argc, char** argv) {
  // The library reads the log level once, when it is loaded: run again with INFO on.
  const char* level = getenv("ZENTRIK_CPP_MIN_LOG_LEVEL");
  if (level == nullptr || std::strcmp(level, "0") != 0) {
    setenv("ZENTRIK_CPP_MIN_LOG_LEVEL", "0", 1);
    execv("/proc/self/exe", argv);
    return 127;
  }
  int exit_code = 0;
  if (zentrik::testing::MaybeRunScenario(&exit_code)) return exit_code;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
