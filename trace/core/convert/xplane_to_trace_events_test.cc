#include "trace/core/convert/xplane_to_trace_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/decimal_comma_locale.h"
#include "testing/log_lines.h"
#include "testing/pmu_fixtures.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAre;

using Args = std::map<std::string, std::string>;

Args ArgsOf(const TraceEvent& event) { return Args(event.args().begin(), event.args().end()); }

std::vector<std::string> EventNames(const Trace& trace) {
  std::vector<std::string> names;
  for (const TraceEvent& event : trace.trace_events()) names.push_back(event.name());
  return names;
}

// Severity and message of every line that the conversion logged.
std::vector<std::string> ConversionLogLines(const std::string& text) {
  return testing::LogLinesFrom(text, "trace/core/convert/xplane_to_trace_events");
}

XPlane* AddPlane(XSpace* space, const std::string& name, int64_t id) {
  XPlane* plane = space->add_planes();
  plane->set_name(name);
  plane->set_id(id);
  return plane;
}

// Appends an event named `name` to line `line_id` of the plane.
XEventBuilder AddEvent(XPlaneBuilder* plane, int64_t line_id, const std::string& name,
                       int64_t offset_ps = 0, int64_t duration_ps = 0) {
  XLineBuilder line = plane->GetOrCreateLine(line_id);
  XEventBuilder event = line.AddEvent(*plane->GetOrCreateEventMetadata(name));
  event.SetOffsetPs(offset_ps);
  event.SetDurationPs(duration_ps);
  return event;
}

Trace Convert(const XSpace& space) {
  Trace trace;
  ConvertXSpaceToTraceEvents(space, &trace);
  return trace;
}

TEST(XPlaneToTraceEventsTest, HostPlaneIsDevice501AndDevicePlanesTheirIdPlusOne) {
  XSpace space;
  const struct {
    const char* name;
    int64_t id;
    const char* event;  // nullptr: the plane has no lines
  } planes[] = {
      {"/device:ZRA:1", 1, "kernel1"},         {"/host:CPU", 0, "host"},
      {"/device:ZRA:0", 0, "kernel0"},         {"/other", 3, "other"},
      {"/device:ZRA:9", 9, nullptr},           {"/device:ZRA:4294967295", 0xffffffff, nullptr},
      {"/device:ZRA:big", 0x100000004, "big"}, {"/host:CPU", 7, "second host"},
  };
  for (const auto& p : planes) {
    XPlane* plane = AddPlane(&space, p.name, p.id);
    XPlaneBuilder builder(plane);
    if (p.event != nullptr) AddEvent(&builder, 1, p.event);
  }
  const Trace trace = Convert(space);

  std::map<uint32_t, std::string> devices;
  for (const auto& [key, device] : trace.devices()) {
    EXPECT_EQ(device.device_id(), key);
    devices[key] = device.name();
  }
  EXPECT_EQ(devices, (std::map<uint32_t, std::string>{{501, "/host:CPU"},
                                                      {2, "/device:ZRA:1"},
                                                      {1, "/device:ZRA:0"},
                                                      {10, "/device:ZRA:9"},
                                                      {0, "/device:ZRA:4294967295"},
                                                      {5, "/device:ZRA:big"}}));
  EXPECT_THAT(trace.devices().at(10).resources(), IsEmpty());
  EXPECT_THAT(EventNames(trace), ElementsAre("host", "kernel1", "kernel0", "big"));
  std::vector<uint32_t> event_devices;
  for (const TraceEvent& event : trace.trace_events()) event_devices.push_back(event.device_id());
  EXPECT_THAT(event_devices, ElementsAre(501, 2, 1, 5));
}

