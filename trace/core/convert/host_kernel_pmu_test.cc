#include "trace/core/convert/host_kernel_pmu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "testing/pmu_fixtures.h"
#include "testing/pmu_values.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::zentrik::testing::AllUnknownPmuData;
using ::zentrik::testing::ApiCallSpec;
using ::zentrik::testing::CounterValues;
using ::zentrik::testing::DeviceInfoValues;
using ::zentrik::testing::KernelSpec;
using ::zentrik::testing::MakeDeviceInfo;
using ::zentrik::testing::SequencePmuData;
using ::zentrik::testing::StatValue;
using ::zentrik::testing::TraceMeSpec;
using ::zentrik::testing::XSpaceFixture;

constexpr uint64_t kNoValue = ~uint64_t{0};
constexpr uint32_t kThread = 7;

// A kernel launched by kThread over [launch_ns, launch_ns + 10] that ran
// `duration_ns` on the device, so its field14 is `duration_ns`. Its launch
// event is named "<annotation>##qxInvokeKernel".
KernelSpec Kernel(const std::string& annotation, const std::string& op_fullname, uint64_t launch_ns,
                  uint64_t duration_ns, std::optional<PmuData> counters,
                  const DeviceInfo& device = MakeDeviceInfo(ACC401, 1000, 4, 4)) {
  KernelSpec params;
  params.thread_id = kThread;
  params.annotation = annotation;
  params.op_fullname = op_fullname;
  params.correlation_id = static_cast<uint32_t>(launch_ns);
  params.launch_start_ns = launch_ns;
  params.launch_end_ns = launch_ns + 10;
  params.start_ns = launch_ns + 20;
  params.end_ns = launch_ns + 20 + duration_ns;
  params.counters = std::move(counters);
  params.device_info = device;
  return params;
}

ApiCallSpec ApiCall(const std::string& function, uint64_t start_ns, uint64_t end_ns) {
  ApiCallSpec params;
  params.thread_id = kThread;
  params.function = function;
  params.start_ns = start_ns;
  params.end_ns = end_ns;
  return params;
}

// The one host event named `name`.
const XEvent& HostEvent(const XSpace& space, const std::string& name) {
  const XPlane* host = FindPlaneWithName(space, kHostPlaneName);
  const XEvent* found = &XEvent::default_instance();
  int matches = 0;
  for (const XLine& line : host->lines()) {
    for (const XEvent& event : line.events()) {
      const auto it = host->event_metadata().find(event.metadata_id());
      if (it != host->event_metadata().end() && it->second.name() == name) {
        found = &event;
        ++matches;
      }
    }
  }
  EXPECT_EQ(matches, 1) << name;
  return *found;
}

// The op's data_type stat; null when it has none.
const XStat* DataTypeStat(const XSpace& space, const XEvent& event) {
  const XPlane* host = FindPlaneWithName(space, kHostPlaneName);
  for (const XStat& stat : event.stats()) {
    const auto it = host->stat_metadata().find(stat.metadata_id());
    if (it != host->stat_metadata().end() && it->second.name() == "data_type") return &stat;
  }
  return nullptr;
}

// Counters i = sum over kernels of (first_k + i), field14 the summed durations.
std::vector<uint64_t> SequenceSum(const std::vector<uint64_t>& firsts, uint64_t field14) {
  std::vector<uint64_t> sum(16, 0);
  for (const uint64_t first : firsts) {
    for (uint64_t i = 0; i < 16; ++i) sum[i] += first + i;
  }
  sum[13] = field14;
  return sum;
}

std::vector<uint64_t> NoValueExceptField14(uint64_t field14) {
  std::vector<uint64_t> counters(16, kNoValue);
  counters[13] = field14;
  return counters;
}

// The device facts as the pass leaves them: the kernel's, with peak figures.
std::vector<double> WithPeaks(DeviceInfo device, double mac_peak, double peak) {
  device.set_mac_peak_performance(mac_peak);
  device.set_peak_performance(peak);
  return DeviceInfoValues(device);
}

void ExpectUntouchedOp(const XEvent& op) {
  EXPECT_FALSE(op.pmu_data_flag());
  EXPECT_EQ(CounterValues(op.pmu_data()), CounterValues(AllUnknownPmuData()));
  EXPECT_FALSE(op.has_device_info());
}

