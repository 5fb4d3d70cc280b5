#include "trace/core/convert/trace_events_to_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "testing/decimal_comma_locale.h"
#include "testing/strict_json.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/xplane_to_trace_events.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kHeader[] =
    R"({"displayTimeUnit":"ns","metadata":{"highres-ticks":true},"traceEvents":[)";
constexpr char kTrailer[] = "{}]}";

using Args = std::map<std::string, std::string>;

TraceEvent* AddEvent(Trace* trace, uint32_t pid, uint32_t tid, const std::string& name,
                     uint64_t timestamp_ps, uint64_t duration_ps, const Args& args = {}) {
  TraceEvent* event = trace->add_trace_events();
  event->set_device_id(pid);
  event->set_resource_id(tid);
  event->set_name(name);
  event->set_timestamp_ps(timestamp_ps);
  event->set_duration_ps(duration_ps);
  for (const auto& [key, value] : args) (*event->mutable_args())[key] = value;
  return event;
}

Device* AddDevice(Trace* trace, uint32_t key, const std::string& name) {
  Device& device = (*trace->mutable_devices())[key];
  device.set_device_id(key);
  device.set_name(name);
  return &device;
}

void AddResource(Device* device, uint32_t key, const std::string& name, uint32_t sort_index) {
  Resource& resource = (*device->mutable_resources())[key];
  resource.set_resource_id(key);
  resource.set_name(name);
  resource.set_sort_index(sort_index);
}

std::string CompleteEventText(const TraceEvent& event) {
  std::string json;
  AddTraceEvent(event, &json);
  return json;
}

std::string FlowEventText(const TraceEvent& event) {
  std::string json;
  AddFlowEvent(event, &json);
  return json;
}

// The devices and events of the worked example of the trace viewer's format.
Trace ExampleTrace() {
  Trace trace;
  AddResource(AddDevice(&trace, 501, "/host:CPU"), 7, "worker", 1);
  AddResource(AddDevice(&trace, 1, "/device:ZRA:0"), 0, "", 0);
  AddEvent(&trace, 501, 7, "launch", 2000000, 500000,
           {{"correlation_id", "12"}, {"flow_event_cat", "c"}, {"is_host", "true"}});
  AddEvent(&trace, 1, 0, "kernel", 2600000, 0,
           {{"correlation_id", "12"},
            {"flow_event_cat", "c"},
            {"is_host", "false"},
            {"op_fullname", "a/b"}});
  return trace;
}

constexpr char kExampleJson[] =
    R"({"displayTimeUnit":"ns","metadata":{"highres-ticks":true},"traceEvents":[)"
    R"({"ph":"M","pid":1,"name":"process_name","args":{"name":"/device:ZRA:0"}},)"
    R"({"ph":"M","pid":1,"name":"process_sort_index","args":{"sort_index":1}},)"
    R"({"ph":"M","pid":1,"tid":0,"name":"thread_sort_index","args":{"sort_index":0}},)"
    R"({"ph":"M","pid":501,"name":"process_name","args":{"name":"/host:CPU"}},)"
    R"({"ph":"M","pid":501,"name":"process_sort_index","args":{"sort_index":501}},)"
    R"({"ph":"M","pid":501,"tid":7,"name":"thread_name","args":{"name":"worker"}},)"
    R"({"ph":"M","pid":501,"tid":7,"name":"thread_sort_index","args":{"sort_index":1}},)"
    R"({"ph":"X","pid":501,"tid":7,"ts":2,"dur":0.5,"name":"launch","args":{"correlation_id":"12"}},)"
    R"({"cat":"c","pid":501,"tid":7,"ts":2,"name":"correlation 12","id":"12","ph":"s"},)"
    R"({"ph":"X","pid":1,"tid":0,"ts":2.6000000000000001,"dur":9.9999999999999995e-07,)"
    R"("name":"kernel","args":{"correlation_id":"12","op":"a/b"}},)"
    R"({"cat":"c","pid":1,"tid":0,"ts":2.6000000000000001,"name":"correlation 12","id":"12",)"
    R"("ph":"f","bp":"e"},)"
    R"({}]})";

TEST(TraceToJsonTest, WritesMetadataThenEventsEachFollowedByItsFlow) {
  EXPECT_EQ(TraceToJson(ExampleTrace()), kExampleJson);
}