TEST(XPlaneToTraceEventsTest, LinesBecomeResources) {
  XSpace space;
  XPlane* host = AddPlane(&space, kHostPlaneName, 0);
  XPlane* device = AddPlane(&space, "/device:ZRA:0", 0);
  for (XPlane* plane : {host, device}) {
    const struct {
      int64_t id;
      int64_t display_id;
      const char* name;
      const char* display_name;
    } lines[] = {
        {7, 0, "a", ""},
        {9, 0, "b", ""},
        {7, 0, "c", ""},
        {40, 12, "n", "shown"},
        {kDerivedLineId, 0, "Steps", ""},
        {3, -1, "", ""},
    };
    for (const auto& l : lines) {
      XLine* line = plane->add_lines();
      line->set_id(l.id);
      line->set_display_id(l.display_id);
      line->set_name(l.name);
      line->set_display_name(l.display_name);
    }
    XPlaneBuilder builder(plane);
    builder.GetOrCreateLine(40).AddEvent(*builder.GetOrCreateEventMetadata("on line 40"));
  }
  const Trace trace = Convert(space);

  const auto resources = [&](uint32_t device_id) {
    std::map<uint32_t, std::pair<std::string, uint32_t>> result;
    for (const auto& [key, resource] : trace.devices().at(device_id).resources()) {
      EXPECT_EQ(resource.resource_id(), key);
      result[key] = {resource.name(), resource.sort_index()};
    }
    return result;
  };
  using R = std::map<uint32_t, std::pair<std::string, uint32_t>>;
  EXPECT_EQ(resources(kHostDeviceId), (R{{7, {"c", 3}},
                                         {9, {"b", 2}},
                                         {12, {"shown", 4}},
                                         {3735928559u, {"Steps", 5}},
                                         {4294967295u, {"", 6}}}));
  EXPECT_EQ(resources(1), (R{{7, {"c", 0}},
                             {9, {"b", 0}},
                             {12, {"shown", 0}},
                             {3735928559u, {"Steps", 0}},
                             {4294967295u, {"", 0}}}));
  ASSERT_THAT(trace.trace_events(), SizeIs(2));
  EXPECT_EQ(trace.trace_events(0).resource_id(), 12u);
  EXPECT_EQ(trace.trace_events(1).resource_id(), 12u);
}

TEST(XPlaneToTraceEventsTest, EventNamesComeFromDisplayNamesAndStepNames) {
  XSpace space;
  XPlaneBuilder plane(AddPlane(&space, kHostPlaneName, 0));
  XEventMetadata* displayed = plane.GetOrCreateEventMetadata("N");
  displayed->set_display_name("D");
  XLineBuilder line = plane.GetOrCreateLine(1);
  line.AddEvent(*displayed);
  line.AddEvent(*displayed).AddStatValue(*plane.GetOrCreateStatMetadata("step_name"), "S");
  line.AddEvent(*plane.GetOrCreateEventMetadata("plain"));
  line.mutable_line()->add_events()->set_metadata_id(999);  // no such metadata
  line.AddEvent(*displayed).AddStatValue(*plane.GetOrCreateStatMetadata("long_name"), "L");
  const Trace trace = Convert(space);

  ASSERT_THAT(trace.trace_events(), SizeIs(5));
  EXPECT_THAT(EventNames(trace), ElementsAre("D", "S", "plain", "", "D"));
  EXPECT_EQ(ArgsOf(trace.trace_events(0)), (Args{{"long_name", "N"}}));
  EXPECT_EQ(ArgsOf(trace.trace_events(1)), (Args{{"long_name", "N"}, {"step_name", "S"}}));
  EXPECT_THAT(ArgsOf(trace.trace_events(2)), IsEmpty());
  EXPECT_THAT(ArgsOf(trace.trace_events(3)), IsEmpty());
  EXPECT_EQ(ArgsOf(trace.trace_events(4)), (Args{{"long_name", "L"}}));
}

