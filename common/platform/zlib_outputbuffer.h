#ifndef ZENTRIK_COMMON_PLATFORM_ZLIB_OUTPUTBUFFER_H_
#define ZENTRIK_COMMON_PLATFORM_ZLIB_OUTPUTBUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/platform/status.h"
#include "common/platform/writable_file.h"

struct z_stream_s;

namespace zentrik {
namespace trace {

// Deflate settings of a ZlibOutputBuffer; the values are zlib's. Writers of
// gzip files add 16 to `window_bits`.
struct ZlibCompressionOptions {
  static ZlibCompressionOptions DEFAULT() { return ZlibCompressionOptions(); }

  int8_t flush_mode = 0;                  // Z_NO_FLUSH, used by Append.
  int64_t input_buffer_size = 256 << 10;  // For the caller to pass to the constructor.
  int64_t output_buffer_size = 256 << 10;
  int8_t window_bits = 15;
  int8_t compression_level = -1;  // Z_DEFAULT_COMPRESSION
  int8_t compression_method = 8;  // Z_DEFLATED
  int8_t mem_level = 9;
  int8_t compression_strategy = 0;  // Z_DEFAULT_STRATEGY
};

// A WritableFile that deflates everything appended to it into `file`, which
// it does not own and which must outlive it. Small appends are gathered in an
// input buffer; larger ones are compressed straight from the caller's memory.
// Compressed bytes reach `file` whenever the output buffer fills, on Flush and
// on Close; Close does not close `file`.
//
// Call Init once before anything else. Operations before a successful Init
// or after Close fail with FAILED_PRECONDITION (a second Close is OK). One
// thread at a time.
class ZlibOutputBuffer : public WritableFile {
 public:
  // Negative sizes count as 0.
  ZlibOutputBuffer(WritableFile* file, int32_t input_buffer_bytes, int32_t output_buffer_bytes,
                   const ZlibCompressionOptions& zlib_options);
  // Unless Close succeeded or Init failed, logs a WARNING and drops whatever
  // is buffered, writing nothing to `file`: a stream left after a failed
  // write, or never initialised, warns too.
  ~ZlibOutputBuffer() override;

  ZlibOutputBuffer(const ZlibOutputBuffer&) = delete;
  ZlibOutputBuffer& operator=(const ZlibOutputBuffer&) = delete;

  // Sets up the compressor. INVALID_ARGUMENT for an output buffer below 2
  // bytes or settings that zlib rejects; the object is then unusable.
  Status Init();

  // Appends `data`, of any size. Errors of `file` pass through; a compressor
  // error is DATA_LOSS. When an append fails after part of its bytes were
  // compressed, every later operation fails with DATA_LOSS.
  Status Append(const std::string& data) override;
  // The same for `size` bytes at `data`, which need not be one string.
  Status Append(const char* data, size_t size);
  // Compresses everything still buffered (a trailer-free partial flush) and
  // flushes `file`.
  Status Flush() override;
  // Flush, then `file`'s Sync.
  Status Sync() override;
  // Finishes the stream (trailer included) into `file`; OK when already
  // closed.
  Status Close() override;
  // Both forwarded to `file`.
  Status Name(std::string* result) override;
  Status Tell(int64_t* position) override;

 private:
  enum class State { kCreated, kOpen, kBroken, kClosed };

  Status CheckOpen() const;
  size_t AvailableInputSpace() const;
  void AddToInputBuffer(const char* data, size_t size);
  Status Deflate(int flush);
  // Deflates until all of the stream's pending input is consumed, writing
  // the output buffer to `file` whenever it fills.
  Status DeflateAllInput(int flush);
  Status DeflateBuffered(int flush);
  Status DeflateFromCaller(const char* data, size_t size);
  Status FlushOutputBufferToFile();

  WritableFile* file_;
  size_t input_buffer_capacity_;
  size_t output_buffer_capacity_;
  std::unique_ptr<uint8_t[]> z_stream_input_;
  std::unique_ptr<uint8_t[]> z_stream_output_;
  ZlibCompressionOptions zlib_options_;
  std::unique_ptr<z_stream_s> z_stream_;  // Null after a failed Init and after Close.
  State state_ = State::kCreated;
  std::string output_chunk_;  // Reused to hand compressed bytes to `file_`.
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_ZLIB_OUTPUTBUFFER_H_
