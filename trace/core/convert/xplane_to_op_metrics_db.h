#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_METRICS_DB_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_METRICS_DB_H_

// Op metrics of the host plane's framework ops and of a device plane's
// kernels. None of these functions fails or logs; the planes are only read.

#include <cstdint>
#include <map>
#include <memory>

#include "trace/core/convert/op_metrics_db_builder.h"
#include "trace/core/protobuf/op_metrics.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/qx_op_utils.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {

// Event metadata id to the parsed framework op ("name:type") it names.
using TfOpMap = std::map<int64_t, QxOp>;

// The op metrics of one host line and the builder that filled them.
struct HostLineOpMetrics {
  HostLineOpMetrics() : builder(std::make_unique<OpMetricsDbBuilder>(&db)) {}
  HostLineOpMetrics(HostLineOpMetrics&&) = delete;

  OpMetricsDb db;
  std::unique_ptr<OpMetricsDbBuilder> builder;
};

// Every event metadata of the plane whose name is a framework op; the first
// entry for an id stays.
TfOpMap BuildTfOpMapFromHostPlane(const XPlane& plane);

// Nests the line's framework-op events by time and enters each with its self
// time (its time less that of the framework ops directly inside it).
// total_time_ps spans the earliest begin to the latest end of those events.
std::unique_ptr<HostLineOpMetrics> ConvertHostThreadsXLineToOpMetricsDb(const XLineVisitor& line,
                                                                        const TfOpMap& tf_ops);

// Adds the line database's "IDLE" entry, merges it into `target` and clears
// it.
void AddIdleAndCombineOpMetricsDb(OpMetricsDb& line_db, OpMetricsDbBuilder& target);

// One entry per framework op whose kernels ran on the device plane, keyed
// "<op name>/<op full name>", plus the plane's "IDLE" entry. total_time_ps
// spans the plane's events.
OpMetricsDb ConvertDeviceTraceXPlaneToOpMetricsDb(const XPlane& plane);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_OP_METRICS_DB_H_
