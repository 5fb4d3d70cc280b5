#include "trace/core/rpc/client/save_profile.h"

#include <fcntl.h>
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

namespace zentrik {
namespace trace {
namespace {

constexpr std::string_view kPathSeparator = "/";

// Reserves a run directory for one host; see ClaimRunDirectory. Its name ends
// in no tool's file name, so readers of the profile directory ignore it.
constexpr std::string_view kRunClaimFileName = "run.claim";

// Numbers the temporary files of this process.
std::atomic<uint64_t> temporary_file_counter{0};

// Removes a temporary file unless it was renamed into place, so that no
// failure (an exception included) leaves it behind.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  // Gives the file the name `final_path`, replacing what had that name.
  Status RenameTo(const std::string& final_path) {
    if (::rename(path_.c_str(), final_path.c_str()) != 0) return IOError(final_path, errno);
    path_.clear();
    return Status();
  }

 private:
  std::string path_;
};

// A hidden, never existing name in `dir` for the contents of `file_name`.
std::string TemporaryPath(const std::string& dir, const std::string& file_name) {
  std::ostringstream name;
  name << "." << file_name << ".tmp-" << ::getpid() << "-"
       << temporary_file_counter.fetch_add(1, std::memory_order_relaxed);
  return JoinPath(dir, name.str());
}

// Opens `temporary` for writing with an exclusive create (created files get
// the usual mode, 0666 less the umask). Errors name `final_path`, the file the
// caller asked for.
Status OpenTemporaryFile(const TemporaryFile& temporary, const std::string& final_path,
                         std::unique_ptr<WritableFile>* file) {
  const int fd = ::open(temporary.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return IOError(final_path, errno);
  FILE* stream = ::fdopen(fd, "w");
  if (stream == nullptr) {
    const int err = errno;
    ::close(fd);
    return IOError(final_path, err);
  }
  *file = std::make_unique<PosixWritableFile>(final_path, stream);
  return Status();
}

// Writes `file_name` in `dir` so that no reader ever sees it incomplete: the
// bytes go to a temporary file that takes the final name only after `write`
// and closing succeeded. On failure nothing appears under the final name (an
// earlier file of that name stays) and the temporary file is removed.
template <typename WriteFunction>
Status WriteFileAtomically(const std::string& dir, const std::string& file_name,
                           const std::string& final_path, WriteFunction write) {
  TemporaryFile temporary(TemporaryPath(dir, file_name));
  std::unique_ptr<WritableFile> file;
  Status status = OpenTemporaryFile(temporary, final_path, &file);
  if (!status.ok()) return status;
  status = write(file.get());
  if (status.ok()) status = file->Close();
  file.reset();
  if (!status.ok()) return status;
  return temporary.RenameTo(final_path);
}

std::string HostPrefix(const std::string& host, bool gzipped) {
  if (host.empty()) return "";
  std::string prefix = host;
  if (!gzipped) std::replace(prefix.begin(), prefix.end(), ':', '_');
  return prefix + ".";
}

std::string RunNameWithSuffix(const std::string& run, int suffix) {
  return suffix == 0 ? run : run + "_" + std::to_string(suffix);
}

// Creates the claim file of `host` in `run_dir`; `*taken` tells whether an
// earlier export of the host already holds it.
Status CreateClaimFile(const std::string& run_dir, const std::string& host, bool* taken) {
  const std::string path = ToolFilePath(run_dir, host, std::string(kRunClaimFileName), false);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *taken = fd < 0 && errno == EEXIST;
  if (fd < 0) return *taken ? Status() : IOError(path, errno);
  ::close(fd);
  return Status();
}

}  // namespace

Status CheckProfileEmptyMarker(const std::string& logdir) {
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

Status ClaimRunDirectory(const std::string& repository_root, const std::string& run,
                         const std::string& host, std::string* claimed_run) {
  for (int suffix = 0; suffix <= kMaxRunNameSuffix; ++suffix) {
    const std::string candidate = RunNameWithSuffix(run, suffix);
    const std::string run_dir = JoinPath(repository_root, candidate);
    Status status = Env::Default()->RecursivelyCreateDir(run_dir);
    if (!status.ok()) return status;
    bool taken = false;
    status = CreateClaimFile(run_dir, host, &taken);
    if (!status.ok()) return status;
    if (!taken) {
      if (suffix > 0) {
        LOG(INFO) << "Run " << run << " already holds a profile of host \"" << host
                  << "\"; writing run " << candidate;
      }
      *claimed_run = candidate;
      return Status();
    }
  }
  return errors::AlreadyExists("Every run name from " + JoinPath(repository_root, run) + " to _" +
                               std::to_string(kMaxRunNameSuffix) +
                               " already holds a profile of host \"" + host + "\"");
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
