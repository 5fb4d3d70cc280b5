#include "common/platform/env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "testing/child_process.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ContainsRegex;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::zentrik::testing::RunScenario;
using ::zentrik::testing::StderrCapture;
using ::zentrik::testing::TempDir;

Env& env() { return *Env::Default(); }

// The regex of one WARNING line of this library's env.cc carrying `message`.
std::string WarningLine(const std::string& message) {
  return R"(WARNING:  common/platform/env:[0-9]+\] )" + message + "\n";
}

bool WriteFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "w");
  return file != nullptr && fclose(file) == 0;
}

bool IsDir(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Sets `name` to `text`, or unsets it for nullptr.
void SetVar(const char* name, const char* text) {
  if (text == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, text, 1);
  }
}

// The status of an env-var that does not parse.
Status ParseError(const std::string& var, const std::string& type, const std::string& text,
                  const std::string& default_text) {
  return errors::InvalidArgument("Failed to parse the env-var ${" + var + "} into " + type + ": " +
                                 text + ". Use the default value: " + default_text);
}

TEST(EnvTest, PathAndStringHelpers) {
  const struct {
    const char* path;
    const char* dir;
    const char* base;
  } splits[] = {{"a", ".", "a"}, {"a/b/", "a/b", ""}, {"/", "/", ""}, {"//a", "/", "a"}};
  for (const auto& c : splits) {
    EXPECT_EQ(env().Dirname(c.path), c.dir) << c.path;
    EXPECT_EQ(env().Basename(c.path), c.base) << c.path;
  }
  EXPECT_EQ(env().JoinPath("a/", "b"), "a/b");
  EXPECT_EQ(env().JoinPath("", "b"), "b");
  EXPECT_EQ(env().JoinPath("a", "/b"), "a//b");
  EXPECT_TRUE(StartsWith("abc", "ab") && EndsWith("abc", "bc") && StrContains("abc", "b"));
  EXPECT_FALSE(StartsWith("abc", "") || EndsWith("", "") || StrContains("abc", "abcd"));
  EXPECT_EQ(env().Demangle("_ZN7zentrik5trace3Env7DefaultEv"), "zentrik::trace::Env::Default()");
  EXPECT_EQ(env().Demangle("_Z"), "_Z");
  EXPECT_EQ(env().Demangle(nullptr), "");
  EXPECT_EQ(env().FormatLibraryFileName("dravik", "2.3"), "libdravik.so.2.3");
  EXPECT_EQ(env().FormatLibraryFileName("x", ""), "libx.so");
}

TEST(EnvTest, StrSplitDropsEmptyPieces) {
  const struct {
    const char* text;
    const char* separator;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,,b,", ",", {"a", "b"}}, {"a:b::c", "::", {"a:b", "c"}}, {":::", "::", {":"}},
      {",,,", ",", {}},           {"a,b", "", {"a,b"}},            {"", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrSplit(c.text, c.separator), c.pieces) << c.text << " / " << c.separator;
  }
}

TEST(EnvTest, FileQueries) {
  TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(WriteFile(file));
  ASSERT_TRUE(WriteFile(dir.Join(".hidden")));
  const std::string missing = dir.Join("missing");
  EXPECT_TRUE(env().FileExists(file).ok());
  EXPECT_EQ(env().FileExists(missing), errors::NotFound(missing + " does not exit"));
  EXPECT_TRUE(env().IsDirectory(dir.path()).ok());
  EXPECT_EQ(env().IsDirectory(file), errors::NotFound(file + " is not a directory"));
  StderrCapture capture;
  EXPECT_EQ(env().IsDirectory(missing), errors::FailedPrecondition("errors occur when accessing"));
  EXPECT_THAT(capture.Stop(), ContainsRegex(WarningLine("errors occur when accessing" + missing)));

  std::vector<std::string> children = {"stale"};
  EXPECT_TRUE(env().GetChildren(dir.path(), &children).ok());
  EXPECT_THAT(children, UnorderedElementsAre("file", ".hidden"));
  EXPECT_EQ(env().GetChildren(missing, &children),
            errors::Unknown(missing + ": No such file or directory"));
  EXPECT_THAT(children, IsEmpty());
}

