#include "trace/core/convert/xplane_to_memory_profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "testing/log_lines.h"
#include "testing/plane_events.h"
#include "testing/stderr_capture.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::HasSubstr;

using ::zentrik::testing::AddPlaneEvent;

constexpr char kAllocation[] = "MemoryAllocation";

std::string ToJson(const XSpace& space) {
  std::string json;
  const Status status = ConvertXSpaceToMemoryProfileJson(space, &json);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return json;
}

// One allocation, all its fields.
TEST(XPlaneToMemoryProfileTest, PrintsOneAllocatorExactly) {
  testing::XSpaceFixture fixture;
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1000, 0,
                {{"allocator_name", "GPU_0_bfc"},
                 {"bytes_allocated", int64_t{256}},
                 {"bytes_available", int64_t{768}},
                 {"fragmentation", 0.25},
                 {"peak_bytes_in_use", int64_t{256}},
                 {"requested_bytes", int64_t{200}},
                 {"allocation_bytes", int64_t{256}},
                 {"addr", int64_t{4096}},
                 {"tf_op", "MatMul"},
                 {"region_type", "output"},
                 {"data_type", "float"},
                 {"shape", "8x8"},
                 {"group_id", int64_t{3}}});
  EXPECT_EQ(
      ToJson(fixture.space()),
      R"({"memoryProfilePerAllocator":{"GPU_0_bfc":{"memoryProfileSnapshots":[)"
      R"({"timeOffsetPs":"1000","aggregationStats":{"stackReservedBytes":"0",)"
      R"("heapAllocatedBytes":"256","freeMemoryBytes":"768","fragmentation":0.25,)"
      R"("peakBytesInUse":"256"},"activityMetadata":{"memoryActivity":"ALLOCATION",)"
      R"("requestedBytes":"200","allocationBytes":"256","address":"4096","tfOpName":"MatMul",)"
      R"("stepId":"3","regionType":"output","dataType":"float","tensorShape":"8x8"}}],)"
      R"("profileSummary":{"peakBytesUsageLifetime":"256","peakStats":{"stackReservedBytes":"0",)"
      R"("heapAllocatedBytes":"256","freeMemoryBytes":"768","fragmentation":0.25,)"
      R"("peakBytesInUse":"256"},"peakStatsTimePs":"1000","memoryCapacity":"1024"},)"
      R"("activeAllocations":[{"snapshotIndex":"0","specialIndex":"-1","numOccurrences":"1"}],)"
      R"("specialAllocations":[]}},"numHosts":1,"memoryIds":["GPU_0_bfc"]})");
}

TEST(XPlaneToMemoryProfileTest, IllFormedTextIsReplacedNotDropped) {
  testing::XSpaceFixture fixture;
  for (const char* name : {"al\xC3", "al"}) {
    AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1, 0,
                  {{"allocator_name", name}, {"tf_op", "bad\xFF name"}});
  }
  testing::StderrCapture capture;
  const std::string json = ToJson(fixture.space());
  EXPECT_EQ(capture.Stop(), "");
  EXPECT_THAT(json, HasSubstr("\"memoryIds\":[\"al\",\"al\xEF\xBF\xBD\"]"));
  EXPECT_THAT(json, HasSubstr("\"tfOpName\":\"bad\xEF\xBF\xBD name\""));
}

// One snapshot as a row: time, allocation or not, address, bytes, heap bytes
// in the aggregation stats, free bytes, step id.
struct Snap {
  int64_t time_ps;
  bool allocation;
  uint64_t address = 0;
  int64_t bytes = 0;
  int64_t heap = 0;
  int64_t free = 0;
  int64_t step_id = -1;
};

// The peak, heap + stack bytes at a time, and the snapshots to keep.
struct Peak {
  int64_t heap, stack, time_ps, max_num_snapshots;
};

// After processing: "t" and the snapshots' times, then per active allocation
// "snapshot_index/special_index xnum_occurrences", then per special
// allocation "tf_op_name bytes", joined by "; ".
std::string Process(const std::vector<Snap>& snapshots, const Peak& peak) {
  MemoryProfile profile;
  PerAllocatorMemoryProfile& allocator = (*profile.mutable_memory_profile_per_allocator())["a"];
  for (const Snap& s : snapshots) {
    MemoryProfileSnapshot* snapshot = allocator.add_memory_profile_snapshots();
    snapshot->set_time_offset_ps(s.time_ps);
    snapshot->mutable_aggregation_stats()->set_heap_allocated_bytes(s.heap);
    snapshot->mutable_aggregation_stats()->set_free_memory_bytes(s.free);
    MemoryActivityMetadata* metadata = snapshot->mutable_activity_metadata();
    metadata->set_memory_activity(s.allocation ? ALLOCATION : DEALLOCATION);
    metadata->set_address(s.address);
    metadata->set_allocation_bytes(s.bytes);
    metadata->set_requested_bytes(s.bytes);
    metadata->set_step_id(s.step_id);
  }
  MemoryProfileSummary* summary = allocator.mutable_profile_summary();
  summary->mutable_peak_stats()->set_heap_allocated_bytes(peak.heap);
  summary->mutable_peak_stats()->set_stack_reserved_bytes(peak.stack);
  summary->mutable_peak_stats()->set_peak_bytes_in_use(peak.heap + peak.stack);
  summary->set_peak_stats_time_ps(peak.time_ps);
  ProcessMemoryProfileProto(peak.max_num_snapshots, &profile);
  EXPECT_EQ(profile.num_hosts(), 1);
  const PerAllocatorMemoryProfile& result = profile.memory_profile_per_allocator().at("a");
  std::string text = "t";
  for (const auto& snapshot : result.memory_profile_snapshots()) {
    text += " " + std::to_string(snapshot.time_offset_ps());
  }
  for (const ActiveAllocation& active : result.active_allocations()) {
    text += "; " + std::to_string(active.snapshot_index()) + "/" +
            std::to_string(active.special_index()) + " x" +
            std::to_string(active.num_occurrences());
  }
  for (const MemoryActivityMetadata& special : result.special_allocations()) {
    text += "; " + special.tf_op_name() + " " + std::to_string(special.allocation_bytes());
  }
  return text;
}

