#include "trace/core/convert/xplane_to_memory_profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/plane_events.h"
#include "testing/stderr_capture.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

using ::zentrik::testing::AddPlaneEvent;

constexpr char kAllocation[] = "MemoryAllocation";

std::string ToJson(const XSpace& space) {
  std::string json;
  const Status status = ConvertXSpaceToMemoryProfileJson(space, &json);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return json;
}

// One allocation of 256 bytes at 4096 for MatMul in step 3, every stat set.
std::vector<std::pair<std::string, testing::StatValue>> MatMulAllocation() {
  return {{"allocator_name", "GPU_0_bfc"},
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
          {"group_id", int64_t{3}}};
}

// One allocation, all its fields.
TEST(XPlaneToMemoryProfileTest, PrintsOneAllocatorExactly) {
  testing::XSpaceFixture fixture;
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1000, 0, MatMulAllocation());
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
      {"the peak step is the last snapshot's that reaches the peak",
       {{1, kAlloc, 1, 100, 100, 0, 0}, {2, kAlloc, 2, 30, 100, 0, 2}},
       {100, 0, 2, 1000},
       "t 1 2; -1/0 x1; 1/-1 x1" + unused + "70"},
      {"stack only", {{1, kAlloc, 1, 10, 5}}, {5, 16, 1, 1000}, "t 1; -1/0 x1; 0/-1 x1; stack 16"},
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
      {"-3", 5, {kInvalid + "-3, it is invalid. Use the default value: 1000."}},
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

// ---- Reading the host plane ----

constexpr char kDeallocation[] = "MemoryDeallocation";

MemoryProfile Convert(testing::XSpaceFixture* fixture) {
  return ConvertXPlaneToMemoryProfile(fixture->HostPlane().plane(), kDefaultMaxNumSnapshots);
}

TEST(XPlaneToMemoryProfileTest, SpacesWithoutMemoryEvents) {
  std::string json = "untouched";
  EXPECT_TRUE(ConvertXSpaceToMemoryProfileJson(XSpace(), &json).ok());
  EXPECT_EQ(json, "untouched");

  testing::XSpaceFixture fixture;
  fixture.AddTraceMe(1, "MatMul", 10, 20);
  fixture.DevicePlane(0);
  EXPECT_EQ(ToJson(fixture.space()),
            R"({"memoryProfilePerAllocator":{},"numHosts":1,"memoryIds":[]})");
}

TEST(XPlaneToMemoryProfileTest, SpecialAllocationsAndUnsetFieldsPrint) {
  testing::XSpaceFixture fixture;
  // 2^63 + 5 as an address: printed unsigned. Heap and stack without a live
  // allocation: both special allocations.
  AddPlaneEvent(fixture.HostPlane(), 1, kDeallocation, 7, 0,
                {{"bytes_allocated", int64_t{100}},
                 {"bytes_reserved", int64_t{8}},
                 {"addr", int64_t{-9223372036854775803}}});
  const std::string json = ToJson(fixture.space());
  EXPECT_THAT(json, HasSubstr(R"("memoryProfilePerAllocator":{"":{)"));
  EXPECT_THAT(json, HasSubstr(R"("address":"9223372036854775813")"));
  EXPECT_THAT(json, HasSubstr(R"("activeAllocations":[)"
                              R"({"snapshotIndex":"-1","specialIndex":"0","numOccurrences":"1"},)"
                              R"({"snapshotIndex":"-2","specialIndex":"1","numOccurrences":"1"}],)"
                              R"("specialAllocations":[{"memoryActivity":"ALLOCATION",)"
                              R"("requestedBytes":"100","allocationBytes":"100","address":"0",)"
                              R"("tfOpName":"unused preallocated device memory","stepId":"0",)"
                              R"("regionType":"persist/dynamic","dataType":"invalid",)"
                              R"("tensorShape":"unknown"},{"memoryActivity":"ALLOCATION",)"
                              R"("requestedBytes":"8","allocationBytes":"8","address":"0",)"
                              R"("tfOpName":"stack","stepId":"0","regionType":"stack",)"
                              R"("dataType":"invalid","tensorShape":"unknown"}]}})"));
  EXPECT_THAT(json, HasSubstr(R"("memoryIds":[""])"));
}

