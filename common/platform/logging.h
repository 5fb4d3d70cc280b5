#ifndef ZENTRIK_COMMON_PLATFORM_LOGGING_H_
#define ZENTRIK_COMMON_PLATFORM_LOGGING_H_

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace zentrik {
namespace trace {
namespace internal {

// Severities as printed in a log line.
constexpr int INFO = 0;
constexpr int WARNING = 1;
constexpr int ERROR = 2;
constexpr int FATAL = 3;

// The process's minimum log level (ZENTRIK_CPP_MIN_LOG_LEVEL, default 1) and
// verbose level (ZENTRIK_CPP_MIN_VLOG_LEVEL, default 1). Each is read once, on
// first use, and cached for the life of the process. Thread-safe.
int64_t MinLogLevelFromEnv();
int64_t MinVLogLevelFromEnv();

// Reads a 32-bit integer the way `std::istringstream >> int` does: leading
// blanks skipped, 0 for text without a number, clamped to the int range.
int ParseInteger(const char* text, size_t length);

// Null (variable unset) gives 1; anything else goes through ParseInteger.
int64_t LogLevelStrToInt(const char* text);

// One log line: the caller streams the message in, the destructor writes it to
// standard error when `severity` reaches the minimum log level.
class LogMessage : public std::ostringstream {
 public:
  LogMessage(const char* fname, int line, int severity);
  ~LogMessage() override;

  // The statement's stream as an lvalue, for the log macros.
  std::ostream& stream() { return *this; }

  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

 protected:
  // Formats and writes the line with one fprintf, whatever the level.
  void GenerateLogMessage();

 private:
  const char* fname_;
  int line_;
  int severity_;
};

// A FATAL line, written whatever the minimum level; the destructor aborts.
class LogMessageFatal : public LogMessage {
 public:
  LogMessageFatal(const char* file, int line);
  [[noreturn]] ~LogMessageFatal() override;
};

// Lets the log macros discard the stream in a conditional expression.
struct LogMessageVoidify {
  void operator&(std::ostream&) {}
};

// Builds "Check failed: <expr> (<v1> vs. <v2>)".
class CheckOpMessageBuilder {
 public:
  explicit CheckOpMessageBuilder(const char* exprtext);
  ~CheckOpMessageBuilder();
  CheckOpMessageBuilder(const CheckOpMessageBuilder&) = delete;
  CheckOpMessageBuilder& operator=(const CheckOpMessageBuilder&) = delete;

  std::ostream* ForVar1() { return stream_; }
  std::ostream* ForVar2();
  // The whole text; the caller owns the string.
  std::string* NewString();

 private:
  std::ostringstream* stream_;
};

template <typename T1, typename T2>
std::string* MakeCheckOpString(const T1& v1, const T2& v2, const char* exprtext) {
  CheckOpMessageBuilder builder(exprtext);
  *builder.ForVar1() << v1;
  *builder.ForVar2() << v2;
  return builder.NewString();
}

// Null when `a <= b` holds, else the failure text. An unsigned left operand is
// never at most a negative right one; both are otherwise compared unsigned.
template <typename T1, typename T2>
std::string* Check_LEImpl(const T1& a, const T2& b, const char* exprtext) {
  if constexpr (std::is_unsigned_v<T1> && std::is_signed_v<T2>) {
    if (b < 0) return MakeCheckOpString(a, b, exprtext);
    if (static_cast<uint64_t>(a) <= static_cast<uint64_t>(b)) return nullptr;
    return MakeCheckOpString(a, static_cast<T1>(b), exprtext);
  } else {
    if (a <= b) return nullptr;
    return MakeCheckOpString(a, b, exprtext);
  }
}

// Severity 0 to 2 statements reach the stream only when they will be written.
inline bool LogLevelEnabled(int severity) { return severity >= MinLogLevelFromEnv(); }

}  // namespace internal
}  // namespace trace
}  // namespace zentrik

#define ZENTRIK_LOG_IF_ENABLED(enabled, severity)                    \
  !(enabled) ? (void)0                                               \
             : ::zentrik::trace::internal::LogMessageVoidify() &     \
                   ::zentrik::trace::internal::LogMessage(__FILE__, __LINE__, severity).stream()

// LOG(INFO|WARNING|ERROR) << ...; nothing is built below the minimum level.
#define LOG(severity)                                                                          \
  ZENTRIK_LOG_IF_ENABLED(::zentrik::trace::internal::LogLevelEnabled(                          \
                             ::zentrik::trace::internal::severity),                            \
                         ::zentrik::trace::internal::severity)

// VLOG(n) << ...; an INFO line built only when the verbose level is at least n.
#define VLOG(level)                                                               \
  ZENTRIK_LOG_IF_ENABLED(::zentrik::trace::internal::MinVLogLevelFromEnv() >= (level) && \
                             ::zentrik::trace::internal::LogLevelEnabled(               \
                                 ::zentrik::trace::internal::INFO),                     \
                         ::zentrik::trace::internal::INFO)

// LOG(FATAL) equivalent: always written, then abort().
#define LOG_FATAL() ::zentrik::trace::internal::LogMessageFatal(__FILE__, __LINE__).stream()

// CHECK_LE(a, b): aborts with "Check failed: a <= b (va vs. vb)" when a > b.
#define CHECK_LE(a, b)                                                                          \
  while (std::string* zentrik_check_text =                                                      \
             ::zentrik::trace::internal::Check_LEImpl((a), (b), #a " <= " #b))                  \
  ::zentrik::trace::internal::LogMessageFatal(__FILE__, __LINE__).stream() << *zentrik_check_text

#endif  // ZENTRIK_COMMON_PLATFORM_LOGGING_H_
