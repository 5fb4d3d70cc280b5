#ifndef ZENTRIK_TRACE_CORE_UTILS_QX_OP_UTILS_H_
#define ZENTRIK_TRACE_CORE_UTILS_QX_OP_UTILS_H_

// Splitting a framework op's full name ("name:type") into its parts, and the
// short event name shown for it. All functions are thread-safe.

#include <cstdint>
#include <string>
#include <vector>

namespace zentrik {
namespace trace {

// A parsed op full name.
struct QxOp {
  static constexpr int32_t kParsed = 0;  // a name and a type
  static constexpr int32_t kOther = 1;   // anything else

  int32_t kind = kOther;
  std::string name;  // kParsed: the part before the delimiter; kOther: the text
  std::string type;  // kParsed: the part after the delimiter; kOther: empty
};

// True when `s` contains no '#'.
bool HasNoHashMark(const std::string& s);

// Splits `s` at its rightmost isolated `delimiter` (one with no `delimiter`
// directly before or after it) into the parts before and after it; returns
// {s} when there is none. With `warn_multiple`, logs a WARNING when `s` holds
// more than one isolated delimiter.
std::vector<std::string> SplitOnIsolatedDelimiter(const std::string& s, char delimiter,
                                                  bool warn_multiple);

// Parses "name:type". Text with no usable delimiter, an empty part or a '#'
// in a part is kind kOther with the whole text as name, except that a
// trailing ':' is dropped ("train:" gives name "train").
QxOp ParseQxOpFullname(const std::string& fullname, bool warn_multiple);

// The type of a parsed op; for kOther the name without trailing blanks.
std::string QxOpDisplayName(const QxOp& op);

// QxOpDisplayName(ParseQxOpFullname(fullname, warn_multiple)).
std::string QxOpEventName(const std::string& fullname, bool warn_multiple);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_QX_OP_UTILS_H_
