#include "trace/core/internal/cpu/host_tracer_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "testing/xspace_reader.h"
#include "trace/core/utils/utf8_utils.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::Pair;
using ::zentrik::testing::AllUnknownPmuData;
using ::zentrik::testing::DeterministicBytes;
using ::zentrik::testing::EventNamed;
using ::zentrik::testing::StatTexts;

constexpr int64_t kStart = 1000000;

// The host plane of one thread's `events`, each over [kStart + 1, kStart + 2].
XPlane Convert(const std::string& thread_name, const std::vector<std::string>& names) {
  TraceMeRecorder::Events events(1);
  events[0].thread = {7, thread_name};
  for (const std::string& name : names) events[0].events.push_back({name, kStart + 1, kStart + 2});
  XPlane plane;
  plane.set_name(kHostPlaneName);
  ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
  return plane;
}

// Events come in any order, with many equal starts and ends, from two
// recordings of the same thread: the line is ordered by start, the longer
// first, and events equal in both keep the order they were recorded in.
TEST(HostTracerUtilsTest, LinesAreStablySortedByStartThenLongerFirst) {
  std::mt19937 rng(11);
  for (int round = 0; round < 50; ++round) {
    TraceMeRecorder::Events events(2);
    int next = 0;
    for (auto& thread : events) {
      thread.thread = {7, "t"};
      for (int i = 0; i < 40; ++i) {
        const int64_t start = kStart + static_cast<int64_t>(rng() % 4);
        thread.events.push_back({std::to_string(next++), start, start + int64_t(rng() % 3)});
      }
    }
    XPlane plane;
    ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
    const auto& line = plane.lines(0).events();
    auto number = [&plane](const XEvent& event) {
      return std::stoi(plane.event_metadata().at(event.metadata_id()).name());
    };
    for (int i = 1; i < line.size(); ++i) {
      const XEvent &a = line[i - 1], &b = line[i];
      ASSERT_FALSE(XEventsComparator()(&b, &a)) << round << " at " << i;
      if (!XEventsComparator()(&a, &b)) {
        ASSERT_LT(number(a), number(b)) << round << " at " << i;
      }
    }
  }
}

// One recording thread per row, each converted alone onto a fresh plane, so
// the line shows the converter's own order and filter, not a later re-sort
// of a line that two threads of one id share. Times are nanoseconds from the
// session start; the line reads name@offset+duration in nanoseconds.
TEST(HostTracerUtilsTest, OrdersEachThreadByStartLongerFirstAndKeepsTheSessionStart) {
  struct Recorded {
    const char* name;
    int64_t start, end;  // from kStart
  };
  const struct {
    const char* row;
    std::vector<Recorded> events;  // in recording order
    const char* line;
  } rows[] = {
      {"equal starts, the shorter recorded first (nested scopes end inner first)",
       {{"inner", 1, 2}, {"outer", 1, 5}},
       "outer@1+4 inner@1+1"},
      {"equal starts, the longer recorded first",
       {{"outer", 1, 5}, {"inner", 1, 2}},
       "outer@1+4 inner@1+1"},
      {"three at one start, in neither order",
       {{"mid", 2, 5}, {"short", 2, 3}, {"long", 2, 9}},
       "long@2+7 mid@2+3 short@2+1"},
      {"an earlier start goes first, however short",
       {{"late_long", 5, 50}, {"early_short", 1, 2}},
       "early_short@1+1 late_long@5+45"},
      {"an instant after a longer event of the same start",
       {{"instant", 3, 3}, {"span", 3, 4}},
       "span@3+1 instant@3+0"},
      {"starting exactly at the session start stays, at offset 0; a nanosecond earlier goes",
       {{"before", -1, 3}, {"at_short", 0, 1}, {"at", 0, 3}},
       "at@0+3 at_short@0+1"},
      {"an instant exactly at the session start stays", {{"at_instant", 0, 0}}, "at_instant@0+0"},
      {"an event ending before it starts is the longest: durations compare unsigned",
       {{"forward", 3, 4}, {"backward", 3, 2}},
       "backward@3+-1 forward@3+1"},
      {"offsets compare in full 64 bits (2^32 ns is 0 in the low 32 bits of picoseconds)",
       {{"far", int64_t{1} << 32, (int64_t{1} << 32) + 1}, {"near", 4, 5}},
       "near@4+1 far@4294967296+1"},
      {"no start or no end: dropped, also where the start would compare unsigned",
       {{"no_end", 1, -kStart}, {"negative_start", -kStart - 1, 2}, {"kept", 2, 3}},
       "kept@2+1"},
  };
  uint32_t tid = 100;
  for (const auto& row : rows) {
    TraceMeRecorder::Events events(1);
    events[0].thread = {++tid, "t"};
    for (const Recorded& e : row.events) {
      events[0].events.push_back({e.name, kStart + e.start, kStart + e.end});
    }
    XPlane plane;
    ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
    ASSERT_EQ(plane.lines_size(), 1) << row.row;
    std::string line;
    for (const XEvent& event : plane.lines(0).events()) {
      line += (line.empty() ? "" : " ") + plane.event_metadata().at(event.metadata_id()).name() +
              "@" + std::to_string(event.offset_ps() / 1000) + "+" +
              std::to_string(event.duration_ps() / 1000);
    }
    EXPECT_EQ(line, row.line) << row.row;
  }
}

