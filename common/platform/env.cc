#include "common/platform/env.h"

#include <cxxabi.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// dlerror() may return null (no pending error); that reads as an empty text.
std::string LastLoaderError() {
  const char* text = dlerror();
  return text == nullptr ? std::string() : std::string(text);
}

std::string ParseFailureText(const std::string& env_var_name, const char* type_name,
                             const char* text, const std::string& default_text) {
  return "Failed to parse the env-var ${" + env_var_name + "} into " + type_name + ": " + text +
         ". Use the default value: " + default_text;
}

}  // namespace

std::pair<std::string, std::string> SplitPath(std::string_view path) {
  const size_t pos = path.rfind('/');
  if (pos == std::string_view::npos) return {".", std::string(path)};
  if (pos == 0) return {"/", std::string(path.substr(1))};
  return {std::string(path.substr(0, pos)), std::string(path.substr(pos + 1))};
}

Status IOError(const std::string& context, int err_number) {
  return errors::Unknown(context + ": " + strerror(err_number));
}

std::string FailureReason(const Status& status, int err_number) {
  if (status.code() != error::ABORTED || err_number == 0) return status.ToString();
  return status.ToString() + " (" + strerror(err_number) + ")";
}

uint64_t EnvTime::NowNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t EnvTime::NowMicros() { return NowNanos() / 1000; }

uint64_t EnvTime::NowSeconds() { return NowNanos() / 1000000000ull; }

Env* Env::Default() {
  static Env* const default_env = new Env;
  return default_env;
}

std::string Env::Basename(std::string_view path) { return SplitPath(path).second; }

std::string Env::Dirname(std::string_view path) { return SplitPath(path).first; }

std::string Env::JoinPath(std::string_view first, std::string_view second) {
  if (first.empty()) return std::string(second);
  if (second.empty()) return std::string(first);
  std::string joined(first);
  if (joined.back() != '/') joined += '/';
  joined += second;
  return joined;
}

uint64_t Env::NowNanos() { return EnvTime::NowNanos(); }

uint64_t Env::GetCurrentThreadId() { return static_cast<uint64_t>(pthread_self()); }

bool Env::GetCurrentThreadName(std::string* name) {
  char buffer[100];
  if (pthread_getname_np(pthread_self(), buffer, sizeof(buffer)) != 0) return false;
  *name = buffer;
  return true;
}

std::string Env::GetHostName() {
  // Zero-filled, so a failed gethostname reads as an empty name.
  char buffer[1024] = {};
  gethostname(buffer, sizeof(buffer));
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

std::string Env::Demangle(const char* mangled) {
  if (mangled == nullptr) return std::string();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string result = status == 0 && demangled != nullptr ? demangled : mangled;
  free(demangled);
  return result;
}

Status Env::FileExists(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return Status();
  return errors::NotFound(path + " does not exit");
}

Status Env::IsDirectory(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    LOG(WARNING) << "errors occur when accessing" << path;
    return errors::FailedPrecondition("errors occur when accessing");
  }
  if (S_ISDIR(info.st_mode)) return Status();
  return errors::NotFound(path + " is not a directory");
}

Status Env::CreateDir(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return errors::AlreadyExists(path + " already exits");
  if (mkdir(path.c_str(), 0755) == 0) return Status();
  // Another process may have created it since the check above.
  if (errno == EEXIST) return errors::AlreadyExists(path + " already exits");
  return errors::Aborted(path + " creating...  error!");
}

Status Env::RecursivelyCreateDir(const std::string& path) {
  if (FileExists(path).ok() && !IsDirectory(path).ok()) {
    LOG(WARNING) << "File: " << path << " exists, which may affect create the " << path
                 << " folder.";
  }
  // Walk up to the deepest existing ancestor, collecting the missing names.
  std::string remaining = path;
  std::vector<std::string> missing;
  while (!remaining.empty()) {
    if (FileExists(remaining).ok()) {
      if (IsDirectory(remaining).ok()) break;
      return errors::FailedPrecondition(remaining + " is not a directory");
    }
    if (remaining.back() == '/') {
      remaining.pop_back();
      continue;
    }
    std::string parent = Dirname(remaining);
    // "." is its own parent; when even it is missing the walk cannot go on,
    // and creating the first component below reports the failure.
    if (parent == remaining) break;
    missing.push_back(Basename(remaining));
    remaining = std::move(parent);
  }
  std::reverse(missing.begin(), missing.end());

  std::string built = remaining;
  for (const std::string& component : missing) {
    built = JoinPath(built, component);
    Status status = CreateDir(built);
    if (!status.ok() && status.code() != error::ALREADY_EXISTS) return status;
  }
  return Status();
}

Status Env::GetChildren(const std::string& dir, std::vector<std::string>* result) {
  result->clear();
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return IOError(dir, errno);
  while (const dirent* entry = readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") result->emplace_back(name);
  }
  if (closedir(handle) != 0) return IOError(dir, errno);
  return Status();
}

std::string Env::FormatLibraryFileName(const std::string& name, const std::string& version) {
  std::string filename = "lib" + name + ".so";
  if (!version.empty()) filename += "." + version;
  return filename;
}

Status Env::LoadLibrary(const char* library_filename, void** handle) {
  *handle = dlopen(library_filename, RTLD_NOW);
  if (*handle != nullptr) return Status();
  const std::string message = LastLoaderError();
  LOG(WARNING) << "LoadLibrary: " << (library_filename ? library_filename : "") << " failed";
  return errors::NotFound(message);
}

Status Env::GetSymbol(void* handle, const char* symbol_name, void** symbol) {
  LastLoaderError();  // Clears an error left by an earlier call.
  *symbol = dlsym(handle, symbol_name);
  if (*symbol != nullptr) return Status();
  const std::string message = LastLoaderError();
  LOG(WARNING) << "GetSymbol: " << (symbol_name ? symbol_name : "") << " from library failed.";
  return errors::NotFound(message);
}

Status Env::ReadBoolFromEnvVar(const std::string& env_var_name, bool default_val, bool* value) {
  *value = default_val;
  const char* text = getenv(env_var_name.c_str());
  if (text == nullptr) return Status();
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  if (lower == "0" || lower == "false") {
    *value = false;
    return Status();
  }
  if (lower == "1" || lower == "true") {
    *value = true;
    return Status();
  }
  return errors::InvalidArgument(
      ParseFailureText(env_var_name, "bool", text, default_val ? "1" : "0"));
}

Status Env::ReadInt64FromEnvVar(const std::string& env_var_name, int64_t default_val,
                                int64_t* value) {
  *value = default_val;
  const char* text = getenv(env_var_name.c_str());
  if (text == nullptr) return Status();
  try {
    *value = std::stoll(text, nullptr, 10);
    return Status();
  } catch (const std::logic_error&) {
    // invalid_argument (no leading number) and out_of_range both land here.
  }
  return errors::InvalidArgument(
      ParseFailureText(env_var_name, "int64", text, std::to_string(default_val)));
}

uint64_t GetCurrentTimeNanos() { return Env::Default()->NowNanos(); }

bool StartsWith(std::string_view text, std::string_view prefix) {
  return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return !suffix.empty() && text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

bool StrContains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::vector<std::string> StrSplit(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    if (!text.empty()) pieces.emplace_back(text);
    return pieces;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.emplace_back(text.substr(start, end - start));
    start = end + separator.size();
  }
  return pieces;
}

}  // namespace trace
}  // namespace zentrik
