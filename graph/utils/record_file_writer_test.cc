#include "graph/utils/record_file_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "testing/event_file.h"
#include "testing/proto_bytes.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::ToHex;

TEST(RecordFileWriterTest, FramesEachRecordWithLengthAndChecksums) {
  TempDir dir;
  const std::string path = dir.Join("records");
  {
    RecordFileWriter writer(path);
    ASSERT_TRUE(writer.WriteRecord("abc").ok());
    ASSERT_TRUE(writer.WriteRecord("").ok());
  }
  EXPECT_EQ(ToHex(ReadFileOrEmpty(path)),
            "03 00 00 00 00 00 00 00 b0 99 49 0e 61 62 63 6e 57 f1 21 "
            "00 00 00 00 00 00 00 00 29 03 98 07 d8 ea 82 a2");
}

TEST(RecordFileWriterTest, LongDataReadsBackThroughTheReader) {
  TempDir dir;
  const std::string path = dir.Join("records");
  const std::string data(70000, '\x5a');
  {
    RecordFileWriter writer(path);
    ASSERT_TRUE(writer.WriteRecord(data).ok());
  }
  std::vector<std::string> records;
  std::string error;
  ASSERT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(path), &records, &error)) << error;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], data);
}

TEST(RecordFileWriterTest, TruncatesAnExistingFile) {
  TempDir dir;
  const std::string path = dir.Join("records");
  { RecordFileWriter(path).WriteRecord("first").ok(); }
  { RecordFileWriter writer(path); }
  EXPECT_EQ(ReadFileOrEmpty(path), "");
}

TEST(RecordFileWriterTest, UnopenableFileThrowsNamingThePath) {
  TempDir dir;
  const std::string path = dir.Join("missing/records");
  try {
    RecordFileWriter writer(path);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "failed to open log_file" + path);
  }
}

TEST(RecordFileWriterTest, FailedWriteIsReported) {
  RecordFileWriter writer("/dev/full");
  const trace::Status status = writer.WriteRecord("abc");
  EXPECT_EQ(status.code(), error::UNKNOWN);
  EXPECT_EQ(status.error_message(), "failed to write log_file/dev/full");
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