TEST(XPlaneToTraceEventsTest, StatsBecomeArguments) {
  XSpace space;
  XPlane* raw_plane = AddPlane(&space, "/device:ZRA:0", 0);
  XPlaneBuilder plane(raw_plane);
  XEventBuilder event = AddEvent(&plane, 1, "kernel");
  const auto stat = [&](const std::string& name) { return *plane.GetOrCreateStatMetadata(name); };
  event.AddStatValue(stat("correlation_id"), uint64_t{18446744073709551615u});
  event.AddStatValue(stat("dimx"), int64_t{-3});
  event.AddStatValue(stat("size"), 1.5);
  event.AddStatValue(stat("tiny"), -1e-7);
  event.AddStatValue(stat("nan"), -std::numeric_limits<double>::quiet_NaN());
  event.AddStatValue(stat("flow_event_cat"), "Kernel");
  event.mutable_event()->add_stats()->set_metadata_id(stat("bytes").id());
  event.mutable_event()->mutable_stats()->rbegin()->set_bytes_value(std::string("\0\1", 2));
  XStat* ref = event.mutable_event()->add_stats();
  ref->set_metadata_id(stat("kernel_type").id());
  ref->set_ref_value(stat("referenced name").id());
  event.AddStatValue(stat("not a stat type"), "shown");
  event.mutable_event()->add_stats()->set_metadata_id(stat("no value").id());
  event.AddStatValue(stat("_r"), 1);
  event.AddStatValue(stat("kernel_details"), "hidden");
  event.AddStatValue(stat("model_id"), "hidden");
  event.AddStatValue(stat("mac_ops"), 5);
  event.AddStatValue(stat("traceme_flag"), 1);
  event.AddStatValue(stat("dimy"), 1);
  event.AddStatValue(stat("dimy"), 2);  // the later value wins
  XStat* unnamed = event.mutable_event()->add_stats();
  unnamed->set_metadata_id(12345);  // no such metadata: the key is empty
  unnamed->set_str_value("orphan");
  const Trace trace = Convert(space);

  ASSERT_THAT(trace.trace_events(), SizeIs(1));
  EXPECT_EQ(ArgsOf(trace.trace_events(0)), (Args{
                                               {"", "orphan"},
                                               {"bytes", "<opaque bytes>"},
                                               {"correlation_id", "18446744073709551615"},
                                               {"dimx", "-3"},
                                               {"dimy", "2"},
                                               {"flow_event_cat", "Kernel"},
                                               {"kernel_type", "referenced name"},
                                               {"nan", "nan"},
                                               {"not a stat type", "shown"},
                                               {"size", "1.500000"},
                                               {"tiny", "-0.000000"},
                                           }));
}

TEST(XPlaneToTraceEventsTest, TimesArePicosecondsFromTheLineStart) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const struct {
    int64_t line_ns;
    int64_t offset_ps;  // kMin: the event holds a count of occurrences instead
    int64_t duration_ps;
    uint64_t timestamp_ps;
    uint64_t expected_duration_ps;
  } cases[] = {
      {3, 2500, 700, 5500, 700},
      {3, kMin, 0, 3000, 0},
      {-1, 5000, 1, 4000, 1},
      {0, 0, kMax, 0, static_cast<uint64_t>(kMax)},
      {18446744073709551, 615, 0, 18446744073709551615u, 0},
      // Out of range: clamped.
      {0, -1, 5, 0, 5},
      {3, -3001, 5, 0, 5},
      {18446744073709551, 616, 5, 18446744073709551615u, 5},
      {kMax, 0, 0, 18446744073709551615u, 0},
      {kMin, kMax, 0, 0, 0},
      {1, 0, -1, 1000, 0},
  };
  XSpace space;
  XPlane* plane = AddPlane(&space, kHostPlaneName, 0);
  (*plane->mutable_event_metadata())[1].set_id(1);
  for (const auto& c : cases) {
    XLine* line = plane->add_lines();
    line->set_timestamp_ns(c.line_ns);
    XEvent* event = line->add_events();
    event->set_metadata_id(1);
    if (c.offset_ps == kMin) {
      event->set_num_occurrences(4);
    } else {
      event->set_offset_ps(c.offset_ps);
    }
    event->set_duration_ps(c.duration_ps);
  }
  testing::StderrCapture capture;
  const Trace trace = Convert(space);
  const std::string log = capture.Stop();

  ASSERT_THAT(trace.trace_events(), SizeIs(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(trace.trace_events(i).timestamp_ps(), cases[i].timestamp_ps) << i;
    EXPECT_EQ(trace.trace_events(i).duration_ps(), cases[i].expected_duration_ps) << i;
  }
  EXPECT_THAT(ConversionLogLines(log),
              ElementsAre("WARNING 6 trace viewer events had a negative or overflowing start or "
                          "a negative duration; their times were clamped to the valid range."));
}

DeviceInfo Acc202() {
  DeviceInfo device;
  device.set_zra_type(ACC202);
  device.set_frequency(1000);
  device.set_core_count(4);
  device.set_core_used(4);
  device.set_top_bandwidth(10);
  return device;
}

// The counters of one kernel: lt_cycles 6400, io_dma_read_bytes 2000 over
// field14 = 100 ns; the rest unknown.
PmuData KernelCounters() {
  PmuData counters = testing::AllUnknownPmuData();
  counters.set_lt_cycles(6400);
  counters.set_io_dma_read_bytes(2000);
  counters.set_field14(100);
  return counters;
}

