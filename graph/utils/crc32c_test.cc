#include "graph/utils/crc32c.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/event_file.h"

namespace zentrik {
namespace graph {
namespace {

std::string Bytes(size_t n, int first, int step) {
  std::string bytes;
  for (int i = 0; i < static_cast<int>(n); ++i)
    bytes.push_back(static_cast<char>(first + step * i));
  return bytes;
}

// Published CRC-32C check values (RFC 3720, appendix B.4, and the common
// "123456789" check).
TEST(Crc32cTest, MatchesKnownCheckValues) {
  struct Case {
    std::string data;
    uint32_t crc;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"123456789", 0xE3069283u},
      {"abc", 0x364B3FB7u},
      {std::string(32, '\0'), 0x8A9136AAu},
      {std::string(32, '\xFF'), 0x62A8AB43u},
      {Bytes(32, 0, 1), 0x46DD794Eu},
      {Bytes(32, 31, -1), 0x113FDB5Cu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Crc32c(c.data.data(), c.data.size()), c.crc) << "size " << c.data.size();
  }
}

TEST(Crc32cTest, MaskedValuesMatchTheFraming) {
  struct Case {
    std::string data;
    uint32_t masked;
  };
  const Case cases[] = {
      {"", 0xA282EAD8u},
      {"abc", 0x21F1576Eu},
      {std::string(8, '\0'), 0x07980329u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MaskedCrc32c(c.data.data(), c.data.size()), c.masked) << "size " << c.data.size();
  }
  // The tests' own bitwise reader agrees with the table on every byte value.
  const std::string all_bytes = Bytes(256, 0, 1);
  EXPECT_EQ(MaskedCrc32c(all_bytes.data(), all_bytes.size()),
            testing::ReferenceMaskedCrc32c(all_bytes));
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
