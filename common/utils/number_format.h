#ifndef ZENTRIK_COMMON_UTILS_NUMBER_FORMAT_H_
#define ZENTRIK_COMMON_UTILS_NUMBER_FORMAT_H_

#include <charconv>
#include <cstdint>
#include <string>

namespace zentrik {
namespace trace {

// Number text that never depends on the process's locale: the library runs in
// applications that may set LC_NUMERIC, and a decimal comma would corrupt the
// JSON and the figures we write. Each function gives the bytes that the named
// printf conversion gives in the C locale, except that every NaN is "nan" (the
// C library prints "-nan" for NaNs with the sign bit set). Pure, thread-safe.

// "%.<precision>f". A precision outside 0..64 is taken as the nearest bound.
void AppendFixed(double value, int precision, std::string* out);
std::string FormatFixed(double value, int precision);

// "%.<precision>g". A precision outside 1..64 is taken as the nearest bound.
void AppendGeneral(double value, int precision, std::string* out);

// "%.<precision>g" for a precision of at most kMaxFastGeneralPrecision (one
// below 1 is taken as 1, one above as that bound), written at `out`, which
// has room for kMaxGeneralChars; returns the end. Hot path: no allocation.
constexpr int kMaxFastGeneralPrecision = 17;
constexpr size_t kMaxGeneralChars = 32;
char* WriteGeneral(double value, int precision, char* out);
std::string FormatGeneral(double value, int precision);

// "%lu" and "%ld". Inline: the JSON writer calls them for every event.
inline void AppendUnsigned(uint64_t value, std::string* out) {
  char buffer[20];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out->append(buffer, result.ptr);
}

inline void AppendSigned(int64_t value, std::string* out) {
  char buffer[20];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out->append(buffer, result.ptr);
}

inline std::string FormatUnsigned(uint64_t value) {
  std::string text;
  AppendUnsigned(value, &text);
  return text;
}

inline std::string FormatSigned(int64_t value) {
  std::string text;
  AppendSigned(value, &text);
  return text;
}

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_UTILS_NUMBER_FORMAT_H_
