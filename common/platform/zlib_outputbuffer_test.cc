#include "common/platform/zlib_outputbuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>
#include <numeric>
#include <random>
#include <tuple>

#include "testing/log_lines.h"
#include "testing/memory_file.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/trace_text.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
using ::zentrik::testing::LogLinesFrom;
using ::zentrik::testing::MemoryFile;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TraceLikeText;

constexpr char kCloseWarning[] =
    R"(WARNING:  common/platform/zlib_outputbuffer:[0-9]+\] ZlibOutputBuffer::Close\(\) not )"
    R"(called\. Possible data loss)";

ZlibCompressionOptions Options(int flush_mode, int window_bits = 31, int level = -1) {
  ZlibCompressionOptions options;
  options.flush_mode = static_cast<int8_t>(flush_mode);
  options.window_bits = static_cast<int8_t>(window_bits);
  options.compression_level = static_cast<int8_t>(level);
  return options;
}

// A file that inflates what it is given as it comes, keeping only the
// CRC-32 of the result.
class InflateChecker : public MemoryFile {
 public:
  explicit InflateChecker(int window_bits) { inflateInit2(&stream_, window_bits); }
  ~InflateChecker() override { inflateEnd(&stream_); }
  uint64_t inflated() const { return stream_.total_out; }

  Status Append(const std::string& data) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    while (!ended && !corrupt && (stream_.avail_in > 0 || stream_.avail_out == 0)) {
      stream_.next_out = buffer_;
      stream_.avail_out = sizeof(buffer_);
      const int code = inflate(&stream_, Z_NO_FLUSH);
      crc = crc32(crc, buffer_, sizeof(buffer_) - stream_.avail_out);
      ended = code == Z_STREAM_END;
      corrupt |= code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR;
    }
    return Status();
  }

  uLong crc = 0;
  bool ended = false, corrupt = false;

 private:
  z_stream stream_{};
  Bytef buffer_[1 << 20];
};

uLong Crc(const std::string& text) {
  return crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
}

// Whatever was appended can be read back after each Flush or Sync, and the
// whole text after Close, which leaves the file open.
TEST(ZlibOutputBufferTest, RoundTrips) {
  const std::vector<size_t> sizes = {3, 100, 1, 64, 65, 0, 500, 2, 63, 64, 1, 4096, 7, 129};
  const std::string text = TraceLikeText(std::accumulate(sizes.begin(), sizes.end(), size_t{0}));
  const std::tuple<int32_t, int32_t, int, int> cases[] = {
      // buffer sizes, flush, window bits
      {64, 32, Z_SYNC_FLUSH, 15},    {16, 2, Z_NO_FLUSH, -15},   {0, 64, Z_NO_FLUSH, 31},
      {64, 32, Z_PARTIAL_FLUSH, 31}, {64, 32, Z_FULL_FLUSH, 31}, {64, 7, Z_FULL_FLUSH, 31}};
  for (const auto& [input_bytes, output_bytes, flush_mode, window_bits] : cases) {
    auto file = std::make_unique<InflateChecker>(window_bits);
    ZlibOutputBuffer buffer(file.get(), input_bytes, output_bytes,
                            Options(flush_mode, window_bits));
    ASSERT_TRUE(buffer.Init().ok());
    for (size_t i = 0, offset = 0; i < sizes.size(); offset += sizes[i++]) {
      ASSERT_TRUE(buffer.Append(text.substr(offset, sizes[i])).ok()) << i;
      if (i % 2 == 1) {
        ASSERT_TRUE((i % 4 == 1 ? buffer.Flush() : buffer.Sync()).ok()) << i;
        EXPECT_EQ(file->inflated(), offset + sizes[i]) << window_bits << " " << i;
      }
    }
    ASSERT_TRUE(buffer.Close().ok());
    EXPECT_TRUE(file->ended && !file->corrupt && file->closes == 0);
    EXPECT_EQ(file->crc, Crc(text)) << window_bits;
  }
}

