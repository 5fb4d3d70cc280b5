#include "trace/core/utils/qx_op_utils.h"

#include <utility>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kOpDelimiter = ':';

bool IsIsolatedDelimiter(const std::string& s, size_t pos, char delimiter) {
  if (s[pos] != delimiter) return false;
  if (pos > 0 && s[pos - 1] == delimiter) return false;
  return pos + 1 >= s.size() || s[pos + 1] != delimiter;
}

}  // namespace

bool HasNoHashMark(const std::string& s) { return s.find('#') == std::string::npos; }

std::vector<std::string> SplitOnIsolatedDelimiter(const std::string& s, char delimiter,
                                                  bool warn_multiple) {
  size_t split = std::string::npos;
  int isolated = 0;
  // The rightmost delimiter wins; only a warning needs the scan to go on.
  for (size_t pos = s.size(); pos-- > 0;) {
    if (!IsIsolatedDelimiter(s, pos, delimiter)) continue;
    if (split == std::string::npos) split = pos;
    if (!warn_multiple) break;
    ++isolated;
  }
  if (isolated > 1) {
    LOG(WARNING) << "Find multiple isolated delimiter '" << delimiter << "' in " << s;
  }
  if (split == std::string::npos) return {s};
  return {s.substr(0, split), s.substr(split + 1)};
}

QxOp ParseQxOpFullname(const std::string& fullname, bool warn_multiple) {
  QxOp op;
  op.name = fullname;
  std::vector<std::string> parts = SplitOnIsolatedDelimiter(fullname, kOpDelimiter, warn_multiple);
  if (parts.size() != 2) return op;
  if (!parts[0].empty() && !parts[1].empty() && HasNoHashMark(parts[0]) &&
      HasNoHashMark(parts[1])) {
    op.kind = QxOp::kParsed;
    op.name = std::move(parts[0]);
    op.type = std::move(parts[1]);
  } else if (parts[1].empty()) {
    op.name = std::move(parts[0]);
  }
  return op;
}

std::string QxOpDisplayName(const QxOp& op) {
  if (op.kind != QxOp::kOther) return op.type;
  const size_t end = op.name.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : op.name.substr(0, end + 1);
}

std::string QxOpEventName(const std::string& fullname, bool warn_multiple) {
  return QxOpDisplayName(ParseQxOpFullname(fullname, warn_multiple));
}

}  // namespace trace
}  // namespace zentrik
