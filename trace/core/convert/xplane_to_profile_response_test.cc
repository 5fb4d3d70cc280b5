#include "trace/core/convert/xplane_to_profile_response.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/address_space.h"
#include "testing/child_process.h"
#include "testing/profile_files.h"
#include "testing/proto_bytes.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/xplane_to_memory_profile.h"
#include "trace/core/protobuf/overview_page.pb.h"
#include "trace/core/rpc/client/save_profile.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::XSpaceFixture;

// A space of one TraceMe; with `step`, it marks step 3.
XSpace SpaceWithOneEvent(bool step = false) {
  XSpaceFixture fixture(1000);
  using Args = std::vector<std::pair<std::string, testing::StatValue>>;
  fixture.AddTraceMe(
      7, "train", 1010, 1100,
      step ? Args{{"group_id", int64_t{3}}, {"step_name", std::string("train")}} : Args{});
  return fixture.space();
}

// `events` TraceMes on four threads.
void AddSteps(int events, XSpaceFixture* fixture) {
  for (int i = 0; i < events; ++i) {
    const uint64_t start_ns = 1000 + 10 * static_cast<uint64_t>(i);
    fixture->AddTraceMe(10 + i % 4, "step " + std::to_string(i), start_ns, start_ns + 5,
                        {{"iteration", int64_t{i}}, {"phase", std::string("train\n")}});
  }
}

ProfileRequest Request(const std::string& root, std::string_view tool) {
  ProfileRequest request;
  request.set_repository_root(root);
  request.set_session_id("run");
  request.set_host_name("host");
  request.add_tools(std::string(tool));
  return request;
}

// A killed export's temporary files are swept by their names: the file of
// every tool must be one the sweep knows.
TEST(ConvertXSpaceToProfileResponseTest, EveryToolFileIsOneTheSweepKnows) {
  const std::string files[] = {
      GetToolFileName(std::string(kTraceViewerToolName)),
      GetToolFileName(std::string(kMemoryProfileToolName)),
      GetToolFileName(std::string(kOverviewPageToolName)),
      GetToolFileName(std::string(kOpStatsToolName)),
      GetToolFileName(std::string(kKernelStatsToolName)),
      std::string(kXPlaneToolName),  // its data are named by the tool itself
  };
  for (const std::string& file : files) {
    EXPECT_NE(std::find(std::begin(kToolFileNames), std::end(kToolFileNames), file),
              std::end(kToolFileNames))
        << file;
  }
}

TEST(ConvertXSpaceToProfileResponseTest, OverviewPageOnlyForRunsWithSteps) {
  for (const bool step : {true, false}) {
    TempDir dir;
    ProfileResponse response;
    ASSERT_TRUE(ConvertXSpaceToProfileResponse(SpaceWithOneEvent(step),
                                               Request(dir.Join("root"), kOverviewPageToolName),
                                               &response)
                    .ok());
    ASSERT_EQ(response.tool_data_size(), step ? 1 : 0);
    if (!step) continue;
    EXPECT_EQ(response.tool_data(0).name(), "overview_page.pb");
    OverviewPage page;
    ASSERT_TRUE(page.ParseFromString(response.tool_data(0).data()));
    EXPECT_EQ(page.overview_info().step_records(0).step_id(), 3u);
  }
}

