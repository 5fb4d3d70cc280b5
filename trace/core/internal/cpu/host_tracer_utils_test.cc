#include "trace/core/internal/cpu/host_tracer_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "testing/xspace_fixture.h"
#include "testing/xspace_reader.h"
#include "trace/core/utils/utf8_utils.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::zentrik::testing::AllUnknownPmuData;
using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::EventNamed;
using ::zentrik::testing::StatValue;
using ::zentrik::testing::TraceMeSpec;
using ::zentrik::testing::XSpaceFixture;

constexpr uint64_t kSessionStart = 1000000;
constexpr uint64_t kNoValue = std::numeric_limits<uint64_t>::max();

TraceMeRecorder::ThreadEvents Thread(uint32_t tid, std::string name,
                                     std::vector<TraceMeRecorder::Event> events) {
  TraceMeRecorder::ThreadEvents thread{{tid, std::move(name)}, {}};
  for (auto& event : events) thread.events.push_back(std::move(event));
  return thread;
}

// The host plane that `events` become in an empty space.
XPlane Convert(TraceMeRecorder::Events events, uint64_t start = kSessionStart) {
  XPlane plane;
  plane.set_name(kHostPlaneName);
  ConvertRecordedEventsToHostPlane(start, std::move(events), &plane);
  return plane;
}

// The plane converted from one thread holding one event named `name`.
XPlane ConvertOne(const std::string& name) {
  TraceMeRecorder::Events events;
  events.push_back(Thread(7, "main", {{name, kSessionStart + 10, kSessionStart + 20}}));
  return Convert(std::move(events));
}

const XStat* FindStat(const XPlane& plane, const XEvent& event, const std::string& name) {
  for (const XStat& stat : event.stats()) {
    auto it = plane.stat_metadata().find(stat.metadata_id());
    if (it != plane.stat_metadata().end() && it->second.name() == name) return &stat;
  }
  return nullptr;
}

PmuData UnknownExcept(void (PmuData::*set)(uint64_t), uint64_t value) {
  PmuData data = AllUnknownPmuData();
  (data.*set)(value);
  return data;
}

// The whole plane, byte for byte, against the shape every reader of the host
// plane expects: line ids and names, event times relative to the session
// start, metadata shared by name, traceme_flag and both PMU markers on every
// event, arguments as typed stats, the PMU keys in second_pmu_data.
TEST(HostTracerUtilsTest, BuildsTheHostPlaneShape) {
  TraceMeRecorder::Events events;
  events.push_back(Thread(3, "", {{"Compute", kSessionStart + 5, kSessionStart + 9}}));
  events.push_back(
      Thread(7, "worker",
             {{"step", kSessionStart, kSessionStart + 100},
              {"MatMul#flops=12,mac_ops=4096#", kSessionStart + 10, kSessionStart + 40},
              {"early", kSessionStart - 1, kSessionStart + 50},
              {"step", kSessionStart + 200, kSessionStart + 200}}));
  events.push_back(Thread(12, "worker", {{"conv1:Conv2D", kSessionStart + 1, kSessionStart + 2}}));
  events.push_back(Thread(20, "idle", {{"no time", 0, 0}}));
  XSpace converted;
  *converted.add_planes() = Convert(std::move(events));

  XSpaceFixture expected(kSessionStart);
  const auto worker_event = [](uint32_t tid, const char* name, uint64_t start, uint64_t end) {
    TraceMeSpec params;
    params.thread_id = tid;
    params.thread_name = "worker";
    params.name = name;
    params.start_ns = start;
    params.end_ns = end;
    return params;
  };
  expected.AddTraceMe(3, "Compute", kSessionStart + 5, kSessionStart + 9);
  expected.AddTraceMe(worker_event(7, "step", kSessionStart, kSessionStart + 100));
  TraceMeSpec matmul = worker_event(7, "MatMul", kSessionStart + 10, kSessionStart + 40);
  matmul.args = {{"flops", int64_t{12}}};
  matmul.annotation_counters = UnknownExcept(&PmuData::set_mac_ops, 4096);
  expected.AddTraceMe(matmul);
  expected.AddTraceMe(worker_event(7, "step", kSessionStart + 200, kSessionStart + 200));
  TraceMeSpec conv = worker_event(12, "conv1:Conv2D", kSessionStart + 1, kSessionStart + 2);
  conv.display_name = "Conv2D";
  expected.AddTraceMe(conv);
  XLineBuilder idle = expected.HostPlane().GetOrCreateLine(20);
  idle.SetName("idle/20");
  idle.SetTimestampNs(kSessionStart);
  // Added as 3, 7, 12, 20; by name that is "/3", "idle/20", "worker/12", "worker/7".
  expected.space().mutable_planes(0)->mutable_lines()->SwapElements(1, 3);

  EXPECT_EQ(testing::ToHex(DeterministicBytes(converted)), testing::ToHex(expected.Serialize()));
  std::vector<std::string> line_names;
  for (const XLine& line : converted.planes(0).lines()) line_names.push_back(line.name());
  EXPECT_THAT(line_names, ElementsAre("/3", "idle/20", "worker/12", "worker/7"));
}

