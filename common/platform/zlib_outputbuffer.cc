#include "common/platform/zlib_outputbuffer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// The most handed to deflate at once: zlib counts pending input in 32 bits.
// Appends below 2 GiB still reach deflate in one piece.
constexpr size_t kMaxDeflateChunk = size_t{1} << 31;

size_t NonNegative(int32_t bytes) { return bytes < 0 ? 0 : static_cast<size_t>(bytes); }

}  // namespace

ZlibOutputBuffer::ZlibOutputBuffer(WritableFile* file, int32_t input_buffer_bytes,
                                   int32_t output_buffer_bytes,
                                   const ZlibCompressionOptions& zlib_options)
    : file_(file),
      input_buffer_capacity_(NonNegative(input_buffer_bytes)),
      output_buffer_capacity_(NonNegative(output_buffer_bytes)),
      z_stream_input_(new uint8_t[input_buffer_capacity_]),
      z_stream_output_(new uint8_t[output_buffer_capacity_]),
      zlib_options_(zlib_options),
      z_stream_(new z_stream()) {}

ZlibOutputBuffer::~ZlibOutputBuffer() {
  if (z_stream_ == nullptr) return;
  LOG(WARNING) << "ZlibOutputBuffer::Close() not called. Possible data loss";
  if (state_ != State::kCreated) deflateEnd(z_stream_.get());
}

Status ZlibOutputBuffer::Init() {
  if (state_ != State::kCreated || z_stream_ == nullptr) {
    return errors::FailedPrecondition("ZlibOutputBuffer::Init() may be called only once");
  }
  if (output_buffer_capacity_ < 2) {
    z_stream_.reset();
    return errors::InvalidArgument("output_buffer_bytes should be greater than 1");
  }
  *z_stream_ = z_stream();
  if (deflateInit2(z_stream_.get(), zlib_options_.compression_level,
                   zlib_options_.compression_method, zlib_options_.window_bits,
                   zlib_options_.mem_level, zlib_options_.compression_strategy) != Z_OK) {
    z_stream_.reset();
    return errors::InvalidArgument("deflateInit failed with status");
  }
  z_stream_->next_in = z_stream_input_.get();
  z_stream_->avail_in = 0;
  z_stream_->next_out = z_stream_output_.get();
  z_stream_->avail_out = static_cast<uInt>(output_buffer_capacity_);
  state_ = State::kOpen;
  return Status();
}

Status ZlibOutputBuffer::CheckOpen() const {
  switch (state_) {
    case State::kOpen:
      return Status();
    case State::kCreated:
      return errors::FailedPrecondition("ZlibOutputBuffer is not initialized");
    case State::kClosed:
      return errors::FailedPrecondition("ZlibOutputBuffer is closed");
    case State::kBroken:
      break;
  }
  return errors::DataLoss("ZlibOutputBuffer lost data in an earlier failed append");
}

size_t ZlibOutputBuffer::AvailableInputSpace() const {
  return input_buffer_capacity_ - z_stream_->avail_in;
}

void ZlibOutputBuffer::AddToInputBuffer(const char* data, size_t bytes_to_write) {
  CHECK_LE(bytes_to_write, AvailableInputSpace());
  if (bytes_to_write == 0) return;
  uint8_t* const start = z_stream_input_.get();
  const size_t consumed = z_stream_->next_in - start;
  const size_t pending = z_stream_->avail_in;
  // Move the pending bytes to the front only when the data will not fit behind them.
  if (input_buffer_capacity_ - consumed - pending < bytes_to_write) {
    memmove(start, z_stream_->next_in, pending);
    z_stream_->next_in = start;
  }
  memcpy(z_stream_->next_in + pending, data, bytes_to_write);
  z_stream_->avail_in += static_cast<uInt>(bytes_to_write);
}

Status ZlibOutputBuffer::Deflate(int flush) {
  const int result = deflate(z_stream_.get(), flush);
  if (result == Z_OK || result == Z_BUF_ERROR || (result == Z_STREAM_END && flush == Z_FINISH)) {
    return Status();
  }
  std::string message = "deflate() failed with error " + std::to_string(result);
  if (z_stream_->msg != nullptr) message += std::string(":") + z_stream_->msg;
  return errors::DataLoss(message);
}