// Events: the gzip file; no events: no file and the flag; a regular file
// where the run directory should go: FAILED_PRECONDITION and nothing written.
TEST(ConvertXSpaceToProfileResponseTest, TraceViewerFileOrFlagOrFailure) {
  TempDir dir;
  XSpaceFixture fixture(1000);
  fixture.HostPlane();     // a process without threads
  fixture.DevicePlane(0);  // and another one
  ProfileResponse response;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(
                  fixture.space(), Request(dir.Join("root"), kTraceViewerToolName), &response)
                  .ok());
  EXPECT_TRUE(response.no_trace_events());
  EXPECT_EQ(response.tool_data_size(), 0);
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());

  AddSteps(2, &fixture);
  ProfileResponse written;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(
                  fixture.space(), Request(dir.Join("root"), kTraceViewerToolName), &written)
                  .ok());
  EXPECT_FALSE(written.no_trace_events());
  std::string json;
  ASSERT_TRUE(
      testing::Gunzip(testing::ReadFileOrEmpty(dir.Join("root/run/host.trace.json.gz")), &json));
  EXPECT_NE(json.find(R"("name":"step 1")"), std::string::npos) << json;

  TempDir other;
  ASSERT_TRUE(testing::WriteTestFile(other.Join("root")));
  const Status status = ConvertXSpaceToProfileResponse(
      SpaceWithOneEvent(), Request(other.Join("root"), kTraceViewerToolName), &response);
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_THAT(ListDirectory(other.path()), ElementsAre("root"));
}

// `count` allocations of 64 bytes by allocator "bfc", one per microsecond.
void AddMemoryAllocations(int count, XSpaceFixture* fixture) {
  for (int i = 0; i < count; ++i) {
    const uint64_t start_ns = 1000 + 1000 * static_cast<uint64_t>(i);
    fixture->AddTraceMe(7, "MemoryAllocation", start_ns, start_ns,
                        {{"allocator_name", std::string("bfc")},
                         {"bytes_allocated", int64_t{64} * (i + 1)},
                         {"allocation_bytes", int64_t{64}},
                         {"addr", int64_t{4096} * i}});
  }
}

// Converts a large space for the tool PROFILE_TOOL (the trace viewer when
// unset) with little address space left to the process.
ZENTRIK_CHILD_SCENARIO(ToolOutOfMemory) {
  const char* tool = getenv("PROFILE_TOOL");
  const bool memory = tool != nullptr && tool == kMemoryProfileToolName;
  // Kept whole, so that the conversion finds no freed memory to reuse.
  XSpaceFixture fixture(1000);
  if (memory) {
    AddMemoryAllocations(300000, &fixture);
  } else {
    AddSteps(300000, &fixture);
  }
  // Far less than the data of 300000 events take.
  if (!testing::LimitAddressSpaceToCurrentPlus(8 << 20)) return 3;
  ProfileResponse response;
  const Status status = ConvertXSpaceToProfileResponse(
      fixture.space(),
      Request(getenv("PROFILE_ROOT"), memory ? kMemoryProfileToolName : kTraceViewerToolName),
      &response);
  printf("%d %s\n", static_cast<int>(status.code()), status.error_message().c_str());
  return 0;
}

TEST(ConvertXSpaceToProfileResponseTest, RunningOutOfMemoryIsAFailureNotAnException) {
  if (testing::kSanitizedAllocator) GTEST_SKIP() << "exhaustion is not std::bad_alloc here";
  const struct {
    std::string_view tool;
    std::string out;
  } cases[] = {
      {kTraceViewerToolName, "8 Out of memory while converting the trace viewer's data\n"},
      {kMemoryProfileToolName, "8 Out of memory while converting the memory profile's data\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const testing::ChildResult child = testing::RunScenario(
        "ToolOutOfMemory",
        {{"PROFILE_ROOT", dir.Join("root")}, {"PROFILE_TOOL", std::string(c.tool)}});
    ASSERT_EQ(child.exit_code, 0) << c.tool << " signal " << child.term_signal << child.err;
    EXPECT_EQ(child.out, c.out);
    EXPECT_THAT(ListDirectory(dir.path()), IsEmpty()) << c.tool;
  }
}

