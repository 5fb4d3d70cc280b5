#include "graph/utils/summary_file_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
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

// The records of an event file, whose framing must hold.
std::vector<std::string> Records(const std::string& path) {
  std::vector<std::string> records;
  std::string error;
  EXPECT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(path), &records, &error)) << error;
  return records;
}

std::vector<int64_t> StepsInFile(const std::string& path) {
  std::vector<int64_t> steps;
  for (const std::string& record : Records(path)) {
    Event event;
    EXPECT_TRUE(event.ParseFromString(record));
    steps.push_back(event.step());
  }
  return steps;
}

TEST(SummaryFileWriterTest, InitNamesTheFileAfterTheClockAndHost) {
  TempDir dir;
  SummaryFileWriter writer(1, 1);
  const uint64_t before = testing::MonotonicSeconds();
  ASSERT_TRUE(writer.Init(dir.Join("a/b")).ok());
  const uint64_t after = testing::MonotonicSeconds();
  const std::string prefix = dir.Join("a/b/events.out.tfevents.");
  const std::string suffix = "." + trace::Env::Default()->GetHostName();
  const std::string path = writer.filename();
  ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
  ASSERT_EQ(path.substr(path.size() - suffix.size()), suffix) << path;
  const uint64_t seconds = std::stoull(path.substr(prefix.size()));
  EXPECT_TRUE(seconds >= before && seconds <= after) << path;
}

// Names in use, by earlier writers of the same second or by anything else,
// are skipped and never opened.
TEST(SummaryFileWriterTest, TakenNamesAreSkippedAndKept) {
  TempDir dir;
  testing::OccupyEventFileNames(dir.path(), 50);
  const std::vector<std::string> occupied = testing::ListEventFiles(dir.path());
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    SummaryFileWriter writer(1, 1);
    ASSERT_TRUE(writer.Init(dir.path()).ok());
    paths.push_back(writer.filename());
  }
  EXPECT_EQ(testing::ListEventFiles(dir.path()).size(), occupied.size() + 3);
  EXPECT_TRUE(paths[0] != paths[1] && paths[1] != paths[2]);
  SummaryFileWriter writer(1, 1);
  EXPECT_EQ(writer.Init("").code(), error::INVALID_ARGUMENT);
  EXPECT_EQ(writer.filename(), "");
}

TEST(SummaryFileWriterTest, QueuedEventsAreWrittenInOrder) {
  TempDir dir;
  std::string path;
  {
    // A long flush interval: only the queue limit and the end write.
    SummaryFileWriter writer(1, 1000 * 1000);
    ASSERT_TRUE(writer.Init(dir.path()).ok());
    path = writer.filename();
    ASSERT_TRUE(writer.WriteEvent(StepEvent(7)).ok());
    EXPECT_TRUE(StepsInFile(path).empty());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(8)).ok());
    EXPECT_EQ(StepsInFile(path), (std::vector<int64_t>{7, 8}));
    ASSERT_TRUE(writer.WriteEvent(StepEvent(9)).ok());
  }
  EXPECT_EQ(StepsInFile(path), (std::vector<int64_t>{7, 8, 9}));
}

TEST(SummaryFileWriterTest, WriteGraphCarriesStepAndTheSerializedGraph) {
  TempDir dir;
  auto graph = std::make_shared<GraphDef>();
  graph->add_node_def()->set_name("a");
  SummaryFileWriter writer(1, 1);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  ASSERT_TRUE(writer.WriteGraph(1, graph).ok());
  ASSERT_TRUE(writer.Flush().ok());
  const std::vector<std::string> records = Records(writer.filename());
  ASSERT_EQ(records.size(), 1u);
  Event event;
  ASSERT_TRUE(event.ParseFromString(records[0]));
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
