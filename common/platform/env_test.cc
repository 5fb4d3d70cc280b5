#include "common/platform/env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <tuple>

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
      {env().GetChildren(missing, &children),
       errors::Unknown(missing + ": No such file or directory")},
      {env().CreateDir(dir.Join("new")), Status()},
      {env().CreateDir(dir.Join("new")), errors::AlreadyExists(dir.Join("new") + " already exits")},
      {env().CreateDir(file + "/c"), errors::Aborted(file + "/c creating...  error!")},
      {env().RecursivelyCreateDir(dir.Join("a/b/c")), Status()},
      {env().RecursivelyCreateDir(file + "/x/y"),
       errors::FailedPrecondition(file + " is not a directory")},
  };
  const std::string log = capture.Stop();
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_TRUE(children.empty() && env().IsDirectory(dir.Join("a/b/c")).ok());
  EXPECT_THAT(
      log, ContainsRegex(R"(WARNING:  common/platform/env:[0-9]+\] errors occur when accessing)" +
                         missing + "\n"));
}

// The working directory cannot be searched by an unprivileged user, so not
// even "." is found: the walk up must still end.
ZENTRIK_CHILD_SCENARIO(CreateBelowAnUnreachableWorkingDirectory) {
  alarm(10);  // A walk that never ends would otherwise hang the test.
  TempDir dir;
  if (chmod(dir.path().c_str(), 0700) != 0 || chdir(dir.path().c_str()) != 0) return 2;
  if (!testing::BecomeNobody()) return 3;
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
      {true, "tRuE", 0, 1, true},
      {true, "on", 1, 1, false},
      {false, nullptr, 1000, 1000, true},
      {false, "12abc", 7, 12, true},
      {false, "-9223372036854775808", 7, INT64_MIN, true},
      {false, "9223372036854775808", 7, 7, false},
      {false, "x", 1000, 1000, false},
      {true, nullptr, 1, 1, true},
      {true, "1", 0, 1, true},
      {true, "0", 1, 0, true},
      {true, "TRUE", 0, 1, true},
      {true, "False", 1, 0, true},
      {true, " 1", 0, 0, false},
      {true, "1 ", 1, 1, false},
      {true, "yes", 0, 0, false},
      {true, "", 0, 0, false},
      {true, "2", 1, 1, false},
      {true, "truee", 0, 0, false},
      {true, "-1", 0, 0, false},
      {true, "01", 1, 1, false},
      {false, "42", 7, 42, true},
      {false, "-42", 7, -42, true},
      {false, "+5", 7, 5, true},
      {false, "  12", 7, 12, true},
      {false, "0x10", 7, 0, true},
      {false, "9223372036854775807", 7, INT64_MAX, true},
      {false, "-9223372036854775809", -3, -3, false},
      {false, "99999999999999999999999", 1000, 1000, false},
      {false, "", 5, 5, false},
      {false, " ", 5, 5, false},
      {false, "-", 5, 5, false},
      {false, "abc12", -1, -1, false}};
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

TEST(EnvTest, PathArithmetic) {
  const std::tuple<const char*, const char*, const char*> splits[] = {
      // path, dir, base
      {"a", ".", "a"}, {"/a", "/", "a"}, {"a/b/", "a/b", ""}, {"a/b/c", "a/b", "c"},
      {"/", "/", ""},  {"", ".", ""},    {"//a", "/", "a"},   {"/x/y.gz", "/x", "y.gz"},
  };
  for (const auto& [path, dir, base] : splits) {
    EXPECT_EQ(SplitPath(path), std::make_pair(std::string(dir), std::string(base))) << path;
    EXPECT_EQ(env().Dirname(path) + "|" + env().Basename(path), std::string(dir) + "|" + base)
        << path;
  }
  const std::tuple<const char*, const char*, const char*> joins[] = {
      {"a/", "b", "a/b"},  {"", "b", "b"},   {"a", "", "a"},       {"a", "b", "a/b"},
      {"a", "/b", "a//b"}, {"/", "b", "/b"}, {"a//", "b", "a//b"}, {"", "", ""},
  };
  for (const auto& [first, second, joined] : joins) {
    EXPECT_EQ(env().JoinPath(first, second), joined) << first << " + " << second;
  }
}

