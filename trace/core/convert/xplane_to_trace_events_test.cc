#include "trace/core/convert/xplane_to_trace_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/plane_events.h"
#include "testing/pmu_fixtures.h"
#include "testing/pmu_values.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/pmu_display_args.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;
using ::zentrik::testing::AddPlaneEvent;

using Args = std::map<std::string, std::string>;

// "key=value|" per argument, sorted by key; "NA" figures only counted.
std::string ArgsText(const TraceEvent& event) {
  std::string text;
  int unknown = 0;
  for (const auto& [key, value] : Args(event.args().begin(), event.args().end())) {
    if (value == "NA") ++unknown;
    if (value != "NA") text += key + "=" + value + "|";
  }
  return unknown == 0 ? text : text + std::to_string(unknown) + " NA";
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

Trace Convert(const XSpace& space) {
  Trace trace;
  ConvertXSpaceToTraceEvents(space, &trace);
  return trace;
}

// Each device "key name [resource name sort_index]...", sorted by key, then
// each event "name@device/resource".
std::string Layout(const Trace& trace) {
  std::map<uint32_t, const Device*> devices;
  for (const auto& [key, device] : trace.devices()) devices[key] = &device;
  std::string text;
  for (const auto& [key, device] : devices) {
    EXPECT_EQ(device->device_id(), key);
    text += std::to_string(key) + " " + device->name();
    std::map<uint32_t, const Resource*> resources;
    for (const auto& [id, resource] : device->resources()) resources[id] = &resource;
    for (const auto& [id, resource] : resources) {
      EXPECT_EQ(resource->resource_id(), id);
      text += " [" + std::to_string(id) + " " + resource->name() + " " +
              std::to_string(resource->sort_index()) + "]";
    }
    text += "\n";
  }
  for (const TraceEvent& event : trace.trace_events()) {
    text += event.name() + "@" + std::to_string(event.device_id()) + "/" +
            std::to_string(event.resource_id()) + " ";
  }
  return text;
}

// The host plane becomes device 501, device planes their id + 1; lines become
// resources keyed by display id or id, sort indices in line order on the host.
TEST(XPlaneToTraceEventsTest, PlanesBecomeDevicesAndLinesResources) {
  XSpace space;
  const struct {
    const char* name;
    int64_t id;
    const char* event;  // nullptr: the plane has no lines
  } planes[] = {
      {"/device:ZRA:1", 1, "kernel1"},         {"/host:CPU", 0, "host"},
      {"/device:ZRA:0", 0, "kernel0"},         {"/other", 3, "other"},
      {"/device:ZRA:big", 0x100000004, "big"},
  };
  for (const auto& p : planes) {
    XPlaneBuilder plane(AddPlane(&space, p.name, p.id));
    if (p.event != nullptr) AddPlaneEvent(plane, 1, p.event, 0, 0);
  }
  const struct {
    int64_t id, display_id;
    const char* name;
    const char* display_name;
  } lines[] = {{7, 0, "a", ""}, {7, 0, "c", ""}, {40, 12, "n", "shown"}, {3, -1, "", ""}};
  for (XPlane* plane : {space.mutable_planes(1), space.mutable_planes(2)}) {
    for (const auto& l : lines) {
      XLine* line = plane->add_lines();
      line->set_id(l.id);
      line->set_display_id(l.display_id);
      line->set_name(l.name);
      line->set_display_name(l.display_name);
    }
    XPlaneBuilder builder(plane);
    AddPlaneEvent(builder, 40, "on 40", 0, 0);
  }
  EXPECT_EQ(Layout(Convert(space)),
            "1 /device:ZRA:0 [1  0] [7 c 0] [12 shown 0] [4294967295  0]\n"
            "2 /device:ZRA:1 [1  0]\n"
            "5 /device:ZRA:big [1  0]\n"
            "501 /host:CPU [1  1] [7 c 3] [12 shown 4] [4294967295  5]\n"
            "host@501/1 on 40@501/12 kernel1@2/1 kernel0@1/1 on 40@1/12 big@5/1 ");
}

// Names come from display names and step names; stats become arguments.
TEST(XPlaneToTraceEventsTest, EventNamesAndArguments) {
  XSpace space;
  XPlaneBuilder plane(AddPlane(&space, "/device:ZRA:0", 0));
  const auto stat = [&](const std::string& name) { return *plane.GetOrCreateStatMetadata(name); };
  XEventMetadata* displayed = plane.GetOrCreateEventMetadata("N");
  displayed->set_display_name("D");
  XLineBuilder line = plane.GetOrCreateLine(1);
  line.AddEvent(*displayed).AddStatValue(stat("step_name"), "S");
  line.AddEvent(*plane.GetOrCreateEventMetadata("plain"));
  line.mutable_line()->add_events()->set_metadata_id(999);  // no such metadata
  XEventBuilder event = line.AddEvent(*displayed);
  event.AddStatValue(stat("long_name"), "L");
  event.AddStatValue(stat("correlation_id"), uint64_t{18446744073709551615u});
  event.AddStatValue(stat("dimx"), int64_t{-3});
  event.AddStatValue(stat("size"), 1.5);
  event.AddStatValue(stat("nan"), -std::numeric_limits<double>::quiet_NaN());
  event.mutable_event()->add_stats()->set_metadata_id(stat("bytes").id());
  event.mutable_event()->mutable_stats()->rbegin()->set_bytes_value(std::string("\0\1", 2));
  XStat* ref = event.mutable_event()->add_stats();
  ref->set_metadata_id(stat("kernel_type").id());
  ref->set_ref_value(stat("referenced name").id());
  event.mutable_event()->add_stats()->set_metadata_id(stat("no value").id());
  for (const char* hidden : {"_r", "traceme_flag"}) event.AddStatValue(stat(hidden), 1);
  event.AddStatValue(stat("dimy"), 1);
  event.AddStatValue(stat("dimy"), 2);  // the later value wins
  XStat* unnamed = event.mutable_event()->add_stats();
  unnamed->set_metadata_id(12345);  // no such metadata: the key is empty
  unnamed->set_str_value("orphan");
  const Trace trace = Convert(space);
  std::string text;  // "name: arguments" per event
  for (const TraceEvent& e : trace.trace_events()) {
    text += e.name() + ": " + ArgsText(e) + "\n";
  }
  EXPECT_EQ(text,
            "S: long_name=N|step_name=S|\nplain: \n: \n"
            "D: =orphan|bytes=<opaque bytes>|correlation_id=18446744073709551615|dimx=-3|dimy=2|"
            "kernel_type=referenced name|long_name=L|nan=nan|size=1.500000|\n");
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
      {0, 0, kMax, 0, static_cast<uint64_t>(kMax)},
      // Out of range: clamped.
      {0, -1, 5, 0, 5},
      {3, -3001, 5, 0, 5},
      {18446744073709551, 616, 5, 18446744073709551615u, 5},
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
              ElementsAre("WARNING 4 trace viewer events had a negative or overflowing start or "
                          "a negative duration; their times were clamped to the valid range."));
}

