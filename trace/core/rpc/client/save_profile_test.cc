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

#include <cstdio>
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
#include "testing/child_process.h"
#include "testing/failing_allocations.h"
#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace {

// Runs before each lock that is tried without waiting (a sweep's), with the
// lock's descriptor.
std::function<void(int)> before_trying_a_lock;

// Runs before each directory the library makes, with its name.
std::function<void(const char*)> before_making_a_directory;

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

// The same for mkdirat: a seam between an export's look for a free run and
// its claim.
extern "C" int mkdirat(int dir_fd, const char* name, mode_t mode) {
  if (before_making_a_directory) {
    const std::function<void(const char*)> hook = before_making_a_directory;
    hook(name);
  }
  return static_cast<int>(syscall(SYS_mkdirat, dir_fd, name, mode));
}

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;

// A run name of the form exports give, one for each `second`; sweeps look
// into runs of that form only.
std::string RunName(int second) { return GetTimeStampAsString(1767604080 + second); }

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
      {ToolFilePath("run", ".", "t.pb", false), "run/_.t.pb"},
      {ToolFilePath("run", "...", "t.pb", false), "run/....t.pb"},
      {ToolFilePath("run", "", "t.pb", false), "run/t.pb"},
      {ToolFilePath("run", std::string("a/\0b", 4), "t.pb", true), "run/a__b.t.pb"},
      {GetTimeStampAsString(1767604087), "2026_01_05_09_08_07.604087"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

// One leading "/" of the second part is dropped, never more; empty parts are
// skipped.
TEST(JoinPathTest, JoinsWithOneSeparator) {
  const struct {
    std::string first, second, joined;
  } cases[] = {
      {"a", "b", "a/b"},    {"a", "/b", "a/b"}, {"a/", "b", "a/b"}, {"a/", "/b", "a/b"},
      {"a", "//b", "a//b"}, {"", "b", "b"},     {"", "/b", "/b"},   {"a", "", "a"},
      {"", "", ""},         {"/", "/b", "/b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinPath(c.first, c.second), c.joined) << c.first << " + " << c.second;
  }
}

// The suffix is the seconds as a decimal, cut to its last six characters
// only when longer; shorter ones stay whole, unpadded.
TEST(SaveProfileTest, RunNameSuffixes) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::pair<int64_t, std::string> cases[] = {
      {999999, "1970_01_12_13_46_39.999999"}, {1767225599, "2025_12_31_23_59_59.225599"},
      {5, "1970_01_01_00_00_05.5"},           {0, "1970_01_01_00_00_00.0"},
      {-1, "1969_12_31_23_59_59.-1"},
  };
  for (const auto& [seconds, run] : cases) EXPECT_EQ(GetTimeStampAsString(seconds), run);
  EXPECT_TRUE(testing::IsRunName(GetCurrentTimeStampAsString()));
}

// While exports hold their claims, each further export of a host takes the
// next suffix and other hosts share the runs; released before writing
// anything, the runs go and numbering starts again.
TEST(ClaimRunDirectoryTest, SuffixesPerHostWhileClaimsAreHeld) {
  testing::TempDir dir;
  const std::pair<std::string, std::string> exports[] = {
      {"node:1", "r"}, {"node:1", "r_1"}, {"other", "r"}, {"node:1", "r_2"}, {"", "r"}, {"", "r_1"},
  };
  std::deque<RunClaim> claims;
  for (const auto& [host, run] : exports) {
    ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", host, &claims.emplace_back()).ok());
    EXPECT_EQ(claims.back().run(), run) << host;
  }
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")),
              ElementsAre("node_1.run.claim", "other.run.claim", "run.claim"));
  EXPECT_THAT(testing::ListDirectory(dir.Join("r_2")), ElementsAre("node_1.run.claim"));
  claims.clear();
  EXPECT_THAT(testing::ListDirectory(dir.path()), ElementsAre());
  // A run written to keeps its claim after the export: the host's next
  // export goes on to the next suffix.
  {
    RunClaim written;
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "node:1", &written).ok() &&
                SaveToolData(dir.path(), written.run(), "node:1", response, &out).ok());
    EXPECT_EQ(written.run(), "r");
  }
  RunClaim next;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), "r", "node:1", &next).ok());
  EXPECT_EQ(next.run(), "r_1");
  EXPECT_THAT(testing::ListDirectory(dir.Join("r")),
              ElementsAre("node_1.op_stats.pb", "node_1.run.claim"));
}

