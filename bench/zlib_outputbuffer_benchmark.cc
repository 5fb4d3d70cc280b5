// Throughput of ZlibOutputBuffer against zlib's deflate called directly on
// the same trace-like JSON bytes with the same settings (gzip framing,
// default level, 256 KiB output buffer). The ratio of the two bytes/second
// figures is the buffer's overhead.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/zlib_outputbuffer.h"
#include "testing/trace_text.h"

namespace zentrik {
namespace trace {
namespace {

constexpr size_t kTextBytes = size_t{32} << 20;
constexpr int kBufferBytes = 256 << 10;

const std::string& Text() {
  static const std::string* const text = new std::string(testing::TraceLikeText(kTextBytes));
  return *text;
}

ZlibCompressionOptions GzipOptions() {
  ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
  options.window_bits = MAX_WBITS + 16;
  return options;
}

// Counts the compressed bytes and drops them.
class DiscardFile : public WritableFile {
 public:
  Status Append(const std::string& data) override {
    bytes += data.size();
    return Status();
  }
  Status Close() override { return Status(); }
  Status Flush() override { return Status(); }
  Status Name(std::string* result) override {
    *result = "discard";
    return Status();
  }
  Status Sync() override { return Status(); }
  Status Tell(int64_t* position) override {
    *position = static_cast<int64_t>(bytes);
    return Status();
  }

  size_t bytes = 0;
};

// The baseline: one deflate stream over the whole text, emptying the output
// buffer whenever it fills.
void BM_DeflateDirect(benchmark::State& state) {
  const std::string& text = Text();
  const ZlibCompressionOptions options = GzipOptions();
  std::unique_ptr<Bytef[]> output(new Bytef[kBufferBytes]);
  for (auto _ : state) {
    z_stream stream{};
    deflateInit2(&stream, options.compression_level, options.compression_method,
                 options.window_bits, options.mem_level, options.compression_strategy);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    size_t compressed = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
      stream.next_out = output.get();
      stream.avail_out = kBufferBytes;
      result = deflate(&stream, Z_FINISH);
      compressed += kBufferBytes - stream.avail_out;
    }
    deflateEnd(&stream);
    benchmark::DoNotOptimize(compressed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The text appended in pieces of range(0) bytes (0: one append of all of it).
void BM_ZlibOutputBuffer(benchmark::State& state) {
  const std::string& text = Text();
  const size_t piece = state.range(0) == 0 ? text.size() : static_cast<size_t>(state.range(0));
  std::vector<std::string> pieces;
  for (size_t offset = 0; offset < text.size(); offset += piece) {
    pieces.push_back(text.substr(offset, piece));
  }
  for (auto _ : state) {
    DiscardFile file;
    ZlibOutputBuffer buffer(&file, kBufferBytes, kBufferBytes, GzipOptions());
    if (!buffer.Init().ok()) state.SkipWithError("Init failed");
    for (const std::string& data : pieces) {
      if (!buffer.Append(data).ok()) state.SkipWithError("Append failed");
    }
    if (!buffer.Close().ok()) state.SkipWithError("Close failed");
    benchmark::DoNotOptimize(file.bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_DeflateDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibOutputBuffer)->Arg(0)->Arg(4096)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
