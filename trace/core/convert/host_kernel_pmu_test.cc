#include "trace/core/convert/host_kernel_pmu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "testing/pmu_fixtures.h"
#include "testing/pmu_values.h"
#include "testing/proto_bytes.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "testing/xspace_reader.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AllUnknownPmuData;
using ::zentrik::testing::CounterValues;
using ::zentrik::testing::DeviceInfoValues;
using ::zentrik::testing::MakeDeviceInfo;
using ::zentrik::testing::SequencePmuData;
using ::zentrik::testing::XSpaceFixture;

constexpr uint64_t kNoValue = ~uint64_t{0};
constexpr uint32_t kThread = 7;
const DeviceInfo kDevice = MakeDeviceInfo(ACC401, 1000, 4, 4);

// A kernel launched by kThread over [launch_ns, launch_ns + 10] that ran
// `duration_ns` (its field14); the launch is "<annotation>##qxInvokeKernel".
testing::KernelSpec Kernel(const std::string& annotation, const std::string& op_fullname,
                           uint64_t launch_ns, uint64_t duration_ns,
                           std::optional<PmuData> counters, const DeviceInfo& device = kDevice) {
  return {kThread, 0, 1, "kernel(int)", annotation, op_fullname, /*model_id=*/"",
          static_cast<uint32_t>(launch_ns), launch_ns, launch_ns + 10, launch_ns + 20,
          launch_ns + 20 + duration_ns, std::move(counters), device};
}

const XEvent& HostEvent(const XSpace& space, const std::string& name) {
  return testing::EventNamed(*FindPlaneWithName(space, kHostPlaneName), name);
}

// Counters i = sum over kernels of (first_k + i), field14 as given.
std::vector<uint64_t> SequenceSum(const std::vector<uint64_t>& firsts, uint64_t field14) {
  std::vector<uint64_t> sum(16, firsts.empty() ? kNoValue : 0);
  for (const uint64_t first : firsts) {
    for (uint64_t i = 0; i < 16; ++i) sum[i] += first + i;
  }
  sum[13] = field14;
  return sum;
}

std::vector<double> WithPeaks(DeviceInfo device, double mac_peak, double peak) {
  device.set_mac_peak_performance(mac_peak);
  device.set_peak_performance(peak);
  return DeviceInfoValues(device);
}

// What the pass must leave on one op event of the host plane.
struct OpResult {
  const char* name;
  bool flag;
  std::vector<uint64_t> counters;
  std::optional<std::vector<double>> device;        // unset: none written
  testing::StatValue data_type_after = int64_t{0};  // 0: not checked
};

void ExpectOpResults(const XSpace& space, const std::vector<OpResult>& expected) {
  const XPlane& host = *FindPlaneWithName(space, kHostPlaneName);
  for (const OpResult& e : expected) {
    const XEvent& event = HostEvent(space, e.name);
    EXPECT_EQ(event.pmu_data_flag(), e.flag) << e.name;
    EXPECT_EQ(CounterValues(event.pmu_data()), e.counters) << e.name;
    EXPECT_EQ(event.has_device_info(), e.device.has_value()) << e.name;
    if (e.device) {
      EXPECT_EQ(DeviceInfoValues(event.device_info()), *e.device) << e.name;
    }
    if (e.data_type_after == testing::StatValue(int64_t{0})) continue;
    ASSERT_EQ(event.stats_size(), 2) << e.name;  // traceme_flag, data_type
    const XStat& stat = event.stats(1);
    ASSERT_EQ(host.stat_metadata().at(stat.metadata_id()).name(), "data_type") << e.name;
    EXPECT_EQ(stat.has_str_value()      ? testing::StatValue(stat.str_value())
              : stat.has_double_value() ? testing::StatValue(stat.double_value())
                                        : testing::StatValue(stat.int64_value()),
              e.data_type_after)
        << e.name;
  }
}

