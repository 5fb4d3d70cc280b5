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
using ::zentrik::testing::ListDirectory;

// Several exports, usually in one second, each get a run of their own. An
// empty space still has (empty) op tables, kernel statistics and memory
// profile; plain files name the host with every ":" as "_", gzip-compressed
// ones unchanged.
TEST(ExportToTensorBoardTest, EveryExportGetsItsOwnRunOfThisHost) {
  const std::string host = Env::Default()->GetHostName();
  std::string plain = host;
  std::replace(plain.begin(), plain.end(), ':', '_');
  plain += plain.empty() ? "" : ".";
  const std::string gzip = host.empty() ? "" : host + ".";
  testing::TempDir dir;
  const std::string logdir = dir.Join("a/b/logs");
  constexpr int kExports = 3;
  for (int i = 0; i < kExports; ++i) {
    ASSERT_TRUE(ExportXSpaceToTensorBoard(XSpace(), logdir).ok());
  }
  EXPECT_THAT(ListDirectory(logdir), ElementsAre("plugins"));
  const std::vector<std::string> runs = ListDirectory(logdir + "/plugins/profile");
  ASSERT_EQ(runs.size(), size_t{kExports});
  for (const std::string& run : runs) {
    EXPECT_TRUE(testing::IsRunName(run)) << run;
    EXPECT_THAT(ListDirectory(logdir + "/plugins/profile/" + run),
                UnorderedElementsAre(plain + "run.claim", plain + "op_stats.pb",
                                     plain + "kernel_stats.pb", gzip + "memory_profile.json.gz"));
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