// Gzip saves that succeed, fail to create the run, fail to take the final
// name (a directory holds it) and fail in the writer; prints the directory,
// each status and what the run holds afterwards.
ZENTRIK_CHILD_SCENARIO(GzipSaves) {
  testing::TempDir dir;
  const std::string run_dir = dir.Join("root/run");
  if (!testing::WriteTestFile(dir.Join("file")) || mkdir(dir.Join("root").c_str(), 0755) != 0 ||
      mkdir(run_dir.c_str(), 0755) != 0 ||
      mkdir((run_dir + "/h.trace.json.gz").c_str(), 0755) != 0) {
    return 1;
  }
  printf("%s\n", dir.path().c_str());
  const Status statuses[] = {
      SaveGzippedToolData(dir.Join("root"), "run", "h", "memory_profile.json.gz", ""),
      SaveGzippedToolData(dir.Join("file"), "run", "h", "memory_profile.json.gz", ""),
      SaveGzippedToolData(dir.Join("root"), "run", "h", "trace.json.gz", "data"),
      SaveGzippedToolData(dir.Join("root"), "run", "h", "k.json.gz",
                          [](ZlibOutputBuffer* gzip) {
                            const Status status = gzip->Append("part");
                            return status.ok() ? errors::Aborted("stopped") : status;
                          }),
  };
  // A writer that runs out of memory: the export above reports it.
  try {
    (void)SaveGzippedToolData(dir.Join("root"), "run", "h", "m.json.gz",
                              [](ZlibOutputBuffer* gzip) -> Status {
                                if (!gzip->Append("part").ok()) return errors::Aborted("append");
                                throw std::bad_alloc();
                              });
  } catch (const std::bad_alloc&) {
  }
  for (const Status& status : statuses) printf("%s\n", status.ToString().c_str());
  for (const std::string& name : testing::ListDirectory(run_dir)) printf("%s ", name.c_str());
  return 0;
}

