#include "trace/core/utils/utf8_utils.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace zentrik {
namespace trace {
namespace {

// The byte range allowed for the second byte after `lead`; the later
// continuation bytes are always 0x80..0xBF. These bounds are what exclude
// overlong forms, surrogates and code points above U+10FFFF.
struct SecondByteRange {
  uint8_t low;
  uint8_t high;
};

SecondByteRange SecondByteRangeOf(uint8_t lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {0x80, 0xBF};
  }
}

// Bytes of the sequence that `lead` starts; 0 for a byte that starts none.
size_t SequenceLength(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Reads one sequence at the front of `text` (not empty). Returns the bytes it
// takes: a whole character when `*valid` is set, otherwise the maximal
// ill-formed subpart (at least one byte) that one U+FFFD stands for.
size_t ReadSequence(std::string_view text, bool* valid) {
  const auto lead = static_cast<uint8_t>(text[0]);
  const size_t length = SequenceLength(lead);
  *valid = false;
  if (length == 0) return 1;
  size_t taken = 1;
  for (; taken < length; ++taken) {
    if (taken >= text.size()) return taken;
    const auto byte = static_cast<uint8_t>(text[taken]);
    const SecondByteRange range =
        taken == 1 ? SecondByteRangeOf(lead) : SecondByteRange{0x80, 0xBF};
    if (byte < range.low || byte > range.high) return taken;
  }
  *valid = true;
  return length;
}

// The length of the well-formed prefix of `text`.
size_t ValidPrefixLength(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    // ASCII is by far the common case: eight bytes at a time.
    constexpr uint64_t kHighBits = 0x8080808080808080;
    uint64_t word = 0;
    while (pos + sizeof(word) <= text.size() &&
           (std::memcpy(&word, text.data() + pos, sizeof(word)), (word & kHighBits) == 0)) {
      pos += sizeof(word);
    }
    if (pos == text.size()) break;
    if (static_cast<uint8_t>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    bool valid = false;
    const size_t taken = ReadSequence(text.substr(pos), &valid);
    if (!valid) break;
    pos += taken;
  }
  return pos;
}

}  // namespace

bool IsValidUtf8(std::string_view text) { return ValidPrefixLength(text) == text.size(); }

bool SanitizeUtf8(std::string* text) {
  const std::string_view input(*text);
  size_t pos = ValidPrefixLength(input);
  if (pos == input.size()) return false;
  std::string result(input.substr(0, pos));
  while (pos < input.size()) {
    bool valid = false;
    const size_t taken = ReadSequence(input.substr(pos), &valid);
    if (valid) {
      result.append(input.substr(pos, taken));
    } else {
      result.append(kUtf8ReplacementCharacter);
    }
    pos += taken;
  }
  *text = std::move(result);
  return true;
}

std::string SanitizedUtf8(std::string_view text) {
  std::string result(text);
  SanitizeUtf8(&result);
  return result;
}

}  // namespace trace
}  // namespace zentrik
