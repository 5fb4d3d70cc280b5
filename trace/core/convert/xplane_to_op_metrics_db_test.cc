#include "trace/core/convert/xplane_to_op_metrics_db.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "testing/plane_events.h"
#include "testing/pmu_fixtures.h"
#include "trace/core/convert/op_metrics_db_builder.h"
#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AddPlaneEvent;
using ::zentrik::testing::AllUnknownPmuData;

struct HostOp {
  std::string name;
  int64_t begin_ps;
  int64_t duration_ps;
};

// "name category occurrences time self_time" per entry, then the totals.
std::string Summary(const OpMetricsDb& db) {
  std::string text;
  for (const OpMetrics& m : db.metrics()) {
    text += m.name() + " " + m.category() + " " + std::to_string(m.occurrences()) + " " +
            std::to_string(m.time_ps()) + " " + std::to_string(m.self_time_ps()) + " | ";
  }
  return text + std::to_string(db.total_time_ps()) + " " + std::to_string(db.total_op_time_ps());
}

// Entries are made as ops end.
TEST(HostOpMetricsTest, NestsFrameworkOpsByTime) {
  const struct {
    const char* what;
    std::vector<HostOp> ops;
    const char* want;
  } cases[] = {
      {"nested",
       {{"a:A", 0, 100}, {"b:B", 10, 20}, {"c:C", 15, 5}},
       "c:C C 1 5 5 | b:B B 1 20 15 | a:A A 1 100 80 | 100 100"},
      {"overlapping: the later op is lost",
       {{"a:A", 0, 10}, {"b:B", 5, 10}},
       "a:A A 1 10 10 | 15 10"},
      {"an overlapped op's end leaves its parent open",
       {{"p:P", 0, 100}, {"a:A", 10, 40}, {"b:B", 20, 40}},
       "a:A A 1 40 40 | p:P P 1 100 60 | 100 100"},
      {"shared edges and a zero-length op",
       {{"p:P", 0, 100}, {"a:A", 0, 50}, {"b:B", 50, 50}, {"z:Z", 50, 0}},
       "a:A A 1 50 50 | z:Z Z 1 0 0 | b:B B 1 50 50 | p:P P 1 100 0 | 100 100"},
      {"not framework ops", {{"plain", 0, 10}, {"a:A#1", 0, 10}, {"a:", 0, 10}}, "0 0"},
  };
  for (const auto& c : cases) {
    XSpace space;
    XPlaneBuilder plane(space.add_planes());
    plane.SetName(kHostPlaneName);
    plane.GetOrCreateLine(1).SetTimestampNs(1000);
    for (const HostOp& op : c.ops) AddPlaneEvent(plane, 1, op.name, op.begin_ps, op.duration_ps);
    const XPlaneVisitor visitor(&plane.plane(), {FindHostEventType}, {FindStatType});
    const XLineVisitor line{&visitor, &plane.plane().lines(0)};
    const auto result =
        ConvertHostThreadsXLineToOpMetricsDb(line, BuildTfOpMapFromHostPlane(plane.plane()));
    EXPECT_EQ(Summary(result->db), c.want) << c.what;
  }
}

// Kernels of framework ops enter under "<op name>/<op full name>"; the rest of
// the plane's span is idle.
TEST(OpMetricsTest, DeviceKernels) {
  XSpace space;
  XPlaneBuilder device(space.add_planes());
  device.SetName("/device:ZRA:0");
  const std::string kernel = "";
  AddPlaneEvent(device, 1, "k1", 100, 50,
                {{"op_fullname", std::string("mm:MatMul")}, {"kernel_details", kernel}});
  AddPlaneEvent(device, 2, "k2", 200, 30,
                {{"tf_op", std::string("x:X")},
                 {"op_fullname", std::string("mm:MatMul")},
                 {"kernel_details", kernel},
                 {"data_type", std::string("half")}});
  AddPlaneEvent(device, 2, "copy", 400, 100, {{"op_fullname", std::string("mm:MatMul")}});
  AddPlaneEvent(device, 1, "k3", 300, 10,
                {{"op_fullname", std::string("")}, {"kernel_details", kernel}});
  AddPlaneEvent(device, 1, "k4", 300, 10,
                {{"tf_op", std::string("train")}, {"kernel_details", kernel}});
  // 100 to 500, the copy included.
  const OpMetricsDb db = ConvertDeviceTraceXPlaneToOpMetricsDb(device.plane());
  EXPECT_EQ(Summary(db),
            "mm/mm:MatMul MatMul 2 80 80 | train/train unknown 1 10 10 | IDLE IDLE 0 310 310 | "
            "400 90");
  EXPECT_EQ(db.metrics(0).provenance(), "mm:MatMul");
  EXPECT_EQ(db.metrics(0).data_type(), "half");
}

