#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_PROFILE_RESPONSE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_PROFILE_RESPONSE_H_

#include <string>
#include <string_view>

#include "common/platform/status.h"
#include "trace/core/protobuf/profiler_service.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

class RunClaim;

// Tool names of a ProfileRequest.
constexpr std::string_view kTraceViewerToolName = "trace_viewer";
constexpr std::string_view kOpStatsToolName = "op_stats";
constexpr std::string_view kOverviewPageToolName = "overview_page";
constexpr std::string_view kKernelStatsToolName = "kernel_stats";
constexpr std::string_view kMemoryProfileToolName = "memory_profile";
// Asks for the XSpace itself; the export never requests it.
constexpr std::string_view kXPlaneToolName = "xplane.pb";

// The file name of a tool's output: "trace.json.gz" for the trace viewer,
// "memory_profile.json.gz" for the memory profile, else `tool` + ".pb".
std::string GetToolFileName(const std::string& tool);

// Converts `space` into the data of every tool that `request.tools` names,
// in a fixed order whatever the order of the request. The gzip-compressed
// tools are written into the request's run directory at once; the others are
// appended to `response` for the caller to write. Reads only the request's
// tools, repository root, session id and host name. An empty tool list does
// nothing. The first failure is returned; files written before it stay.
// Memory running out while the trace viewer's or the memory profile's data
// are made is RESOURCE_EXHAUSTED, not an exception. With `claim` (held, of
// the request's run), the files go into the directory it claimed.
Status ConvertXSpaceToProfileResponse(const XSpace& space, const ProfileRequest& request,
                                      ProfileResponse* response, const RunClaim* claim = nullptr);

// The trace viewer's step of the above: converts `space` and writes
// "trace.json.gz" when the trace holds at least one event, else only sets
// `response.no_trace_events`. Running out of memory is RESOURCE_EXHAUSTED.
Status ExportTraceViewer(const XSpace& space, const ProfileRequest& request,
                         ProfileResponse* response, const RunClaim* claim = nullptr);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_PROFILE_RESPONSE_H_
