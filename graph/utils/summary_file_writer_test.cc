#include "graph/utils/summary_file_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;

std::unique_ptr<Event> StepEvent(int64_t step) {
  auto event = std::make_unique<Event>();
  event->set_step(step);
  return event;
}

// The steps of the events in the writer's file, in file order.
std::vector<int64_t> StepsInFile(const std::string& path) {
  std::vector<std::string> records;
  std::string error;
  EXPECT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(path), &records, &error)) << error;
  std::vector<int64_t> steps;
  for (const std::string& record : records) {
    Event event;
    EXPECT_TRUE(event.ParseFromString(record));
    steps.push_back(event.step());
  }
  return steps;
}

TEST(SummaryFileWriterTest, InitNamesTheFileAfterTheClockAndHost) {
  TempDir dir;
  const std::string logdir = dir.Join("a/b");
  SummaryFileWriter writer(1, 1);
  const uint64_t before = testing::MonotonicSeconds();
  ASSERT_TRUE(writer.Init(logdir).ok());
  const uint64_t after = testing::MonotonicSeconds();

  const std::string prefix = logdir + "/events.out.tfevents.";
  const std::string suffix = "." + trace::Env::Default()->GetHostName();
  const std::string path = writer.filename();
  ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
  ASSERT_GT(path.size(), prefix.size() + suffix.size());
  ASSERT_EQ(path.substr(path.size() - suffix.size()), suffix) << path;
  const std::string seconds =
      path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  ASSERT_EQ(seconds.find_first_not_of("0123456789"), std::string::npos) << seconds;
  EXPECT_GE(std::stoull(seconds), before);
  EXPECT_LE(std::stoull(seconds), after);
  EXPECT_EQ(testing::ListEventFiles(logdir).size(), 1u);
}

TEST(SummaryFileWriterTest, WritersOfOneSecondDoNotReplaceEachOthersFiles) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    SummaryFileWriter writer(1, 1);
    ASSERT_TRUE(writer.Init(dir.path()).ok());
    paths.push_back(writer.filename());
  }
  EXPECT_EQ(testing::ListEventFiles(dir.path()).size(), 3u);
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_NE(paths[1], paths[2]);
}

TEST(SummaryFileWriterTest, InitRefusalsLeaveTheWriterUnopened) {
  TempDir dir;
  ASSERT_TRUE(testing::WriteTestFile(dir.Join("file")));
  testing::OccupyEventFileNames(dir.path());
  struct Case {
    std::string logdir;
    error::Code code;
    std::string log;  // Expected ERROR text, or empty for none.
  };
  const Case cases[] = {
      {"", error::INVALID_ARGUMENT, "the logdir of output events is empty."},
      {dir.Join("file/sub"), error::FAILED_PRECONDITION, ""},
      {dir.path(), error::UNKNOWN,
       "failed to open log_file" + dir.path() + "/events.out.tfevents."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logdir);
    SummaryFileWriter writer(1, 1);
    testing::StderrCapture capture;
    const trace::Status status = writer.Init(c.logdir);
    const std::string log = capture.Stop();
    EXPECT_EQ(status.code(), c.code) << status.ToString();
    if (!c.log.empty()) {
      EXPECT_NE(log.find("] " + c.log), std::string::npos) << log;
    }
    EXPECT_EQ(writer.filename(), "");
  }
}

TEST(SummaryFileWriterTest, OverflowingTheQueueFlushesEveryEventInOrder) {
  TempDir dir;
  // A long flush interval: only the queue limit can trigger a write.
  SummaryFileWriter writer(1, 1000 * 1000);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  ASSERT_TRUE(writer.WriteEvent(StepEvent(7)).ok());
  EXPECT_TRUE(StepsInFile(writer.filename()).empty());
  ASSERT_TRUE(writer.WriteEvent(StepEvent(8)).ok());
  EXPECT_EQ(StepsInFile(writer.filename()), (std::vector<int64_t>{7, 8}));
}

