#include "trace/core/lib/tracer.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/platform/env.h"
#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/export_to_tensorboard.h"
#include "trace/core/convert/host_kernel_pmu.h"
#include "trace/core/utils/xspace_wire.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::ReadFileOrEmpty;

// The files of the one run below `logdir`: name and contents.
std::vector<std::pair<std::string, std::string>> RunFiles(const std::string& logdir) {
  const std::string profile_dir = logdir + "/plugins/profile/";
  const std::vector<std::string> runs = ListDirectory(profile_dir);
  EXPECT_EQ(runs.size(), 1u) << logdir;
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : runs.empty() ? runs : ListDirectory(profile_dir + runs[0])) {
    files.emplace_back(name, ReadFileOrEmpty(profile_dir + runs[0] + "/" + name));
  }
  return files;
}

// Stop with a log directory exports the space it collected; Stop into a
// string hands out its bytes, which ExportToTensorboard turns into the very
// same files. The trace file is gzip with zlib's default settings.
TEST(TracerTest, ExportToTensorboardWritesWhatStopWould) {
  testing::XSpaceFixture fixture(1000);
  fixture.AddTraceMe(7, "train", 1010, 1500,
                     {{"group_id", int64_t{3}}, {"step_name", std::string("train")}});
  fixture.AddTraceMe(7, "dense:MatMul", 1020, 1400, {{"flops", int64_t{12}}});
  testing::KernelSpec kernel;
  kernel.annotation = "dense:MatMul";
  kernel.launch_start_ns = 1030, kernel.launch_end_ns = 1040;
  kernel.start_ns = 1050, kernel.end_ns = 1300;
  fixture.AddKernel(kernel);
  XSpace space = fixture.space();
  FillHostKernelPmuData(&space);
  std::string bytes;
  ASSERT_TRUE(SerializeXSpace(space, &bytes));

  testing::TempDir dir;
  ASSERT_TRUE(ExportXSpaceToTensorBoard(space, dir.Join("stop")).ok());
  ASSERT_TRUE(ExportToTensorboard(bytes, dir.Join("export")));
  const auto stopped = RunFiles(dir.Join("stop")), exported = RunFiles(dir.Join("export"));
  ASSERT_EQ(stopped.size(), 6u);
  ASSERT_EQ(exported.size(), 6u);
  for (size_t i = 0; i < stopped.size(); ++i) {
    EXPECT_EQ(exported[i].first, stopped[i].first);
    EXPECT_TRUE(exported[i].second == stopped[i].second) << stopped[i].first;
  }
  ASSERT_EQ(stopped[5].first, Env::Default()->GetHostName() + ".trace.json.gz");
  const std::string& trace_file = stopped[5].second;
  std::string text;
  ASSERT_TRUE(testing::Gunzip(trace_file, &text));
  EXPECT_NE(text.find("\"name\":\"kernel\""), std::string::npos) << text;
  EXPECT_TRUE(trace_file == testing::GzipInOneCall(text));
}

// Exports ZENTRIK_TEST_EVENTS host events into ZENTRIK_TEST_LOGDIR on a disk where no file may
// grow, as on a full one; exits 0 when the export failed. Standard error, a file that may not grow
// either, goes through a pipe meanwhile. The same export made by the internal call, whose log
// lines are dropped, then prints its status: the reason the public call does not tell.
ZENTRIK_CHILD_SCENARIO(ExportOntoAFullDisk) {
  const int events = std::atoi(std::getenv("ZENTRIK_TEST_EVENTS"));
  testing::XSpaceFixture fixture(1000);
  for (int i = 0; i < events; ++i) {
    // Names that repeat rarely, so the timeline compresses to more than a file buffers.
    const uint64_t start = 1000 + 10 * static_cast<uint64_t>(i);
    fixture.AddTraceMe(7, "op" + std::to_string(i * 7919 % 100003), start, start + 5);
  }
  std::string bytes;
  if (!SerializeXSpace(fixture.space(), &bytes)) return 2;
  int log_pipe[2];
  rlimit limit{};
  if (pipe(log_pipe) != 0 || getrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(log_pipe[1], STDERR_FILENO);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit no_growth = {0, limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &no_growth);
  const std::string logdir = std::getenv("ZENTRIK_TEST_LOGDIR");
  const bool exported = ExportToTensorboard(bytes, logdir);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDERR_FILENO);
  close(null_fd);
  const Status status = ExportXSpaceToTensorBoard(fixture.space(), logdir);
  setrlimit(RLIMIT_FSIZE, &limit);
  dup2(saved_stderr, STDERR_FILENO);
  printf("%s", status.ToString().c_str());
  close(log_pipe[1]);
  char chunk[4096];
  for (ssize_t n; (n = read(log_pipe[0], chunk, sizeof(chunk))) > 0;) {
    if (write(STDERR_FILENO, chunk, static_cast<size_t>(n)) != n) return 4;
  }
  return exported ? 1 : 0;
}