TEST(ZlibOutputBufferTest, BadSettingsAndCompressorErrors) {
  MemoryFile file;
  ZlibOutputBuffer bad_level(&file, 64, 64, Options(Z_NO_FLUSH, 31, 12));
  EXPECT_EQ(bad_level.Init(), errors::InvalidArgument("deflateInit failed with status"));
  // A partial flush after Z_FINISH ended the stream.
  ZlibOutputBuffer finished(&file, 16, 64, Options(Z_FINISH));
  ASSERT_TRUE(finished.Init().ok() && finished.Append(TraceLikeText(100)).ok());
  EXPECT_EQ(finished.Flush(), errors::DataLoss("deflate() failed with error -2:stream error"));
}

TEST(ZlibOutputBufferTest, OperationsOutsideTheOpenStateFailAndWriteNothing) {
  const Status small = errors::InvalidArgument("output_buffer_bytes should be greater than 1");
  const Status init_again =
      errors::FailedPrecondition("ZlibOutputBuffer::Init() may be called only once");
  // Of Append, Flush and Sync; of Close; of Init; whether destruction warns.
  const std::tuple<int, Status, Status, Status, bool> cases[] = {
      {1, errors::FailedPrecondition("ZlibOutputBuffer is not initialized"),
       errors::FailedPrecondition("ZlibOutputBuffer is not initialized"), init_again, false},
      {2, errors::FailedPrecondition("ZlibOutputBuffer is closed"), Status(), init_again, false},
      {3, Status(), Status(), init_again, true},  // open: Close not called
  };
  for (const auto& [state, expected, close, init, warns] : cases) {
    MemoryFile file;
    StderrCapture capture;
    {
      ZlibOutputBuffer buffer(&file, 64, state == 1 ? 1 : 64, Options(Z_NO_FLUSH));
      EXPECT_EQ(buffer.Init(), state == 1 ? small : Status());  // 1: a failed Init
      EXPECT_TRUE(state != 2 || buffer.Close().ok());
      const std::string written = file.contents;
      EXPECT_EQ(buffer.Append(TraceLikeText(1000)), expected);
      EXPECT_EQ(buffer.Flush(), expected);
      EXPECT_EQ(buffer.Sync(), expected);
      EXPECT_EQ(state == 3 ? close : buffer.Close(), close);
      EXPECT_EQ(buffer.Init(), init);
      EXPECT_TRUE(state == 3 || file.contents == written);
    }
    EXPECT_EQ(::testing::Matches(ContainsRegex(kCloseWarning))(capture.Stop()), warns) << state;
  }
}

// /dev/full fails every write that reaches it. A large append compressed
// straight from the caller's memory (here a temporary, gone before the next
// call) cannot be resumed: the stream stays failed, and dropping it warns.
TEST(ZlibOutputBufferTest, FailedLargeAppendLeavesTheStreamUnusable) {
  std::mt19937 random(3);
  std::string incompressible(1 << 20, '\0');
  for (char& byte : incompressible) byte = static_cast<char>(random());
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  const Status lost = errors::DataLoss("ZlibOutputBuffer lost data in an earlier failed append");
  StderrCapture capture;
  {
    ZlibOutputBuffer direct(file.get(), 64 << 10, 64 << 10, Options(Z_NO_FLUSH));
    ASSERT_TRUE(direct.Init().ok());
    EXPECT_EQ(direct.Append(std::string(incompressible)),
              errors::Unknown("/dev/full: No space left on device"));
    EXPECT_EQ(direct.Append("x"), lost);
    EXPECT_EQ(direct.Close(), lost);
  }
  EXPECT_THAT(capture.Stop(), ContainsRegex(kCloseWarning));
}

