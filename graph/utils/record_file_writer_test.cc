#include "graph/utils/record_file_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "graph/utils/crc32c.h"
#include "testing/proto_bytes.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;

// Published CRC-32C check values (RFC 3720, appendix B.4, and "123456789");
// the framing below pins the masked form.
TEST(RecordFileWriterTest, Crc32cMatchesKnownCheckValues) {
  std::string ascending;
  for (int i = 0; i < 32; ++i) ascending.push_back(static_cast<char>(i));
  const std::pair<std::string, uint32_t> cases[] = {{"", 0u},
                                                    {"123456789", 0xE3069283u},
                                                    {std::string(32, '\xFF'), 0x62A8AB43u},
                                                    {ascending, 0x46DD794Eu}};
  for (const auto& [data, crc] : cases) EXPECT_EQ(Crc32c(data.data(), data.size()), crc) << data;
}

TEST(RecordFileWriterTest, FramesEachRecordWithLengthAndChecksums) {
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
  EXPECT_EQ(testing::ToHex(ReadFileOrEmpty(path)), framed);
  // An existing file is neither opened nor cut.
  std::unique_ptr<RecordFileWriter> again;
  EXPECT_EQ(RecordFileWriter::Create(path, &again).code(), error::ALREADY_EXISTS);
  EXPECT_EQ(testing::ToHex(ReadFileOrEmpty(path)), framed);
  const trace::Status missing = RecordFileWriter::Create(dir.Join("no/records"), &again);
  EXPECT_EQ(missing.error_message(),
            "failed to open log_file" + dir.Join("no/records") + ": No such file or directory");
  EXPECT_EQ(again, nullptr);
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
