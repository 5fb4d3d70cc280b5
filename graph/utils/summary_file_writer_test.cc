#include "graph/utils/summary_file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
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

using ::zentrik::testing::TempDir;

std::unique_ptr<Event> StepEvent(int64_t step) {
  auto event = std::make_unique<Event>();
  event->set_step(step);
  return event;
}

// The steps of the events in an event file, whose framing must hold.
std::vector<int64_t> StepsInFile(const std::string& path) {
  std::vector<std::string> records;
  std::string error;
  EXPECT_TRUE(testing::ReadEventRecords(testing::ReadFileOrEmpty(path), &records, &error)) << error;
  std::vector<int64_t> steps;
  for (const std::string& record : records) {
    Event event;
    EXPECT_TRUE(event.ParseFromString(record));
    steps.push_back(event.step());
  }
  return steps;
}

uint64_t MonotonicSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Named after the monotonic clock and the host; names in use, by earlier
// writers of the same second or by anything else, are skipped and never opened.
TEST(SummaryFileWriterTest, InitTakesTheFirstFreeNameOfTheClockAndHost) {
  TempDir dir;
  const std::string prefix = dir.Join("a/b/events.out.tfevents.");
  const std::string suffix = "." + trace::Env::Default()->GetHostName();
  const uint64_t before = MonotonicSeconds();
  SummaryFileWriter first(1, 1);
  ASSERT_TRUE(first.Init(dir.Join("a/b")).ok());
  const std::string path = first.filename();
  ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
  ASSERT_EQ(path.substr(path.size() - suffix.size()), suffix) << path;
  const uint64_t seconds = std::stoull(path.substr(prefix.size()));
  EXPECT_TRUE(seconds >= before && seconds <= MonotonicSeconds()) << path;
  for (uint64_t s = seconds + 1; s <= seconds + 50; ++s) {
    ASSERT_EQ(mkdir((prefix + std::to_string(s) + suffix).c_str(), 0755), 0);
  }
  SummaryFileWriter second(1, 1), third(1, 1);
  ASSERT_TRUE(second.Init(dir.Join("a/b")).ok() && third.Init(dir.Join("a/b")).ok());
  EXPECT_EQ(std::stoull(second.filename().substr(prefix.size())), seconds + 51);
  EXPECT_EQ(std::stoull(third.filename().substr(prefix.size())), seconds + 52);
  EXPECT_EQ(testing::ListEventFiles(dir.Join("a/b")).size(), 53u);
  SummaryFileWriter unnamed(1, 1);
  EXPECT_EQ(unnamed.Init("").code(), error::INVALID_ARGUMENT);
  EXPECT_EQ(unnamed.filename(), "");
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
