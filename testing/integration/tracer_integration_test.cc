// The tracer as an application meets it, through the public headers and
// libzentrik.so only: the lines each call logs, the trace Stop hands out, the
// files it writes. The process runs with INFO lines on.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/export_events.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace {

namespace trace = ::zentrik::trace;
using ::zentrik::testing::Gunzip;
using ::zentrik::testing::IsRunName;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::LogLinesFrom;
using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::WriteTestFile;
using Lines = std::vector<std::string>;

constexpr char kTracerSource[] = "trace/core/lib/tracer";
constexpr int kWorkers = 3;
constexpr int kSteps = 2;

std::unique_ptr<trace::TracerInterface> NewTracer(const std::string& logdir, int host = 2,
                                                  int device = 0) {
  trace::TracerOptions options;
  options.host_tracer_level = host;
  options.device_tracer_level = device;
  return std::unique_ptr<trace::TracerInterface>(trace::CreateTracer(options, logdir));
}

// Named worker threads doing marked steps of framework ops.
void RunWorkers() {
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w] {
      pthread_setname_np(pthread_self(), ("worker" + std::to_string(w)).c_str());
      for (int step = 0; step < kSteps; ++step) {
        trace::TraceMe step_event([&] {
          return trace::TraceMeEncode(
              "train_step", {{"step_num", std::to_string(step)}, {"ratio", "0.5"}, {"_r", "1"}});
        });
        trace::AnnotatedTraceMe matmul("dense:MatMul");
        trace::TraceMe detail("detail", trace::kInfo);
        trace::TraceMe verbose("verbose", trace::kVerbose);  // Above the host level.
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
}

// The lines each call logs; where a log directory cannot be written, one more
// WARNING beside the fixed line names the directory and the reason with the
// system's error text.
TEST(TracerIntegrationTest, EveryCallLogsItsLines) {
  struct LogCase {
    std::string label;
    std::function<bool()> call;
    bool result;
    Lines lines;
  };
  std::vector<LogCase> cases = {
      {"CreateTracer without logdir",
       [] { return NewTracer("") != nullptr; },
       false,
       {"WARNING Logdir should not be empty. CreateTracer failed"}},
      {"Start twice, Stop twice",
       [] {
         auto tracer = NewTracer("unused");
         std::string bytes;
         return tracer->Start() && tracer->Start() && tracer->Stop(&bytes) && tracer->Stop(&bytes);
       },
       true,
       {"INFO Tracer started.", "WARNING Tracer is already started.", "INFO Tracer stopped.",
        "WARNING Tracer is not started. No need to stop."}},
      {"a second tracer",
       [] {
         auto first = NewTracer("unused");
         auto second = NewTracer("unused");
         const bool started = first->Start() && second->Start();
         first.reset();  // Deleting a started tracer gives the lock back.
         return started || !second->Start();
       },
       false,
       {"INFO Tracer started.", "WARNING Another tracer already started, tracer start failed.",
        "INFO Tracer started."}},
      {"empty delimiter",
       [] { return NewTracer("unused")->SetAnnotationDelimiter(""); },
       false,
       {"WARNING Annotation delimiter should not be empty, set annotation delimiter failed."}},
      {"ExportToTensorboard without logdir",
       [] { return trace::ExportToTensorboard("", ""); },
       false,
       {"WARNING Logdir should not be empty. ExportToTensorboard failed"}},
      {"ExportToTensorboard of garbage",
       [] { return trace::ExportToTensorboard("\xff\xff", "/tmp/zentrik_never_written"); },
       false,
       {"WARNING Parse xspace data from input string failed"}},
  };
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  std::vector<std::pair<std::string, std::string>> targets = {
      {dir.Join("file/logs"), "Failed precondition: " + dir.Join("file") + " is not a directory"},
      {"/proc/zentrik_test/logs",
       "Aborted: /proc/zentrik_test creating...  error! (No such file or directory)"}};
  if (geteuid() != 0) {  // The superuser may write anywhere.
    ASSERT_EQ(mkdir(dir.Join("read_only").c_str(), 0555), 0);
    targets.push_back({dir.Join("read_only/logs"), "Aborted: " + dir.Join("read_only/logs") +
                                                       " creating...  error! (Permission denied)"});
  }
  for (const auto& [logdir, reason] : targets) {
    const std::string profile_line = "WARNING Could not write the profile into " + logdir + ": ";
    auto stop = [logdir = logdir] {
      auto tracer = NewTracer(logdir);
      const bool stopped = tracer->Start() && tracer->Stop(nullptr);
      std::string bytes;  // Idle again, and the lock is free.
      EXPECT_TRUE(tracer->Start() && tracer->Stop(&bytes)) << logdir;
      return stopped;
    };
    cases.push_back({"Stop into " + logdir,
                     stop,
                     false,
                     {"INFO Tracer started.", "WARNING Export xspace to tensorboard failed.",
                      profile_line + reason, "INFO Tracer stopped.", "INFO Tracer started.",
                      "INFO Tracer stopped."}});
    cases.push_back({"ExportToTensorboard into " + logdir,
                     [logdir = logdir] { return trace::ExportToTensorboard("", logdir); },
                     false,
                     {"WARNING Export xspace data to tensorboard failed", profile_line + reason}});
  }
  for (const LogCase& c : cases) {
    StderrCapture capture;
    EXPECT_EQ(c.call(), c.result) << c.label;
    EXPECT_EQ(LogLinesFrom(capture.Stop(), kTracerSource), c.lines) << c.label;
  }
}

// Stop into the log directory, Stop into a string and the offline export of
// that string: the host plane, its elapse events and one run of files each.
TEST(TracerIntegrationTest, StopAndExportDeliverTheRecordedHostEvents) {
  TempDir dir;
  const std::string logdir = dir.Join("a/b/logs");
  auto tracer = NewTracer(logdir);
  std::string bytes;
  for (int run = 0; run < 2; ++run) {  // Usually within one second.
    ASSERT_TRUE(tracer->Start());
    RunWorkers();
    ASSERT_TRUE(run == 0 ? tracer->Stop(nullptr) : tracer->Stop(&bytes));
  }
  ASSERT_TRUE(trace::ExportToTensorboard(bytes, logdir));
  const std::string profile_dir = logdir + "/plugins/profile/";
  char host_name[256] = {};
  gethostname(host_name, sizeof(host_name) - 1);
  const std::string host_prefix = std::string(host_name) + ".";
  const Lines runs = ListDirectory(profile_dir);
  ASSERT_EQ(runs.size(), 2u);
  for (const std::string& run : runs) {
    EXPECT_TRUE(IsRunName(run)) << run;
    Lines tools;  // The file names after "<host>.".
    std::string op_stats;
    for (const std::string& file : ListDirectory(profile_dir + run)) {
      tools.push_back(file.substr(host_prefix.size()));
      if (tools.back() == "op_stats.pb") op_stats = ReadFileOrEmpty(profile_dir + run + "/" + file);
    }
    std::sort(tools.begin(), tools.end());
    EXPECT_EQ(tools, (Lines{"kernel_stats.pb", "memory_profile.json.gz", "op_stats.pb",
                            "overview_page.pb", "run.claim", "trace.json.gz"}));
    std::string text;
    EXPECT_TRUE(
        Gunzip(ReadFileOrEmpty(profile_dir + run + "/" + host_prefix + "trace.json.gz"), &text))
        << run;
    EXPECT_NE(op_stats.find("MatMul"), std::string::npos) << run;  // "name:Type" ops.
  }

  trace::XSpace space;
  ASSERT_TRUE(space.ParseFromString(bytes));
  ASSERT_EQ(space.planes_size(), 1);
  const trace::XPlane& host = space.planes(0);
  EXPECT_EQ(host.name(), "/host:CPU");
  ASSERT_EQ(host.lines_size(), kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    const trace::XLine& line = host.lines(w);  // Sorted by name.
    EXPECT_EQ(line.name(), "worker" + std::to_string(w) + "/" + std::to_string(line.id()));
    std::map<std::string, int> counts;
    for (const trace::XEvent& event : line.events()) {
      ++counts[host.event_metadata().at(event.metadata_id()).name()];
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{
                          {"dense:MatMul", kSteps}, {"detail", kSteps}, {"train_step", kSteps}}));
  }
  // The same bytes flattened for the caller: one elapse event per host event.
  std::vector<trace::ElapseEvent> events;
  ASSERT_TRUE(trace::ExportEvents(&bytes, nullptr, &events));
  EXPECT_EQ(events.size(), static_cast<size_t>(kWorkers * kSteps * 3));

  // Levels 0 and 0: only the host plane, without lines.
  tracer = NewTracer("unused", 0, 0);
  ASSERT_TRUE(tracer->Start());
  RunWorkers();
  ASSERT_TRUE(tracer->Stop(&bytes) && space.ParseFromString(bytes));
  ASSERT_EQ(space.planes_size(), 1);
  EXPECT_EQ(space.planes(0).lines_size(), 0);
}

