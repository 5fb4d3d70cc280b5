#include "common/platform/zlib_outputbuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <functional>
#include <numeric>
#include <random>

#include "testing/memory_file.h"
#include "testing/stderr_capture.h"
#include "testing/trace_text.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
using ::testing::Not;
using ::zentrik::testing::MemoryFile;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TraceLikeText;

constexpr char kCloseWarning[] =
    R"(WARNING:  common/platform/zlib_outputbuffer:[0-9]+\] ZlibOutputBuffer::Close\(\) not )"
    R"(called\. Possible data loss)";
const Status kNoSpace = errors::Unknown("/dev/full: No space left on device");

ZlibCompressionOptions Options(int flush_mode, int window_bits = MAX_WBITS + 16) {
  ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
  options.flush_mode = static_cast<int8_t>(flush_mode);
  options.window_bits = static_cast<int8_t>(window_bits);
  return options;
}

// Everything up to the stream's end, or all that a truncated stream yields;
// `complete` when the end (and, for gzip, a valid trailer) was read.
std::string Inflate(const std::string& compressed, int window_bits, bool* complete = nullptr) {
  std::string data;
  z_stream stream{};
  if (inflateInit2(&stream, window_bits) != Z_OK) return "";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  char buffer[1 << 16];
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    code = inflate(&stream, Z_SYNC_FLUSH);
    data.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  if (complete != nullptr) *complete = code == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return data;
}

TEST(ZlibOutputBufferTest, RoundTrips) {
  const std::vector<size_t> mixed = {3, 100, 1, 64, 65, 0, 500, 2, 63, 64, 1, 4096, 7, 129};
  const struct {
    const char* label;
    int32_t input_bytes, output_bytes;
    int flush_mode, window_bits;
    std::vector<size_t> appends;
    int flush_every;  // Flush (odd calls) or Sync (even) after this many appends; 0: never.
  } cases[] = {
      {"larger than both buffers", 64, 32, Z_NO_FLUSH, 31, {1000, 5000, 70000, 64, 3}, 0},
      {"flush calls, zlib framing", 64, 32, Z_SYNC_FLUSH, 15, mixed, 2},
      {"smallest output buffer", 16, 2, Z_NO_FLUSH, 31, mixed, 3},
      {"no input buffer", 0, 64, Z_NO_FLUSH, 31, mixed, 0},
      {"raw deflate", 128, 128, Z_NO_FLUSH, -15, mixed, 0},
      {"megabytes", 256 << 10, 256 << 10, Z_NO_FLUSH, 31, {3 << 20, 17, 1 << 20, 300000}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string text =
        TraceLikeText(std::accumulate(c.appends.begin(), c.appends.end(), size_t{0}));
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, c.input_bytes, c.output_bytes,
                            Options(c.flush_mode, c.window_bits));
    ASSERT_TRUE(buffer.Init().ok());
    size_t offset = 0;
    for (size_t i = 0; i < c.appends.size(); ++i) {
      ASSERT_TRUE(buffer.Append(text.substr(offset, c.appends[i])).ok()) << i;
      offset += c.appends[i];
      if (c.flush_every != 0 && (i + 1) % c.flush_every == 0) {
        ASSERT_TRUE((i % 2 == 0 ? buffer.Flush() : buffer.Sync()).ok()) << i;
        // Everything appended so far can be read back already.
        EXPECT_EQ(Inflate(file.contents, c.window_bits), text.substr(0, offset)) << i;
      }
    }
    ASSERT_TRUE(buffer.Close().ok());
    EXPECT_EQ(file.closes, 0);
    bool complete = false;
    EXPECT_TRUE(Inflate(file.contents, c.window_bits, &complete) == text);
    EXPECT_TRUE(complete);
  }
}

// A single append compresses to exactly what one deflate call over the same
// bytes with the same settings gives.
TEST(ZlibOutputBufferTest, OutputEqualsOneShotDeflate) {
  for (const size_t size : {size_t{100}, size_t{5} << 20}) {
    const std::string text = TraceLikeText(size, 7);
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, 256 << 10, 256 << 10, Options(Z_NO_FLUSH));
    ASSERT_TRUE(buffer.Init().ok());
    ASSERT_TRUE(buffer.Append(text).ok());
    ASSERT_TRUE(buffer.Close().ok());

    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY),
              Z_OK);
    std::string expected(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(expected.data());
    stream.avail_out = static_cast<uInt>(expected.size());
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    expected.resize(stream.total_out);
    deflateEnd(&stream);
    EXPECT_TRUE(file.contents == expected) << size;
  }
}

