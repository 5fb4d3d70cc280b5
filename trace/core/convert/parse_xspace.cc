#include "trace/core/convert/parse_xspace.h"

#include <new>

#include "trace/core/utils/xspace_wire.h"

namespace zentrik {
namespace trace {
namespace {

// On an arena, events share one no-value counter set instead of each parsing
// two copies of it (most of a host trace's bytes and memory).
bool Parse(const std::string& bytes, XSpace* space) {
  switch (ParseSharingNoValuePmuData(bytes, space)) {
    case SharingParse::kParsed:
      return true;
    case SharingParse::kInvalid:
      return false;
    case SharingParse::kNotTaken:
      break;
  }
  return space->ParseFromString(bytes);
}

}  // namespace

Status ParseXSpace(const std::string& bytes, XSpace* space) {
  try {
    if (Parse(bytes, space)) return Status();
  } catch (const std::bad_alloc&) {
    space->Clear();
    return Status(error::RESOURCE_EXHAUSTED, "Out of memory while parsing xspace data");
  }
  return errors::InvalidArgument("Parse xspace data from input string failed");
}

}  // namespace trace
}  // namespace zentrik
