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

ZlibCompressionOptions Options(int flush_mode, int window_bits) {
  ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
  options.flush_mode = static_cast<int8_t>(flush_mode);
  options.window_bits = static_cast<int8_t>(window_bits);
  return options;
}

ZlibCompressionOptions GzipOptions() { return Options(Z_NO_FLUSH, MAX_WBITS + 16); }

struct Inflated {
  std::string data;
  bool complete = false;  // The stream's end (and, for gzip, a valid trailer) was read.
  bool valid = true;      // No corrupt input was met.
};

// Inflates `compressed`, taking everything up to the stream's end, or all
// that a truncated stream yields.
Inflated Inflate(const std::string& compressed, int window_bits) {
  Inflated result;
  z_stream stream{};
  if (inflateInit2(&stream, window_bits) != Z_OK) return {"", false, false};
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  char buffer[1 << 16];
  while (true) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    const int code = inflate(&stream, Z_SYNC_FLUSH);
    result.data.append(buffer, sizeof(buffer) - stream.avail_out);
    if (code == Z_STREAM_END) {
      result.complete = stream.avail_in == 0;
      break;
    }
    if (code != Z_OK) {
      result.valid = code == Z_BUF_ERROR;
      break;
    }
  }
  inflateEnd(&stream);
  return result;
}

TEST(ZlibOutputBufferTest, RoundTrips) {
  const std::vector<size_t> interleaved = {3, 100, 1, 64, 65, 0, 500, 2, 63, 64, 1, 4096, 7, 129};
  const struct {
    const char* label;
    int32_t input_bytes;
    int32_t output_bytes;
    int flush_mode;
    int window_bits;
    std::vector<size_t> appends;
    int flush_every;  // Call Flush after every this many appends; 0: never.
  } cases[] = {
      {"small appends", 256 << 10, 256 << 10, Z_NO_FLUSH, 31, std::vector<size_t>(10, 7), 0},
      {"larger than both buffers", 64, 32, Z_NO_FLUSH, 31, {1000, 5000, 70000, 64, 3}, 0},
      {"interleaved", 64, 32, Z_NO_FLUSH, 31, interleaved, 0},
      {"partial flush mode", 64, 32, Z_PARTIAL_FLUSH, 31, interleaved, 0},
      {"sync flush mode", 64, 32, Z_SYNC_FLUSH, 31, interleaved, 0},
      {"full flush mode", 64, 32, Z_FULL_FLUSH, 31, interleaved, 0},
      {"flush calls", 64, 32, Z_SYNC_FLUSH, 15, interleaved, 2},
      {"flush after each", 100, 7, Z_NO_FLUSH, 31, interleaved, 1},
      {"smallest output buffer", 16, 2, Z_NO_FLUSH, 31, interleaved, 3},
      {"no input buffer", 0, 64, Z_NO_FLUSH, 31, interleaved, 0},
      {"raw deflate", 128, 128, Z_NO_FLUSH, -15, interleaved, 0},
      {"zlib framing", 128, 128, Z_NO_FLUSH, 15, interleaved, 0},
      {"megabytes", 256 << 10, 256 << 10, Z_NO_FLUSH, 31, {3 << 20, 17, 1 << 20, 300000}, 0},
      {"nothing", 64, 64, Z_NO_FLUSH, 31, {}, 0},
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
        ASSERT_TRUE(buffer.Flush().ok()) << i;
        // Everything appended so far can be read back already.
        EXPECT_EQ(Inflate(file.contents, c.window_bits).data, text.substr(0, offset)) << i;
      }
    }
    ASSERT_TRUE(buffer.Close().ok());
    const Inflated inflated = Inflate(file.contents, c.window_bits);
    EXPECT_TRUE(inflated.complete);
    EXPECT_EQ(inflated.data.size(), text.size());
    EXPECT_TRUE(inflated.data == text);
  }
}

