#ifndef ZENTRIK_COMMON_PLATFORM_WRITABLE_FILE_H_
#define ZENTRIK_COMMON_PLATFORM_WRITABLE_FILE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/platform/status.h"

namespace zentrik {
namespace trace {

// An append-only output file. Every operation answers with a Status. One
// thread at a time per object.
class WritableFile {
 public:
  WritableFile() = default;
  virtual ~WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Appends all bytes of `data`.
  virtual Status Append(const std::string& data) = 0;
  // Finishes and closes the file.
  virtual Status Close() = 0;
  // Hands buffered bytes to the layer below.
  virtual Status Flush() = 0;
  // The file's name.
  virtual Status Name(std::string* result) = 0;
  // Makes written bytes durable as far as this layer can.
  virtual Status Sync() = 0;
  // The current write position.
  virtual Status Tell(int64_t* position) = 0;
};

// A WritableFile over a buffered C file, which it owns. Failures are IOError
// statuses naming the file; after Close every operation but Name fails with
// the bad-file-descriptor text.
class PosixWritableFile : public WritableFile {
 public:
  PosixWritableFile(const std::string& fname, FILE* file);
  // Closes the file when still open; errors are ignored.
  ~PosixWritableFile() override;

  Status Append(const std::string& data) override;
  Status Close() override;
  Status Flush() override;
  Status Name(std::string* result) override;
  // Flushes the C library's buffer only; forces nothing to the device.
  Status Sync() override;
  Status Tell(int64_t* position) override;

 private:
  std::string filename_;
  FILE* file_;  // Owned; null once closed.
};

// Creates or truncates `fname` for writing. On failure `result` is untouched.
Status NewWritableFile(const std::string& fname, std::unique_ptr<WritableFile>* result);

// Writes `data` as the whole contents of `fname`; the first error is returned.
Status WriteStringToFile(const std::string& fname, const std::string& data);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_WRITABLE_FILE_H_