// Kernels before the line's first op stay out of every sum; an op sums its
// kernels until the next op (one after its window adds, not replaces); nested
// ops keep their own sums; peaks follow the data type and the last device.
TEST(HostKernelPmuTest, SumsTheKernelsInsideEachOpsWindowOntoIt) {
  XSpaceFixture fixture;
  fixture.AddKernel(Kernel("lone", "", 200, 10, SequencePmuData(7)));
  const DeviceInfo last_device = MakeDeviceInfo(ACC401, 1000, 4, 2, 25.6);
  fixture.AddTraceMe(kThread, "MatMul", 1000, 2000, {{"data_type", int64_t{1}}});
  fixture.AddKernel(Kernel("k1", "MatMul", 1100, 50, SequencePmuData(100)));
  fixture.AddKernel(Kernel("k2", "MatMul", 1300, 60, SequencePmuData(200)));
  fixture.AddKernel(Kernel("k3", "MatMul", 1500, 70, SequencePmuData(300)));
  fixture.AddKernel(Kernel("late", "MatMul", 2500, 70, SequencePmuData(900), last_device));
  fixture.AddTraceMe(kThread, "Outer", 3000, 8000, {{"data_type", int64_t{6}}});
  fixture.AddKernel(Kernel("k4", "Outer", 3100, 10, SequencePmuData(10)));
  fixture.AddTraceMe(kThread, "Inner", 4000, 5000, {{"data_type", int64_t{19}}});
  fixture.AddKernel(Kernel("k5", "Inner", 4100, 20, SequencePmuData(500)));
  // Kernels without counters are skipped.
  fixture.AddTraceMe(kThread + 1, "Unread", 14000, 15000);  // a line of its own
  testing::KernelSpec unread = Kernel("k11", "Unread", 14100, 40, std::nullopt);
  unread.thread_id = kThread + 1;
  fixture.AddKernel(unread);
  // Only an int64 data type in range names a type: another kind of stat stays
  // as it is, one out of range reads "invalid", with no peaks and no exception.
  const std::pair<const char*, testing::StatValue> data_types[] = {
      {"Count", int64_t{30}}, {"Negative", int64_t{-1}}, {"Text", std::string("float")}};
  uint64_t start = 20000;
  for (const auto& [name, value] : data_types) {
    fixture.AddTraceMe(kThread, name, start, start + 1000, {{"data_type", value}});
    fixture.AddKernel(Kernel(std::string("k") + name, name, start + 100, 10, SequencePmuData(1)));
    start += 2000;
  }
  testing::StderrCapture capture;
  EXPECT_NO_THROW(FillHostKernelPmuData(&fixture.space()));
  // One warning for the op whose data type is COUNT.
  const std::string log = capture.Stop();
  const std::string warning =
      "] DataType::COUNT not a validate data type, treat as DataType::INVALID\n";
  const size_t first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;

  ExpectOpResults(
      fixture.space(),
      {
          // Float on 4 ACC401 cores at 1000 MHz: 512 MACs and 32 vector operations
          // per core and cycle.
          {"MatMul", true, SequenceSum({100, 200, 300, 900}, 250),
           WithPeaks(last_device, 4.096, 0.128), std::string("float")},
          // Int8: 4096 MACs per core and cycle, no vector figure.
          {"Outer", true, SequenceSum({10}, 10), WithPeaks(kDevice, 32.768, 0.0)},
          {"Inner", true, SequenceSum({500}, 20), WithPeaks(kDevice, 16.384, 0.256)},
          {"Unread", false, CounterValues(AllUnknownPmuData()), std::nullopt},
          {"Count", true, SequenceSum({1}, 10), WithPeaks(kDevice, 0, 0), std::string("invalid")},
          {"Negative", true, SequenceSum({1}, 10), WithPeaks(kDevice, 0, 0),
           std::string("invalid")},
          {"Text", true, SequenceSum({1}, 10), WithPeaks(kDevice, 0, 0), std::string("float")},
      });
}

