#include "common/utils/number_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace zentrik {
namespace trace {
namespace {

constexpr int kMaxPrecision = 64;
// Sign, 309 integer digits of the largest double, the point and the digits.
constexpr size_t kBufferSize = 1 + 309 + 1 + kMaxPrecision + 8;

// base^0, base^1, ... base^(N - 1).
template <size_t N>
constexpr std::array<uint64_t, N> Powers(uint64_t base) {
  std::array<uint64_t, N> powers{};
  uint64_t power = 1;
  for (uint64_t& entry : powers) {
    entry = power;
    power *= base;
  }
  return powers;
}

// 5^27 is the last power of five below 2^63.
constexpr std::array<uint64_t, 28> kPowersOfFive = Powers<28>(5);
constexpr std::array<uint64_t, 18> kPowersOfTen = Powers<18>(10);

// The `precision` significant digits of a positive normal `value`, rounded to
// nearest, with its decimal exponent: value ~ digits * 10^(exponent + 1 -
// precision). Exact, in 128-bit integers, for values in about [1e-11, 1e17);
// false outside it and when the value lies exactly halfway, which the general
// path decides.
bool SignificantDigits(double value, int precision, uint64_t* digits, int* exponent) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  const int biased = static_cast<int>(bits >> 52);
  if (biased == 0 || biased >= 0x7ff) return false;
  const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  const int binary_exponent = biased - 1075;  // value = mantissa * 2^binary_exponent
  // floor(log10(value)) or one less; corrected below.
  int decimal = ((binary_exponent + 52) * 78913) >> 18;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int scale = precision - 1 - decimal;  // digits ~ value * 10^scale
    if (scale < 0 || scale >= static_cast<int>(kPowersOfFive.size())) return false;
    const unsigned __int128 scaled =
        static_cast<unsigned __int128>(mantissa) * kPowersOfFive[scale];
    const int shift = binary_exponent + scale;
    uint64_t floor_digits;
    bool round_up = false;
    if (shift >= 0) {
      if (shift >= 64) return false;
      const unsigned __int128 whole = scaled << shift;
      if (whole >> 64 != 0) return false;
      floor_digits = static_cast<uint64_t>(whole);
    } else {
      if (-shift >= 127) return false;
      const unsigned __int128 whole = scaled >> -shift;
      const unsigned __int128 rest = scaled - (whole << -shift);
      const unsigned __int128 half = static_cast<unsigned __int128>(1) << (-shift - 1);
      if (rest == half) return false;
      if (whole >> 64 != 0) return false;
      floor_digits = static_cast<uint64_t>(whole);
      round_up = rest > half;
    }
    if (floor_digits < kPowersOfTen[precision - 1]) {
      --decimal;
      continue;
    }
    if (floor_digits >= kPowersOfTen[precision]) {
      ++decimal;
      continue;
    }
    *digits = floor_digits + (round_up ? 1 : 0);
    *exponent = decimal;
    if (*digits == kPowersOfTen[precision]) {  // 9.99..95 rounds up to 10.0..0
      *digits = kPowersOfTen[precision - 1];
      ++*exponent;
    }
    return true;
  }
  return false;
}

// "%.<precision>g" of the digits and exponent that SignificantDigits gave.
char* WriteGeneralDigits(uint64_t digits, int exponent, int precision, char* out) {
  char text[20];
  std::to_chars(text, text + sizeof(text), digits);  // exactly `precision` digits
  int significant = precision;
  while (significant > 1 && text[significant - 1] == '0') --significant;
  if (exponent < -4 || exponent >= precision) {
    *out++ = text[0];
    if (significant > 1) {
      *out++ = '.';
      out = std::copy(text + 1, text + significant, out);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
  }
  if (exponent < 0) {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -exponent - 1, '0');
    return std::copy(text, text + significant, out);
  }
  out = std::copy(text, text + exponent + 1, out);
  if (significant > exponent + 1) {
    *out++ = '.';
    out = std::copy(text + exponent + 1, text + significant, out);
  }
  return out;
}

void AppendFloating(double value, std::chars_format format, int precision, std::string* out) {
  if (std::isnan(value)) {
    out->append("nan");
    return;
  }
  char buffer[kBufferSize];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, format, precision);
  // The buffer holds every value at every allowed precision; the check only
  // keeps a broken runtime from making us append garbage.
  if (result.ec != std::errc()) return;
  out->append(buffer, result.ptr);
}

}  // namespace

void AppendFixed(double value, int precision, std::string* out) {
  AppendFloating(value, std::chars_format::fixed, std::clamp(precision, 0, kMaxPrecision), out);
}

std::string FormatFixed(double value, int precision) {
  std::string text;
  AppendFixed(value, precision, &text);
  return text;
}

char* WriteGeneral(double value, int precision, char* out) {
  precision = std::clamp(precision, 1, kMaxFastGeneralPrecision);
  if (std::isnan(value)) return std::copy_n("nan", 3, out);
  uint64_t digits;
  int exponent;
  if (SignificantDigits(std::fabs(value), precision, &digits, &exponent)) {
    if (std::signbit(value)) *out++ = '-';
    return WriteGeneralDigits(digits, exponent, precision, out);
  }
  return std::to_chars(out, out + kMaxGeneralChars, value, std::chars_format::general, precision)
      .ptr;
}

void AppendGeneral(double value, int precision, std::string* out) {
  if (precision <= kMaxFastGeneralPrecision) {
    char buffer[kMaxGeneralChars];
    out->append(buffer, WriteGeneral(value, precision, buffer));
    return;
  }
  AppendFloating(value, std::chars_format::general, std::clamp(precision, 1, kMaxPrecision), out);
}

std::string FormatGeneral(double value, int precision) {
  std::string text;
  AppendGeneral(value, precision, &text);
  return text;
}

}  // namespace trace
}  // namespace zentrik
