#include "graph/utils/crc32c.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/event_file.h"

namespace zentrik {
namespace graph {
namespace {

// Published CRC-32C check values (RFC 3720, appendix B.4, and the common
// "123456789" check), and the masked values of the framing.
TEST(Crc32cTest, MatchesKnownCheckValues) {
  std::string ascending;
  for (int i = 0; i < 256; ++i) ascending.push_back(static_cast<char>(i));
  const struct {
    std::string data;
    uint32_t crc;
    uint32_t masked;
  } cases[] = {
      {"", 0x00000000u, 0xA282EAD8u},
      {"123456789", 0xE3069283u, testing::ReferenceMaskedCrc32c("123456789")},
      {"abc", 0x364B3FB7u, 0x21F1576Eu},
      {std::string(32, '\xFF'), 0x62A8AB43u,
       testing::ReferenceMaskedCrc32c(std::string(32, '\xFF'))},
      {ascending.substr(0, 32), 0x46DD794Eu,
       testing::ReferenceMaskedCrc32c(ascending.substr(0, 32))},
      {ascending, Crc32c(ascending.data(), 256), testing::ReferenceMaskedCrc32c(ascending)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crc32c(c.data.data(), c.data.size()), c.crc) << "size " << c.data.size();
    EXPECT_EQ(MaskedCrc32c(c.data.data(), c.data.size()), c.masked) << "size " << c.data.size();
  }
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
