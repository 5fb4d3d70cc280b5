#ifndef ZENTRIK_TRACE_CORE_CONVERT_DERIVED_TIMELINE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_DERIVED_TIMELINE_H_

// The derived step timelines of device planes: the line with kDerivedLineId
// named "Steps". No rule puts events on it, so a device plane keeps one only
// when such a line already held events. Single-threaded.

#include <cstdint>
#include <string>
#include <vector>

#include "trace/core/convert/group_events.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {

// The builder of one derived line. It owns nothing in the plane and must not
// be used once lines were removed from the plane.
class StepLineBuilder {
 public:
  // Gets or creates the line `line_id` through `plane` and sets its name and
  // timestamp_ns, whether the line is new or not.
  StepLineBuilder(XPlaneBuilder* plane, int64_t line_id, const std::string& line_name,
                  int64_t start_timestamp_ns, std::vector<int64_t> dependent_lines);
  StepLineBuilder(const StepLineBuilder&) = delete;
  StepLineBuilder& operator=(const StepLineBuilder&) = delete;

  XLineBuilder& line() { return line_; }
  // Ids of the lines the derived line is made from; empty for the step line.
  const std::vector<int64_t>& dependent_lines() const { return dependent_lines_; }

 private:
  XLineBuilder line_;
  std::vector<int64_t> dependent_lines_;
};

// BuildStepLineForDevicePlane on every device plane ("/device:ZRA:" prefix),
// in space order. Other planes are not touched.
void BuildStepLines(const GroupMetadataMap& group_metadata_map, XSpace* space, bool step_info_only);

// Prepares the step line of one device plane (named "Steps", timed like the
// plane's last ordinary line), gives the plane the stat metadata "group_id"
// and "step_name", and removes every line without events, the step line too
// when it holds none. `group_metadata_map` and `step_info_only` are accepted
// for rules that fill the step line; the system has none, so they are unread.
void BuildStepLineForDevicePlane(const GroupMetadataMap& group_metadata_map, XPlane* plane,
                                 bool step_info_only);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_DERIVED_TIMELINE_H_
