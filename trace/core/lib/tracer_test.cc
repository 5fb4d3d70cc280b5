#include "trace/core/lib/tracer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/platform/env.h"
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

}  // namespace
}  // namespace trace
}  // namespace zentrik
