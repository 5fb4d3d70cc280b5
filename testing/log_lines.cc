#include "testing/log_lines.h"

#include <regex>
#include <sstream>

namespace zentrik {
namespace testing {

std::vector<std::string> LogLinesFrom(const std::string& text, const std::string& source) {
  std::string escaped;
  for (char c : source) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  const std::regex pattern(R"(^.*: (INFO|WARNING|ERROR): +(\d+ )?)" + escaped + R"(:\d+\] (.*)$)");
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    std::smatch match;
    if (std::regex_match(line, match, pattern)) {
      lines.push_back(match[1].str() + " " + match[3].str());
    }
  }
  return lines;
}

}  // namespace testing
}  // namespace zentrik