Status ZlibOutputBuffer::DeflateAllInput(int flush) {
  while (true) {
    Status status = Deflate(flush);
    if (!status.ok()) return status;
    // Deflate stops early only for want of output space.
    if (z_stream_->avail_out != 0) return Status();
    status = FlushOutputBufferToFile();
    if (!status.ok()) return status;
  }
}

Status ZlibOutputBuffer::DeflateBuffered(int flush) {
  // A sync or full flush needs room for its marker, or it would be repeated.
  if (z_stream_->avail_out == 0 ||
      ((flush == Z_SYNC_FLUSH || flush == Z_FULL_FLUSH) && z_stream_->avail_out <= 5)) {
    Status status = FlushOutputBufferToFile();
    if (!status.ok()) return status;
  }
  Status status = DeflateAllInput(flush);
  if (!status.ok()) return status;
  z_stream_->next_in = z_stream_input_.get();
  return Status();
}

Status ZlibOutputBuffer::DeflateFromCaller(const char* data, size_t size) {
  Status status;
  while (size > 0 && status.ok()) {
    const size_t chunk = std::min(size, kMaxDeflateChunk);
    z_stream_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_stream_->avail_in = static_cast<uInt>(chunk);
    data += chunk;
    size -= chunk;
    // The caller's flush mode applies once, after the whole append.
    status = DeflateAllInput(size == 0 ? zlib_options_.flush_mode : Z_NO_FLUSH);
  }
  // Never keep a pointer into the caller's bytes.
  z_stream_->next_in = z_stream_input_.get();
  z_stream_->avail_in = 0;
  // Part of the append may be compressed and the rest dropped: whatever
  // follows would make a stream with a hole in it.
  if (!status.ok()) state_ = State::kBroken;
  return status;
}

Status ZlibOutputBuffer::FlushOutputBufferToFile() {
  const size_t bytes = output_buffer_capacity_ - z_stream_->avail_out;
  if (bytes == 0) return Status();
  output_chunk_.assign(reinterpret_cast<const char*>(z_stream_output_.get()), bytes);
  Status status = file_->Append(output_chunk_);
  if (!status.ok()) return status;
  z_stream_->next_out = z_stream_output_.get();
  z_stream_->avail_out = static_cast<uInt>(output_buffer_capacity_);
  return Status();
}

Status ZlibOutputBuffer::Append(const std::string& data) {
  return Append(data.data(), data.size());
}

Status ZlibOutputBuffer::Append(const char* data, size_t size) {
  Status status = CheckOpen();
  if (!status.ok()) return status;
  if (size <= AvailableInputSpace()) {
    AddToInputBuffer(data, size);
    return Status();
  }
  status = DeflateBuffered(zlib_options_.flush_mode);
  if (!status.ok()) return status;
  if (size <= AvailableInputSpace()) {
    AddToInputBuffer(data, size);
    return Status();
  }
  return DeflateFromCaller(data, size);
}

Status ZlibOutputBuffer::Flush() {
  Status status = CheckOpen();
  if (status.ok()) status = DeflateBuffered(Z_PARTIAL_FLUSH);
  if (status.ok()) status = FlushOutputBufferToFile();
  if (status.ok()) status = file_->Flush();
  return status;
}

Status ZlibOutputBuffer::Sync() {
  Status status = ZlibOutputBuffer::Flush();
  if (!status.ok()) return status;
  return file_->Sync();
}

Status ZlibOutputBuffer::Close() {
  if (state_ == State::kClosed) return Status();
  Status status = CheckOpen();
  if (status.ok()) status = DeflateBuffered(Z_FINISH);
  if (status.ok()) status = FlushOutputBufferToFile();
  if (!status.ok()) return status;
  deflateEnd(z_stream_.get());
  z_stream_.reset();
  state_ = State::kClosed;
  return Status();
}

Status ZlibOutputBuffer::Name(std::string* result) { return file_->Name(result); }

Status ZlibOutputBuffer::Tell(int64_t* position) { return file_->Tell(position); }

}  // namespace trace
}  // namespace zentrik
