#ifndef ZENTRIK_GRAPH_CORE_NO_THROW_H_
#define ZENTRIK_GRAPH_CORE_NO_THROW_H_

#include <exception>
#include <string>

#include "common/platform/logging.h"

namespace zentrik {
namespace graph {

// Runs `body` and returns its result; an exception (running out of memory,
// mostly) is logged at ERROR as "<operation> failed: <what>" and gives
// `on_failure`, so that none leaves the library through its interface.
template <typename Result, typename Body>
Result ReturnOnException(const std::string& operation, Result on_failure, Body&& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    LOG(ERROR) << operation << " failed: " << error.what();
  } catch (...) {
    LOG(ERROR) << operation << " failed.";
  }
  return on_failure;
}

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_NO_THROW_H_
