#ifndef ZENTRIK_TRACE_CORE_CONVERT_EXPORT_TO_TENSORBOARD_H_
#define ZENTRIK_TRACE_CORE_CONVERT_EXPORT_TO_TENSORBOARD_H_

#include <string>

#include "common/platform/status.h"
#include "trace/core/protobuf/profiler_service.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Writes the tools' files of `space` into a new run directory of this host:
// <logdir>/plugins/profile/<run>/<host>.<file>. The log directory is created
// (with its parents) and listed first; the first failure is returned
// unchanged and files written before it stay. Runs on the calling thread.
Status ExportXSpaceToTensorBoard(const XSpace& space, const std::string& logdir);

// logdir + "/plugins/profile", a plain concatenation.
std::string GetTensorBoardProfilePluginDir(const std::string& logdir);

// The request of an export: every tool the export writes, an event limit of
// 1000000, and the root, run and host given.
ProfileRequest PopulateProfileRequest(const std::string& repository_root,
                                      const std::string& session_id, const std::string& host_name);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_EXPORT_TO_TENSORBOARD_H_
