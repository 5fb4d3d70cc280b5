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
      {"", "b", "b"},     {"a", "", "a"},     {"/", "/b", "/b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinPath(c.first, c.second), c.joined) << c.first << " + " << c.second;
  }
}

ZENTRIK_CHILD_SCENARIO(RunNamesInUtc) {
  for (int64_t s : {999999, 1767604087, 1767225599, 5}) {
    printf("%s\n", GetTimeStampAsString(s).c_str());
  }
  return 0;
}

TEST(RunNameTest, LocalTimeAndLastSixDigitsOfTheSeconds) {
  const auto result = testing::RunScenario("RunNamesInUtc", {{"TZ", "UTC"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "1970_01_12_13_46_39.999999\n2026_01_05_09_08_07.604087\n"
            "2025_12_31_23_59_59.225599\n1970_01_01_00_00_05.5\n");
  EXPECT_TRUE(testing::IsRunName(GetCurrentTimeStampAsString()));
}

// Every host name gives a file inside the run directory; ":" is replaced
// in plain files only.
TEST(ToolFilePathTest, HostPrefix) {
  const struct {
    std::string host;
    bool gzipped;
    std::string path;
  } cases[] = {
      {"", true, "run/op_stats.pb"},
      {"node:1", false, "run/node_1.op_stats.pb"},
      {"node:1", true, "run/node:1.op_stats.pb"},
      {"../../../../escaped", false, "run/.._.._.._.._escaped.op_stats.pb"},
      {"..", true, "run/__.op_stats.pb"},
      {".", false, "run/_.op_stats.pb"},
      {"...", false, "run/....op_stats.pb"},
      {std::string("a/\0b", 4), true, "run/a__b.op_stats.pb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToolFilePath("run", c.host, "op_stats.pb", c.gzipped), c.path) << c.host;
  }
}

TEST(CheckProfileEmptyMarkerTest, CreatesTheLogDirectoryOrSaysWhy) {
  TempDir dir;
  EXPECT_TRUE(CheckProfileEmptyMarker(dir.Join("a/b/")).ok());
  EXPECT_THAT(ListDirectory(dir.Join("a")), ElementsAre("b"));
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  const Status below_file = CheckProfileEmptyMarker(dir.Join("file/logdir"));
  EXPECT_EQ(below_file.error_message(), dir.Join("file") + " is not a directory");
  // Cut at the NUL, the path would name another directory: nothing is made.
  const Status with_nul = CheckProfileEmptyMarker(dir.Join(std::string("c\0/d", 4)));
  EXPECT_EQ(with_nul.code(), error::INVALID_ARGUMENT);
  EXPECT_THAT(with_nul.error_message(), HasSubstr("NUL"));
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("a", "file"));
}

TEST(SaveToolDataTest, WritesEveryToolInOrderAndDescribesIt) {
  TempDir dir;
  std::ostringstream out;
  EXPECT_TRUE(SaveToolData(dir.path(), "run", "h", ProfileResponse(), &out).ok());
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre());
  const ProfileResponse response =
      Response({{"overview_page.pb", "overview"}, {"op_stats.pb", ""}});
  ASSERT_TRUE(SaveToolData(dir.path(), "run", "node:1", response, &out).ok());
  const std::string run_dir = dir.Join("run");
  EXPECT_THAT(ListDirectory(run_dir), ElementsAre("node_1.op_stats.pb", "node_1.overview_page.pb"));
  EXPECT_EQ(ReadFileOrEmpty(run_dir + "/node_1.overview_page.pb"), "overview");
  EXPECT_EQ(out.str(), "Creating directory: " + run_dir +
                           ". Dumped tool data for overview_page.pb to " + run_dir +
                           "/node_1.overview_page.pb\nDumped tool data for op_stats.pb to " +
                           run_dir + "/node_1.op_stats.pb\n");
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
  EXPECT_THAT(status.error_message(), HasSubstr(dir.Join("run/h.op_stats.pb") + ": "));
  EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("h.op_stats.pb", "h.overview_page.pb"));
  EXPECT_THAT(out.str(), Not(HasSubstr("Dumped tool data for op_stats.pb")));
}

TEST(SaveGzippedToolDataTest, WritesOneCompleteGzipStream) {
  const std::string big(3 << 20, 'x');  // More than the 256 KiB buffers.
  for (const std::string& text : {std::string(), big}) {
    TempDir dir;
    ASSERT_TRUE(SaveGzippedToolData(dir.path(), "run", "node:1", "trace.json.gz", text).ok());
    EXPECT_THAT(ListDirectory(dir.Join("run")), ElementsAre("node:1.trace.json.gz"));
    std::string inflated;
    EXPECT_TRUE(testing::Gunzip(ReadFileOrEmpty(dir.Join("run/node:1.trace.json.gz")), &inflated));
    EXPECT_TRUE(inflated == text) << inflated.size() << " bytes";
  }
}

ZENTRIK_CHILD_SCENARIO(GzippedWriteLogs) {
  TempDir dir;
  if (!WriteTestFile(dir.Join("file"))) return 1;
  printf("%s\n", dir.path().c_str());
  SaveGzippedToolData(dir.Join("root"), "run", "h", "memory_profile.json.gz", "").ok();
  return SaveGzippedToolData(dir.Join("file"), "run", "h", "memory_profile.json.gz", "").ok();
}

TEST(SaveGzippedToolDataTest, LogsEachStepAtInfo) {
  const auto result =
      testing::RunScenario("GzippedWriteLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
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

TEST(ClaimRunDirectoryTest, FailureSaysWhy) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("root")));
  std::string claimed = "unchanged";
  const Status status = ClaimRunDirectory(dir.Join("root"), "r", "h", &claimed);
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Cannot claim run r of host \"h\" in " + dir.Join("root") +
                                        ": " + dir.Join("root") + " is not a directory");
  EXPECT_EQ(claimed, "unchanged");
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
