#include "common/platform/writable_file.h"

#include <cerrno>

#include "common/platform/env.h"

namespace zentrik {
namespace trace {

PosixWritableFile::PosixWritableFile(const std::string& fname, FILE* file)
    : filename_(fname), file_(file) {}

PosixWritableFile::~PosixWritableFile() {
  if (file_ != nullptr) fclose(file_);
}

Status PosixWritableFile::Append(const std::string& data) {
  if (file_ == nullptr) return IOError(filename_, EBADF);
  if (fwrite(data.data(), 1, data.size(), file_) != data.size()) return IOError(filename_, errno);
  return Status();
}

Status PosixWritableFile::Close() {
  if (file_ == nullptr) return IOError(filename_, EBADF);
  const int result = fclose(file_);
  file_ = nullptr;
  if (result != 0) return IOError(filename_, errno);
  return Status();
}

Status PosixWritableFile::Flush() {
  if (file_ == nullptr) return IOError(filename_, EBADF);
  if (fflush(file_) != 0) return IOError(filename_, errno);
  return Status();
}

Status PosixWritableFile::Name(std::string* result) {
  *result = filename_;
  return Status();
}

Status PosixWritableFile::Sync() { return PosixWritableFile::Flush(); }

Status PosixWritableFile::Tell(int64_t* position) {
  if (file_ == nullptr) return IOError(filename_, EBADF);
  const long offset = ftell(file_);
  if (offset == -1) return IOError(filename_, errno);
  *position = offset;
  return Status();
}

Status NewWritableFile(const std::string& fname, std::unique_ptr<WritableFile>* result) {
  FILE* file = fopen(fname.c_str(), "w");
  if (file == nullptr) return IOError(fname, errno);
  result->reset(new PosixWritableFile(fname, file));
  return Status();
}

Status WriteStringToFile(const std::string& fname, const std::string& data) {
  std::unique_ptr<WritableFile> file;
  Status status = NewWritableFile(fname, &file);
  if (!status.ok()) return status;
  status = file->Append(data);
  if (!status.ok()) return status;
  return file->Close();
}

}  // namespace trace
}  // namespace zentrik