// The memory profile goes into its gzip file, an empty text when the space
// has no host plane; a regular file where the run directory should go is
// FAILED_PRECONDITION and nothing is written.
TEST(ConvertXSpaceToProfileResponseTest, MemoryProfileFileOrFailure) {
  XSpaceFixture with_memory(1000);
  AddMemoryAllocations(2, &with_memory);
  std::string memory_json;
  ASSERT_TRUE(ConvertXSpaceToMemoryProfileJson(with_memory.space(), &memory_json).ok());
  ASSERT_NE(memory_json.find(R"("memoryIds":["bfc"])"), std::string::npos) << memory_json;
  const struct {
    const char* name;
    XSpace space;
    std::string json;
  } cases[] = {
      {"memory events", with_memory.space(), memory_json},
      {"no host plane: an empty text", XSpace(), ""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ProfileResponse response;
    ASSERT_TRUE(ConvertXSpaceToProfileResponse(
                    c.space, Request(dir.Join("root"), kMemoryProfileToolName), &response)
                    .ok())
        << c.name;
    EXPECT_EQ(response.tool_data_size(), 0) << c.name;
    ASSERT_THAT(ListDirectory(dir.Join("root/run")), ElementsAre("host.memory_profile.json.gz"))
        << c.name;
    std::string json = "not read";
    ASSERT_TRUE(testing::Gunzip(
        testing::ReadFileOrEmpty(dir.Join("root/run/host.memory_profile.json.gz")), &json))
        << c.name;
    EXPECT_EQ(json, c.json) << c.name;
  }

  TempDir dir;
  ASSERT_TRUE(testing::WriteTestFile(dir.Join("root")));
  ProfileResponse response;
  const Status status = ConvertXSpaceToProfileResponse(
      with_memory.space(), Request(dir.Join("root"), kMemoryProfileToolName), &response);
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("root"));
}

// The space itself goes first, once, whatever the order of the request;
// unknown tools are skipped; no tools do nothing.
TEST(ConvertXSpaceToProfileResponseTest, XPlaneToolGivesTheSpaceFirst) {
  TempDir dir;
  const XSpace space = SpaceWithOneEvent(/*step=*/true);
  ProfileRequest request = Request(dir.Join("root"), kOverviewPageToolName);
  for (std::string_view tool : {kOpStatsToolName, kKernelStatsToolName, kXPlaneToolName,
                                kXPlaneToolName, std::string_view("unknown_tool")}) {
    request.add_tools(std::string(tool));
  }
  ProfileResponse response;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(space, request, &response).ok());
  std::vector<std::string> names;
  for (const ProfileToolData& data : response.tool_data()) names.push_back(data.name());
  ASSERT_THAT(names,
              ElementsAre("xplane.pb", "overview_page.pb", "op_stats.pb", "kernel_stats.pb"));
  EXPECT_TRUE(response.tool_data(0).data() == space.SerializeAsString());

  request.clear_tools();
  ProfileResponse none;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(space, request, &none).ok());
  EXPECT_EQ(none.ByteSizeLong(), 0u);
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

// ---- Golden bytes of the analysis files ----

constexpr char kNoCounter[] = "ff ff ff ff ff ff ff ff ff 01";  // the varint of 2^64 - 1
constexpr char kNoFigure[] = "00 00 00 00 00 00 f0 43";         // the double 2^64
constexpr char kOne[] = "00 00 00 00 00 00 f0 3f";              // the double 1.0

// Fields `first` to `last` of wire type `wire` (0 varint, 1 double), each
// holding `value`: their tags and values as hex.
std::string Repeated(int first, int last, int wire, const std::string& value) {
  std::string hex;
  for (int field = first; field <= last; ++field) {
    const int key = field << 3 | wire;
    char tag[16];
    if (key < 0x80) {
      snprintf(tag, sizeof(tag), "%02x", key);
    } else {
      snprintf(tag, sizeof(tag), "%02x %02x", (key & 0x7f) | 0x80, key >> 7);
    }
    hex += (hex.empty() ? "" : " ") + std::string(tag) + " " + value;
  }
  return hex;
}