// The directory line is logged whatever the outcome; the dumped line only
// for a file written whole; a failure leaves no file and no temporary file.
TEST(SaveGzippedToolDataTest, FailedSavesSayWhyAndLeaveNoFile) {
  const auto result = testing::RunScenario("GzipSaves", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string dir = result.out.substr(0, result.out.find('\n'));
  const std::string run_dir = dir + "/root/run";
  std::vector<std::string> out;
  for (std::istringstream lines(result.out); !lines.eof();) std::getline(lines, out.emplace_back());
  ASSERT_EQ(out.size(), 6u) << result.out;
  EXPECT_EQ(out[1], "OK");
  EXPECT_EQ(out[2], "Failed precondition: " + dir + "/file is not a directory");
  EXPECT_THAT(out[3], ::testing::HasSubstr(": " + run_dir + "/h.trace.json.gz: "));
  EXPECT_EQ(out[4], "Aborted: stopped");
  EXPECT_EQ(out[5], "h.memory_profile.json.gz h.trace.json.gz ");
  EXPECT_THAT(result.err, ::testing::HasSubstr("] Creating directory: " + dir + "/file/run. \n"));
  EXPECT_THAT(result.err,
              ::testing::HasSubstr("] Dumped gzipped tool data for memory_profile.json.gz to " +
                                   run_dir + "/h.memory_profile.json.gz\n"));
  size_t creating = 0;
  for (size_t at = result.err.find("] Creating directory: " + run_dir + ". \n");
       at != std::string::npos; at = result.err.find("] Creating directory: " + run_dir, at + 1)) {
    ++creating;
  }
  EXPECT_EQ(creating, 4u) << result.err;
  EXPECT_THAT(result.err, ::testing::Not(::testing::HasSubstr("for trace.json.gz")));
  EXPECT_THAT(result.err, ::testing::Not(::testing::HasSubstr("for k.json.gz")));
  // The writer's failure and its exception each drop an open stream; the
  // run's failure comes before the stream, the final name's after its Close.
  EXPECT_EQ(testing::LogLinesFrom(result.err, "common/platform/zlib_outputbuffer"),
            std::vector<std::string>(
                2, "WARNING ZlibOutputBuffer::Close() not called. Possible data loss"));
}

// Nothing to save creates nothing; saving again replaces a tool's file whole.
TEST(SaveToolDataTest, EmptyResponsesAndRewrites) {
  testing::TempDir dir;
  std::ostringstream out;
  ASSERT_TRUE(SaveToolData(dir.path(), "run", "h", ProfileResponse(), &out).ok());
  EXPECT_EQ(out.str(), "");
  EXPECT_THAT(testing::ListDirectory(dir.path()), ElementsAre());
  for (const char* data : {"long old data", "new"}) {
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    response.mutable_tool_data(0)->set_data(data);
    ASSERT_TRUE(SaveToolData(dir.path(), "run", "h", response, &out).ok());
  }
  EXPECT_THAT(testing::ListDirectory(dir.Join("run")), ElementsAre("h.op_stats.pb"));
  EXPECT_EQ(testing::ReadFileOrEmpty(dir.Join("run/h.op_stats.pb")), "new");
}

// The file is one complete gzip stream (header and trailer included), also
// for no text and for more than the stream's 256 KiB buffers.
TEST(SaveGzippedToolDataTest, WritesOneGzipStream) {
  for (const std::string& text :
       {std::string(), std::string("{\"traceEvents\":[]}"), std::string(3 << 20, 'x')}) {
    testing::TempDir dir;
    ASSERT_TRUE(SaveGzippedToolData(dir.path(), "run", "node:1", "trace.json.gz", text).ok());
    EXPECT_THAT(testing::ListDirectory(dir.Join("run")), ElementsAre("node:1.trace.json.gz"));
    std::string inflated;
    EXPECT_TRUE(
        testing::Gunzip(testing::ReadFileOrEmpty(dir.Join("run/node:1.trace.json.gz")), &inflated));
    EXPECT_TRUE(inflated == text) << text.size() << " bytes in, " << inflated.size() << " out";
  }
}

// Each refusal says why and creates nothing; a path cut at its NUL would name
// another directory.
TEST(SaveProfileTest, RefusedDirectoriesSayWhy) {
  testing::TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(testing::WriteTestFile(file) && mkdir(dir.Join("root").c_str(), 0755) == 0 &&
              mkdir(dir.Join("logs").c_str(), 0755) == 0 &&
              symlink(dir.path().c_str(), dir.Join("logs/plugins").c_str()) == 0);
  RunClaim claim;
  const std::pair<Status, std::string> cases[] = {
      {CheckProfileEmptyMarker(file + "/logdir"), file + " is not a directory"},
      {CheckProfileEmptyMarker(dir.Join(std::string("c\0/d", 4))),
       "The log directory contains a NUL character: " + dir.Join("c") + "\\0..."},
      {ClaimRunDirectory(file, "r", "h", &claim),
       "Cannot claim run r of host \"h\" in " + file + ": " + file + " is not a directory"},
      // A run is one name: a path would lead through whatever its parts are.
      {ClaimRunDirectory(dir.Join("root"), "a/r", "h", &claim),
       "Cannot claim run a/r of host \"h\" in " + dir.Join("root") +
           ": a run is named by one path component"},
      {ClaimRunDirectory(dir.Join("root"), "..", "h", &claim),
       "Cannot claim run .. of host \"h\" in " + dir.Join("root") +
           ": a run is named by one path component"},
      {SaveGzippedToolData(dir.Join("root"), "../up", "h", "trace.json.gz", ""),
       dir.Join("root/..") + ": an export does not leave its log directory"},
      // The root's trailing "/" changes nothing: the link below the log
      // directory is refused.
      {ClaimRunDirectory(dir.Join("logs/plugins/profile/"), "r", "h", &claim),
       "Cannot claim run r of host \"h\" in " + dir.Join("logs/plugins/profile/") + ": " +
           dir.Join("logs/plugins") + " is a symbolic link; an export does not write through it"},
  };
  for (const auto& [status, message] : cases) EXPECT_EQ(status.error_message(), message);
  EXPECT_EQ(claim.run(), "");
  EXPECT_THAT(testing::ListTree(dir.path()),
              ElementsAre("file", "logs/", "logs/plugins -> " + dir.path(), "root/"));
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
  const std::string run = RunName(0);
  const std::string live = dir.Join(run + "/.h.op_stats.pb.tmp-4-1");
  ASSERT_TRUE(mkdir(dir.Join(run).c_str(), 0755) == 0 && testing::WriteTestFile(live) &&
              testing::WriteTestFile(dir.Join(run + "/.h.trace.json.gz.tmp-3-1")) &&
              testing::WriteTestFile(dir.Join(run + "/h.run.claim")));
  const int fd = open(live.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), run, "other", &claim).ok() && claim.run() == run);
  close(fd);
  EXPECT_THAT(testing::ListDirectory(dir.Join(run)),
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
    ASSERT_TRUE(ClaimRunDirectory(root, RunName(4), "h", &done).ok() &&
                SaveToolData(root, RunName(4), "h", response, &out).ok());
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
      {RunName(0), "h", false, true, {}},  // killed while writing
      {RunName(1), "h", true, true, {}},   // killed before writing
      {RunName(4), "other", false, true, {"h.op_stats.pb", "h.run.claim", "other.run.claim"}},
      {RunName(2), "h", false, false, {StartsWith(".h.trace.json.gz.tmp-"), "h.run.claim"}},
      {RunName(3), "h", true, false, {"h.run.claim"}},
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
    ASSERT_TRUE(ClaimRunDirectory(root, RunName(5), "h", &later).ok());
    EXPECT_THAT(testing::ListDirectory(root),
                ElementsAre(RunName(2), RunName(3), RunName(4), RunName(5)));
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
  const pid_t pid = StartStoppedExport(root, RunName(0), "h", /*before_writing=*/true, &release);
  ASSERT_GT(pid, 0);
  struct stat claim_file {};
  ASSERT_EQ(stat(dir.Join("profile/" + RunName(0) + "/h.run.claim").c_str(), &claim_file), 0);
  int status = -1;
  before_trying_a_lock = [&](int fd) {
    struct stat locked {};
    if (fstat(fd, &locked) != 0 || locked.st_ino != claim_file.st_ino) return;
    before_trying_a_lock = nullptr;
    if (write(release, "x", 1) == 1) waitpid(pid, &status, 0);
  };
  RunClaim sweeping;  // another host's export, into another run
  ASSERT_TRUE(ClaimRunDirectory(root, RunName(1), "other", &sweeping).ok());
  before_trying_a_lock = nullptr;
  close(release);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_THAT(testing::ListDirectory(root + "/" + RunName(0)), ElementsAre("h.run.claim", "h.trace.json.gz"));
  RunClaim later;
  ASSERT_TRUE(ClaimRunDirectory(root, RunName(0), "h", &later).ok());
  EXPECT_EQ(later.run(), RunName(0) + "_1");
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
      // The first allocation after the claim is locked fails.
      before_trying_a_lock = [](int) { testing::allocations_until_failure = 0; };
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
  const std::string run_dir = root + "/" + RunName(0);
  const std::vector<std::string> debris = {".h.kernel_stats.pb.tmp-1-1", ".h.op_stats.pb.tmp-1-1"};
  std::set<ino_t> run_files;
  ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 && mkdir(root.c_str(), 0755) == 0 &&
              mkdir(run_dir.c_str(), 0755) == 0 && testing::WriteTestFile(run_dir + "/keep"));
  for (const std::string& name : debris) {
    struct stat info {};
    ASSERT_TRUE(testing::WriteTestFile(run_dir + "/" + name) &&
                testing::WriteTestFile(dir.Join("outside/" + name)) &&
                stat((run_dir + "/" + name).c_str(), &info) == 0);
    run_files.insert(info.st_ino);
  }
  before_trying_a_lock = [&](int fd) {
    struct stat locked {};
    if (fstat(fd, &locked) != 0 || run_files.count(locked.st_ino) == 0) return;
    before_trying_a_lock = nullptr;
    if (rename(run_dir.c_str(), (root + "/moved").c_str()) != 0 ||
        symlink(dir.Join("outside").c_str(), run_dir.c_str()) != 0) {
      ADD_FAILURE() << "cannot replace the run by a link";
    }
  };
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(root, RunName(1), "h", &claim).ok());
  before_trying_a_lock = nullptr;
  EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAreArray(debris));
  EXPECT_THAT(testing::ListDirectory(root + "/moved"), ElementsAre("keep"));
}


