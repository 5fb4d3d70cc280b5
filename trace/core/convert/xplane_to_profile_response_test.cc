#include "trace/core/convert/xplane_to_profile_response.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/address_space.h"
#include "testing/child_process.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/xplane_to_memory_profile.h"
#include "trace/core/protobuf/overview_page.pb.h"

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

}  // namespace
}  // namespace trace
}  // namespace zentrik