// An op event as the kernel PMU pass leaves it on the host: its kernels'
// counters (lt_cycles 6400, io_dma_read_bytes 2000 over field14 = 100 ns) on
// an ACC202 with 4 cores at 1000 MHz and 10 bytes/ns, the counters its
// annotation carried (read_bytes 500, mac_ops 77), and the two flags; with a
// stat named like a figure and a double stat.
Trace ConvertOp(const std::string& display_name, bool own_flag, bool annotation_flag) {
  testing::XSpaceFixture fixture;
  testing::TraceMeSpec params;
  params.name = "op";
  params.display_name = display_name;
  params.annotation_counters = testing::AllUnknownPmuData();
  params.annotation_counters->set_io_dma_read_bytes(500);
  params.annotation_counters->set_mac_ops(77);
  params.args = {{"[PMU]mac_ops(count)", std::string("stat")}, {"ratio", 0.25}};
  XEventBuilder event = fixture.AddTraceMe(params);
  PmuData counters = testing::AllUnknownPmuData();
  counters.set_lt_cycles(6400);
  counters.set_io_dma_read_bytes(2000);
  counters.set_field14(100);
  event.SetPmuData(counters);
  DeviceInfo device;
  device.set_zra_type(ACC202);
  device.set_frequency(1000);
  device.set_core_count(4);
  device.set_core_used(4);
  device.set_top_bandwidth(10);
  event.SetDeviceInfo(device);
  event.mutable_event()->set_pmu_data_flag(own_flag);
  event.mutable_event()->set_second_pmu_data_flag(annotation_flag);
  return Convert(fixture.space());
}