// What a test plants below its directory before an export: a directory, a
// file holding "planted", or a link to `target` (a path below the test's
// directory, "~" standing for the directory itself).
struct Plant {
  enum Kind { kDirectory, kFile, kLink } kind;
  std::string path;
  std::string target = "";
};

bool PlantAll(const testing::TempDir& dir, const std::vector<Plant>& plants) {
  for (const Plant& plant : plants) {
    const std::string path = dir.Join(plant.path);
    const bool planted =
        plant.kind == Plant::kDirectory ? mkdir(path.c_str(), 0755) == 0
        : plant.kind == Plant::kFile    ? testing::WriteTestFile(path, "planted")
                                        : symlink(dir.Join(plant.target).c_str(), path.c_str()) == 0;
    if (!planted) return false;
  }
  return true;
}

// Whatever another user of a shared log directory plants at the names an
// export uses, nothing is written outside the log directory: a link or a file
// at "plugins" or "plugins/profile" fails the claim naming it; a link or a
// file at the run's name, or a link at the host's claim, makes the export
// take the next run; a link at a tool file's name is replaced, never written
// through. The log directory itself may be a link.
TEST(ClaimRunDirectoryTest, WritesNothingOutsideTheLogDirectory) {
  const std::string run = RunName(0);
  const std::string profile = "logs/plugins/profile/";
  const std::vector<std::string> untouched = {"victim"};
  const struct {
    const char* planted;
    std::vector<Plant> plants;
    std::string refused;  // the refused path below the log directory and why; empty: success
    std::string written_run = "";
    std::vector<std::string> outside = {};  // what "outside" holds afterwards; empty: untouched
  } cases[] = {
      {"a link at plugins",
       {{Plant::kDirectory, "logs"}, {Plant::kLink, "logs/plugins", "outside"}},
       "/plugins is a symbolic link; an export does not write through it"},
      {"a link at plugins/profile",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kLink, "logs/plugins/profile", "outside"}},
       "/plugins/profile is a symbolic link; an export does not write through it"},
      {"a file at plugins",
       {{Plant::kDirectory, "logs"}, {Plant::kFile, "logs/plugins"}},
       "/plugins is not a directory"},
      {"a link at the run",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kDirectory, profile},
        {Plant::kLink, profile + run, "outside"}},
       "",
       run + "_1"},
      {"a dangling link at the run",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kDirectory, profile},
        {Plant::kLink, profile + run, "outside/new"}},
       "",
       run + "_1"},
      {"a file at the run",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kDirectory, profile},
        {Plant::kFile, profile + run}},
       "",
       run + "_1"},
      {"a link at the claim",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kDirectory, profile},
        {Plant::kDirectory, profile + run},
        {Plant::kLink, profile + run + "/h.run.claim", "outside/victim"}},
       "",
       run + "_1"},
      {"links at the tool files",
       {{Plant::kDirectory, "logs"},
        {Plant::kDirectory, "logs/plugins"},
        {Plant::kDirectory, profile},
        {Plant::kDirectory, profile + run},
        {Plant::kLink, profile + run + "/h.trace.json.gz", "outside/victim"},
        {Plant::kLink, profile + run + "/h.op_stats.pb", "outside/victim"}},
       "",
       run},
      {"a linked log directory", {{Plant::kLink, "logs", "outside"}}, "", run,
       // The caller named the link: the export goes where it leads.
       {"plugins/", "plugins/profile/", "plugins/profile/" + run + "/",
        "plugins/profile/" + run + "/h.op_stats.pb", "plugins/profile/" + run + "/h.run.claim",
        "plugins/profile/" + run + "/h.trace.json.gz", "victim"}},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 &&
                testing::WriteTestFile(dir.Join("outside/victim"), "victim") &&
                PlantAll(dir, c.plants))
        << c.planted;
    const std::string root = dir.Join("logs/plugins/profile");
    RunClaim claim;
    const Status status = ClaimRunDirectory(root, run, "h", &claim);
    if (!c.refused.empty()) {
      EXPECT_EQ(status.error_message(), "Cannot claim run " + run + " of host \"h\" in " + root +
                                            ": " + dir.Join("logs") + c.refused)
          << c.planted;
    } else {
      ASSERT_TRUE(status.ok()) << c.planted << ": " << status.ToString();
      EXPECT_EQ(claim.run(), c.written_run) << c.planted;
      ProfileResponse response;
      response.add_tool_data()->set_name("op_stats.pb");
      std::ostringstream out;
      EXPECT_TRUE(SaveGzippedToolData(root, claim.run(), "h", "trace.json.gz", "{}").ok() &&
                  SaveToolData(root, claim.run(), "h", response, &out).ok())
          << c.planted;
      EXPECT_THAT(testing::ListDirectory(root + "/" + claim.run()),
                  ElementsAre("h.op_stats.pb", "h.run.claim", "h.trace.json.gz"))
          << c.planted;
    }
    EXPECT_THAT(testing::ListTree(dir.Join("outside")),
                ElementsAreArray(c.outside.empty() ? untouched : c.outside))
        << c.planted;
    EXPECT_EQ(testing::ReadFileOrEmpty(dir.Join("outside/victim")), "victim") << c.planted;
  }
}

