#include "trace/core/rpc/client/save_profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/platform/writable_file.h"
#include "common/platform/zlib_outputbuffer.h"
#include "common/utils/file_name.h"

namespace zentrik {
namespace trace {
namespace {

constexpr std::string_view kPathSeparator = "/";

// Reserves a run directory for one host; see ClaimRunDirectory. Its name ends
// in no tool's file name, so readers of the profile directory ignore it.
constexpr std::string_view kRunClaimFileName = "run.claim";

// Numbers the temporary files of this process.
std::atomic<uint64_t> temporary_file_counter{0};

constexpr std::string_view kTemporaryMark = ".tmp-";

// A hidden, never existing name in `dir` for the contents of `file_name`:
// "." + file_name + ".tmp-<pid>-<n>".
std::string TemporaryPath(const std::string& dir, const std::string& file_name) {
  std::ostringstream name;
  name << "." << file_name << kTemporaryMark << ::getpid() << "-"
       << temporary_file_counter.fetch_add(1, std::memory_order_relaxed);
  return JoinPath(dir, name.str());
}

// Whether `name` has the form TemporaryPath gives.
bool IsTemporaryName(std::string_view name) {
  const size_t mark = name.rfind(kTemporaryMark);
  if (name.substr(0, 1) != "." || mark == std::string_view::npos) return false;
  const std::string_view numbers = name.substr(mark + kTemporaryMark.size());
  const size_t dash = numbers.find('-');
  const auto digits = [](std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dash != std::string_view::npos && digits(numbers.substr(0, dash)) &&
         digits(numbers.substr(dash + 1));
}

// Whether `fd` is the file that `path` (relative to directory `dir_fd`)
// names now.
bool NamesFile(const std::string& path, int fd, int dir_fd = AT_FDCWD) {
  struct stat by_path {};
  struct stat by_fd {};
  return ::fstatat(dir_fd, path.c_str(), &by_path, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
         by_path.st_ino == by_fd.st_ino;
}

// A temporary file that its writer holds locked (flock) until it is renamed
// into place or removed: a lock that only the writer's death releases, so a
// later export can tell an abandoned file from one being written, also
// across processes and machines sharing the directory. Removes the file
// unless it was renamed, so that no failure (an exception included) leaves
// it behind.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
    if (lock_fd_ >= 0) ::close(lock_fd_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates a new temporary file in `dir` for `file_name`, locked, and opens
  // it for writing as `*file`. Errors name `final_path`, the file the caller
  // asked for.
  Status Create(const std::string& dir, const std::string& file_name, const std::string& final_path,
                std::unique_ptr<WritableFile>* file) {
    // A sweeping export may remove the file between its creation and the
    // lock; the next name is then tried.
    constexpr int kTries = 8;
    for (int i = 0; i < kTries; ++i) {
      const std::string path = TemporaryPath(dir, file_name);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) return IOError(final_path, errno);
      path_ = path;
      lock_fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX) != 0) {
        const int err = errno;
        ::close(fd);
        return IOError(final_path, err);
      }
      if (!NamesFile(path_, fd)) {
        ::close(fd);
        ::close(lock_fd_);
        lock_fd_ = -1;
        path_.clear();
        continue;
      }
      FILE* stream = ::fdopen(fd, "w");
      if (stream == nullptr) {
        const int err = errno;
        ::close(fd);
        return IOError(final_path, err);
      }
      *file = std::make_unique<PosixWritableFile>(final_path, stream);
      return Status();
    }
    return IOError(final_path, EAGAIN);
  }

  // Gives the file the name `final_path`, replacing what had that name.
  Status RenameTo(const std::string& final_path) {
    if (::rename(path_.c_str(), final_path.c_str()) != 0) return IOError(final_path, errno);
    path_.clear();
    return Status();
  }

