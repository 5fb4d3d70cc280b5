#include "trace/core/lib/tracer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"
#include "testing/xspace_reader.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/xplane_schema.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;
using ::zentrik::testing::EventsNamed;
using ::zentrik::testing::IsRunName;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::RunScenario;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::WriteTestFile;

TracerOptions Options(int32_t host, int32_t device) {
  TracerOptions options;
  options.host_tracer_level = host;
  options.device_tracer_level = device;
  return options;
}

std::unique_ptr<TracerInterface> NewTracer(const TracerOptions& options,
                                           const std::string& logdir = "/unused/logdir") {
  return std::unique_ptr<TracerInterface>(CreateTracer(options, logdir));
}

// True when `err` holds a log line of `severity` whose message is `message`.
bool Logged(const std::string& err, const std::string& severity, const std::string& message) {
  const size_t end = err.find("] " + message + "\n");
  if (end == std::string::npos) return false;
  const size_t newline = err.rfind('\n', end);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  return err.substr(start, end - start).find(": " + severity + ": ") != std::string::npos;
}

std::string TracePmu() {
  const char* value = getenv(kTracePmuEnvVar);
  return value == nullptr ? "<unset>" : value;
}

// Work on threads, as a caller would mark it.
void RecordOnThreads(int threads) {
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([i] {
      TraceMe step([i] { return TraceMeEncode("step", {{"step_num", std::to_string(i)}}); });
      TraceMe inner("inner", kInfo);
      TraceMe verbose("verbose", kVerbose);
    });
  }
  for (std::thread& worker : workers) worker.join();
}

XSpace StopIntoSpace(TracerInterface* tracer) {
  std::string bytes = "previous contents";
  EXPECT_TRUE(tracer->Stop(&bytes));
  XSpace space;
  EXPECT_TRUE(space.ParseFromString(bytes));
  return space;
}

class TracerTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv(kTracePmuEnvVar); }
  void TearDown() override { SetAnnotationStackDelimiter("::"); }
};

TEST_F(TracerTest, CreateTracerNeedsALogDirectory) {
  StderrCapture capture;
  EXPECT_EQ(NewTracer(Options(2, 1), ""), nullptr);
  EXPECT_TRUE(Logged(capture.Stop(), "WARNING", "Logdir should not be empty. CreateTracer failed"));
  EXPECT_NE(NewTracer(Options(-1, 0), "logs"), nullptr);
}

TEST_F(TracerTest, StopIntoAStringHandsBackTheRecordedHostEvents) {
  TempDir dir;
  auto tracer = NewTracer(Options(2, 0), dir.Join("logs"));
  ASSERT_TRUE(tracer->Start());
  RecordOnThreads(3);
  const XSpace space = StopIntoSpace(tracer.get());
  ASSERT_THAT(space.planes(), SizeIs(1));
  const XPlane& host = space.planes(0);
  EXPECT_EQ(host.name(), kHostPlaneName);
  EXPECT_THAT(host.lines(), SizeIs(3));
  EXPECT_THAT(EventsNamed(host, "step"), SizeIs(3));
  EXPECT_THAT(EventsNamed(host, "inner"), SizeIs(3));
  EXPECT_THAT(EventsNamed(host, "verbose"), IsEmpty());
  // Nothing is written to disk.
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

TEST_F(TracerTest, LevelsZeroGiveAnEmptyHostPlane) {
  auto tracer = NewTracer(Options(0, 0));
  ASSERT_TRUE(tracer->Start());
  RecordOnThreads(1);
  const XSpace space = StopIntoSpace(tracer.get());
  ASSERT_THAT(space.planes(), SizeIs(1));
  EXPECT_EQ(space.planes(0).name(), kHostPlaneName);
  EXPECT_THAT(space.planes(0).lines(), IsEmpty());
}

TEST_F(TracerTest, HarmlessMisusesWarnAndSucceed) {
  auto tracer = NewTracer(Options(2, 0));
  StderrCapture capture;
  EXPECT_TRUE(tracer->Stop(nullptr));
  ASSERT_TRUE(tracer->Start());
  EXPECT_TRUE(tracer->Start());
  TraceMe::RecordInstantTrace("kept");
  const XSpace space = StopIntoSpace(tracer.get());
  const std::string err = capture.Stop();
  EXPECT_TRUE(Logged(err, "WARNING", "Tracer is not started. No need to stop."));
  EXPECT_TRUE(Logged(err, "WARNING", "Tracer is already started."));
  // The second Start left the running session alone.
  EXPECT_THAT(EventsNamed(space.planes(0), "kept"), SizeIs(1));
}

TEST_F(TracerTest, OneTracerRecordsAtATime) {
  auto first = NewTracer(Options(2, 0));
  auto second = NewTracer(Options(2, 0));
  ASSERT_TRUE(first->Start());
  StderrCapture capture;
  EXPECT_FALSE(second->Start());
  EXPECT_TRUE(
      Logged(capture.Stop(), "WARNING", "Another tracer already started, tracer start failed."));
  StopIntoSpace(first.get());
  EXPECT_TRUE(second->Start());
  // A stopped tracer starts again once the lock is free.
  EXPECT_FALSE(first->Start());
  second.reset();  // Deleting a started tracer gives the lock back.
  EXPECT_TRUE(first->Start());
  StopIntoSpace(first.get());
}

TEST_F(TracerTest, StopIntoTheLogDirectoryWritesANewRunOfThisHost) {
  TempDir dir;
  const std::string logdir = dir.Join("logs");
  auto tracer = NewTracer(Options(2, 0), logdir);
  for (int i = 0; i < 2; ++i) {  // Two runs in one second, usually.
    ASSERT_TRUE(tracer->Start());
    RecordOnThreads(1);
    ASSERT_TRUE(tracer->Stop(nullptr));
  }
  const std::vector<std::string> runs = ListDirectory(logdir + "/plugins/profile");
  ASSERT_THAT(runs, SizeIs(2));
  for (const std::string& run : runs) EXPECT_TRUE(IsRunName(run)) << run;
}

TEST_F(TracerTest, FailedExportStillEndsTheSession) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  auto tracer = NewTracer(Options(2, 0), dir.Join("file/logs"));
  ASSERT_TRUE(tracer->Start());
  StderrCapture capture;
  EXPECT_FALSE(tracer->Stop(nullptr));
  EXPECT_TRUE(Logged(capture.Stop(), "WARNING", "Export xspace to tensorboard failed."));
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("file"));
  // Idle again, and the lock is free for any tracer.
  auto other = NewTracer(Options(2, 0));
  EXPECT_TRUE(other->Start());
  StopIntoSpace(other.get());
  EXPECT_TRUE(tracer->Start());
  StopIntoSpace(tracer.get());
}