// An op event as the kernel PMU pass leaves it on the host: its kernels'
// counters on an ACC202 with 4 cores at 1000 MHz and 10 bytes/ns, and the
// counters its annotation carried (read_bytes 500, mac_ops 77), with the two
// flags as given.
XEventBuilder AddOp(testing::XSpaceFixture* fixture, const std::string& display_name, bool own_flag,
                    bool annotation_flag) {
  testing::TraceMeSpec params;
  params.name = "op";
  params.display_name = display_name;
  params.annotation_counters = testing::AllUnknownPmuData();
  params.annotation_counters->set_io_dma_read_bytes(500);
  params.annotation_counters->set_mac_ops(77);
  XEventBuilder event = fixture->AddTraceMe(params);
  event.SetPmuData(KernelCounters());
  event.SetDeviceInfo(Acc202());
  event.mutable_event()->set_pmu_data_flag(own_flag);
  event.mutable_event()->set_second_pmu_data_flag(annotation_flag);
  return event;
}

// The arguments of `event` whose keys start with "[PMU]".
Args PmuArgsOf(const TraceEvent& event) {
  Args pmu;
  for (const auto& [key, text] : event.args()) {
    if (key.rfind("[PMU]", 0) == 0) pmu[key] = text;
  }
  return pmu;
}

TEST(XPlaneToTraceEventsTest, OpsShowBothPmuRecords) {
  testing::XSpaceFixture fixture;
  AddOp(&fixture, "gemm", /*own_flag=*/true, /*annotation_flag=*/false)
      .AddStatValue(*fixture.HostPlane().GetOrCreateStatMetadata("[PMU]mac_ops(count)"),
                    "from a stat");
  const Trace trace = Convert(fixture.space());

  ASSERT_THAT(trace.trace_events(), SizeIs(1));
  const Args expected = {
      {"[PMU]alu_cycles(count)", "NA"},
      {"[PMU]alu_utilization(%)", "NA"},
      {"[PMU]compute_efficiency(%)", "NA"},
      {"[PMU]csimd_post_cycles(count)", "NA"},
      {"[PMU]csimd_post_utilization(%)", "NA"},
      {"[PMU]csimd_pre_cycles(count)", "NA"},
      {"[PMU]csimd_pre_utilization(%)", "NA"},
      {"[PMU]ct_cycles(count)", "NA"},
      {"[PMU]ct_utilization(%)", "NA"},
      {"[PMU]dram_read_cycles(count)", "NA"},
      {"[PMU]dram_working_read_utilization(%)", "NA"},
      {"[PMU]dram_working_write_utilization(%)", "NA"},
      {"[PMU]dram_write_cycles(count)", "NA"},
      // The annotation's bytes over the kernel's own running time.
      {"[PMU]io_dma_read_bytes(bytes)", "[2000, 500]"},
      {"[PMU]io_dma_write_bytes(bytes)", "NA"},
      {"[PMU]io_efficiency(%)", "NA"},
      {"[PMU]lt_cycles(count)", "6400"},
      {"[PMU]lt_utilization(%)", "25.00 %"},
      {"[PMU]mac_ops(count)", "77"},
      {"[PMU]mac_utilization(%)", "NA"},
      {"[PMU]read_bandwidth_utilization(%)", "[200.00 %, 50.00 %]"},
      {"[PMU]tlb_read_access(times)", "NA"},
      {"[PMU]tlb_read_miss(times)", "NA"},
      {"[PMU]tlb_write_access(times)", "NA"},
      {"[PMU]tlb_write_miss(times)", "NA"},
      {"[PMU]total_cycles_estimated(count)", "400"},
      {"[PMU]vec_utilization(%)", "NA"},
      {"[PMU]vector_ops(count)", "NA"},
      {"[PMU]write_bandwidth_utilization(%)", "NA"},
  };
  EXPECT_EQ(PmuArgsOf(trace.trace_events(0)), expected);
  EXPECT_EQ(trace.trace_events(0).args().at("long_name"), "op");
}

