#include "trace/core/rpc/client/save_profile.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <new>
#include <stdexcept>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/zlib_outputbuffer.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace {

// Runs before each lock that is tried without waiting (a sweep's), with the
// lock's descriptor.
std::function<void(int)> before_trying_a_lock;

}  // namespace

// The library's flock resolves to this one in the test program: a seam that
// lets another export move on between a sweep's look at a run and its locks.
extern "C" int flock(int fd, int operation) {
  if ((operation & LOCK_NB) != 0 && before_trying_a_lock) {
    const std::function<void(int)> hook = before_trying_a_lock;  // it may clear itself
    hook(fd);
  }
  return static_cast<int>(syscall(SYS_flock, fd, operation));
}

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;

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
  RunClaim claim;
  const std::pair<Status, std::string> cases[] = {
      {CheckProfileEmptyMarker(file + "/logdir"), file + " is not a directory"},
      {CheckProfileEmptyMarker(dir.Join(std::string("c\0/d", 4))),
       "The log directory contains a NUL character: " + dir.Join("c") + "\\0..."},
      {ClaimRunDirectory(file, "r", "h", &claim),
       "Cannot claim run r of host \"h\" in " + file + ": " + file + " is not a directory"},
  };
  for (const auto& [status, message] : cases) EXPECT_EQ(status.error_message(), message);
  EXPECT_EQ(claim.run(), "");
  EXPECT_THAT(testing::ListDirectory(dir.path()), ElementsAre("file"));
}

// A claim that cannot be created (here its name is too long) leaves no empty
// run behind, which no later sweep would remove.
TEST(SaveProfileTest, FailedClaimLeavesNoRun) {
  testing::TempDir dir;
  const std::string host(300, 'h');
  RunClaim claim;
  EXPECT_EQ(ClaimRunDirectory(dir.path(), "r", host, &claim).error_message(),
            "Cannot claim run r of host \"" + host + "\" in " + dir.path() + ": " +
                dir.Join("r/" + host + ".run.claim") + ": File name too long");
  EXPECT_THAT(testing::ListDirectory(dir.path()), ElementsAre());
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
  std::vector<std::deque<RunClaim>> claims(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kExportsPerThread; ++i) {
        EXPECT_TRUE(ClaimRunDirectory(dir.path(), "r", "h", &claims[t].emplace_back()).ok());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& thread_claims : claims) {
    for (const RunClaim& claim : thread_claims) distinct.insert(claim.run());
  }
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
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "other", &claim).ok() && claim.run() == "r");
  close(fd);
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")),
              ElementsAre(".h.op_stats.pb.tmp-4-1", "h.run.claim", "other.run.claim"));
}

// An export of `host` into `run` in a child process, stopped after its claim
// (before it writes, or in the middle of writing its timeline, holding the
// temporary file) until a byte is written to `*release` (then it completes) or it is
// killed. Later children inherit `*release`: it is written to, not closed.
pid_t StartStoppedExport(const std::string& root, const std::string& run, const std::string& host,
                         bool before_writing, int* release) {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a failing test leaves no child waiting
    close(ready[0]);
    close(go[1]);
    const auto stop = [&] {
      char byte = 0;
      return write(ready[1], "x", 1) == 1 && read(go[0], &byte, 1) == 1;
    };
    RunClaim claim;
    bool ok = ClaimRunDirectory(root, run, host, &claim).ok() && (!before_writing || stop());
    ok = ok && SaveGzippedToolData(root, claim.run(), host, "trace.json.gz", [&](ZlibOutputBuffer* gzip) {
                 Status status = gzip->Append("the first part");
                 if (status.ok() && !before_writing && !stop()) status = errors::Aborted("stop");
                 return status.ok() ? gzip->Append(", the rest") : status;
               }).ok();
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);
  close(go[0]);
  char byte = 0;
  const bool stopped = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  *release = go[1];
  return stopped ? pid : -1;
}

// A later export removes the debris of exports killed while writing from
// every run, whichever run it claims; a live export's files stay, and it
// completes. A run the killed export shared with a finished one keeps the
// finished one's files.
TEST(ClaimRunDirectoryTest, SweepsKilledExportsFromEveryRunButLiveOnes) {
  testing::TempDir dir;
  const std::string root = dir.Join("profile");
  {
    RunClaim done;
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    ASSERT_TRUE(ClaimRunDirectory(root, "shared", "h", &done).ok() &&
                SaveToolData(root, "shared", "h", response, &out).ok());
  }
  struct Export {
    std::string run;
    std::string host;
    bool before_writing;
    bool killed;
    std::vector<::testing::Matcher<const std::string&>> left;  // empty: the run is gone
    pid_t pid = -1;
    int release = -1;
  };
  Export exports[] = {
      {"killed", "h", false, true, {}},
      {"killed_early", "h", true, true, {}},
      {"shared", "other", false, true, {"h.op_stats.pb", "h.run.claim", "other.run.claim"}},
      {"live", "h", false, false, {StartsWith(".h.trace.json.gz.tmp-"), "h.run.claim"}},
      {"live_early", "h", true, false, {"h.run.claim"}},
  };
  for (Export& e : exports) {
    e.pid = StartStoppedExport(root, e.run, e.host, e.before_writing, &e.release);
    ASSERT_GT(e.pid, 0) << e.run;
    if (e.killed) {
      kill(e.pid, SIGKILL);
      waitpid(e.pid, nullptr, 0);
      close(e.release);
    }
  }
  {
    RunClaim later;
    ASSERT_TRUE(ClaimRunDirectory(root, "later", "h", &later).ok());
    EXPECT_THAT(testing::ListDirectory(root),
                ElementsAre("later", "live", "live_early", "shared"));
    for (const Export& e : exports) {
      if (e.left.empty()) continue;
      EXPECT_THAT(testing::ListDirectory(root + "/" + e.run), ElementsAreArray(e.left)) << e.run;
    }
  }
  // The live exports complete as if nothing happened.
  for (const Export& e : exports) {
    if (e.killed) continue;
    ASSERT_EQ(write(e.release, "x", 1), 1) << e.run;
    close(e.release);
    int status = -1;
    ASSERT_EQ(waitpid(e.pid, &status, 0), e.pid) << e.run;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << e.run;
    EXPECT_THAT(testing::ListDirectory(root + "/" + e.run),
                ElementsAre("h.run.claim", "h.trace.json.gz"))
        << e.run;
  }
}

