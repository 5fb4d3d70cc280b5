#ifndef ZENTRIK_TRACE_CORE_UTILS_UTF8_UTILS_H_
#define ZENTRIK_TRACE_CORE_UTILS_UTF8_UTILS_H_

// Every string field of the trace schema must hold well-formed UTF-8: a
// reader's parser rejects the whole XSpace otherwise. Text that comes from
// outside (activity names, thread names, annotations, device-library strings)
// goes through these before it is stored. All functions are thread-safe.

#include <string>
#include <string_view>

namespace zentrik {
namespace trace {

// The replacement character U+FFFD in UTF-8.
inline constexpr std::string_view kUtf8ReplacementCharacter = "\xEF\xBF\xBD";

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// truncated, overlong or surrogate sequences, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

// Replaces every ill-formed sequence of `*text` by U+FFFD, one replacement per
// maximal ill-formed subpart (so a character cut short costs one U+FFFD).
// Well-formed text is left as it is, without allocating. Returns true when
// something was replaced.
bool SanitizeUtf8(std::string* text);

// A sanitised copy of `text`.
std::string SanitizedUtf8(std::string_view text);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_UTF8_UTILS_H_