TEST(XPlaneToTraceEventsTest, PmuFlagsAndLaunchNameDecideWhetherFiguresAreShown) {
  const struct {
    const char* display_name;
    bool own_flag;
    bool annotation_flag;
    bool shown;
  } cases[] = {
      {"qxInvokeKernel", true, false, false},
      {"qxInvokeKernel", false, true, true},
      {"qxInvokeKernel", true, true, true},
      {"gemm", true, false, true},
      {"gemm", false, true, true},
      {"gemm", false, false, false},
  };
  for (const auto& c : cases) {
    testing::XSpaceFixture fixture;
    AddOp(&fixture, c.display_name, c.own_flag, c.annotation_flag);
    const Trace trace = Convert(fixture.space());
    ASSERT_THAT(trace.trace_events(), SizeIs(1));
    EXPECT_THAT(PmuArgsOf(trace.trace_events(0)), SizeIs(c.shown ? 29 : 0))
        << c.display_name << " " << c.own_flag << " " << c.annotation_flag;
  }
}

// A trace of events named by their position, with the given start times.
Trace TraceWithStarts(const std::vector<uint64_t>& starts) {
  Trace trace;
  for (size_t i = 0; i < starts.size(); ++i) {
    TraceEvent* event = trace.add_trace_events();
    event->set_name(std::to_string(i));
    event->set_timestamp_ps(starts[i]);
  }
  return trace;
}

constexpr char kDropWarning[] =
    "WARNING Drop events to avoid loading failure for trace viewer because of it's scalability "
    "issues. Maximum number of events is set as 3. The dropping can be disabled using 'export "
    "ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = true'";

TEST(MaybeDropEventsForTraceViewerTest, KeepsEveryEventStartingByTheLimitthEarliestStart) {
  const uint64_t kLast = std::numeric_limits<uint64_t>::max();
  const struct {
    std::vector<uint64_t> starts;
    uint32_t limit;
    std::vector<std::string> kept;  // names, i.e. former positions
  } cases[] = {
      {{50, 10, 30, 10, 40, 30}, 3, {"1", "2", "3", "5"}},
      {{5, 1, 4}, 3, {"0", "1", "2"}},
      {{5, 1, 9, 4}, 3, {"0", "1", "3"}},
      {{9, 1, 5, 4}, 3, {"1", "2", "3"}},
      {{1, 5, 4, 9}, 3, {"0", "1", "2"}},
      {{7, 7, 7, 7, 7}, 3, {"0", "1", "2", "3", "4"}},
      {{kLast, 0, kLast - 1, 1}, 3, {"1", "2", "3"}},
      {{3, 2, 1}, 1, {"2"}},
      {{3, 2, 1}, 0, {"2"}},
      {{}, 3, {}},
  };
  for (const auto& c : cases) {
    Trace trace = TraceWithStarts(c.starts);
    MaybeDropEventsForTraceViewer(&trace, c.limit);
    EXPECT_EQ(EventNames(trace), c.kept) << "limit " << c.limit << ", " << c.starts.size();
  }
}

// The export writes the document from the space; it must be the text of the
// Trace that the conversion and the dropping give, whatever the space.
TEST(XSpaceTraceJsonTest, WritesTheConvertedTracesTextOnRandomSpaces) {
  uint64_t state = 7;
  const auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % bound;
  };
  for (int round = 0; round < 40; ++round) {
    XSpace space;
    for (const char* name : {kHostPlaneName, "/device:ZRA:0", "/device:ZRA:3"}) {
      XPlaneBuilder plane(AddPlane(&space, name, name[1] == 'd' ? name[12] - '0' : 0));
      for (int i = 0, events = static_cast<int>(next(30)); i < events; ++i) {
        // Repeated starts tie at the threshold; some starts and durations
        // lie outside the range and are clamped.
        XEventBuilder event = AddEvent(
            &plane, static_cast<int64_t>(next(3)),
            next(4) == 0 ? "MemoryAllocation" : "op" + std::to_string(next(5)),
            static_cast<int64_t>(next(40)) * 1000 - 5000, static_cast<int64_t>(next(9)) - 2);
        if (next(3) == 0)
          event.AddStatValue(*plane.GetOrCreateStatMetadata("correlation_id"), next(4));
        if (next(3) == 0) event.AddStatValue(*plane.GetOrCreateStatMetadata("flow_event_cat"), "K");
        if (next(3) == 0) event.AddStatValue(*plane.GetOrCreateStatMetadata("is_host"), "true");
        if (next(4) == 0) event.mutable_event()->set_second_pmu_data_flag(true);
      }
    }
    const uint32_t limit = static_cast<uint32_t>(next(60));
    Trace trace = Convert(space);
    MaybeDropEventsForTraceViewer(&trace, limit);
    const XSpaceTraceJson streamed(space, limit);
    std::string json;
    ASSERT_TRUE(streamed
                    .Write(64,
                           [&json](std::string_view piece) {
                             json += piece;
                             return Status();
                           })
                    .ok());
    EXPECT_EQ(streamed.event_count(), static_cast<size_t>(trace.trace_events_size())) << round;
    EXPECT_TRUE(json == TraceToJson(trace)) << "round " << round << ", limit " << limit;
  }
}