// Where two long hex texts part: the byte offset and what follows there.
std::string DifferenceAt(const std::string& got, const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  if (at == got.size() && at == want.size()) return "";
  return "\nfirst difference at byte " + std::to_string(at / 3) + ": got \"" +
         got.substr(at - at % 3, 30) + "\", want \"" + want.substr(at - at % 3, 30) + "\"";
}

// A step of 90 ns on one host thread holds the framework op mm:MatMul of
// 70 ns, whose kernel "gemm" runs 30 ns on device 0 without counters read.
XSpace SpaceOfOneStep() {
  XSpaceFixture fixture(1000);
  fixture.AddTraceMe(7, "train", 1010, 1100,
                     {{"group_id", int64_t{3}}, {"step_name", std::string("train")}});
  fixture.AddTraceMe(7, "mm:MatMul", 1020, 1090, {{"group_id", int64_t{3}}});
  testing::KernelSpec kernel;
  kernel.op_fullname = "mm:MatMul";
  kernel.kernel_name = "gemm(int)";
  kernel.launch_start_ns = 1030;
  kernel.launch_end_ns = 1040;
  kernel.start_ns = 1050;
  kernel.end_ns = 1080;
  testing::KernelEvents events = fixture.AddKernel(kernel);
  events.kernel.AddStatValue(*fixture.DevicePlane(0).GetOrCreateStatMetadata("group_id"),
                             int64_t{3});
  return fixture.space();
}