TEST(TraceToJsonTest, MetadataIsSortedByKeyAndUsesTheKeys) {
  Trace trace;
  // Inserted out of order; ids that differ from the keys are not written.
  Device* device = AddDevice(&trace, 4294967295u, "");
  device->set_device_id(3);
  AddResource(device, 3735928559u, "Steps", 0);
  AddResource(device, 0, "", 0);
  Device* host = AddDevice(&trace, 2, "h");
  AddResource(host, 9, "", 2);
  AddResource(host, 7, "a", 0);
  (*host->mutable_resources())[7].set_resource_id(70);

  EXPECT_EQ(TraceToJson(trace),
            std::string(kHeader) +
                R"({"ph":"M","pid":2,"name":"process_name","args":{"name":"h"}},)"
                R"({"ph":"M","pid":2,"name":"process_sort_index","args":{"sort_index":2}},)"
                R"({"ph":"M","pid":2,"tid":7,"name":"thread_name","args":{"name":"a"}},)"
                R"({"ph":"M","pid":2,"tid":7,"name":"thread_sort_index","args":{"sort_index":7}},)"
                R"({"ph":"M","pid":2,"tid":9,"name":"thread_sort_index","args":{"sort_index":2}},)"
                R"({"ph":"M","pid":4294967295,"name":"process_sort_index",)"
                R"("args":{"sort_index":4294967295}},)"
                R"({"ph":"M","pid":4294967295,"tid":0,"name":"thread_sort_index",)"
                R"("args":{"sort_index":0}},)"
                R"({"ph":"M","pid":4294967295,"tid":3735928559,"name":"thread_name",)"
                R"("args":{"name":"Steps"}},)"
                R"({"ph":"M","pid":4294967295,"tid":3735928559,"name":"thread_sort_index",)"
                R"("args":{"sort_index":3735928559}},)" +
                kTrailer);
}

// The time text itself ("%.17g" of microseconds) is pinned by the number
// formatting tests.
TEST(TraceToJsonTest, TimesAreMicrosecondsAndNoDurationIsOnePicosecond) {
  struct Case {
    uint64_t timestamp_ps, duration_ps;
    const char* times;
  };
  const Case cases[] = {
      {0, 0, R"("ts":0,"dur":9.9999999999999995e-07)"},
      {2600000, 1500, R"("ts":2.6000000000000001,"dur":0.0015)"},
      {18446744073709551615u, 1000000, R"("ts":18446744073709.551,"dur":1)"},
  };
  for (const Case& c : cases) {
    Trace trace;
    const TraceEvent* event = AddEvent(&trace, 1, 2, "e", c.timestamp_ps, c.duration_ps);
    EXPECT_EQ(CompleteEventText(*event),
              std::string(R"({"ph":"X","pid":1,"tid":2,)") + c.times + R"(,"name":"e"},)");
  }
}

TEST(TraceToJsonTest, ArgumentsAreSortedStringsWithoutTheFlowKeys) {
  struct Case {
    const char* label;
    Args args;
    const char* members;  // null: no "args" member
  };
  const Case cases[] = {
      {"none", {}, nullptr},
      {"only flow keys", {{"is_host", "true"}, {"flow_event_cat", "Kernel"}}, ""},
      {"flow keys last", {{"a", "1"}, {"is_host", "false"}, {"flow_event_cat", "c"}}, R"("a":"1")"},
      {"unsigned byte order",
       {{"b", "2"}, {"[PMU]x", "3"}, {"B", "4"}, {"a", "5"}, {"ab", "6"}, {"\xc3\xa9", "7"}},
       R"("B":"4","[PMU]x":"3","a":"5","ab":"6","b":"2","\u00e9":"7")"},
      {"op full name shown as op",
       {{"op_fullname", "a/b:MatMul"}, {"z", ""}},
       R"("op":"a/b:MatMul","z":"")"},
      {"empty key", {{"", "v"}, {"long_name", "n"}}, R"("":"v","long_name":"n")"},
  };
  for (const Case& c : cases) {
    Trace trace;
    const TraceEvent* event = AddEvent(&trace, 1, 2, "e", 0, 1000, c.args);
    std::string expected = R"({"ph":"X","pid":1,"tid":2,"ts":0,"dur":0.001,"name":"e")";
    if (c.members != nullptr) expected += std::string(R"(,"args":{)") + c.members + "}";
    EXPECT_EQ(CompleteEventText(*event), expected + "},") << c.label;
  }
}

