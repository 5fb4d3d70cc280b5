#include "trace/core/convert/trace_events_to_json.h"

#include <gtest/gtest.h>
#include <json/writer.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "testing/decimal_comma_locale.h"

namespace zentrik {
namespace trace {
namespace {

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

// Adds device `key` (its stored id ignored by the writer) with one resource.
void AddDevice(Trace* trace, uint32_t key, const std::string& name, uint32_t tid,
               const std::string& thread, uint32_t sort_index, uint32_t stored_id = 0) {
  Device& device = (*trace->mutable_devices())[key];
  device.set_device_id(stored_id);
  device.set_name(name);
  Resource& resource = (*device.mutable_resources())[tid];
  resource.set_resource_id(stored_id);
  resource.set_name(thread);
  resource.set_sort_index(sort_index);
}

// The worked example of the trace viewer's format; devices inserted out of
// key order.
Trace ExampleTrace() {
  Trace trace;
  AddDevice(&trace, 501, "/host:CPU", 7, "worker", 1, /*stored_id=*/3);
  AddDevice(&trace, 1, "/device:ZRA:0", 0, "", 0);
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

// Streamed, a failing sink stops the stream and its status is returned.
TEST(TraceToJsonTest, WritesMetadataThenEventsEachFollowedByItsFlow) {
  EXPECT_EQ(TraceToJson(ExampleTrace()), kExampleJson);
  int calls = 0;
  EXPECT_EQ(StreamTraceToJson(ExampleTrace(), 1,
                              [&](std::string_view) {
                                return ++calls == 3 ? errors::DataLoss("disk full") : Status();
                              }),
            errors::DataLoss("disk full"));
  EXPECT_EQ(calls, 3);
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

// Arguments are sorted by unsigned bytes, without the flow keys, op_fullname
// shown as "op". Only "true" is the host's side of a flow; without a category,
// a correlation id or a side there is no flow.
TEST(TraceToJsonTest, EventArgumentsAndFlows) {
  const struct {
    Args args;
    const char* text;  // after the name
  } cases[] = {
      {{{"b", "2"}, {"[PMU]x", "3"}, {"B", "4"}, {"a", "5"}, {"ab", "6"}, {"\xc3\xa9", "7"}},
       R"(,"args":{"B":"4","[PMU]x":"3","a":"5","ab":"6","b":"2","\u00e9":"7"}})"},
      {{{"op_fullname", "a/b"}, {"z", ""}, {"", "v"}}, R"(,"args":{"":"v","op":"a/b","z":""}})"},
      {{{"flow_event_cat", "c"}, {"correlation_id", "7"}, {"is_host", "True"}},
       R"(,"args":{"correlation_id":"7"}},{"cat":"c","pid":3,"tid":4,"ts":0,)"
       R"("name":"correlation 7","id":"7","ph":"f","bp":"e"})"},
      {{{"flow_event_cat", "c"}, {"correlation_id", "7"}}, R"(,"args":{"correlation_id":"7"}})"},
      {{{"flow_event_cat", "MemcpyH2D"}, {"correlation_id", "7"}, {"is_host", "false"}},
       R"(,"args":{"correlation_id":"7"}},{"cat":"MemcpyH2D","pid":3,"tid":4,"ts":0,)"
       R"("name":"correlation 7","id":"7","ph":"f","bp":"e"})"},
      {{{"flow_event_cat", "c"}, {"correlation_id", ""}, {"is_host", ""}},
       R"(,"args":{"correlation_id":""}},{"cat":"c","pid":3,"tid":4,"ts":0,)"
       R"("name":"correlation ","id":"","ph":"f","bp":"e"})"},
      {{{"flow_event_cat", ""}, {"correlation_id", "7"}, {"is_host", "true"}},
       R"(,"args":{"correlation_id":"7"}})"},
      {{{"correlation_id", "7"}, {"is_host", "true"}}, R"(,"args":{"correlation_id":"7"}})"},
      {{{"flow_event_cat", "c"}, {"is_host", "true"}}, R"(,"args":{}})"},
  };
  for (const auto& c : cases) {
    Trace trace;
    const TraceEvent* event = AddEvent(&trace, 3, 4, "e", 0, 1000, c.args);
    const std::string text =
        std::string(R"({"ph":"X","pid":3,"tid":4,"ts":0,"dur":0.001,"name":"e")") + c.text + ",";
    EXPECT_EQ(TraceToJson(trace), kHeader + text + kTrailer) << c.text;
    std::string pieces;  // the same written event by event
    AddTraceEvent(*event, &pieces);
    AddFlowEvent(*event, &pieces);
    EXPECT_EQ(pieces, text) << c.text;
  }
}

// Every string of the document is quoted exactly as jsoncpp quotes and ends
// at its first NUL byte.
TEST(TraceToJsonTest, EscapesEveryStringOfTheDocument) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {std::string("q\"b\\s/ \b\f\n\r\t\x01\x1f\x7f caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80 end"),
       R"("q\"b\\s/ \b\f\n\r\t\u0001\u001f)"
       "\x7f"
       R"( caf\u00e9 \u20ac\ud83d\ude00 end")"},
      {std::string("ab\0cd", 5), R"("ab")"},
      {std::string("\0x", 2), R"("")"},  // a device name is written even when empty
  };
  // $ stands for the quoted text, % for it without its opening quote.
  const std::string document =
      R"({"ph":"M","pid":1,"name":"process_name","args":{"name":$}},{"ph":"M","pid":1,)"
      R"("name":"process_sort_index","args":{"sort_index":1}},{"ph":"M","pid":1,"tid":2,)"
      R"("name":"thread_name","args":{"name":$}},{"ph":"M","pid":1,"tid":2,)"
      R"("name":"thread_sort_index","args":{"sort_index":2}},{"ph":"X","pid":1,"tid":2,"ts":0,)"
      R"("dur":9.9999999999999995e-07,"name":$,"args":{"correlation_id":$,"op":$,"z%:$}},)"
      R"({"cat":$,"pid":1,"tid":2,"ts":0,"name":"correlation %,"id":$,"ph":"s"},)";
  for (const auto& c : cases) {
    Trace trace;
    AddDevice(&trace, 1, c.text, 2, c.text, 0);
    const std::string& t = c.text;
    AddEvent(&trace, 1, 2, t, 0, 1,
             {{"z" + t, t}, {"op_fullname", t}, {"flow_event_cat", t}, {"correlation_id", t}});
    (*trace.mutable_trace_events(0)->mutable_args())["is_host"] = "true";
    std::string expected = kHeader;
    for (const char ch : document) {
      expected += ch == '$' ? c.quoted : ch == '%' ? c.quoted.substr(1) : std::string(1, ch);
    }
    EXPECT_EQ(TraceToJson(trace), expected + kTrailer) << c.quoted;
  }
}