// A run replaced by a link after its claim (another user owning the profile
// directory could do it) fails the writes, naming the run; nothing is
// written where the link leads.
TEST(SaveToolDataTest, RunReplacedByALinkAfterItsClaimIsRefused) {
  testing::TempDir dir;
  const std::string root = dir.Join("logs/plugins/profile");
  const std::string run_dir = root + "/" + RunName(0);
  RunClaim claim;
  ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 &&
              ClaimRunDirectory(root, RunName(0), "h", &claim).ok() &&
              rename(run_dir.c_str(), (root + "/moved").c_str()) == 0 &&
              symlink(dir.Join("outside").c_str(), run_dir.c_str()) == 0);
  ProfileResponse response;
  response.add_tool_data()->set_name("op_stats.pb");
  std::ostringstream out;
  const std::string refused = run_dir + " is a symbolic link; an export does not write through it";
  EXPECT_EQ(SaveGzippedToolData(root, claim.run(), "h", "trace.json.gz", "{}").error_message(),
            refused);
  EXPECT_EQ(SaveToolData(root, claim.run(), "h", response, &out).error_message(), refused);
  EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAre());
}

// A sweep looks only into directories named as runs, and there removes only
// what exports leave: their unheld temporary files of tool names, and runs
// holding nothing but unheld claims of the library's form. A user's
// look-alikes stay.
TEST(ClaimRunDirectoryTest, SweepRemovesOnlyItsOwnDebris) {
  const std::string run = RunName(0);
  const struct {
    std::string dir;
    std::vector<std::string> files;
    std::vector<std::string> left;  // empty: the directory is gone
  } cases[] = {
      {"userrun", {".notes.tmp-1-2"}, {".notes.tmp-1-2"}},
      {"userrun_2", {"my.run.claim"}, {"my.run.claim"}},
      {"userrun_3", {".h.op_stats.pb.tmp-1-2", "h.run.claim"},
       {".h.op_stats.pb.tmp-1-2", "h.run.claim"}},
      {run.substr(0, 19), {"h.run.claim"}, {"h.run.claim"}},  // no suffix
      {run + "7", {"h.run.claim"}, {"h.run.claim"}},           // a suffix of 7 digits
      {"x" + run, {"h.run.claim"}, {"h.run.claim"}},
      {run + "_x", {"h.run.claim"}, {"h.run.claim"}},
      {run, {".notes.tmp-1-2", "h.run.claim"}, {".notes.tmp-1-2", "h.run.claim"}},
      {run + "_1", {".h.notes.txt.tmp-1-2", "h.run.claim"}, {".h.notes.txt.tmp-1-2", "h.run.claim"}},
      {run + "_2", {".h.op_stats.pb.tmp-1-2x", "h.run.claim"},
       {".h.op_stats.pb.tmp-1-2x", "h.run.claim"}},
      {run + "_3", {".h:1.op_stats.pb.tmp-1-2", "h.run.claim"},
       {".h:1.op_stats.pb.tmp-1-2", "h.run.claim"}},
      {run + "_4", {"h:1.run.claim"}, {"h:1.run.claim"}},
      {run + "_5", {".run.claim"}, {".run.claim"}},
      {run + "_6", {"h.run.claim", "notes"}, {"h.run.claim", "notes"}},
      {run + "_7", {".h:1.trace.json.gz.tmp-1-2", "h_1.run.claim"}, {}},
      {run + "_8", {".op_stats.pb.tmp-1-2", "run.claim"}, {}},
      {RunName(1) + "_12", {".a.b.memory_profile.json.gz.tmp-7-0", "a.b.run.claim", "c.run.claim"},
       {}},
      {"1969_12_31_23_59_59.-1", {"h.run.claim"}, {}},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    ASSERT_EQ(mkdir(dir.Join(c.dir).c_str(), 0755), 0) << c.dir;
    for (const std::string& file : c.files) ASSERT_TRUE(testing::WriteTestFile(dir.Join(c.dir + "/" + file)));
  }
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), RunName(9), "h", &claim).ok());
  for (const auto& c : cases) {
    struct stat info {};
    if (c.left.empty()) {
      EXPECT_NE(stat(dir.Join(c.dir).c_str(), &info), 0) << c.dir << " was not swept";
    } else {
      EXPECT_THAT(testing::ListDirectory(dir.Join(c.dir)), ElementsAreArray(c.left)) << c.dir;
    }
  }
}

