#include "trace/core/convert/export_to_tensorboard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/platform/env.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using ::zentrik::testing::IsRunName;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::WriteTestFile;

// This host's plain files are named with every ":" of the host name as "_".
std::string PlainHostPrefix() {
  std::string host = Env::Default()->GetHostName();
  std::replace(host.begin(), host.end(), ':', '_');
  return host.empty() ? "" : host + ".";
}

// Its gzip-compressed files use the host name unchanged.
std::string GzipHostPrefix() {
  const std::string host = Env::Default()->GetHostName();
  return host.empty() ? "" : host + ".";
}

TEST(ExportToTensorBoardTest, PluginDirAndRequest) {
  EXPECT_EQ(GetTensorBoardProfilePluginDir("/logs/"), "/logs//plugins/profile");
  const ProfileRequest request = PopulateProfileRequest("root", "run", "node:1");
  EXPECT_THAT(request.tools(), ElementsAre("trace_viewer", "kernel_stats", "memory_profile",
                                           "op_stats", "overview_page"));
  EXPECT_EQ(request.max_events(), 1000000u);
}

TEST(ExportToTensorBoardTest, EveryExportGetsItsOwnRunOfThisHost) {
  TempDir dir;
  const std::string logdir = dir.Join("a/b/logs");
  constexpr int kExports = 3;  // Several in one second, usually.
  for (int i = 0; i < kExports; ++i) {
    ASSERT_TRUE(ExportXSpaceToTensorBoard(XSpace(), logdir).ok());
  }
  EXPECT_THAT(ListDirectory(logdir), ElementsAre("plugins"));
  const std::vector<std::string> runs = ListDirectory(logdir + "/plugins/profile");
  ASSERT_EQ(runs.size(), size_t{kExports});
  for (const std::string& run : runs) {
    EXPECT_TRUE(IsRunName(run)) << run;
    // An empty space still has (empty) op tables, kernel statistics and
    // memory profile.
    EXPECT_THAT(
        ListDirectory(logdir + "/plugins/profile/" + run),
        UnorderedElementsAre(PlainHostPrefix() + "run.claim", PlainHostPrefix() + "op_stats.pb",
                             PlainHostPrefix() + "kernel_stats.pb",
                             GzipHostPrefix() + "memory_profile.json.gz"));
  }
}

// Nothing is created when the log directory is refused.
TEST(ExportToTensorBoardTest, RefusedLogDirectoryFailsBeforeAnyRun) {
  TempDir dir;
  ASSERT_TRUE(WriteTestFile(dir.Join("file")));
  const struct {
    std::string logdir;
    error::Code code;
  } cases[] = {{dir.Join("file/logs"), error::FAILED_PRECONDITION},
               {dir.Join(std::string("logs\0/x", 7)), error::INVALID_ARGUMENT}};
  for (const auto& c : cases) {
    EXPECT_EQ(ExportXSpaceToTensorBoard(XSpace(), c.logdir).code(), c.code) << c.logdir;
    EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("file"));
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
