#include "trace/core/convert/xplane_to_memory_profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "testing/child_process.h"
#include "testing/decimal_comma_locale.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using StatArgs = std::vector<std::pair<std::string, testing::StatValue>>;

constexpr char kAllocation[] = "MemoryAllocation";
constexpr char kDeallocation[] = "MemoryDeallocation";

// Appends an event named `type` at `offset_ps` to host line `line_id`, with
// `stats` in order.
XEventBuilder AddHostEvent(testing::XSpaceFixture* fixture, int64_t line_id,
                           const std::string& type, int64_t offset_ps, const StatArgs& stats = {}) {
  XPlaneBuilder& plane = fixture->HostPlane();
  XEventBuilder event =
      plane.GetOrCreateLine(line_id).AddEvent(*plane.GetOrCreateEventMetadata(type));
  event.SetOffsetPs(offset_ps);
  for (const auto& [name, value] : stats) {
    std::visit([&](const auto& v) { event.AddStatValue(*plane.GetOrCreateStatMetadata(name), v); },
               value);
  }
  return event;
}

std::string ToJson(const XSpace& space) {
  std::string json;
  const Status status = ConvertXSpaceToMemoryProfileJson(space, &json);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return json;
}

MemoryProfile Convert(testing::XSpaceFixture* fixture, int64_t max_num_snapshots = 1000) {
  return ConvertXPlaneToMemoryProfile(fixture->HostPlane().plane(), max_num_snapshots);
}