// A deallocation prints its allocation's names and the step after the last
// one seen.
TEST(XPlaneToMemoryProfileTest, DeallocationPrintsItsAllocationsNamesAndStep) {
  testing::XSpaceFixture fixture;
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1000, 0, MatMulAllocation());
  AddPlaneEvent(fixture.HostPlane(), 1, kDeallocation, 2000, 0,
                {{"allocator_name", "GPU_0_bfc"},
                 {"allocation_bytes", int64_t{256}},
                 {"addr", int64_t{4096}}});
  EXPECT_THAT(ToJson(fixture.space()),
              HasSubstr(R"("activityMetadata":{"memoryActivity":"DEALLOCATION",)"
                        R"("requestedBytes":"0","allocationBytes":"256","address":"4096",)"
                        R"("tfOpName":"MatMul","stepId":"4","regionType":"output",)"
                        R"("dataType":"float","tensorShape":"8x8"}})"));
}

TEST(XPlaneToMemoryProfileTest, AllocatorIdsAreListedSorted) {
  testing::XSpaceFixture fixture;
  for (const char* name : {"gpu", "cpu_pinned", "b", "cpu", "gpu", "a"}) {
    AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1, 0, {{"allocator_name", name}});
  }
  MemoryProfile profile = Convert(&fixture);
  EXPECT_THAT(profile.memory_ids(), ElementsAre("a", "b", "cpu", "cpu_pinned", "gpu"));
  EXPECT_EQ(profile.memory_profile_per_allocator().at("gpu").memory_profile_snapshots_size(), 2);

  // An allocator without snapshots has no id.
  profile.clear_memory_ids();
  (*profile.mutable_memory_profile_per_allocator())["c"];
  ProcessMemoryProfileProto(kDefaultMaxNumSnapshots, &profile);
  EXPECT_THAT(profile.memory_ids(), ElementsAre("a", "b", "cpu", "cpu_pinned", "gpu"));
}

// Stats count by their type and value kind: integers only as int64, the
// fragmentation only as a double, names also as references; the later of two
// stats wins.
TEST(XPlaneToMemoryProfileTest, StatsMapByTypeAndKind) {
  testing::XSpaceFixture fixture;
  XPlaneBuilder& plane = fixture.HostPlane();
  XEventBuilder event = AddPlaneEvent(plane, 1, kAllocation, 5, 0,
                                      {{"op_fullname", "first"},
                                       {"tf_op", "second"},
                                       {"fragmentation", int64_t{3}},
                                       {"allocation_bytes", int64_t{9}},
                                       {"requested_bytes", int64_t{4}},
                                       {"requested_bytes", int64_t{6}},
                                       {"bytes_reserved", int64_t{2}},
                                       {"unknown_stat", int64_t{1}}});
  event.AddStatValue(*plane.GetOrCreateStatMetadata("allocation_bytes"), uint64_t{9});
  event.AddStatValue(*plane.GetOrCreateStatMetadata("group_id"), uint64_t{7});
  for (const auto& [name, target] : {std::pair<const char*, const char*>{"allocator_name", "cpu"},
                                     {"region_type", "persist"},
                                     {"data_type", "half"},
                                     {"shape", "2x2"}}) {
    XStat* stat = event.mutable_event()->add_stats();
    stat->set_metadata_id(plane.GetOrCreateStatMetadata(name)->id());
    stat->set_ref_value(plane.GetOrCreateStatMetadata(target)->id());
  }
  // An event counting occurrences has no offset.
  AddPlaneEvent(plane, 2, kAllocation, 0, 0, {{"allocator_name", "cpu"}}).SetNumOccurrences(3);

  const MemoryProfile profile = Convert(&fixture);
  const PerAllocatorMemoryProfile& cpu = profile.memory_profile_per_allocator().at("cpu");
  ASSERT_EQ(cpu.memory_profile_snapshots_size(), 2);
  const MemoryProfileSnapshot& counted = cpu.memory_profile_snapshots(0);
  const MemoryProfileSnapshot& first = cpu.memory_profile_snapshots(1);
  const MemoryActivityMetadata& m = first.activity_metadata();
  const MemoryAggregationStats& stats = first.aggregation_stats();
  EXPECT_EQ(std::to_string(counted.time_offset_ps()) + " " +
                std::to_string(first.time_offset_ps()) + " " + m.tf_op_name() + " " +
                m.region_type() + " " + m.data_type() + " " + m.tensor_shape() + " " +
                std::to_string(m.allocation_bytes()) + " " + std::to_string(m.requested_bytes()) +
                " " + std::to_string(m.step_id()) + " " +
                std::to_string(stats.stack_reserved_bytes()) + " " +
                std::to_string(stats.fragmentation()),
            "0 5 second persist half 2x2 0 6 0 2 0.000000");
}

