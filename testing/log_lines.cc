#include "testing/log_lines.h"

#include <regex>
#include <sstream>

namespace zentrik {
namespace testing {

std::vector<std::string> LogLinesFrom(const std::string& text, const std::string& source) {
  std::string source_pattern = source.empty() ? "[^ :]+" : "";
  for (char c : source) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) {
      source_pattern += '\\';
    }
    source_pattern += c;
  }
  const std::regex pattern(R"(^.*: (INFO|WARNING|ERROR): +(\d+ )?)" + source_pattern +
                           R"(:\d+\] (.*)$)");
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
