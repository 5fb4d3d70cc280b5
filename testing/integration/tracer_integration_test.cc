// The tracer through the public headers and libzentrik.so only: the lines each call
// logs, the trace Stop hands out, the files it writes. INFO lines are on.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// The lines each call logs; an unwritable log directory adds a WARNING saying why.
TEST(TracerIntegrationTest, EveryCallLogsItsLines) {
  zentrik::testing::TempDir dir;
  ASSERT_TRUE(zentrik::testing::WriteTestFile(dir.Join("file")));
  const std::string logdir = dir.Join("file/logs");
  const std::string profile_line = "WARNING Could not write the profile into " + logdir +
                                   ": Failed precondition: " + dir.Join("file") +
                                   " is not a directory";
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
       {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.", profile_line,
        "INFO Tracer stopped.", "INFO Tracer started.", "INFO Tracer stopped."}},
  };
  for (const auto& c : cases) {
    zentrik::testing::StderrCapture capture;
    EXPECT_FALSE(c.call()) << c.lines[0];
    EXPECT_EQ(zentrik::testing::LogLinesFrom(capture.Stop(), "trace/core/lib/tracer"), c.lines);
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

// Refusals and log directories that cannot be made: one line saying what
// failed, and for a directory one more naming it and the system's reason.
TEST(TracerIntegrationTest, RefusalsAndUnwritableDirectoriesSayWhy) {
  zentrik::testing::TempDir dir;
  ASSERT_TRUE(zentrik::testing::WriteTestFile(dir.Join("file")));
  const std::string file_logs = dir.Join("file/logs"), proc_logs = "/proc/zentrik_test/logs";
  auto profile_line = [](const std::string& logdir, const std::string& reason) {
    return "WARNING Could not write the profile into " + logdir + ": " + reason;
  };
  const std::string not_a_directory =
      "Failed precondition: " + dir.Join("file") + " is not a directory";
  const std::string no_parent =
      "Aborted: /proc/zentrik_test creating...  error! (No such file or directory)";
  const struct {
    std::function<bool()> call;
    Lines lines;
  } cases[] = {
      {[] { return NewTracer("unused")->SetAnnotationDelimiter(""); },
       {"WARNING Annotation delimiter should not be empty, set annotation delimiter failed."}},
      {[&] { return trace::ExportToTensorboard("\xff\xff garbage", dir.Join("garbage")); },
       {"WARNING Parse xspace data from input string failed"}},
      {[&] { return trace::ExportToTensorboard("", file_logs); },
       {"WARNING Export xspace data to tensorboard failed",
        profile_line(file_logs, not_a_directory)}},
      {[&] { return trace::ExportToTensorboard("", proc_logs); },
       {"WARNING Export xspace data to tensorboard failed", profile_line(proc_logs, no_parent)}},
      {[&] {
         auto tracer = NewTracer(proc_logs);
         return tracer->Start() && tracer->Stop(nullptr);
       },
       {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.",
        profile_line(proc_logs, no_parent), "INFO Tracer stopped."}},
  };
  for (const auto& c : cases) {
    zentrik::testing::StderrCapture capture;
    EXPECT_FALSE(c.call()) << c.lines[0];
    EXPECT_EQ(zentrik::testing::LogLinesFrom(capture.Stop(), "trace/core/lib/tracer"), c.lines);
  }
  // Garbage is refused before anything is written.
  EXPECT_EQ(zentrik::testing::ListDirectory(dir.path()), Lines{"file"});
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
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
