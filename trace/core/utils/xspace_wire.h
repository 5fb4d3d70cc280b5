#ifndef ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_
#define ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_

// The wire form of an XSpace, made and read cheaply where host events share
// one counter set whose sixteen counters all hold the no-value marker: about
// nine tenths of a host event's bytes.

#include <climits>
#include <cstddef>
#include <string>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Writes `space` into `*output` byte for byte as space.SerializeToString does
// (map entries in the same order, unknown fields kept) and returns what it
// returns, but encodes a counter set that consecutive uses share once and
// sizes every message once. Reads the space only; not thread-safe against
// writers of it.
bool SerializeXSpace(const XSpace& space, std::string* output);

// The most bytes protobuf writes or reads as one message: 2 GiB less one.
constexpr size_t kMaxXSpaceWireBytes = INT_MAX;

// Writes `*space` as SerializeXSpace does when that takes at most `max_bytes`
// (never more than kMaxXSpaceWireBytes). A larger space first loses its
// latest events, whole: those that start at or after the latest time before
// which the rest fits. Every plane keeps its lines, metadata and stats, and
// one WARNING line tells how many events went and why. False, and a WARNING,
// when not even the space without events fits. Not thread-safe against
// other users of the space.
bool SerializeXSpaceWithin(XSpace* space, size_t max_bytes, std::string* output);

enum class SharingParse { kParsed, kInvalid, kNotTaken };

// Parses `bytes` into `*space`, which must be on an arena, to the content
// space->ParseFromString gives, except that the events' counter sets that hold
// exactly the no-value set's encoding all point at one such set on the arena,
// as collected spaces do: readers must not change it. kInvalid when
// ParseFromString would fail too; kNotTaken when the space is on no arena or
// the bytes hold anything this reader does not take apart (broken or
// non-shortest tags and lengths, groups, 2 GiB or more): parse them as they
// are then. `*space` is unspecified unless kParsed. Thread-safe for distinct
// spaces.
SharingParse ParseSharingNoValuePmuData(const std::string& bytes, XSpace* space);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XSPACE_WIRE_H_