 private:
  std::string path_;
  int lock_fd_ = -1;  // Holds the lock while the file is written and renamed.
};

// Opens `name` in the run `run_fd` and takes its lock without waiting; -1
// when the file is gone, no regular file, or held (by a live writer or
// export).
int LockIfAbandoned(int run_fd, const std::string& name) {
  const int fd = ::openat(run_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      NamesFile(name, fd, run_fd)) {
    return fd;
  }
  ::close(fd);
  return -1;
}

// Removes the temporary file `name` of the run `run_fd` when no writer holds
// its lock any more; true when it is gone.
bool RemoveIfAbandoned(int run_fd, const std::string& name) {
  const int fd = LockIfAbandoned(run_fd, name);
  if (fd < 0) return false;
  const bool removed = ::unlinkat(run_fd, name.c_str(), 0) == 0;
  ::close(fd);
  return removed;
}

// Writes `file_name` in `dir` so that no reader ever sees it incomplete: the
// bytes go to a temporary file that takes the final name only after `write`
// and closing succeeded. On failure nothing appears under the final name (an
// earlier file of that name stays) and the temporary file is removed.
template <typename WriteFunction>
Status WriteFileAtomically(const std::string& dir, const std::string& file_name,
                           const std::string& final_path, WriteFunction write) {
  TemporaryFile temporary;
  std::unique_ptr<WritableFile> file;
  Status status = temporary.Create(dir, file_name, final_path, &file);
  if (!status.ok()) return status;
  status = write(file.get());
  if (status.ok()) status = file->Close();
  file.reset();
  if (!status.ok()) return status;
  return temporary.RenameTo(final_path);
}

// The host's part of its file names, which keeps every file inside the run
// directory whatever the host name holds.
std::string HostPrefix(const std::string& host, bool gzipped) {
  if (host.empty()) return "";
  std::string prefix = SafeFileNamePart(host);
  if (!gzipped) std::replace(prefix.begin(), prefix.end(), ':', '_');
  return prefix + ".";
}

std::string RunNameWithSuffix(const std::string& run, uint64_t suffix) {
  return suffix == 0 ? run : run + "_" + std::to_string(suffix);
}

std::string ClaimFilePath(const std::string& repository_root, const std::string& run,
                          const std::string& host, uint64_t suffix) {
  return ToolFilePath(JoinPath(repository_root, RunNameWithSuffix(run, suffix)), host,
                      std::string(kRunClaimFileName), false);
}

// Whether an export of `host` holds run `suffix`. Only a claim file that is
// seen counts: a run that cannot be inspected is tried, and its claim then
// says why it failed.
bool IsClaimed(const std::string& repository_root, const std::string& run, const std::string& host,
               uint64_t suffix) {
  struct stat info {};
  return ::lstat(ClaimFilePath(repository_root, run, host, suffix).c_str(), &info) == 0;
}

// The lowest suffix whose run `host` has not claimed, assuming the claimed
// ones form a prefix (exports only add claims); `low` is claimed or -1.
// Galloping then halving: O(log n) looks for n runs in one second.
uint64_t FirstUnclaimedSuffix(const std::string& repository_root, const std::string& run,
                              const std::string& host, int64_t low) {
  uint64_t step = 1;
  uint64_t high = static_cast<uint64_t>(low + 1);
  while (IsClaimed(repository_root, run, host, high)) {
    low = static_cast<int64_t>(high);
    high += step;
    step *= 2;
  }
  while (high - static_cast<uint64_t>(low + 1) > 0) {
    const uint64_t middle =
        static_cast<uint64_t>(low + 1) + (high - static_cast<uint64_t>(low + 1)) / 2;
    if (IsClaimed(repository_root, run, host, middle)) {
      low = static_cast<int64_t>(middle);
    } else {
      high = middle;
    }
  }
  return high;
}

// Creates the directory of run `suffix` and in it the claim file of `host`,
// locked, whose descriptor goes to `*lock_fd`; `*taken` tells whether another
// export of the host got there first. `*lock_fd` stays -1 when a sweep took
// the new claim for abandoned before it was locked: the run is to be tried
// again.
Status CreateClaim(const std::string& repository_root, const std::string& run,
                   const std::string& host, uint64_t suffix, bool* taken, int* lock_fd) {
  *taken = false;
  *lock_fd = -1;
  const Status status = Env::Default()->RecursivelyCreateDir(repository_root);
  if (!status.ok()) return status;
  const std::string run_dir = JoinPath(repository_root, RunNameWithSuffix(run, suffix));
  const std::string path = ClaimFilePath(repository_root, run, host, suffix);
  int fd = -1;
  int err = 0;
  // A sweep removes a run left with abandoned claims only, possibly between
  // the creation of the directory and of the claim.
  constexpr int kTries = 8;
  for (int i = 0; i < kTries && fd < 0; ++i) {
    if (::mkdir(run_dir.c_str(), 0755) != 0 && errno != EEXIST) return IOError(run_dir, errno);
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    err = errno;
    if (fd < 0 && err != ENOENT) break;
  }
  if (fd < 0) {
    *taken = err == EEXIST;
    if (*taken) return Status();
    // Removed only when empty: no sweep would remove a run without a claim.
    ::rmdir(run_dir.c_str());
    return IOError(path, err);
  }
  if (::flock(fd, LOCK_EX) != 0) {
    err = errno;
    ::close(fd);
    return IOError(path, err);
  }
  if (!NamesFile(path, fd)) {
    ::close(fd);
    return Status();
  }
  *lock_fd = fd;
  return Status();
}

// Whether `name` is a claim file's: "run.claim" of an empty host name, else
// "<host>.run.claim".
bool IsClaimName(std::string_view name) {
  constexpr std::string_view kHostClaim = ".run.claim";
  return name == kRunClaimFileName ||
         (name.size() > kHostClaim.size() &&
          name.substr(name.size() - kHostClaim.size()) == kHostClaim);
}

// The entry names of the directory `dir_fd` but "." and ".."; false when it
// cannot be read.
bool ListEntries(int dir_fd, std::vector<std::string>* names) {
  names->clear();
  const int fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::rewinddir(dir);  // the duplicate shares its position with `dir_fd`
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  return ::closedir(dir) == 0;
}

// Descriptors closed however their scope is left: a sweep that runs out of
// memory must not keep its locks, or the claims would look held until exit.
struct ClosedOnExit {
  std::vector<int> fds;
  ~ClosedOnExit() {
    for (int fd : fds) ::close(fd);
  }
};

// Whether the run `run_fd` holds nothing but the files named `names`.
bool HoldsOnly(int run_fd, std::vector<std::string> names) {
  std::vector<std::string> children;
  if (!ListEntries(run_fd, &children)) return false;
  std::sort(children.begin(), children.end());
  std::sort(names.begin(), names.end());
  return children == names;
}

// Removes the claims named `claims` in the run `run_fd` and then the run,
// `run_dir`, when no export holds any of them and the run holds nothing else;
// nothing when one is held.
void RemoveRunOfAbandonedClaims(int run_fd, const std::string& run_dir,
                                const std::vector<std::string>& claims) {
  ClosedOnExit locks;
  locks.fds.reserve(claims.size());  // no allocation between a lock and its keeper
  for (const std::string& claim : claims) {
    const int fd = LockIfAbandoned(run_fd, claim);
    if (fd < 0) break;
    locks.fds.push_back(fd);
  }
  // An export that wrote its files after the run was listed and then ended
  // left its claim free: looked at again, the run is seen to hold them.
  if (locks.fds.size() == claims.size() && HoldsOnly(run_fd, claims)) {
    for (const std::string& claim : claims) ::unlinkat(run_fd, claim.c_str(), 0);
    // Fails, leaving the run, when an export claimed it meanwhile (or the
    // name no longer leads to an empty directory).
    ::rmdir(run_dir.c_str());
  }
}

// Removes what killed or failed exports left in `run_dir`: temporary files
// whose writer's lock is gone, and then the run itself when all it holds are
// claims that no export holds. Live exports' files stay. Best effort. Works
// through the run's descriptor: a run replaced by a link meanwhile leads no
// removal elsewhere.
void SweepRun(const std::string& run_dir) {
  const int run_fd = ::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (run_fd < 0) return;  // a link, no directory, or unreadable
  const ClosedOnExit run{{run_fd}};
  std::vector<std::string> children;
  std::vector<std::string> claims;
  bool only_claims = ListEntries(run_fd, &children);
  for (const std::string& child : children) {
    if (IsTemporaryName(child) && RemoveIfAbandoned(run_fd, child)) continue;
    if (IsClaimName(child)) {
      claims.push_back(child);
    } else {
      only_claims = false;
    }
  }
  if (only_claims && !claims.empty()) RemoveRunOfAbandonedClaims(run_fd, run_dir, claims);
}

// Sweeps every run of the profile directory: a killed export's debris lies
// in a run that later exports of its host never claim again.
void SweepRuns(const std::string& repository_root) {
  std::vector<std::string> runs;
  if (!Env::Default()->GetChildren(repository_root, &runs).ok()) return;
  for (const std::string& run : runs) SweepRun(JoinPath(repository_root, run));
}

}  // namespace

Status CheckProfileEmptyMarker(const std::string& logdir) {
  // The system would read the path only up to the NUL: a directory the
  // caller never named.
  if (logdir.find('\0') != std::string::npos) {
    return errors::InvalidArgument("The log directory contains a NUL character: " +
                                   logdir.substr(0, logdir.find('\0')) + "\\0...");
  }
  Env* env = Env::Default();
  Status status = env->RecursivelyCreateDir(logdir);
  if (!status.ok()) return status;
  std::vector<std::string> children;
  return env->GetChildren(logdir, &children);
}

std::string GetTimeStampAsString(int64_t seconds) {
  const time_t clock = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&clock, &local);
  std::string suffix = std::to_string(static_cast<int32_t>(seconds));
  if (suffix.size() > 6) suffix = suffix.substr(suffix.size() - 6);
  char run[64];
  snprintf(run, sizeof(run), "%04d_%02d_%02d_%02d_%02d_%02d.%s", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           suffix.c_str());
  // Run names are at most 29 characters, as they always were.
  return std::string(run).substr(0, 29);
}

