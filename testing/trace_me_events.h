#ifndef ZENTRIK_TESTING_TRACE_ME_EVENTS_H_
#define ZENTRIK_TESTING_TRACE_ME_EVENTS_H_

#include <string>
#include <vector>

#include "trace/core/internal/cpu/traceme_recorder.h"

namespace zentrik {
namespace testing {

inline std::vector<std::string> EventNames(const trace::TraceMeRecorder::Events& events) {
  std::vector<std::string> names;
  for (const auto& thread : events) {
    for (const auto& e : thread.events) names.push_back(e.name);
  }
  return names;
}

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_TRACE_ME_EVENTS_H_
