#include "trace/core/rpc/client/save_profile.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
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
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::WriteTestFile;

// Paths join with one separator; every host name gives a file inside the run
// directory, ":" replaced in plain files only; run names are the local time
// and the last six digits of the seconds.
TEST(SaveProfileTest, PathsAndRunNames) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::pair<std::string, std::string> cases[] = {
      {JoinPath("a/", "/b"), "a/b"},
      {JoinPath("", "b"), "b"},
      {JoinPath("a", ""), "a"},
      {JoinPath("/", "/b"), "/b"},
      {ToolFilePath("run", "", "t.pb", true), "run/t.pb"},
      {ToolFilePath("run", "node:1", "t.pb", false), "run/node_1.t.pb"},
      {ToolFilePath("run", "node:1", "t.pb", true), "run/node:1.t.pb"},
      {ToolFilePath("run", "../../../../up", "t.pb", false), "run/.._.._.._.._up.t.pb"},
      {ToolFilePath("run", "..", "t.pb", true), "run/__.t.pb"},
      {ToolFilePath("run", "...", "t.pb", false), "run/....t.pb"},
      {ToolFilePath("run", std::string("a/\0b", 4), "t.pb", true), "run/a__b.t.pb"},
      {GetTimeStampAsString(999999), "1970_01_12_13_46_39.999999"},
      {GetTimeStampAsString(1767604087), "2026_01_05_09_08_07.604087"},
      {GetTimeStampAsString(5), "1970_01_01_00_00_05.5"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  EXPECT_TRUE(testing::IsRunName(GetCurrentTimeStampAsString()));
}

// Each refusal says why and creates nothing; a path cut at its NUL would name
// another directory.
TEST(SaveProfileTest, RefusedDirectoriesSayWhy) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  const std::string file = dir.Join("file");
  std::string claimed = "unchanged";
  const struct {
    Status status;
    error::Code code;
    std::string message;
  } cases[] = {
      {CheckProfileEmptyMarker(file + "/logdir"), error::FAILED_PRECONDITION,
       file + " is not a directory"},
      {CheckProfileEmptyMarker(dir.Join(std::string("c\0/d", 4))), error::INVALID_ARGUMENT,
       "The log directory contains a NUL character: " + dir.Join("c") + "\\0..."},
      {ClaimRunDirectory(file, "r", "h", &claimed), error::FAILED_PRECONDITION,
       "Cannot claim run r of host \"h\" in " + file + ": " + file + " is not a directory"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.code(), c.code) << c.message;
    EXPECT_EQ(c.status.error_message(), c.message);
  }
  EXPECT_EQ(claimed, "unchanged");
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("file"));
}

// Tools are written in order; a failure keeps the earlier files and leaves no
// partial file.
TEST(SaveToolDataTest, WritesEveryToolInOrderAndDescribesIt) {
  TempDir dir;
  std::ostringstream out;
  EXPECT_TRUE(SaveToolData(dir.path(), "run", "h", ProfileResponse(), &out).ok());
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre());
  const std::string run_dir = dir.Join("run");
  // A directory under the third tool's name makes its rename fail.
  ASSERT_TRUE(mkdir(run_dir.c_str(), 0755) == 0 &&
              mkdir((run_dir + "/node_1.k.pb").c_str(), 0755) == 0);
  ProfileResponse response;  // Each tool's data is its name; op_stats.pb's is empty.
  for (const char* name : {"overview_page.pb", "op_stats.pb", "k.pb", "z.pb"}) {
    response.add_tool_data()->set_name(name);
    response.mutable_tool_data()->rbegin()->set_data(std::string(name) == "op_stats.pb" ? ""
                                                                                        : name);
  }
  const Status status = SaveToolData(dir.path(), "run", "node:1", response, &out);
  EXPECT_THAT(status.error_message(), HasSubstr(run_dir + "/node_1.k.pb: "));
  EXPECT_THAT(ListDirectory(run_dir),
              ElementsAre("node_1.k.pb", "node_1.op_stats.pb", "node_1.overview_page.pb"));
  EXPECT_EQ(ReadFileOrEmpty(run_dir + "/node_1.overview_page.pb"), "overview_page.pb");
  EXPECT_EQ(out.str(), "Creating directory: " + run_dir +
                           ". Dumped tool data for overview_page.pb to " + run_dir +
                           "/node_1.overview_page.pb\nDumped tool data for op_stats.pb to " +
                           run_dir + "/node_1.op_stats.pb\n");
}

