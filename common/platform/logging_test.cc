#include "common/platform/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <regex>

#include "testing/child_process.h"

namespace zentrik {
namespace trace {
namespace internal {
namespace {

using ::testing::ElementsAreArray;
using ::zentrik::testing::RunScenario;

// Every line of `text`, with the banner lines of the library's own load
// removed (they appear whenever INFO is on).
std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line.find("Zentrik Version:") == std::string::npos) lines.push_back(line);
  }
  return lines;
}

// "<severity> <message>" of each line, after checking the whole line's form.
std::vector<std::string> SeverityAndMessage(const std::string& text) {
  static const std::regex kLine(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: (INFO|WARNING|ERROR|FATAL):  )"
      R"(common/platform/logging_test:\d+\] (.*)$)");
  std::vector<std::string> result;
  for (const std::string& line : LogLines(text)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
      result.push_back("malformed: " + line);
      continue;
    }
    result.push_back(match[1].str() + " " + match[2].str());
  }
  return result;
}

ZENTRIK_CHILD_SCENARIO(LogEachSeverity) {
  LOG(INFO) << "info " << 1;
  LOG(WARNING) << "warning " << 2;
  LOG(ERROR) << "error " << 3;
  VLOG(2) << "verbose " << 4;
  return 0;
}

TEST(LoggingTest, MinimumAndVerboseLevelsChooseTheLinesWritten) {
  const std::vector<std::string> all = {"INFO info 1", "WARNING warning 2", "ERROR error 3"};
  const struct {
    std::optional<std::string> min_level, vlog_level;
    std::vector<std::string> expected;
  } cases[] = {
      {std::nullopt, std::nullopt, {"WARNING warning 2", "ERROR error 3"}},
      {"2", std::nullopt, {"ERROR error 3"}},
      {"3", std::nullopt, {}},
      {"abc", std::nullopt, all},
      {"0", "2", {"INFO info 1", "WARNING warning 2", "ERROR error 3", "INFO verbose 4"}},
      {"1", "2", {"WARNING warning 2", "ERROR error 3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.min_level.value_or("unset") + " " + c.vlog_level.value_or("unset"));
    const auto result = RunScenario("LogEachSeverity", {{"TZ", "UTC"},
                                                        {"ZENTRIK_CPP_LOG_THREAD_ID", std::nullopt},
                                                        {"ZENTRIK_CPP_MIN_LOG_LEVEL", c.min_level},
                                                        {"ZENTRIK_CPP_MIN_VLOG_LEVEL", c.vlog_level}});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(SeverityAndMessage(result.err), ElementsAreArray(c.expected));
  }
}

ZENTRIK_CHILD_SCENARIO(LogWithThreadId) {
  printf("%ld\n", static_cast<long>(syscall(SYS_gettid)));
  LOG(WARNING) << "with id";
  return 0;
}

TEST(LoggingTest, ThreadIdIsRightAlignedInSevenColumnsWhenSwitchedOn) {
  const struct {
    std::optional<std::string> setting;
    bool on;
  } cases[] = {{std::nullopt, false}, {"0", false}, {"12", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting.value_or("unset"));
    const auto result = RunScenario("LogWithThreadId", {{"TZ", "UTC"},
                                                        {"ZENTRIK_CPP_MIN_LOG_LEVEL", "1"},
                                                        {"ZENTRIK_CPP_LOG_THREAD_ID", c.setting}});
    const long tid = std::stol(result.out);
    char tid_text[10] = {};
    if (c.on) snprintf(tid_text, sizeof(tid_text), " %7lu", tid);
    const std::vector<std::string> lines = LogLines(result.err);
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected_tail =
        std::string(": WARNING: ") + tid_text + " common/platform/logging_test:";
    EXPECT_EQ(lines[0].substr(26, expected_tail.size()), expected_tail) << lines[0];
    EXPECT_TRUE(lines[0].size() > 9 && lines[0].substr(lines[0].size() - 9) == "] with id")
        << lines[0];
  }
}

int g_evaluations = 0;
int Evaluate() { return ++g_evaluations; }

ZENTRIK_CHILD_SCENARIO(LevelIsReadOnce) {
  LOG(INFO) << Evaluate();
  VLOG(2) << Evaluate();
  LOG(WARNING) << "first";
  setenv("ZENTRIK_CPP_MIN_LOG_LEVEL", "3", 1);
  LOG(WARNING) << "second";
  return g_evaluations;
}

// Statements below the level do not evaluate their arguments; the level is
// read once.
TEST(LoggingTest, LevelIsReadOnceAndDisabledStatementsCostNothing) {
  const auto result = RunScenario("LevelIsReadOnce", {{"TZ", "UTC"},
                                                      {"ZENTRIK_CPP_MIN_LOG_LEVEL", std::nullopt},
                                                      {"ZENTRIK_CPP_MIN_VLOG_LEVEL", std::nullopt}});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(SeverityAndMessage(result.err),
              ElementsAreArray({"WARNING first", "WARNING second"}));
}

ZENTRIK_CHILD_SCENARIO(FatalLine) {
  LOG_FATAL() << "fatal " << 7;
  return 0;
}

ZENTRIK_CHILD_SCENARIO(CheckNegativeRight) {
  size_t left = 10;
  int right = -1;
  CHECK_LE(left, right);
  return 0;
}

ZENTRIK_CHILD_SCENARIO(CheckUnsignedCompare) {
  size_t bytes_to_write = 300;
  int space = 200;
  CHECK_LE(bytes_to_write, space);
  return 0;
}

ZENTRIK_CHILD_SCENARIO(CheckPasses) {
  size_t bytes_to_write = 200;
  int space = 200;
  CHECK_LE(bytes_to_write, space);
  return 0;
}

TEST(LoggingTest, FatalLinesAndFailedChecksAbortAfterWriting) {
  const struct {
    const char* scenario;
    std::vector<std::string> lines;
  } cases[] = {
      {"FatalLine", {"FATAL fatal 7"}},
      {"CheckNegativeRight", {"FATAL Check failed: left <= right (10 vs. -1)"}},
      {"CheckUnsignedCompare",
       {"FATAL Check failed: bytes_to_write <= space (300 vs. 200)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    // Fatal lines ignore the minimum level.
    const auto result = RunScenario(c.scenario, {{"TZ", "UTC"}, {"ZENTRIK_CPP_MIN_LOG_LEVEL", "9"}});
    EXPECT_EQ(result.term_signal, SIGABRT);
    EXPECT_THAT(SeverityAndMessage(result.err), ElementsAreArray(c.lines));
  }
  const auto passing = RunScenario("CheckPasses");
  EXPECT_EQ(passing.exit_code, 0);
  EXPECT_EQ(passing.err, "");
}

TEST(LoggingTest, ParseIntegerReadsLikeAStreamExtraction) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"3abc", 3}, {"", 0}, {"  -4", -4}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseInteger(c.text, strlen(c.text)), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(LogLevelStrToInt(nullptr), 1);
  EXPECT_EQ(LogLevelStrToInt("-3"), -3);
}

}  // namespace
}  // namespace internal
}  // namespace trace
}  // namespace zentrik
