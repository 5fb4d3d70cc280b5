#include "common/platform/env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/platform/writable_file.h"
#include "testing/child_process.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;

Env& env() { return *Env::Default(); }

// Empty pieces are dropped; an empty separator splits nothing.
TEST(EnvTest, StrSplit) {
  EXPECT_EQ(StrSplit("a,,b,", ","), std::vector<std::string>({"a", "b"}));
  EXPECT_EQ(StrSplit("a,b", ""), std::vector<std::string>({"a,b"}));
}

TEST(EnvTest, FileQueriesAndDirectoryCreation) {
  TempDir dir;
  const std::string file = dir.Join("file"), missing = dir.Join("missing");
  ASSERT_TRUE(WriteStringToFile(file, "").ok());
  std::vector<std::string> children = {"stale"};  // replaced, and emptied on failure
  EXPECT_TRUE(env().GetChildren(dir.path(), &children).ok());
  EXPECT_EQ(children, std::vector<std::string>({"file"}));
  StderrCapture capture;
  const std::pair<Status, Status> cases[] = {
      {env().FileExists(missing), errors::NotFound(missing + " does not exit")},
      {env().IsDirectory(file), errors::NotFound(file + " is not a directory")},
      {env().IsDirectory(missing), errors::FailedPrecondition("errors occur when accessing")},
      {env().GetChildren(missing, &children), errors::Unknown(missing + ": No such file or directory")},
      {env().CreateDir(dir.Join("new")), Status()},
      {env().CreateDir(dir.Join("new")), errors::AlreadyExists(dir.Join("new") + " already exits")},
      {env().CreateDir(file + "/c"), errors::Aborted(file + "/c creating...  error!")},
      {env().RecursivelyCreateDir(dir.Join("a/b/c")), Status()},
      {env().RecursivelyCreateDir(file + "/x/y"), errors::FailedPrecondition(file + " is not a directory")},
  };
  const std::string log = capture.Stop();
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_TRUE(children.empty() && env().IsDirectory(dir.Join("a/b/c")).ok());
  EXPECT_THAT(log, ContainsRegex(R"(WARNING:  common/platform/env:[0-9]+\] errors occur when accessing)" +
                                 missing + "\n"));
}

// The working directory cannot be searched by an unprivileged user, so not
// even "." is found: the walk up must still end.
ZENTRIK_CHILD_SCENARIO(CreateBelowAnUnreachableWorkingDirectory) {
  alarm(10);  // A walk that never ends would otherwise hang the test.
  TempDir dir;
  if (chmod(dir.path().c_str(), 0700) != 0 || chdir(dir.path().c_str()) != 0) return 2;
  if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
  printf("%s\n", Env::Default()->RecursivelyCreateDir("a/b").ToString().c_str());
  return 0;
}

TEST(EnvTest, RecursivelyCreateDirEndsWhenNoAncestorIsFound) {
  const auto result = testing::RunScenario("CreateBelowAnUnreachableWorkingDirectory");
  if (result.exit_code == 3) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Aborted: ./a creating...  error!\n");
}

TEST(EnvTest, NullSymbolGivesAnEmptyMessage) {
  void* handle = nullptr;
  void* symbol = nullptr;
  StderrCapture capture;
  // A symbol whose address is null, with no error text from the loader.
  ASSERT_TRUE(env().LoadLibrary(ZENTRIK_NULL_SYMBOL_PROBE, &handle).ok());
  EXPECT_EQ(env().GetSymbol(handle, "zentrik_null_symbol", &symbol), errors::NotFound(""));
  EXPECT_EQ(symbol, nullptr);
}

// Values that do not parse (out of range for int64 included) leave the
// default and say so.
TEST(EnvTest, ReadBoolAndInt64FromEnvVar) {
  const std::tuple<bool, const char*, int64_t, int64_t, bool> cases[] = {
      {true, "tRuE", 0, 1, true}, {true, "on", 1, 1, false}, {false, nullptr, 1000, 1000, true},
      {false, "12abc", 7, 12, true}, {false, "-9223372036854775808", 7, INT64_MIN, true},
      {false, "9223372036854775808", 7, 7, false}, {false, "x", 1000, 1000, false}};
  for (const auto& [is_bool, text, default_val, expected, ok] : cases) {
    const std::string label = text ? text : "(unset)";
    text ? setenv("ZENTRIK_TEST_VAR", text, 1) : unsetenv("ZENTRIK_TEST_VAR");
    int64_t value = default_val + 1;
    bool flag = default_val == 0;
    const Status status =
        is_bool ? env().ReadBoolFromEnvVar("ZENTRIK_TEST_VAR", default_val != 0, &flag)
                : env().ReadInt64FromEnvVar("ZENTRIK_TEST_VAR", default_val, &value);
    EXPECT_EQ(is_bool ? int64_t{flag} : value, expected) << label;
    EXPECT_EQ(status, ok ? Status()
                         : errors::InvalidArgument(
                               "Failed to parse the env-var ${ZENTRIK_TEST_VAR} into " +
                               std::string(is_bool ? "bool" : "int64") + ": " + label +
                               ". Use the default value: " + std::to_string(default_val)))
        << label;
  }
  unsetenv("ZENTRIK_TEST_VAR");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
