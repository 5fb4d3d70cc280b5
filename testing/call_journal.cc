#include "testing/call_journal.h"

#include <cctype>
#include <cstdint>
#include <regex>

namespace zentrik {
namespace testing {
namespace {

struct Call {
  std::string name;
  std::vector<std::string> args;
};

Call Parse(const std::string& entry) {
  Call call;
  const size_t open = entry.find('(');
  call.name = entry.substr(0, open);
  if (open == std::string::npos || entry.size() < open + 2) return call;
  const std::string args = entry.substr(open + 1, entry.size() - open - 2);
  size_t begin = 0;
  for (size_t comma; (comma = args.find(',', begin)) != std::string::npos; begin = comma + 1) {
    call.args.push_back(args.substr(begin, comma - begin));
  }
  if (!args.empty()) call.args.push_back(args.substr(begin));
  return call;
}

bool Numeric(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The one numeric place in which `a` and `b` differ, or -1.
int VaryingPlace(const Call& a, const Call& b) {
  if (a.name != b.name || a.args.size() != b.args.size()) return -1;
  int place = -1;
  for (size_t i = 0; i < a.args.size(); ++i) {
    if (a.args[i] == b.args[i]) continue;
    if (place >= 0 || !Numeric(a.args[i]) || !Numeric(b.args[i])) return -1;
    place = static_cast<int>(i);
  }
  return place;
}

bool SameApartFrom(const Call& a, const Call& b, int place) {
  if (a.name != b.name || a.args.size() != b.args.size()) return false;
  for (size_t i = 0; i < a.args.size(); ++i) {
    if (static_cast<int>(i) == place ? !Numeric(b.args[i]) : a.args[i] != b.args[i]) return false;
  }
  return true;
}

// The call, its argument at `place` (if any) replaced by `varying`.
std::string Text(const Call& call, int place, const std::string& varying) {
  std::string text = call.name + "(";
  for (size_t i = 0; i < call.args.size(); ++i) {
    text += (i == 0 ? "" : ",") + (static_cast<int>(i) == place ? varying : call.args[i]);
  }
  return text + ")";
}

constexpr size_t kLongestUnfoldedRun = 8;

}  // namespace

std::string SummarizeJournal(const std::vector<std::string>& entries) {
  static const std::regex subscriber("S\\d+");
  std::vector<Call> calls;
  for (const std::string& entry : entries) {
    if (entry.rfind("dravikActivityGetNextRecord(", 0) == 0) continue;
    calls.push_back(Parse(std::regex_replace(entry, subscriber, "S")));
  }
  std::string out;
  for (size_t i = 0; i < calls.size();) {
    const int place = i + 1 < calls.size() ? VaryingPlace(calls[i], calls[i + 1]) : -1;
    size_t end = i + 1;
    if (place >= 0) {
      while (end < calls.size() && SameApartFrom(calls[i], calls[end], place)) ++end;
    }
    if (end - i <= kLongestUnfoldedRun) end = i + 1;
    if (!out.empty()) out += ' ';
    if (end == i + 1) {
      out += Text(calls[i], -1, "");
    } else {
      uint64_t sum = 0;
      for (size_t j = i; j < end; ++j) sum += std::stoull(calls[j].args[place]);
      const std::string range = calls[i].args[place] + ".." + calls[end - 1].args[place];
      out +=
          Text(calls[i], place, range) + "x" + std::to_string(end - i) + "+" + std::to_string(sum);
    }
    i = end;
  }
  return out;
}

}  // namespace testing
}  // namespace zentrik
