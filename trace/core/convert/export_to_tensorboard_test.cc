#include "trace/core/convert/export_to_tensorboard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <string_view>

#include "common/platform/env.h"
#include "testing/file_system_seams.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"
#include "trace/core/rpc/client/save_profile.h"

namespace zentrik {
namespace trace {
namespace {

using testing::before_creating_a_file;
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

// An export that fails on a full disk (no file may grow) leaves no run that
// holds only its claim, whichever file it failed on first.
TEST(ExportToTensorBoardTest, FailedExportLeavesNoEmptyRun) {
  testing::XSpaceFixture with_event;
  with_event.AddTraceMe(1, "step", 1000, 2000);
  const std::pair<std::string, const XSpace*> cases[] = {
      {"no events (the memory profile fails first)", &XSpace::default_instance()},
      {"an event (the timeline fails first)", &with_event.space()},
  };
  for (const auto& [name, space] : cases) {
    testing::TempDir dir;
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit no_growth = {0, 0};
      setrlimit(RLIMIT_FSIZE, &no_growth);
      _exit(ExportXSpaceToTensorBoard(*space, dir.path()).ok() ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid) << name;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": did not fail";
    EXPECT_THAT(ListDirectory(dir.path() + "/plugins/profile"), ElementsAre()) << name;
  }
}

// Run names are predictable: links another user planted at the coming ones
// lead nothing outside the log directory, and the export takes the next run.
TEST(ExportToTensorBoardTest, LinksAtComingRunNamesAreSkipped) {
  testing::TempDir dir;
  const std::string logdir = dir.Join("logs");
  const std::string profile = logdir + "/plugins/profile";
  for (const std::string& path : {logdir, logdir + "/plugins", profile, dir.Join("outside")}) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
  }
  std::vector<std::string> links;
  for (time_t second = time(nullptr) - 1, end = second + 60; second < end; ++second) {
    links.push_back(GetTimeStampAsString(second));
    ASSERT_EQ(symlink(dir.Join("outside").c_str(), (profile + "/" + links.back()).c_str()), 0);
  }
  testing::XSpaceFixture with_event;
  with_event.AddTraceMe(1, "step", 1000, 2000);
  ASSERT_TRUE(ExportXSpaceToTensorBoard(with_event.space(), logdir).ok());
  EXPECT_THAT(ListDirectory(dir.Join("outside")), ElementsAre());
  std::vector<std::string> runs;
  for (const std::string& entry : ListDirectory(profile)) {
    if (std::find(links.begin(), links.end(), entry) == links.end()) runs.push_back(entry);
  }
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].substr(runs[0].size() - 2), "_1");
  EXPECT_EQ(ListDirectory(profile + "/" + runs[0]).size(), 5u);  // the claim and four tools
}

// Whoever owns the profile directory may move the export's run away and put
// a directory of their own at its name while the export writes: no file goes
// into that directory, and the export fails, naming the run.
TEST(ExportToTensorBoardTest, RunSwappedWhileExportingGetsNoFileOfIt) {
  testing::TempDir dir;
  const std::string profile = dir.Join("logs/plugins/profile");
  std::string run;
  before_creating_a_file = [&](const char* name) {
    if (std::string_view(name).find(".tmp-") == std::string_view::npos) return;
    before_creating_a_file = nullptr;
    run = ListDirectory(profile).at(0);
    const std::string run_dir = profile + "/" + run;
    EXPECT_TRUE(rename(run_dir.c_str(), (profile + "/moved").c_str()) == 0 &&
                mkdir(run_dir.c_str(), 0777) == 0 && chmod(run_dir.c_str(), 0777) == 0 &&
                (geteuid() != 0 || chown(run_dir.c_str(), 4321, 4321) == 0));
  };
  const Status status = ExportXSpaceToTensorBoard(XSpace(), dir.Join("logs"));
  before_creating_a_file = nullptr;
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(status.error_message(),
            profile + "/" + run + " was moved or replaced after this export claimed it");
  EXPECT_THAT(ListDirectory(profile + "/" + run), ElementsAre());
  EXPECT_EQ(ListDirectory(profile + "/moved").size(), 2u);  // the claim and the memory profile
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