TEST(XPlaneToMemoryProfileTest, SummaryKeepsTheLastPeakVisited) {
  testing::XSpaceFixture fixture;
  // Line 2 comes first in the plane, so its event (t=20) is visited before
  // line 1's events; of the two with 100 bytes in use the one at t=10 wins.
  // Offsets stay raw: line start times are not added.
  fixture.HostPlane().GetOrCreateLine(2).SetTimestampNs(1000000);
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 10, 0,
                {{"bytes_allocated", int64_t{60}},
                 {"bytes_reserved", int64_t{40}},
                 {"bytes_available", int64_t{5}},
                 {"peak_bytes_in_use", int64_t{900}}});
  AddPlaneEvent(fixture.HostPlane(), 2, kAllocation, 20, 0,
                {{"bytes_allocated", int64_t{90}},
                 {"bytes_reserved", int64_t{10}},
                 {"bytes_available", int64_t{7}},
                 {"peak_bytes_in_use", int64_t{300}}});
  AddPlaneEvent(fixture.HostPlane(), 1, kDeallocation, 30, 0,
                {{"bytes_allocated", int64_t{50}}, {"peak_bytes_in_use", int64_t{200}}});
  const MemoryProfile profile = Convert(&fixture);
  const MemoryProfileSummary& s = profile.memory_profile_per_allocator().at("").profile_summary();
  // Lifetime peak, peak bytes in use, its heap bytes, its time, capacity.
  EXPECT_EQ(std::to_string(s.peak_bytes_usage_lifetime()) + " " +
                std::to_string(s.peak_stats().peak_bytes_in_use()) + " " +
                std::to_string(s.peak_stats().heap_allocated_bytes()) + " " +
                std::to_string(s.peak_stats_time_ps()) + " " + std::to_string(s.memory_capacity()),
            "200 100 60 10 105");
}

TEST(XPlaneToMemoryProfileTest, HugeByteCountsSaturate) {
  testing::XSpaceFixture fixture;
  const int64_t max = std::numeric_limits<int64_t>::max();
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 1, 0,
                {{"bytes_allocated", max},
                 {"bytes_reserved", max},
                 {"bytes_available", max},
                 {"allocation_bytes", std::numeric_limits<int64_t>::min()},
                 {"group_id", max}});
  AddPlaneEvent(fixture.HostPlane(), 1, kAllocation, 2, 0);
  const MemoryProfile profile = Convert(&fixture);
  const PerAllocatorMemoryProfile& allocator = profile.memory_profile_per_allocator().at("");
  EXPECT_EQ(allocator.profile_summary().peak_stats().peak_bytes_in_use(), max) << "heap + stack";
  EXPECT_EQ(allocator.profile_summary().memory_capacity(), max) << "in use + free";
  EXPECT_EQ(allocator.memory_profile_snapshots(1).activity_metadata().step_id(), max)
      << "the step after the largest";
  ASSERT_EQ(allocator.special_allocations_size(), 2);
  EXPECT_EQ(allocator.special_allocations(0).allocation_bytes(), max) << "heap - allocation";
}

// ---- Processing ----

// "time:step" per snapshot of the processed allocator "a".
std::string TimesAndSteps(const std::vector<Snap>& snapshots) {
  MemoryProfile profile;
  PerAllocatorMemoryProfile& allocator = (*profile.mutable_memory_profile_per_allocator())["a"];
  for (const Snap& s : snapshots) {
    MemoryProfileSnapshot* snapshot = allocator.add_memory_profile_snapshots();
    snapshot->set_time_offset_ps(s.time_ps);
    snapshot->mutable_activity_metadata()->set_memory_activity(s.allocation ? ALLOCATION
                                                                            : DEALLOCATION);
    snapshot->mutable_activity_metadata()->set_address(s.address);
    snapshot->mutable_activity_metadata()->set_step_id(s.step_id);
  }
  ProcessMemoryProfileProto(kDefaultMaxNumSnapshots, &profile);
  std::string text;
  for (const auto& snapshot :
       profile.memory_profile_per_allocator().at("a").memory_profile_snapshots()) {
    text += std::to_string(snapshot.time_offset_ps()) + ":" +
            std::to_string(snapshot.activity_metadata().step_id()) + " ";
  }
  return text;
}

