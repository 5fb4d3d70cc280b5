#include "testing/event_file.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "testing/profile_files.h"

namespace zentrik {
namespace testing {
namespace {

uint64_t ReadLittleEndian(const std::string& bytes, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

}  // namespace

uint32_t ReferenceMaskedCrc32c(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  crc = ~crc;
  return ((crc >> 15) | (crc << 17)) + 0xA282EAD8u;
}

bool ReadEventRecords(const std::string& bytes, std::vector<std::string>* records,
                      std::string* error) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    const std::string where = "record at byte " + std::to_string(offset);
    if (bytes.size() - offset < 12) {
      *error = where + ": header cut short";
      return false;
    }
    const uint64_t length = ReadLittleEndian(bytes, offset, 8);
    if (ReadLittleEndian(bytes, offset + 8, 4) != ReferenceMaskedCrc32c(bytes.substr(offset, 8))) {
      *error = where + ": length checksum mismatch";
      return false;
    }
    if (bytes.size() - offset < 16 || length > bytes.size() - offset - 16) {
      *error = where + ": data cut short";
      return false;
    }
    std::string data = bytes.substr(offset + 12, length);
    if (ReadLittleEndian(bytes, offset + 12 + length, 4) != ReferenceMaskedCrc32c(data)) {
      *error = where + ": data checksum mismatch";
      return false;
    }
    records->push_back(std::move(data));
    offset += 16 + length;
  }
  return true;
}

std::vector<std::string> ListEventFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const std::string& name : ListDirectory(dir)) {
    if (name.rfind("events.out.tfevents.", 0) == 0) files.push_back(name);
  }
  return files;
}

uint64_t MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec);
}

void OccupyEventFileNames(const std::string& dir, int seconds) {
  char host[1024] = {};
  gethostname(host, sizeof(host) - 1);
  const uint64_t first = MonotonicSeconds();
  for (int i = 0; i <= seconds; ++i) {
    const std::string path = dir + "/events.out.tfevents." + std::to_string(first + i) + "." + host;
    mkdir(path.c_str(), 0755);
  }
}

}  // namespace testing
}  // namespace zentrik
