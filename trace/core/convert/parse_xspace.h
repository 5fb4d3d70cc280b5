#ifndef ZENTRIK_TRACE_CORE_CONVERT_PARSE_XSPACE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_PARSE_XSPACE_H_

#include <string>

#include "common/platform/status.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Parses serialized XSpace bytes into `*space`. INVALID_ARGUMENT "Parse xspace
// data from input string failed" for bytes that are no XSpace;
// RESOURCE_EXHAUSTED "Out of memory while parsing xspace data" when memory
// runs out, which says nothing about the bytes. On an arena, the events whose
// counter sets hold no value at all share one PmuData, as collected spaces do:
// readers must not change it. Thread-safe.
Status ParseXSpace(const std::string& bytes, XSpace* space);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_PARSE_XSPACE_H_
