#ifndef ZENTRIK_TRACE_CORE_RPC_CLIENT_SAVE_PROFILE_H_
#define ZENTRIK_TRACE_CORE_RPC_CLIENT_SAVE_PROFILE_H_

// The profile directory on disk: <logdir>/plugins/profile/<run>/<host>.<file>.
// Everything here runs on the calling thread and takes no lock; concurrent
// exports of one host are kept apart by ClaimRunDirectory.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "common/platform/status.h"
#include "trace/core/protobuf/profiler_service.pb.h"

namespace zentrik {
namespace trace {

class ZlibOutputBuffer;

// Appends a tool's text to the open gzip stream, piece by piece if it likes;
// a failure stops the write.
using GzipContentWriter = std::function<Status(ZlibOutputBuffer* gzip)>;

// The files of a run that tools are written to, after the host prefix: the
// gzip-compressed ones, then the plain ones. A sweep removes temporary files
// of these names only.
constexpr std::string_view kTraceViewerFileName = "trace.json.gz";
constexpr std::string_view kMemoryProfileFileName = "memory_profile.json.gz";
constexpr std::string_view kToolFileNames[] = {
    kTraceViewerFileName, kMemoryProfileFileName, "overview_page.pb",
    "op_stats.pb",        "kernel_stats.pb",      "xplane.pb",
};

// Creates `logdir` with its missing parents and lists it; the first failure
// is returned. INVALID_ARGUMENT, with nothing created, when `logdir` holds a
// NUL character.
Status CheckProfileEmptyMarker(const std::string& logdir);

// The run name of the local time now: "YYYY_MM_DD_hh_mm_ss.<suffix>", the
// suffix being the last 6 digits of the seconds since the epoch.
std::string GetCurrentTimeStampAsString();
// The same for a given clock reading in seconds since the epoch.
std::string GetTimeStampAsString(int64_t seconds);

// Joins two path parts with "/": an empty part is skipped, one leading "/"
// of the second part is dropped, and no "/" is doubled after the first part.
std::string JoinPath(const std::string& first, const std::string& second);

// Sets `*run_dir` to JoinPath(repository_root, run), writes
// "Creating directory: <run_dir>. " to `out` (not null) and creates the
// directory with its missing parents. The log directory (a root of the form
// "<logdir>/plugins/profile", else the root itself) is taken as its path
// names it, a link included; every directory below it is made or entered
// without following a symbolic link, and a link there fails the call with a
// message naming it. The other functions here reach their run the same way
// and make their files relative to its descriptor.
Status CreateRunDirectory(const std::string& repository_root, const std::string& run,
                          std::string* run_dir, std::ostream* out);

// The run directory that one export of a host holds from ClaimRunDirectory
// until the object is destroyed: the run directory the export made or found
// its own, kept open, and in it the host's claim file, kept locked (a lock
// that only the holder's end or death releases, so later exports tell a live
// export's run from a killed one's, also across processes). The saves that
// take a claim write into that very directory, whatever stands at the run's
// name later. Destruction releases the run and removes it when it holds
// nothing but claims that no export holds, as after an export that failed
// before writing a file.
class RunClaim {
 public:
  RunClaim() = default;
  ~RunClaim();
  RunClaim(const RunClaim&) = delete;
  RunClaim& operator=(const RunClaim&) = delete;

  // The name of the run claimed; empty until a claim succeeded.
  const std::string& run() const { return run_; }

 private:
  friend Status ClaimRunDirectory(const std::string& repository_root, const std::string& run,
                                  const std::string& host, RunClaim* claim);
  friend Status SaveToolData(const RunClaim& claim, const std::string& host,
                             const ProfileResponse& response, std::ostream* out);
  friend Status SaveGzippedToolData(const RunClaim& claim, const std::string& host,
                                    const std::string& tool_file_name,
                                    const GzipContentWriter& write);
  std::string repository_root_;
  std::string root_below_logdir_;  // The root's path from its log directory.
  std::string run_;
  int logdir_fd_ = -1;  // Where the run's path is checked from.
  int root_fd_ = -1;    // The repository root, which the run is swept from at the end.
  int run_fd_ = -1;
  int lock_fd_ = -1;
};

// Makes the run directory of this export and reserves it for `host` in
// `*claim` (unused before): `run` when no earlier export of this host wrote
// there and nothing but a directory of the user's own stands at its name,
// else the first free of `run`_1, `run`_2, ... however many there are (found
// with O(log n) looks). A directory the export makes is its own, whoever the
// file system makes its owner. The reservation is an exclusive create of the
// host's claim file, so two exports of one host (in one process or several)
// never share a run; other hosts still do. Then every directory of
// `repository_root` named as a run loses what killed exports left: temporary
// files of this library's names that no live writer holds, and runs that hold
// nothing but this library's claims that no export holds. Other directories
// and files are the users' and stay. No lock here waits: a claim that
// another process locked first is a taken name, left to that process, or
// removed by the export when that process let go of it meanwhile; only the
// holder of a claim's lock removes it. A run the export made and does not
// keep is removed when empty; a directory that stood at its name before
// stays. A failure's message names the run,
// the host and why: among them a claim refused in a run the export made, and
// names taken faster than the export could claim one (it makes a few
// directories at most).
Status ClaimRunDirectory(const std::string& repository_root, const std::string& run,
                         const std::string& host, RunClaim* claim);

// Writes every tool data of `response` as a plain file into the run
// directory, in order, and describes each step into `out` (not null when the
// response holds tool data). Without tool data nothing is created. The first
// failure ends the writing; files written before it stay.
Status SaveToolData(const std::string& repository_root, const std::string& run,
                    const std::string& host, const ProfileResponse& response, std::ostream* out);

// Writes `data` gzip-compressed into the run directory under the host's name
// and `tool_file_name`, logging each step at INFO.
Status SaveGzippedToolData(const std::string& repository_root, const std::string& run,
                           const std::string& host, const std::string& tool_file_name,
                           const std::string& data);

// The same, for text that `write` produces into the stream instead of text
// held whole in memory.
Status SaveGzippedToolData(const std::string& repository_root, const std::string& run,
                           const std::string& host, const std::string& tool_file_name,
                           const GzipContentWriter& write);

// The same two saves into the run of `claim` (held): the files are made in
// the directory the claim made, never in whatever stands at the run's name
// now. A run moved or replaced after its claim fails the save, naming the
// run; a file finished meanwhile stays in the claimed directory.
Status SaveToolData(const RunClaim& claim, const std::string& host, const ProfileResponse& response,
                    std::ostream* out);
Status SaveGzippedToolData(const RunClaim& claim, const std::string& host,
                           const std::string& tool_file_name, const GzipContentWriter& write);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_RPC_CLIENT_SAVE_PROFILE_H_
