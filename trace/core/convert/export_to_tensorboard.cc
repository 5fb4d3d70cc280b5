#include "trace/core/convert/export_to_tensorboard.h"

#include <sstream>
#include <string_view>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "trace/core/convert/xplane_to_profile_response.h"
#include "trace/core/rpc/client/save_profile.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kMaxEvents = 1000000;

// The tools an export asks for, in request order.
constexpr std::string_view kExportedTools[] = {
    kTraceViewerToolName, kKernelStatsToolName,  kMemoryProfileToolName,
    kOpStatsToolName,     kOverviewPageToolName,
};

}  // namespace

std::string GetTensorBoardProfilePluginDir(const std::string& logdir) {
  return logdir + "/plugins/profile";
}

ProfileRequest PopulateProfileRequest(const std::string& repository_root,
                                      const std::string& session_id, const std::string& host_name) {
  ProfileRequest request;
  request.set_max_events(kMaxEvents);
  request.set_repository_root(repository_root);
  request.set_session_id(session_id);
  request.set_host_name(host_name);
  for (std::string_view tool : kExportedTools) request.add_tools(std::string(tool));
  return request;
}

Status ExportXSpaceToTensorBoard(const XSpace& space, const std::string& logdir) {
  Status status = CheckProfileEmptyMarker(logdir);
  if (!status.ok()) return status;
  ProfileResponse response;
  const std::string host = Env::Default()->GetHostName();
  const std::string repository_root = GetTensorBoardProfilePluginDir(logdir);
  // Run names change once a second: the claim keeps two exports of this host
  // in one second from writing into one run. It is held until the export
  // ends, whichever way, and every file goes into the directory it claimed.
  RunClaim claim;
  status = ClaimRunDirectory(repository_root, GetCurrentTimeStampAsString(), host, &claim);
  if (!status.ok()) return status;
  const ProfileRequest request = PopulateProfileRequest(repository_root, claim.run(), host);

  status = ConvertXSpaceToProfileResponse(space, request, &response, &claim);
  if (!status.ok()) return status;

  std::ostringstream description;
  status = SaveToolData(claim, request.host_name(), response, &description);
  if (!status.ok()) return status;
  // Nothing written plain, nothing to describe: no empty log line.
  if (!description.str().empty()) LOG(INFO) << description.str();
  return Status();
}

}  // namespace trace
}  // namespace zentrik