TEST(ZlibOutputBufferTest, InitRejectsBadSettings) {
  const Status small_output =
      errors::InvalidArgument("output_buffer_bytes should be greater than 1");
  const Status bad_init = errors::InvalidArgument("deflateInit failed with status");
  const struct {
    int32_t output_bytes;
    int window_bits, level;
    Status expected;
  } cases[] = {{1, 31, -1, small_output}, {-5, 31, -1, small_output}, {64, 99, -1, bad_init},
               {64, 31, 12, bad_init}};
  for (const auto& c : cases) {
    ZlibCompressionOptions options = Options(Z_NO_FLUSH, c.window_bits);
    options.compression_level = static_cast<int8_t>(c.level);
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, 64, c.output_bytes, options);
    EXPECT_EQ(buffer.Init(), c.expected) << c.output_bytes << " " << c.window_bits << " " << c.level;
  }
}

TEST(ZlibOutputBufferTest, OperationsOutsideTheOpenStateFail) {
  const Status not_initialized = errors::FailedPrecondition("ZlibOutputBuffer is not initialized");
  const Status closed = errors::FailedPrecondition("ZlibOutputBuffer is closed");
  const Status init_again =
      errors::FailedPrecondition("ZlibOutputBuffer::Init() may be called only once");
  const struct {
    const char* label;
    std::function<void(ZlibOutputBuffer*)> reach_state;
    Status expected;  // Of Append, Flush and Sync.
    Status close, init;
    bool warns;  // when destroyed
  } cases[] = {
      {"never initialized", [](ZlibOutputBuffer*) {}, not_initialized, not_initialized, Status(),
       true},
      {"failed init", [](ZlibOutputBuffer* b) { EXPECT_FALSE(b->Init().ok()); }, not_initialized,
       not_initialized, init_again, false},
      {"closed",
       [](ZlibOutputBuffer* b) {
         EXPECT_TRUE(b->Init().ok());
         EXPECT_TRUE(b->Close().ok());
       },
       closed, Status(), init_again, false},
  };
  const std::string large = TraceLikeText(1000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryFile file;
    StderrCapture capture;
    {
      // Init fails on window bits of 99.
      ZlibOutputBuffer buffer(&file, 64, 64, Options(Z_NO_FLUSH, c.warns || c.close.ok() ? 31 : 99));
      c.reach_state(&buffer);
      const std::string written = file.contents;
      EXPECT_EQ(buffer.Append("x"), c.expected);
      EXPECT_EQ(buffer.Append(large), c.expected);
      EXPECT_EQ(buffer.Flush(), c.expected);
      EXPECT_EQ(buffer.Sync(), c.expected);
      EXPECT_EQ(buffer.Close(), c.close);
      EXPECT_EQ(file.contents, written);
      EXPECT_EQ(file.flushes + file.syncs, 0);
      EXPECT_EQ(buffer.Init(), c.init);
    }
    EXPECT_EQ(::testing::Matches(ContainsRegex(kCloseWarning))(capture.Stop()), c.warns);
  }
}

TEST(ZlibOutputBufferTest, DestroyingAnOpenBufferWarnsAndWritesNothing) {
  MemoryFile file;
  StderrCapture capture;
  {
    ZlibOutputBuffer buffer(&file, 64, 64, Options(Z_NO_FLUSH));
    ASSERT_TRUE(buffer.Init().ok());
    ASSERT_TRUE(buffer.Append("pending").ok());
  }
  EXPECT_THAT(capture.Stop(), ContainsRegex(kCloseWarning));
  EXPECT_EQ(file.contents, "");
}

TEST(ZlibOutputBufferTest, CompressorErrorsAreDataLoss) {
  // A flush value zlib does not know.
  MemoryFile file;
  ZlibOutputBuffer unknown_flush(&file, 16, 64, Options(42));
  ASSERT_TRUE(unknown_flush.Init().ok());
  EXPECT_TRUE(unknown_flush.Append("short").ok());
  EXPECT_EQ(unknown_flush.Append(TraceLikeText(100)),
            errors::DataLoss("deflate() failed with error -2"));
  EXPECT_TRUE(unknown_flush.Close().ok());
  // Appending with Z_FINISH ends the stream; a later partial flush is refused,
  // and zlib says why.
  ZlibOutputBuffer finished(&file, 16, 64, Options(Z_FINISH));
  ASSERT_TRUE(finished.Init().ok());
  EXPECT_TRUE(finished.Append(TraceLikeText(100)).ok());
  EXPECT_EQ(finished.Flush(), errors::DataLoss("deflate() failed with error -2:stream error"));
  EXPECT_TRUE(finished.Close().ok());
}

