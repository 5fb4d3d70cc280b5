#include "graph/utils/record_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

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

trace::Status OpenFailure(const std::string& path, int error) {
  if (error == EEXIST) return trace::errors::AlreadyExists(path);
  return trace::errors::Unknown("failed to open log_file" + path + ": " + std::strerror(error));
}

}  // namespace

trace::Status RecordFileWriter::Create(const std::string& path,
                                       std::unique_ptr<RecordFileWriter>* writer) {
  // An exclusive create: an existing file is never opened, let alone cut.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return OpenFailure(path, errno);
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return OpenFailure(path, error);
  }
  try {
    writer->reset(new RecordFileWriter(file, path));
  } catch (...) {
    std::fclose(file);
    ::unlink(path.c_str());
    throw;
  }
  return trace::Status();
}

RecordFileWriter::RecordFileWriter(std::FILE* file, std::string path)
    : file_(file), filename_(std::move(path)) {}

RecordFileWriter::~RecordFileWriter() { std::fclose(file_); }

trace::Status RecordFileWriter::WriteRecord(const std::string& data) {
  std::string header;
  AppendLittleEndian<uint64_t>(data.size(), &header);
  AppendLittleEndian<uint32_t>(MaskedCrc32c(header.data(), header.size()), &header);
  std::string footer;
  AppendLittleEndian<uint32_t>(MaskedCrc32c(data.data(), data.size()), &footer);
  std::fwrite(header.data(), 1, header.size(), file_);
  std::fwrite(data.data(), 1, data.size(), file_);
  std::fwrite(footer.data(), 1, footer.size(), file_);
  if (std::fflush(file_) != 0 || std::ferror(file_)) {
    return trace::errors::Unknown("failed to write log_file" + filename_);
  }
  return trace::Status();
}

}  // namespace graph
}  // namespace zentrik
