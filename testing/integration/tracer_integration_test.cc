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