constexpr bool kAlloc = true, kFree = false;

TEST(MemoryProfileProcessingTest, ActiveAllocationsAtThePeak) {
  const std::string unused = "; unused preallocated device memory ";
  // Live at the peak (time 4), largest first: 500 at t=1, 400 at t=3, 300
  // at t=4, 1 at t=2; the free at t=6 has less free memory than that at t=5.
  const std::vector<Snap> sampled = {{1, kAlloc, 1, 500, 500, 9}, {2, kAlloc, 7, 1, 0, 1},
                                     {3, kAlloc, 2, 400, 900, 9}, {4, kAlloc, 3, 300, 1200, 9},
                                     {5, kFree, 7, 0, 0, 3},      {6, kFree, 8, 0, 0, 2}};
  const struct {
    const char* name;
    std::vector<Snap> snapshots;
    Peak peak;
    std::string want;
  } cases[] = {
      {"equal allocations are grouped, largest first",
       {{1, kAlloc, 1, 300, 300}, {2, kAlloc, 2, 100, 400}, {3, kAlloc, 3, 300, 700}},
       {700, 0, 3, 1000},
       "t 1 2 3; 0/-1 x2; 1/-1 x1"},
      {"a freed allocation is not active; its free gives bytes back",
       {{1, kAlloc, 1, 300, 300}, {2, kAlloc, 2, 200, 500}, {3, kFree, 2, 250, 1000}},
       {1000, 0, 3, 1000},
       "t 1 2 3; -1/0 x1; 0/-1 x1" + unused + "750"},
      {"a free without allocation gives nothing back",
       {{1, kAlloc, 1, 300, 400}, {2, kFree, 9, 50, 400}},
       {400, 0, 2, 1000},
       "t 1 2; 0/-1 x1; -1/0 x1" + unused + "100"},
      {"two allocations at one address: both count, the later is active",
       {{1, kAlloc, 1, 100, 100}, {2, kAlloc, 1, 150, 300}},
       {300, 0, 2, 1000},
       "t 1 2; 1/-1 x1; -1/0 x1" + unused + "50"},
      {"later snapshots and other steps are not live",
       {{1, kAlloc, 1, 10, 10, 0, 0}, {2, kAlloc, 2, 20, 20, 0, 1}, {3, kAlloc, 3, 40, 60, 0, 1}},
       {20, 0, 2, 1000},
       "t 1 2 3; 1/-1 x1"},
      {"unmapped memory and stack",
       {{1, kAlloc, 1, 10, 50}},
       {50, 20, 1, 1000},
       "t 1; -1/0 x1; -2/1 x1; 0/-1 x1" + unused + "40; stack 20"},
      {"sampling drops the most free first",
       sampled,
       {1200, 0, 4, 5},
       "t 1 2 3 4 6; 0/-1 x1; 2/-1 x1; 3/-1 x1; 1/-1 x1"},
      {"sampling keeps referenced, then least free snapshots",
       sampled,
       {1200, 0, 4, 3},
       "t 1 3 4; 0/-1 x1; 1/-1 x1; 2/-1 x1; -1/-1 x1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Process(c.snapshots, c.peak), c.want) << c.name;
}

// The limit is read anew on every call.
TEST(XPlaneToMemoryProfileTest, SnapshotLimitFromTheEnvironment) {
  testing::XSpaceFixture fixture;
  for (int64_t i = 0; i < 5; ++i) {
    AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, i, 0,
                  {{"addr", i}, {"allocation_bytes", int64_t{1}}});
  }
  const std::string kInvalid =
      "ERROR The env value of ZENTRIK_PROFILE_MEMORY_MAX_NUM_SNAPSHOTS is ";
  const struct {
    const char* value;
    int kept;
    std::vector<std::string> lines;
  } cases[] = {
      {"3", 3, {}},
      {"0", 5, {kInvalid + "0, it is invalid. Use the default value: 1000."}},
      {"abc", 5, {}},
  };
  for (const auto& c : cases) {
    setenv(kMaxNumSnapshotsEnvVar, c.value, 1);
    testing::StderrCapture capture;
    const std::string json = ToJson(fixture.space());
    const std::string log = capture.Stop();
    int kept = 0;
    for (size_t at = 0; (at = json.find("timeOffsetPs", at) + 1) != 0;) ++kept;
    EXPECT_EQ(kept, c.kept) << c.value;
    EXPECT_EQ(testing::LogLinesFrom(log, "trace/core/convert/xplane_to_memory_profile"), c.lines)
        << c.value;
  }
  unsetenv(kMaxNumSnapshotsEnvVar);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