// The annotation's bytes over the kernel's own running time; the figures
// replace the like-named stat.
TEST(XPlaneToTraceEventsTest, OpsShowBothPmuRecordsWhenFlagged) {
  EXPECT_EQ(ArgsText(ConvertOp("gemm", true, false).trace_events(0)),
            "[PMU]io_dma_read_bytes(bytes)=[2000, 500]|[PMU]lt_cycles(count)=6400|"
            "[PMU]lt_utilization(%)=25.00 %|[PMU]mac_ops(count)=77|"
            "[PMU]read_bandwidth_utilization(%)=[200.00 %, 50.00 %]|"
            "[PMU]total_cycles_estimated(count)=400|long_name=op|ratio=0.250000|23 NA");
  // Shown when the annotation's flag is set, or the op's own for what is not
  // a kernel launch.
  const struct {
    const char* display_name;
    bool own_flag, annotation_flag, shown;
  } cases[] = {
      {"qxInvokeKernel", true, false, false},
      {"qxInvokeKernel", false, true, true},
      {"gemm", false, false, false},
  };
  for (const auto& c : cases) {
    const Trace trace = ConvertOp(c.display_name, c.own_flag, c.annotation_flag);
    EXPECT_EQ(trace.trace_events(0).args_size(), c.shown ? 31 : 3)
        << c.display_name << c.own_flag << c.annotation_flag;
  }
}

// The args object of the first event named `name` in `json`; its values hold
// no brace.
std::string ArgsObject(const std::string& json, const std::string& name) {
  const size_t event = json.find("\"name\":\"" + name + "\",\"args\":{");
  if (event == std::string::npos) return "<no such event>";
  const size_t begin = json.find('{', event);
  return json.substr(begin, json.find('}', begin) + 1 - begin);
}

// An event with thousands of stats under a few hundred names (and one nameless
// one) in scrambled order: each name shows once, in ascending unsigned byte
// order, with the value of its last stat; a "long_name" stat replaces the
// metadata's name, the PMU figures replace stats named like them.
TEST(XPlaneToTraceEventsTest, ManyArgumentsShowEachNameOnceWithItsLastValue) {
  std::vector<std::string> names = {"", "long_name", "[PMU]mac_ops(count)", "~", "\x7f"};
  for (int i = 0; i < 400; ++i) {
    // Some names are prefixes of others; some hold bytes above 0x7f.
    names.push_back((i % 5 == 0 ? "\xc3\xa9" : "k") + std::to_string(i % 7 == 0 ? i / 7 : i));
  }
  uint64_t state = 11;
  const auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % bound;
  };
  testing::TraceMeSpec params;
  params.name = "op";
  params.display_name = "many";
  params.annotation_counters = testing::AllUnknownPmuData();
  Args expected = {{"long_name", "op"}};
  for (int i = 0; i < 6000; ++i) {
    const std::string& name = names[next(names.size())];
    if (i % 3 == 0) {
      params.args.emplace_back(name, int64_t{i});
    } else {
      params.args.emplace_back(name, "v" + std::to_string(i));
    }
    expected[name] = (i % 3 == 0 ? "" : "v") + std::to_string(i);
  }
  for (size_t i = 0; i < kPmuDisplayArgCount; ++i) {
    expected[std::string(PmuDisplayArgKey(i))] = "NA";
  }
  testing::XSpaceFixture fixture;
  fixture.AddTraceMe(params);

  std::string expected_object = "{";
  for (const auto& [key, value] : expected) {
    if (expected_object.size() > 1) expected_object += ",";
    expected_object +=
        Json::valueToQuotedString(key.c_str()) + ":" + Json::valueToQuotedString(value.c_str());
  }
  expected_object += "}";
  std::string json;
  ASSERT_TRUE(XSpaceTraceJson(fixture.space())
                  .Write(kTraceJsonChunkBytes,
                         [&json](std::string_view piece) {
                           json += piece;
                           return Status();
                         })
                  .ok());
  EXPECT_EQ(ArgsObject(json, "many"), expected_object);
  EXPECT_TRUE(TraceToJson(Convert(fixture.space())) == json);
}