TEST(MemoryProfileProcessingTest, SortsByTimeThenFillsSteps) {
  const struct {
    const char* name;
    std::vector<Snap> snapshots;
    const char* want;
  } cases[] = {
      {"arrival order is not time order",
       {{50, kAlloc, 0, 0, 0, 0, 5},
        {10, kAlloc},
        {30, kAlloc},
        {20, kAlloc, 0, 0, 0, 0, 3},
        {60, kAlloc},
        {40, kAlloc}},
       "10:0 20:3 30:4 40:4 50:5 60:6 "},
      {"a step of 0 is a step", {{1, kAlloc, 0, 0, 0, 0, 0}, {2, kFree}}, "1:0 2:1 "},
      {"steps need not rise",
       {{1, kAlloc, 0, 0, 0, 0, 9}, {2, kAlloc, 0, 0, 0, 0, 2}, {3, kFree}},
       "1:9 2:2 3:3 "},
  };
  for (const auto& c : cases) EXPECT_EQ(TimesAndSteps(c.snapshots), c.want) << c.name;
}

TEST(MemoryProfileProcessingTest, DeallocationsTakeTheirAllocationsNames) {
  PerAllocatorMemoryProfile allocator;
  const struct {
    MemoryActivity activity;
    int64_t bytes;
    const char* op;
  } events[] = {
      {ALLOCATION, 0, "first"},
      {ALLOCATION, 0, "second"},  // same address, no free between
      {DEALLOCATION, 4, "own"},
      {DEALLOCATION, 0, "unmatched"},
  };
  for (const auto& e : events) {
    MemoryActivityMetadata* m =
        allocator.add_memory_profile_snapshots()->mutable_activity_metadata();
    m->set_memory_activity(e.activity);
    m->set_address(8);
    m->set_allocation_bytes(e.bytes);
    m->set_tf_op_name(e.op);
    m->set_step_id(-1);
  }
  MemoryActivityMetadata* first =
      allocator.mutable_memory_profile_snapshots(0)->mutable_activity_metadata();
  first->set_region_type("r");
  first->set_data_type("f");
  first->set_tensor_shape("s");
  UpdateDeallocation(&allocator);
  std::vector<std::string> texts;
  for (const auto& snapshot : allocator.memory_profile_snapshots()) {
    const MemoryActivityMetadata& m = snapshot.activity_metadata();
    texts.push_back(m.tf_op_name() + " " + m.region_type() + " " + m.data_type() + " " +
                    m.tensor_shape() + " " + std::to_string(m.allocation_bytes()) + " " +
                    std::to_string(m.step_id()));
  }
  EXPECT_THAT(texts, ElementsAre("first r f s 0 -1", "second    0 -1", "first r f s 4 -1",
                                 "unmatched    0 -1"));
}

// Two allocations at address 42, a free of address 7 never allocated and
// two allocations at address 9, the second of which moves to 2^63.
ZENTRIK_CHILD_SCENARIO(ProcessInconsistentPairs) {
  PerAllocatorMemoryProfile allocator;
  const struct {
    MemoryActivity activity;
    uint64_t address;
    const char* op;
  } events[] = {{ALLOCATION, 42, "a"},
                {ALLOCATION, 42, "b"},
                {DEALLOCATION, 7, ""},
                {ALLOCATION, 9, ""},
                {ALLOCATION, uint64_t{1} << 63, ""}};
  int64_t time_ps = 0;
  for (const auto& e : events) {
    MemoryProfileSnapshot* snapshot = allocator.add_memory_profile_snapshots();
    snapshot->set_time_offset_ps(++time_ps);
    snapshot->mutable_activity_metadata()->set_memory_activity(e.activity);
    snapshot->mutable_activity_metadata()->set_address(e.address);
    snapshot->mutable_activity_metadata()->set_tf_op_name(e.op);
  }
  UpdateDeallocation(&allocator);
  return 0;
}

// At verbose level 2 the processing reports what does not pair up.
TEST(XPlaneToMemoryProfileTest, VerboseLinesReportInconsistentPairs) {
  const auto child = testing::RunScenario(
      "ProcessInconsistentPairs",
      {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}, {"ZENTRIK_CPP_MIN_VLOG_LEVEL", "2"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  EXPECT_THAT(
      testing::LogLinesFrom(child.err, "trace/core/convert/xplane_to_memory_profile"),
      ElementsAre("INFO There are two allocations recorded for the same address: 42. The later "
                  "allocation event is: time_offset_ps: 2",
                  "INFO Can't find matching memory allocation for this deallocation: "
                  "time_offset_ps: 3",
                  "INFO Number of allocations that cannot find matching dealloctions: 3"));
  // The snapshot follows in text format on the next lines.
  EXPECT_THAT(child.err, HasSubstr("tf_op_name: \"b\""));

  const auto quiet =
      testing::RunScenario("ProcessInconsistentPairs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_EQ(testing::LogLinesFrom(quiet.err, "trace/core/convert/xplane_to_memory_profile"),
            std::vector<std::string>{});
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