std::string GetCurrentTimeStampAsString() { return GetTimeStampAsString(::time(nullptr)); }

std::string JoinPath(const std::string& first, const std::string& second) {
  std::string result;
  for (const std::string* part : {&first, &second}) {
    if (part->empty()) continue;
    if (result.empty()) {
      result = *part;
      continue;
    }
    std::string_view rest = *part;
    if (rest.substr(0, 1) == kPathSeparator) rest.remove_prefix(1);
    if (result.back() != kPathSeparator[0]) result += kPathSeparator;
    result += rest;
  }
  return result;
}

Status CreateRunDirectory(const std::string& repository_root, const std::string& run,
                          std::string* run_dir, std::ostream* out) {
  *run_dir = JoinPath(repository_root, run);
  *out << "Creating directory: " << *run_dir << ". ";
  return Env::Default()->RecursivelyCreateDir(*run_dir);
}

RunClaim::~RunClaim() {
  if (lock_fd_ < 0) return;
  ::close(lock_fd_);
  // An export that failed before writing anything leaves no empty run. Out of
  // memory the run stays for a later sweep: a destructor throws nothing.
  try {
    SweepRun(run_dir_);
  } catch (...) {
  }
}

Status ClaimRunDirectory(const std::string& repository_root, const std::string& run,
                         const std::string& host, RunClaim* claim) {
  int64_t claimed_below = -1;
  for (;;) {
    const uint64_t suffix = FirstUnclaimedSuffix(repository_root, run, host, claimed_below);
    bool taken = false;
    int lock_fd = -1;
    const Status status = CreateClaim(repository_root, run, host, suffix, &taken, &lock_fd);
    if (!status.ok()) {
      return Status(status.code(), "Cannot claim run " + RunNameWithSuffix(run, suffix) +
                                       " of host \"" + host + "\" in " + repository_root + ": " +
                                       status.error_message());
    }
    if (taken) {  // Another export was quicker; search on above it.
      claimed_below = static_cast<int64_t>(suffix);
      continue;
    }
    if (lock_fd < 0) continue;  // Swept before it was held.
    const std::string candidate = RunNameWithSuffix(run, suffix);
    if (suffix > 0) {
      LOG(INFO) << "Run " << run << " already holds a profile of host \"" << host
                << "\"; writing run " << candidate;
    }
    claim->run_ = candidate;
    claim->run_dir_ = JoinPath(repository_root, candidate);
    claim->lock_fd_ = lock_fd;
    SweepRuns(repository_root);
    return Status();
  }
}