// Writes one complete gzip stream, also beyond the 256 KiB buffers; exits 0
// when the write into a file's place fails.
ZENTRIK_CHILD_SCENARIO(GzippedWrites) {
  TempDir dir;
  if (!WriteTestFile(dir.Join("file"))) return 1;
  printf("%s\n", dir.path().c_str());
  for (const std::string& text : {std::string(), std::string(3 << 20, 'x')}) {
    std::string inflated;
    if (!SaveGzippedToolData(dir.Join("root"), "run", "h", "memory_profile.json.gz", text).ok() ||
        ListDirectory(dir.Join("root/run")) !=
            std::vector<std::string>{"h.memory_profile.json.gz"} ||
        !testing::Gunzip(ReadFileOrEmpty(dir.Join("root/run/h.memory_profile.json.gz")),
                         &inflated) ||
        inflated != text) {
      return 2;
    }
  }
  return SaveGzippedToolData(dir.Join("file"), "run", "h", "memory_profile.json.gz", "").ok();
}

TEST(SaveGzippedToolDataTest, WritesOneGzipStreamAndLogsEachStepAtInfo) {
  const auto result = testing::RunScenario("GzippedWrites", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string dir = result.out.substr(0, result.out.find('\n'));
  EXPECT_THAT(result.err, HasSubstr("] Creating directory: " + dir + "/root/run. \n"));
  EXPECT_THAT(result.err, HasSubstr("] Dumped gzipped tool data for memory_profile.json.gz to " +
                                    dir + "/root/run/h.memory_profile.json.gz\n"));
  // The directory line is logged also when creating the directory fails.
  EXPECT_THAT(result.err, HasSubstr("] Creating directory: " + dir + "/file/run. \n"));
}

// However many exports of a host fall in one second, each gets a run of its
// own; other hosts share them.
TEST(ClaimRunDirectoryTest, EachExportOfAHostGetsItsOwnRun) {
  TempDir dir;
  std::string claimed;
  for (const char* host : {"h", "other", ""}) {
    ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", host, &claimed).ok());
    EXPECT_EQ(claimed, "r");
  }
  constexpr int kThreads = 8;
  constexpr int kExportsPerThread = 40;
  std::vector<std::vector<std::string>> runs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kExportsPerThread; ++i) {
        std::string run;
        EXPECT_TRUE(ClaimRunDirectory(dir.path(), "r", "h", &run).ok());
        runs[t].push_back(run);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& thread_runs : runs) distinct.insert(thread_runs.begin(), thread_runs.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kExportsPerThread});
  EXPECT_EQ(distinct.count("r_" + std::to_string(kThreads * kExportsPerThread)), 1u);
  EXPECT_THAT(ListDirectory(dir.Join("r")),
              ElementsAre("h.run.claim", "other.run.claim", "run.claim"));
}

// Killed (SIGKILL) while it writes a tool's file into $RUN_ROOT/r.
ZENTRIK_CHILD_SCENARIO(KilledWhileWriting) {
  return SaveGzippedToolData(getenv("RUN_ROOT"), "r", "h", "trace.json.gz",
                             [](ZlibOutputBuffer*) {
                               raise(SIGKILL);
                               return Status();
                             })
      .ok();
}

// A killed export's temporary file is removed by the next export into the
// run; a live writer's (it holds the file's lock) and other files stay.
TEST(ClaimRunDirectoryTest, RemovesTemporaryFilesOfKilledExportsOnly) {
  TempDir dir;
  const auto killed = testing::RunScenario("KilledWhileWriting", {{"RUN_ROOT", dir.path()}});
  ASSERT_EQ(killed.term_signal, SIGKILL) << killed.err;
  const std::vector<std::string> left = ListDirectory(dir.Join("r"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_THAT(left[0], ::testing::StartsWith(".h.trace.json.gz.tmp-"));
  ASSERT_TRUE(WriteTestFile(dir.Join("r/.h.op_stats.pb.tmp-4-1")));
  ASSERT_TRUE(WriteTestFile(dir.Join("r/.h.notes.tmp-x")));
  const int live = open(dir.Join("r/.h.op_stats.pb.tmp-4-1").c_str(), O_RDONLY);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  std::string claimed;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "other", &claimed).ok());
  close(live);
  EXPECT_THAT(ListDirectory(dir.Join("r")),
              ElementsAre(".h.notes.tmp-x", ".h.op_stats.pb.tmp-4-1", "other.run.claim"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