// The export writes the document from the space; it must be the text of the
// Trace that the conversion and the dropping give, whatever the space: ties at
// the limit, clamped times, flows.
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
        XEventBuilder event = AddPlaneEvent(
            plane, static_cast<int64_t>(next(3)),
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

// Converts an empty space into a trace prefilled with PREFILL events, one of
// them (the eighth) starting after all the others; prints the events kept and
// the eighth's start.
ZENTRIK_CHILD_SCENARIO(ConvertPrefilledTrace) {
  const uint32_t events = static_cast<uint32_t>(std::stoul(getenv("PREFILL")));
  Trace trace;
  for (uint32_t i = 0; i < events; ++i) {
    trace.add_trace_events()->set_timestamp_ps(i == 7 ? events : i);
  }
  ConvertXSpaceToTraceEvents(XSpace(), &trace);
  printf("%d %d\n", trace.trace_events_size(),
         events > 7 ? static_cast<int>(trace.trace_events(7).timestamp_ps()) : -1);
  return 0;
}

TEST(XPlaneToTraceEventsTest, DropsBeyondFiveMillionEventsUnlessSwitchedOff) {
  const std::string kFiveMillionAndOne = std::to_string(kMaxTraceViewerEvents + 1);
  const struct {
    const char* value;  // of the switch; nullptr: unset
    std::string prefill;
    const char* out;
    std::vector<std::string> lines;
  } cases[] = {
      {nullptr,
       kFiveMillionAndOne,
       "5000000 8\n",
       {"INFO Trace viewer events number: 5000001",
        "WARNING Drop events to avoid loading failure for trace viewer because of it's "
        "scalability issues. Maximum number of events is set as 5000000. The dropping can be "
        "disabled using 'export ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = true'"}},
      {"true", kFiveMillionAndOne, "5000001 5000001\n", {}},
  };
  for (const auto& c : cases) {
    const auto child = testing::RunScenario(
        "ConvertPrefilledTrace", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"},
                                  {"PREFILL", c.prefill},
                                  {"ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING",
                                   c.value ? std::optional<std::string>(c.value) : std::nullopt}});
    const std::string row = c.value ? c.value : "unset";
    ASSERT_EQ(child.exit_code, 0) << row << child.err;
    EXPECT_EQ(child.out, c.out) << row;
    EXPECT_EQ(ConversionLogLines(child.err), c.lines) << row;
  }
}

std::vector<std::string> EventNames(const Trace& trace) {
  std::vector<std::string> names;
  for (const TraceEvent& event : trace.trace_events()) names.push_back(event.name());
  return names;
}

// The document the export streams from the space, with no limit in reach.
std::string StreamedJson(const XSpace& space) {
  std::string json;
  EXPECT_TRUE(XSpaceTraceJson(space)
                  .Write(64,
                         [&json](std::string_view piece) {
                           json += piece;
                           return Status();
                         })
                  .ok());
  return json;
}

// Checked on its own: the streamed document is compared with the Trace's
// text, and both go through one converter.
TEST(XPlaneToTraceEventsTest, MemoryEventsAreNotShown) {
  XSpace space;
  for (XPlane* raw : {AddPlane(&space, kHostPlaneName, 0), AddPlane(&space, "/device:ZRA:0", 0)}) {
    XPlaneBuilder plane(raw);
    AddPlaneEvent(plane, 1, "MemoryAllocation", 0, 10);
    AddPlaneEvent(plane, 1, "TaskLaunch", 20, 10);
    AddPlaneEvent(plane, 1, "MemoryDeallocation", 40, 10);
  }
  EXPECT_THAT(EventNames(Convert(space)), ElementsAre("TaskLaunch", "TaskLaunch"));
  EXPECT_EQ(XSpaceTraceJson(space).event_count(), 2u);
  const std::string json = StreamedJson(space);
  EXPECT_EQ(json.find("Memory"), std::string::npos) << json;
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

// Every event starting by the limit-th earliest start stays, ties included,
// in its order; a limit of 0 counts as 1. The warning comes only when more
// events than the limit came in.
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
      {{7, 7, 7, 7, 7}, 3, {"0", "1", "2", "3", "4"}},
      {{kLast, 0, kLast - 1, 1}, 3, {"1", "2", "3"}},
      {{3, 2, 1}, 1, {"2"}},
      {{3, 2, 1}, 0, {"2"}},
      {{}, 0, {}},
  };
  for (const auto& c : cases) {
    Trace trace = TraceWithStarts(c.starts);
    testing::StderrCapture capture;
    MaybeDropEventsForTraceViewer(&trace, c.limit);
    const std::vector<std::string> lines = ConversionLogLines(capture.Stop());
    const std::string row =
        "limit " + std::to_string(c.limit) + ", " + std::to_string(c.starts.size()) + " events";
    EXPECT_EQ(EventNames(trace), c.kept) << row;
    // Warned whenever more events than the limit came in, ties kept or not.
    const bool cuts = c.starts.size() > std::max<uint32_t>(c.limit, 1);
    ASSERT_EQ(lines.size(), cuts ? 1u : 0u) << row;
    if (cuts) {
      EXPECT_EQ(lines[0],
                "WARNING Drop events to avoid loading failure for trace viewer because "
                "of it's scalability issues. Maximum number of events is set as " +
                    std::to_string(std::max<uint32_t>(c.limit, 1)) +
                    ". The dropping can be disabled using 'export "
                    "ZENTRIK_DISABLE_TRACE_VIEWER_EVENTS_DROPPING = true'");
    }
  }
}