// Argument values become int64, double or string stats (kind letter before
// the text); one that does not convert never ends the event's other pairs.
// PMU keys fill second_pmu_data (flag set) instead; values that are no number
// in range leave the counter as it was.
TEST(HostTracerUtilsTest, ArgumentsBecomeTypedStatsOrSecondPmuData) {
  const auto only = [](void (PmuData::*set)(uint64_t), uint64_t value) {
    std::optional<PmuData> data = AllUnknownPmuData();
    if (set != nullptr) (*data.*set)(value);
    return data;
  };
  const struct {
    std::string args, stats;
    std::optional<PmuData> second;  // unset: flag clear, all unknown
  } cases[] = {
      {"v=\t42", "v=i42;", {}},
      {"v=0x1A", "v=d26;", {}},
      {"v=1e-400", "v=d0;", {}},
      {"v=42\t", "v=s42\t;", {}},
      {"v=.5", "v=s.5;", {}},
      {"v=1e400", "v=s1e400;", {}},
      {"v=99999999999999999999", "v=s99999999999999999999;", {}},
      {"read_bytes=64", "", only(&PmuData::set_io_dma_read_bytes, 64)},
      {"mac_ops=-1", "", only(&PmuData::set_mac_ops, ~uint64_t{0})},
      {"mac_ops=abc", "", only(nullptr, 0)},
      {"mac_ops=5,mac_ops=18446744073709551616", "", only(&PmuData::set_mac_ops, 5)},
      {"v=42", "v=i42;", {}},
      {"v=-7", "v=i-7;", {}},
      {"v=3.5", "v=d3.5;", {}},
      {"v=9223372036854775807", "v=i9223372036854775807;", {}},
      {"v=1e3", "v=d1000;", {}},
      {"v=12abc", "v=s12abc;", {}},
      {"v=abc", "v=sabc;", {}},
      {"v=inf", "v=sinf;", {}},
      {"v=-1e400", "v=s-1e400;", {}},
      {"v=[1,2]", "v=s[1,2];", {}},
      {"vector_ops=7", "", only(&PmuData::set_vector_ops, 7)},
      {"write_bytes=32", "", only(&PmuData::set_io_dma_write_bytes, 32)},
      {"mac_ops=1,mac_ops=2", "", only(&PmuData::set_mac_ops, 2)},
  };
  for (const auto& c : cases) {
    const XPlane plane = Convert("main", {"op#" + c.args + ",after=1#"});
    const XEvent& event = plane.lines(0).events(0);
    std::string stats;
    for (const XStat& stat : event.stats()) {
      std::ostringstream text;
      text << plane.stat_metadata().at(stat.metadata_id()).name() << "=";
      if (stat.has_int64_value()) text << "i" << stat.int64_value();
      if (stat.has_double_value()) text << "d" << stat.double_value();
      if (stat.has_str_value()) text << "s" << stat.str_value();
      stats += text.str() + ";";
    }
    EXPECT_EQ(stats, "traceme_flag=i1;" + c.stats + "after=i1;") << c.args;
    XEvent expected = event;
    expected.set_second_pmu_data_flag(c.second.has_value());
    *expected.mutable_second_pmu_data() = c.second.value_or(AllUnknownPmuData());
    expected.set_pmu_data_flag(false);
    *expected.mutable_pmu_data() = AllUnknownPmuData();
    EXPECT_EQ(DeterministicBytes(event), DeterministicBytes(expected)) << c.args;
  }
}

