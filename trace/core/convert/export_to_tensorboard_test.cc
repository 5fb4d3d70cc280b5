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

using testing::after_creating_a_file;
using testing::after_following_a_path;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using ::zentrik::testing::ListDirectory;

// How this host's file names begin: with the host name and ".", every ":"
// of it written "_" in plain files.
std::string ThisHostPrefix(bool gzipped) {
  std::string prefix = Env::Default()->GetHostName();
  if (!gzipped) std::replace(prefix.begin(), prefix.end(), ':', '_');
  return prefix.empty() ? "" : prefix + ".";
}

// Several exports, usually in one second, each get a run of their own. An
// empty space still has (empty) op tables, kernel statistics and memory
// profile; plain files name the host with every ":" as "_", gzip-compressed
// ones unchanged.
TEST(ExportToTensorBoardTest, EveryExportGetsItsOwnRunOfThisHost) {
  const std::string plain = ThisHostPrefix(false);
  const std::string gzip = ThisHostPrefix(true);
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
// a directory of their own at its name while the export writes: before any
// of its saves, or while one writes its file. No file goes into that
// directory, and the export fails, naming the run, at its first check after
// the move: before a save writes its file, or once the file is in place.
TEST(ExportToTensorBoardTest, RunSwappedWhileExportingGetsNoFileOfIt) {
  const std::string plain = ThisHostPrefix(false);
  const std::string gzip = ThisHostPrefix(true);
  // What the export puts into its run, in order.
  const std::string files[] = {plain + "run.claim", gzip + "trace.json.gz",
                               gzip + "memory_profile.json.gz", plain + "op_stats.pb",
                               plain + "kernel_stats.pb"};
  const struct {
    const char* when;
    size_t in_place;     // the swap comes once files[in_place] is in the run...
    bool while_writing;  // ...or once its temporary file is
    size_t claimed;      // how many of the files the claimed run gets
  } cases[] = {
      {"before the timeline", 0, false, 1},
      {"before the memory profile", 1, false, 2},
      {"before the plain files", 2, false, 3},
      {"before plain file 2", 3, false, 5},
      {"while the memory profile is written", 2, true, 3},
      {"while plain file 1 is written", 3, true, 4},
  };
  testing::XSpaceFixture with_event;
  with_event.AddTraceMe(1, "step", 1000, 2000);
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string profile = dir.Join("logs/plugins/profile");
    const std::string due = c.while_writing ? "." + files[c.in_place] + ".tmp-" : files[c.in_place];
    std::string run;
    // Looked at whenever a file is made and whenever a path is followed (as
    // the checks that the run is in place do).
    const auto swap_when_due = [&] {
      const std::vector<std::string> runs = ListDirectory(profile);
      if (runs.size() != 1) return;
      const std::vector<std::string> held = ListDirectory(profile + "/" + runs[0]);
      if (std::none_of(held.begin(), held.end(),
                       [&](const std::string& name) { return name.rfind(due, 0) == 0; })) {
        return;
      }
      after_creating_a_file = nullptr;
      after_following_a_path = nullptr;
      run = runs[0];
      EXPECT_TRUE(
          testing::ReplaceWithAnotherUsersDirectory(profile + "/" + run, profile + "/moved"))
          << c.when;
    };
    after_creating_a_file = [&](int) { swap_when_due(); };
    after_following_a_path = [&](int, const char*) { swap_when_due(); };
    const Status status = ExportXSpaceToTensorBoard(with_event.space(), dir.Join("logs"));
    after_creating_a_file = nullptr;
    after_following_a_path = nullptr;
    ASSERT_FALSE(run.empty()) << c.when;
    EXPECT_EQ(status.error_message(),
              profile + "/" + run + " was moved or replaced after this export claimed it")
        << c.when;
    EXPECT_THAT(ListDirectory(profile + "/" + run), ElementsAre()) << c.when;
    std::vector<std::string> claimed(files, files + c.claimed);
    std::sort(claimed.begin(), claimed.end());
    EXPECT_EQ(ListDirectory(profile + "/moved"), claimed) << c.when;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
