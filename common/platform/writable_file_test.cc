#include "common/platform/writable_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;

std::unique_ptr<WritableFile> OpenOrDie(const std::string& path) {
  std::unique_ptr<WritableFile> file;
  const Status status = NewWritableFile(path, &file);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return file;
}

TEST(WritableFileTest, WritesTellsAndTruncates) {
  TempDir dir;
  const std::string path = dir.Join("out.txt");
  ASSERT_TRUE(WriteStringToFile(path, "old contents").ok());
  std::unique_ptr<WritableFile> file = OpenOrDie(path);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Append(std::string("hello\0\n", 7)).ok());
  int64_t position = -1;
  EXPECT_TRUE(file->Tell(&position).ok());
  EXPECT_EQ(position, 7);
  EXPECT_TRUE(file->Flush().ok());
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n", 7));
  EXPECT_TRUE(file->Append("!").ok());
  EXPECT_TRUE(file->Sync().ok());
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n!", 8));
  // Replacing the object destroys, and so closes, the first file.
  ASSERT_TRUE(NewWritableFile(dir.Join("second"), &file).ok());
  std::string name;
  ASSERT_TRUE(file->Name(&name).ok());
  EXPECT_EQ(name, dir.Join("second"));
  EXPECT_TRUE(file->Close().ok());
}

TEST(WritableFileTest, EveryOperationAfterCloseFailsWithBadFileDescriptor) {
  TempDir dir;
  const std::string path = dir.Join("closed");
  std::unique_ptr<WritableFile> file = OpenOrDie(path);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Append("kept").ok());
  ASSERT_TRUE(file->Close().ok());
  const Status bad_fd = errors::Unknown(path + ": Bad file descriptor");
  int64_t position = 7;
  EXPECT_EQ(file->Close(), bad_fd);
  EXPECT_EQ(file->Append("x"), bad_fd);
  EXPECT_EQ(file->Flush(), bad_fd);
  EXPECT_EQ(file->Sync(), bad_fd);
  EXPECT_EQ(file->Tell(&position), bad_fd);
  EXPECT_EQ(position, 7);
  std::string name;
  EXPECT_TRUE(file->Name(&name).ok());
  EXPECT_EQ(name, path);
  EXPECT_EQ(ReadFileOrEmpty(path), "kept");
}

TEST(WritableFileTest, OpenFailuresNameThePathAndLeaveTheResult) {
  TempDir dir;
  ASSERT_TRUE(WriteStringToFile(dir.Join("file"), "x").ok());
  const struct {
    std::string path;
    const char* system_text;
  } cases[] = {
      {dir.Join("missing/out"), "No such file or directory"},
      {dir.Join("file/out"), "Not a directory"},
      {dir.path(), "Is a directory"},
  };
  for (const auto& c : cases) {
    const Status expected = errors::Unknown(c.path + ": " + c.system_text);
    std::unique_ptr<WritableFile> file = OpenOrDie(dir.Join("held"));
    WritableFile* const held = file.get();
    EXPECT_EQ(NewWritableFile(c.path, &file), expected);
    EXPECT_EQ(file.get(), held);
    EXPECT_EQ(WriteStringToFile(c.path, "data"), expected);
  }
}

// /dev/full accepts the open and fails every write that reaches it.
TEST(WritableFileTest, WriteFailuresOnAFullDevice) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  const std::string large(1 << 20, 'x');  // Larger than the C library's buffer.
  const struct {
    const char* label;
    std::function<Status(WritableFile*)> operation;
  } cases[] = {
      {"flush", [](WritableFile* f) { return f->Flush(); }},
      {"close", [](WritableFile* f) { return f->Close(); }},
      {"large append", [&](WritableFile* f) { return f->Append(large); }},
  };
  for (const auto& c : cases) {
    std::unique_ptr<WritableFile> file = OpenOrDie("/dev/full");
    ASSERT_NE(file, nullptr);
    // A small append only fills the C library's buffer.
    EXPECT_TRUE(file->Append("small").ok()) << c.label;
    EXPECT_EQ(c.operation(file.get()), no_space) << c.label;
  }
  EXPECT_EQ(WriteStringToFile("/dev/full", large), no_space);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