struct ArgumentCase {
  std::string value;
  XStat::ValueCase kind;
  int64_t int_value;
  double double_value;
};

TEST(HostTracerUtilsTest, ArgumentValuesBecomeIntDoubleOrString) {
  const std::vector<ArgumentCase> cases = {
      {"42", XStat::kInt64Value, 42, 0},
      {"\t42", XStat::kInt64Value, 42, 0},
      {"9223372036854775807", XStat::kInt64Value, std::numeric_limits<int64_t>::max(), 0},
      {"3.5", XStat::kDoubleValue, 0, 3.5},
      {"0x1A", XStat::kDoubleValue, 0, 26},
      {"42\t", XStat::kStrValue, 0, 0},
      {"12abc", XStat::kStrValue, 0, 0},
      {"inf", XStat::kStrValue, 0, 0},
      {".5", XStat::kStrValue, 0, 0},
      {"99999999999999999999", XStat::kStrValue, 0, 0},
      {"1e5000", XStat::kStrValue, 0, 0},
      {"1e400", XStat::kStrValue, 0, 0},
      {"1e-400", XStat::kDoubleValue, 0, 0},
      {"[1,2]", XStat::kStrValue, 0, 0},
  };
  for (const ArgumentCase& c : cases) {
    const XPlane plane = ConvertOne("op#v=" + c.value + ",after=1#");
    ASSERT_EQ(plane.lines(0).events_size(), 1) << c.value;
    const XEvent& event = plane.lines(0).events(0);
    const XStat* stat = FindStat(plane, event, "v");
    ASSERT_NE(stat, nullptr) << c.value;
    EXPECT_EQ(stat->value_case(), c.kind) << c.value;
    switch (c.kind) {
      case XStat::kInt64Value:
        EXPECT_EQ(stat->int64_value(), c.int_value) << c.value;
        break;
      case XStat::kDoubleValue:
        EXPECT_EQ(stat->double_value(), c.double_value) << c.value;
        break;
      default:
        EXPECT_EQ(stat->str_value(), c.value) << c.value;
    }
    // A value that does not convert never ends the event's other pairs.
    const XStat* after = FindStat(plane, event, "after");
    ASSERT_NE(after, nullptr) << c.value;
    EXPECT_EQ(after->int64_value(), 1) << c.value;
  }
}

struct PmuKeyCase {
  std::string args;
  PmuData expected;
};

TEST(HostTracerUtilsTest, PmuKeysFillSecondPmuData) {
  const std::vector<PmuKeyCase> cases = {
      {"mac_ops=4096", UnknownExcept(&PmuData::set_mac_ops, 4096)},
      {"read_bytes=64", UnknownExcept(&PmuData::set_io_dma_read_bytes, 64)},
      {"mac_ops=1,mac_ops=2", UnknownExcept(&PmuData::set_mac_ops, 2)},
      {"mac_ops=-1", UnknownExcept(&PmuData::set_mac_ops, kNoValue)},
      // Values that are no number in range leave the counter as it was.
      {"mac_ops=abc", AllUnknownPmuData()},
      {"mac_ops=5,mac_ops=18446744073709551616", UnknownExcept(&PmuData::set_mac_ops, 5)},
  };
  for (const PmuKeyCase& c : cases) {
    const XPlane plane = ConvertOne("op#" + c.args + ",flops=3#");
    const XEvent& event = plane.lines(0).events(0);
    EXPECT_TRUE(event.second_pmu_data_flag()) << c.args;
    EXPECT_EQ(DeterministicBytes(event.second_pmu_data()), DeterministicBytes(c.expected))
        << c.args;
    EXPECT_FALSE(event.pmu_data_flag()) << c.args;
    EXPECT_EQ(DeterministicBytes(event.pmu_data()), DeterministicBytes(AllUnknownPmuData()))
        << c.args;
    // The PMU keys never become stats; the other arguments still do.
    std::vector<std::string> stat_names;
    for (const XStat& stat : event.stats()) {
      stat_names.push_back(plane.stat_metadata().at(stat.metadata_id()).name());
    }
    EXPECT_THAT(stat_names, ElementsAre("traceme_flag", "flops")) << c.args;
  }
}