TEST(TracerIntegrationTest, PmuCountersAreAskedForOnlyWhileALevelTwoTracerRuns) {
  constexpr char kTracePmu[] = "ZENTRIK_TRACE_PMU";
  auto value = [&] { return std::string(getenv(kTracePmu) ? getenv(kTracePmu) : "<unset>"); };
  unsetenv(kTracePmu);
  std::string bytes;
  auto pmu = NewTracer("unused", 2, 2);
  EXPECT_TRUE(pmu->Stop(nullptr));  // Not started, but it still says "false".
  EXPECT_EQ(value(), "false");
  ASSERT_TRUE(pmu->Start());
  EXPECT_EQ(value(), "true");
  ASSERT_TRUE(pmu->Stop(&bytes));
  EXPECT_EQ(value(), "false");

  // A level-2 start refused by the lock, and a started one deleted.
  auto holder = NewTracer("unused");
  ASSERT_TRUE(holder->Start());
  EXPECT_FALSE(pmu->Start());
  EXPECT_EQ(value(), "false");
  ASSERT_TRUE(holder->Stop(&bytes) && pmu->Start());
  pmu.reset();
  EXPECT_EQ(value(), "false");

  // Other levels leave the variable alone.
  setenv(kTracePmu, "1", 1);
  ASSERT_TRUE(holder->Start() && holder->Stop(&bytes));
  EXPECT_EQ(value(), "1");
}

}  // namespace

int main(int argc, char** argv) {
  // The library reads the log level once, when it is loaded: run again with
  // INFO lines on.
  const char* level = getenv("ZENTRIK_CPP_MIN_LOG_LEVEL");
  if (level == nullptr || std::strcmp(level, "0") != 0) {
    setenv("ZENTRIK_CPP_MIN_LOG_LEVEL", "0", 1);
    execv("/proc/self/exe", argv);
    return 127;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
