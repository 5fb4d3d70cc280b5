#include "graph/utils/summary_file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "graph/utils/crc32c.h"
#include "graph/utils/record_file_writer.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/proto_bytes.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::TempDir;

TEST(RecordFileWriterTest, FramesEachRecordWithLengthAndChecksums) {
  EXPECT_EQ(Crc32c("123456789", 9), 0xE3069283u);  // The published check value.
  testing::TempDir dir;
  const std::string path = dir.Join("records");
  {
    std::unique_ptr<RecordFileWriter> writer;
    ASSERT_TRUE(RecordFileWriter::Create(path, &writer).ok());
    ASSERT_TRUE(writer->WriteRecord("abc").ok());
    ASSERT_TRUE(writer->WriteRecord("").ok());
  }
  const std::string framed =
      "03 00 00 00 00 00 00 00 b0 99 49 0e 61 62 63 6e 57 f1 21 "
      "00 00 00 00 00 00 00 00 29 03 98 07 d8 ea 82 a2";
  EXPECT_EQ(testing::ToHex(testing::ReadFileOrEmpty(path)), framed);
  // An existing file is neither opened nor cut.
  std::unique_ptr<RecordFileWriter> again;
  EXPECT_EQ(RecordFileWriter::Create(path, &again).code(), error::ALREADY_EXISTS);
  EXPECT_EQ(testing::ToHex(testing::ReadFileOrEmpty(path)), framed);
  const trace::Status missing = RecordFileWriter::Create(dir.Join("no/records"), &again);
  EXPECT_EQ(missing.error_message(),
            "failed to open log_file" + dir.Join("no/records") + ": No such file or directory");
  EXPECT_EQ(again, nullptr);
}

// Named after the clock and the host; names in use, by an earlier
// writer of the same second or by anything else, are skipped and never opened.
TEST(SummaryFileWriterTest, InitTakesTheFirstFreeNameOfTheClockAndHost) {
  TempDir dir;
  const std::string prefix = dir.Join("a/b/events.out.tfevents.");
  const std::string suffix = "." + trace::Env::Default()->GetHostName();
  SummaryFileWriter first(1, 1), second(1, 1), unnamed(1, 1);
  ASSERT_TRUE(first.Init(dir.Join("a/b")).ok());
  const std::string path = first.filename();
  ASSERT_EQ(path.substr(0, prefix.size()) + path.substr(path.size() - suffix.size()),
            prefix + suffix);
  const uint64_t seconds = std::stoull(path.substr(prefix.size()));
  ASSERT_EQ(mkdir((prefix + std::to_string(seconds + 1) + suffix).c_str(), 0755), 0);
  ASSERT_TRUE(second.Init(dir.Join("a/b")).ok());
  EXPECT_EQ(std::stoull(second.filename().substr(prefix.size())), seconds + 2);
  EXPECT_EQ(testing::ListDirectory(dir.Join("a/b")).size(), 3u);
  EXPECT_EQ(unnamed.Init("").code(), error::INVALID_ARGUMENT);
  EXPECT_EQ(unnamed.filename(), "");
}

// Each writer's events stay in order and none is lost.
TEST(SummaryFileWriterTest, ConcurrentWritersLoseNoEvent) {
  TempDir dir;
  SummaryFileWriter writer(3, 1000 * 1000);
  ASSERT_TRUE(writer.Init(dir.path()).ok());
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 50;  // 200 events in all.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        auto event = std::make_unique<Event>();
        event->set_step(t * kEventsPerThread + i);
        writer.WriteEvent(std::move(event)).ok();
        if (i % 10 == 0) writer.Flush().ok();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(writer.Flush().ok());
  std::vector<std::string> records;  // Read as TensorBoard reads them.
  std::string error;
  ASSERT_TRUE(
      testing::ReadEventRecords(testing::ReadFileOrEmpty(writer.filename()), &records, &error))
      << error;
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kEventsPerThread));
  std::vector<int64_t> last(kThreads, -1);
  for (const std::string& record : records) {
    Event event;
    ASSERT_TRUE(event.ParseFromString(record) && event.step() >= 0 && event.step() < 200);
    EXPECT_GT(event.step(), last[event.step() / kEventsPerThread]) << "out of order";
    last[event.step() / kEventsPerThread] = event.step();
  }
}

std::unique_ptr<Event> StepEvent(int64_t step) {
  auto event = std::make_unique<Event>();
  event->set_step(step);
  return event;
}

// The steps of the events in the file at `path`, in file order.
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

// Queued events reach the file, in order, when the queue overflows, when the
// flush interval has passed, and when the writer goes; events written before
// Init wait for the file.
TEST(SummaryFileWriterTest, QueuedEventsReachTheFileInOrder) {
  TempDir dir;
  {
    SummaryFileWriter writer(1, 1000 * 1000);  // Only the queue limit flushes.
    ASSERT_TRUE(writer.Init(dir.Join("queue")).ok());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(7)).ok());
    EXPECT_TRUE(StepsInFile(writer.filename()).empty());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(8)).ok());
    EXPECT_EQ(StepsInFile(writer.filename()), (std::vector<int64_t>{7, 8}));
  }
  {
    SummaryFileWriter writer(100, 1);
    ASSERT_TRUE(writer.Init(dir.Join("interval")).ok());
    usleep(5000);  // Past the one-millisecond interval.
    ASSERT_TRUE(writer.WriteEvent(StepEvent(3)).ok());
    EXPECT_EQ(StepsInFile(writer.filename()), (std::vector<int64_t>{3}));
  }
  std::string path;
  {
    SummaryFileWriter writer(100, 1000 * 1000);
    ASSERT_TRUE(writer.Init(dir.Join("destroyed")).ok());
    ASSERT_TRUE(writer.WriteEvent(StepEvent(1)).ok() && writer.WriteEvent(StepEvent(2)).ok());
    path = writer.filename();
  }
  EXPECT_EQ(StepsInFile(path), (std::vector<int64_t>{1, 2}));
  SummaryFileWriter early(0, 1000 * 1000);
  // The queue overflows at once, but there is no file to write to yet.
  EXPECT_EQ(early.WriteEvent(StepEvent(5)).ToString(),
            "Failed precondition: Class was not properly initialized.");
  ASSERT_TRUE(early.Init(dir.Join("early")).ok() && early.Flush().ok());
  EXPECT_EQ(StepsInFile(early.filename()), (std::vector<int64_t>{5}));
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

}  // namespace
}  // namespace graph
}  // namespace zentrik
