#include "trace/core/convert/derived_timeline.h"

#include <utility>

#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {

StepLineBuilder::StepLineBuilder(XPlaneBuilder* plane, int64_t line_id,
                                 const std::string& line_name, int64_t start_timestamp_ns,
                                 std::vector<int64_t> dependent_lines)
    : line_(plane->GetOrCreateLine(line_id)), dependent_lines_(std::move(dependent_lines)) {
  line_.SetName(line_name);
  line_.SetTimestampNs(start_timestamp_ns);
}

void BuildStepLines(const GroupMetadataMap& group_metadata_map, XSpace* space,
                    bool step_info_only) {
  for (XPlane* plane : FindMutablePlanesWithPrefix(space, kDevicePlanePrefix)) {
    BuildStepLineForDevicePlane(group_metadata_map, plane, step_info_only);
  }
}

void BuildStepLineForDevicePlane(const GroupMetadataMap& /*group_metadata_map*/, XPlane* plane,
                                 bool /*step_info_only*/) {
  int64_t start_timestamp_ns = 0;
  for (const XLine& line : plane->lines()) {
    if (!IsDerivedLineId(line.id())) start_timestamp_ns = line.timestamp_ns();
  }
  {
    XPlaneBuilder plane_builder(plane);
    StepLineBuilder step_line(&plane_builder, kDerivedLineId, kStepLineName, start_timestamp_ns,
                              /*dependent_lines=*/{});
    plane_builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::group_id));
    plane_builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::step_name));
  }
  // The builders above point at lines this destroys; they are gone by now.
  RemoveEmptyLines(plane);
}

}  // namespace trace
}  // namespace zentrik