// An export that writes its files and ends while a sweep, which saw its run
// holding only its claim, waits for the claim's lock keeps its claim: a later
// export of the host in that second gets a run of its own rather than
// replacing the finished one's files.
TEST(ClaimRunDirectoryTest, SweepKeepsTheClaimOfAnExportThatEndedMeanwhile) {
  testing::TempDir dir;
  const std::string root = dir.Join("profile");
  int release = -1;
  const pid_t pid = StartStoppedExport(root, "r", "h", /*before_writing=*/true, &release);
  ASSERT_GT(pid, 0);
  struct stat claim_file {};
  ASSERT_EQ(stat(dir.Join("profile/r/h.run.claim").c_str(), &claim_file), 0);
  int status = -1;
  before_trying_a_lock = [&](int fd) {
    struct stat locked {};
    if (fstat(fd, &locked) != 0 || locked.st_ino != claim_file.st_ino) return;
    before_trying_a_lock = nullptr;
    if (write(release, "x", 1) == 1) waitpid(pid, &status, 0);
  };
  RunClaim sweeping;  // another host's export, into another run
  ASSERT_TRUE(ClaimRunDirectory(root, "s", "other", &sweeping).ok());
  before_trying_a_lock = nullptr;
  close(release);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_THAT(testing::ListDirectory(root + "/r"), ElementsAre("h.run.claim", "h.trace.json.gz"));
  RunClaim later;
  ASSERT_TRUE(ClaimRunDirectory(root, "r", "h", &later).ok());
  EXPECT_EQ(later.run(), "r_1");
}

// Running out of memory while a claim is released (as an export that failed
// for want of memory unwinds) ends neither the process nor the unwinding;
// the run waits for a later sweep.
TEST(ClaimRunDirectoryTest, ReleasingAClaimOutOfMemoryThrowsNothing) {
  testing::TempDir dir;
  const pid_t pid = fork();
  if (pid == 0) {
    try {
      RunClaim claim;
      if (!ClaimRunDirectory(dir.path(), "r", "h", &claim).ok()) _exit(1);
      before_trying_a_lock = [](int) { throw std::bad_alloc(); };
      throw std::runtime_error("export failed");
    } catch (const std::runtime_error&) {
      _exit(0);
    }
    _exit(2);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")), ElementsAre("h.run.claim"));
}

// A run replaced by a link while a sweep works in it leads the sweep nowhere
// else: files of the link's target that bear the names of the run's debris
// stay.
TEST(ClaimRunDirectoryTest, SweepFollowsNoRunReplacedByALink) {
  testing::TempDir dir;
  const std::string root = dir.Join("profile");
  const std::vector<std::string> debris = {".h.a.pb.tmp-1-1", ".h.b.pb.tmp-1-1"};
  std::set<ino_t> run_files;
  ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 && mkdir(root.c_str(), 0755) == 0 &&
              mkdir((root + "/r").c_str(), 0755) == 0 && testing::WriteTestFile(root + "/r/keep"));
  for (const std::string& name : debris) {
    struct stat info {};
    ASSERT_TRUE(testing::WriteTestFile(root + "/r/" + name) &&
                testing::WriteTestFile(dir.Join("outside/" + name)) &&
                stat((root + "/r/" + name).c_str(), &info) == 0);
    run_files.insert(info.st_ino);
  }
  before_trying_a_lock = [&](int fd) {
    struct stat locked {};
    if (fstat(fd, &locked) != 0 || run_files.count(locked.st_ino) == 0) return;
    before_trying_a_lock = nullptr;
    if (rename((root + "/r").c_str(), (root + "/moved").c_str()) != 0 ||
        symlink(dir.Join("outside").c_str(), (root + "/r").c_str()) != 0) {
      ADD_FAILURE() << "cannot replace the run by a link";
    }
  };
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(root, "s", "h", &claim).ok());
  before_trying_a_lock = nullptr;
  EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAreArray(debris));
  EXPECT_THAT(testing::ListDirectory(root + "/moved"), ElementsAre("keep"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
