#include "trace/core/rpc/client/save_profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::zentrik::testing::Gunzip;
using ::zentrik::testing::IsRunName;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::RunScenario;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::WriteTestFile;

ProfileResponse Response(const std::vector<std::pair<std::string, std::string>>& tools) {
  ProfileResponse response;
  for (const auto& [name, data] : tools) {
    ProfileToolData* tool_data = response.add_tool_data();
    tool_data->set_name(name);
    tool_data->set_data(data);
  }
  return response;
}

TEST(JoinPathTest, JoinsWithOneSeparator) {
  const struct {
    std::string first, second, joined;
  } cases[] = {
      {"a", "/b", "a/b"}, {"a/", "b", "a/b"}, {"a/", "/b", "a/b"}, {"a", "//b", "a//b"},
      {"", "b", "b"},     {"a", "", "a"},     {"", "", ""},        {"/", "/b", "/b"},
      {"a", "b", "a/b"},  {"", "/b", "/b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinPath(c.first, c.second), c.joined) << c.first << " + " << c.second;
  }
}

ZENTRIK_CHILD_SCENARIO(RunNamesInUtc) {
  const int64_t seconds[] = {999999, 1767604087, 1767225599, 5, 0};
  for (int64_t s : seconds) printf("%s\n", GetTimeStampAsString(s).c_str());
  return 0;
}

TEST(RunNameTest, LocalTimeAndLastSixDigitsOfTheSeconds) {
  const auto result = RunScenario("RunNamesInUtc", {{"TZ", "UTC"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "1970_01_12_13_46_39.999999\n"
            "2026_01_05_09_08_07.604087\n"
            "2025_12_31_23_59_59.225599\n"
            "1970_01_01_00_00_05.5\n"
            "1970_01_01_00_00_00.0\n");
}

TEST(RunNameTest, CurrentRunNameHasTheRunFormat) {
  EXPECT_TRUE(IsRunName(GetCurrentTimeStampAsString())) << GetCurrentTimeStampAsString();
}

TEST(ToolFilePathTest, HostPrefix) {
  const struct {
    std::string host;
    bool gzipped;
    std::string path;
  } cases[] = {
      {"", false, "run/op_stats.pb"},
      {"", true, "run/op_stats.pb"},
      {"node", false, "run/node.op_stats.pb"},
      {"node:1", false, "run/node_1.op_stats.pb"},
      {"node:1", true, "run/node:1.op_stats.pb"},
      {"a:b:c", false, "run/a_b_c.op_stats.pb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToolFilePath("run", c.host, "op_stats.pb", c.gzipped), c.path) << c.host;
  }
}

TEST(CheckProfileEmptyMarkerTest, CreatesTheLogDirectoryWithParents) {
  TempDir dir;
  const std::string logdir = dir.Join("a/b/c");
  EXPECT_TRUE(CheckProfileEmptyMarker(logdir).ok());
  EXPECT_TRUE(CheckProfileEmptyMarker(logdir + "/").ok());
  struct stat info {};
  ASSERT_EQ(stat(logdir.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(CheckProfileEmptyMarkerTest, FailsWhenAPathComponentIsAFile) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  const Status status = CheckProfileEmptyMarker(dir.Join("file/logdir"));
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), dir.Join("file") + " is not a directory");
}

TEST(CreateRunDirectoryTest, DescribesAndCreates) {
  TempDir dir;
  std::string run_dir;
  std::ostringstream out;
  ASSERT_TRUE(CreateRunDirectory(dir.Join("root/"), "/run", &run_dir, &out).ok());
  EXPECT_EQ(run_dir, dir.Join("root/run"));
  EXPECT_EQ(out.str(), "Creating directory: " + run_dir + ". ");
  EXPECT_THAT(ListDirectory(dir.Join("root")), ElementsAre("run"));
}

TEST(SaveToolDataTest, WritesEveryToolInOrderAndDescribesIt) {
  TempDir dir;
  std::ostringstream out;
  const ProfileResponse response =
      Response({{"overview_page.pb", "overview"}, {"op_stats.pb", ""}, {"kernel_stats.pb", "k"}});
  ASSERT_TRUE(SaveToolData(dir.path(), "run", "node:1", response, &out).ok());
  const std::string run_dir = dir.Join("run");
  EXPECT_THAT(ListDirectory(run_dir), ElementsAre("node_1.kernel_stats.pb", "node_1.op_stats.pb",
                                                  "node_1.overview_page.pb"));
  EXPECT_EQ(ReadFileOrEmpty(run_dir + "/node_1.overview_page.pb"), "overview");
  EXPECT_EQ(ReadFileOrEmpty(run_dir + "/node_1.op_stats.pb"), "");
  EXPECT_EQ(ReadFileOrEmpty(run_dir + "/node_1.kernel_stats.pb"), "k");
  EXPECT_EQ(out.str(),
            "Creating directory: " + run_dir + ". " + "Dumped tool data for overview_page.pb to " +
                run_dir + "/node_1.overview_page.pb\n" + "Dumped tool data for op_stats.pb to " +
                run_dir + "/node_1.op_stats.pb\n" + "Dumped tool data for kernel_stats.pb to " +
                run_dir + "/node_1.kernel_stats.pb\n");
}

TEST(SaveToolDataTest, EmptyHostNamesFilesByToolAlone) {
  TempDir dir;
  std::ostringstream out;
  ASSERT_TRUE(SaveToolData(dir.path(), "run", "", Response({{"op_stats.pb", "x"}}), &out).ok());
  EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("op_stats.pb"));
}

TEST(SaveToolDataTest, ResponseWithoutToolDataCreatesNothing) {
  TempDir dir;
  std::ostringstream out;
  EXPECT_TRUE(SaveToolData(dir.path(), "run", "host", ProfileResponse(), &out).ok());
  EXPECT_EQ(out.str(), "");
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

TEST(SaveToolDataTest, ReplacesAnEarlierFileWhole) {
  TempDir dir;
  std::ostringstream out;
  ASSERT_TRUE(
      SaveToolData(dir.path(), "run", "h", Response({{"op_stats.pb", "long old data"}}), &out)
          .ok());
  ASSERT_TRUE(SaveToolData(dir.path(), "run", "h", Response({{"op_stats.pb", "new"}}), &out).ok());
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("run/h.op_stats.pb")), "new");
  EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("h.op_stats.pb"));
}

TEST(SaveToolDataTest, FailureKeepsEarlierFilesAndLeavesNoPartialFile) {
  TempDir dir;
  // A directory under the second tool's name makes its rename fail.
  ASSERT_EQ(mkdir(dir.Join("run").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.Join("run/h.op_stats.pb").c_str(), 0755), 0);
  ASSERT_TRUE(WriteTestFile(dir.Join("run/h.op_stats.pb/keep")));
  std::ostringstream out;
  const Status status = SaveToolData(
      dir.path(), "run", "h",
      Response({{"overview_page.pb", "o"}, {"op_stats.pb", "s"}, {"k.pb", "k"}}), &out);
  EXPECT_EQ(status.code(), error::UNKNOWN);
  EXPECT_THAT(status.error_message(), HasSubstr(dir.Join("run/h.op_stats.pb") + ": "));
  // No temporary file is left, the later tool is not written.
  EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("h.op_stats.pb", "h.overview_page.pb"));
  EXPECT_EQ(ReadFileOrEmpty(dir.Join("run/h.overview_page.pb")), "o");
  EXPECT_THAT(out.str(), HasSubstr("Dumped tool data for overview_page.pb"));
  EXPECT_THAT(out.str(), Not(HasSubstr("Dumped tool data for op_stats.pb")));
}