// Text that is not UTF-8 would make the saved space unreadable: a thread name
// cut inside a character, bytes in an activity name, an annotation key or value.
TEST(HostTracerUtilsTest, IllFormedUtf8IsReplacedAndTheSpaceParsesBack) {
  const std::string r(kUtf8ReplacementCharacter);
  XSpace space;
  *space.add_planes() = Convert("worker-\xE2\x82\xAC\xE2\x82",
                                {"load\xFF", "load\xFE", "caf\xC3\xA9:Op\xC3",
                                 "op\x80#k\xC0=v\xE2\x82,n=\xF5#"});
  XSpace parsed;
  ASSERT_TRUE(parsed.ParseFromString(space.SerializeAsString()));
  const XPlane& plane = parsed.planes(0);
  EXPECT_EQ(plane.lines(0).name(), "worker-\xE2\x82\xAC" + r + "/7");
  // Both broken names read the same once replaced, and share one metadata.
  EXPECT_EQ(testing::EventsNamed(plane, "load" + r).size(), 2u);
  EXPECT_THAT(StatTexts(plane, EventNamed(plane, "op" + r)),
              ::testing::UnorderedElementsAre(Pair("traceme_flag", "1"), Pair("k" + r, "v" + r),
                                              Pair("n", r)));
  // Valid text is untouched, also in the display name taken from it.
  const XEvent& cafe = EventNamed(plane, "caf\xC3\xA9:Op" + r);
  EXPECT_EQ(plane.event_metadata().at(cafe.metadata_id()).display_name(), "Op" + r);
}

// Log settings are read once per process, hence the child processes.
ZENTRIK_CHILD_SCENARIO(ConvertWithLogs) {
  TraceMeRecorder::Events events(2);
  events[0].thread = {7, "main"};
  events[0].events = {{"x:y:Add", kStart + 1, kStart + 2}, {"x:y:Add", kStart + 3, kStart + 4},
                      {"op#a=1#", kStart + 5, kStart + 6}, {"early", kStart - 1, kStart + 6}};
  events[1].thread = {8, "other"};
  events[1].events = {{"early", kStart - 5, kStart}};
  XPlane plane;
  ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
  return 0;
}

TEST(HostTracerUtilsTest, LogsPerThreadCountsAndEncodedNamesAtInfo) {
  const std::string info_lines[] = {"] origin annotation = op#a=1#\n",
                                    "] Host Tracer [thread id: 7] has collected 3 events.\n",
                                    "] Host Tracer [thread id: 8] has collected 0 events.\n"};
  for (const char* level : {"0", "1"}) {
    const testing::ChildResult run =
        testing::RunScenario("ConvertWithLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", level}});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (const std::string& line : info_lines) {
      EXPECT_EQ(run.err.find(line) != std::string::npos, level[0] == '0') << line << run.err;
    }
    // The multiple-delimiter warning comes once per name, not once per event.
    const std::string warning = "Find multiple isolated delimiter ':' in x:y:Add";
    const size_t first = run.err.find(warning);
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(warning, first + 1), std::string::npos) << run.err;
  }
}

