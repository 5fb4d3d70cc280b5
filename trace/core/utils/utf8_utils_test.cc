#include "trace/core/utils/utf8_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {
namespace {

TEST(Utf8UtilsTest, ReplacesEachMaximalIllFormedSubpartOnce) {
  const std::string r(kUtf8ReplacementCharacter);
  const std::pair<std::string, std::string> cases[] = {
      {{"a\0b#caf\xC3\xA9\xF0\x9F\x98\x80", 13}, {"a\0b#caf\xC3\xA9\xF0\x9F\x98\x80", 13}},
      {"a\x80z", "a" + r + "z"},                    // lone continuation
      {"ab\xC3", "ab" + r},                         // cut at the end
      {"\xE0\x80\xAF", r + r + r},                  // overlong
      {"\xF4\x90\x80\x80\xFF", r + r + r + r + r},  // above U+10FFFF, byte FF
      // Past whole eight-byte words of ASCII, and a character across a word's end.
      {"12345678\x80" "abcdefghijklmnop\xC3", "12345678" + r + "abcdefghijklmnop" + r},
      {"1234567\xC3\xA9" "abcdefgh", "1234567\xC3\xA9" "abcdefgh"},
  };
  for (const auto& [input, expected] : cases) {
    std::string text = input;
    EXPECT_EQ(SanitizeUtf8(&text), input != expected) << input;
    EXPECT_EQ(text, expected);
    EXPECT_EQ(SanitizedUtf8(input), expected);
    EXPECT_EQ(IsValidUtf8(input), input == expected) << input;
  }
}

// Whether the schema's reader accepts `text` (under 128 bytes) in a string field.
bool ParsesAsStringField(const std::string& text) {
  return XStatMetadata().ParseFromString(std::string("\x12") + static_cast<char>(text.size()) + text);
}

// Every string of up to four bytes from the boundaries of the encoding's
// ranges: the check agrees with the protobuf reader, and sanitised text
// parses and is left alone by a second pass.
TEST(Utf8UtilsTest, AgreesWithTheProtobufReader) {
  const std::string bytes("\x00\x41\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xE1\xEC\xED"
                          "\xEE\xEF\xF0\xF1\xF4\xF5\xFF", 24);
  std::vector<std::string> texts = {""};
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].size() < 4) {
      for (const char byte : bytes) texts.push_back(texts[i] + byte);
    }
    std::string sanitized = texts[i];
    SanitizeUtf8(&sanitized);
    ASSERT_EQ(IsValidUtf8(texts[i]), ParsesAsStringField(texts[i])) << i;
    ASSERT_TRUE(ParsesAsStringField(sanitized) && !SanitizeUtf8(&sanitized)) << i;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
