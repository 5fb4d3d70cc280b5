#include "trace/core/convert/xplane_to_profile_response.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::IsEmpty;
using ::zentrik::testing::ListDirectory;
using ::zentrik::testing::TempDir;
using ::zentrik::testing::TraceMeSpec;
using ::zentrik::testing::XSpaceFixture;

XSpace SpaceWithOneEvent() {
  XSpaceFixture fixture(1000);
  TraceMeSpec event;
  event.thread_id = 7;
  event.name = "step";
  event.start_ns = 1010;
  event.end_ns = 1100;
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

TEST(GetToolFileNameTest, GzippedToolsAndPlainOnes) {
  const struct {
    std::string tool, file;
  } cases[] = {
      {"trace_viewer", "trace.json.gz"},
      {"memory_profile", "memory_profile.json.gz"},
      {"op_stats", "op_stats.pb"},
      {"overview_page", "overview_page.pb"},
      {"kernel_stats", "kernel_stats.pb"},
      {"xplane.pb", "xplane.pb.pb"},
      {"", ".pb"},
  };
  for (const auto& c : cases) EXPECT_EQ(GetToolFileName(c.tool), c.file) << c.tool;
}

TEST(ConvertXSpaceToProfileResponseTest, NoToolsDoesNothing) {
  TempDir dir;
  ProfileResponse response;
  EXPECT_TRUE(
      ConvertXSpaceToProfileResponse(SpaceWithOneEvent(), Request(dir.Join("root"), {}), &response)
          .ok());
  EXPECT_EQ(response.ByteSizeLong(), 0u);
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

TEST(ConvertXSpaceToProfileResponseTest, XPlaneToolGivesTheSpaceItself) {
  TempDir dir;
  const XSpace space = SpaceWithOneEvent();
  ProfileResponse response;
  ASSERT_TRUE(
      ConvertXSpaceToProfileResponse(space, Request(dir.Join("root"), {kXPlaneToolName}), &response)
          .ok());
  ASSERT_EQ(response.tool_data_size(), 1);
  EXPECT_EQ(response.tool_data(0).name(), "xplane.pb");
  EXPECT_EQ(response.tool_data(0).data(), space.SerializeAsString());
  EXPECT_FALSE(response.no_trace_events());
  EXPECT_THAT(ListDirectory(dir.path()), IsEmpty());
}

TEST(ConvertXSpaceToProfileResponseTest, SpaceComesFirstWhateverTheRequestOrder) {
  TempDir dir;
  const XSpace space = SpaceWithOneEvent();
  ProfileResponse response;
  const ProfileRequest request =
      Request(dir.Join("root"), {kOverviewPageToolName, kOpStatsToolName, kMemoryProfileToolName,
                                 kKernelStatsToolName, kTraceViewerToolName, kXPlaneToolName,
                                 kXPlaneToolName, "unknown_tool"});
  ASSERT_TRUE(ConvertXSpaceToProfileResponse(space, request, &response).ok());
  ASSERT_GE(response.tool_data_size(), 1);
  EXPECT_EQ(response.tool_data(0).name(), "xplane.pb");
  // A repeated name is converted once.
  for (int i = 1; i < response.tool_data_size(); ++i) {
    EXPECT_NE(response.tool_data(i).name(), "xplane.pb");
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
