#include "common/platform/env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/platform/writable_file.h"
#include "testing/child_process.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
using ::testing::UnorderedElementsAre;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;

Env& env() { return *Env::Default(); }

// The regex of one WARNING line of env.cc carrying `message`.
std::string WarningLine(const std::string& message) {
  return R"(WARNING:  common/platform/env:[0-9]+\] )" + message + "\n";
}

bool IsDir(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(EnvTest, PathAndStringHelpers) {
  EXPECT_EQ(env().Dirname("a") + env().Basename("a") + env().Dirname("//a") + env().Basename("a/b/"), ".a/");
  EXPECT_EQ(env().JoinPath("a/", "b") + env().JoinPath("", "b") + env().JoinPath("a", "/b"), "a/bba//b");
  EXPECT_FALSE(StartsWith("abc", "") || EndsWith("", "") || StrContains("abc", "abcd"));
  EXPECT_EQ(env().Demangle("_ZN7zentrik5trace3Env7DefaultEv") + env().Demangle("_Z") +
                env().Demangle(nullptr) + env().FormatLibraryFileName("x", ""),
            "zentrik::trace::Env::Default()_Zlibx.so");
  // Empty pieces are dropped; an empty separator splits nothing.
  const std::tuple<const char*, const char*, std::vector<std::string>> cases[] = {
      {"a,,b,", ",", {"a", "b"}}, {":::", "::", {":"}}, {",,,", ",", {}}, {"a,b", "", {"a,b"}}};
  for (const auto& [text, separator, pieces] : cases) {
    EXPECT_EQ(StrSplit(text, separator), pieces) << text << " / " << separator;
  }
}

TEST(EnvTest, FileQueriesAndDirectoryCreation) {
  TempDir dir;
  const std::string file = dir.Join("file"), missing = dir.Join("missing");
  ASSERT_TRUE(WriteStringToFile(file, "").ok());
  ASSERT_TRUE(WriteStringToFile(dir.Join(".hidden"), "").ok());
  std::vector<std::string> children = {"stale"};
  EXPECT_TRUE(env().GetChildren(dir.path(), &children).ok());
  EXPECT_THAT(children, UnorderedElementsAre("file", ".hidden"));
  StderrCapture capture;
  const std::pair<Status, Status> cases[] = {
      {env().FileExists(file), Status()},
      {env().FileExists(missing), errors::NotFound(missing + " does not exit")},
      {env().IsDirectory(dir.path()), Status()},
      {env().IsDirectory(file), errors::NotFound(file + " is not a directory")},
      {env().IsDirectory(missing), errors::FailedPrecondition("errors occur when accessing")},
      {env().GetChildren(missing, &children), errors::Unknown(missing + ": No such file or directory")},
      {env().CreateDir(dir.Join("new")), Status()},
      {env().CreateDir(dir.Join("new")), errors::AlreadyExists(dir.Join("new") + " already exits")},
      {env().CreateDir(file), errors::AlreadyExists(file + " already exits")},
      {env().CreateDir(file + "/c"), errors::Aborted(file + "/c creating...  error!")},
      {env().RecursivelyCreateDir(dir.Join("a/b/c")), Status()},
      {env().RecursivelyCreateDir(dir.Join("t//u///")), Status()},
      {env().RecursivelyCreateDir(""), Status()},
      {env().RecursivelyCreateDir(file + "/x/y"), errors::FailedPrecondition(file + " is not a directory")},
      {env().RecursivelyCreateDir(file), errors::FailedPrecondition(file + " is not a directory")},
  };
  const std::string log = capture.Stop();
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_TRUE(children.empty() && IsDir(dir.Join("a/b/c")) && IsDir(dir.Join("t/u")));
  EXPECT_THAT(log, ContainsRegex(WarningLine("errors occur when accessing" + missing)));
  EXPECT_THAT(log, ContainsRegex(WarningLine("File: " + file + " exists, which may affect create the " +
                                             file + " folder.")));
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
        for (ready.fetch_add(1); ready.load() < kThreads;) {
        }
        results[i] = env().RecursivelyCreateDir(path);
      });
    }
    for (auto& thread : threads) thread.join();
    for (const Status& status : results) ASSERT_TRUE(status.ok()) << status.ToString();
    ASSERT_TRUE(IsDir(path));
  }
}

TEST(EnvTest, LoadLibraryAndGetSymbol) {
  void* handle = nullptr;
  void* symbol = nullptr;
  ASSERT_TRUE(env().LoadLibrary("libm.so.6", &handle).ok());
  EXPECT_TRUE(env().GetSymbol(handle, "cos", &symbol).ok() && symbol != nullptr);
  StderrCapture capture;
  EXPECT_EQ(env().GetSymbol(handle, "zentrik_no_such_symbol", &symbol).code(), error::NOT_FOUND);
  EXPECT_EQ(symbol, nullptr);
  void* missing_handle = &symbol;
  EXPECT_THAT(env().LoadLibrary("libzentrik_missing.so", &missing_handle).ToString(),
              ContainsRegex("^Not found: libzentrik_missing.so: cannot open shared object file"));
  EXPECT_EQ(missing_handle, nullptr);
  const std::string log = capture.Stop();
  EXPECT_THAT(log, ContainsRegex(WarningLine("GetSymbol: zentrik_no_such_symbol from library failed\\.")));
  EXPECT_THAT(log, ContainsRegex(WarningLine("LoadLibrary: libzentrik_missing\\.so failed")));
  // A symbol whose address is null, with no error text from the loader.
  ASSERT_TRUE(env().LoadLibrary(ZENTRIK_NULL_SYMBOL_PROBE, &handle).ok());
  symbol = &handle;
  EXPECT_EQ(env().GetSymbol(handle, "zentrik_null_symbol", &symbol), errors::NotFound(""));
  EXPECT_EQ(symbol, nullptr);
}

// Values that do not parse (out of range for int64 included) leave the
// default and say so.
TEST(EnvTest, ReadBoolAndInt64FromEnvVar) {
  const std::tuple<bool, const char*, int64_t, int64_t, bool> cases[] = {
      {true, nullptr, 1, 1, true},   {true, "False", 1, 0, true}, {true, "tRuE", 0, 1, true},
      {true, " 1", 0, 0, false},     {true, "on", 1, 1, false},   {true, "", 0, 0, false},
      {false, nullptr, 1000, 1000, true}, {false, "  -42", 7, -42, true}, {false, "12abc", 7, 12, true},
      {false, "-9223372036854775808", 7, INT64_MIN, true},
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
