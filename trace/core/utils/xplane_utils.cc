#include "trace/core/utils/xplane_utils.h"

#include <algorithm>

#include "common/platform/env.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

template <typename Planes>
auto FindPlane(Planes& planes, std::string_view name) -> decltype(&*planes.begin()) {
  for (auto& plane : planes) {
    if (plane.name() == name) return &plane;
  }
  return nullptr;
}

template <typename Planes>
auto FindPlanesWithPrefixIn(Planes& planes, std::string_view prefix)
    -> std::vector<decltype(&*planes.begin())> {
  std::vector<decltype(&*planes.begin())> result;
  for (auto& plane : planes) {
    if (StartsWith(plane.name(), prefix)) result.push_back(&plane);
  }
  return result;
}

const std::string& SortKey(const XLine& line) {
  return line.display_name().empty() ? line.name() : line.display_name();
}

// Sorts the element pointers of a repeated field; no message is copied. The
// sort is stable so that equal elements keep their order on every run, which
// also makes sorting a sorted field a no-op: one pass finds that out, and a
// collection sorts every line twice.
template <typename T, typename Compare>
void SortPointers(google::protobuf::RepeatedPtrField<T>* field, Compare compare) {
  if (std::is_sorted(field->pointer_begin(), field->pointer_end(), compare)) return;
  std::stable_sort(field->pointer_begin(), field->pointer_end(), compare);
}

}  // namespace

const XPlane* FindPlaneWithName(const XSpace& space, std::string_view name) {
  return FindPlane(space.planes(), name);
}

XPlane* FindMutablePlaneWithName(XSpace* space, std::string_view name) {
  return FindPlane(*space->mutable_planes(), name);
}

XPlane* FindOrAddMutablePlaneWithName(XSpace* space, std::string_view name) {
  XPlane* plane = FindMutablePlaneWithName(space, name);
  if (plane == nullptr) {
    plane = space->add_planes();
    plane->set_name(std::string(name));
  }
  return plane;
}

std::vector<const XPlane*> FindPlanesWithPrefix(const XSpace& space, std::string_view prefix) {
  return FindPlanesWithPrefixIn(space.planes(), prefix);
}

std::vector<XPlane*> FindMutablePlanesWithPrefix(XSpace* space, std::string_view prefix) {
  return FindPlanesWithPrefixIn(*space->mutable_planes(), prefix);
}

void NormalizeTimestamps(XSpace* space, uint64_t start_time_ns) {
  for (XPlane& plane : *space->mutable_planes()) {
    for (XLine& line : *plane.mutable_lines()) {
      const uint64_t timestamp_ns = static_cast<uint64_t>(line.timestamp_ns());
      if (timestamp_ns >= start_time_ns) {
        line.set_timestamp_ns(static_cast<int64_t>(timestamp_ns - start_time_ns));
      }
    }
  }
}

void SortXLine(XLine* line) { SortPointers(line->mutable_events(), XEventsComparator()); }

void SortXPlane(XPlane* plane) {
  for (XLine& line : *plane->mutable_lines()) SortXLine(&line);
}

void SortXSpace(XSpace* space) {
  for (XPlane& plane : *space->mutable_planes()) SortXPlane(&plane);
}

void SortHostPlaneLines(XSpace* space) {
  XPlane* host_plane = FindOrAddMutablePlaneWithName(space, kHostPlaneName);
  SortPointers(host_plane->mutable_lines(), XLinesComparatorByName());
}

void RemoveEmptyLines(XPlane* plane) {
  auto* lines = plane->mutable_lines();
  // Kept lines move down over the gaps; the empty ones collect at the end.
  int kept = 0;
  for (int i = 0; i < lines->size(); ++i) {
    if (lines->Get(i).events_size() == 0) continue;
    if (i != kept) lines->SwapElements(i, kept);
    ++kept;
  }
  if (kept < lines->size()) lines->DeleteSubrange(kept, lines->size() - kept);
}

bool XLinesComparatorByName::operator()(const XLine* a, const XLine* b) const {
  // std::string compares as unsigned bytes, a prefix first.
  return SortKey(*a) < SortKey(*b);
}

}  // namespace trace
}  // namespace zentrik
