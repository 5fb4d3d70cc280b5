#include "trace/core/convert/xplane_to_profile_response.h"

#include <google/protobuf/message_lite.h>

#include <new>
#include <set>
#include <string_view>

#include "common/platform/zlib_outputbuffer.h"
#include "trace/core/convert/op_stats_to_overview_page.h"
#include "trace/core/convert/op_stats_to_tf_stats.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/convert/xplane_to_op_stats.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/trace_events.pb.h"
#include "trace/core/rpc/client/save_profile.h"

namespace zentrik {
namespace trace {
namespace {

constexpr std::string_view kTraceViewerFileName = "trace.json.gz";
constexpr std::string_view kMemoryProfileFileName = "memory_profile.json.gz";

// Appends `message` in wire form under `name`. A message too large for the
// wire format fails instead of leaving a truncated file to readers.
Status AddToolData(const std::string& name, const google::protobuf::MessageLite& message,
                   ProfileResponse* response) {
  ProfileToolData* tool_data = response->add_tool_data();
  tool_data->set_name(name);
  if (!message.SerializeToString(tool_data->mutable_data())) {
    response->mutable_tool_data()->RemoveLast();
    return errors::Internal("Could not serialize the data of " + name);
  }
  return Status();
}

// Converts the space into the trace viewer's timeline and writes it as
// "trace.json.gz" when it holds at least one event; otherwise writes nothing
// and marks the response. The JSON text goes into the gzip stream a piece at
// a time, so it is never whole in memory.
Status SaveTraceViewer(const XSpace& space, const ProfileRequest& request,
                       ProfileResponse* response) {
  google::protobuf::Arena arena(TraceArenaOptions());
  const Trace& trace = *ConvertXSpaceToTraceEvents(space, &arena);
  if (trace.trace_events().empty()) {
    response->set_no_trace_events(true);
    return Status();
  }
  return SaveGzippedToolData(request.repository_root(), request.session_id(), request.host_name(),
                             std::string(kTraceViewerFileName), [&trace](ZlibOutputBuffer* gzip) {
                               return StreamTraceToJson(
                                   trace, kTraceJsonChunkBytes, [gzip](std::string_view piece) {
                                     return gzip->Append(piece.data(), piece.size());
                                   });
                             });
}

// The tools computed from the op statistics, which are computed once for
// all of them, whichever of them were asked for.
Status AddOpStatsTools(const XSpace& space, const std::set<std::string, std::less<>>& tools,
                       ProfileResponse* response) {
  const OpStats op_stats = ConvertXSpaceToOpStats(space);
  // A run without steps has no overview page, which is not an error.
  if (tools.count(kOverviewPageToolName) != 0 && op_stats.overview_info().step_records_size() > 0) {
    Status status = AddToolData(GetToolFileName(std::string(kOverviewPageToolName)),
                                ConvertOpStatsToOverviewPage(op_stats), response);
    if (!status.ok()) return status;
  }
  if (tools.count(kOpStatsToolName) != 0) {
    Status status = AddToolData(GetToolFileName(std::string(kOpStatsToolName)),
                                ConvertOpStatsToTfStats(op_stats), response);
    if (!status.ok()) return status;
  }
  if (tools.count(kKernelStatsToolName) != 0) {
    Status status = AddToolData(GetToolFileName(std::string(kKernelStatsToolName)),
                                op_stats.kernel_stats_db(), response);
    if (!status.ok()) return status;
  }
  return Status();
}

}  // namespace

std::string GetToolFileName(const std::string& tool) {
  if (tool == kTraceViewerToolName) return std::string(kTraceViewerFileName);
  if (tool == kMemoryProfileToolName) return std::string(kMemoryProfileFileName);
  return tool + ".pb";
}

Status ExportTraceViewer(const XSpace& space, const ProfileRequest& request,
                         ProfileResponse* response) {
  // A trace too large for memory fails the export instead of escaping as an
  // exception; the partly written file is removed by the save.
  try {
    return SaveTraceViewer(space, request, response);
  } catch (const std::bad_alloc&) {
    return Status(error::RESOURCE_EXHAUSTED,
                  "Out of memory while converting the trace viewer's data");
  }
}

Status ConvertXSpaceToProfileResponse(const XSpace& space, const ProfileRequest& request,
                                      ProfileResponse* response) {
  const std::set<std::string, std::less<>> tools(request.tools().begin(), request.tools().end());
  if (tools.empty()) return Status();

  // One step per tool, in this order. A tool without a step here produces
  // nothing (and no file) until its converter joins the library: after the
  // overview page come the op tables and the kernel statistics, then the
  // memory profile.
  if (tools.count(kXPlaneToolName) != 0) {
    Status status = AddToolData(std::string(kXPlaneToolName), space, response);
    if (!status.ok()) return status;
  }
  if (tools.count(kTraceViewerToolName) != 0) {
    Status status = ExportTraceViewer(space, request, response);
    if (!status.ok()) return status;
  }
  Status status;
  try {
    status = AddOpStatsTools(space, tools, response);
  } catch (const std::bad_alloc&) {
    status = Status(error::RESOURCE_EXHAUSTED, "Out of memory while computing the op statistics");
  }
  return status;
}

}  // namespace trace
}  // namespace zentrik