TEST(EnvTest, CreateDirAndRecursivelyCreateDir) {
  TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(WriteFile(file));
  const std::string fresh = dir.Join("fresh");
  EXPECT_TRUE(env().CreateDir(fresh).ok());

  const struct {
    std::string path;
    Status expected;
  } failures[] = {
      {fresh, errors::AlreadyExists(fresh + " already exits")},
      {file, errors::AlreadyExists(file + " already exits")},
      {file + "/child", errors::Aborted(file + "/child creating...  error!")},
  };
  for (const auto& c : failures) EXPECT_EQ(env().CreateDir(c.path), c.expected) << c.path;

  const struct {
    std::string path;
    Status expected;
    std::string made;  // A directory that exists afterwards, when not empty.
  } cases[] = {
      {dir.Join("a/b/c"), Status(), dir.Join("a/b/c")},
      {dir.Join("t//u///"), Status(), dir.Join("t/u")},
      {file + "/x/y", errors::FailedPrecondition(file + " is not a directory"), ""},
      {"", Status(), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(env().RecursivelyCreateDir(c.path), c.expected) << c.path;
    EXPECT_TRUE(c.made.empty() || IsDir(c.made)) << c.made;
  }
  StderrCapture capture;
  EXPECT_EQ(env().RecursivelyCreateDir(file),
            errors::FailedPrecondition(file + " is not a directory"));
  EXPECT_THAT(capture.Stop(),
              ContainsRegex(WarningLine("File: " + file + " exists, which may affect create the " +
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
  const auto result = RunScenario("CreateBelowAnUnreachableWorkingDirectory");
  if (result.exit_code == 3) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Aborted: ./a creating...  error!\n");
}

TEST(EnvTest, ConcurrentCreatorsOfOneTreeAllSucceed) {
  TempDir dir;
  constexpr int kThreads = 8;
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
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

TEST(EnvTest, LoadLibraryAndGetSymbol) {
  void* handle = nullptr;
  ASSERT_TRUE(env().LoadLibrary(env().FormatLibraryFileName("m", "6").c_str(), &handle).ok());
  void* symbol = nullptr;
  EXPECT_TRUE(env().GetSymbol(handle, "cos", &symbol).ok());
  EXPECT_NE(symbol, nullptr);

  StderrCapture capture;
  const Status missing_symbol = env().GetSymbol(handle, "zentrik_no_such_symbol", &symbol);
  EXPECT_EQ(missing_symbol.code(), error::NOT_FOUND);
  EXPECT_EQ(symbol, nullptr);
  void* missing_handle = &symbol;
  const Status missing_library = env().LoadLibrary("libzentrik_missing.so", &missing_handle);
  EXPECT_THAT(missing_library.ToString(),
              ContainsRegex("^Not found: libzentrik_missing.so: cannot open shared object file"));
  EXPECT_EQ(missing_handle, nullptr);
  const std::string log = capture.Stop();
  EXPECT_THAT(log, ContainsRegex(WarningLine("GetSymbol: zentrik_no_such_symbol from library "
                                             "failed\\.")));
  EXPECT_THAT(log, ContainsRegex(WarningLine("LoadLibrary: libzentrik_missing\\.so failed")));

  // A symbol whose address is null, with no error text from the loader.
  ASSERT_TRUE(env().LoadLibrary(ZENTRIK_NULL_SYMBOL_PROBE, &handle).ok());
  symbol = &handle;
  EXPECT_EQ(env().GetSymbol(handle, "zentrik_null_symbol", &symbol), errors::NotFound(""));
  EXPECT_EQ(symbol, nullptr);
}

TEST(EnvTest, ReadBoolFromEnvVar) {
  const struct {
    const char* text;  // nullptr: unset
    bool default_val, expected, ok;
  } cases[] = {
      {nullptr, true, true, true}, {"1", false, true, true},    {"False", true, false, true},
      {"tRuE", false, true, true}, {" 1", false, false, false}, {"on", true, true, false},
      {"", false, false, false},
  };
  for (const auto& c : cases) {
    SetVar("ZENTRIK_TEST_BOOL", c.text);
    bool value = !c.default_val;
    const Status status = env().ReadBoolFromEnvVar("ZENTRIK_TEST_BOOL", c.default_val, &value);
    const std::string label = c.text ? c.text : "(unset)";
    EXPECT_EQ(value, c.expected) << label;
    EXPECT_EQ(status, c.ok ? Status()
                           : ParseError("ZENTRIK_TEST_BOOL", "bool", label, c.default_val ? "1" : "0"))
        << label;
  }
  unsetenv("ZENTRIK_TEST_BOOL");
}

TEST(EnvTest, ReadInt64FromEnvVar) {
  const struct {
    const char* text;  // nullptr: unset
    int64_t default_val, expected;
    bool ok;
  } cases[] = {
      {nullptr, 1000, 1000, true},
      {"  -42", 7, -42, true},
      {"12abc", 7, 12, true},
      {"-9223372036854775808", 7, INT64_MIN, true},
      {"9223372036854775808", 7, 7, false},
      {"x", 1000, 1000, false},
      {"", 5, 5, false},
  };
  for (const auto& c : cases) {
    SetVar("ZENTRIK_TEST_INT", c.text);
    int64_t value = c.default_val + 1;
    const Status status = env().ReadInt64FromEnvVar("ZENTRIK_TEST_INT", c.default_val, &value);
    const std::string label = c.text ? c.text : "(unset)";
    EXPECT_EQ(value, c.expected) << label;
    EXPECT_EQ(status, c.ok ? Status()
                           : ParseError("ZENTRIK_TEST_INT", "int64", label,
                                        std::to_string(c.default_val)))
        << label;
  }
  unsetenv("ZENTRIK_TEST_INT");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
