#ifndef ZENTRIK_GRAPH_UTILS_CRC32C_H_
#define ZENTRIK_GRAPH_UTILS_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace zentrik {
namespace graph {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial value and
// final complement 0xFFFFFFFF) of `n` bytes. Thread-safe.
uint32_t Crc32c(const char* data, size_t n);

// The checksum of the event-file framing: Crc32c rotated right by 15 bits plus
// 0xA282EAD8. Masking keeps a checksum stored inside checksummed data from
// checking itself. Thread-safe.
uint32_t MaskedCrc32c(const char* data, size_t n);

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_UTILS_CRC32C_H_