std::string Incompressible(size_t size) {
  std::mt19937 random(3);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// /dev/full takes the open and fails every write that reaches it. Buffered
// bytes that cannot be written stay buffered: a retry may succeed.
TEST(ZlibOutputBufferTest, WriteFailuresOfTheFilePassThrough) {
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  ZlibOutputBuffer buffer(file.get(), 1 << 20, 64 << 10, Options(Z_NO_FLUSH));
  ASSERT_TRUE(buffer.Init().ok());
  EXPECT_TRUE(buffer.Append(Incompressible(512 << 10)).ok());
  EXPECT_EQ(buffer.Flush(), kNoSpace);
  EXPECT_EQ(buffer.Sync(), kNoSpace);
  EXPECT_EQ(buffer.Close(), kNoSpace);
  EXPECT_TRUE(buffer.Append("more").ok());
}

TEST(ZlibOutputBufferTest, FailedLargeAppendLeavesTheStreamUnusable) {
  const Status lost = errors::DataLoss("ZlibOutputBuffer lost data in an earlier failed append");
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  StderrCapture capture;
  {
    ZlibOutputBuffer buffer(file.get(), 64 << 10, 64 << 10, Options(Z_NO_FLUSH));
    ASSERT_TRUE(buffer.Init().ok());
    // Compressed straight from a temporary, which is gone before the next call.
    EXPECT_EQ(buffer.Append(Incompressible(1 << 20)), kNoSpace);
    EXPECT_EQ(buffer.Append("x"), lost);
    EXPECT_EQ(buffer.Flush(), lost);
    EXPECT_EQ(buffer.Close(), lost);
  }
  EXPECT_THAT(capture.Stop(), ContainsRegex(kCloseWarning));
}

// A file that inflates what it is given and compares it with `pattern`
// repeated, keeping nothing.
class InflateChecker : public MemoryFile {
 public:
  explicit InflateChecker(const std::string& pattern) : pattern_(pattern) {
    inflateInit2(&stream_, MAX_WBITS + 16);
  }
  ~InflateChecker() override { inflateEnd(&stream_); }

  Status Append(const std::string& data) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    while (!ended && !corrupt && (stream_.avail_in > 0 || stream_.avail_out == 0)) {
      stream_.next_out = reinterpret_cast<Bytef*>(buffer_);
      stream_.avail_out = sizeof(buffer_);
      const int code = inflate(&stream_, Z_NO_FLUSH);
      for (size_t done = 0, size = sizeof(buffer_) - stream_.avail_out; done < size;) {
        const size_t at = inflated % pattern_.size();
        const size_t run = std::min(size - done, pattern_.size() - at);
        if (memcmp(buffer_ + done, pattern_.data() + at, run) != 0) corrupt = true;
        done += run;
        inflated += run;
      }
      ended = code == Z_STREAM_END;
      corrupt |= code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR;
    }
    return Status();
  }

  uint64_t inflated = 0;
  bool ended = false;
  bool corrupt = false;

 private:
  const std::string& pattern_;
  z_stream stream_{};
  char buffer_[1 << 20];
};

// One append of 4.5 GiB (beyond both 2^31 and 2^32) round-trips whole; the
// input maps the same 16 MiB of text over and over, so little memory is used.
TEST(ZlibOutputBufferTest, MultiGigabyteAppend) {
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer cannot shadow a multi-GiB mapping; this test has no threads.
  GTEST_SKIP() << "not run under ThreadSanitizer";
#endif
  constexpr size_t kPeriod = size_t{16} << 20;
  constexpr size_t kTotal = kPeriod * 288;
  // Numbered 4 KiB blocks of one trace excerpt: unique within the period yet
  // quick to compress.
  const std::string excerpt = TraceLikeText(4096 - 9, 11);
  std::string pattern;
  for (size_t block = 0; pattern.size() < kPeriod; ++block) {
    char number[10];
    snprintf(number, sizeof(number), "%08zu\n", block);
    pattern += number + excerpt;
  }
  ASSERT_EQ(pattern.size(), kPeriod);
  const int fd = memfd_create("zentrik_pattern", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, pattern.data(), kPeriod, 0), static_cast<ssize_t>(kPeriod));
  void* base = mmap(nullptr, kTotal, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(base, MAP_FAILED);
  char* input = static_cast<char*>(base);
  for (size_t offset = 0; offset < kTotal; offset += kPeriod) {
    ASSERT_NE(mmap(input + offset, kPeriod, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
  }

  auto checker = std::make_unique<InflateChecker>(pattern);
  ZlibCompressionOptions options = Options(Z_NO_FLUSH);
  options.compression_level = Z_BEST_SPEED;
  ZlibOutputBuffer buffer(checker.get(), 256 << 10, 256 << 10, options);
  ASSERT_TRUE(buffer.Init().ok());
  // A few bytes pending in the input buffer go first.
  ASSERT_TRUE(buffer.Append(pattern.substr(0, 5)).ok());
  ASSERT_TRUE(buffer.Append(input + 5, kTotal - 5).ok());
  ASSERT_TRUE(buffer.Close().ok());
  munmap(base, kTotal);
  close(fd);
  EXPECT_TRUE(checker->ended);
  EXPECT_FALSE(checker->corrupt);
  EXPECT_EQ(checker->inflated, kTotal);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