// Names are scanned eight bytes at a time: each kind of byte that needs
// escaping is found at every position of a longer name, as jsoncpp quotes it.
TEST(TraceToJsonTest, EscapesASpecialByteAtEveryPosition) {
  for (const char special : {'"', '\\', '\x01', '\x1f', '\x80', '\xe9', '\0'}) {
    for (size_t at = 0; at < 20; ++at) {
      std::string name(20, '~');  // 0x7e, 0x7f and ' ' are written as themselves
      name[5] = '\x7f';
      name[11] = ' ';
      name[at] = special;
      Trace trace;
      std::string event;
      AddTraceEvent(*AddEvent(&trace, 1, 2, name, 0, 1000000), &event);
      const std::string expected = R"({"ph":"X","pid":1,"tid":2,"ts":0,"dur":1,"name":)" +
                                   Json::valueToQuotedString(name.c_str()) + "},";
      EXPECT_EQ(event, expected) << "byte " << int{special} << " at " << at;
    }
  }
}

// Processes and threads in key order under their keys, not their stored
// ids; a thread's sort index 0 stands for its id; empty names are left out.
TEST(TraceToJsonTest, MetadataIsSortedByKeyAndUsesTheKeys) {
  Trace trace;
  AddDevice(&trace, 4294967295u, "", 3735928559u, "Steps", 0, /*stored_id=*/3);
  AddDevice(&trace, 4294967295u, "", 0, "", 0);
  AddDevice(&trace, 2, "h", 9, "", 2);
  AddDevice(&trace, 2, "h", 7, "a", 0, /*stored_id=*/70);
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

// Picoseconds as microseconds with 17 significant digits; a duration of 0 is
// shown as one picosecond.
TEST(TraceToJsonTest, TimesAreMicrosecondsWithSeventeenSignificantDigits) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0"},
      {1, "9.9999999999999995e-07"},
      {1000, "0.001"},
      {1500, "0.0015"},
      {999, "0.0009990000000000001"},  // divided by 10^6, not multiplied by 10^-6
      {1000000, "1"},
      {2600000, "2.6000000000000001"},
      {123456789, "123.456789"},
      {999999999999, "999999.99999899999"},
      {18446744073709551615u, "18446744073709.551"},
  };
  for (const auto& [picoseconds, text] : cases) {
    Trace trace;
    std::string json;
    AddTraceEvent(*AddEvent(&trace, 1, 2, "e", picoseconds, picoseconds), &json);
    const std::string duration = picoseconds == 0 ? "9.9999999999999995e-07" : text;
    EXPECT_EQ(json, std::string(R"({"ph":"X","pid":1,"tid":2,"ts":)") + text + R"(,"dur":)" +
                        duration + R"(,"name":"e"},)")
        << picoseconds;
  }
}

// Streamed, the document comes in pieces of at least the chunk size but the
// last, which together are the whole document; one piece when it fits.
TEST(StreamTraceToJsonTest, PiecesOfAtLeastTheChunkSizeMakeUpTheWholeDocument) {
  Trace trace = ExampleTrace();
  for (int i = 0; i < 200; ++i) {
    AddEvent(&trace, 501, 7, "op " + std::to_string(i), 1000000 * i, 500,
             {{"iteration", std::to_string(i)}});
  }
  const std::string whole = TraceToJson(trace);
  for (const size_t chunk_bytes :
       {size_t{0}, size_t{1}, size_t{700}, whole.size() - 1, whole.size(), kTraceJsonChunkBytes}) {
    std::vector<std::string> pieces;
    ASSERT_TRUE(StreamTraceToJson(trace, chunk_bytes, [&pieces](std::string_view piece) {
                  pieces.emplace_back(piece);
                  return Status();
                }).ok());
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i + 1 < pieces.size()) {
        EXPECT_GE(pieces[i].size(), chunk_bytes) << chunk_bytes;
      }
      joined += pieces[i];
    }
    EXPECT_EQ(joined, whole) << chunk_bytes;
    if (chunk_bytes >= whole.size()) {
      EXPECT_EQ(pieces.size(), 1u) << chunk_bytes;
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