TEST(TraceToJsonTest, FlowEventsNeedCategoryCorrelationAndSide) {
  struct Case {
    const char* label;
    Args args;
    const char* flow;
  };
  const Case cases[] = {
      {"host starts",
       {{"flow_event_cat", "Kernel"}, {"correlation_id", "7"}, {"is_host", "true"}},
       R"({"cat":"Kernel","pid":3,"tid":4,"ts":0.0015,"name":"correlation 7","id":"7","ph":"s"},)"},
      {"device ends",
       {{"flow_event_cat", "MemcpyH2D"}, {"correlation_id", "7"}, {"is_host", "false"}},
       R"({"cat":"MemcpyH2D","pid":3,"tid":4,"ts":0.0015,"name":"correlation 7","id":"7",)"
       R"("ph":"f","bp":"e"},)"},
      {"True is not true",
       {{"flow_event_cat", "c"}, {"correlation_id", "7"}, {"is_host", "True"}},
       R"({"cat":"c","pid":3,"tid":4,"ts":0.0015,"name":"correlation 7","id":"7",)"
       R"("ph":"f","bp":"e"},)"},
      {"empty correlation id and side",
       {{"flow_event_cat", "c"}, {"correlation_id", ""}, {"is_host", ""}},
       R"({"cat":"c","pid":3,"tid":4,"ts":0.0015,"name":"correlation ","id":"",)"
       R"("ph":"f","bp":"e"},)"},
      {"empty category",
       {{"flow_event_cat", ""}, {"correlation_id", "7"}, {"is_host", "true"}},
       ""},
      {"no category", {{"correlation_id", "7"}, {"is_host", "true"}}, ""},
      {"no correlation id", {{"flow_event_cat", "c"}, {"is_host", "true"}}, ""},
      {"no side", {{"flow_event_cat", "c"}, {"correlation_id", "7"}}, ""},
  };
  for (const Case& c : cases) {
    Trace trace;
    const TraceEvent* event = AddEvent(&trace, 3, 4, "e", 1500, 10, c.args);
    EXPECT_EQ(FlowEventText(*event), c.flow) << c.label;
    // The complete event is written the same with or without a flow.
    EXPECT_EQ(TraceToJson(trace),
              std::string(kHeader) + CompleteEventText(*event) + c.flow + kTrailer)
        << c.label;
  }
}

// A string holding every kind of text that needs escaping, in valid UTF-8.
const std::string kTrickyText = std::string("q\"b\\s/ \b\f\n\r\t\x01\x1f\x7f caf\xc3\xa9 ") +
                                "\xe2\x82\xac\xf0\x9f\x98\x80 end";
constexpr char kTrickyQuoted[] = R"("q\"b\\s/ \b\f\n\r\t\u0001\u001f)"
                                 "\x7f"
                                 R"( caf\u00e9 \u20ac\ud83d\ude00 end")";

TEST(TraceToJsonTest, EscapesEveryStringOfTheDocument) {
  Trace trace;
  Device* device = AddDevice(&trace, 1, kTrickyText);
  AddResource(device, 2, kTrickyText, 0);
  AddEvent(&trace, 1, 2, kTrickyText, 0, 1,
           {{kTrickyText, kTrickyText},
            {"op_fullname", kTrickyText},
            {"flow_event_cat", kTrickyText},
            {"correlation_id", kTrickyText},
            {"is_host", "true"}});
  const std::string json = TraceToJson(trace);

  // Exactly as jsoncpp quotes, wherever the string stands.
  EXPECT_THAT(json, HasSubstr(std::string(R"("args":{"name":)") + kTrickyQuoted + "}},"));
  EXPECT_THAT(json, HasSubstr(std::string(R"("name":)") + kTrickyQuoted +
                              R"(,"args":{"correlation_id":)" + kTrickyQuoted + R"(,"op":)" +
                              kTrickyQuoted + "," + kTrickyQuoted + ":" + kTrickyQuoted + "}},"));
  const std::string quoted_id = std::string(kTrickyQuoted).substr(1);
  EXPECT_THAT(json, HasSubstr(std::string(R"({"cat":)") + kTrickyQuoted));
  EXPECT_THAT(json, HasSubstr(R"("name":"correlation )" + quoted_id + R"(,"id":)" + kTrickyQuoted +
                              R"(,"ph":"s"},)"));

  // And every string reads back unchanged.
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(testing::ParseStrictJson(json, &root, &errors)) << errors;
  const Json::Value& events = root["traceEvents"];
  ASSERT_EQ(events.size(), 7u);  // with the closing empty object
  EXPECT_EQ(events[0]["args"]["name"].asString(), kTrickyText);
  EXPECT_EQ(events[2]["args"]["name"].asString(), kTrickyText);
  EXPECT_EQ(events[4]["name"].asString(), kTrickyText);
  EXPECT_EQ(events[4]["args"][kTrickyText].asString(), kTrickyText);
  EXPECT_EQ(events[4]["args"]["op"].asString(), kTrickyText);
  EXPECT_EQ(events[5]["cat"].asString(), kTrickyText);
  EXPECT_EQ(events[5]["name"].asString(), "correlation " + kTrickyText);
  EXPECT_EQ(events[5]["id"].asString(), kTrickyText);
}

