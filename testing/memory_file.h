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
  trace::Status Append(const std::string& data) override {
    contents += data;
    return Counted(&appends);
  }
  trace::Status Close() override { return Counted(&closes); }
  trace::Status Flush() override { return Counted(&flushes); }
  trace::Status Name(std::string* result) override {
    *result = "memory";
    return trace::Status();
  }
  trace::Status Sync() override { return Counted(&syncs); }
  trace::Status Tell(int64_t* position) override {
    *position = static_cast<int64_t>(contents.size());
    return trace::Status();
  }

  std::string contents;
  int appends = 0;
  int closes = 0;
  int flushes = 0;
  int syncs = 0;

 private:
  static trace::Status Counted(int* calls) {
    ++*calls;
    return trace::Status();
  }
};

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_MEMORY_FILE_H_