// An op whose annotation carried counters sums its unread kernels too (their
// markers stay in the sum); another op skips them. The flag is the last
// summed kernel's; the kernels keep their own counters; an op without kernels
// still has its data type named.
TEST(HostKernelPmuTest, AnnotatedOpsSumUnreadKernelsAndDataTypesAreNamed) {
  XSpaceFixture fixture;
  testing::ApiCallSpec malloc_call;  // before the line's first op
  malloc_call.thread_id = kThread;
  malloc_call.function = "qxMalloc";
  malloc_call.start_ns = 100;
  malloc_call.end_ns = 150;
  fixture.AddApiCall(malloc_call);
  testing::TraceMeSpec annotated;
  annotated.thread_id = kThread;
  annotated.name = "Annotated";
  annotated.start_ns = 10000;
  annotated.end_ns = 11000;
  annotated.annotation_counters = AllUnknownPmuData();
  annotated.annotation_counters->set_mac_ops(4096);
  fixture.AddTraceMe(annotated);
  fixture.AddKernel(Kernel("k6", "Annotated", 10100, 40, SequencePmuData(10)));
  fixture.AddKernel(Kernel("k7", "Annotated", 10200, 40, std::nullopt));
  fixture.AddTraceMe(kThread, "Marked", 12000, 13000);
  fixture.AddKernel(Kernel("k8", "Marked", 12100, 40, SequencePmuData(10)));
  fixture.AddKernel(Kernel("k9", "Marked", 12200, 40, std::nullopt));
  PmuData unmeasured_lt = SequencePmuData(20);
  unmeasured_lt.set_lt_cycles(kNoValue);
  fixture.AddKernel(Kernel("k10", "Marked", 12300, 40, unmeasured_lt));
  // Only the low 32 bits of an int64 name the type; a double stays as it is.
  const std::pair<const char*, testing::StatValue> data_types[] = {
      {"High", (int64_t{1} << 32) | 19}, {"Double", 1.0}};
  uint64_t start = 20000;
  for (const auto& [name, value] : data_types) {
    fixture.AddTraceMe(kThread, name, start, start + 1000, {{"data_type", value}});
    fixture.AddKernel(Kernel(std::string("k") + name, name, start + 100, 10, SequencePmuData(1)));
    start += 2000;
  }
  fixture.AddTraceMe(kThread + 1, "Idle", 16000, 17000, {{"data_type", int64_t{30}}});
  testing::StderrCapture capture;
  FillHostKernelPmuData(&fixture.space());
  const std::string log = capture.Stop();
  EXPECT_NE(log.find("] DataType::COUNT not a validate data type"), std::string::npos) << log;

  std::vector<uint64_t> sum_with_marker = SequenceSum({10, 20}, 80);
  sum_with_marker[6] = kNoValue;
  ExpectOpResults(
      fixture.space(),
      {
          {"##qxMalloc", false, SequenceSum({}, kNoValue),
           DeviceInfoValues(testing::UnknownDeviceInfo()), int64_t{0}},
          // No data_type stat: no peak figures.
          {"Annotated", false, SequenceSum({}, 80), WithPeaks(kDevice, 0, 0), int64_t{0}},
          {"Marked", true, sum_with_marker, WithPeaks(kDevice, 0, 0), int64_t{0}},
          {"High", true, SequenceSum({1}, 10), WithPeaks(kDevice, 16.384, 0.256),
           std::string("half")},
          {"Double", true, SequenceSum({1}, 10), WithPeaks(kDevice, 0, 0), 1.0},
          {"Idle", false, CounterValues(AllUnknownPmuData()), std::nullopt, std::string("invalid")},
      });
  PmuData k8 = SequencePmuData(10);
  k8.set_field14(40);
  EXPECT_EQ(CounterValues(HostEvent(fixture.space(), "k8##qxInvokeKernel").pmu_data()),
            CounterValues(k8));
}

// An op sums only the kernels its own thread launched naming it, whatever
// order they were added in; a kernel whose op_fullname holds no string names
// the op without a name.
TEST(HostKernelPmuTest, KernelsAreMatchedByTheOpNameOnTheOpsOwnLine) {
  XSpaceFixture fixture;
  // Added before the op but launched inside it: the pass sorts first.
  fixture.AddKernel(Kernel("match", "Op", 1400, 10, SequencePmuData(4)));
  fixture.AddTraceMe(kThread, "Op", 1000, 2000);
  fixture.AddKernel(Kernel("other", "OtherOp", 1100, 10, SequencePmuData(1)));
  fixture.AddKernel(Kernel("unnamed", "", 1200, 10, SequencePmuData(2)));
  testing::KernelSpec other_thread = Kernel("thread", "Op", 1300, 10, SequencePmuData(3));
  other_thread.thread_id = kThread + 1;
  fixture.AddKernel(other_thread);
  fixture.AddTraceMe(kThread, "Next", 3000, 3100);
  fixture.AddTraceMe(kThread, "", 4000, 5000);
  testing::KernelEvents numbered =
      fixture.AddKernel(Kernel("numbered", "", 4100, 10, SequencePmuData(5)));
  XStat* number = numbered.launch.mutable_event()->add_stats();
  number->set_metadata_id(fixture.HostPlane().GetOrCreateStatMetadata("op_fullname")->id());
  number->set_int64_value(17);

  FillHostKernelPmuData(&fixture.space());

  const std::pair<const char*, std::vector<uint64_t>> expected[] = {
      {"Op", SequenceSum({4}, 10)},
      {"Next", CounterValues(AllUnknownPmuData())},
      {"", SequenceSum({5}, 10)},
  };
  for (const auto& [name, counters] : expected) {
    EXPECT_EQ(CounterValues(HostEvent(fixture.space(), name).pmu_data()), counters) << name;
  }
}

