#include "graph/utils/record_file_writer.h"

#include <cstdint>
#include <stdexcept>

#include "graph/utils/crc32c.h"

namespace zentrik {
namespace graph {
namespace {

// Little-endian whatever the host order, as the format fixes it.
template <typename T>
void AppendLittleEndian(T value, std::string* out) {
  for (size_t i = 0; i < sizeof(T); ++i) {
    out->push_back(static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFFu));
  }
}

}  // namespace

RecordFileWriter::RecordFileWriter(const std::string& path)
    : file_(std::make_unique<std::ofstream>(path,
                                            std::ios::out | std::ios::trunc | std::ios::binary)),
      filename_(path) {
  if (!file_->is_open()) throw std::runtime_error("failed to open log_file" + path);
}

RecordFileWriter::~RecordFileWriter() { file_->close(); }

trace::Status RecordFileWriter::WriteRecord(const std::string& data) {
  std::string header;
  AppendLittleEndian<uint64_t>(data.size(), &header);
  AppendLittleEndian<uint32_t>(MaskedCrc32c(header.data(), header.size()), &header);
  std::string footer;
  AppendLittleEndian<uint32_t>(MaskedCrc32c(data.data(), data.size()), &footer);
  file_->write(header.data(), static_cast<std::streamsize>(header.size()));
  file_->write(data.data(), static_cast<std::streamsize>(data.size()));
  file_->write(footer.data(), static_cast<std::streamsize>(footer.size()));
  file_->flush();
  if (!*file_) return trace::errors::Unknown("failed to write log_file" + filename_);
  return trace::Status();
}

}  // namespace graph
}  // namespace zentrik
