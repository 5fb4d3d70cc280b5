#include "common/utils/number_format.h"

#include <algorithm>
#include <cmath>

namespace zentrik {
namespace trace {
namespace {

constexpr int kMaxPrecision = 64;
// Sign, 309 integer digits of the largest double, the point and the digits.
constexpr size_t kBufferSize = 1 + 309 + 1 + kMaxPrecision + 8;

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

void AppendGeneral(double value, int precision, std::string* out) {
  AppendFloating(value, std::chars_format::general, std::clamp(precision, 1, kMaxPrecision), out);
}

std::string FormatGeneral(double value, int precision) {
  std::string text;
  AppendGeneral(value, precision, &text);
  return text;
}

}  // namespace trace
}  // namespace zentrik