// The host process is 501, and so is device plane 500's: the two share it,
// the device plane's name and lines added to the host's.
TEST(XPlaneToTraceEventsTest, DevicePlane500SharesTheHostProcess) {
  XSpace space;
  XPlaneBuilder host(AddPlane(&space, kHostPlaneName, 0));
  host.GetOrCreateLine(1).SetName("host thread");
  AddPlaneEvent(host, 1, "host event", 0, 0);
  XPlaneBuilder device(AddPlane(&space, "/device:ZRA:500", 500));
  device.GetOrCreateLine(2).SetName("queue");
  AddPlaneEvent(device, 2, "kernel", 0, 0);
  const Trace trace = Convert(space);
  EXPECT_EQ(Layout(trace),
            "501 /device:ZRA:500 [1 host thread 1] [2 queue 1]\n"
            "host event@501/1 kernel@501/2 ");
}

// The arguments of `event` whose keys start with "[PMU]", as ArgsText gives
// them.
std::string PmuArgsText(const TraceEvent& event) {
  TraceEvent pmu;
  for (const auto& [key, text] : event.args()) {
    if (key.rfind("[PMU]", 0) == 0) (*pmu.mutable_args())[key] = text;
  }
  return ArgsText(pmu);
}

// A kernel's figures stand on its device event; its launch, which carries the
// same counters, shows none. A kernel without counters shows none either.
TEST(XPlaneToTraceEventsTest, KernelsShowTheirFiguresOnTheDeviceNotOnTheLaunch) {
  testing::XSpaceFixture fixture(/*session_start_ns=*/1000);
  testing::KernelSpec traced;
  traced.kernel_name = "gemm(float*)";
  traced.correlation_id = 5;
  traced.launch_start_ns = 1010;
  traced.launch_end_ns = 1020;
  traced.start_ns = 1030;
  traced.end_ns = 1130;
  // lt_cycles 6400 and 2000 bytes read over 100 ns on an ACC202 with 4 cores
  // at 1000 MHz and 10 bytes/ns.
  traced.counters = testing::AllUnknownPmuData();
  traced.counters->set_lt_cycles(6400);
  traced.counters->set_io_dma_read_bytes(2000);
  traced.device_info = testing::MakeDeviceInfo(ACC202, 1000, 4, 4, 10);
  fixture.AddKernel(traced);
  testing::KernelSpec untraced = traced;
  untraced.kernel_name = "copy(int*)";
  untraced.correlation_id = 6;
  untraced.counters.reset();
  fixture.AddKernel(untraced);
  const Trace trace = Convert(fixture.space());

  ASSERT_THAT(EventNames(trace), ElementsAre("qxInvokeKernel", "qxInvokeKernel", "gemm", "copy"));
  for (const int i : {0, 1, 3}) EXPECT_EQ(PmuArgsText(trace.trace_events(i)), "") << i;
  const TraceEvent& kernel = trace.trace_events(2);
  EXPECT_EQ(PmuArgsText(kernel),
            "[PMU]io_dma_read_bytes(bytes)=2000|[PMU]lt_cycles(count)=6400|"
            "[PMU]lt_utilization(%)=25.00 %|[PMU]read_bandwidth_utilization(%)=200.00 %|"
            "[PMU]total_cycles_estimated(count)=400|24 NA");
  EXPECT_EQ(kernel.args().at("correlation_id"), "5");
  EXPECT_EQ(kernel.timestamp_ps(), 1030000u);  // lines start at the session start
  EXPECT_EQ(kernel.duration_ps(), 100000u);
}

