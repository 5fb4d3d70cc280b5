#include "trace/core/rpc/client/save_profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
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

// The directories an export makes below the log directory it is given, in
// GetTensorBoardProfilePluginDir's form.
constexpr std::string_view kProfilePluginDirs[] = {"plugins", "profile"};

// Reserves a run directory for one host; see ClaimRunDirectory. Its name ends
// in no tool's file name, so readers of the profile directory ignore it.
constexpr std::string_view kRunClaimFileName = "run.claim";

// Numbers the temporary files of this process.
std::atomic<uint64_t> temporary_file_counter{0};

constexpr std::string_view kTemporaryMark = ".tmp-";

// A descriptor, closed however its scope is left.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(ScopedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool IsDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `prefix` is a host prefix as HostPrefix gives it: empty, or a safe
// name part and "."; without ":" for plain files.
bool IsHostPrefix(std::string_view prefix, bool gzipped) {
  if (prefix.empty()) return true;
  if (prefix.size() < 2 || prefix.back() != '.') return false;
  const std::string_view host = prefix.substr(0, prefix.size() - 1);
  return SafeFileNamePart(host) == host && (gzipped || host.find(':') == std::string_view::npos);
}

// Whether `name` is one TemporaryName gives for a tool file of some host:
// "." + host prefix + tool file name + ".tmp-<pid>-<n>".
bool IsOwnTemporaryName(std::string_view name) {
  const size_t mark = name.rfind(kTemporaryMark);
  if (name.substr(0, 1) != "." || mark == std::string_view::npos) return false;
  const std::string_view numbers = name.substr(mark + kTemporaryMark.size());
  const size_t dash = numbers.find('-');
  if (dash == std::string_view::npos || !IsDigits(numbers.substr(0, dash)) ||
      !IsDigits(numbers.substr(dash + 1))) {
    return false;
  }
  const std::string_view file_name = name.substr(1, mark - 1);
  for (std::string_view tool : kToolFileNames) {
    if (EndsWith(file_name, tool) &&
        IsHostPrefix(file_name.substr(0, file_name.size() - tool.size()), EndsWith(tool, ".gz"))) {
      return true;
    }
  }
  return false;
}

// Whether `name` is a claim file's: "run.claim" of an empty host name, else
// "<host>.run.claim".
bool IsOwnClaimName(std::string_view name) {
  return EndsWith(name, kRunClaimFileName) &&
         IsHostPrefix(name.substr(0, name.size() - kRunClaimFileName.size()), false);
}

// Whether `name` has the form of a run's name: "YYYY_MM_DD_hh_mm_ss.<suffix>"
// as GetTimeStampAsString gives it, with "_<n>" when ClaimRunDirectory
// numbered it.
bool IsRunName(std::string_view name) {
  const auto take_digits = [&name](size_t count) {
    if (name.size() < count || !IsDigits(name.substr(0, count))) return false;
    name.remove_prefix(count);
    return true;
  };
  const auto take = [&name](char c) {
    if (name.empty() || name.front() != c) return false;
    name.remove_prefix(1);
    return true;
  };
  if (!take_digits(4)) return false;
  for (int i = 0; i < 5; ++i) {
    if (!take('_') || !take_digits(2)) return false;
  }
  if (!take('.')) return false;
  take('-');
  const size_t suffix = std::min(name.find('_'), name.size());
  if (suffix > 6 || !take_digits(suffix)) return false;
  return name.empty() || (take('_') && IsDigits(name));
}

// The failure to open `name` in `parent_fd` as a directory (errno `err`);
// `path` names it.
Status DirectoryRefused(int parent_fd, const std::string& name, const std::string& path, int err) {
  struct stat info {};
  if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      return errors::FailedPrecondition(path +
                                        " is a symbolic link; an export does not write through it");
    }
    if (!S_ISDIR(info.st_mode)) return errors::FailedPrecondition(path + " is not a directory");
  }
  return IOError(path, err);
}

// The failure to make the directory `path`.
Status DirectoryNotMade(const std::string& path) {
  return errors::Aborted(path + " creating...  error!");
}

// Opens the directory `name` of `parent_fd`, creating it (0755, less the
// umask) when missing, and never through a symbolic link: another user of a
// shared log directory could otherwise lead the export's files anywhere.
// `path` names it.
Status OpenSubdirectory(int parent_fd, const std::string& name, const std::string& path,
                        ScopedFd* dir) {
  // A concurrent export may create it between the look and the creation.
  constexpr int kTries = 8;
  int err = ENOENT;
  for (int i = 0; i < kTries && err == ENOENT; ++i) {
    const int fd =
        ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      *dir = ScopedFd(fd);
      return Status();
    }
    err = errno;
    if (err == ENOENT && ::mkdirat(parent_fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      return DirectoryNotMade(path);
    }
  }
  return DirectoryRefused(parent_fd, name, path, err);
}

