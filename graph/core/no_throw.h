#ifndef ZENTRIK_GRAPH_CORE_NO_THROW_H_
#define ZENTRIK_GRAPH_CORE_NO_THROW_H_

#include <exception>
#include <string>
#include <utility>

#include "common/platform/logging.h"

namespace zentrik {
namespace graph {

// Logs "<operation><subject> failed: <what>" at ERROR; a failure to log (out
// of memory again) is dropped, as nothing may leave the interface.
inline void LogOperationFailure(const char* operation, const std::string* subject,
                                const char* what) noexcept {
  try {
    LOG(ERROR) << operation << (subject != nullptr ? *subject : std::string()) << " failed"
               << (what != nullptr ? ": " : ".") << (what != nullptr ? what : "");
  } catch (...) {
  }
}

// Runs `body` and returns its result; an exception (running out of memory,
// mostly) is logged at ERROR as "<operation><subject> failed: <what>" and
// gives `on_failure`, so that none leaves the library through its interface.
// The label is only put together when logging, so naming the operation cannot
// throw either.
template <typename Result, typename Body>
Result ReturnOnException(const char* operation, const std::string* subject, Result on_failure,
                         Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    LogOperationFailure(operation, subject, error.what());
  } catch (...) {
    LogOperationFailure(operation, subject, nullptr);
  }
  return on_failure;
}

template <typename Result, typename Body>
Result ReturnOnException(const char* operation, Result on_failure, Body&& body) noexcept {
  return ReturnOnException(operation, nullptr, on_failure, std::forward<Body>(body));
}

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_NO_THROW_H_