// The bytes of the analysis files, read field by field: every figure of
// unread counters is 2^64, every unread counter 2^64 - 1; the kernel's time
// (30 ns) is its only known counter.
TEST(ConvertXSpaceToProfileResponseTest, AnalysisFilesGoldenBytes) {
  const std::string no = kNoCounter;
  // PmuInfo of the kernel: averaged counters (field14 30.0), the unknown
  // device model, figures but the estimated cycles (0), count 1.
  const std::string kernel_pmu = "12 91 01 " + Repeated(1, 13, 1, kNoFigure) +
                                 " 71 00 00 00 00 00 00 3e 40 " + Repeated(15, 16, 1, kNoFigure) +
                                 " 1a 0b 08 " + no + " 22 75 " + Repeated(2, 14, 1, kNoFigure) +
                                 " 28 01";
  // PmuInfo without any counter: no device facts, every figure unknown.
  const std::string unread_pmu = "12 91 01 " + Repeated(1, 16, 1, kNoFigure) + " 1a 00 22 7e " +
                                 Repeated(1, 14, 1, kNoFigure) + " 28 01";
  // Records: rank, side, type, name, 1 occurrence, four times in us, the
  // side's two fractions, both counter sets.
  auto op_record = [&](const char* rank, bool device) {
    return device ? "0a 88 05 08 " + std::string(rank) +
                        " 12 06 44 65 76 69 63 65 1a 06 4d 61 74 4d 75 6c 22 02 6d 6d 28 01 " +
                        Repeated(6, 9, 1, "b8 1e 85 eb 51 b8 9e 3f") + " " +
                        Repeated(10, 11, 1, kOne) + " aa 01 9a 02 " + kernel_pmu + " b2 01 98 02 " +
                        unread_pmu + " "
                  : "0a 84 05 08 " + std::string(rank) +
                        " 12 04 48 6f 73 74 1a 06 4d 61 74 4d 75 6c 22 02 6d 6d 28 01 " +
                        Repeated(6, 9, 1, "ec 51 b8 1e 85 eb b1 3f") + " " +
                        Repeated(12, 13, 1, kOne) + " aa 01 98 02 " + unread_pmu + " b2 01 98 02 " +
                        unread_pmu + " ";
  };
  const std::string device_idle =
      "0a 31 08 02 12 06 44 65 76 69 63 65 1a 04 49 44 4c 45 22 04 49 44 4c 45 59 " +
      std::string(kOne) + " aa 01 04 22 00 28 01 b2 01 08 12 00 1a 00 22 00 28 01 ";
  const std::string host_idle =
      "0a 29 08 04 12 04 48 6f 73 74 1a 04 49 44 4c 45 22 04 49 44 4c 45 69 " + std::string(kOne) +
      " aa 01 04 22 00 28 01 b2 01 02 28 01 ";
  // The counters of the step: unread but the kernel's 30 ns.
  const std::string step_counters = "0a a8 01 " + Repeated(1, 13, 0, no) + " 70 1e " +
                                    Repeated(15, 16, 0, no) + " 1a 0b 08 " + no;
  // Stats of one step: total, mean, max and the step (3), as ps.
  auto one_step = [](const char* ps, const char* mean) {
    return "08 " + std::string(ps) + " 11 00 00 00 00 00 " + mean + " 18 " + ps + " 20 03";
  };
  const std::string no_step = "20 " + no;

  const struct {
    std::string_view tool;
    std::string file, hex;
  } cases[] = {
      {kKernelStatsToolName, "kernel_stats.pb",
       "0a af 02 0a 04 67 65 6d 6d 38 1e 40 1e 48 1e 62 02 6d 6d 68 01 7a 9a 02 " + kernel_pmu},
      {kOpStatsToolName, "op_stats.pb",
       "22 f0 0a " + op_record("01", true) + device_idle + op_record("03", false) + host_idle +
           "2a 92 0a " + op_record("01", true) + op_record("02", false) + "32 03 5a 52 41"},
      // Step 3 of 90000 ps from 1010000 ps, kernel launch latency 30000 ps,
      // launches of 70000 ps, device work of 30000 ps, no batch size; the
      // statistics of one step, idle 60000 ps; the run's counters with
      // unknown figures and the LT cycles unknown, so not valid.
      {kOverviewPageToolName, "overview_page.pb",
       "4a ac 06 0a 8c 02 08 03 10 90 bf 05 18 d0 d2 3d 28 b0 ea 01 32 0e 08 f0 a2 04 10 f0 a2 04 "
       "18 01 20 f0 a2 04 3a 0e 08 b0 ea 01 10 b0 ea 01 18 01 20 b0 ea 01 " +
           Repeated(9, 11, 0, no) + " 62 ba 01 " + step_counters + " 28 01 " +
           "12 e6 01 0a 2e 09 00 00 00 00 00 f9 f5 40 10 90 bf 05 18 90 bf 05 21 00 00 00 00 00 "
           "f9 f5 40 " +
           Repeated(6, 10, 0, "90 bf 05") + " 11 00 00 00 00 00 00 f0 bf 1a 22 0a 13 " +
           one_step("f0 a2 04", "17 f1 40") + " 12 0b " + no_step + " 22 22 0a 13 " +
           one_step("b0 ea 01", "4c dd 40") + " 12 0b " + no_step + " 32 0b " + no_step +
           " 3a 13 " + one_step("b0 ea 01", "4c dd 40") + " 42 13 " +
           one_step("e0 d4 03", "4c ed 40") + " 4a 0e 08 01 12 0a " + no +
           " 52 1c 08 f0 a2 04 10 03 20 " + no + " 30 " + no + " 1a b1 02 " + step_counters +
           " 22 75 " + Repeated(2, 14, 1, kNoFigure) + " 28 01"},
  };
  const XSpace space = SpaceOfOneStep();
  for (const auto& c : cases) {
    TempDir dir;
    ProfileResponse response;
    ASSERT_TRUE(
        ConvertXSpaceToProfileResponse(space, Request(dir.Join("root"), c.tool), &response).ok());
    ASSERT_EQ(response.tool_data_size(), 1) << c.tool;
    EXPECT_EQ(response.tool_data(0).name(), c.file);
    const std::string hex = testing::ToHex(response.tool_data(0).data());
    EXPECT_EQ(hex, c.hex) << c.tool << DifferenceAt(hex, c.hex);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