TEST(SaveToolDataTest, RunDirectoryThatCannotBeCreatedFails) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("root")));
  std::ostringstream out;
  const Status status = SaveToolData(dir.Join("root"), "run", "h", Response({{"a.pb", ""}}), &out);
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_EQ(out.str(), "Creating directory: " + dir.Join("root/run") + ". ");
}

TEST(SaveGzippedToolDataTest, WritesOneCompleteGzipStream) {
  const std::string big(3 << 20, 'x');  // More than the 256 KiB buffers.
  for (const std::string& text : {std::string(), std::string("{\"traceEvents\":[]}"), big}) {
    TempDir dir;
    ASSERT_TRUE(SaveGzippedToolData(dir.path(), "run", "node:1", "trace.json.gz", text).ok());
    EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("node:1.trace.json.gz"));
    std::string inflated;
    EXPECT_TRUE(Gunzip(ReadFileOrEmpty(dir.Join("run/node:1.trace.json.gz")), &inflated));
    EXPECT_TRUE(inflated == text) << inflated.size() << " bytes";
  }
}

TEST(SaveGzippedToolDataTest, FailureLeavesNoFileUnderTheFinalName) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.Join("run").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.Join("run/h.trace.json.gz").c_str(), 0755), 0);
  ASSERT_TRUE(WriteTestFile(dir.Join("run/h.trace.json.gz/keep")));
  const Status status = SaveGzippedToolData(dir.path(), "run", "h", "trace.json.gz", "data");
  EXPECT_EQ(status.code(), error::UNKNOWN);
  EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("h.trace.json.gz"));
}

