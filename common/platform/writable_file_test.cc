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
  EXPECT_TRUE(file->Append(std::string("hello\0\n", 7)).ok() && file->Flush().ok());
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n", 7));
  EXPECT_TRUE(file->Append("!").ok() && file->Tell(&position).ok() && file->Close().ok());
  const Status bad_fd = errors::Unknown(path + ": Bad file descriptor");
  for (const Status& status : {file->Close(), file->Append("x"), file->Flush(), file->Sync(),
                               file->Tell(&position)}) {
    EXPECT_EQ(status, bad_fd);
  }
  EXPECT_EQ(position, 8);
  EXPECT_EQ(ReadFileOrEmpty(path), std::string("hello\0\n!", 8));
}

// Open failures name the path and leave the result alone; /dev/full takes
// the open and fails the write that reaches it.
TEST(WritableFileTest, FailuresNameThePathAndTheSystemsReason) {
  testing::TempDir dir;
  const std::string bad = dir.Join("bad/out");
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  EXPECT_EQ(WriteStringToFile("/dev/full", std::string(1 << 20, 'x')), no_space);
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  WritableFile* const held = file.get();
  EXPECT_EQ(NewWritableFile(bad, &file), errors::Unknown(bad + ": No such file or directory"));
  EXPECT_EQ(file.get(), held);
  EXPECT_TRUE(file->Append("small").ok());  // Only fills the C library's buffer.
  EXPECT_EQ(file->Close(), no_space);
}

// /dev/full takes the open and fails every write that reaches it: the error
// comes from whichever call makes the C library write, the close included.
TEST(WritableFileTest, WriteFailuresOnAFullDevice) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  const std::string large(1 << 20, 'x');  // Larger than the C library's buffer.
  const std::pair<const char*, std::function<Status(WritableFile*)>> cases[] = {
      {"flush", [](WritableFile* f) { return f->Flush(); }},
      {"sync", [](WritableFile* f) { return f->Sync(); }},
      {"close", [](WritableFile* f) { return f->Close(); }},
      {"large append", [&](WritableFile* f) { return f->Append(large); }},
  };
  for (const auto& [label, operation] : cases) {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
    EXPECT_TRUE(file->Append("small").ok()) << label;
    EXPECT_EQ(operation(file.get()), no_space) << label;
  }
  // A small file reaches the device only when it is closed.
  EXPECT_EQ(WriteStringToFile("/dev/full", "x"), no_space);
}

TEST(WritableFileTest, NameIsThePathOpened) {
  testing::TempDir dir;
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile(dir.Join("named"), &file).ok());
  std::string name;
  EXPECT_TRUE(file->Name(&name).ok() && file->Close().ok());
  EXPECT_EQ(name, dir.Join("named"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