TEST_F(TracerTest, AnnotationDelimiterIsProcessWide) {
  auto tracer = NewTracer(Options(2, 0));
  StderrCapture capture;
  EXPECT_FALSE(tracer->SetAnnotationDelimiter(""));
  EXPECT_TRUE(Logged(capture.Stop(), "WARNING",
                     "Annotation delimiter should not be empty, set annotation delimiter failed."));
  EXPECT_EQ(GetAnnotationStackDelimiter(), "::");
  EXPECT_TRUE(tracer->SetAnnotationDelimiter("/"));
  EXPECT_EQ(GetAnnotationStackDelimiter(), "/");
  ASSERT_EQ(ParseAnnotationStack("outer/inner").size(), 2u);
  EXPECT_FALSE(tracer->SetAnnotationDelimiter(""));
  EXPECT_EQ(GetAnnotationStackDelimiter(), "/");
}

TEST_F(TracerTest, PmuCountersAreAskedForOnlyWhileALevelTwoTracerRuns) {
  auto pmu = NewTracer(Options(2, 2));
  EXPECT_TRUE(pmu->Stop(nullptr));  // Not started, but it still says "false".
  EXPECT_EQ(TracePmu(), "false");

  ASSERT_TRUE(pmu->Start());
  EXPECT_EQ(TracePmu(), "true");
  StopIntoSpace(pmu.get());
  EXPECT_EQ(TracePmu(), "false");

  // A level-2 start refused by the lock, and a started one deleted.
  auto holder = NewTracer(Options(2, 0));
  ASSERT_TRUE(holder->Start());
  EXPECT_FALSE(pmu->Start());
  EXPECT_EQ(TracePmu(), "false");
  StopIntoSpace(holder.get());
  ASSERT_TRUE(pmu->Start());
  pmu.reset();
  EXPECT_EQ(TracePmu(), "false");

  // Other levels leave the variable alone.
  setenv(kTracePmuEnvVar, "1", 1);
  auto plain = NewTracer(Options(2, 1));
  ASSERT_TRUE(plain->Start());
  StopIntoSpace(plain.get());
  plain.reset();
  EXPECT_EQ(TracePmu(), "1");
}

TEST_F(TracerTest, ExportToTensorboardFailures) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  const struct {
    std::string xspace;
    std::string logdir;
    bool result;
    std::string warning;  // empty: none
  } cases[] = {
      {"", "", false, "Logdir should not be empty. ExportToTensorboard failed"},
      {"\xff\xff garbage", dir.Join("garbage"), false,
       "Parse xspace data from input string failed"},
      {"", dir.Join("file/logs"), false, "Export xspace data to tensorboard failed"},
      {"", dir.Join("empty"), true, ""},
      {std::string("\x0a\x00", 2), dir.Join("one_plane"), true, ""},
  };
  for (const auto& c : cases) {
    StderrCapture capture;
    EXPECT_EQ(ExportToTensorboard(c.xspace, c.logdir), c.result) << c.logdir;
    const std::string err = capture.Stop();
    if (c.warning.empty()) {
      EXPECT_THAT(err, Not(HasSubstr("WARNING"))) << c.logdir;
    } else {
      EXPECT_TRUE(Logged(err, "WARNING", c.warning)) << err;
    }
  }
  // Garbage leaves the log directory untouched; empty bytes are an empty trace.
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("empty", "file", "one_plane"));
  EXPECT_THAT(ListDirectory(dir.Join("empty/plugins/profile")), SizeIs(1));
}

ZENTRIK_CHILD_SCENARIO(TracerLifecycleLogs) {
  TempDir dir;
  if (!WriteTestFile(dir.Join("file"))) return 1;
  auto tracer = NewTracer(Options(2, 0), dir.Join("file/logs"));
  if (!tracer->Start()) return 10;
  if (tracer->Stop(nullptr)) return 11;
  return 0;
}

TEST_F(TracerTest, StartAndStopLogTheirProgressAtInfo) {
  const auto result = RunScenario("TracerLifecycleLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(Logged(result.err, "INFO", "Tracer started.")) << result.err;
  const size_t warning = result.err.find("] Export xspace to tensorboard failed.\n");
  const size_t stopped = result.err.find("] Tracer stopped.\n");
  ASSERT_NE(warning, std::string::npos) << result.err;
  ASSERT_NE(stopped, std::string::npos) << result.err;
  EXPECT_LT(warning, stopped);
  EXPECT_TRUE(Logged(result.err, "INFO", "Tracer stopped."));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