// One append just over 4 GiB (beyond both 2^31 and 2^32) round-trips whole; the
// input maps the same 16 MiB of text over and over.
TEST(ZlibOutputBufferTest, MultiGigabyteAppend) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot shadow a multi-GiB mapping; this test has no threads";
#endif
  constexpr size_t kPeriod = size_t{16} << 20, kTotal = kPeriod * 257;
  std::string pattern = TraceLikeText(kPeriod, 11);
  pattern.resize(kPeriod);
  const int fd = memfd_create("zentrik_pattern", 0);
  ASSERT_EQ(pwrite(fd, pattern.data(), kPeriod, 0), static_cast<ssize_t>(kPeriod));
  char* input = static_cast<char*>(
      mmap(nullptr, kTotal, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(input, MAP_FAILED);
  for (size_t offset = 0; offset < kTotal; offset += kPeriod) {
    ASSERT_NE(mmap(input + offset, kPeriod, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
  }
  auto checker = std::make_unique<InflateChecker>(31);
  ZlibOutputBuffer buffer(checker.get(), 256 << 10, 256 << 10, Options(Z_NO_FLUSH, 31, 1));
  ASSERT_TRUE(buffer.Init().ok());
  // A few bytes pending in the input buffer go first.
  ASSERT_TRUE(buffer.Append(pattern.substr(0, 5)).ok());
  ASSERT_TRUE(buffer.Append(input + 5, kTotal - 5).ok());
  ASSERT_TRUE(buffer.Close().ok());
  munmap(input, kTotal);
  close(fd);
  EXPECT_TRUE(checker->ended && !checker->corrupt);
  EXPECT_EQ(checker->inflated(), kTotal);
  uLong expected = 0, period_crc = Crc(pattern);
  for (size_t offset = 0; offset < kTotal; offset += kPeriod) {
    expected = crc32_combine(expected, period_crc, kPeriod);
  }
  EXPECT_EQ(checker->crc, expected);
}

// Closing a stream nothing was appended to still writes a whole gzip file.
TEST(ZlibOutputBufferTest, EmptyStreamIsAWholeFile) {
  auto file = std::make_unique<InflateChecker>(31);
  ZlibOutputBuffer buffer(file.get(), 64, 64, Options(Z_NO_FLUSH));
  ASSERT_TRUE(buffer.Init().ok() && buffer.Close().ok());
  EXPECT_TRUE(file->ended && !file->corrupt && file->inflated() == 0);
}

// One append compresses to exactly what one deflate call over the same bytes
// gives with the default settings and a gzip frame, which is how trace files
// are written.
TEST(ZlibOutputBufferTest, OutputEqualsOneShotDeflate) {
  for (const size_t size : {size_t{100}, size_t{300000}, size_t{5} << 20}) {
    const std::string text = TraceLikeText(size, 7);
    MemoryFile file;
    ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
    options.window_bits += 16;
    ZlibOutputBuffer buffer(&file, 256 << 10, 256 << 10, options);
    ASSERT_TRUE(buffer.Init().ok() && buffer.Append(text).ok() && buffer.Close().ok());
    const std::string expected = testing::GzipInOneCall(text);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(file.contents == expected) << size;
  }
}

// /dev/full takes the open and fails every write that reaches it; the C
// library's own buffer hides small writes until the file is flushed.
TEST(ZlibOutputBufferTest, WriteFailuresOfTheFilePassThrough) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  std::mt19937 random(3);
  std::string incompressible(512 << 10, '\0');
  for (char& byte : incompressible) byte = static_cast<char>(random());
  std::unique_ptr<WritableFile> file;
  StderrCapture capture;  // The stream left open warns when destroyed.
  // Bytes that cannot be written stay buffered: the stream stays usable.
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  ZlibOutputBuffer buffered(file.get(), 1 << 20, 64 << 10, Options(Z_NO_FLUSH));
  ASSERT_TRUE(buffered.Init().ok() && buffered.Append(incompressible).ok());
  EXPECT_EQ(buffered.Flush(), no_space);
  EXPECT_EQ(buffered.Sync(), no_space);
  EXPECT_EQ(buffered.Close(), no_space);
  EXPECT_TRUE(buffered.Append("more").ok());
  // A small stream fits the C library's buffer: the file's flush fails.
  std::unique_ptr<WritableFile> small_file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &small_file).ok());
  ZlibOutputBuffer small(small_file.get(), 64, 64, Options(Z_NO_FLUSH));
  ASSERT_TRUE(small.Init().ok() && small.Append("abc").ok());
  EXPECT_EQ(small.Flush(), no_space);
  EXPECT_TRUE(small.Close().ok());
  EXPECT_EQ(small_file->Close(), no_space);
}