// What appears at the run's name between the look for a free run and the
// claim (a file, a link, a link to nowhere) makes the export take the next
// run, and nothing is made where a link leads.
TEST(ClaimRunDirectoryTest, EntryPlantedJustBeforeTheClaimIsTaken) {
  for (const Plant::Kind kind : {Plant::kFile, Plant::kLink, Plant::kDirectory}) {
    testing::TempDir dir;
    const std::string run = RunName(0);
    ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 &&
                mkdir(dir.Join("profile").c_str(), 0755) == 0);
    // kDirectory stands for a link to a directory that does not exist yet.
    const Plant plant = kind == Plant::kFile   ? Plant{Plant::kFile, "profile/" + run}
                        : kind == Plant::kLink ? Plant{Plant::kLink, "profile/" + run, "outside"}
                                               : Plant{Plant::kLink, "profile/" + run, "outside/new"};
    bool planted = false;
    before_making_a_directory = [&](const char* name) {
      if (name != run) return;
      before_making_a_directory = nullptr;
      planted = PlantAll(dir, {plant});
    };
    RunClaim claim;
    const Status status = ClaimRunDirectory(dir.Join("profile"), run, "h", &claim);
    before_making_a_directory = nullptr;
    ASSERT_TRUE(planted) << plant.target;
    EXPECT_TRUE(status.ok()) << plant.target << ": " << status.ToString();
    EXPECT_EQ(claim.run(), run + "_1") << plant.target;
    EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAre()) << plant.target;
  }
}