// StartsWith and EndsWith refuse an empty part; StrContains finds it.
TEST(EnvTest, StringHelpers) {
  const std::tuple<const char*, const char*, bool, bool, bool> cases[] = {
      // text, part, starts, ends, contains
      {"abc", "", false, false, true},      {"abc", "a", true, false, true},
      {"abc", "c", false, true, true},      {"abc", "abc", true, true, true},
      {"abc", "abcd", false, false, false}, {"", "", false, false, true},
      {"abab", "ab", true, true, true},     {"abc", "b", false, false, true},
      {"", "a", false, false, false},
  };
  for (const auto& [text, part, starts, ends, contains] : cases) {
    EXPECT_EQ(
        std::make_tuple(StartsWith(text, part), EndsWith(text, part), StrContains(text, part)),
        std::make_tuple(starts, ends, contains))
        << text << " / " << part;
  }
  const std::tuple<const char*, const char*, std::vector<std::string>> splits[] = {
      {",a", ",", {"a"}},
      {"a::b::c", "::", {"a", "b", "c"}},
      {"a:b::c", "::", {"a:b", "c"}},
      {":::", "::", {":"}},
      {"", ",", {}},
      {",,,", ",", {}},
      {"abc", ",", {"abc"}},
      {"", "", {}},
  };
  for (const auto& [text, separator, pieces] : splits) {
    EXPECT_EQ(StrSplit(text, separator), pieces) << text << " / " << separator;
  }
}

bool IsDir(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// New directories get mode 0755 less the umask; trailing and doubled slashes
// are skipped on the way up; a file where a directory should be is refused
// with a warning and nothing is created below it.
TEST(EnvTest, DirectoryCreationRows) {
  TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(WriteStringToFile(file, "").ok());
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_TRUE(env().CreateDir(dir.Join("fresh")).ok());
  struct stat info {};
  ASSERT_EQ(stat(dir.Join("fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u & ~mask);
  EXPECT_EQ(env().CreateDir(file), errors::AlreadyExists(file + " already exits"));
  EXPECT_EQ(env().CreateDir(dir.Join("no/child")),
            errors::Aborted(dir.Join("no/child") + " creating...  error!"));

  const std::tuple<std::string, Status, std::string> cases[] = {
      // path, result, made
      {dir.path(), Status(), dir.path()},
      {dir.Join("a/b/d/"), Status(), dir.Join("a/b/d")},
      {dir.Join("t//u///"), Status(), dir.Join("t/u")},
      {file, errors::FailedPrecondition(file + " is not a directory"), ""},
      {"", Status(), ""},
  };
  for (const auto& [path, expected, made] : cases) {
    StderrCapture capture;
    EXPECT_EQ(env().RecursivelyCreateDir(path), expected) << path;
    EXPECT_TRUE(made.empty() || IsDir(made)) << path;
    const std::string warning =
        "File: " + file + " exists, which may affect create the " + file + " folder.";
    EXPECT_EQ(capture.Stop().find(warning) != std::string::npos, path == file) << path;
  }
  EXPECT_FALSE(IsDir(file + "/x"));
}

ZENTRIK_CHILD_SCENARIO(CreateRelativeDirs) {
  TempDir dir;
  if (chdir(dir.path().c_str()) != 0) return 2;
  const Status status = Env::Default()->RecursivelyCreateDir("a/b");
  printf("%s %d\n", status.ToString().c_str(), IsDir(dir.Join("a/b")) ? 1 : 0);
  return 0;
}

TEST(EnvTest, RelativePathsAreCreatedBelowTheWorkingDirectory) {
  const auto result = testing::RunScenario("CreateRelativeDirs");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "OK 1\n");
}

// Creators racing on one tree each find some directories made by another
// between looking and creating: that is success, not failure.
TEST(EnvTest, ConcurrentCreatorsOfOneTreeAllSucceed) {
  TempDir dir;
  constexpr int kThreads = 8;
  for (int round = 0; round < 100; ++round) {
    const std::string path = dir.Join("r" + std::to_string(round) + "/a/b/c/d");
    std::atomic<int> ready{0};
    std::vector<Status> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) {
        }
        results[i] = env().RecursivelyCreateDir(path);
      });
    }
    for (auto& thread : threads) thread.join();
    for (const Status& status : results) ASSERT_TRUE(status.ok()) << status.ToString();
    ASSERT_TRUE(IsDir(path));
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