// A collection adds to what the plane holds: an existing line keeps its
// events and takes the thread's name, new metadata ids continue above the old
// ones, and the lines are sorted by name even when nothing new arrives.
TEST(HostTracerUtilsTest, AddsToExistingPlaneContent) {
  XPlane plane;
  {
    XPlaneBuilder builder(&plane);
    builder.GetOrCreateLine(9).SetName("zz");
    XLineBuilder api = builder.GetOrCreateLine(7);
    api.SetName("/Generic/7");
    api.AddEvent(*builder.GetOrCreateEventMetadata("api##qxInvokeKernel"));
  }
  ConvertRecordedEventsToHostPlane(kStart, {}, &plane);
  EXPECT_EQ(plane.lines(0).name() + "," + plane.lines(1).name(), "/Generic/7,zz");
  TraceMeRecorder::Events events(1);
  events[0].thread = {7, "main"};
  events[0].events.push_back({"step", kStart + 1, kStart + 2});
  ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
  ASSERT_EQ(plane.lines_size(), 2);
  EXPECT_EQ(plane.lines(0).name() + "," + plane.lines(1).name(), "main/7,zz");
  EXPECT_EQ(plane.lines(0).events_size(), 2);
  EXPECT_EQ(EventNamed(plane, "step").metadata_id(), 2);
  EXPECT_EQ(plane.event_metadata().at(1).name(), "api##qxInvokeKernel");
}

// Three nested scopes as recorded: the innermost ends, so comes, first.
const TraceMeRecorder::Event kNested[] = {{"inner#k=1,=x#", kStart + 3, kStart + 4},
                                          {"a:b:Mul", kStart + 2, kStart + 5},
                                          {"outer#z=2,k=3#", kStart + 1, kStart + 6}};

ZENTRIK_CHILD_SCENARIO(ConvertNestedWithLogs) {
  TraceMeRecorder::Events events(1);
  events[0].thread = {7, "main"};
  events[0].events.assign(std::begin(kNested), std::end(kNested));
  XPlane plane;
  ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
  return 0;
}

// The line comes out by start, while metadata is numbered and every line is
// logged (once) in the order the events were recorded.
TEST(HostTracerUtilsTest, MetadataAndLogsFollowTheRecordingOrder) {
  TraceMeRecorder::Events events(1);
  events[0].thread = {7, "main"};
  events[0].events.assign(std::begin(kNested), std::end(kNested));
  XPlane plane;
  ConvertRecordedEventsToHostPlane(kStart, std::move(events), &plane);
  ASSERT_EQ(plane.lines_size(), 1);
  std::vector<std::pair<std::string, int64_t>> line;
  for (const XEvent& event : plane.lines(0).events()) {
    line.emplace_back(plane.event_metadata().at(event.metadata_id()).name(), event.metadata_id());
  }
  EXPECT_THAT(line, ::testing::ElementsAre(Pair("outer", 3), Pair("a:b:Mul", 2), Pair("inner", 1)));
  std::vector<std::pair<int64_t, std::string>> stats;
  for (const auto& [id, metadata] : plane.stat_metadata()) stats.emplace_back(id, metadata.name());
  std::sort(stats.begin(), stats.end());
  EXPECT_THAT(stats, ::testing::ElementsAre(Pair(1, "traceme_flag"), Pair(2, "k"), Pair(3, "z")));

  const testing::ChildResult run =
      testing::RunScenario("ConvertNestedWithLogs", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string in_order[] = {
      "] origin annotation = inner#k=1,=x#\n",
      "] Instrumentation attribute [k=1,=x] found empty key or empty value, drop the empty pair\n",
      "] Find multiple isolated delimiter ':' in a:b:Mul\n",
      "] origin annotation = outer#z=2,k=3#\n",
      "] Host Tracer [thread id: 7] has collected 3 events.\n"};
  size_t from = 0;
  for (const std::string& text : in_order) {
    const size_t at = run.err.find(text, from);
    ASSERT_NE(at, std::string::npos) << text << run.err;
    EXPECT_EQ(run.err.find(text, at + 1), std::string::npos) << "twice: " << text << run.err;
    from = at + text.size();
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