// A single append compresses to exactly what one deflate call over the same
// bytes with the same settings gives.
TEST(ZlibOutputBufferTest, OutputEqualsOneShotDeflate) {
  for (const size_t size : {size_t{100}, size_t{300000}, size_t{5} << 20}) {
    const std::string text = TraceLikeText(size, 7);
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, 256 << 10, 256 << 10, GzipOptions());
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

TEST(ZlibOutputBufferTest, SmallAppendsWaitForFlushOrClose) {
  MemoryFile file;
  ZlibOutputBuffer buffer(&file, 256 << 10, 256 << 10, GzipOptions());
  ASSERT_TRUE(buffer.Init().ok());
  ASSERT_TRUE(buffer.Append("0123456789").ok());
  EXPECT_EQ(file.contents, "");
  ASSERT_TRUE(buffer.Flush().ok());
  EXPECT_EQ(file.flushes, 1);
  EXPECT_EQ(Inflate(file.contents, 31).data, "0123456789");
  ASSERT_TRUE(buffer.Sync().ok());
  EXPECT_EQ(file.flushes, 2);
  EXPECT_EQ(file.syncs, 1);
  ASSERT_TRUE(buffer.Close().ok());
  EXPECT_EQ(file.closes, 0);
  EXPECT_TRUE(Inflate(file.contents, 31).complete);
}

TEST(ZlibOutputBufferTest, AppendFillingTheInputBufferExactlyIsNotCompressed) {
  // With a two-byte output buffer any compression at all reaches the file.
  MemoryFile file;
  ZlibOutputBuffer buffer(&file, 100, 2, GzipOptions());
  ASSERT_TRUE(buffer.Init().ok());
  const std::string text = TraceLikeText(101);
  ASSERT_TRUE(buffer.Append(text.substr(0, 60)).ok());
  ASSERT_TRUE(buffer.Append(text.substr(60, 40)).ok());
  EXPECT_EQ(file.appends, 0);
  ASSERT_TRUE(buffer.Append(text.substr(100)).ok());
  EXPECT_GT(file.appends, 0);
  ASSERT_TRUE(buffer.Close().ok());
  EXPECT_EQ(Inflate(file.contents, 31).data, text);
}

TEST(ZlibOutputBufferTest, InitRejectsBadSettings) {
  const struct {
    const char* label;
    int32_t output_bytes;
    std::function<void(ZlibCompressionOptions*)> change;
    Status expected;
  } cases[] = {
      {"one output byte", 1, nullptr,
       errors::InvalidArgument("output_buffer_bytes should be greater than 1")},
      {"negative output bytes", -5, nullptr,
       errors::InvalidArgument("output_buffer_bytes should be greater than 1")},
      {"window bits", 64, [](ZlibCompressionOptions* o) { o->window_bits = 99; },
       errors::InvalidArgument("deflateInit failed with status")},
      {"level", 64, [](ZlibCompressionOptions* o) { o->compression_level = 12; },
       errors::InvalidArgument("deflateInit failed with status")},
      {"memory level", 64, [](ZlibCompressionOptions* o) { o->mem_level = 0; },
       errors::InvalidArgument("deflateInit failed with status")},
      {"method", 64, [](ZlibCompressionOptions* o) { o->compression_method = 7; },
       errors::InvalidArgument("deflateInit failed with status")},
  };
  for (const auto& c : cases) {
    ZlibCompressionOptions options = GzipOptions();
    if (c.change) c.change(&options);
    MemoryFile file;
    StderrCapture capture;
    {
      ZlibOutputBuffer buffer(&file, 64, c.output_bytes, options);
      EXPECT_EQ(buffer.Init(), c.expected) << c.label;
      EXPECT_EQ(buffer.Append("abc"),
                errors::FailedPrecondition("ZlibOutputBuffer is not initialized"))
          << c.label;
    }
    // A failed Init leaves nothing to warn about.
    EXPECT_THAT(capture.Stop(), Not(ContainsRegex(kCloseWarning))) << c.label;
    EXPECT_EQ(file.contents, "") << c.label;
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
    Status close;
    Status init;
  } cases[] = {
      {"never initialized", [](ZlibOutputBuffer*) {}, not_initialized, not_initialized, Status()},
      {"failed init", [](ZlibOutputBuffer* b) { EXPECT_FALSE(b->Init().ok()); }, not_initialized,
       not_initialized, init_again},
      {"closed",
       [](ZlibOutputBuffer* b) {
         EXPECT_TRUE(b->Init().ok());
         EXPECT_TRUE(b->Close().ok());
       },
       closed, Status(), init_again},
  };
  const std::string large = TraceLikeText(1000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ZlibCompressionOptions options = GzipOptions();
    if (std::string(c.label) == "failed init") options.window_bits = 99;
    MemoryFile file;
    StderrCapture capture;  // The buffer that never opened warns when destroyed.
    ZlibOutputBuffer buffer(&file, 64, 64, options);
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
}

TEST(ZlibOutputBufferTest, DestroyingWithoutCloseWarns) {
  const struct {
    const char* label;
    bool init;
    bool close;
    bool warns;
  } cases[] = {
      {"never initialized", false, false, true},
      {"open", true, false, true},
      {"closed", true, true, false},
  };
  for (const auto& c : cases) {
    MemoryFile file;
    StderrCapture capture;
    {
      ZlibOutputBuffer buffer(&file, 64, 64, GzipOptions());
      if (c.init) {
        ASSERT_TRUE(buffer.Init().ok());
        ASSERT_TRUE(buffer.Append("pending").ok());
      }
      if (c.close) {
        ASSERT_TRUE(buffer.Close().ok());
      }
    }
    const std::string log = capture.Stop();
    if (c.warns) {
      EXPECT_THAT(log, ContainsRegex(kCloseWarning)) << c.label;
      // Nothing more is written on the way out.
      EXPECT_EQ(file.contents, "") << c.label;
    } else {
      EXPECT_THAT(log, Not(ContainsRegex(kCloseWarning))) << c.label;
    }
  }
}

TEST(ZlibOutputBufferTest, CompressorErrorsAreDataLoss) {
  {
    // A flush value zlib does not know.
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, 16, 64, Options(42, 31));
    ASSERT_TRUE(buffer.Init().ok());
    EXPECT_TRUE(buffer.Append("short").ok());
    EXPECT_EQ(buffer.Append(TraceLikeText(100)),
              errors::DataLoss("deflate() failed with error -2"));
    EXPECT_TRUE(buffer.Close().ok());
  }
  {
    // Appending with Z_FINISH ends the stream; a later partial flush is refused,
    // and zlib says why.
    MemoryFile file;
    ZlibOutputBuffer buffer(&file, 16, 64, Options(Z_FINISH, 31));
    ASSERT_TRUE(buffer.Init().ok());
    EXPECT_TRUE(buffer.Append(TraceLikeText(100)).ok());
    EXPECT_EQ(buffer.Flush(), errors::DataLoss("deflate() failed with error -2:stream error"));
    EXPECT_TRUE(buffer.Close().ok());
  }
}

std::string Incompressible(size_t size) {
  std::mt19937 random(3);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// /dev/full takes the open and fails every write that reaches it; the C
// library's own buffer hides small writes until a flush.
TEST(ZlibOutputBufferTest, WriteFailuresOfTheFilePassThrough) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  const std::string incompressible = Incompressible(1 << 20);
  std::unique_ptr<WritableFile> file;

  // Buffered bytes that cannot be written stay buffered: a retry may succeed.
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  ZlibOutputBuffer buffered(file.get(), 1 << 20, 64 << 10, GzipOptions());
  ASSERT_TRUE(buffered.Init().ok());
  EXPECT_TRUE(buffered.Append(incompressible.substr(0, 512 << 10)).ok());
  EXPECT_EQ(buffered.Flush(), no_space);
  EXPECT_EQ(buffered.Sync(), no_space);
  EXPECT_EQ(buffered.Close(), no_space);
  EXPECT_TRUE(buffered.Append("more").ok());

  // A small stream fits the C library's buffer: the file's own close fails.
  std::unique_ptr<WritableFile> small_file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &small_file).ok());
  ZlibOutputBuffer small(small_file.get(), 64, 64, GzipOptions());
  ASSERT_TRUE(small.Init().ok());
  EXPECT_TRUE(small.Append("abc").ok());
  EXPECT_EQ(small.Flush(), no_space);
  EXPECT_TRUE(small.Close().ok());
  EXPECT_EQ(small_file->Close(), no_space);
}

