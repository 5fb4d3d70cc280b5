#include "testing/event_file.h"

#include <cstdint>
#include <cstring>

namespace zentrik {
namespace testing {
namespace {

uint32_t Fixed32(const std::string& bytes, size_t offset) {
  uint32_t value;  // Hosts are little-endian, as the files are.
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

// The framing checksum, computed independently of the library's table.
uint32_t ReferenceMaskedCrc32c(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  crc = ~crc;
  return ((crc >> 15) | (crc << 17)) + 0xA282EAD8u;
}

}  // namespace

bool ReadEventRecords(const std::string& bytes, std::vector<std::string>* records,
                      std::string* error) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t left = bytes.size() - at;
    uint64_t length = 0;
    if (left >= 12) std::memcpy(&length, bytes.data() + at, sizeof(length));
    const char* fault =
        left < 12 ? "header cut short"
        : Fixed32(bytes, at + 8) != ReferenceMaskedCrc32c(bytes.substr(at, 8))
            ? "length checksum mismatch"
        : left < 16 || length > left - 16 ? "data cut short"
        : Fixed32(bytes, at + 12 + length) != ReferenceMaskedCrc32c(bytes.substr(at + 12, length))
            ? "data checksum mismatch"
            : nullptr;
    if (fault != nullptr) {
      *error = "record at byte " + std::to_string(at) + ": " + fault;
      return false;
    }
    records->push_back(bytes.substr(at + 12, length));
    at += 16 + length;
  }
  return true;
}

}  // namespace testing
}  // namespace zentrik