std::string ToolFilePath(const std::string& run_dir, const std::string& host,
                         const std::string& tool_file_name, bool gzipped) {
  return JoinPath(run_dir, HostPrefix(host, gzipped) + tool_file_name);
}

Status SaveToolData(const std::string& repository_root, const std::string& run,
                    const std::string& host, const ProfileResponse& response, std::ostream* out) {
  if (response.tool_data().empty()) return Status();
  std::string run_dir;
  Status status = CreateRunDirectory(repository_root, run, &run_dir, out);
  if (!status.ok()) return status;
  for (const ProfileToolData& tool_data : response.tool_data()) {
    const std::string file_name = HostPrefix(host, false) + tool_data.name();
    const std::string path = JoinPath(run_dir, file_name);
    status = WriteFileAtomically(run_dir, file_name, path, [&](WritableFile* file) {
      return file->Append(tool_data.data());
    });
    if (!status.ok()) return status;
    *out << "Dumped tool data for " << tool_data.name() << " to " << path << "\n";
  }
  return Status();
}

Status SaveGzippedToolData(const std::string& repository_root, const std::string& run,
                           const std::string& host, const std::string& tool_file_name,
                           const std::string& data) {
  return SaveGzippedToolData(repository_root, run, host, tool_file_name,
                             [&data](ZlibOutputBuffer* gzip) { return gzip->Append(data); });
}

Status SaveGzippedToolData(const std::string& repository_root, const std::string& run,
                           const std::string& host, const std::string& tool_file_name,
                           const GzipContentWriter& write) {
  std::string run_dir;
  std::ostringstream creating;
  Status status = CreateRunDirectory(repository_root, run, &run_dir, &creating);
  LOG(INFO) << creating.str();
  if (!status.ok()) return status;
  const std::string file_name = HostPrefix(host, true) + tool_file_name;
  const std::string path = JoinPath(run_dir, file_name);
  status = WriteFileAtomically(run_dir, file_name, path, [&](WritableFile* file) {
    ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
    options.window_bits += 16;  // A gzip header and trailer around the deflate stream.
    ZlibOutputBuffer gzip(file, static_cast<int32_t>(options.input_buffer_size),
                          static_cast<int32_t>(options.output_buffer_size), options);
    Status written = gzip.Init();
    if (written.ok()) written = write(&gzip);
    if (written.ok()) written = gzip.Close();
    return written;
  });
  if (!status.ok()) return status;
  LOG(INFO) << "Dumped gzipped tool data for " << tool_file_name << " to " << path;
  return Status();
}

}  // namespace trace
}  // namespace zentrik
