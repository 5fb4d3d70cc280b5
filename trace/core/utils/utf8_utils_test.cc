#include "trace/core/utils/utf8_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {
namespace {

// U+FFFD, for building expectations.
const std::string kR(kUtf8ReplacementCharacter);

TEST(Utf8UtilsTest, ReplacesEachMaximalIllFormedSubpartOnce) {
  const struct {
    const char* label;
    std::string input, expected;
  } cases[] = {
      {"ascii", "MatMul#flops=12#", "MatMul#flops=12#"},
      {"nul byte", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"two bytes", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"four bytes", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"lone continuation", "a\x80z", "a" + kR + "z"},
      {"two-byte cut at end", "ab\xC3", "ab" + kR},
      {"cut followed by ascii", "\xE2\x82z", kR + "z"},
      {"cut followed by a character", "\xC3\xC3\xA9", kR + "\xC3\xA9"},
      {"overlong two bytes", "\xC0\xAF", kR + kR},
      {"overlong three bytes", "\xE0\x80\xAF", kR + kR + kR},
      {"surrogate", "\xED\xA0\x80", kR + kR + kR},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kR + kR + kR + kR},
      {"byte FF", "\xFF", kR},
  };
  for (const auto& c : cases) {
    std::string text = c.input;
    const bool changed = SanitizeUtf8(&text);
    EXPECT_EQ(text, c.expected) << c.label;
    EXPECT_EQ(changed, c.input != c.expected) << c.label;
    EXPECT_EQ(IsValidUtf8(c.input), c.input == c.expected) << c.label;
    EXPECT_EQ(SanitizedUtf8(c.input), c.expected) << c.label;
  }
}

// Whether the schema's reader accepts `text` (shorter than 128 bytes) in a
// string field. The wire bytes are built by hand: the writer would log every
// invalid string.
bool ParsesAsStringField(const std::string& text) {
  const std::string name_field = std::string("\x12") + static_cast<char>(text.size()) + text;
  XStatMetadata parsed;
  return parsed.ParseFromString(name_field);
}

// Every string built from bytes that sit on the boundaries of the encoding's
// ranges: the validity check agrees with the protobuf reader, and the
// sanitised text always parses and is left alone by a second pass.
TEST(Utf8UtilsTest, AgreesWithTheProtobufReader) {
  const std::vector<unsigned char> bytes = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                            0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC,
                                            0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::vector<std::string> texts = {""};
  std::vector<std::string> all;
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& prefix : texts) {
      for (unsigned char byte : bytes) longer.push_back(prefix + static_cast<char>(byte));
    }
    texts = std::move(longer);
    all.insert(all.end(), texts.begin(), texts.end());
  }
  int mismatches = 0;
  for (const std::string& text : all) {
    if (IsValidUtf8(text) != ParsesAsStringField(text)) ++mismatches;
    std::string sanitized = text;
    SanitizeUtf8(&sanitized);
    if (!ParsesAsStringField(sanitized) || SanitizeUtf8(&sanitized)) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
