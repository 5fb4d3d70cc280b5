#include "common/platform/logging.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zentrik {
namespace trace {
namespace internal {
namespace {

constexpr char kSeverityWords[4][10] = {"INFO", "WARNING", "ERROR", "FATAL"};

bool LogThreadIdFromEnv() {
  static const bool log_thread_id = [] {
    const char* text = getenv("ZENTRIK_CPP_LOG_THREAD_ID");
    return text != nullptr && ParseInteger(text, strlen(text)) != 0;
  }();
  return log_thread_id;
}

// The length of the path as the build gives it, without the file's extension.
int SourcePathLength(const char* fname) {
  const char* slash = strrchr(fname, '/');
  const char* dot = strrchr(fname, '.');
  const size_t length = strlen(fname);
  if (dot != nullptr && (slash == nullptr || dot > slash)) return static_cast<int>(dot - fname);
  return static_cast<int>(length);
}

}  // namespace

int ParseInteger(const char* text, size_t length) {
  std::istringstream stream(std::string(text, length));
  int value = 0;
  stream >> value;
  return value;
}

int64_t LogLevelStrToInt(const char* text) {
  if (text == nullptr) return 1;
  return ParseInteger(text, strlen(text));
}

int64_t MinLogLevelFromEnv() {
  static const int64_t level = LogLevelStrToInt(getenv("ZENTRIK_CPP_MIN_LOG_LEVEL"));
  return level;
}

int64_t MinVLogLevelFromEnv() {
  static const int64_t level = LogLevelStrToInt(getenv("ZENTRIK_CPP_MIN_VLOG_LEVEL"));
  return level;
}

LogMessage::LogMessage(const char* fname, int line, int severity)
    : fname_(fname), line_(line), severity_(severity) {}

LogMessage::~LogMessage() {
  if (static_cast<int64_t>(severity_) >= MinLogLevelFromEnv()) GenerateLogMessage();
}

void LogMessage::GenerateLogMessage() {
  const bool log_thread_id = LogThreadIdFromEnv();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t nanos =
      static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
  const time_t seconds = static_cast<time_t>(nanos / 1000000000ull);
  const int micros = static_cast<int>((nanos / 1000) % 1000000);

  char time_buffer[30];
  tm local{};
  localtime_r(&seconds, &local);
  strftime(time_buffer, sizeof(time_buffer), "%Y-%m-%d %H:%M:%S", &local);

  char tid_buffer[10] = {};
  if (log_thread_id) {
    snprintf(tid_buffer, sizeof(tid_buffer), " %7lu",
             static_cast<unsigned long>(syscall(SYS_gettid)));
  }
  const int word = severity_ >= 0 && severity_ <= 3 ? severity_ : 0;
  // Logging runs in destructors, also when memory has run out: the copy of the
  // message is the one allocation, and its failure costs the text, not the line.
  std::string message;
  try {
    message = str();
  } catch (...) {
  }
  fprintf(stderr, "%s.%06d: %s: %s %.*s:%d] %s\n", time_buffer, micros, kSeverityWords[word],
          tid_buffer, SourcePathLength(fname_), fname_, line_, message.c_str());
}

LogMessageFatal::LogMessageFatal(const char* file, int line) : LogMessage(file, line, FATAL) {}

LogMessageFatal::~LogMessageFatal() {
  GenerateLogMessage();
  abort();
}

CheckOpMessageBuilder::CheckOpMessageBuilder(const char* exprtext)
    : stream_(new std::ostringstream) {
  *stream_ << "Check failed: " << exprtext << " (";
}

CheckOpMessageBuilder::~CheckOpMessageBuilder() { delete stream_; }

std::ostream* CheckOpMessageBuilder::ForVar2() {
  *stream_ << " vs. ";
  return stream_;
}

std::string* CheckOpMessageBuilder::NewString() {
  *stream_ << ")";
  return new std::string(stream_->str());
}

}  // namespace internal
}  // namespace trace
}  // namespace zentrik
