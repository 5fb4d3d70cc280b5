#include "trace/core/convert/xplane_to_profile_response.h"

#include <google/protobuf/message_lite.h>

#include <new>
#include <set>
#include <string_view>

#include "common/platform/zlib_outputbuffer.h"
#include "trace/core/convert/op_stats_to_overview_page.h"
#include "trace/core/convert/op_stats_to_tf_stats.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/convert/xplane_to_memory_profile.h"
#include "trace/core/convert/xplane_to_op_stats.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "trace/core/protobuf/trace_events.pb.h"
#include "trace/core/rpc/client/save_profile.h"

namespace zentrik {
namespace trace {
namespace {

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

// Writes a gzip-compressed tool file into the run of `claim`, or without one
// into the request's run by its name.
Status SaveGzipped(const ProfileRequest& request, const RunClaim* claim, std::string_view file_name,
                   const GzipContentWriter& write) {
  if (claim != nullptr) {
    return SaveGzippedToolData(*claim, request.host_name(), std::string(file_name), write);
  }
  return SaveGzippedToolData(request.repository_root(), request.session_id(), request.host_name(),
                             std::string(file_name), write);
}

// Writes the trace viewer's timeline of the space as "trace.json.gz" when it
// holds at least one event; otherwise writes nothing and marks the response.
// Each event goes from the space into the JSON text, and the text into the
// gzip stream a piece at a time, so neither the timeline nor its text is ever
// whole in memory.
Status SaveTraceViewer(const XSpace& space, const ProfileRequest& request, const RunClaim* claim,
                       ProfileResponse* response) {
  const XSpaceTraceJson trace(space);
  if (trace.event_count() == 0) {
    response->set_no_trace_events(true);
    return Status();
  }
  return SaveGzipped(request, claim, kTraceViewerFileName, [&trace](ZlibOutputBuffer* gzip) {
    return trace.Write(kTraceJsonChunkBytes, [gzip](std::string_view piece) {
      return gzip->Append(piece.data(), piece.size());
    });
  });
}

// The tools computed from the op statistics, which are computed once for
// all of them, whichever of them were asked for.
Status AddOpStatsTools(const XSpace& space, const std::set<std::string, std::less<>>& tools,
                       ProfileResponse* response) {
  OpStats op_stats = ConvertXSpaceToOpStats(space);
  // A run without steps has no overview page, which is not an error.
  if (tools.count(kOverviewPageToolName) != 0 && op_stats.overview_info().step_records_size() > 0) {
    Status status = AddToolData(GetToolFileName(std::string(kOverviewPageToolName)),
                                TakeOverviewPage(&op_stats), response);
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

// Converts the space into the memory profile's JSON and writes it as
// "memory_profile.json.gz", also when the text is empty (no host plane).
Status SaveMemoryProfile(const XSpace& space, const ProfileRequest& request,
                         const RunClaim* claim) {
  std::string json;
  Status status = ConvertXSpaceToMemoryProfileJson(space, &json);
  if (!status.ok()) return status;
  return SaveGzipped(request, claim, kMemoryProfileFileName,
                     [&json](ZlibOutputBuffer* gzip) { return gzip->Append(json); });
}

// Runs one tool's step. Data too large for memory fails the export instead of
// escaping as an exception; a partly written file is removed by the save.
// `doing` completes the message: "Out of memory while " + doing.
template <typename Step>
Status FailOnOutOfMemory(std::string_view doing, Step&& step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return Status(error::RESOURCE_EXHAUSTED, "Out of memory while " + std::string(doing));
  }
}

}  // namespace

std::string GetToolFileName(const std::string& tool) {
  if (tool == kTraceViewerToolName) return std::string(kTraceViewerFileName);
  if (tool == kMemoryProfileToolName) return std::string(kMemoryProfileFileName);
  return tool + ".pb";
}

Status ExportTraceViewer(const XSpace& space, const ProfileRequest& request,
                         ProfileResponse* response, const RunClaim* claim) {
  return FailOnOutOfMemory("converting the trace viewer's data",
                           [&] { return SaveTraceViewer(space, request, claim, response); });
}

Status ConvertXSpaceToProfileResponse(const XSpace& space, const ProfileRequest& request,
                                      ProfileResponse* response, const RunClaim* claim) {
  const std::set<std::string, std::less<>> tools(request.tools().begin(), request.tools().end());
  if (tools.empty()) return Status();

  // One step per tool, in this order; the op statistics are computed once,
  // whichever of their tools were asked for.
  if (tools.count(kXPlaneToolName) != 0) {
    Status status = AddToolData(std::string(kXPlaneToolName), space, response);
    if (!status.ok()) return status;
  }
  if (tools.count(kTraceViewerToolName) != 0) {
    Status status = ExportTraceViewer(space, request, response, claim);
    if (!status.ok()) return status;
  }
  Status status = FailOnOutOfMemory("computing the op statistics",
                                    [&] { return AddOpStatsTools(space, tools, response); });
  if (!status.ok()) return status;
  if (tools.count(kMemoryProfileToolName) != 0) {
    status = FailOnOutOfMemory("converting the memory profile's data",
                               [&] { return SaveMemoryProfile(space, request, claim); });
    if (!status.ok()) return status;
  }
  return Status();
}

}  // namespace trace
}  // namespace zentrik
