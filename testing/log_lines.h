#ifndef ZENTRIK_TESTING_LOG_LINES_H_
#define ZENTRIK_TESTING_LOG_LINES_H_

#include <string>
#include <vector>

namespace zentrik {
namespace testing {

// The log lines of `text` (captured standard error) written from the source
// file `source` (as log lines name it, e.g.
// "trace/core/convert/xplane_to_trace_events"; empty: every source), each as
// its severity, a space and its message; other lines and the continuation
// lines of a message are left out.
std::vector<std::string> LogLinesFrom(const std::string& text, const std::string& source);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_LOG_LINES_H_
