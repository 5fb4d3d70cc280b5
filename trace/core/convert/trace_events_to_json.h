#ifndef ZENTRIK_TRACE_CORE_CONVERT_TRACE_EVENTS_TO_JSON_H_
#define ZENTRIK_TRACE_CORE_CONVERT_TRACE_EVENTS_TO_JSON_H_

// The trace viewer's timeline: a Trace as one JSON document in the object
// form of the Trace Event Format. Process and thread metadata come first
// (sorted by key), then every event in stored order, each followed by its
// flow event when it takes part in a host-to-device correlation, then an empty
// object closing the array. No white space anywhere; numbers never depend on
// the process's locale; every string is quoted as jsoncpp quotes it, up to
// its first NUL byte.
//
// Everything here only reads the Trace and keeps no state between calls; a
// Trace that nothing changes meanwhile may be written from several threads.
// Out of memory ends a call with std::bad_alloc; nothing else is thrown.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/platform/status.h"
#include "trace/core/protobuf/trace_events.pb.h"

namespace zentrik {
namespace trace {

// The whole document of `trace`.
std::string TraceToJson(const Trace& trace);

// Receives the document piece by piece, in order; a failure stops the writing.
using JsonPieceSink = std::function<Status(std::string_view piece)>;

// The size of the pieces that the export compresses.
constexpr size_t kTraceJsonChunkBytes = size_t{1} << 20;

// Hands the document of `trace` to `sink` in pieces of at least `chunk_bytes`
// (the last one may be shorter; a piece overruns `chunk_bytes` by at most one
// event's text), so the whole text is never in memory at once. The pieces put
// together are exactly TraceToJson(trace). Returns the first failure of
// `sink` unchanged, after which `sink` is not called again; OK otherwise.
Status StreamTraceToJson(const Trace& trace, size_t chunk_bytes, const JsonPieceSink& sink);

// One argument of an event as the document shows it.
struct TraceEventArg {
  std::string_view key;
  std::string_view value;
};

// An event as the writer reads it, pointing into storage that the caller
// keeps until the event is written. A TraceEvent and an event converted
// straight from a space both reach the document through this one form.
struct TraceEventView {
  uint32_t device_id = 0;
  uint32_t resource_id = 0;
  std::string_view name;
  uint64_t timestamp_ps = 0;
  uint64_t duration_ps = 0;
  // Ascending keys in unsigned byte order, each key once.
  const TraceEventArg* args = nullptr;
  size_t arg_count = 0;
};

// Writes one document element by element: Begin, Add per event in order, End.
// Without a sink the text collects in `*json`; with one, it is handed on and
// dropped in pieces of at least `chunk_bytes` as StreamTraceToJson does, and
// the first failure of the sink is returned by that call and every later one.
class TraceJsonWriter {
 public:
  TraceJsonWriter(std::string* json, size_t chunk_bytes, const JsonPieceSink* sink);
  ~TraceJsonWriter();
  TraceJsonWriter(const TraceJsonWriter&) = delete;
  TraceJsonWriter& operator=(const TraceJsonWriter&) = delete;

  // The header and the process and thread metadata of `trace`'s devices
  // (its events are not read).
  Status Begin(const Trace& trace);
  // The event's complete event and its flow event. Hot path.
  Status Add(const TraceEventView& event);
  // The trailer; the last piece goes to the sink.
  Status End();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Appends the complete event ("ph":"X") of `event` to `json`.
void AddTraceEvent(const TraceEvent& event, std::string* json);

// Appends the flow event of `event` to `json`: a start ("ph":"s") when its
// argument "is_host" is "true", else an end, and only when it has a non-empty
// "flow_event_cat", a "correlation_id" and an "is_host". Appends nothing
// otherwise.
void AddFlowEvent(const TraceEvent& event, std::string* json);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_TRACE_EVENTS_TO_JSON_H_