TEST(ZlibOutputBufferTest, FailedLargeAppendLeavesTheStreamUnusable) {
  const Status no_space = errors::Unknown("/dev/full: No space left on device");
  const Status lost = errors::DataLoss("ZlibOutputBuffer lost data in an earlier failed append");
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(NewWritableFile("/dev/full", &file).ok());
  StderrCapture capture;
  {
    ZlibOutputBuffer buffer(file.get(), 64 << 10, 64 << 10, GzipOptions());
    ASSERT_TRUE(buffer.Init().ok());
    {
      // Compressed straight from this string, which is gone before the next call.
      const std::string incompressible = Incompressible(1 << 20);
      EXPECT_EQ(buffer.Append(incompressible), no_space);
    }
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
    while (!ended_ && !corrupt_ && (stream_.avail_in > 0 || stream_.avail_out == 0)) {
      stream_.next_out = reinterpret_cast<Bytef*>(buffer_);
      stream_.avail_out = sizeof(buffer_);
      const int code = inflate(&stream_, Z_NO_FLUSH);
      Compare(sizeof(buffer_) - stream_.avail_out);
      ended_ = code == Z_STREAM_END;
      corrupt_ = code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR;
    }
    return Status();
  }

  uint64_t inflated() const { return inflated_; }
  bool matches() const { return mismatches_ == 0 && !corrupt_; }
  bool ended() const { return ended_; }

 private:
  void Compare(size_t size) {
    size_t done = 0;
    while (done < size) {
      const size_t at = inflated_ % pattern_.size();
      const size_t run = std::min(size - done, pattern_.size() - at);
      if (memcmp(buffer_ + done, pattern_.data() + at, run) != 0) ++mismatches_;
      done += run;
      inflated_ += run;
    }
  }

  const std::string& pattern_;
  z_stream stream_{};
  char buffer_[1 << 20];
  uint64_t inflated_ = 0;
  int mismatches_ = 0;
  bool ended_ = false;
  bool corrupt_ = false;
};

