#ifndef ZENTRIK_COMMON_PLATFORM_ENV_H_
#define ZENTRIK_COMMON_PLATFORM_ENV_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/platform/status.h"

namespace zentrik {
namespace trace {

// (directory, base name) of `path`, split at its last "/": no "/" gives
// (".", path), a "/" only at the start gives ("/", rest), a trailing "/" an empty
// base name.
std::pair<std::string, std::string> SplitPath(std::string_view path);

// UNKNOWN status "<context>: <strerror(err_number)>", the result of every
// failed file-system call.
Status IOError(const std::string& context, int err_number);

// The status's text for a log line that says why a write into a directory
// failed. A failed directory creation's status carries no system error text,
// so that of `err_number` (errno read as the status arrives) is added to it.
std::string FailureReason(const Status& status, int err_number);

// Monotonic clock readings. Thread-safe.
class EnvTime {
 public:
  static uint64_t NowNanos();
  static uint64_t NowMicros();
  static uint64_t NowSeconds();
};

// The process-wide gateway to the operating system. Stateless: every member
// may be called from any thread at any time.
class Env {
 public:
  // The single instance; never destroyed before exit.
  static Env* Default();

  // Paths.
  std::string Basename(std::string_view path);
  std::string Dirname(std::string_view path);
  // `first` + "/" + `second`, without doubling a "/" that ends `first`; an
  // empty part gives the other one.
  std::string JoinPath(std::string_view first, std::string_view second);

  // Monotonic nanoseconds, the same clock as EnvTime::NowNanos.
  uint64_t NowNanos();

  // pthread_self() of the calling thread.
  uint64_t GetCurrentThreadId();
  // False (and `name` untouched) when the thread's name cannot be read.
  bool GetCurrentThreadName(std::string* name);
  // The host name; empty when it cannot be read.
  std::string GetHostName();
  // The demangled symbol, or `mangled` unchanged when it is not a mangled
  // name; empty for null.
  std::string Demangle(const char* mangled);

  // OK when `path` exists, else NOT_FOUND "<path> does not exit".
  Status FileExists(const std::string& path);
  // OK for a directory, NOT_FOUND "<path> is not a directory" for anything
  // else, FAILED_PRECONDITION (and a WARNING line) when stat fails.
  Status IsDirectory(const std::string& path);
  // Creates one directory (mode 0755). ALREADY_EXISTS "<path> already exits"
  // when the path exists, also when another process creates it first;
  // ABORTED "<path> creating...  error!" on any other failure.
  Status CreateDir(const std::string& path);
  // Creates `path` and every missing parent; an existing directory is OK.
  // FAILED_PRECONDITION "<p> is not a directory" when a component is a file.
  Status RecursivelyCreateDir(const std::string& path);
  // The entry names of `dir` except "." and "..", in directory order.
  Status GetChildren(const std::string& dir, std::vector<std::string>* result);

  // "lib<name>.so", followed by "." and `version` when it is not empty.
  std::string FormatLibraryFileName(const std::string& name, const std::string& version);
  // dlopen(RTLD_NOW); NOT_FOUND with the loader's message (and a WARNING
  // line) on failure. `*handle` receives the handle, null on failure.
  Status LoadLibrary(const char* library_filename, void** handle);
  // dlsym; NOT_FOUND with the loader's message (and a WARNING line) when the
  // symbol is missing.
  Status GetSymbol(void* handle, const char* symbol_name, void** symbol);

  // Store `default_val` in `*value`, then the variable's value when it is 0,
  // 1, false or true (any case). Unset: OK; anything else: INVALID_ARGUMENT,
  // `*value` keeps the default. Nothing is logged.
  Status ReadBoolFromEnvVar(const std::string& env_var_name, bool default_val, bool* value);
  // As above for a base-10 int64 prefix ("12abc" reads 12); text without a
  // leading number, or out of range, gives INVALID_ARGUMENT.
  Status ReadInt64FromEnvVar(const std::string& env_var_name, int64_t default_val, int64_t* value);
};

// Env::Default()->NowNanos(): the start time of a profiling run.
uint64_t GetCurrentTimeNanos();

// False for an empty prefix or suffix.
bool StartsWith(std::string_view text, std::string_view prefix);
bool EndsWith(std::string_view text, std::string_view suffix);
// True for an empty part.
bool StrContains(std::string_view text, std::string_view part);
// The non-empty pieces of `text` between occurrences of `separator`; an empty
// separator gives the text whole.
std::vector<std::string> StrSplit(std::string_view text, std::string_view separator);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_ENV_H_