ZENTRIK_CHILD_SCENARIO(GzippedWriteLogs) {
  TempDir dir;
  if (!WriteTestFile(dir.Join("file"))) return 1;
  printf("%s\n", dir.path().c_str());
  printf("%s\n", SaveGzippedToolData(dir.Join("root"), "run", "h", "memory_profile.json.gz", "")
                     .ToString()
                     .c_str());
  printf("%s\n", SaveGzippedToolData(dir.Join("file"), "run", "h", "memory_profile.json.gz", "")
                     .ToString()
                     .c_str());
  return 0;
}

TEST(SaveGzippedToolDataTest, LogsEachStepAtInfo) {
  const auto result = RunScenario("GzippedWriteLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string dir = result.out.substr(0, result.out.find('\n'));
  EXPECT_EQ(result.out, dir + "\nOK\nFailed precondition: " + dir + "/file is not a directory\n");
  EXPECT_THAT(result.err, HasSubstr("] Creating directory: " + dir + "/root/run. \n"));
  EXPECT_THAT(result.err, HasSubstr("] Dumped gzipped tool data for memory_profile.json.gz to " +
                                    dir + "/root/run/h.memory_profile.json.gz\n"));
  // The directory line is logged also when creating the directory fails.
  EXPECT_THAT(result.err, HasSubstr("] Creating directory: " + dir + "/file/run. \n"));
}

TEST(ClaimRunDirectoryTest, EachExportOfAHostGetsItsOwnRun) {
  TempDir dir;
  const struct {
    std::string host;
    std::string run;
  } exports[] = {
      {"node:1", "r"}, {"node:1", "r_1"}, {"other", "r"}, {"node:1", "r_2"}, {"", "r"}, {"", "r_1"},
  };
  for (const auto& e : exports) {
    std::string claimed;
    ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", e.host, &claimed).ok());
    EXPECT_EQ(claimed, e.run) << e.host;
  }
  EXPECT_THAT(ListDirectory(dir.Join("r")),
              ElementsAre("node_1.run.claim", "other.run.claim", "run.claim"));
  EXPECT_THAT(ListDirectory(dir.Join("r_2")), ElementsAre("node_1.run.claim"));
}

TEST(ClaimRunDirectoryTest, NumberOfRunsPerSecondIsBounded) {
  TempDir dir;
  std::string claimed;
  for (int i = 0; i <= kMaxRunNameSuffix; ++i) {
    ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "h", &claimed).ok());
  }
  EXPECT_EQ(claimed, "r_" + std::to_string(kMaxRunNameSuffix));
  const Status status = ClaimRunDirectory(dir.path(), "r", "h", &claimed);
  EXPECT_EQ(status.code(), error::ALREADY_EXISTS);
  EXPECT_THAT(status.error_message(), HasSubstr("host \"h\""));
}

TEST(ClaimRunDirectoryTest, FailsWhenTheRootIsAFile) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("root")));
  std::string claimed = "unchanged";
  EXPECT_EQ(ClaimRunDirectory(dir.Join("root"), "r", "h", &claimed).code(),
            error::FAILED_PRECONDITION);
  EXPECT_EQ(claimed, "unchanged");
}

TEST(ClaimRunDirectoryTest, ConcurrentExportsOfOneHostNeverShareARun) {
  TempDir dir;
  constexpr int kThreads = 8;
  std::vector<std::string> claimed(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&, i] { EXPECT_TRUE(ClaimRunDirectory(dir.path(), "r", "h", &claimed[i]).ok()); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(claimed.begin(), claimed.end()).size(), size_t{kThreads});
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
