#include "common/platform/writable_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;

TEST(WritableFileTest, WritesTruncatesAndFailsWithBadFileDescriptorAfterClose) {
  testing::TempDir dir;
  const std::string path = dir.Join("out");
  ASSERT_TRUE(WriteStringToFile(path, "old contents").ok());
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile(path, &file).ok());
  int64_t position = -1;
  EXPECT_TRUE(file->Append(std::string("hello\0\n", 7)).ok() && file->Tell(&position).ok());
  EXPECT_EQ(position, 7);
  EXPECT_TRUE(file->Flush().ok());
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n", 7));
  EXPECT_TRUE(file->Append("!").ok() && file->Sync().ok() && file->Close().ok());
  const Status bad_fd = errors::Unknown(path + ": Bad file descriptor");
  for (const Status& status : {file->Close(), file->Append("x"), file->Flush(), file->Sync(),
                               file->Tell(&position)}) {
    EXPECT_EQ(status, bad_fd);
  }
  std::string name;
  EXPECT_TRUE(file->Name(&name).ok());
  EXPECT_EQ(name + " " + std::to_string(position), path + " 7");
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n!", 8));
}

// Open failures name the path and leave the result alone; /dev/full takes
// the open and fails every write that reaches it.
TEST(WritableFileTest, FailuresNameThePathAndTheSystemsReason) {
  testing::TempDir dir;
  ASSERT_TRUE(WriteStringToFile(dir.Join("file"), "x").ok());
  const std::string large(1 << 20, 'x');  // Larger than the C library's buffer.
  const std::pair<std::string, const char*> cases[] = {
      {dir.Join("missing/out"), "No such file or directory"},
      {dir.Join("file/out"), "Not a directory"},
      {dir.path(), "Is a directory"},
      {"/dev/full", "No space left on device"}};
  for (const auto& [path, reason] : cases) {
    const Status expected = errors::Unknown(path + ": " + reason);
    EXPECT_EQ(WriteStringToFile(path, large), expected);
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(NewWritableFile(dir.Join("held"), &file).ok());
    WritableFile* const held = file.get();
    if (path != "/dev/full") {
      EXPECT_EQ(NewWritableFile(path, &file), expected);
      EXPECT_EQ(file.get(), held);
      continue;
    }
    const std::function<Status(WritableFile*)> operations[] = {
        [](WritableFile* f) { return f->Flush(); }, [](WritableFile* f) { return f->Close(); },
        [&](WritableFile* f) { return f->Append(large); }};
    for (const auto& operation : operations) {
      ASSERT_TRUE(NewWritableFile(path, &file).ok());
      EXPECT_TRUE(file->Append("small").ok());  // Only fills the C library's buffer.
      EXPECT_EQ(operation(file.get()), expected);
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