TEST(SummaryFileWriterTest, AnEventAfterTheFlushIntervalIsWrittenAtOnce) {
  TempDir dir;
  SummaryFileWriter writer(100, 1);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  usleep(5000);
  ASSERT_TRUE(writer.WriteEvent(StepEvent(3)).ok());
  EXPECT_EQ(StepsInFile(writer.filename()), (std::vector<int64_t>{3}));
}

TEST(SummaryFileWriterTest, DestructionWritesWhatIsQueued) {
  TempDir dir;
  std::string path;
  {
    SummaryFileWriter writer(100, 1000 * 1000);
    ASSERT_TRUE(writer.Init(dir.path()).ok());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(1)).ok());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(2)).ok());
    path = writer.filename();
  }
  EXPECT_EQ(StepsInFile(path), (std::vector<int64_t>{1, 2}));
}

TEST(SummaryFileWriterTest, WriteGraphCarriesStepTimeAndTheSerializedGraph) {
  TempDir dir;
  auto graph = std::make_shared<GraphDef>();
  graph->add_node_def()->set_name("a");
  SummaryFileWriter writer(1, 1);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  const double before = static_cast<double>(trace::EnvTime::NowMicros()) / 1e6;
  ASSERT_TRUE(writer.WriteGraph(1, graph).ok());
  ASSERT_TRUE(writer.Flush().ok());
  const double after = static_cast<double>(trace::EnvTime::NowMicros()) / 1e6;

  std::vector<std::string> records;
  std::string error;
  ASSERT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(writer.filename()), &records, &error));
  ASSERT_EQ(records.size(), 1u);
  Event event;
  ASSERT_TRUE(event.ParseFromString(records[0]));
  EXPECT_EQ(event.step(), 1);
  EXPECT_GE(event.wall_time(), before);
  EXPECT_LE(event.wall_time(), after);
  ASSERT_EQ(event.what_case(), Event::kGraphDef);
  EXPECT_EQ(event.graph_def(), graph->SerializeAsString());
  // Field order as TensorBoard's reader gets it: wall_time, step, graph_def.
  EXPECT_EQ(records[0].substr(0, 1), "\x09");
  EXPECT_EQ(records[0].substr(9, 4), std::string("\x10\x01\x22\x05", 4));
}

ZENTRIK_CHILD_SCENARIO(FlushBeforeInit) {
  SummaryFileWriter writer(1, 1);
  return writer.Flush().ok() ? 0 : 1;
}

TEST(SummaryFileWriterTest, FlushBeforeInitSaysSoOnStandardOutput) {
  const testing::ChildResult result = testing::RunScenario("FlushBeforeInit");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Class was not properly initialized.\n");
}

TEST(SummaryFileWriterTest, EventsBeforeInitAreKeptForTheFile) {
  TempDir dir;
  SummaryFileWriter writer(0, 1000 * 1000);
  // The queue overflows at once, but there is no file to write to yet.
  EXPECT_EQ(writer.WriteEvent(StepEvent(5)).code(), error::FAILED_PRECONDITION);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  ASSERT_TRUE(writer.Flush().ok());
  EXPECT_EQ(StepsInFile(writer.filename()), (std::vector<int64_t>{5}));
}

TEST(SummaryFileWriterTest, ConcurrentWritersLoseNoEvent) {
  TempDir dir;
  SummaryFileWriter writer(3, 1000 * 1000);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        writer.WriteEvent(StepEvent(t * kEventsPerThread + i)).ok();
        if (i % 10 == 0) writer.Flush().ok();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(writer.Flush().ok());
  std::vector<int64_t> steps = StepsInFile(writer.filename());
  std::sort(steps.begin(), steps.end());
  ASSERT_EQ(steps.size(), static_cast<size_t>(kThreads * kEventsPerThread));
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i], static_cast<int64_t>(i));
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
