#ifndef ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_
#define ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_

// The wire form of an XSpace, made and read cheaply where host events share
// one counter set whose sixteen counters all hold the no-value marker: about
// nine tenths of a host event's bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Writes `space` into `*output` byte for byte as space.SerializeToString does
// (map entries in the same order, unknown fields kept) and returns what it
// returns, but encodes a counter set that consecutive uses share once and
// sizes every message once. Reads the space only; not thread-safe against
// writers of it.
bool SerializeXSpace(const XSpace& space, std::string* output);

// The wire form of XSpace bytes without the counter-set fields that hold
// exactly the no-value set's encoding, with the lengths around them made to
// fit. `shared` holds a byte per event in wire order: bit 0 when its pmu_data
// was taken out, bit 1 for second_pmu_data. A field met twice in one event is
// left in (the parse merges the two).
struct StrippedXSpace {
  std::string bytes;
  std::vector<uint8_t> shared;
};

// False, leaving `*stripped` unspecified, when there is nothing to take out or
// the bytes hold anything this walk does not take apart (broken or
// non-shortest tags and lengths, groups, an input of 2 GiB or more): parse
// the bytes as they are then, which also judges them. Thread-safe.
bool StripNoValuePmuData(const std::string& bytes, StrippedXSpace* stripped);

// Points the counter sets marked in `shared` (events in space order) at one
// no-value PmuData made on the space's arena, as collection does; readers of
// the space must not change it. False, changing nothing, when the space is on
// no arena or its event count differs from `shared`'s.
bool ShareNoValuePmuData(const std::vector<uint8_t>& shared, XSpace* space);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_