// A record of counters that live as long as the test program.
EventPmuRecord Counters(uint64_t lt_cycles, uint64_t field14, bool flag = true) {
  static std::deque<PmuData>* const kept = new std::deque<PmuData>;
  PmuData* counters = &kept->emplace_back();
  counters->set_lt_cycles(lt_cycles);
  counters->set_field14(field14);
  EventPmuRecord record;
  record.pmu_data_flag = flag;
  record.pmu_data = counters;
  return record;
}

// The one entry of `db` as "name category provenance data_type model_id
// occurrences time self_time merged_minimum children lt_cycles field14
// frequency has_pmu_flag pmu_data_flag second_pmu_data_flag | total_op_time".
std::string Entry(const OpMetricsDb& db) {
  EXPECT_EQ(db.metrics_size(), 1);
  const OpMetrics& m = db.metrics(0);
  const PmuInfo& pmu = m.pmu_info();
  std::string text;
  for (const std::string& part :
       {m.name(), m.category(), m.provenance(), m.data_type(), m.model_id()}) {
    text += part + " ";
  }
  for (const uint64_t number :
       {uint64_t{m.occurrences()}, m.time_ps(), m.self_time_ps(), m.merged_minimum(),
        uint64_t(m.children().metrics_size()), pmu.pmu_data().lt_cycles(), pmu.pmu_data().field14(),
        pmu.device_info().frequency(), uint64_t{m.has_pmu_flag()}, uint64_t{m.pmu_data_flag()},
        uint64_t{m.second_pmu_data_flag()}}) {
    text += std::to_string(number) + " ";
  }
  return text + "| " + std::to_string(db.total_op_time_ps());
}

// The first category and provenance stay, the latest data type wins; a
// counter once without value stays so.
TEST(OpMetricsDbBuilderTest, EnterDeviceOpKeepsFirstCategoryAndLatestDataType) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterDeviceOp("k", "", "a:A", 2, 10, 0, "float", Counters(1, 5));
  builder.EnterDeviceOp("k", "Conv", "b:B", 1, 6, 0, "half", Counters(kPmuNoValue, 7, false));
  builder.EnterDeviceOp("k", "Other", "c:C", 1, 4, 0, "int8", Counters(3, 1));
  EXPECT_EQ(Entry(db), "k unknown a:A int8  4 20 20 0 0 18446744073709551615 13 0 1 1 0 | 20");
}

// Children reported longer than the op give no self time, not a wrap-around.
TEST(OpMetricsDbBuilderTest, EnterOpTakesSelfTimeAndLatestTexts) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  builder.EnterOp("a:A", "A", 100, 30, "float", "m1", Counters(1, 1));
  builder.EnterOp("a:A", "B", 50, 0, "half", "m2", Counters(1, 1, false));
  builder.EnterOp("a:A", "", 5, 9, "half", "m3", Counters(1, 1, false));
  EXPECT_EQ(Entry(db), "a:A A  half m3 3 155 120 0 0 3 3 0 0 0 0 | 120");
}

// Entries merge by name: sums, the smaller merged minimum (zero included),
// the first category and device facts, the latest data type, the first
// children as they are (two of one name stay two and gain nothing).
TEST(OpMetricsDbBuilderTest, CombineMergesEntriesByName) {
  OpMetricsDb target;
  OpMetricsDbBuilder builder(&target);
  OpMetricsDb first;
  OpMetrics* a = first.add_metrics();
  a->set_name("a");
  a->set_occurrences(1);
  a->set_time_ps(10);
  a->set_self_time_ps(8);
  a->set_merged_minimum(0);
  a->set_category("A");
  *a->mutable_pmu_info()->mutable_pmu_data() = AllUnknownPmuData();
  a->mutable_pmu_info()->mutable_pmu_data()->set_field14(4);
  a->mutable_pmu_info()->mutable_device_info()->set_frequency(9);
  a->mutable_children()->add_metrics()->set_name("child");
  a->mutable_children()->add_metrics()->set_name("child");
  OpMetricsDb second = first;
  second.mutable_metrics(0)->mutable_children()->mutable_metrics(0)->set_occurrences(3);
  second.mutable_metrics(0)->set_merged_minimum(5);
  second.mutable_metrics(0)->set_category("B");
  second.mutable_metrics(0)->set_data_type("half");
  second.mutable_metrics(0)->mutable_pmu_info()->mutable_device_info()->set_frequency(1);
  second.mutable_metrics(0)->set_pmu_data_flag(true);
  builder.Combine(first);
  builder.Combine(second);
  EXPECT_EQ(Entry(target), "a A  half  2 20 16 0 2 18446744073709551615 8 9 0 1 0 | 0");
  EXPECT_EQ(target.metrics(0).children().SerializeAsString(),
            first.metrics(0).children().SerializeAsString());
}

