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
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/overview_page.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::zentrik::testing::KernelSpec;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::TraceMeSpec;
using ::zentrik::testing::XSpaceFixture;

// A space of one TraceMe; with `step`, it marks step 3.
XSpace SpaceWithOneEvent(bool step = false) {
  XSpaceFixture fixture(1000);
  TraceMeSpec event;
  event.thread_id = 7;
  event.name = "train";
  event.start_ns = 1010;
  event.end_ns = 1100;
  if (step) event.args = {{"group_id", int64_t{3}}, {"step_name", std::string("train")}};
  fixture.AddTraceMe(event);
  return fixture.space();
}

ProfileRequest Request(const std::string& root, std::initializer_list<std::string_view> tools) {
  ProfileRequest request;
  request.set_repository_root(root);
  request.set_session_id("run");
  request.set_host_name("host");
  for (std::string_view tool : tools) request.add_tools(std::string(tool));
  return request;
}

TEST(ConvertXSpaceToProfileResponseTest, OverviewPageOnlyForRunsWithSteps) {
  for (const bool step : {true, false}) {
    TempDir dir;
    ProfileResponse response;
    ASSERT_TRUE(ConvertXSpaceToProfileResponse(SpaceWithOneEvent(step),
                                               Request(dir.Join("root"), {kOverviewPageToolName}),
                                               &response)
                    .ok());
    ASSERT_EQ(response.tool_data_size(), step ? 1 : 0);
    if (!step) continue;
    EXPECT_EQ(response.tool_data(0).name(), "overview_page.pb");
    OverviewPage page;
    ASSERT_TRUE(page.ParseFromString(response.tool_data(0).data()));
    ASSERT_EQ(page.overview_info().step_records_size(), 1);
    EXPECT_EQ(page.overview_info().step_records(0).step_id(), 3u);
  }
}

// `events` TraceMes on four threads, and from `kernels` on, every other one
// launching a kernel with counters.
XSpaceFixture* AddEvents(int events, int kernels, XSpaceFixture* fixture) {
  for (int i = 0; i < events; ++i) {
    const uint64_t start_ns = 1000 + 10 * static_cast<uint64_t>(i);
    fixture->AddTraceMe(10 + i % 4, "step " + std::to_string(i), start_ns, start_ns + 5,
                        {{"iteration", int64_t{i}}, {"phase", std::string("train\n")}});
    if (i < kernels || i % 2 != 0) continue;
    KernelSpec kernel;
    kernel.thread_id = 10 + i % 4;
    kernel.correlation_id = i;
    kernel.launch_start_ns = start_ns;
    kernel.launch_end_ns = start_ns + 5;
    kernel.start_ns = start_ns + 10;
    kernel.end_ns = start_ns + 110;
    kernel.counters = testing::AllUnknownPmuData();
    kernel.counters->set_lt_cycles(6400 * i);
    kernel.counters->set_field14(100 + i);
    fixture->AddKernel(kernel);
  }
  return fixture;
}

TEST(ConvertXSpaceToProfileResponseTest, TraceViewerIsStreamedIntoItsGzipFile) {
  TempDir dir;
  XSpaceFixture fixture(1000);
  // Large enough for several pieces of the stream.
  const XSpace& space = AddEvents(30000, 29872, &fixture)->space();
  ProfileResponse response;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(
                  space, Request(dir.Join("root"), {kTraceViewerToolName}), &response)
                  .ok());
  EXPECT_FALSE(response.no_trace_events());
  EXPECT_EQ(response.tool_data_size(), 0);
  ASSERT_THAT(ListDirectory(dir.Join("root/run")), ElementsAre("host.trace.json.gz"));
  std::string json;
  ASSERT_TRUE(
      testing::Gunzip(testing::ReadFileOrEmpty(dir.Join("root/run/host.trace.json.gz")), &json));
  Trace trace;
  ConvertXSpaceToTraceEvents(space, &trace);
  ASSERT_GT(json.size(), 2 * kTraceJsonChunkBytes);
  EXPECT_TRUE(json == TraceToJson(trace)) << "the streamed text differs from the whole text";
}

// No events: no file and the flag; a regular file where the run directory
// should go: FAILED_PRECONDITION and nothing written.
TEST(ConvertXSpaceToProfileResponseTest, TraceViewerWithoutEventsOrDirectory) {
  TempDir dir;
  XSpaceFixture fixture(1000);
  fixture.HostPlane();     // a process without threads
  fixture.DevicePlane(0);  // and another one
  ProfileResponse response;
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(
                  fixture.space(), Request(dir.Join("root"), {kTraceViewerToolName}), &response)
                  .ok());
  EXPECT_TRUE(response.no_trace_events());
  EXPECT_EQ(response.tool_data_size(), 0);
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());

  ASSERT_TRUE(testing::WriteTestFile(dir.Join("root")));
  const Status status = ConvertXSpaceToProfileResponse(
      SpaceWithOneEvent(), Request(dir.Join("root"), {kTraceViewerToolName}), &response);
  EXPECT_EQ(status.code(), error::FAILED_PRECONDITION);
  EXPECT_THAT(ListDirectory(dir.path()), ElementsAre("root"));
}

// Converts a large space for the tool PROFILE_TOOL with little address
// space left to the process.
ZENTRIK_CHILD_SCENARIO(ToolOutOfMemory) {
  const std::string tool = getenv("PROFILE_TOOL");
  // Kept whole, so that the conversion finds no freed memory to reuse.
  XSpaceFixture fixture(1000);
  if (tool == kTraceViewerToolName) {
    AddEvents(300000, 300000, &fixture);
  } else {
    for (int i = 0; i < 300000; ++i) {
      const uint64_t start_ns = 1000 + 1000 * static_cast<uint64_t>(i);
      fixture.AddTraceMe(7, "MemoryAllocation", start_ns, start_ns,
                         {{"allocator_name", std::string("bfc")},
                          {"bytes_allocated", int64_t{64} * (i + 1)},
                          {"allocation_bytes", int64_t{64}},
                          {"addr", int64_t{4096} * i}});
    }
  }
  // Far less than the data of 300000 events take.
  if (!testing::LimitAddressSpaceToCurrentPlus(8 << 20)) return 3;
  ProfileResponse response;
  const Status status = ConvertXSpaceToProfileResponse(
      fixture.space(), Request(getenv("PROFILE_ROOT"), {tool}), &response);
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

}  // namespace
}  // namespace trace
}  // namespace zentrik
