#include "trace/core/convert/parse_xspace.h"

#include <new>

namespace zentrik {
namespace trace {

Status ParseXSpace(const std::string& bytes, XSpace* space) {
  try {
    if (space->ParseFromString(bytes)) return Status();
  } catch (const std::bad_alloc&) {
    space->Clear();
    return Status(error::RESOURCE_EXHAUSTED, "Out of memory while parsing xspace data");
  }
  return errors::InvalidArgument("Parse xspace data from input string failed");
}

}  // namespace trace
}  // namespace zentrik