// The plane's span runs from the earliest begin to the latest end of its
// events, ends that would pass INT64_MAX held there; idle is what kernels do
// not fill, never less than nothing.
TEST(DeviceOpMetricsTest, SpanOfThePlaneEvents) {
  const struct {
    const char* what;
    std::vector<std::pair<int64_t, int64_t>> events;  // offset, duration
    uint64_t total_time_ps;
    uint64_t idle_ps;
  } cases[] = {
      {"near the largest offset", {{INT64_MAX - 5, 100}}, 5, 0},
      {"far apart", {{INT64_MIN, 0}, {INT64_MAX, 0}}, UINT64_MAX, UINT64_MAX},
      {"kernels overlap", {{0, 100}, {0, 100}, {50, 10}}, 100, 0},
      {"a negative duration lasts no time", {{10, -5}, {20, 10}}, 20, 10},
  };
  for (const auto& c : cases) {
    XSpace space;
    XPlaneBuilder plane(space.add_planes());
    for (const auto& [offset, duration] : c.events) {
      AddPlaneEvent(plane, 1, "k", offset, duration,
                    {{"op_fullname", std::string("a:A")}, {"kernel_details", std::string()}});
    }
    const OpMetricsDb db = ConvertDeviceTraceXPlaneToOpMetricsDb(plane.plane());
    EXPECT_EQ(db.total_time_ps(), c.total_time_ps) << c.what;
    ASSERT_EQ(db.metrics_size(), 2) << c.what;
    EXPECT_EQ(db.metrics(1).name(), "IDLE") << c.what;
    EXPECT_EQ(db.metrics(1).time_ps(), c.idle_ps) << c.what;
  }
}

// A host op's entry takes the texts and flags of its latest occurrence and
// the sum of its events' counters; each line adds its idle time.
TEST(HostOpMetricsTest, EntersTextsCountersAndIdle) {
  XSpace space;
  XPlaneBuilder plane(space.add_planes());
  plane.SetName(kHostPlaneName);
  XEventBuilder op =
      AddPlaneEvent(plane, 1, "mm:MatMul", 0, 10,
                    {{"data_type", std::string("float")}, {"model_id", std::string("m")}});
  op.mutable_event()->set_second_pmu_data_flag(true);
  op.mutable_event()->mutable_second_pmu_data()->set_mac_ops(4);
  op.mutable_event()->mutable_device_info()->set_frequency(7);
  AddPlaneEvent(plane, 1, "mm:MatMul", 30, 10);
  AddPlaneEvent(plane, 2, "other", 0, 10);  // a line without framework ops
  const XPlaneVisitor visitor(&plane.plane(), {FindHostEventType}, {FindStatType});
  const TfOpMap tf_ops = BuildTfOpMapFromHostPlane(plane.plane());

  OpMetricsDb host_db;
  OpMetricsDbBuilder host_builder(&host_db);
  for (const XLine& line : plane.plane().lines()) {
    auto result = ConvertHostThreadsXLineToOpMetricsDb({&visitor, &line}, tf_ops);
    AddIdleAndCombineOpMetricsDb(result->db, host_builder);
  }
  // 40 ps spanned, 20 ps in ops; the second line adds nothing.
  EXPECT_EQ(Summary(host_db), "mm:MatMul MatMul 2 20 20 | IDLE IDLE 0 20 20 | 40 20");
  const OpMetrics& mm = host_db.metrics(0);
  EXPECT_EQ(mm.data_type() + "|" + mm.model_id() + "|" +
                std::to_string(mm.second_pmu_info().pmu_data().mac_ops()) + "|" +
                std::to_string(mm.second_pmu_data_flag()),
            "||4|0");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
