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
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/zlib_outputbuffer.h"
#include "testing/child_process.h"
#include "testing/failing_allocations.h"
#include "testing/file_system_seams.h"
#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace trace {
namespace {

using testing::after_creating_a_file;
using testing::after_making_a_directory;
using testing::before_changing_a_mode;
using testing::before_creating_a_file;
using testing::before_making_a_directory;
using testing::before_removing_an_entry;
using testing::before_trying_a_lock;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::Not;
using ::testing::StartsWith;

// A run name of the form exports give, one for each `second`; sweeps look
// into runs of that form only.
std::string RunName(int second) { return GetTimeStampAsString(1767604080 + second); }

// `text` with every "%root" replaced by `root`.
std::string WithRoot(std::string text, const std::string& root) {
  for (size_t at = text.find("%root"); at != std::string::npos;
       at = text.find("%root", at + root.size())) {
    text.replace(at, 5, root);
  }
  return text;
}

// Every host name gives files inside the run directory, ":" replaced in
// plain files only.
TEST(SaveProfileTest, HostNamesGiveFilesInsideTheRun) {
  const struct {
    std::string host, plain, gzipped;
  } cases[] = {
      {"node:1", "node_1.t.pb", "node:1.t.json.gz"},
      {"../../../../up", ".._.._.._.._up.t.pb", ".._.._.._.._up.t.json.gz"},
      {"..", "__.t.pb", "__.t.json.gz"},
      {".", "_.t.pb", "_.t.json.gz"},
      {"...", "....t.pb", "....t.json.gz"},
      {"", "t.pb", "t.json.gz"},
      {std::string("a/\0b", 4), "a__b.t.pb", "a__b.t.json.gz"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    ProfileResponse response;
    response.add_tool_data()->set_name("t.pb");
    std::ostringstream out;
    ASSERT_TRUE(SaveToolData(dir.path(), "run", c.host, response, &out).ok() &&
                SaveGzippedToolData(dir.path(), "run", c.host, "t.json.gz", "").ok())
        << c.host;
    EXPECT_THAT(testing::ListTree(dir.path()),
                ::testing::UnorderedElementsAre("run/", "run/" + c.plain, "run/" + c.gzipped))
        << c.host;
  }
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
      {999999, "1970_01_12_13_46_39.999999"},
      {1767225599, "2025_12_31_23_59_59.225599"},
      {1767604087, "2026_01_05_09_08_07.604087"},
      {5, "1970_01_01_00_00_05.5"},
      {0, "1970_01_01_00_00_00.0"},
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
  // "plugins" cannot be made below the log directory "unmade".
  before_making_a_directory = [](const char* name) {
    return std::string_view(name) == "plugins" ? EACCES : 0;
  };
  const std::pair<Status, std::string> cases[] = {
      {CheckProfileEmptyMarker(file + "/logdir"), file + " is not a directory"},
      {ClaimRunDirectory(dir.Join("unmade/plugins/profile"), "r", "h", &claim),
       "Cannot claim run r of host \"h\" in " + dir.Join("unmade/plugins/profile") + ": " +
           dir.Join("unmade/plugins") + " creating...  error!"},
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
  before_making_a_directory = nullptr;
  for (const auto& [status, message] : cases) EXPECT_EQ(status.error_message(), message);
  EXPECT_EQ(cases[1].first.code(), error::ABORTED);
  EXPECT_EQ(claim.run(), "");
  EXPECT_THAT(testing::ListTree(dir.path()),
              ElementsAre("file", "logs/", "logs/plugins -> " + dir.path(), "root/", "unmade/"));
}

// A claim of run "r" in $ROOT by host $HOST under umask $UMASK (octal), as an
// unprivileged user when the test runs as root; with $SWAP_IN, the directory
// the claim makes is replaced at once by that one (as another user could).
// Prints "OK" or the failure.
ZENTRIK_CHILD_SCENARIO(UnprivilegedClaim) {
  const std::string root = getenv("ROOT");
  const std::string swap_in = getenv("SWAP_IN") != nullptr ? getenv("SWAP_IN") : "";
  if (geteuid() == 0 && !testing::BecomeNobody()) return 1;
  umask(static_cast<mode_t>(std::stoul(getenv("UMASK"), nullptr, 8)));
  if (!swap_in.empty()) {
    testing::after_making_a_directory = [&](int parent, const char* name) {
      testing::after_making_a_directory = nullptr;
      if (unlinkat(parent, name, AT_REMOVEDIR) != 0 ||
          rename(swap_in.c_str(), (root + "/" + name).c_str()) != 0) {
        _exit(2);
      }
    };
  }
  RunClaim claim;
  const Status status = ClaimRunDirectory(root, "r", getenv("HOST"), &claim);
  printf("%s", status.ok() ? "OK" : status.error_message().c_str());
  return 0;
}

// A claim that cannot be created in the run the export made (its name is
// too long; a umask of 0277 leaves the run unwritable to its maker, one of
// 0777 unreadable too) fails at once, saying why, and leaves no empty run,
// which no later sweep would remove. So does another user's empty directory
// put at the run's name between its making and the claim.
TEST(SaveProfileTest, FailedClaimLeavesNoRun) {
  const struct {
    std::string host;
    mode_t umask;
    bool swapped;         // a 0755 directory of another user takes the new run's place
    std::string refused;  // below the root
    std::string why;
  } cases[] = {
      {std::string(300, 'h'), 022, false, "r/" + std::string(300, 'h') + ".run.claim",
       "File name too long"},
      {"h", 0277, false, "r/h.run.claim", "Permission denied"},
      {"h", 0777, false, "r", "Permission denied"},
      {"h", 022, true, "r/h.run.claim", "Permission denied"},
  };
  for (const auto& c : cases) {
    if (c.swapped && geteuid() != 0) continue;  // giving a directory away needs root
    testing::TempDir dir;
    // A shared profile directory that everybody may write in.
    const std::string root = dir.Join("profile");
    const std::string other = root + "/other";
    ASSERT_TRUE(chmod(dir.path().c_str(), 0755) == 0 && mkdir(root.c_str(), 0777) == 0 &&
                chmod(root.c_str(), 0777) == 0);
    ASSERT_TRUE(!c.swapped ||
                (mkdir(other.c_str(), 0755) == 0 && chown(other.c_str(), 4321, 4321) == 0));
    char mask[8];
    snprintf(mask, sizeof(mask), "%o", static_cast<unsigned>(c.umask));
    const auto result = testing::RunScenario(
        "UnprivilegedClaim",
        {{"ROOT", root},
         {"HOST", c.host},
         {"UMASK", std::string(mask)},
         {"SWAP_IN", c.swapped ? std::optional<std::string>(other) : std::nullopt}});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "Cannot claim run r of host \"" + c.host + "\" in " + root + ": " + root +
                              "/" + c.refused + ": " + c.why);
    EXPECT_THAT(testing::ListDirectory(root), ElementsAre()) << c.why;
  }
}

// Names another user plants to make the search for a free run endless or
// fail (a file at every name a doubling search looks at, up to the 64-bit
// limit; a directory of their own at each of the next thousand names) do
// neither: the export takes the first free name, or, with every name the
// search looks at up to 2^32 taken, one chosen at random.
TEST(ClaimRunDirectoryTest, PlantedNamesEndTheSearch) {
  const std::string run = RunName(0);
  const auto planted_at_doublings = [&](const std::string& root) {
    for (uint64_t suffix = 1; suffix != 0; suffix *= 2) {
      if (!testing::WriteTestFile(root + "/" + run + "_" + std::to_string(suffix - 1)))
        return false;
    }
    return testing::WriteTestFile(root + "/" + run) &&
           testing::WriteTestFile(root + "/" + run + "_18446744073709551615");
  };
  const auto other_users_runs = [&](const std::string& root) {
    for (int suffix = 0; suffix < 1200; ++suffix) {
      const std::string path = root + "/" + run + (suffix == 0 ? "" : "_" + std::to_string(suffix));
      if (mkdir(path.c_str(), 0777) != 0 || chown(path.c_str(), 4321, 4321) != 0) return false;
    }
    return true;
  };
  const struct {
    std::function<bool(const std::string&)> plant;
    std::string result;  // the run claimed, or "random"
    bool needs_root = false;
  } cases[] = {
      {planted_at_doublings, "random"},
      {other_users_runs, run + "_1200", true},
  };
  for (const auto& c : cases) {
    if (c.needs_root && geteuid() != 0) continue;  // giving directories away needs root
    testing::TempDir dir;
    ASSERT_TRUE(c.plant(dir.path())) << c.result;
    RunClaim claim;
    const Status status = ClaimRunDirectory(dir.path(), run, "h", &claim);
    const std::string& expected = c.result;
    ASSERT_TRUE(status.ok()) << status.ToString();
    if (expected == "random") {
      EXPECT_THAT(claim.run(), StartsWith(run + "_"));
      EXPECT_LE(std::stoull(claim.run().substr(run.size() + 1)), 4294967296ull);
      EXPECT_THAT(testing::ListDirectory(dir.Join(claim.run())), ElementsAre("h.run.claim"));
    } else {
      EXPECT_EQ(claim.run(), expected);
    }
  }
}

// Directories an export makes (the log directory, "plugins",
// "plugins/profile", the run) get 0755 less the umask, so that viewers of
// other users can list the runs where the umask allows; tool files get 0666
// less the umask, as files usually do. The claim, which holds nothing, stays
// owner-only. Where modes cannot be changed (chmod fails, or succeeds and
// changes nothing), no file is left without the owner's permission.
TEST(SaveProfileTest, ModesFollowTheUmask) {
  constexpr int kIgnored = -1;  // chmod succeeds and changes nothing
  const struct {
    mode_t mask;
    int chmod_error;
    bool decides_modes;  // gives every file 0640, else keeps the creation mode
  } cases[] = {{022, 0, false},          {002, 0, false},         {027, 0, false},
               {077, 0, false},          {022, EPERM, true},      {022, EOPNOTSUPP, true},
               {022, EPERM, false},      {027, EOPNOTSUPP, false}, {022, kIgnored, false},
               {022, kIgnored, true}};
  for (const auto& [mask, chmod_error, decides_modes] : cases) {
    testing::TempDir dir;
    if (chmod_error != 0) before_changing_a_mode = [err = chmod_error](int) { return err; };
    if (decides_modes) after_creating_a_file = [](int fd) { syscall(SYS_fchmod, fd, 0640); };
    const mode_t old_mask = umask(mask);
    const std::string root = dir.Join("logs/plugins/profile");
    RunClaim claim;
    Status status = ClaimRunDirectory(root, "r", "h", &claim);
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    if (status.ok()) status = SaveToolData(claim, "h", response, &out);
    // While it is written, nobody else may open the file.
    struct stat temporary {};
    if (status.ok()) {
      status = SaveGzippedToolData(claim, "h", "trace.json.gz", [&](ZlibOutputBuffer* gzip) {
        const std::string name = testing::ListDirectory(dir.Join("logs/plugins/profile/r"))[0];
        return stat(dir.Join("logs/plugins/profile/r/" + name).c_str(), &temporary) == 0
                   ? gzip->Append("{}")
                   : errors::NotFound(name);
      });
    }
    umask(old_mask);
    before_changing_a_mode = nullptr;
    after_creating_a_file = nullptr;
    ASSERT_TRUE(status.ok()) << status.ToString() << ", chmod failing with " << chmod_error;
    const mode_t owner_only = decides_modes ? 0640 : 0600;
    EXPECT_EQ(temporary.st_mode & 07777, owner_only);
    const mode_t file_mode = decides_modes ? 0640 : chmod_error != 0 ? 0600 : 0666 & ~mask;
    const std::pair<std::string, mode_t> modes[] = {
        {"logs", 0755 & ~mask},
        {"logs/plugins", 0755 & ~mask},
        {"logs/plugins/profile", 0755 & ~mask},
        {"logs/plugins/profile/r", 0755 & ~mask},
        {"logs/plugins/profile/r/h.op_stats.pb", file_mode},
        {"logs/plugins/profile/r/h.trace.json.gz", file_mode},
        {"logs/plugins/profile/r/h.run.claim", owner_only},
    };
    for (const auto& [path, mode] : modes) {
      struct stat info {};
      ASSERT_EQ(stat(dir.Join(path).c_str(), &info), 0) << path;
      EXPECT_EQ(info.st_mode & 07777, mode) << path << " under umask 0" << std::oct << mask;
    }
  }
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
        const Status status = ClaimRunDirectory(dir.path(), "r", "h", &claims[t].emplace_back());
        EXPECT_TRUE(status.ok()) << status.ToString();
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
    ok = ok &&
         SaveGzippedToolData(root, claim.run(), host, "trace.json.gz", [&](ZlibOutputBuffer* gzip) {
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
// finished one's files; one it shares with a live one keeps both claims,
// whichever the run lists first (runs list by name, by hash or newest
// first: the two such runs differ in both the names and the making order).
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
    std::vector<std::string> completed = {};  // the run once a live export ends
    pid_t pid = -1;
    int release = -1;
  };
  Export exports[] = {
      {RunName(0), "h", false, true, {}},  // killed while writing
      {RunName(1), "h", true, true, {}},   // killed before writing
      {RunName(4), "other", false, true, {"h.op_stats.pb", "h.run.claim", "other.run.claim"}},
      {RunName(2),
       "h",
       false,
       false,
       {StartsWith(".h.trace.json.gz.tmp-"), "h.run.claim"},
       {"h.run.claim", "h.trace.json.gz"}},
      {RunName(3), "h", true, false, {"h.run.claim"}, {"h.run.claim", "h.trace.json.gz"}},
      {RunName(6), "a", true, true, {"a.run.claim", "b.run.claim"}},
      {RunName(6),
       "b",
       true,
       false,
       {"a.run.claim", "b.run.claim"},
       {"a.run.claim", "b.run.claim", "b.trace.json.gz"}},
      {RunName(7),
       "a",
       true,
       false,
       {"a.run.claim", "b.run.claim"},
       {"a.run.claim", "a.trace.json.gz", "b.run.claim"}},
      {RunName(7), "b", true, true, {"a.run.claim", "b.run.claim"}},
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
                ElementsAre(RunName(2), RunName(3), RunName(4), RunName(5), RunName(6),
                            RunName(7)));
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
    EXPECT_THAT(testing::ListDirectory(root + "/" + e.run), ElementsAreArray(e.completed))
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
    if (fstat(fd, &locked) != 0 || locked.st_ino != claim_file.st_ino) return 0;
    before_trying_a_lock = nullptr;
    if (write(release, "x", 1) == 1) waitpid(pid, &status, 0);
    return 0;
  };
  RunClaim sweeping;  // another host's export, into another run
  ASSERT_TRUE(ClaimRunDirectory(root, RunName(1), "other", &sweeping).ok());
  before_trying_a_lock = nullptr;
  close(release);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_THAT(testing::ListDirectory(root + "/" + RunName(0)),
              ElementsAre("h.run.claim", "h.trace.json.gz"));
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
      before_trying_a_lock = [](int) {
        testing::allocations_until_failure = 0;
        return 0;
      };
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
    if (fstat(fd, &locked) != 0 || run_files.count(locked.st_ino) == 0) return 0;
    before_trying_a_lock = nullptr;
    if (rename(run_dir.c_str(), (root + "/moved").c_str()) != 0 ||
        symlink(dir.Join("outside").c_str(), run_dir.c_str()) != 0) {
      ADD_FAILURE() << "cannot replace the run by a link";
    }
    return 0;
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
    const bool planted = plant.kind == Plant::kDirectory ? mkdir(path.c_str(), 0755) == 0
                         : plant.kind == Plant::kFile
                             ? testing::WriteTestFile(path, "planted")
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
      {"a linked log directory",
       {{Plant::kLink, "logs", "outside"}},
       "",
       run,
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

// A run moved or replaced after its claim (whoever owns the profile directory
// can) gets no file where its name leads now: saves into the claim fail,
// naming the run, and a file finished meanwhile stays in the claimed
// directory. Saves by name refuse a link there.
TEST(SaveToolDataTest, RunMovedOrReplacedAfterItsClaimGetsNothingElsewhere) {
  const struct {
    const char* replacement;                    // what stands at the run's name after the move
    bool while_writing;                         // the swap happens while the timeline is written
    std::vector<std::string> claimed;           // what the claimed directory holds afterwards
    std::string root = "logs/plugins/profile";  // as the claim names it
  } cases[] = {
      {"link", false, {"h.run.claim"}},
      {"directory", false, {"h.run.claim"}},
      {"nothing", false, {"h.run.claim"}},
      {"directory", true, {"h.run.claim", "h.trace.json.gz"}},
      {"profile directory", true, {"h.run.claim", "h.trace.json.gz"}},
      {"profile directory", true, {"h.run.claim", "h.trace.json.gz"}, "logs/plugins/profile/."},
      {"plugins directory", true, {"h.run.claim", "h.trace.json.gz"}, "logs/plugins//profile"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string root = dir.Join(c.root);
    const std::string profile = dir.Join("logs/plugins/profile");
    const std::string run_dir = profile + "/" + RunName(0);
    const std::string what =
        std::string(c.replacement) + (c.while_writing ? " while writing" : "") + " below " + c.root;
    RunClaim claim;
    ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 &&
                ClaimRunDirectory(root, RunName(0), "h", &claim).ok());
    const std::string_view replacement = c.replacement;
    // What is moved away, and where the claimed directory goes with it.
    const std::string moved = replacement == "plugins directory"   ? dir.Join("logs/plugins")
                              : replacement == "profile directory" ? profile
                                                                   : run_dir;
    const std::string claimed =
        moved == run_dir ? profile + "/moved" : moved + ".old" + run_dir.substr(moved.size());
    const auto swap = [&] {
      if (moved != run_dir) {
        return rename(moved.c_str(), (moved + ".old").c_str()) == 0 &&
               mkdir(moved.c_str(), 0777) == 0;
      }
      if (replacement == "directory") {
        return testing::ReplaceWithAnotherUsersDirectory(run_dir, profile + "/moved");
      }
      if (rename(run_dir.c_str(), (profile + "/moved").c_str()) != 0) return false;
      return replacement != "link" || symlink(dir.Join("outside").c_str(), run_dir.c_str()) == 0;
    };
    ASSERT_TRUE(c.while_writing || swap()) << what;
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    const std::string refused =
        JoinPath(root, RunName(0)) + " was moved or replaced after this export claimed it";
    EXPECT_EQ(SaveGzippedToolData(claim, "h", "trace.json.gz",
                                  [&](ZlibOutputBuffer* gzip) {
                                    if (c.while_writing && !swap()) return errors::Aborted("swap");
                                    return gzip->Append("{}");
                                  })
                  .error_message(),
              refused)
        << what;
    EXPECT_EQ(SaveToolData(claim, "h", response, &out).error_message(), refused) << what;
    EXPECT_THAT(testing::ListDirectory(claimed), ElementsAreArray(c.claimed)) << what;
    EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAre()) << what;
    // Nothing went where the run's name leads now.
    EXPECT_THAT(testing::ListDirectory(moved == run_dir ? run_dir : moved), ElementsAre()) << what;
    if (replacement == "link") {
      const std::string link = run_dir + " is a symbolic link; an export does not write through it";
      EXPECT_EQ(SaveGzippedToolData(root, claim.run(), "h", "trace.json.gz", "{}").error_message(),
                link);
      EXPECT_EQ(SaveToolData(root, claim.run(), "h", response, &out).error_message(), link);
    }
  }
}

// A claimed run is looked for from its log directory, however its whole
// path reads from where the process stands now: a relative log directory
// after the process changed its working directory, a run's path longer than
// the system takes whole.
TEST(SaveToolDataTest, ClaimedRunIsFoundFromItsLogDirectory) {
  for (const bool relative : {true, false}) {
    testing::TempDir dir;
    std::string logdir = relative ? "logs" : dir.path();
    // A log directory of 4,060 characters: its runs' paths are longer than 4,096.
    while (!relative && logdir.size() < 4060) {
      logdir += "/" + std::string(std::min<size_t>(200, 4060 - logdir.size() - 1), 'd');
    }
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    RunClaim claim;
    const Status claimed = ClaimRunDirectory(logdir + "/plugins/profile", "r", "h", &claim);
    ASSERT_EQ(chdir("/"), 0);
    ASSERT_TRUE(claimed.ok()) << claimed.ToString();
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    EXPECT_TRUE(SaveToolData(claim, "h", response, &out).ok()) << relative;
    EXPECT_TRUE(SaveGzippedToolData(claim, "h", "trace.json.gz",
                                    [](ZlibOutputBuffer* gzip) { return gzip->Append("{}"); })
                    .ok())
        << relative;
  }
}

// A file of a killed export's name that is removed and made again between a
// sweep's open and its lock is another writer's: it stays.
TEST(ClaimRunDirectoryTest, SweepKeepsAFileMadeAgainBeforeItsLock) {
  testing::TempDir dir;
  const std::string run_dir = dir.Join(RunName(0));
  const std::string debris = run_dir + "/.h.op_stats.pb.tmp-1-1";
  struct stat old_file {};
  ASSERT_TRUE(mkdir(run_dir.c_str(), 0755) == 0 && testing::WriteTestFile(debris, "old") &&
              testing::WriteTestFile(run_dir + "/keep") && stat(debris.c_str(), &old_file) == 0);
  before_trying_a_lock = [&](int fd) {
    struct stat locked {};
    if (fstat(fd, &locked) != 0 || locked.st_ino != old_file.st_ino) return 0;
    before_trying_a_lock = nullptr;
    EXPECT_TRUE(unlink(debris.c_str()) == 0 && testing::WriteTestFile(debris, "new"));
    return 0;
  };
  RunClaim claim;
  ASSERT_TRUE(ClaimRunDirectory(dir.path(), RunName(1), "h", &claim).ok());
  before_trying_a_lock = nullptr;
  EXPECT_EQ(testing::ReadFileOrEmpty(debris), "new");
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
      {"userrun_3",
       {".h.op_stats.pb.tmp-1-2", "h.run.claim"},
       {".h.op_stats.pb.tmp-1-2", "h.run.claim"}},
      {run.substr(0, 19), {"h.run.claim"}, {"h.run.claim"}},  // no suffix
      {run + "7", {"h.run.claim"}, {"h.run.claim"}},          // a suffix of 7 digits
      {"x" + run, {"h.run.claim"}, {"h.run.claim"}},
      {run + "_x", {"h.run.claim"}, {"h.run.claim"}},
      {run, {".notes.tmp-1-2", "h.run.claim"}, {".notes.tmp-1-2", "h.run.claim"}},
      {run + "_1",
       {".h.notes.txt.tmp-1-2", "h.run.claim"},
       {".h.notes.txt.tmp-1-2", "h.run.claim"}},
      {run + "_2",
       {".h.op_stats.pb.tmp-1-2x", "h.run.claim"},
       {".h.op_stats.pb.tmp-1-2x", "h.run.claim"}},
      {run + "_3",
       {".h:1.op_stats.pb.tmp-1-2", "h.run.claim"},
       {".h:1.op_stats.pb.tmp-1-2", "h.run.claim"}},
      {run + "_4", {"h:1.run.claim"}, {"h:1.run.claim"}},
      {run + "_5", {".run.claim"}, {".run.claim"}},
      {run + "_6", {"h.run.claim", "notes"}, {"h.run.claim", "notes"}},
      {run + "_7", {".h:1.trace.json.gz.tmp-1-2", "h_1.run.claim"}, {}},
      {run + "_8", {".op_stats.pb.tmp-1-2", "run.claim"}, {}},
      {RunName(1) + "_12",
       {".a.b.memory_profile.json.gz.tmp-7-0", "a.b.run.claim", "c.run.claim"},
       {}},
      {"1969_12_31_23_59_59.-1", {"h.run.claim"}, {}},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    ASSERT_EQ(mkdir(dir.Join(c.dir).c_str(), 0755), 0) << c.dir;
    for (const std::string& file : c.files)
      ASSERT_TRUE(testing::WriteTestFile(dir.Join(c.dir + "/" + file)));
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

// What appears at a name between the export's look and its use (the run's
// name before its directory is made, a temporary file's before the file is)
// makes the export take the next name: a file, a link, a link to nowhere.
// Nothing is made where a link leads.
TEST(ClaimRunDirectoryTest, EntryPlantedJustBeforeItsUseIsTaken) {
  const std::string run = RunName(0);
  const struct {
    bool at_run;  // else at the name of the timeline's temporary file
    Plant::Kind kind;
    std::string target;
  } cases[] = {
      {true, Plant::kFile, ""},
      {true, Plant::kLink, "outside"},
      {true, Plant::kLink, "outside/new"},
      {false, Plant::kFile, ""},
      {false, Plant::kLink, "outside/victim"},
      {false, Plant::kLink, "outside/new"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    ASSERT_TRUE(mkdir(dir.Join("outside").c_str(), 0755) == 0 &&
                testing::WriteTestFile(dir.Join("outside/victim"), "victim") &&
                mkdir(dir.Join("profile").c_str(), 0755) == 0);
    std::string planted;  // the path planted below the test's directory
    const auto plant = [&](const std::string& path) {
      if (PlantAll(dir, {{c.kind, path, c.target}})) planted = path;
    };
    if (c.at_run) {
      before_making_a_directory = [&](const char* name) {
        if (name != run) return 0;
        before_making_a_directory = nullptr;
        plant("profile/" + run);
        return 0;
      };
    } else {
      before_creating_a_file = [&](const char* name) {
        if (std::string_view(name).find(".tmp-") == std::string_view::npos) return;
        before_creating_a_file = nullptr;
        plant("profile/" + run + "/" + name);
      };
    }
    RunClaim claim;
    Status status = ClaimRunDirectory(dir.Join("profile"), run, "h", &claim);
    if (status.ok()) {
      status = SaveGzippedToolData(claim, "h", "trace.json.gz",
                                   [](ZlibOutputBuffer* gzip) { return gzip->Append("{}"); });
    }
    before_making_a_directory = nullptr;
    before_creating_a_file = nullptr;
    ASSERT_FALSE(planted.empty()) << c.at_run << " " << c.target;
    EXPECT_TRUE(status.ok()) << planted << ": " << status.ToString();
    EXPECT_EQ(claim.run(), c.at_run ? run + "_1" : run) << planted;
    std::vector<std::string> in_run = {"h.run.claim", "h.trace.json.gz"};
    if (!c.at_run) in_run.push_back(planted.substr(planted.rfind('/') + 1));
    EXPECT_THAT(testing::ListDirectory(dir.Join("profile/" + claim.run())),
                ::testing::UnorderedElementsAreArray(in_run))
        << planted;
    EXPECT_THAT(testing::ListDirectory(dir.Join("outside")), ElementsAre("victim")) << planted;
    EXPECT_EQ(testing::ReadFileOrEmpty(dir.Join("outside/victim")), "victim") << planted;
  }
}

// A directory the export makes is its own whoever the file system makes its
// owner (root where root is squashed, say): the export writes its files
// there. One that another user put at the name between its making and its
// opening is not (its owner is not the one the claim gets): the export moves
// on, and after a fixed number of directories gives up.
TEST(ClaimRunDirectoryTest, RunsMadeUnderAnotherOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "giving entries to another user needs root";
  const std::string run = RunName(0);
  const struct {
    bool files_too;  // new files also get the other owner, as a squashing file system does
    std::string failure;
  } cases[] = {
      {true, ""},
      {false, "Cannot claim run " + run +
                  " of host \"h\" in %root: made 16 run directories and could claim none: each "
                  "was taken, or its claim held by another process, or it changed owner before its "
                  "claim; those left empty were removed; giving up"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string root = dir.Join("profile");
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    int runs_made = 0;
    after_making_a_directory = [&runs_made](int parent, const char* name) {
      ++runs_made;
      EXPECT_EQ(fchownat(parent, name, 4321, 4321, AT_SYMLINK_NOFOLLOW), 0) << name;
    };
    if (c.files_too) after_creating_a_file = [](int fd) { EXPECT_EQ(fchown(fd, 4321, 4321), 0); };
    RunClaim claim;
    Status status = ClaimRunDirectory(root, run, "h", &claim);
    ProfileResponse response;
    response.add_tool_data()->set_name("op_stats.pb");
    std::ostringstream out;
    if (status.ok()) status = SaveToolData(claim, "h", response, &out);
    after_making_a_directory = nullptr;
    after_creating_a_file = nullptr;
    if (c.failure.empty()) {
      EXPECT_TRUE(status.ok()) << status.ToString();
      EXPECT_THAT(testing::ListDirectory(root), ElementsAre(run));
      EXPECT_THAT(testing::ListDirectory(root + "/" + run),
                  ElementsAre("h.op_stats.pb", "h.run.claim"));
    } else {
      EXPECT_EQ(status.error_message(), WithRoot(c.failure, root));
      EXPECT_EQ(status.code(), error::UNAVAILABLE);  // no system error to add to it
      EXPECT_THAT(testing::ListDirectory(root), ElementsAre());
    }
    EXPECT_EQ(runs_made, c.failure.empty() ? 1 : 16);
  }
}

// A file the export has just made has no permission until the export holds
// its lock, so that no other process can lock it first, not even where new
// files get an owner that other processes share. One that may open any file
// (root) still can, or a sweep remove it: the export never waits for such a
// lock, and never takes a file that is gone for its own. A held claim is a
// taken name; a temporary file held or gone is left for another name, a
// fixed number of times. A held file is its holder's to remove (a sweep's);
// once let go, the next export of root's sweeps it, with its run.
TEST(ClaimRunDirectoryTest, NewFileLockedOrRemovedBeforeItsLock) {
  const std::string run = RunName(0);
  enum Meddling {
    kLocked,
    kRemoved,
    kCannotLock,         // for anyone (no lock service)
    kCannotLockNoMemory  // ... and the next allocation fails
  };
  const std::string no_locks = ": No locks available";
  const struct {
    std::string file;  // the files meddled with: names containing this
    Meddling meddling;
    int times;         // how many such files in a row; -1: all
    int left;          // files left to their holder
    std::string claimed;
    std::string failure;  // "%root" stands for the root; empty: the save succeeds
  } cases[] = {
      {".run.claim", kLocked, 1, 1, run + "_1", ""},
      {".run.claim", kLocked, -1, 16, "",
       "Cannot claim run " + run +
           " of host \"h\" in %root: made 16 run directories and could claim none: each was "
           "taken, or its claim held by another process, or it changed owner before its claim; "
           "those left empty were removed; giving up"},
      {".run.claim", kRemoved, 1, 0, run, ""},
      {".run.claim", kCannotLock, 1, 0, "",
       "Cannot claim run " + run + " of host \"h\" in %root: %root/" + run + "/h.run.claim" +
           no_locks},
      {".run.claim", kCannotLockNoMemory, 1, 0, "", "out of memory"},
      {".tmp-", kLocked, 1, 1, run, ""},
      {".tmp-", kLocked, -1, 8, run,
       "%root/" + run +
           "/h.trace.json.gz: each of 8 temporary files made for it was locked or removed by "
           "another process before this export could lock it; giving up"},
      {".tmp-", kRemoved, 1, 0, run, ""},
      {".tmp-", kCannotLock, 1, 0, run, "%root/" + run + "/h.trace.json.gz" + no_locks},
      {".tmp-", kCannotLockNoMemory, 1, 0, run, "out of memory"},
  };
  for (const auto& c : cases) {
    const std::string row = c.file + " " + std::to_string(c.meddling) + " " + std::to_string(c.times);
    testing::TempDir dir;
    const std::string root = dir.Join("profile");
    std::vector<int> holders;
    int left = c.times;
    bool meddle = false;
    before_creating_a_file = [&](const char* name) {
      meddle = left != 0 && std::string_view(name).find(c.file) != std::string_view::npos;
    };
    after_creating_a_file = [&](int fd) {
      if (!meddle) return;
      --left;
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      struct stat info {};
      EXPECT_TRUE(fstat(fd, &info) == 0 && (info.st_mode & 07777) == 0) << row << ": openable";
      if (c.meddling == kCannotLock || c.meddling == kCannotLockNoMemory) {
        before_trying_a_lock = [fd, no_memory = c.meddling == kCannotLockNoMemory](int locked) {
          if (locked != fd) return 0;
          before_trying_a_lock = nullptr;
          if (no_memory) testing::allocations_until_failure = 0;
          return ENOLCK;
        };
      } else if (c.meddling == kLocked) {
        // Only a process that may open any file (root) gets to lock it first.
        fchmod(fd, 0600);
        holders.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        fchmod(fd, 0);
        EXPECT_EQ(flock(holders.back(), LOCK_EX | LOCK_NB), 0) << row;
      } else {
        char target[4096] = {};
        EXPECT_TRUE(readlink(path.c_str(), target, sizeof(target) - 1) > 0 && unlink(target) == 0);
      }
    };
    RunClaim claim;
    Status status;
    try {
      status = ClaimRunDirectory(root, run, "h", &claim);
      if (status.ok()) {
        status = SaveGzippedToolData(claim, "h", "trace.json.gz",
                                     [](ZlibOutputBuffer* gzip) { return gzip->Append("{}"); });
      }
    } catch (const std::bad_alloc&) {
      status = errors::Internal("out of memory");
    }
    before_creating_a_file = nullptr;
    after_creating_a_file = nullptr;
    before_trying_a_lock = nullptr;
    const std::string failure = WithRoot(c.failure, root);
    EXPECT_EQ(status.error_message(), failure) << row;
    EXPECT_EQ(claim.run(), c.claimed) << row;
    // Every file of the kind meddled with, but the claim kept.
    int held = c.file == ".run.claim" && !c.claimed.empty() ? -1 : 0;
    for (const std::string& entry : testing::ListDirectory(root)) {
      for (const std::string& file : testing::ListDirectory(root + "/" + entry)) {
        held += file.find(c.file) != std::string::npos;
      }
    }
    EXPECT_EQ(held, c.left) << row;
    for (const int fd : holders) close(fd);
    // A file left without permission is root's to sweep.
    if (geteuid() != 0) continue;
    {
      RunClaim later;
      EXPECT_TRUE(ClaimRunDirectory(root, RunName(1), "g", &later).ok()) << row;
    }
    std::vector<std::string> runs;
    if (!c.claimed.empty()) runs.push_back(c.claimed);
    EXPECT_THAT(testing::ListDirectory(root), ElementsAreArray(runs)) << row;
    if (c.claimed.empty()) continue;
    std::vector<std::string> files = {"h.run.claim"};
    if (failure.empty()) files.push_back("h.trace.json.gz");
    EXPECT_THAT(testing::ListDirectory(root + "/" + c.claimed), ElementsAreArray(files)) << row;
  }
}

// Only the holder of a claim's lock removes the claim. One that another
// process locked first (a root sweep can) is left to it, also when that
// process removes it and another export of the host claims the run again at
// that name after the export looked: the export takes the next run, and no
// later export shares the other's. A holder that lets go without removing
// it leaves it to the export again, which removes it with its run. A claim
// the export locked and cannot keep is removed while its name still leads
// to it, and a directory of the user's that stood at the run's name stays.
TEST(ClaimRunDirectoryTest, OnlyALockHolderRemovesAClaim) {
  const std::string run = RunName(0);
  enum Meddling {
    kHeld,            // another process locks the claim first and keeps it
    kHeldReclaimed,   // ... then removes it; another export claims the run again
    kHeldLetGo,       // ... then lets go of it while the export moves on
    kHeldRetryFails,  // ... and the export's second try at its lock fails
    kReclaimedFirst,  // removed and claimed again before the export's lock, chmod ignored
    kModeRefused,     // its change to owner-only fails
  };
  const std::string refused =
      "Cannot claim run " + run + " of host \"h\" in %root: %root/" + run + "/h.run.claim: ";
  const struct {
    std::string row;
    bool users_directory;  // an empty directory of the user's stands at the run's name
    Meddling meddling;
    std::string failure;  // "%root" stands for the root; empty: the next run is claimed
  } cases[] = {
      {"held, the run claimed again meanwhile", false, kHeldReclaimed, ""},
      {"held, in the user's directory", true, kHeld, ""},
      {"held and let go", false, kHeldLetGo, ""},
      {"held and let go, in the user's directory", true, kHeldLetGo, ""},
      {"held, the second try at its lock failing", false, kHeldRetryFails, ""},
      {"claimed again before the lock", false, kReclaimedFirst, ""},
      {"mode refused, in the user's directory", true, kModeRefused,
       refused + "Input/output error"},
      {"mode refused, in a run made", false, kModeRefused, refused + "Input/output error"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string root = dir.Join("profile");
    const std::string run_dir = root + "/" + run;
    const std::string claim_path = run_dir + "/h.run.claim";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_TRUE(!c.users_directory || mkdir(run_dir.c_str(), 0755) == 0);
    int holder = -1;
    int other = -1;
    int tries = 0;  // at the claim's lock, by the export
    // Another export of the host claims the run again, the claim removed.
    const auto reclaim = [&] {
      if (other >= 0) return;
      EXPECT_EQ(unlink(claim_path.c_str()), 0) << c.row;
      other = open(claim_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << c.row;
    };
    if (c.meddling == kModeRefused) {
      before_changing_a_mode = [](int) {
        before_changing_a_mode = nullptr;
        return EIO;
      };
    } else if (c.meddling == kReclaimedFirst) {
      before_changing_a_mode = [](int) { return -1; };
      before_trying_a_lock = [&](int) {
        before_trying_a_lock = nullptr;
        reclaim();
        return 0;
      };
    } else {
      after_creating_a_file = [&](int fd) {
        after_creating_a_file = nullptr;
        // Only a process that may open any file (root) gets to lock it first.
        fchmod(fd, 0600);
        holder = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
        fchmod(fd, 0);
        EXPECT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << c.row;
        if (c.meddling != kHeldRetryFails) return;
        before_trying_a_lock = [fd, &tries](int locked) {
          if (locked != fd || ++tries < 2) return 0;
          before_trying_a_lock = nullptr;
          return ENOLCK;
        };
      };
    }
    // What the export does next after its lock failed: remove the claim, or
    // make the next run.
    const auto move_on = [&] {
      if (holder < 0) return;
      if (c.meddling == kHeldReclaimed) reclaim();
      if (c.meddling == kHeldLetGo) close(std::exchange(holder, -1));
    };
    before_removing_an_entry = [&](int, const char*, bool directory) {
      if (!directory) return move_on();
      // Some file systems (FUSE) keep a removed file that is still open, and
      // the run would not be empty.
      for (const std::string& fd : testing::ListDirectory("/proc/self/fd")) {
        if (fd == std::to_string(holder)) continue;
        char target[4096] = {};
        readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof(target) - 1);
        EXPECT_THAT(std::string(target),
                    Not(AllOf(StartsWith(run_dir + "/"), EndsWith(" (deleted)"))))
            << c.row;
      }
    };
    before_making_a_directory = [&](const char*) {
      move_on();
      return 0;
    };
    RunClaim claim;
    const Status status = ClaimRunDirectory(root, run, "h", &claim);
    after_creating_a_file = nullptr;
    before_changing_a_mode = nullptr;
    before_trying_a_lock = nullptr;
    before_removing_an_entry = nullptr;
    before_making_a_directory = nullptr;
    const std::string failure = WithRoot(c.failure, root);
    EXPECT_EQ(status.error_message(), failure) << c.row;
    EXPECT_EQ(claim.run(), failure.empty() ? run + "_1" : "") << c.row;
    EXPECT_EQ(other >= 0, c.meddling == kHeldReclaimed || c.meddling == kReclaimedFirst) << c.row;
    EXPECT_EQ(tries, c.meddling == kHeldRetryFails ? 2 : 0) << c.row;
    struct stat at_name {};
    const bool run_stays = stat(run_dir.c_str(), &at_name) == 0;
    if (holder >= 0 || other >= 0) {
      // The claim at the name is still the one its holder, or the other
      // export, holds.
      struct stat held {};
      EXPECT_TRUE(stat(claim_path.c_str(), &at_name) == 0 &&
                  fstat(other >= 0 ? other : holder, &held) == 0 &&
                  at_name.st_ino == held.st_ino)
          << c.row;
      RunClaim later;
      EXPECT_TRUE(ClaimRunDirectory(root, run, "h", &later).ok()) << c.row;
      EXPECT_EQ(later.run(), run + "_2") << c.row;
    } else {
      EXPECT_EQ(run_stays, c.users_directory) << c.row;
      EXPECT_TRUE(!run_stays || testing::ListDirectory(run_dir).empty()) << c.row;
    }
    for (const int fd : {holder, other}) {
      if (fd >= 0) close(fd);
    }
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
  RunClaim held;
  ASSERT_TRUE(ClaimRunDirectory(root, RunName(3), "h", &held).ok());
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"claim and release",
       [&] {
         RunClaim claim;
         (void)ClaimRunDirectory(root, RunName(2), "h", &claim);
       }},
      {"gzip save",
       [&] { (void)SaveGzippedToolData(root, RunName(1), "h", "trace.json.gz", "{}"); }},
      {"plain save",
       [&] {
         std::ostringstream out;
         (void)SaveToolData(root, RunName(1), "h", response, &out);
       }},
      {"gzip save into a claim",
       [&] {
         (void)SaveGzippedToolData(held, "h", "trace.json.gz",
                                   [](ZlibOutputBuffer* gzip) { return gzip->Append("{}"); });
       }},
      {"plain save into a claim",
       [&] {
         std::ostringstream out;
         (void)SaveToolData(held, "h", response, &out);
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