TEST(HostKernelPmuTest, SumsTheKernelsInsideTheOpWindowOntoTheOp) {
  XSpaceFixture fixture;
  fixture.AddTraceMe(kThread, "MatMul", 1000, 2000, {{"data_type", int64_t{1}}});
  const DeviceInfo last_device = MakeDeviceInfo(ACC401, 1000, 4, 2, 25.6);
  fixture.AddKernel(Kernel("k1", "MatMul", 1100, 50, SequencePmuData(100)));
  fixture.AddKernel(Kernel("k2", "MatMul", 1300, 60, SequencePmuData(200)));
  fixture.AddKernel(Kernel("k3", "MatMul", 1500, 70, SequencePmuData(300), last_device));
  fixture.AddTraceMe(kThread, "Next", 3000, 3100);

  FillHostKernelPmuData(&fixture.space());

  const XSpace& space = fixture.space();
  const XEvent& op = HostEvent(space, "MatMul");
  EXPECT_TRUE(op.pmu_data_flag());
  EXPECT_EQ(CounterValues(op.pmu_data()), SequenceSum({100, 200, 300}, 180));
  // Float on 4 ACC401 cores at 1000 MHz: 512 MACs and 32 vector operations
  // per core and cycle.
  EXPECT_EQ(DeviceInfoValues(op.device_info()), WithPeaks(last_device, 4.096, 0.128));
  ASSERT_NE(DataTypeStat(space, op), nullptr);
  EXPECT_EQ(DataTypeStat(space, op)->str_value(), "float");

  // The kernels keep their own counters; the next op gets nothing.
  PmuData k2 = SequencePmuData(200);
  k2.set_field14(60);
  EXPECT_EQ(CounterValues(HostEvent(space, "k2##qxInvokeKernel").pmu_data()), CounterValues(k2));
  EXPECT_FALSE(HostEvent(space, "k2##qxInvokeKernel").device_info().mac_peak_performance());
  ExpectUntouchedOp(HostEvent(space, "Next"));
}

TEST(HostKernelPmuTest, NestedOpsKeepTheirOwnSums) {
  XSpaceFixture fixture;
  fixture.AddTraceMe(kThread, "Outer", 1000, 5000, {{"data_type", int64_t{6}}});
  fixture.AddKernel(Kernel("k1", "Outer", 1100, 10, SequencePmuData(10)));
  fixture.AddTraceMe(kThread, "Inner", 2000, 3000, {{"data_type", int64_t{19}}});
  fixture.AddKernel(Kernel("k2", "Inner", 2100, 20, SequencePmuData(500)));
  fixture.AddTraceMe(kThread, "After", 6000, 6100);

  FillHostKernelPmuData(&fixture.space());

  const XEvent& outer = HostEvent(fixture.space(), "Outer");
  EXPECT_TRUE(outer.pmu_data_flag());
  EXPECT_EQ(CounterValues(outer.pmu_data()), SequenceSum({10}, 10));
  // Int8: 4096 MACs per core and cycle, no vector figure.
  EXPECT_EQ(DeviceInfoValues(outer.device_info()),
            WithPeaks(MakeDeviceInfo(ACC401, 1000, 4, 4), 32.768, 0.0));

  const XEvent& inner = HostEvent(fixture.space(), "Inner");
  EXPECT_TRUE(inner.pmu_data_flag());
  EXPECT_EQ(CounterValues(inner.pmu_data()), SequenceSum({500}, 20));
  EXPECT_EQ(DeviceInfoValues(inner.device_info()),
            WithPeaks(MakeDeviceInfo(ACC401, 1000, 4, 4), 16.384, 0.256));
  ExpectUntouchedOp(HostEvent(fixture.space(), "After"));
}

TEST(HostKernelPmuTest, EventsBeforeTheFirstOpAreLeftAlone) {
  XSpaceFixture fixture;
  fixture.AddApiCall(ApiCall("qxMalloc", 100, 150));
  // A flagged kernel launched outside any annotation, and one whose
  // op_fullname is empty, like the name of no op yet.
  fixture.AddKernel(Kernel("lone", "", 200, 10, SequencePmuData(7)));
  testing::KernelEvents empty_name =
      fixture.AddKernel(Kernel("empty", "", 300, 10, SequencePmuData(9)));
  XStat* no_name = empty_name.launch.mutable_event()->add_stats();
  no_name->set_metadata_id(fixture.HostPlane().GetOrCreateStatMetadata("op_fullname")->id());
  fixture.AddTraceMe(kThread, "First", 1000, 2000);
  fixture.AddApiCall(ApiCall("qxMemcpy", 1100, 1200));
  fixture.AddTraceMe(kThread, "Second", 3000, 4000);

  FillHostKernelPmuData(&fixture.space());

  const XEvent& malloc_call = HostEvent(fixture.space(), "##qxMalloc");
  EXPECT_FALSE(malloc_call.pmu_data_flag());
  EXPECT_EQ(CounterValues(malloc_call.pmu_data()), NoValueExceptField14(kNoValue));
  EXPECT_EQ(DeviceInfoValues(malloc_call.device_info()),
            DeviceInfoValues(testing::UnknownDeviceInfo()));
  // The first op's flag does not come from kernels before it.
  ExpectUntouchedOp(HostEvent(fixture.space(), "First"));
  ExpectUntouchedOp(HostEvent(fixture.space(), "Second"));
}

