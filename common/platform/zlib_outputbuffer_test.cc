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

#include "testing/memory_file.h"
#include "testing/stderr_capture.h"
#include "testing/trace_text.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
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

// Appends of `sizes` (Flush or Sync after every second one with
// `flush_every`): whatever was appended can be read back at each flush, and
// the whole text after Close, which leaves the file open.
TEST(ZlibOutputBufferTest, RoundTrips) {
  const std::vector<size_t> mixed = {3, 100, 1, 64, 65, 0, 500, 2, 63, 64, 1, 4096, 7, 129};
  const std::tuple<int32_t, int32_t, int, int, std::vector<size_t>, bool> cases[] = {
      {64, 32, Z_NO_FLUSH, 31, {1000, 5000, 70000, 64, 3}, false},  // larger than both buffers
      {64, 32, Z_SYNC_FLUSH, 15, mixed, true},                      // zlib framing
      {16, 2, Z_NO_FLUSH, -15, mixed, true},                        // raw, smallest output buffer
      {0, 64, Z_NO_FLUSH, 31, mixed, false},                        // no input buffer
      {256 << 10, 256 << 10, Z_NO_FLUSH, 31, {3 << 20, 17, 1 << 20, 300000}, false},
  };
  for (const auto& [input_bytes, output_bytes, flush_mode, window_bits, sizes, flush] : cases) {
    SCOPED_TRACE(::testing::Message() << input_bytes << " " << output_bytes << " " << window_bits);
    const std::string text = TraceLikeText(std::accumulate(sizes.begin(), sizes.end(), size_t{0}));
    auto file = std::make_unique<InflateChecker>(window_bits);
    ZlibOutputBuffer buffer(file.get(), input_bytes, output_bytes, Options(flush_mode, window_bits));
    ASSERT_TRUE(buffer.Init().ok());
    size_t offset = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
      ASSERT_TRUE(buffer.Append(text.substr(offset, sizes[i])).ok()) << i;
      offset += sizes[i];
      if (flush && i % 2 == 1) {
        ASSERT_TRUE((i % 4 == 1 ? buffer.Flush() : buffer.Sync()).ok()) << i;
        EXPECT_EQ(file->inflated(), offset) << i;
      }
    }
    ASSERT_TRUE(buffer.Close().ok());
    EXPECT_TRUE(file->ended && !file->corrupt && file->closes == 0);
    EXPECT_EQ(file->inflated(), text.size());
    EXPECT_EQ(file->crc, Crc(text));
  }
}

TEST(ZlibOutputBufferTest, BadSettingsAndCompressorErrors) {
  const Status small = errors::InvalidArgument("output_buffer_bytes should be greater than 1");
  const Status bad_init = errors::InvalidArgument("deflateInit failed with status");
  const std::tuple<int32_t, int, int, Status> cases[] = {
      {1, 31, -1, small}, {-5, 31, -1, small}, {64, 99, -1, bad_init}, {64, 31, 12, bad_init}};
  MemoryFile file;
  for (const auto& [output_bytes, window_bits, level, expected] : cases) {
    ZlibOutputBuffer buffer(&file, 64, output_bytes, Options(Z_NO_FLUSH, window_bits, level));
    EXPECT_EQ(buffer.Init(), expected) << output_bytes << " " << window_bits << " " << level;
  }
  // A flush value zlib does not know; a partial flush after Z_FINISH ended
  // the stream.
  ZlibOutputBuffer unknown_flush(&file, 16, 64, Options(42));
  ASSERT_TRUE(unknown_flush.Init().ok());
  EXPECT_EQ(unknown_flush.Append(TraceLikeText(100)),
            errors::DataLoss("deflate() failed with error -2"));
  EXPECT_TRUE(unknown_flush.Close().ok());
  ZlibOutputBuffer finished(&file, 16, 64, Options(Z_FINISH));
  ASSERT_TRUE(finished.Init().ok());
  EXPECT_TRUE(finished.Append(TraceLikeText(100)).ok());
  EXPECT_EQ(finished.Flush(), errors::DataLoss("deflate() failed with error -2:stream error"));
  EXPECT_TRUE(finished.Close().ok());
}

