#include "testing/memory_file.h"

namespace zentrik {
namespace testing {

trace::Status MemoryFile::Append(const std::string& data) {
  contents += data;
  ++appends;
  return trace::Status();
}

trace::Status MemoryFile::Close() {
  ++closes;
  return trace::Status();
}

trace::Status MemoryFile::Flush() {
  ++flushes;
  return trace::Status();
}

trace::Status MemoryFile::Name(std::string* result) {
  *result = "memory";
  return trace::Status();
}

trace::Status MemoryFile::Sync() {
  ++syncs;
  return trace::Status();
}

trace::Status MemoryFile::Tell(int64_t* position) {
  *position = static_cast<int64_t>(contents.size());
  return trace::Status();
}

}  // namespace testing
}  // namespace zentrik