// Opens `relative` (a path below `dir_fd`, which `dir_path` names) one
// directory at a time with OpenSubdirectory; ".." is refused, since it would
// leave the directory.
Status OpenDirectoriesBelow(ScopedFd dir_fd, std::string dir_path, std::string_view relative,
                            ScopedFd* dir) {
  while (!relative.empty()) {
    const size_t end = std::min(relative.find('/'), relative.size());
    const std::string name(relative.substr(0, end));
    relative.remove_prefix(std::min(end + 1, relative.size()));
    if (name.empty() || name == ".") continue;
    dir_path = JoinPath(dir_path, name);
    if (name == "..") {
      return errors::InvalidArgument(dir_path + ": an export does not leave its log directory");
    }
    ScopedFd child;
    const Status status = OpenSubdirectory(dir_fd.get(), name, dir_path, &child);
    if (!status.ok()) return status;
    dir_fd = std::move(child);
  }
  *dir = std::move(dir_fd);
  return Status();
}

// Where the log directory of `root` ends: at the start of its last two path
// components, empty and "." ones skipped, when they are "plugins" and
// "profile"; else at the end of `root`, a root of another form being its own
// log directory.
size_t LogDirectoryEnd(std::string_view root) {
  size_t end = root.size();  // just after the component looked at next
  size_t start = end;
  for (size_t i = std::size(kProfilePluginDirs); i > 0; --i) {
    std::string_view part;
    do {
      if (end == 0) return root.size();
      const size_t slash = root.rfind('/', end - 1);
      start = slash == std::string_view::npos ? 0 : slash + 1;
      part = root.substr(start, end - start);
      end = slash == std::string_view::npos ? 0 : slash;
    } while (part.empty() || part == ".");
    if (part != kProfilePluginDirs[i - 1]) return root.size();
  }
  return start;
}