// A host plane of `lines` lines of nested scopes; one scope in three is an op
// (a traceme_flag stat). Each event has pmu_data_flag set with the chance
// `flag_chance`; `shuffled` lines come out of order. Near starts and lengths
// make equal keys and windows that end together.
XSpace RandomHostSpace(std::mt19937_64* random, int lines, double flag_chance, bool shuffled) {
  XSpace space;
  XPlaneBuilder plane(FindOrAddMutablePlaneWithName(&space, kHostPlaneName));
  const XStatMetadata& flag = *plane.GetOrCreateStatMetadata(GetStatTypeStr(traceme_flag));
  std::bernoulli_distribution op(1.0 / 3), flagged(flag_chance);
  std::uniform_int_distribution<int> step(0, 3), length(0, 40), name(0, 4);
  for (int l = 0; l < lines; ++l) {
    XLineBuilder line = plane.GetOrCreateLine(l);
    int64_t start = 0;
    for (int e = 0; e < 60; ++e) {
      start += step(*random);
      XEventBuilder event =
          line.AddEvent(*plane.GetOrCreateEventMetadata("scope" + std::to_string(name(*random))));
      event.SetOffsetPs(start);
      event.SetDurationPs(length(*random));
      if (op(*random)) event.AddStatValue(flag, int64_t{1});
      event.mutable_event()->set_pmu_data_flag(flagged(*random));
    }
    auto* events = line.mutable_line()->mutable_events();
    if (shuffled) {
      std::shuffle(events->pointer_begin(), events->pointer_end(), *random);
    } else {
      SortXLine(line.mutable_line());
    }
  }
  return space;
}

// With no kernel launch and no data_type on the plane, lines are only put in
// order and have the flag of their ops cleared. The result must be what the
// full pass gives, which runs once the plane names a kernel launch (here one
// no event uses).
TEST(HostKernelPmuTest, LinesNoKernelReachesEndAsTheFullPassLeavesThem) {
  const struct {
    const char* name;
    double flag_chance;
    bool shuffled;
    bool changed;  // whether the pass changes the lines at all
  } rows[] = {
      {"in order, no flag", 0.0, false, false},
      {"in order, many flags", 0.5, false, true},
      {"out of order, no flag", 0.0, true, true},
      {"out of order, flags", 0.3, true, true},
  };
  std::mt19937_64 random(22);
  for (const auto& row : rows) {
    for (int round = 0; round < 4; ++round) {
      XSpace fast = RandomHostSpace(&random, 3, row.flag_chance, row.shuffled);
      const std::string before = testing::DeterministicBytes(fast.planes(0));
      XSpace full = fast;
      XPlaneBuilder full_plane(full.mutable_planes(0));
      XEventMetadata* launch = full_plane.GetOrCreateEventMetadata("launch");
      launch->set_display_name("qxInvokeKernel");
      const int64_t launch_id = launch->id();

      FillHostKernelPmuData(&fast);
      FillHostKernelPmuData(&full);
      full.mutable_planes(0)->mutable_event_metadata()->erase(launch_id);
      const std::string after = testing::DeterministicBytes(fast.planes(0));
      EXPECT_EQ(after, testing::DeterministicBytes(full.planes(0)))
          << row.name << ", round " << round;
      // Both passes add the stat metadata they read.
      XPlane lines_before;
      lines_before.ParseFromString(before);
      XPlane lines_after = fast.planes(0);
      lines_after.clear_stat_metadata();
      lines_before.clear_stat_metadata();
      EXPECT_EQ(
          testing::DeterministicBytes(lines_after) != testing::DeterministicBytes(lines_before),
          row.changed)
          << row.name << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