// `total` bytes of address space in which every `pattern.size()` bytes are
// the same physical pages, holding `pattern`.
class RepeatedMapping {
 public:
  RepeatedMapping(const std::string& pattern, size_t total) : total_(total) {
    fd_ = memfd_create("zentrik_pattern", 0);
    if (fd_ < 0 ||
        pwrite(fd_, pattern.data(), pattern.size(), 0) != static_cast<ssize_t>(pattern.size())) {
      return;
    }
    void* base =
        mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<char*>(base);
    for (size_t offset = 0; offset < total; offset += pattern.size()) {
      if (mmap(base_ + offset, pattern.size(), PROT_READ, MAP_SHARED | MAP_FIXED, fd_, 0) ==
          MAP_FAILED) {
        munmap(base_, total_);
        base_ = nullptr;
        return;
      }
    }
  }
  ~RepeatedMapping() {
    if (base_ != nullptr) munmap(base_, total_);
    if (fd_ >= 0) close(fd_);
  }
  const char* data() const { return base_; }

 private:
  size_t total_;
  int fd_ = -1;
  char* base_ = nullptr;
};

// One append of 4.5 GiB (beyond both 2^31 and 2^32) round-trips whole; the
// input repeats 16 MiB of text through aliased mappings, so little memory
// is used.
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
  RepeatedMapping input(pattern, kTotal);
  ASSERT_NE(input.data(), nullptr);
  ASSERT_EQ(memcmp(input.data() + kTotal - kPeriod, pattern.data(), kPeriod), 0);

  auto checker = std::make_unique<InflateChecker>(pattern);
  ZlibCompressionOptions options = GzipOptions();
  options.compression_level = Z_BEST_SPEED;
  ZlibOutputBuffer buffer(checker.get(), 256 << 10, 256 << 10, options);
  ASSERT_TRUE(buffer.Init().ok());
  // A few bytes pending in the input buffer go first.
  ASSERT_TRUE(buffer.Append(pattern.substr(0, 5)).ok());
  ASSERT_TRUE(buffer.Append(input.data() + 5, kTotal - 5).ok());
  ASSERT_TRUE(buffer.Close().ok());
  EXPECT_TRUE(checker->ended());
  EXPECT_TRUE(checker->matches());
  EXPECT_EQ(checker->inflated(), kTotal);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
