#include "graph/utils/crc32c.h"

#include <array>

namespace zentrik {
namespace graph {
namespace {

constexpr uint32_t kCastagnoliReflected = 0x82F63B78u;
constexpr uint32_t kMaskDelta = 0xA282EAD8u;

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? kCastagnoliReflected : 0u);
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32c(const char* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc = kTable[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFu] ^ (crc >> 8);
  }
  return ~crc;
}

uint32_t MaskedCrc32c(const char* data, size_t n) {
  const uint32_t crc = Crc32c(data, n);
  return ((crc >> 15) | (crc << 17)) + kMaskDelta;
}

}  // namespace graph
}  // namespace zentrik