// Opens the repository root `repository_root`, creating what is missing: its
// log directory as the path names it (a link there is the caller's choice),
// and every directory below it ("plugins/profile" of a root in
// GetTensorBoardProfilePluginDir's form) without following a link.
// With `logdir_fd`, the log directory stays open there too, and `*below` is
// the root's path relative to it ("." for the log directory itself).
Status OpenRepositoryRoot(const std::string& repository_root, ScopedFd* root_fd,
                          ScopedFd* logdir_fd = nullptr, std::string* below = nullptr) {
  const size_t logdir_end = LogDirectoryEnd(repository_root);
  std::string_view relative = std::string_view(repository_root).substr(logdir_end);
  std::string logdir = repository_root.substr(0, logdir_end);
  while (logdir.size() > 1 && logdir.back() == '/') logdir.pop_back();
  Status status = logdir.empty() ? Status() : Env::Default()->RecursivelyCreateDir(logdir);
  if (!status.ok()) return status;
  ScopedFd opened(
      ::open(logdir.empty() ? "." : logdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (opened.get() < 0) return IOError(logdir, errno);
  if (logdir_fd != nullptr) {
    *logdir_fd = ScopedFd(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 0));
    if (logdir_fd->get() < 0) return IOError(logdir, errno);
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    *below = relative.empty() ? "." : std::string(relative);
  }
  return OpenDirectoriesBelow(std::move(opened), logdir, relative, root_fd);
}

// CreateRunDirectory, which also opens the run as `*run_fd`: every directory
// below the log directory is reached without following a link (see
// OpenRepositoryRoot), and files are made relative to the run's descriptor.
Status CreateRunDirectory(const std::string& repository_root, const std::string& run,
                          std::string* run_dir, std::ostream* out, ScopedFd* run_fd) {
  *run_dir = JoinPath(repository_root, run);
  *out << "Creating directory: " << *run_dir << ". ";
  ScopedFd root_fd;
  const Status status = OpenRepositoryRoot(repository_root, &root_fd);
  if (!status.ok()) return status;
  return OpenDirectoriesBelow(std::move(root_fd), repository_root, run, run_fd);
}

// A hidden, never existing name for the contents of `file_name`:
// "." + file_name + ".tmp-<pid>-<n>".
std::string TemporaryName(const std::string& file_name) {
  std::ostringstream name;
  name << "." << file_name << kTemporaryMark << ::getpid() << "-"
       << temporary_file_counter.fetch_add(1, std::memory_order_relaxed);
  return name.str();
}

// Whether `fd` is the file that `name` (relative to directory `dir_fd`)
// names now.
bool NamesFile(const std::string& name, int fd, int dir_fd) {
  struct stat by_name {};
  struct stat by_fd {};
  return ::fstatat(dir_fd, name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &by_fd) == 0 && by_name.st_dev == by_fd.st_dev &&
         by_name.st_ino == by_fd.st_ino;
}

// Creates a new file of a temporary name for `file_name` in `dir_fd` with
// `mode` (less the umask), exclusively and never through a link, and opens it
// for writing; a taken name makes it try the next. `*name` is set before each
// try, so that no allocation can strand a made file unnamed. -1 with errno
// when no file could be made.
int CreateTemporaryFile(int dir_fd, const std::string& file_name, mode_t mode, std::string* name) {
  constexpr int kTries = 8;
  for (int i = 0; i < kTries; ++i) {
    *name = TemporaryName(file_name);
    const int fd =
        ::openat(dir_fd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is EEXIST
}

// Whether `err`, of a failed fchmod, is a file system's refusal to change
// modes (vfat, or one that gives every file another owner, decides them
// itself): the file keeps its mode, and that is no failure.
bool ModeChangeRefused(int err) { return err == EPERM || err == EOPNOTSUPP; }

// Gives the file `fd` the mode `mode` unless its file system refuses modes;
// `path` names it in errors.
Status ChangeMode(int fd, mode_t mode, const std::string& path) {
  if (::fchmod(fd, mode) != 0 && !ModeChangeRefused(errno)) return IOError(path, errno);
  return Status();
}

// What became of the lock on a file just made.
enum class NewFileLock {
  kLocked,            // held, and the file owner-only
  kNotHeld,           // another process may hold it
  kFailed,            // the file system locks nothing, for anyone
  kKeptNoPermission,  // held, but the file stays without permission
};

// Takes the lock of `fd` without waiting; errno says why it was not taken.
// Only a file system without locks (no lock service on NFS, say) makes it
// kFailed: an interrupted or otherwise failed try says nothing of another
// holder.
NewFileLock TryLock(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return NewFileLock::kLocked;
  const int err = errno;
  return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL
             ? NewFileLock::kFailed
             : NewFileLock::kNotHeld;
}

// Locks `fd`, a file just made with the mode `made_with`, without waiting,
// and makes it owner-only, so that a sweep can tell it abandoned if this
// process dies. Claims and temporary files are made with no permission, so
// that no other process can open one and take its lock first, not even where
// new files get an owner that other processes share (a squashing NFS mount).
// A file system that honours creation modes but refuses changes, or accepts
// them and changes nothing, would keep such a file unreadable to its owner
// for good: kKeptNoPermission says to make the next one owner-only at once,
// without that guard (no lock waits, so a process that locks it first only
// costs a try). Returns 0, or the errno of a failure other than a lock held
// elsewhere; the caller removes the file before it makes an error of it,
// which may allocate.
int LockNewFile(int fd, mode_t made_with, NewFileLock* result) {
  *result = TryLock(fd);
  if (*result != NewFileLock::kLocked) return errno == EWOULDBLOCK ? 0 : errno;
  if (made_with != 0) return 0;
  if (::fchmod(fd, 0600) != 0 && !ModeChangeRefused(errno)) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  if ((info.st_mode & 0777) == 0) *result = NewFileLock::kKeptNoPermission;
  return 0;
}

// Removes the file `name` of `dir_fd` that this export made, open as `fd`,
// and does not keep, when it holds the file's lock (`lock`) and the name
// still leads to the file (a sweep may have removed it before the lock).
// Only a lock's holder removes a claim or temporary file, so no other
// process removes this one meanwhile, and its name cannot come to lead to
// another export's file between the look and the removal. A file that
// another process locked first is left to that process: a sweep, which
// removes it. One that the file system could not lock is nobody's.
void RemoveNewFile(int dir_fd, const std::string& name, int fd, NewFileLock lock) {
  if (lock != NewFileLock::kNotHeld && NamesFile(name, fd, dir_fd)) {
    ::unlinkat(dir_fd, name.c_str(), 0);
  }
}

// The mode a file made for `file_name` in `dir_fd` with 0666 gets now: the
// umask (or a default ACL of the directory) applied. It is read off a file
// made and removed at once, since the umask cannot be read without changing
// it for every thread of the process. `final_path` names the file in errors.
Status ModeOfNewFiles(int dir_fd, const std::string& file_name, const std::string& final_path,
                      mode_t* mode) {
  std::string probe;
  const ScopedFd fd(CreateTemporaryFile(dir_fd, file_name, 0666, &probe));
  if (fd.get() < 0) return IOError(final_path, errno);
  struct stat info {};
  const int err = ::fstat(fd.get(), &info) == 0 ? 0 : errno;
  // A sweep may take it for a killed export's temporary file and lock it.
  RemoveNewFile(dir_fd, probe, fd.get(), TryLock(fd.get()));
  if (err != 0) return IOError(final_path, err);
  *mode = info.st_mode & 07777;
  return Status();
}

// A temporary file in a run that its writer holds locked (flock) until it is
// renamed into place or removed: a lock that only the writer's death
// releases, so a later export can tell an abandoned file from one being
// written, also across processes and machines sharing the directory. It is
// made and locked as LockNewFile says, and gets the mode files usually get
// just before it takes its final name. Removes the file, as RemoveNewFile
// does, unless it was renamed, so that no failure (an exception included)
// leaves it behind. The run's descriptor must outlive the object.
class TemporaryFile {
 public:
  explicit TemporaryFile(int run_fd) : run_fd_(run_fd) {}
  ~TemporaryFile() {
    // Named only while locked here.
    if (!name_.empty()) RemoveNewFile(run_fd_, name_, lock_fd_, NewFileLock::kLocked);
    if (lock_fd_ >= 0) ::close(lock_fd_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates a new temporary file for `file_name`, locked, and opens it for
  // writing as `*file`. Errors name `final_path`, the file the caller asked
  // for.
  Status Create(const std::string& file_name, const std::string& final_path,
                std::unique_ptr<WritableFile>* file) {
    // Another process may lock the file, or a sweeping export remove it,
    // between its creation and the lock: it is left, and another name tried.
    constexpr int kTries = 8;
    mode_t made_with = 0;
    for (int i = 0; i < kTries; ++i) {
      ScopedFd fd(CreateTemporaryFile(run_fd_, file_name, made_with, &name_));
      if (fd.get() < 0) {
        const int err = errno;
        name_.clear();
        return IOError(final_path, err);
      }
      NewFileLock lock = NewFileLock::kNotHeld;
      int err = LockNewFile(fd.get(), made_with, &lock);
      if (err == 0 && lock == NewFileLock::kLocked && NamesFile(name_, fd.get(), run_fd_)) {
        // Shares the lock, which outlives the stream's descriptor.
        lock_fd_ = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
        if (lock_fd_ < 0) err = errno;
      }
      if (lock_fd_ < 0) {
        RemoveNewFile(run_fd_, name_, fd.get(), lock);
        name_.clear();
        if (err != 0) return IOError(final_path, err);
        if (lock == NewFileLock::kKeptNoPermission) made_with = 0600;
        continue;
      }
      std::unique_ptr<FILE, int (*)(FILE*)> stream(::fdopen(fd.get(), "w"), &::fclose);
      if (stream == nullptr) return IOError(final_path, errno);
      fd.release();  // the stream owns it now
      *file = std::make_unique<PosixWritableFile>(final_path, stream.get());
      stream.release();  // the file owns it now
      return Status();
    }
    return errors::Unavailable(final_path + ": each of " + std::to_string(kTries) +
                               " temporary files made for it was locked or removed by another "
                               "process before this export could lock it; giving up");
  }

  // Gives the file the mode new files get and the name `file_name` in the
  // run, replacing what had that name (a link itself, never its target);
  // `final_path` names it in errors.
  Status RenameTo(const std::string& file_name, const std::string& final_path) {
    mode_t mode = 0;
    const Status status = ModeOfNewFiles(run_fd_, file_name, final_path, &mode);
    if (!status.ok()) return status;
    const Status changed = ChangeMode(lock_fd_, mode, final_path);
    if (!changed.ok()) return changed;
    if (::renameat(run_fd_, name_.c_str(), run_fd_, file_name.c_str()) != 0) {
      return IOError(final_path, errno);
    }
    name_.clear();
    return Status();
  }

 private:
  const int run_fd_;
  std::string name_;
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

// Writes `file_name` in the run `run_fd` so that no reader ever sees it
// incomplete: the bytes go to a temporary file that takes the final name
// only after `write` and closing succeeded. On failure nothing appears under
// the final name (an earlier file of that name stays) and the temporary file
// is removed. `final_path` names the file in errors.
template <typename WriteFunction>
Status WriteFileAtomically(int run_fd, const std::string& file_name, const std::string& final_path,
                           WriteFunction write) {
  TemporaryFile temporary(run_fd);
  std::unique_ptr<WritableFile> file;
  Status status = temporary.Create(file_name, final_path, &file);
  if (!status.ok()) return status;
  status = write(file.get());
  if (status.ok()) status = file->Close();
  file.reset();
  if (!status.ok()) return status;
  return temporary.RenameTo(file_name, final_path);
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

// Whether run `suffix` is not free for the claim `claim_name`: an entry that
// is no directory (a file or a link another user left) or a directory of
// another user stands at its name, or the run holds the claim. A run that
// cannot be inspected is tried, and its claim then says why it failed.
bool IsTaken(int root_fd, const std::string& run, const std::string& claim_name, uint64_t suffix) {
  const std::string name = RunNameWithSuffix(run, suffix);
  struct stat info {};
  if (::fstatat(root_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return true;
  return ::fstatat(root_fd, (name + "/" + claim_name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// The highest suffix the ordered search gives: no host exports that often in
// one second, so only names planted to fool the search lead it there.
constexpr uint64_t kMaxSuffix = uint64_t{1} << 32;
// How many suffixes chosen at random are tried beyond it.
constexpr int kRandomSuffixTries = 16;

// A suffix from 1 to kMaxSuffix that nobody can foresee.
uint64_t RandomSuffix() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof(value), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(value))) {
    value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
            0x9E3779B97F4A7C15ull;
  }
  return 1 + value % kMaxSuffix;
}

// Sets `*suffix` to the lowest suffix of `run` above `low` (taken, or -1) not
// taken for `claim_name`, assuming the taken ones form a prefix (exports only
// add claims). Galloping then halving: O(log n) looks for n runs in one
// second. Names planted where the search looks can lead it to kMaxSuffix;
// a few suffixes chosen at random are tried then. False when all of them
// look taken.
bool FirstFreeSuffix(int root_fd, const std::string& run, const std::string& claim_name,
                     int64_t low, uint64_t* suffix) {
  uint64_t step = 1;
  uint64_t high = static_cast<uint64_t>(low + 1);
  while (high <= kMaxSuffix && IsTaken(root_fd, run, claim_name, high)) {
    low = static_cast<int64_t>(high);
    high += step;  // stays below 2^34
    step *= 2;
  }
  if (high > kMaxSuffix) {
    for (int i = 0; i < kRandomSuffixTries; ++i) {
      *suffix = RandomSuffix();
      if (!IsTaken(root_fd, run, claim_name, *suffix)) return true;
    }
    return false;
  }
  while (high - static_cast<uint64_t>(low + 1) > 0) {
    const uint64_t middle =
        static_cast<uint64_t>(low + 1) + (high - static_cast<uint64_t>(low + 1)) / 2;
    if (IsTaken(root_fd, run, claim_name, middle)) {
      low = static_cast<int64_t>(middle);
    } else {
      high = middle;
    }
  }
  *suffix = high;
  return true;
}

// How many run directories one export makes at most: names taken faster than
// it can claim them end it instead of making ever more directories.
constexpr int kMaxRunsMade = 16;

// What became of an attempt at one run name.
enum class ClaimOutcome {
  kClaimed,  // the run is the export's own, its claim locked
  kTaken,    // another export of the host or something else holds the name
  kSwept,    // a sweep removed the new claim before it was locked: try again
};

// Removes the run `name` of `root_fd` that this export made, opened as
// `run_fd` (-1: it could not be opened, and is taken for the one made), when
// empty and while its name still leads to it.
void RemoveMadeRun(int root_fd, const std::string& name, int run_fd) {
  if (run_fd < 0 || NamesFile(name, run_fd, root_fd)) {
    ::unlinkat(root_fd, name.c_str(), AT_REMOVEDIR);
  }
}

// A claim this export made that another process locked first, and the run
// it is in: the holder's to remove (a sweep's, with the run). It is looked at
// once more when the export's claim is settled, for its holder may have let
// go without removing it (a sweep that found more in the run): the export
// then removes it itself, holding its lock. A run made for it is removed
// when empty, after the claim is closed: some file systems (FUSE) keep a
// removed file that is still open, and the run would not be empty.
class LeftClaim {
 public:
  LeftClaim(int root_fd, std::string run, bool made, ScopedFd run_fd, std::string claim_name,
            ScopedFd claim)
      : root_fd_(root_fd),
        run_(std::move(run)),
        made_(made),
        run_fd_(std::move(run_fd)),
        claim_name_(std::move(claim_name)),
        claim_(std::move(claim)) {}
  LeftClaim(LeftClaim&&) = default;
  ~LeftClaim() {
    if (claim_.get() < 0) return;  // moved from
    // Removed only when held now: it was held elsewhere before.
    if (TryLock(claim_.get()) == NewFileLock::kLocked) {
      RemoveNewFile(run_fd_.get(), claim_name_, claim_.get(), NewFileLock::kLocked);
    }
    claim_ = ScopedFd();
    if (made_) RemoveMadeRun(root_fd_, run_, run_fd_.get());
  }

 private:
  int root_fd_;
  std::string run_;
  bool made_;
  ScopedFd run_fd_;
  std::string claim_name_;
  ScopedFd claim_;
};

// Creates the run `name` of the root `root_fd` (which `root` names) and in it
// the claim file `claim_name`, owner-only and locked; on kClaimed the run's
// and the claim's descriptors go to `*run_fd` and `*lock`. `*runs_made`
// counts the run directories this export made. A directory that
// stood at the name before is the export's own only when it is the user's:
// another user could replace the export's files. A directory made here is
// the export's own whoever the file system makes its owner, unless another
// user put a directory of theirs at the name between its making and its
// opening (then its owner is not the owner the claim got). The claim's lock
// never waits: a claim that another process could open and lock first (root,
// say) counts as a taken name, and goes to `*left` (reserved) as a
// LeftClaim. A claim not kept otherwise is removed, and a run made here for
// it is removed when empty (no sweep would remove a run without a claim),
// whoever the file system says owns it: at worst an empty directory that
// another user put at the name the export had just taken. A directory that
// stood at the name before stays. A claim refused in a run made here fails.
Status CreateClaim(int root_fd, const std::string& root, const std::string& name,
                   const std::string& claim_name, int* runs_made, ClaimOutcome* outcome,
                   ScopedFd* run_fd, ScopedFd* lock, std::vector<LeftClaim>* left) {
  *outcome = ClaimOutcome::kTaken;
  const std::string run_dir = JoinPath(root, name);
  const std::string path = JoinPath(run_dir, claim_name);
  // A sweep removes a run left with abandoned claims only, possibly between
  // the creation of the directory and of the claim.
  constexpr int kTries = 8;
  mode_t made_with = 0;  // the claim's mode at its creation
  for (int i = 0; i < kTries; ++i) {
    if (*runs_made == kMaxRunsMade) {
      return errors::Unavailable(
          "made " + std::to_string(kMaxRunsMade) +
          " run directories and could claim none: each was taken, or its claim held by another "
          "process, or it changed owner before its claim; those left empty were removed; "
          "giving up");
    }
    const bool made = ::mkdirat(root_fd, name.c_str(), 0755) == 0;
    if (made) {
      ++*runs_made;
    } else if (errno != EEXIST) {
      return DirectoryNotMade(run_dir);
    }
    const auto remove_made_run = [&] {
      if (made) RemoveMadeRun(root_fd, name, run_fd->get());
    };
    *run_fd =
        ScopedFd(::openat(root_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (run_fd->get() < 0) {
      const int err = errno;
      if (err == ENOENT) continue;
      if (err == ELOOP || err == ENOTDIR) return Status();  // a link or a file is no run
      remove_made_run();
      return IOError(run_dir, err);
    }
    struct stat run_info {};
    if (::fstat(run_fd->get(), &run_info) != 0) {
      const int err = errno;
      remove_made_run();
      return IOError(run_dir, err);
    }
    const bool own = run_info.st_uid == ::geteuid();
    if (!made && !own) return Status();
    ScopedFd claim(::openat(run_fd->get(), claim_name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, made_with));
    if (claim.get() < 0) {
      const int err = errno;
      if (err == ENOENT) continue;
      // Another export of the host holds it, or a link stands at its name.
      if (err == EEXIST) return Status();
      // A directory that was there may be anything; the export's own fails.
      if (!made && (err == EACCES || err == EPERM)) return Status();
      remove_made_run();
      return IOError(path, err);
    }
    NewFileLock locked = NewFileLock::kNotHeld;
    int lock_err = LockNewFile(claim.get(), made_with, &locked);
    struct stat claim_info {};
    if (lock_err == 0 && locked == NewFileLock::kLocked && ::fstat(claim.get(), &claim_info) != 0) {
      lock_err = errno;
    }
    if (lock_err == 0 && locked == NewFileLock::kLocked &&
        (own || claim_info.st_uid == run_info.st_uid)) {
      *outcome = NamesFile(claim_name, claim.get(), run_fd->get()) ? ClaimOutcome::kClaimed
                                                                   : ClaimOutcome::kSwept;
      *lock = std::move(claim);
      return Status();
    }
    if (locked == NewFileLock::kNotHeld) {
      LeftClaim held(root_fd, name, made, std::move(*run_fd), claim_name, std::move(claim));
      // Settled at once (with its run) when no room is left.
      if (left->size() < left->capacity()) left->push_back(std::move(held));
      return lock_err == 0 ? Status() : IOError(path, lock_err);
    }
    RemoveNewFile(run_fd->get(), claim_name, claim.get(), locked);
    // Closed first: some file systems (FUSE) keep a removed file that is
    // still open, and the run would not be empty.
    claim = ScopedFd();
    remove_made_run();
    if (lock_err != 0) return IOError(path, lock_err);
    if (locked == NewFileLock::kLocked) return Status();  // it changed owner: taken
    made_with = 0600;
  }
  return IOError(run_dir, ENOENT);
}

// The entry names of the directory `dir_fd` but "." and ".."; false when it
// cannot be read.
bool ListEntries(int dir_fd, std::vector<std::string>* names) {
  names->clear();
  const int fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  // Closed also when a name's allocation fails.
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(fd < 0 ? nullptr : ::fdopendir(fd), &::closedir);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::rewinddir(dir.get());  // the duplicate shares its position with `dir_fd`
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  return true;
}

// Whether the run `run_fd` holds nothing but the files named `names`.
bool HoldsOnly(int run_fd, std::vector<std::string> names) {
  std::vector<std::string> children;
  if (!ListEntries(run_fd, &children)) return false;
  std::sort(children.begin(), children.end());
  std::sort(names.begin(), names.end());
  return children == names;
}

// Removes the claims named `claims` in the run `run_fd` and then the run,
// `name` in `root_fd`, when no export holds any of them and the run holds
// nothing else; nothing when one is held.
void RemoveRunOfAbandonedClaims(int root_fd, const std::string& name, int run_fd,
                                const std::vector<std::string>& claims) {
  // Closed however this is left: a sweep that runs out of memory must not
  // keep its locks, or the claims would look held until exit.
  std::vector<ScopedFd> locks;
  locks.reserve(claims.size());  // no allocation between a lock and its keeper
  for (const std::string& claim : claims) {
    const int fd = LockIfAbandoned(run_fd, claim);
    if (fd < 0) break;
    locks.emplace_back(fd);
  }
  // An export that wrote its files after the run was listed and then ended
  // left its claim free: looked at again, the run is seen to hold them.
  if (locks.size() == claims.size() && HoldsOnly(run_fd, claims)) {
    for (const std::string& claim : claims) ::unlinkat(run_fd, claim.c_str(), 0);
    // Closed first: some file systems (FUSE) keep a removed file that is
    // still open, and the run would not be empty.
    locks.clear();
    // Fails, leaving the run, when an export claimed it meanwhile (or the
    // name no longer leads to an empty directory).
    ::unlinkat(root_fd, name.c_str(), AT_REMOVEDIR);
  }
}

// Removes what killed or failed exports left in the run `name` of `root_fd`:
// temporary files of this library's names whose writer's lock is gone, and
// then the run itself when all it holds are this library's claims that no
// export holds. Live exports' files and anything else stay, and so does a
// file that an export killed between its making and its lock left without
// permission: only a sweep that may open any file (root's) can lock it.
// Best effort.
// Works through the run's descriptor: a run replaced by a link meanwhile
// leads no removal elsewhere. With `expected_fd`, only when `name` still
// leads to that directory.
void SweepRun(int root_fd, const std::string& name, int expected_fd = -1) {
  const ScopedFd run(
      ::openat(root_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const int run_fd = run.get();
  if (run_fd < 0) return;  // a link, no directory, or unreadable
  if (expected_fd >= 0 && !NamesFile(name, expected_fd, root_fd)) return;
  std::vector<std::string> children;
  std::vector<std::string> claims;
  bool only_claims = ListEntries(run_fd, &children);
  for (const std::string& child : children) {
    if (IsOwnTemporaryName(child) && RemoveIfAbandoned(run_fd, child)) continue;
    if (IsOwnClaimName(child)) {
      claims.push_back(child);
    } else {
      only_claims = false;
    }
  }
  if (only_claims && !claims.empty()) RemoveRunOfAbandonedClaims(root_fd, name, run_fd, claims);
}

// Sweeps every run of the profile directory `root_fd`: a killed export's
// debris lies in a run that later exports of its host never claim again.
// Directories not named as runs are the users' own and stay untouched.
void SweepRuns(int root_fd) {
  std::vector<std::string> entries;
  if (!ListEntries(root_fd, &entries)) return;
  for (const std::string& entry : entries) {
    if (IsRunName(entry)) SweepRun(root_fd, entry);
  }
}

// The run a save writes into: its directory, open, and its path for
// messages. A claimed run also has its log directory, open, and its path
// from there, which must still lead to it whenever a file is in place.
struct RunDirectory {
  int fd = -1;
  std::string path;
  int logdir_fd = -1;  // -1: a run reached by its path just now
  std::string from_logdir;
};

RunDirectory ClaimedRun(const std::string& repository_root, const std::string& run, int run_fd,
                        int logdir_fd, const std::string& below) {
  return RunDirectory{run_fd, JoinPath(repository_root, run), logdir_fd,
                      below == "." ? run : JoinPath(below, run)};
}

// OK while a claimed run's path from its log directory (links followed, as
// readers follow them) leads to the directory claimed. A run, or a directory
// between it and the log directory, moved or replaced meanwhile (whoever
// owns it can) fails the export: its files are then not where its readers
// look.
Status CheckInPlace(const RunDirectory& run) {
  if (run.fd < 0) return errors::FailedPrecondition("No run directory is claimed");
  if (run.logdir_fd < 0) return Status();
  struct stat by_path {};
  struct stat by_fd {};
  if (::fstatat(run.logdir_fd, run.from_logdir.c_str(), &by_path, 0) == 0 &&
      ::fstat(run.fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
      by_path.st_ino == by_fd.st_ino) {
    return Status();
  }
  return errors::FailedPrecondition(run.path +
                                    " was moved or replaced after this export claimed it");
}

// Writes every tool data of `response` as a plain file into `run`; see
// SaveToolData.
Status SavePlainFiles(const RunDirectory& run, const std::string& host,
                      const ProfileResponse& response, std::ostream* out) {
  for (const ProfileToolData& tool_data : response.tool_data()) {
    const std::string file_name = HostPrefix(host, false) + tool_data.name();
    const std::string path = JoinPath(run.path, file_name);
    Status status = WriteFileAtomically(run.fd, file_name, path, [&](WritableFile* file) {
      return file->Append(tool_data.data());
    });
    if (status.ok()) status = CheckInPlace(run);
    if (!status.ok()) return status;
    *out << "Dumped tool data for " << tool_data.name() << " to " << path << "\n";
  }
  return Status();
}

// Writes what `write` gives gzip-compressed into `run`; see
// SaveGzippedToolData.
Status SaveGzippedFile(const RunDirectory& run, const std::string& host,
                       const std::string& tool_file_name, const GzipContentWriter& write) {
  const std::string file_name = HostPrefix(host, true) + tool_file_name;
  const std::string path = JoinPath(run.path, file_name);
  Status status = WriteFileAtomically(run.fd, file_name, path, [&](WritableFile* file) {
    ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
    options.window_bits += 16;  // A gzip header and trailer around the deflate stream.
    ZlibOutputBuffer gzip(file, static_cast<int32_t>(options.input_buffer_size),
                          static_cast<int32_t>(options.output_buffer_size), options);
    Status written = gzip.Init();
    if (written.ok()) written = write(&gzip);
    if (written.ok()) written = gzip.Close();
    return written;
  });
  if (status.ok()) status = CheckInPlace(run);
  if (!status.ok()) return status;
  LOG(INFO) << "Dumped gzipped tool data for " << tool_file_name << " to " << path;
  return Status();
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
  ScopedFd run_fd;
  return CreateRunDirectory(repository_root, run, run_dir, out, &run_fd);
}

RunClaim::~RunClaim() {
  if (lock_fd_ < 0) return;
  ::close(lock_fd_);
  // An export that failed before writing anything leaves no empty run. Out of
  // memory the run stays for a later sweep: a destructor throws nothing.
  try {
    SweepRun(root_fd_, run_, run_fd_);
  } catch (...) {
  }
  ::close(run_fd_);
  ::close(root_fd_);
  ::close(logdir_fd_);
}

Status ClaimRunDirectory(const std::string& repository_root, const std::string& run,
                         const std::string& host, RunClaim* claim) {
  const auto failed = [&](uint64_t suffix, const Status& status) {
    return Status(status.code(), "Cannot claim run " + RunNameWithSuffix(run, suffix) +
                                     " of host \"" + host + "\" in " + repository_root + ": " +
                                     status.error_message());
  };
  // One name in the root: a path would lead through whatever its parts are.
  if (run.empty() || run == "." || run == ".." || run.find('/') != std::string::npos) {
    return failed(0, errors::InvalidArgument("a run is named by one path component"));
  }
  ScopedFd root_fd;
  ScopedFd logdir_fd;
  std::string root_below_logdir;
  Status status = OpenRepositoryRoot(repository_root, &root_fd, &logdir_fd, &root_below_logdir);
  if (!status.ok()) return failed(0, status);
  const std::string claim_name = HostPrefix(host, false) + std::string(kRunClaimFileName);
  // Looked at once more when the search ends.
  std::vector<LeftClaim> left;
  left.reserve(kMaxRunsMade);
  int runs_made = 0;  // by this export, whoever took them
  int64_t taken_below = -1;
  // Each attempt is at a name no earlier one found taken: it fails only when
  // another export (or user) took the name between the look and the claim.
  // Exports of one host racing in one second lose a few each; only names
  // taken again and again reach the bound.
  constexpr int kMaxAttempts = 1000;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    uint64_t suffix = 0;
    if (!FirstFreeSuffix(root_fd.get(), run, claim_name, taken_below, &suffix)) {
      return failed(0, errors::Unavailable(
                           "every run name tried looks taken: those of the ordered search and " +
                           std::to_string(kRandomSuffixTries) + " chosen at random"));
    }
    const std::string candidate = RunNameWithSuffix(run, suffix);
    ClaimOutcome outcome = ClaimOutcome::kTaken;
    ScopedFd run_fd;
    ScopedFd lock;
    status = CreateClaim(root_fd.get(), repository_root, candidate, claim_name, &runs_made,
                         &outcome, &run_fd, &lock, &left);
    // Giving up concerns the run asked for, not the name tried last.
    if (!status.ok()) return failed(status.code() == error::UNAVAILABLE ? 0 : suffix, status);
    if (outcome == ClaimOutcome::kTaken) {
      taken_below = static_cast<int64_t>(suffix);  // search on above it
      continue;
    }
    if (outcome == ClaimOutcome::kSwept) continue;
    if (suffix > 0) {
      // Taken by an earlier profile of the host, or by an entry that is no run.
      LOG(INFO) << "Run " << run << " is taken for host \"" << host << "\"; writing run "
                << candidate;
    }
    claim->repository_root_ = repository_root;
    claim->root_below_logdir_ = std::move(root_below_logdir);
    claim->run_ = candidate;
    claim->lock_fd_ = lock.release();
    claim->run_fd_ = run_fd.release();
    claim->root_fd_ = root_fd.release();
    claim->logdir_fd_ = logdir_fd.release();
    // Before the sweep, which would take a claim let go for a killed
    // export's while it is still open here.
    left.clear();
    // Best effort: out of memory, the debris waits for a later export.
    try {
      SweepRuns(claim->root_fd_);
    } catch (const std::bad_alloc&) {
    }
    return Status();
  }
  return failed(0, errors::Unavailable("each of " + std::to_string(kMaxAttempts) +
                                       " run names tried was taken between its look and its "
                                       "claim; giving up"));
}

Status SaveToolData(const std::string& repository_root, const std::string& run,
                    const std::string& host, const ProfileResponse& response, std::ostream* out) {
  if (response.tool_data().empty()) return Status();
  std::string run_dir;
  ScopedFd run_fd;
  const Status status = CreateRunDirectory(repository_root, run, &run_dir, out, &run_fd);
  if (!status.ok()) return status;
  return SavePlainFiles(RunDirectory{run_fd.get(), run_dir, -1, ""}, host, response, out);
}

Status SaveToolData(const RunClaim& claim, const std::string& host, const ProfileResponse& response,
                    std::ostream* out) {
  if (response.tool_data().empty()) return Status();
  const RunDirectory run = ClaimedRun(claim.repository_root_, claim.run_, claim.run_fd_,
                                      claim.logdir_fd_, claim.root_below_logdir_);
  *out << "Creating directory: " << run.path << ". ";
  const Status status = CheckInPlace(run);
  if (!status.ok()) return status;
  return SavePlainFiles(run, host, response, out);
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
  ScopedFd run_fd;
  const Status status = CreateRunDirectory(repository_root, run, &run_dir, &creating, &run_fd);
  LOG(INFO) << creating.str();
  if (!status.ok()) return status;
  return SaveGzippedFile(RunDirectory{run_fd.get(), run_dir, -1, ""}, host, tool_file_name, write);
}

Status SaveGzippedToolData(const RunClaim& claim, const std::string& host,
                           const std::string& tool_file_name, const GzipContentWriter& write) {
  const RunDirectory run = ClaimedRun(claim.repository_root_, claim.run_, claim.run_fd_,
                                      claim.logdir_fd_, claim.root_below_logdir_);
  LOG(INFO) << "Creating directory: " << run.path << ". ";
  const Status status = CheckInPlace(run);
  if (!status.ok()) return status;
  return SaveGzippedFile(run, host, tool_file_name, write);
}

}  // namespace trace
}  // namespace zentrik