// An export onto a full disk logs its one fixed line, whichever file failed first, and not why:
// only the internal call's status tells. A compressed stream that a failed write left unclosed
// adds the buffer's warning, logged as the stream is dropped, before the export returns.
TEST(TracerTest, ExportOntoAFullDiskLogsItsLineAndWarnsOfDataLoss) {
  const struct {
    const char* row;
    const char* events;
    bool dropped;  // a stream left unclosed
  } rows[] = {
      {"no events: the small memory profile fails as its file closes", "0", false},
      {"a large timeline: a write of its compressed stream fails", "20000", true},
  };
  for (const auto& row : rows) {
    testing::TempDir dir;
    const testing::ChildResult child = testing::RunScenario(
        "ExportOntoAFullDisk", {{"ZENTRIK_TEST_EVENTS", row.events},
                                {"ZENTRIK_TEST_LOGDIR", dir.path()},
                                {"ZENTRIK_CPP_MIN_LOG_LEVEL", std::nullopt}});  // warnings only
    ASSERT_EQ(child.exit_code, 0) << row.row << "\n" << child.err;
    std::vector<std::string> expected = {"WARNING Export xspace data to tensorboard failed"};
    if (row.dropped) {
      expected.insert(expected.begin(),
                      "WARNING ZlibOutputBuffer::Close() not called. Possible data loss");
    }
    // Every line of every source, in the order logged.
    EXPECT_EQ(testing::LogLinesFrom(child.err, ""), expected) << row.row << "\n" << child.err;
    // Matched piece by piece: the directory may hold characters a pattern reads.
    EXPECT_THAT(child.out, ::testing::AllOf(::testing::StartsWith("Unknown: " + dir.path() +
                                                                  "/plugins/profile/"),
                                            ::testing::EndsWith(": File too large")))
        << row.row;
  }
}

// A trace of about 500 KiB on one thread: random names and ids, and payloads
// that come back every 97 events, some 20 KiB later, which a 16 KiB window
// no longer reaches.
XSpace LargeTraceSpace() {
  std::mt19937_64 random(17);
  const auto random_text = [&random](size_t length) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::string text(length, ' ');
    for (char& c : text) c = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
    return text;
  };
  std::vector<std::string> payloads(97);
  for (std::string& payload : payloads) payload = random_text(48);
  testing::XSpaceFixture fixture(1000);
  uint64_t start = 1000;
  for (int i = 0; i < 2500; ++i) {
    start += 1 + random() % 5000;
    fixture.AddTraceMe(1, "op_" + random_text(6), start, start + random() % 4000,
                       {{"payload", payloads[(i * 7) % payloads.size()]},
                        {"id", static_cast<int64_t>(random() >> 1)},
                        {"ratio", static_cast<double>(random() % 100000) / 7.0}});
  }
  return fixture.space();
}

// The trace file holds exactly what zlib writes with level 6, a 32 KiB window,
// memory level 9, the default strategy, no flush before the end and a gzip
// frame. The trace is large enough (beyond the 256 KiB the writer buffers)
// that each other setting gives other bytes, as the table checks first.
TEST(TracerTest, TraceFileIsGzipWithTheDefaultDeflateSettings) {
  const XSpace space = LargeTraceSpace();
  testing::TempDir dir;
  ASSERT_TRUE(ExportXSpaceToTensorBoard(space, dir.Join("logs")).ok());
  std::string trace_file;
  for (const auto& [name, contents] : RunFiles(dir.Join("logs"))) {
    if (name == Env::Default()->GetHostName() + ".trace.json.gz") trace_file = contents;
  }
  std::string text;
  ASSERT_TRUE(testing::Gunzip(trace_file, &text));
  ASSERT_GT(text.size(), size_t{400} << 10);

  const std::string expected = testing::GzipInOneCall(text);
  ASSERT_FALSE(expected.empty());
  const struct {
    const char* row;
    testing::DeflateSettings settings;
  } others[] = {
      {"level 5", {5}},
      {"level 7", {7}},
      {"level 9", {9}},
      {"level 1", {1}},
      {"16 KiB window", {-1, 30}},
      {"zlib frame", {-1, 15}},
      {"no frame", {-1, -15}},
      {"memory level 8", {-1, 31, 8}},
      {"filtered strategy", {-1, 31, 9, 1}},
      {"Huffman only", {-1, 31, 9, 2}},
      {"run-length strategy", {-1, 31, 9, 3}},
      {"fixed codes", {-1, 31, 9, 4}},
      {"partial flush", {-1, 31, 9, 0, 1}},
      {"sync flush", {-1, 31, 9, 0, 2}},
      {"full flush", {-1, 31, 9, 0, 3}},
  };
  for (const auto& other : others) {
    const std::string bytes = testing::GzipInOneCall(text, other.settings);
    ASSERT_FALSE(bytes.empty()) << other.row;
    EXPECT_FALSE(bytes == expected) << "the trace does not show the setting: " << other.row;
  }
  EXPECT_EQ(trace_file.size(), expected.size());
  EXPECT_TRUE(trace_file == expected);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