TEST(TraceToJsonTest, StringsEndAtTheirFirstNulByte) {
  struct Case {
    std::string text;
    const char* quoted;
  };
  const Case cases[] = {
      {std::string("ab\0cd", 5), R"("ab")"},
      {std::string("a\n\0\"", 4), R"("a\n")"},
      {std::string("\0x", 2), R"("")"},
  };
  for (const Case& c : cases) {
    Trace trace;
    AddResource(AddDevice(&trace, 1, c.text), 1, c.text, 0);
    const TraceEvent* event = AddEvent(&trace, 1, 1, c.text, 0, 1, {{"k", c.text}});
    EXPECT_EQ(CompleteEventText(*event),
              std::string(R"({"ph":"X","pid":1,"tid":1,"ts":0,"dur":9.9999999999999995e-07,)") +
                  R"("name":)" + c.quoted + R"(,"args":{"k":)" + c.quoted + "}},")
        << c.quoted;
    // A device name that is not empty is written, even when nothing is left of it.
    EXPECT_THAT(TraceToJson(trace),
                HasSubstr(std::string(R"("process_name","args":{"name":)") + c.quoted));
  }
}

ZENTRIK_CHILD_SCENARIO(WriteExampleUnderDecimalCommaLocale) {
  if (!testing::UseDecimalCommaLocale()) return 2;
  fputs(TraceToJson(ExampleTrace()).c_str(), stdout);
  return 0;
}

TEST(TraceToJsonTest, NumbersDoNotDependOnTheLocale) {
  const auto child =
      testing::RunScenarioWithDecimalCommaLocale("WriteExampleUnderDecimalCommaLocale");
  if (!child) GTEST_SKIP() << "localedef or the de_DE locale sources are missing";
  ASSERT_EQ(child->exit_code, 0) << child->err;
  EXPECT_EQ(child->out, kExampleJson);
}

// A trace as the export converts it: host TraceMes on named threads and
// kernels with counters, launched from the host (each with two flow events).
Trace ConvertedTrace(int kernels) {
  testing::XSpaceFixture fixture(1000);
  for (int i = 0; i < kernels; ++i) {
    testing::TraceMeSpec step;
    step.thread_id = 10 + i % 3;
    step.thread_name = "worker";
    step.name = "step " + std::to_string(i);
    step.start_ns = 1000 + 100 * i;
    step.end_ns = step.start_ns + 90;
    step.args = {{"iteration", int64_t{i}}, {"ratio", 0.5}};
    fixture.AddTraceMe(step);
    testing::KernelSpec kernel;
    kernel.thread_id = step.thread_id;
    kernel.queue = 1 + i % 2;
    kernel.op_fullname = "model/layer_" + std::to_string(i) + ":MatMul";
    kernel.correlation_id = 100 + i;
    kernel.launch_start_ns = step.start_ns + 10;
    kernel.launch_end_ns = step.start_ns + 20;
    kernel.start_ns = step.start_ns + 30;
    kernel.end_ns = step.start_ns + 80;
    kernel.counters = PmuData();
    fixture.AddKernel(kernel);
  }
  Trace trace;
  ConvertXSpaceToTraceEvents(fixture.space(), &trace);
  return trace;
}

TEST(StreamTraceToJsonTest, PiecesMakeUpExactlyTheWholeDocument) {
  const Trace trace = ConvertedTrace(200);
  const std::string whole = TraceToJson(trace);
  for (const size_t chunk_bytes :
       {size_t{0}, size_t{1}, size_t{700}, size_t{16384}, kTraceJsonChunkBytes}) {
    std::vector<std::string> pieces;
    const Status status = StreamTraceToJson(trace, chunk_bytes, [&](std::string_view piece) {
      pieces.emplace_back(piece);
      return Status();
    });
    ASSERT_TRUE(status.ok()) << status.ToString();
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i + 1 < pieces.size()) {
        EXPECT_GE(pieces[i].size(), chunk_bytes) << chunk_bytes;
      }
      joined += pieces[i];
    }
    EXPECT_EQ(joined, whole) << chunk_bytes;
    if (chunk_bytes >= whole.size()) {
      EXPECT_EQ(pieces.size(), 1u);
    }
  }
}

TEST(StreamTraceToJsonTest, StopsAtTheFirstFailingPiece) {
  const Trace trace = ConvertedTrace(50);
  int calls = 0;
  const Status status = StreamTraceToJson(trace, 100, [&](std::string_view) {
    return ++calls == 3 ? errors::DataLoss("disk full") : Status();
  });
  EXPECT_EQ(status, errors::DataLoss("disk full"));
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
