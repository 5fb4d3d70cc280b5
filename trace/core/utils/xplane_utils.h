#ifndef ZENTRIK_TRACE_CORE_UTILS_XPLANE_UTILS_H_
#define ZENTRIK_TRACE_CORE_UTILS_XPLANE_UTILS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Plane lookups compare names byte for byte and walk planes in space order.
// The first plane named `name`, or null.
const XPlane* FindPlaneWithName(const XSpace& space, std::string_view name);
XPlane* FindMutablePlaneWithName(XSpace* space, std::string_view name);
// The first plane named `name`; when there is none, a new plane with only its
// name set is appended. Never null.
XPlane* FindOrAddMutablePlaneWithName(XSpace* space, std::string_view name);
// Every plane whose name begins with `prefix`, in space order; an empty
// prefix matches none.
std::vector<const XPlane*> FindPlanesWithPrefix(const XSpace& space, std::string_view prefix);
std::vector<XPlane*> FindMutablePlanesWithPrefix(XSpace* space, std::string_view prefix);

// Makes line timestamps relative to `start_time_ns`: every line whose
// timestamp_ns, read unsigned, is at least the start loses the start; an
// earlier line keeps its absolute timestamp. Event offsets are untouched.
void NormalizeTimestamps(XSpace* space, uint64_t start_time_ns);

// Orders the events of `line` by XEventsComparator; events equal in both keys
// keep their order.
void SortXLine(XLine* line);
// SortXLine on every line of `plane`. Lines keep their order.
void SortXPlane(XPlane* plane);
// SortXPlane on every plane.
void SortXSpace(XSpace* space);
// Orders the lines of the host plane by XLinesComparatorByName, adding an
// empty host plane when the space has none. Other planes are untouched.
void SortHostPlaneLines(XSpace* space);

// Removes and destroys every line without events, in one pass; the others
// keep their order. Builders over the plane must not be used afterwards.
void RemoveEmptyLines(XPlane* plane);

// Events by start offset ascending, the longer first at equal offsets, both
// compared unsigned (a negative offset sorts last). An event holding a count
// of occurrences instead of an offset counts as offset 0.
// Inline: passes over every event of a space compare neighbours with it.
struct XEventsComparator {
  bool operator()(const XEvent* a, const XEvent* b) const {
    const uint64_t a_offset = OffsetForSorting(*a);
    const uint64_t b_offset = OffsetForSorting(*b);
    if (a_offset != b_offset) return a_offset < b_offset;
    return static_cast<uint64_t>(a->duration_ps()) > static_cast<uint64_t>(b->duration_ps());
  }
  static uint64_t OffsetForSorting(const XEvent& event) {
    return event.data_case() == XEvent::kOffsetPs ? static_cast<uint64_t>(event.offset_ps()) : 0;
  }
};

// Lines by display name, or by name when that is empty, compared as unsigned
// bytes (a prefix sorts first).
struct XLinesComparatorByName {
  bool operator()(const XLine* a, const XLine* b) const;
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XPLANE_UTILS_H_
