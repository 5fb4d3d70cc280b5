#include "trace/core/rpc/client/save_profile.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;

// Every host name gives a file inside the run directory, ":" replaced in plain
// files only; run names end in the last six digits of the seconds.
TEST(SaveProfileTest, PathsAndRunNames) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::pair<std::string, std::string> cases[] = {
      {ToolFilePath("run", "node:1", "t.pb", false), "run/node_1.t.pb"},
      {ToolFilePath("run", "node:1", "t.pb", true), "run/node:1.t.pb"},
      {ToolFilePath("run", "../../../../up", "t.pb", false), "run/.._.._.._.._up.t.pb"},
      {ToolFilePath("run", "..", "t.pb", true), "run/__.t.pb"},
      {ToolFilePath("run", std::string("a/\0b", 4), "t.pb", true), "run/a__b.t.pb"},
      {GetTimeStampAsString(1767604087), "2026_01_05_09_08_07.604087"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

// Each refusal says why and creates nothing; a path cut at its NUL would name
// another directory.
TEST(SaveProfileTest, RefusedDirectoriesSayWhy) {
  testing::TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(testing::WriteTestFile(file));
  std::string claimed = "unchanged";
  const std::pair<Status, std::string> cases[] = {
      {CheckProfileEmptyMarker(file + "/logdir"), file + " is not a directory"},
      {CheckProfileEmptyMarker(dir.Join(std::string("c\0/d", 4))),
       "The log directory contains a NUL character: " + dir.Join("c") + "\\0..."},
      {ClaimRunDirectory(file, "r", "h", &claimed),
       "Cannot claim run r of host \"h\" in " + file + ": " + file + " is not a directory"},
  };
  for (const auto& [status, message] : cases) EXPECT_EQ(status.error_message(), message);
  EXPECT_EQ(claimed, "unchanged");
  EXPECT_THAT(testing::ListDirectory(dir.path()), ElementsAre("file"));
}

// Tools are written in order; a failure keeps the earlier files and leaves no
// partial file.
TEST(SaveToolDataTest, WritesEveryToolInOrderAndDescribesIt) {
  testing::TempDir dir;
  const std::string run_dir = dir.Join("run");
  // A directory under the third tool's name makes its rename fail.
  ASSERT_TRUE(mkdir(run_dir.c_str(), 0755) == 0 &&
              mkdir((run_dir + "/node_1.k.pb").c_str(), 0755) == 0);
  ProfileResponse response;  // Each tool's data is its name; op_stats.pb's is empty.
  for (const std::string name : {"overview_page.pb", "op_stats.pb", "k.pb", "z.pb"}) {
    response.add_tool_data()->set_name(name);
    response.mutable_tool_data()->rbegin()->set_data(name == "op_stats.pb" ? "" : name);
  }
  std::ostringstream out;
  const Status status = SaveToolData(dir.path(), "run", "node:1", response, &out);
  EXPECT_THAT(status.error_message(), ::testing::HasSubstr(run_dir + "/node_1.k.pb: "));
  EXPECT_THAT(testing::ListDirectory(run_dir),
              ElementsAre("node_1.k.pb", "node_1.op_stats.pb", "node_1.overview_page.pb"));
  EXPECT_EQ(testing::ReadFileOrEmpty(run_dir + "/node_1.overview_page.pb"), "overview_page.pb");
  EXPECT_EQ(out.str(), "Creating directory: " + run_dir +
                           ". Dumped tool data for overview_page.pb to " + run_dir +
                           "/node_1.overview_page.pb\nDumped tool data for op_stats.pb to " +
                           run_dir + "/node_1.op_stats.pb\n");
}

// However many exports of a host fall in one second, each gets its own run.
TEST(ClaimRunDirectoryTest, EachExportOfAHostGetsItsOwnRun) {
  testing::TempDir dir;
  constexpr int kThreads = 8;
  constexpr int kExportsPerThread = 40;
  std::vector<std::vector<std::string>> runs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kExportsPerThread; ++i) {
        EXPECT_TRUE(ClaimRunDirectory(dir.path(), "r", "h", &runs[t].emplace_back()).ok());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& thread_runs : runs) distinct.insert(thread_runs.begin(), thread_runs.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kExportsPerThread});
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")), ElementsAre("h.run.claim"));
}

// A killed export's temporary file (nobody holds its lock) is removed by the
// next export into the run, which other hosts share; a live writer's stays.
TEST(ClaimRunDirectoryTest, RemovesTemporaryFilesOfKilledExportsOnly) {
  testing::TempDir dir;
  const std::string live = dir.Join("r/.h.op_stats.pb.tmp-4-1");
  ASSERT_TRUE(mkdir(dir.Join("r").c_str(), 0755) == 0 && testing::WriteTestFile(live) &&
              testing::WriteTestFile(dir.Join("r/.h.trace.json.gz.tmp-3-1")) &&
              testing::WriteTestFile(dir.Join("r/h.run.claim")));
  const int fd = open(live.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::string claimed;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "other", &claimed).ok() && claimed == "r");
  close(fd);
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")),
              ElementsAre(".h.op_stats.pb.tmp-4-1", "h.run.claim", "other.run.claim"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