// An event flagged for its annotation's counters that holds no counters at
// all shows zeros, not garbage or missing values.
TEST(XPlaneToTraceEventsTest, MissingCountersReadAsZeros) {
  XSpace space;
  XPlaneBuilder plane(AddPlane(&space, kHostPlaneName, 0));
  AddPlaneEvent(plane, 1, "annotated", 0, 0).mutable_event()->set_second_pmu_data_flag(true);
  const Trace trace = Convert(space);
  ASSERT_THAT(trace.trace_events(), SizeIs(1));
  const auto& args = trace.trace_events(0).args();
  EXPECT_THAT(args, SizeIs(29));
  const std::pair<const char*, const char*> zeros[] = {
      {"[PMU]lt_cycles(count)", "0"},
      {"[PMU]tlb_read_miss(times)", "0"},
      {"[PMU]io_dma_read_bytes(bytes)", "[0, 0]"},
      {"[PMU]io_dma_write_bytes(bytes)", "[0, 0]"},
      {"[PMU]mac_ops(count)", "0"},
      {"[PMU]vector_ops(count)", "0"},
      // No running time: no cycle total.
      {"[PMU]total_cycles_estimated(count)", "NA"},
  };
  for (const auto& [key, text] : zeros) EXPECT_EQ(args.at(key), text) << key;
}

// One event converted alone lands in the destination's process and thread;
// a memory event adds nothing. The arena form converts a space as the plain
// one does.
TEST(XPlaneToTraceEventsTest, ConvertsOneEventAndASpaceOnAnArena) {
  XSpace space;
  XPlaneBuilder plane(AddPlane(&space, kHostPlaneName, 0));
  AddPlaneEvent(plane, 1, "op", 2000, 30, {{"size", int64_t{4}}});
  AddPlaneEvent(plane, 1, "late", -1, 5);
  AddPlaneEvent(plane, 1, "MemoryAllocation", 10, 5);
  const XPlaneVisitor visitor(&space.planes(0), {FindHostEventType}, {FindStatType});
  const XLine& line = space.planes(0).lines(0);
  Trace trace;
  const TraceEventDestination destination = {7, 9, &trace};
  const bool clamped[] = {false, true, false};
  for (int i = 0; i < line.events_size(); ++i) {
    EXPECT_EQ(
        ConvertXEventToTraceEvent(destination, XEventVisitor(&visitor, &line, &line.events(i))),
        clamped[i])
        << i;
  }
  ASSERT_THAT(trace.trace_events(), SizeIs(2));
  EXPECT_EQ(Layout(trace), "op@7/9 late@7/9 ");
  EXPECT_EQ(ArgsText(trace.trace_events(0)), "size=4|");
  EXPECT_EQ(trace.trace_events(0).timestamp_ps(), 2000u);
  EXPECT_EQ(trace.trace_events(1).timestamp_ps(), 0u);

  google::protobuf::Arena arena(TraceArenaOptions());
  const Trace* on_arena = ConvertXSpaceToTraceEvents(space, &arena);
  EXPECT_EQ(on_arena->GetArena(), &arena);
  EXPECT_EQ(on_arena->SerializeAsString(), Convert(space).SerializeAsString());
}

// A device plane without lines is a process without threads; a plane id
// whose successor wraps becomes process 0; of two host planes the first is
// shown.
TEST(XPlaneToTraceEventsTest, PlaneIdsWrapAndOnlyTheFirstHostPlaneIsShown) {
  XSpace space;
  AddPlane(&space, "/device:ZRA:9", 9);
  AddPlane(&space, "/device:ZRA:4294967295", 0xffffffff);
  XPlaneBuilder host(AddPlane(&space, kHostPlaneName, 0));
  AddPlaneEvent(host, 1, "host", 0, 0);
  XPlaneBuilder second_host(AddPlane(&space, kHostPlaneName, 7));
  AddPlaneEvent(second_host, 2, "second host", 0, 0);
  EXPECT_EQ(Layout(Convert(space)),
            "0 /device:ZRA:4294967295\n10 /device:ZRA:9\n501 /host:CPU [1  1]\nhost@501/1 ");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