// A run directory of another user is no run of this export: that user could
// replace its files. The export takes the next run.
TEST(ClaimRunDirectoryTest, AnotherUsersRunIsTaken) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  testing::TempDir dir;
  const std::string run_dir = dir.Join(RunName(0));
  for (const mode_t mode : {mode_t{0777}, mode_t{0555}}) {
    ASSERT_TRUE(mkdir(run_dir.c_str(), mode) == 0 && chmod(run_dir.c_str(), mode) == 0 &&
                chown(run_dir.c_str(), 4321, 4321) == 0);
    RunClaim claim;
    const Status status = ClaimRunDirectory(dir.path(), RunName(0), "h", &claim);
    EXPECT_TRUE(status.ok()) << mode << ": " << status.ToString();
    EXPECT_EQ(claim.run(), RunName(0) + "_1") << mode;
    EXPECT_THAT(testing::ListDirectory(run_dir), ElementsAre()) << mode;
    ASSERT_EQ(rmdir(run_dir.c_str()), 0);
  }
}

size_t OpenDescriptors() { return testing::ListDirectory("/proc/self/fd").size(); }

// Whichever allocation fails, every descriptor a claim or a save opened is
// closed again: a claim left locked would make its run look live until the
// process ends, and a sweep would never remove it.
TEST(SaveProfileOutOfMemoryTest, NoDescriptorStaysOpen) {
  testing::TempDir dir;
  const std::string root = dir.Join("logs/plugins/profile");
  const std::string debris = root + "/" + RunName(1);
  {
    RunClaim claim;
    ASSERT_TRUE(ClaimRunDirectory(root, RunName(0), "h", &claim).ok());
  }
  ASSERT_TRUE(mkdir(debris.c_str(), 0755) == 0 &&
              testing::WriteTestFile(debris + "/.h.op_stats.pb.tmp-1-1") &&
              testing::WriteTestFile(debris + "/h.run.claim"));
  ProfileResponse response;
  response.add_tool_data()->set_name("op_stats.pb");
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"claim and release",
       [&] {
         RunClaim claim;
         (void)ClaimRunDirectory(root, RunName(2), "h", &claim);
       }},
      {"gzip save", [&] { (void)SaveGzippedToolData(root, RunName(1), "h", "trace.json.gz", "{}"); }},
      {"plain save",
       [&] {
         std::ostringstream out;
         (void)SaveToolData(root, RunName(1), "h", response, &out);
       }},
  };
  const size_t open = OpenDescriptors();
  for (const auto& [name, operation] : operations) {
    for (long n = 0;; ++n) {
      bool failed = true;
      try {
        failed = testing::RunWithAllocationFailing(n, operation);
      } catch (const std::bad_alloc&) {
        testing::allocations_until_failure = -1;
      }
      ASSERT_EQ(OpenDescriptors(), open) << name << ", allocation " << n << " failing";
      if (!failed) break;
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
