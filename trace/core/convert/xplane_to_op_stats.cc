#include "trace/core/convert/xplane_to_op_stats.h"

#include <memory>
#include <vector>

#include "trace/core/convert/op_metrics_db_builder.h"
#include "trace/core/convert/step_events.h"
#include "trace/core/convert/step_events_to_zentrik_overview.h"
#include "trace/core/convert/xplane_to_kernel_stats_db.h"
#include "trace/core/convert/xplane_to_op_metrics_db.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kCpuDeviceType[] = "CPU";
constexpr char kZraDeviceType[] = "ZRA";

void ConvertHostPlane(const XPlane& host_plane, OpStats* op_stats, StepEvents* step_events) {
  OpMetricsDb* host_db = op_stats->mutable_host_op_metrics_db();
  const TfOpMap tf_ops = BuildTfOpMapFromHostPlane(host_plane);
  OpMetricsDbBuilder host_builder(host_db);
  const XPlaneVisitor visitor(&host_plane, {FindHostEventType}, {FindStatType});
  // The op metrics of every line first: their scratch space is gone before
  // the step events, which stay until the overview, begin to pile up.
  for (const XLine& line : host_plane.lines()) {
    std::unique_ptr<HostLineOpMetrics> line_metrics =
        ConvertHostThreadsXLineToOpMetricsDb({&visitor, &line}, tf_ops);
    AddIdleAndCombineOpMetricsDb(line_metrics->db, host_builder);
  }
  for (const XLine& line : host_plane.lines()) {
    CombineStepEvents(ConvertHostThreadsXLineToStepEvents({&visitor, &line}, visitor), step_events);
  }
}

}  // namespace

OpStats ConvertXSpaceToOpStats(const XSpace& space) {
  const XPlane* host_plane = FindPlaneWithName(space, kHostPlaneName);
  const std::vector<const XPlane*> device_planes = FindPlanesWithPrefix(space, kDevicePlanePrefix);

  OpStats op_stats;
  OpMetricsDbBuilder device_builder(op_stats.mutable_device_op_metrics_db());
  op_stats.mutable_run_environment()->set_device_type(device_planes.empty() ? kCpuDeviceType
                                                                            : kZraDeviceType);
  StepEvents step_events;
  KernelReportMap kernel_reports;
  for (const XPlane* device_plane : device_planes) {
    device_builder.Combine(ConvertDeviceTraceXPlaneToOpMetricsDb(*device_plane));
    CombineStepEvents(ConvertDeviceTraceXPlaneToStepEvents(*device_plane), &step_events);
    ConvertDeviceTraceXPlaneToKernelReports(*device_plane, &kernel_reports);
  }
  CopyKernelReportsToDb(kernel_reports, op_stats.mutable_kernel_stats_db());

  if (host_plane != nullptr) ConvertHostPlane(*host_plane, &op_stats, &step_events);
  // A run of many steps has a large overview: moved in, not copied.
  ZentrikOverviewInfo overview = ConvertStepEventsToZentrikOverview(step_events);
  op_stats.mutable_overview_info()->Swap(&overview);
  return op_stats;
}

}  // namespace trace
}  // namespace zentrik
