#ifndef ZENTRIK_TESTING_FILE_SYSTEM_SEAMS_H_
#define ZENTRIK_TESTING_FILE_SYSTEM_SEAMS_H_

// Seams in the file-system calls an export makes. The program that links
// file_system_seams.cc has flock, mkdirat, openat, unlinkat, fchmod and fstatat
// replaced by ones that run these hooks around the system call; each hook is
// off until set, may clear itself, and runs on whichever thread makes the
// call.

#include <functional>

namespace zentrik {
namespace testing {

// Before each lock tried without waiting (every lock an export takes), with
// its descriptor: another export may move on between a sweep's look and its
// locks. A nonzero result fails the lock with that errno.
extern std::function<int(int fd)> before_trying_a_lock;

// Before each directory made, with its name; a nonzero result fails the
// making with that errno.
extern std::function<int(const char* name)> before_making_a_directory;
// After each directory made, with its parent's descriptor and its name.
extern std::function<void(int parent_fd, const char* name)> after_making_a_directory;

// Before and after each file created with openat, with its name and with
// its new descriptor.
extern std::function<void(const char* name)> before_creating_a_file;
extern std::function<void(int fd)> after_creating_a_file;

// Before each entry removed with unlinkat, with its directory's descriptor,
// its name and whether it is a directory.
extern std::function<void(int dir_fd, const char* name, bool directory)> before_removing_an_entry;

// Before each fchmod, with the descriptor; a positive result fails it with
// that errno, as file systems that decide modes themselves do, and a
// negative one makes it succeed and change nothing, as some others do.
extern std::function<int(int fd)> before_changing_a_mode;

// After each fstatat that follows a link at the path's end (a look at where a
// path leads now), with its directory's descriptor and the path.
extern std::function<void(int dir_fd, const char* path)> after_following_a_path;

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_FILE_SYSTEM_SEAMS_H_
