#include "testing/file_system_seams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace zentrik {
namespace testing {

std::function<int(int)> before_trying_a_lock;
std::function<int(const char*)> before_making_a_directory;
std::function<void(int, const char*)> after_making_a_directory;
std::function<void(const char*)> before_creating_a_file;
std::function<void(int)> after_creating_a_file;
std::function<void(int, const char*, bool)> before_removing_an_entry;
std::function<int(int)> before_changing_a_mode;
std::function<void(int, const char*)> after_following_a_path;

namespace {

// Runs `hook` with `args` when it is set; a copy runs, since it may clear
// itself.
template <typename Hook, typename... Args>
auto Run(const Hook& hook, Args... args) {
  const Hook copy = hook;
  return copy(args...);
}

}  // namespace
}  // namespace testing
}  // namespace zentrik

using namespace zentrik::testing;  // NOLINT: the hooks of the seams below

extern "C" int flock(int fd, int operation) {
  if ((operation & LOCK_NB) != 0 && before_trying_a_lock) {
    if (const int err = Run(before_trying_a_lock, fd); err != 0) {
      errno = err;
      return -1;
    }
  }
  return static_cast<int>(syscall(SYS_flock, fd, operation));
}

extern "C" int mkdirat(int dir_fd, const char* name, mode_t mode) {
  if (before_making_a_directory) {
    if (const int err = Run(before_making_a_directory, name); err != 0) {
      errno = err;
      return -1;
    }
  }
  const int made = static_cast<int>(syscall(SYS_mkdirat, dir_fd, name, mode));
  if (made == 0 && after_making_a_directory) {
    const int err = errno;
    Run(after_making_a_directory, dir_fd, name);
    errno = err;
  }
  return made;
}

extern "C" int openat(int dir_fd, const char* name, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned int));
    va_end(args);
    if (before_creating_a_file) Run(before_creating_a_file, name);
  }
  const int fd = static_cast<int>(syscall(SYS_openat, dir_fd, name, flags, mode));
  if (fd >= 0 && (flags & O_CREAT) != 0 && after_creating_a_file) {
    const int err = errno;
    Run(after_creating_a_file, fd);
    errno = err;
  }
  return fd;
}

extern "C" int unlinkat(int dir_fd, const char* name, int flags) {
  if (before_removing_an_entry) {
    Run(before_removing_an_entry, dir_fd, name, (flags & AT_REMOVEDIR) != 0);
  }
  return static_cast<int>(syscall(SYS_unlinkat, dir_fd, name, flags));
}

extern "C" int fchmod(int fd, mode_t mode) {
  if (before_changing_a_mode) {
    if (const int err = Run(before_changing_a_mode, fd); err != 0) {
      if (err < 0) return 0;
      errno = err;
      return -1;
    }
  }
  return static_cast<int>(syscall(SYS_fchmod, fd, mode));
}

extern "C" int fstatat(int dir_fd, const char* path, struct stat* info, int flags) {
  const int result = static_cast<int>(syscall(SYS_newfstatat, dir_fd, path, info, flags));
  if ((flags & AT_SYMLINK_NOFOLLOW) == 0 && after_following_a_path) {
    const int err = errno;
    Run(after_following_a_path, dir_fd, path);
    errno = err;
  }
  return result;
}
