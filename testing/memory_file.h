#ifndef ZENTRIK_TESTING_MEMORY_FILE_H_
#define ZENTRIK_TESTING_MEMORY_FILE_H_

#include <cstdint>
#include <string>

#include "common/platform/writable_file.h"

namespace zentrik {
namespace testing {

// A WritableFile that keeps every appended byte in `contents` and counts the
// calls that a writer makes on it. Every operation succeeds.
class MemoryFile : public trace::WritableFile {
 public:
  trace::Status Append(const std::string& data) override;
  trace::Status Close() override;
  trace::Status Flush() override;
  // "memory".
  trace::Status Name(std::string* result) override;
  trace::Status Sync() override;
  // The size of `contents`.
  trace::Status Tell(int64_t* position) override;

  std::string contents;
  int appends = 0;
  int closes = 0;
  int flushes = 0;
  int syncs = 0;
};

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_MEMORY_FILE_H_
