#include "common/platform/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <regex>

#include "testing/child_process.h"

namespace zentrik {
namespace trace {
namespace internal {
namespace {

using ::testing::ElementsAreArray;
using ::zentrik::testing::RunScenario;

// "<severity><thread id field> <message>" of each line after checking the
// whole line's form; the banner of the library's own load is left out.
std::vector<std::string> SeverityAndMessage(const std::string& text) {
  static const std::regex kLine(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: (INFO|WARNING|ERROR|FATAL): (.*) )"
      R"(common/platform/logging_test:\d+\] (.*)$)");
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    std::smatch match;
    if (line.find("Zentrik Version:") != std::string::npos) continue;
    result.push_back(std::regex_match(line, match, kLine)
                         ? match[1].str() + match[2].str() + " " + match[3].str()
                         : "malformed: " + line);
  }
  return result;
}

ZENTRIK_CHILD_SCENARIO(LogEachSeverity) {
  printf("%ld", static_cast<long>(syscall(SYS_gettid)));
  LOG(INFO) << "info " << 1;
  LOG(WARNING) << "warning " << 2;
  LOG(ERROR) << "error " << 3;
  VLOG(2) << "verbose " << 4;
  return 0;
}

// The thread id, when switched on, is right-aligned in seven columns.
TEST(LoggingTest, SettingsChooseTheLinesWrittenAndTheirForm) {
  const struct {
    std::optional<std::string> min_level, vlog_level, thread_id;
    std::vector<std::string> expected;
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, {"WARNING warning 2", "ERROR error 3"}},
      {"0", "2", std::nullopt, {"INFO info 1", "WARNING warning 2", "ERROR error 3", "INFO verbose 4"}},
      {"2", std::nullopt, "12", {"ERROR# error 3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.min_level.value_or("unset") + " " + c.vlog_level.value_or("unset"));
    const auto result = RunScenario(
        "LogEachSeverity",
        {{"TZ", "UTC"}, {"ZENTRIK_CPP_LOG_THREAD_ID", c.thread_id},
         {"ZENTRIK_CPP_MIN_LOG_LEVEL", c.min_level}, {"ZENTRIK_CPP_MIN_VLOG_LEVEL", c.vlog_level}});
    EXPECT_EQ(result.exit_code, 0);
    char tid[16];
    snprintf(tid, sizeof(tid), " %7lu", std::stoul(result.out));
    std::vector<std::string> expected = c.expected;
    if (c.thread_id) expected[0].replace(expected[0].find('#'), 1, tid);
    EXPECT_THAT(SeverityAndMessage(result.err), ElementsAreArray(expected));
  }
}

int g_evaluations = 0;

// Statements below the level do not evaluate their arguments and the level is
// read once; a failed check aborts after writing, whatever the level.
ZENTRIK_CHILD_SCENARIO(LevelOnceOrFatal) {
  const std::string which = getenv("ZENTRIK_TEST_CASE");
  size_t left = 10;
  int right = -1;
  if (which == "negative") CHECK_LE(left, right);  // mixed signedness
  size_t bytes_to_write = which == "unsigned" ? 300 : 200;
  int space = 200;
  CHECK_LE(bytes_to_write, space);  // both positive: compared as numbers
  if (which == "fatal") LOG_FATAL() << "fatal " << 7;
  LOG(INFO) << ++g_evaluations;
  VLOG(2) << ++g_evaluations;
  LOG(WARNING) << "first";
  setenv("ZENTRIK_CPP_MIN_LOG_LEVEL", "3", 1);
  LOG(WARNING) << "second";
  return g_evaluations;
}

TEST(LoggingTest, LevelIsReadOnceAndFatalLinesAbort) {
  const std::tuple<const char*, const char*, int, std::vector<std::string>> cases[] = {
      {"once", nullptr, 0, {"WARNING first", "WARNING second"}},
      {"negative", "9", SIGABRT, {"FATAL Check failed: left <= right (10 vs. -1)"}},
      {"unsigned", "9", SIGABRT, {"FATAL Check failed: bytes_to_write <= space (300 vs. 200)"}},
      {"fatal", "9", SIGABRT, {"FATAL fatal 7"}},
  };
  for (const auto& [which, level, signal, lines] : cases) {
    const auto result = RunScenario(
        "LevelOnceOrFatal", {{"TZ", "UTC"}, {"ZENTRIK_TEST_CASE", which},
                   {"ZENTRIK_CPP_MIN_LOG_LEVEL", level ? std::optional<std::string>(level) : std::nullopt},
                   {"ZENTRIK_CPP_MIN_VLOG_LEVEL", std::nullopt}});
    EXPECT_EQ(signal == 0 ? result.exit_code : result.term_signal, signal) << which;
    EXPECT_THAT(SeverityAndMessage(result.err), ElementsAreArray(lines)) << which;
  }
}

// Levels read from the environment as a stream extraction would read them,
// clamped to int.
TEST(LoggingTest, ParseIntegerReadsLikeAStreamExtraction) {
  const std::pair<const char*, int> cases[] = {
      {"2", 2},
      {"3abc", 3},
      {"abc", 0},
      {"", 0},
      {"  7", 7},
      {"-4", -4},
      {"+5", 5},
      {"0x10", 0},
      {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
      {"2147483647", INT_MAX},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(ParseInteger(text, strlen(text)), value) << '"' << text << '"';
  }
  EXPECT_EQ(LogLevelStrToInt(nullptr), 1);
  EXPECT_EQ(LogLevelStrToInt("-3"), -3);
}

}  // namespace
}  // namespace internal
}  // namespace trace
}  // namespace zentrik