TEST(XPlaneToMemoryProfileTest, PrintsOneAllocatorExactly) {
  testing::XSpaceFixture fixture;
  AddHostEvent(&fixture, 1, kAllocation, 1000,
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
  AddHostEvent(&fixture, 1, kDeallocation, 2000,
               {{"allocator_name", "GPU_0_bfc"},
                {"bytes_allocated", int64_t{0}},
                {"bytes_available", int64_t{1024}},
                {"peak_bytes_in_use", int64_t{256}},
                {"allocation_bytes", int64_t{256}},
                {"addr", int64_t{4096}}});
  // Names and step of the deallocation come from processing.
  EXPECT_EQ(
      ToJson(fixture.space()),
      R"({"memoryProfilePerAllocator":{"GPU_0_bfc":{"memoryProfileSnapshots":[)"
      R"({"timeOffsetPs":"1000","aggregationStats":{"stackReservedBytes":"0",)"
      R"("heapAllocatedBytes":"256","freeMemoryBytes":"768","fragmentation":0.25,)"
      R"("peakBytesInUse":"256"},"activityMetadata":{"memoryActivity":"ALLOCATION",)"
      R"("requestedBytes":"200","allocationBytes":"256","address":"4096","tfOpName":"MatMul",)"
      R"("stepId":"3","regionType":"output","dataType":"float","tensorShape":"8x8"}},)"
      R"({"timeOffsetPs":"2000","aggregationStats":{"stackReservedBytes":"0",)"
      R"("heapAllocatedBytes":"0","freeMemoryBytes":"1024","fragmentation":0,)"
      R"("peakBytesInUse":"256"},"activityMetadata":{"memoryActivity":"DEALLOCATION",)"
      R"("requestedBytes":"0","allocationBytes":"256","address":"4096","tfOpName":"MatMul",)"
      R"("stepId":"4","regionType":"output","dataType":"float","tensorShape":"8x8"}}],)"
      R"("profileSummary":{"peakBytesUsageLifetime":"256","peakStats":{"stackReservedBytes":"0",)"
      R"("heapAllocatedBytes":"256","freeMemoryBytes":"768","fragmentation":0.25,)"
      R"("peakBytesInUse":"256"},"peakStatsTimePs":"1000","memoryCapacity":"1024"},)"
      R"("activeAllocations":[{"snapshotIndex":"0","specialIndex":"-1","numOccurrences":"1"}],)"
      R"("specialAllocations":[]}},"numHosts":1,"memoryIds":["GPU_0_bfc"]})");
}

TEST(XPlaneToMemoryProfileTest, IllFormedTextIsReplacedNotDropped) {
  testing::XSpaceFixture fixture;
  for (const char* name : {"al\xC3", "al"}) {
    AddHostEvent(&fixture, 1, kAllocation, 1,
                 {{"allocator_name", name}, {"tf_op", "bad\xFF name"}, {"shape", "8\xE2\x82"}});
  }
  testing::StderrCapture capture;
  const std::string json = ToJson(fixture.space());
  EXPECT_EQ(capture.Stop(), "");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_THAT(json, HasSubstr(R"("memoryIds":["al","al)" + replacement + R"("])"));
  EXPECT_THAT(json, HasSubstr(R"("tfOpName":"bad)" + replacement + R"( name")"));
  EXPECT_THAT(json, HasSubstr(R"("tensorShape":"8)" + replacement + R"(")"));
}

TEST(XPlaneToMemoryProfileTest, HugeByteCountsSaturate) {
  testing::XSpaceFixture fixture;
  const int64_t max = std::numeric_limits<int64_t>::max();
  AddHostEvent(&fixture, 1, kAllocation, 1,
               {{"bytes_allocated", max},
                {"bytes_reserved", max},
                {"bytes_available", max},
                {"allocation_bytes", std::numeric_limits<int64_t>::min()},
                {"group_id", max}});
  AddHostEvent(&fixture, 1, kAllocation, 2);
  const MemoryProfile profile = Convert(&fixture);
  const PerAllocatorMemoryProfile& allocator = profile.memory_profile_per_allocator().at("");
  EXPECT_EQ(allocator.profile_summary().peak_stats().peak_bytes_in_use(), max);
  EXPECT_EQ(allocator.profile_summary().memory_capacity(), max);
  EXPECT_EQ(allocator.memory_profile_snapshots(1).activity_metadata().step_id(), max);
  EXPECT_EQ(allocator.special_allocations(0).allocation_bytes(), max);
}

// ---- Processing ----

struct SnapshotParams {
  int64_t time_ps = 0;
  MemoryActivity activity = ALLOCATION;
  uint64_t address = 0;
  int64_t bytes = 0;
  int64_t heap = 0;  // heap bytes in the aggregation stats
  int64_t step_id = -1;
  std::string op;
  int64_t free = 0;

  SnapshotParams Step(int64_t id) const { return With(&SnapshotParams::step_id, id); }
  SnapshotParams Op(std::string name) const { return With(&SnapshotParams::op, std::move(name)); }
  SnapshotParams FreeBytes(int64_t bytes) const { return With(&SnapshotParams::free, bytes); }

 private:
  template <typename T>
  SnapshotParams With(T SnapshotParams::*field, T value) const {
    SnapshotParams copy = *this;
    copy.*field = std::move(value);
    return copy;
  }
};

SnapshotParams Snapshot(int64_t time_ps, MemoryActivity activity, uint64_t address, int64_t bytes,
                        int64_t heap) {
  SnapshotParams params;
  params.time_ps = time_ps;
  params.activity = activity;
  params.address = address;
  params.bytes = bytes;
  params.heap = heap;
  return params;
}

SnapshotParams Alloc(int64_t time_ps, uint64_t address = 0, int64_t bytes = 0, int64_t heap = 0) {
  return Snapshot(time_ps, ALLOCATION, address, bytes, heap);
}

SnapshotParams Free(int64_t time_ps, uint64_t address = 0, int64_t bytes = 0, int64_t heap = 0) {
  return Snapshot(time_ps, DEALLOCATION, address, bytes, heap);
}

struct PeakParams {
  int64_t heap = 0;
  int64_t stack = 0;
  int64_t time_ps = 0;
};

PerAllocatorMemoryProfile MakeAllocator(const std::vector<SnapshotParams>& snapshots,
                                        const PeakParams& peak = {}) {
  PerAllocatorMemoryProfile allocator;
  for (const SnapshotParams& params : snapshots) {
    MemoryProfileSnapshot* snapshot = allocator.add_memory_profile_snapshots();
    snapshot->set_time_offset_ps(params.time_ps);
    snapshot->mutable_aggregation_stats()->set_heap_allocated_bytes(params.heap);
    snapshot->mutable_aggregation_stats()->set_free_memory_bytes(params.free);
    MemoryActivityMetadata* metadata = snapshot->mutable_activity_metadata();
    metadata->set_memory_activity(params.activity);
    metadata->set_address(params.address);
    metadata->set_allocation_bytes(params.bytes);
    metadata->set_requested_bytes(params.bytes);
    metadata->set_step_id(params.step_id);
    metadata->set_tf_op_name(params.op);
  }
  MemoryProfileSummary* summary = allocator.mutable_profile_summary();
  summary->mutable_peak_stats()->set_heap_allocated_bytes(peak.heap);
  summary->mutable_peak_stats()->set_stack_reserved_bytes(peak.stack);
  summary->mutable_peak_stats()->set_peak_bytes_in_use(peak.heap + peak.stack);
  summary->set_peak_stats_time_ps(peak.time_ps);
  return allocator;
}

PerAllocatorMemoryProfile Process(PerAllocatorMemoryProfile allocator,
                                  int64_t max_num_snapshots = 1000) {
  MemoryProfile profile;
  (*profile.mutable_memory_profile_per_allocator())["a"] = std::move(allocator);
  ProcessMemoryProfileProto(max_num_snapshots, &profile);
  EXPECT_EQ(profile.num_hosts(), 1);
  return profile.memory_profile_per_allocator().at("a");
}

// "snapshot_index/special_index xnum_occurrences" per active allocation.
std::vector<std::string> Active(const PerAllocatorMemoryProfile& allocator) {
  std::vector<std::string> texts;
  for (const ActiveAllocation& active : allocator.active_allocations()) {
    texts.push_back(std::to_string(active.snapshot_index()) + "/" +
                    std::to_string(active.special_index()) + " x" +
                    std::to_string(active.num_occurrences()));
  }
  return texts;
}

// "tf_op_name bytes" per special allocation.
std::vector<std::string> Specials(const PerAllocatorMemoryProfile& allocator) {
  std::vector<std::string> texts;
  for (const MemoryActivityMetadata& special : allocator.special_allocations()) {
    texts.push_back(special.tf_op_name() + " " + std::to_string(special.allocation_bytes()));
  }
  return texts;
}

std::vector<int64_t> Times(const PerAllocatorMemoryProfile& allocator) {
  std::vector<int64_t> times;
  for (const auto& snapshot : allocator.memory_profile_snapshots()) {
    times.push_back(snapshot.time_offset_ps());
  }
  return times;
}

TEST(MemoryProfileProcessingTest, ActiveAllocationsAtThePeak) {
  const struct {
    const char* name;
    std::vector<SnapshotParams> snapshots;
    PeakParams peak;
    std::vector<std::string> active;
    std::vector<std::string> specials;
  } cases[] = {
      {"equal allocations are grouped, largest first",
       {Alloc(1, 1, 300, 300), Alloc(2, 2, 100, 400), Alloc(3, 3, 300, 700)},
       {700, 0, 3},
       {"0/-1 x2", "1/-1 x1"},
       {}},
      {"a freed allocation is not active; its free gives bytes back",
       {Alloc(1, 1, 300, 300), Alloc(2, 2, 200, 500), Free(3, 2, 250, 1000)},
       {1000, 0, 3},
       {"-1/0 x1", "0/-1 x1"},
       {"unused preallocated device memory 750"}},
      {"a free without allocation gives nothing back",
       {Alloc(1, 1, 300, 400), Free(2, 9, 50, 400)},
       {400, 0, 2},
       {"0/-1 x1", "-1/0 x1"},
       {"unused preallocated device memory 100"}},
      {"two allocations at one address: both count, the later is active",
       {Alloc(1, 1, 100, 100), Alloc(2, 1, 150, 300)},
       {300, 0, 2},
       {"1/-1 x1", "-1/0 x1"},
       {"unused preallocated device memory 50"}},
      {"later snapshots and other steps are not live",
       {Alloc(1, 1, 10, 10).Step(0), Alloc(2, 2, 20, 20).Step(1), Alloc(3, 3, 40, 60).Step(1)},
       {20, 0, 2},
       {"1/-1 x1"},
       {}},
      {"stack only: one special allocation",
       {Alloc(1, 1, 10, 5)},
       {5, 16, 1},
       {"-1/0 x1", "0/-1 x1"},
       {"stack 16"}},
      {"unmapped memory and stack: two special allocations",
       {Alloc(1, 1, 10, 50)},
       {50, 20, 1},
       {"-1/0 x1", "-2/1 x1", "0/-1 x1"},
       {"unused preallocated device memory 40", "stack 20"}},
  };
  for (const auto& c : cases) {
    const PerAllocatorMemoryProfile allocator = Process(MakeAllocator(c.snapshots, c.peak));
    EXPECT_EQ(Active(allocator), c.active) << c.name;
    EXPECT_EQ(Specials(allocator), c.specials) << c.name;
  }
}

TEST(MemoryProfileProcessingTest, SamplingKeepsReferencedThenLeastFreeSnapshots) {
  // Live at the peak (time 4), largest first: 500 at t=1, 400 at t=3, 300
  // at t=4, 1 at t=2.
  const std::vector<SnapshotParams> snapshots = {
      Alloc(1, 1, 500, 500).FreeBytes(9),
      Alloc(2, 7, 1).FreeBytes(1),
      Alloc(3, 2, 400, 900).FreeBytes(9),
      Alloc(4, 3, 300, 1200).FreeBytes(9),
      Free(5, 7).FreeBytes(3),
      Free(6, 8).FreeBytes(2),
  };
  const PeakParams peak = {1200, 0, 4};
  const struct {
    int64_t max_num_snapshots;
    std::vector<int64_t> times;
    std::vector<std::string> active;
  } cases[] = {
      {6, {1, 2, 3, 4, 5, 6}, {"0/-1 x1", "2/-1 x1", "3/-1 x1", "1/-1 x1"}},
      // The free at t=6 has less free memory than the one at t=5.
      {5, {1, 2, 3, 4, 6}, {"0/-1 x1", "2/-1 x1", "3/-1 x1", "1/-1 x1"}},
      {3, {1, 3, 4}, {"0/-1 x1", "1/-1 x1", "2/-1 x1", "-1/-1 x1"}},
      {2, {1, 3}, {"0/-1 x1", "1/-1 x1", "-1/-1 x1", "-1/-1 x1"}},
      {1, {1}, {"0/-1 x1", "-1/-1 x1", "-1/-1 x1", "-1/-1 x1"}},
  };
  for (const auto& c : cases) {
    const PerAllocatorMemoryProfile allocator =
        Process(MakeAllocator(snapshots, peak), c.max_num_snapshots);
    EXPECT_EQ(Times(allocator), c.times) << c.max_num_snapshots;
    EXPECT_EQ(Active(allocator), c.active) << c.max_num_snapshots;
  }
}

// ---- The snapshot limit and log lines ----

// Severity and message of every line that the conversion logged.
std::vector<std::string> MemoryProfileLogLines(const std::string& text) {
  return testing::LogLinesFrom(text, "trace/core/convert/xplane_to_memory_profile");
}

// Prints how many of five snapshots the JSON keeps.
ZENTRIK_CHILD_SCENARIO(ConvertFiveAllocations) {
  testing::XSpaceFixture fixture;
  for (int64_t i = 0; i < 5; ++i) {
    AddHostEvent(&fixture, 1, kAllocation, i, {{"addr", i}, {"allocation_bytes", int64_t{1}}});
  }
  std::string json;
  if (!ConvertXSpaceToMemoryProfileJson(fixture.space(), &json).ok()) return 1;
  int count = 0;
  for (size_t at = json.find("timeOffsetPs"); at != std::string::npos;
       at = json.find("timeOffsetPs", at + 1)) {
    ++count;
  }
  printf("%d\n", count);
  return 0;
}

TEST(XPlaneToMemoryProfileTest, SnapshotLimitFromTheEnvironment) {
  const std::string kInvalid =
      "ERROR The env value of ZENTRIK_PROFILE_MEMORY_MAX_NUM_SNAPSHOTS is ";
  const struct {
    const char* value;  // nullptr: unset
    const char* kept;
    std::vector<std::string> lines;
  } cases[] = {
      {nullptr, "5\n", {}},
      {"3", "3\n", {}},
      {" +2 snapshots", "2\n", {}},
      {"5", "5\n", {}},
      {"0", "5\n", {kInvalid + "0, it is invalid. Use the default value: 1000."}},
      {"-3", "5\n", {kInvalid + "-3, it is invalid. Use the default value: 1000."}},
      {"abc", "5\n", {}},
      {"", "5\n", {}},
      {"99999999999999999999", "5\n", {}},
  };
  for (const auto& c : cases) {
    const auto child = testing::RunScenario(
        "ConvertFiveAllocations",
        {{kMaxNumSnapshotsEnvVar, c.value ? std::optional<std::string>(c.value) : std::nullopt}});
    const std::string label = c.value ? c.value : "unset";
    ASSERT_EQ(child.exit_code, 0) << label << child.err;
    EXPECT_EQ(child.out, c.kept) << label;
    EXPECT_EQ(MemoryProfileLogLines(child.err), c.lines) << label;
  }
}

ZENTRIK_CHILD_SCENARIO(ProcessInconsistentPairs) {
  PerAllocatorMemoryProfile allocator = MakeAllocator(
      {Alloc(1, 42).Op("a"), Alloc(2, 42).Op("b"), Free(3, 7), Alloc(4, 9), Alloc(5, 9)});
  allocator.mutable_memory_profile_snapshots(4)->mutable_activity_metadata()->set_address(
      uint64_t{1} << 63);
  UpdateDeallocation(&allocator);
  return 0;
}

TEST(XPlaneToMemoryProfileTest, VerboseLinesReportInconsistentPairs) {
  const auto child = testing::RunScenario(
      "ProcessInconsistentPairs",
      {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}, {"ZENTRIK_CPP_MIN_VLOG_LEVEL", "2"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  const std::vector<std::string> lines = MemoryProfileLogLines(child.err);
  ASSERT_EQ(lines.size(), 3u) << child.err;
  EXPECT_EQ(lines[0],
            "INFO There are two allocations recorded for the same address: 42. The later "
            "allocation event is: time_offset_ps: 2");
  EXPECT_EQ(lines[1],
            "INFO Can't find matching memory allocation for this deallocation: "
            "time_offset_ps: 3");
  EXPECT_EQ(lines[2], "INFO Number of allocations that cannot find matching dealloctions: 3");
  // The snapshot follows in text format on the next lines.
  EXPECT_THAT(child.err, HasSubstr("tf_op_name: \"b\""));

  const auto quiet =
      testing::RunScenario("ProcessInconsistentPairs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  EXPECT_THAT(MemoryProfileLogLines(quiet.err), IsEmpty());
}

ZENTRIK_CHILD_SCENARIO(PrintFractionUnderDecimalCommaLocale) {
  if (!testing::UseDecimalCommaLocale()) return 2;
  testing::XSpaceFixture fixture;
  AddHostEvent(&fixture, 1, kAllocation, 1,
               {{"fragmentation", 0.5}, {"bytes_allocated", int64_t{1234567}}});
  std::string json;
  if (!ConvertXSpaceToMemoryProfileJson(fixture.space(), &json).ok()) return 1;
  printf("%s\n", json.c_str());
  return 0;
}

TEST(XPlaneToMemoryProfileTest, JsonDoesNotDependOnTheLocale) {
  const auto child =
      testing::RunScenarioWithDecimalCommaLocale("PrintFractionUnderDecimalCommaLocale");
  if (!child) GTEST_SKIP() << "localedef or the de_DE locale sources are missing";
  ASSERT_EQ(child->exit_code, 0) << child->err;
  EXPECT_THAT(
      child->out,
      HasSubstr(R"("heapAllocatedBytes":"1234567","freeMemoryBytes":"0","fragmentation":0.5,)"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
