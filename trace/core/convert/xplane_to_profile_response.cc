#include "trace/core/convert/xplane_to_profile_response.h"

#include <google/protobuf/message_lite.h>

#include <set>

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

}  // namespace

std::string GetToolFileName(const std::string& tool) {
  if (tool == kTraceViewerToolName) return std::string(kTraceViewerFileName);
  if (tool == kMemoryProfileToolName) return std::string(kMemoryProfileFileName);
  return tool + ".pb";
}

Status ConvertXSpaceToProfileResponse(const XSpace& space, const ProfileRequest& request,
                                      ProfileResponse* response) {
  const std::set<std::string, std::less<>> tools(request.tools().begin(), request.tools().end());
  if (tools.empty()) return Status();

  // One step per tool, in this order. A tool without a step here produces
  // nothing (and no file) until its converter joins the library: next come
  // the trace viewer, the op statistics computed once for the overview page,
  // the op tables and the kernel statistics, then the memory profile.
  if (tools.count(kXPlaneToolName) != 0) {
    Status status = AddToolData(std::string(kXPlaneToolName), space, response);
    if (!status.ok()) return status;
  }
  return Status();
}

}  // namespace trace
}  // namespace zentrik