ZENTRIK_CHILD_SCENARIO(ConvertEmptySpaceWithInfoLogs) {
  Trace trace;
  ConvertXSpaceToTraceEvents(XSpace(), &trace);
  return 0;
}

TEST(XPlaneToTraceEventsTest, EnvironmentSwitchTurnsDroppingOff) {
  const struct {
    const char* value;  // nullptr: unset
    bool drops;
  } cases[] = {
      {nullptr, true}, {"true", false}, {"True", false}, {"TRUE", false},
      {"1", false},    {"false", true}, {"0", true},     {"2", true},
      {"yes", true},   {" true", true}, {"", true},
  };
  for (const auto& c : cases) {
    testing::EnvOverrides env = {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}};
    env.emplace_back("ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING",
                     c.value ? std::optional<std::string>(c.value) : std::nullopt);
    const auto child = testing::RunScenario("ConvertEmptySpaceWithInfoLogs", env);
    ASSERT_EQ(child.exit_code, 0) << child.err;
    const std::vector<std::string> expected =
        c.drops ? std::vector<std::string>{"INFO Trace viewer events number: 0"}
                : std::vector<std::string>{};
    EXPECT_EQ(ConversionLogLines(child.err), expected) << (c.value ? c.value : "unset");
  }
}

ZENTRIK_CHILD_SCENARIO(ConvertOneEventOverTheLimit) {
  // The conversion appends to what the trace holds, so a prefilled trace
  // stands in for a huge space.
  Trace trace;
  for (uint32_t i = 0; i <= kMaxTraceViewerEvents; ++i) {
    trace.add_trace_events()->set_timestamp_ps(i == 7 ? kMaxTraceViewerEvents + 1 : i);
  }
  ConvertXSpaceToTraceEvents(XSpace(), &trace);
  printf(
      "%d %d\n", trace.trace_events_size(),
      trace.trace_events_size() > 7 ? static_cast<int>(trace.trace_events(7).timestamp_ps()) : -1);
  return 0;
}

TEST(XPlaneToTraceEventsTest, ConversionKeepsFiveMillionEvents) {
  const auto child =
      testing::RunScenario("ConvertOneEventOverTheLimit", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(child.out, "5000000 8\n");
  EXPECT_THAT(
      ConversionLogLines(child.err),
      ElementsAre("INFO Trace viewer events number: 5000001",
                  "WARNING Drop events to avoid loading failure for trace viewer because of it's "
                  "scalability issues. Maximum number of events is set as 5000000. The dropping "
                  "can be disabled using 'export ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = "
                  "true'"));
}

ZENTRIK_CHILD_SCENARIO(ConvertKernelUnderDecimalCommaLocale) {
  if (!testing::UseDecimalCommaLocale()) return 2;
  testing::XSpaceFixture fixture;
  AddOp(&fixture, "gemm", true, false)
      .AddStatValue(*fixture.HostPlane().GetOrCreateStatMetadata("ratio"), 0.25);
  const Trace trace = Convert(fixture.space());
  const auto& args = trace.trace_events(0).args();
  printf("%s|%s|%s\n", args.at("ratio").c_str(), args.at("[PMU]lt_utilization(%)").c_str(),
         args.at("[PMU]read_bandwidth_utilization(%)").c_str());
  return 0;
}

TEST(XPlaneToTraceEventsTest, ArgumentTextDoesNotDependOnTheLocale) {
  const auto child =
      testing::RunScenarioWithDecimalCommaLocale("ConvertKernelUnderDecimalCommaLocale");
  if (!child) GTEST_SKIP() << "localedef or the de_DE locale sources are missing";
  ASSERT_EQ(child->exit_code, 0) << child->err;
  EXPECT_EQ(child->out, "0.250000|25.00 %|[200.00 %, 50.00 %]\n");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