// A file whose append, flush or sync fails.
class FailingFile : public MemoryFile {
 public:
  explicit FailingFile(const std::string& failing) : failing_(failing) {}
  Status Append(const std::string& data) override {
    return Result("append", MemoryFile::Append(data));
  }
  Status Flush() override { return Result("flush", MemoryFile::Flush()); }
  Status Sync() override { return Result("sync", MemoryFile::Sync()); }

 private:
  Status Result(const std::string& operation, const Status& status) const {
    return operation == failing_ ? errors::Unknown(operation + " failed") : status;
  }
  std::string failing_;
};

// Every error of the file reaches the caller of Flush, Sync and Close.
TEST(ZlibOutputBufferTest, FileErrorsReachFlushSyncAndClose) {
  const std::tuple<const char*, const char*, Status> cases[] = {
      // failing, called, result
      {"append", "flush", errors::Unknown("append failed")},
      {"flush", "flush", errors::Unknown("flush failed")},
      {"append", "sync", errors::Unknown("append failed")},
      {"flush", "sync", errors::Unknown("flush failed")},
      {"sync", "sync", errors::Unknown("sync failed")},
      {"sync", "flush", Status()},
      {"append", "close", errors::Unknown("append failed")},
  };
  for (const auto& [failing, called, expected] : cases) {
    FailingFile file(failing);
    StderrCapture capture;  // A buffer left open warns when destroyed.
    ZlibOutputBuffer buffer(&file, 64, 64, Options(Z_NO_FLUSH));
    ASSERT_TRUE(buffer.Init().ok() && buffer.Append("abc").ok());
    const std::string call = called;
    const Status status = call == "flush"  ? buffer.Flush()
                          : call == "sync" ? buffer.Sync()
                                           : buffer.Close();
    EXPECT_EQ(status.ToString(), expected.ToString()) << failing << " " << called;
  }
}

// A buffer dropped without a successful Close warns, also after a failed write; one closed, or
// whose Init failed, holds no stream and says nothing.
TEST(ZlibOutputBufferTest, DropWarnsUnlessClosed) {
  const std::vector<std::string> warning = {
      "WARNING ZlibOutputBuffer::Close() not called. Possible data loss"};
  const struct {
    const char* row;
    const char* failing;  // the file's operation that fails
    std::vector<std::string> calls;
    bool last_fails;
    bool warns;
    int32_t output_bytes = 64;  // below 2, Init fails
  } rows[] = {
      {"appended, never closed", "", {"init", "append"}, false, true},
      {"flushed, never closed", "", {"init", "append", "flush"}, false, true},
      {"never initialised", "", {"append"}, true, true},
      {"append reaching the file failed", "append", {"init", "large append"}, true, true},
      {"flush failed", "flush", {"init", "append", "flush"}, true, true},
      {"sync failed", "sync", {"init", "append", "sync"}, true, true},
      {"close failed", "append", {"init", "append", "close"}, true, true},
      {"a failed flush, then an append", "flush", {"init", "flush", "append"}, false, true},
      {"closed", "", {"init", "append", "close"}, false, false},
      {"init failed", "", {"init"}, true, false, 1},
  };
  std::mt19937 random(3);
  std::string incompressible(256 << 10, '\0');  // deflate writes some of it out at once
  for (char& byte : incompressible) byte = static_cast<char>(random());
  for (const auto& row : rows) {
    FailingFile file(row.failing);
    StderrCapture capture;
    {
      ZlibOutputBuffer buffer(&file, 64, row.output_bytes, Options(Z_NO_FLUSH));
      Status last;
      for (const std::string& call : row.calls) {
        last = call == "init"           ? buffer.Init()
               : call == "append"       ? buffer.Append("abc")
               : call == "large append" ? buffer.Append(incompressible)
               : call == "flush"        ? buffer.Flush()
               : call == "sync"         ? buffer.Sync()
                                        : buffer.Close();
      }
      EXPECT_EQ(last.ok(), !row.last_fails) << row.row << ": " << last.ToString();
    }
    EXPECT_EQ(LogLinesFrom(capture.Stop(), "common/platform/zlib_outputbuffer"),
              row.warns ? warning : std::vector<std::string>())
        << row.row;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