TEST(ZlibOutputBufferTest, OperationsOutsideTheOpenStateFailAndWriteNothing) {
  const Status not_initialized = errors::FailedPrecondition("ZlibOutputBuffer is not initialized");
  const Status closed = errors::FailedPrecondition("ZlibOutputBuffer is closed");
  const Status init_again =
      errors::FailedPrecondition("ZlibOutputBuffer::Init() may be called only once");
  // Of Append, Flush and Sync; of Close; of Init; whether destruction warns.
  const std::tuple<int, Status, Status, Status, bool> cases[] = {
      {0, not_initialized, not_initialized, Status(), true},      // never initialized
      {1, not_initialized, not_initialized, init_again, false},   // failed Init
      {2, closed, Status(), init_again, false},                   // closed
      {3, Status(), Status(), init_again, true},                  // open: Close not called
  };
  for (const auto& [state, expected, close, init, warns] : cases) {
    MemoryFile file;
    StderrCapture capture;
    std::string before_destruction;
    {
      ZlibOutputBuffer buffer(&file, 64, 64, Options(Z_NO_FLUSH, state == 1 ? 99 : 31));
      EXPECT_EQ(state == 0 || buffer.Init().ok(), state != 1);
      EXPECT_TRUE(state != 2 || buffer.Close().ok());
      const std::string written = file.contents;
      EXPECT_EQ(buffer.Append("x"), expected);
      EXPECT_EQ(buffer.Append(TraceLikeText(1000)), expected);
      EXPECT_EQ(buffer.Flush(), expected);
      EXPECT_EQ(buffer.Sync(), expected);
      EXPECT_EQ(state == 3 ? close : buffer.Close(), close);
      EXPECT_EQ(buffer.Init(), init);
      EXPECT_TRUE(state == 3 || file.contents == written);
      before_destruction = file.contents;
    }
    EXPECT_EQ(file.contents, before_destruction) << state;
    EXPECT_EQ(::testing::Matches(ContainsRegex(kCloseWarning))(capture.Stop()), warns) << state;
  }
}

// /dev/full takes the open and fails every write that reaches it. Bytes that
// could not be written stay buffered, so a retry may succeed; but a large
// append compressed straight from the caller's memory (here a temporary,
// gone before the next call) cannot be resumed.
TEST(ZlibOutputBufferTest, WriteFailuresOfTheFile) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  const Status lost = errors::DataLoss("ZlibOutputBuffer lost data in an earlier failed append");
  std::mt19937 random(3);
  std::string incompressible(1 << 20, '\0');
  for (char& byte : incompressible) byte = static_cast<char>(random());
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  ZlibOutputBuffer buffered(file.get(), 1 << 20, 64 << 10, Options(Z_NO_FLUSH));
  ASSERT_TRUE(buffered.Init().ok());
  EXPECT_TRUE(buffered.Append(incompressible.substr(0, 512 << 10)).ok());
  EXPECT_EQ(buffered.Flush(), no_space);
  EXPECT_EQ(buffered.Sync(), no_space);
  EXPECT_EQ(buffered.Close(), no_space);
  EXPECT_TRUE(buffered.Append("more").ok());
  StderrCapture capture;
  {
    ZlibOutputBuffer direct(file.get(), 64 << 10, 64 << 10, Options(Z_NO_FLUSH));
    ASSERT_TRUE(direct.Init().ok());
    EXPECT_EQ(direct.Append(std::string(incompressible)), no_space);
    EXPECT_EQ(direct.Append("x"), lost);
    EXPECT_EQ(direct.Flush(), lost);
    EXPECT_EQ(direct.Close(), lost);
  }
  EXPECT_THAT(capture.Stop(), ContainsRegex(kCloseWarning));
}

// One append of 4.5 GiB (beyond both 2^31 and 2^32) round-trips whole; the
// input maps the same 16 MiB of numbered 4 KiB blocks over and over.
TEST(ZlibOutputBufferTest, MultiGigabyteAppend) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot shadow a multi-GiB mapping; this test has no threads";
#endif
  constexpr size_t kPeriod = size_t{16} << 20, kTotal = kPeriod * 288;
  const std::string excerpt = TraceLikeText(4096 - 9, 11);
  std::string pattern;
  char number[10];
  for (size_t block = 0; pattern.size() < kPeriod; ++block) {
    snprintf(number, sizeof(number), "%08zu\n", block);
    pattern += number + excerpt;
  }
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
  uLong expected = 0;
  const uLong period_crc = Crc(pattern);
  for (size_t offset = 0; offset < kTotal; offset += kPeriod) {
    expected = crc32_combine(expected, period_crc, kPeriod);
  }
  EXPECT_EQ(checker->crc, expected);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