TEST(HostKernelPmuTest, KernelFlagsAndTheOpsAnnotationCountersDecideWhatIsSummed) {
  struct Case {
    const char* name;
    bool annotation_counters;                     // the op carries counters of its own
    std::vector<std::optional<PmuData>> kernels;  // unset: counters not read
    bool flag;
    std::optional<std::vector<uint64_t>> counters;  // unset: none written
  };
  PmuData unmeasured_lt = SequencePmuData(20);
  unmeasured_lt.set_lt_cycles(kNoValue);
  std::vector<uint64_t> sum_with_marker = SequenceSum({10, 20}, 80);
  sum_with_marker[6] = kNoValue;
  const Case cases[] = {
      {"unread kernel is skipped", false, {std::nullopt}, false, std::nullopt},
      {"unread kernel counts for an annotated op",
       true,
       {std::nullopt},
       false,
       NoValueExceptField14(40)},
      {"read kernel", false, {SequencePmuData(10)}, true, SequenceSum({10}, 40)},
      {"unread kernel after a read one is skipped",
       false,
       {SequencePmuData(10), std::nullopt},
       true,
       SequenceSum({10}, 40)},
      {"annotated op sums both, flag of the last",
       true,
       {SequencePmuData(10), std::nullopt},
       false,
       NoValueExceptField14(80)},
      {"a marker stays in the sum",
       false,
       {SequencePmuData(10), unmeasured_lt},
       true,
       sum_with_marker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XSpaceFixture fixture;
    TraceMeSpec op;
    op.thread_id = kThread;
    op.name = "Op";
    op.start_ns = 1000;
    op.end_ns = 2000;
    if (c.annotation_counters) {
      op.annotation_counters = AllUnknownPmuData();
      op.annotation_counters->set_mac_ops(4096);
    }
    fixture.AddTraceMe(op);
    uint64_t launch = 1100;
    for (const std::optional<PmuData>& counters : c.kernels) {
      fixture.AddKernel(Kernel("k" + std::to_string(launch), "Op", launch, 40, counters));
      launch += 100;
    }
    fixture.AddTraceMe(kThread, "Next", 3000, 3100);

    FillHostKernelPmuData(&fixture.space());

    const XEvent& result = HostEvent(fixture.space(), "Op");
    EXPECT_EQ(result.pmu_data_flag(), c.flag);
    if (c.counters) {
      EXPECT_EQ(CounterValues(result.pmu_data()), *c.counters);
      // No data_type stat: no peak figures.
      EXPECT_EQ(DeviceInfoValues(result.device_info()),
                WithPeaks(MakeDeviceInfo(ACC401, 1000, 4, 4), 0, 0));
    } else {
      EXPECT_EQ(CounterValues(result.pmu_data()), CounterValues(AllUnknownPmuData()));
      EXPECT_FALSE(result.has_device_info());
    }
    EXPECT_EQ(result.second_pmu_data_flag(), c.annotation_counters);
  }
}

TEST(HostKernelPmuTest, DataTypeStatsBecomeNamesOnlyWhenTheyAreIntegers) {
  struct Case {
    const char* name;
    StatValue value;
    StatValue after;
    double mac_peak;  // on 4 ACC401 cores at 1000 MHz
    double peak;
    bool warns;
  };
  const Case cases[] = {
      {"float", int64_t{1}, std::string("float"), 4.096, 0.128, false},
      {"low 32 bits", (int64_t{1} << 32) | 19, std::string("half"), 16.384, 0.256, false},
      {"count", int64_t{30}, std::string("invalid"), 0, 0, true},
      {"negative", int64_t{-1}, std::string("invalid"), 0, 0, false},
      {"user text", std::string("float"), std::string("float"), 0, 0, false},
      {"double", 1.0, 1.0, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XSpaceFixture fixture;
    fixture.AddTraceMe(kThread, "Op", 1000, 2000, {{"data_type", c.value}});
    fixture.AddKernel(Kernel("k", "Op", 1100, 10, SequencePmuData(1)));
    // An op without kernels has its stat rewritten all the same.
    fixture.AddTraceMe(kThread, "Idle", 3000, 3100, {{"data_type", c.value}});

    testing::StderrCapture capture;
    EXPECT_NO_THROW(FillHostKernelPmuData(&fixture.space()));
    const std::string log = capture.Stop();

    for (const char* op_name : {"Op", "Idle"}) {
      const XStat* stat = DataTypeStat(fixture.space(), HostEvent(fixture.space(), op_name));
      ASSERT_NE(stat, nullptr);
      if (const auto* text = std::get_if<std::string>(&c.after)) {
        EXPECT_EQ(stat->value_case(), XStat::kStrValue) << op_name;
        EXPECT_EQ(stat->str_value(), *text) << op_name;
      } else {
        EXPECT_EQ(stat->value_case(), XStat::kDoubleValue) << op_name;
        EXPECT_EQ(stat->double_value(), std::get<double>(c.after)) << op_name;
      }
    }
    const DeviceInfo& device = HostEvent(fixture.space(), "Op").device_info();
    EXPECT_DOUBLE_EQ(device.mac_peak_performance(), c.mac_peak);
    EXPECT_DOUBLE_EQ(device.peak_performance(), c.peak);
    const auto warning = HasSubstr("DataType::COUNT not a validate data type");
    if (c.warns) {
      EXPECT_THAT(log, warning);
    } else {
      EXPECT_THAT(log, Not(warning));
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
