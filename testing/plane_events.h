#ifndef ZENTRIK_TESTING_PLANE_EVENTS_H_
#define ZENTRIK_TESTING_PLANE_EVENTS_H_

// Events placed on a plane to the picosecond, for converters that read
// offsets and durations as they stand:
//
//   trace::XPlaneBuilder plane(space.add_planes());
//   AddPlaneEvent(plane, /*line_id=*/1, "MatMul:MatMul", 0, 100, {{"data_type", "float"}});

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "testing/xspace_fixture.h"  // StatValue
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace testing {

// Appends to line `line_id` (created when absent) an event whose metadata is
// named `name`, with the offset, the duration and `stats` in order.
inline trace::XEventBuilder AddPlaneEvent(
    trace::XPlaneBuilder& plane, int64_t line_id, const std::string& name, int64_t offset_ps,
    int64_t duration_ps, const std::vector<std::pair<std::string, StatValue>>& stats = {}) {
  trace::XEventBuilder event =
      plane.GetOrCreateLine(line_id).AddEvent(*plane.GetOrCreateEventMetadata(name));
  event.SetOffsetPs(offset_ps);
  event.SetDurationPs(duration_ps);
  for (const auto& [stat_name, value] : stats) {
    const trace::XStatMetadata& metadata = *plane.GetOrCreateStatMetadata(stat_name);
    std::visit([&](const auto& v) { event.AddStatValue(metadata, v); }, value);
  }
  return event;
}

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PLANE_EVENTS_H_