// Names that are not UTF-8 would make the saved space unreadable: a thread
// name cut inside a character, bytes that are no text at all in an activity
// name, an annotation key or value.
TEST(HostTracerUtilsTest, IllFormedUtf8IsReplacedAndTheSpaceParsesBack) {
  const std::string r(kUtf8ReplacementCharacter);
  TraceMeRecorder::Events events;
  events.push_back(
      Thread(7, "worker-\xE2\x82\xAC\xE2\x82",
             {{"load\xFF", kSessionStart + 1, kSessionStart + 2},
              {"load\xFE", kSessionStart + 3, kSessionStart + 4},
              {"caf\xC3\xA9:Op\xC3", kSessionStart + 5, kSessionStart + 6},
              {"op\x80#k\xC0=v\xE2\x82,n=\xF5#", kSessionStart + 7, kSessionStart + 8}}));
  XSpace space;
  *space.add_planes() = Convert(std::move(events));

  std::string bytes;
  ASSERT_TRUE(space.SerializeToString(&bytes));
  XSpace parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  const XPlane& plane = parsed.planes(0);
  EXPECT_EQ(plane.lines(0).name(), "worker-\xE2\x82\xAC" + r + "/7");
  // Both broken names read the same once replaced, and share one metadata.
  EXPECT_EQ(testing::EventsNamed(plane, "load" + r).size(), 2u);
  const XEvent& op = EventNamed(plane, "op" + r);
  EXPECT_THAT(
      testing::StatTexts(plane, op),
      ::testing::UnorderedElementsAre(::testing::Pair("traceme_flag", "1"),
                                      ::testing::Pair("k" + r, "v" + r), ::testing::Pair("n", r)));
  // Valid text is untouched, also in the display name taken from it.
  const XEvent& cafe = EventNamed(plane, "caf\xC3\xA9:Op" + r);
  EXPECT_EQ(plane.event_metadata().at(cafe.metadata_id()).display_name(), "Op" + r);
}

// Log settings are read once per process, hence the child processes.
ZENTRIK_CHILD_SCENARIO(ConvertWithLogs) {
  TraceMeRecorder::Events events;
  events.push_back(Thread(7, "main",
                          {{"x:y:Add", kSessionStart + 1, kSessionStart + 2},
                           {"x:y:Add", kSessionStart + 3, kSessionStart + 4},
                           {"op#a=1#", kSessionStart + 5, kSessionStart + 6},
                           {"early", kSessionStart - 1, kSessionStart + 6}}));
  events.push_back(Thread(8, "other", {{"early", kSessionStart - 5, kSessionStart}}));
  Convert(std::move(events));
  return 0;
}

TEST(HostTracerUtilsTest, LogsPerThreadCountsAndEncodedNamesAtInfo) {
  const testing::ChildResult info =
      testing::RunScenario("ConvertWithLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(info.exit_code, 0) << info.err;
  EXPECT_THAT(info.err, HasSubstr("] origin annotation = op#a=1#\n"));
  EXPECT_THAT(info.err, HasSubstr("] Host Tracer [thread id: 7] has collected 3 events.\n"));
  EXPECT_THAT(info.err, HasSubstr("] Host Tracer [thread id: 8] has collected 0 events.\n"));
  // The multiple-delimiter warning comes once per name, not once per event.
  const std::string warning = "Find multiple isolated delimiter ':' in x:y:Add";
  const size_t first = info.err.find(warning);
  ASSERT_NE(first, std::string::npos) << info.err;
  EXPECT_EQ(info.err.find(warning, first + 1), std::string::npos) << info.err;

  const testing::ChildResult quiet = testing::RunScenario("ConvertWithLogs");
  ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_THAT(quiet.err, Not(HasSubstr("origin annotation")));
  EXPECT_THAT(quiet.err, Not(HasSubstr("Host Tracer")));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
