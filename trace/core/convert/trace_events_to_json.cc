#include "trace/core/convert/trace_events_to_json.h"

#include <json/writer.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "common/utils/number_format.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

constexpr std::string_view kHeader =
    R"({"displayTimeUnit":"ns","metadata":{"highres-ticks":true},"traceEvents":[)";
// Every element before it ends with a comma; the empty object closes the array.
constexpr std::string_view kTrailer = "{}]}";

// Arguments that make the flow event rather than being shown.
constexpr std::string_view kIsHostKey = "is_host";
constexpr std::string_view kFlowCategoryKey = "flow_event_cat";
constexpr std::string_view kCorrelationIdKey = "correlation_id";

using ArgEntry = google::protobuf::Map<std::string, std::string>::value_type;
using DeviceEntry = google::protobuf::Map<uint32_t, Device>::value_type;
using ResourceEntry = google::protobuf::Map<uint32_t, Resource>::value_type;

// The argument holding an op's full name is shown as "op".
const std::string& OpFullnameKey() {
  static const std::string key = GetStatTypeStr(StatType::op_fullname);
  return key;
}

// Bytes that jsoncpp writes other than as themselves, and the NUL that ends
// the text it is given: control characters, '"', '\\' and every byte of a
// multi-byte UTF-8 sequence (written as \u escapes).
constexpr std::array<bool, 256> kNeedsJsoncpp = [] {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    table[byte] = byte < 0x20 || byte == '"' || byte == '\\' || byte >= 0x80;
  }
  return table;
}();

// Gathers the text of the document's elements on the stack and appends it
// to `json` in large pieces (on Flush, when full, and when destroyed):
// appending member by member costs more than composing the text. Hot path:
// no allocation besides the growth of `json`.
class ElementWriter {
 public:
  explicit ElementWriter(std::string* json) : json_(json) {}
  ~ElementWriter() { Flush(); }
  ElementWriter(const ElementWriter&) = delete;
  ElementWriter& operator=(const ElementWriter&) = delete;

  ElementWriter& Literal(std::string_view text) {
    if (text.empty()) return *this;  // Its data may be null, which memcpy must not see.
    if (!Fits(text.size())) return Large(text);
    memcpy(end_, text.data(), text.size());
    end_ += text.size();
    return *this;
  }

  ElementWriter& Char(char c) {
    if (!Fits(1)) Flush();
    *end_++ = c;
    return *this;
  }

  ElementWriter& Unsigned(uint32_t value) {
    if (!Fits(kMaxNumberChars)) Flush();
    end_ = std::to_chars(end_, end_ + kMaxNumberChars, value).ptr;
    return *this;
  }

  // Picoseconds as microseconds: "%.17g" in the C locale, whatever the
  // process's locale.
  ElementWriter& Time(uint64_t picoseconds) {
    if (!Fits(kMaxGeneralChars)) Flush();
    end_ = WriteGeneral(static_cast<double>(picoseconds) / 1e6, 17, end_);
    return *this;
  }

  // `prefix` (plain ASCII that needs no escaping) followed by `text` as one
  // quoted JSON string, exactly as jsoncpp's valueToQuotedString quotes
  // their concatenation handed over NUL-terminated.
  ElementWriter& Quoted(std::string_view prefix, const std::string& text) {
    const char* data = text.data();
    size_t plain = 0;
    while (plain < text.size() && !kNeedsJsoncpp[static_cast<unsigned char>(data[plain])]) ++plain;
    Char('"').Literal(prefix);
    if (plain == text.size() || data[plain] == '\0') {
      return Literal(std::string_view(data, plain)).Char('"');
    }
    // jsoncpp escapes byte by byte and decodes UTF-8 from its lead byte, so
    // quoting the text alone gives the same bytes after the ASCII prefix.
    const std::string quoted = Json::valueToQuotedString(text.c_str());
    return Literal(std::string_view(quoted).substr(1));
  }

  ElementWriter& Quoted(const std::string& text) { return Quoted({}, text); }

  void Flush() {
    json_->append(buffer_, end_);
    end_ = buffer_;
  }

 private:
  // A 32-bit integer takes at most 10 characters.
  static constexpr size_t kMaxNumberChars = 10;

  bool Fits(size_t size) const { return size <= static_cast<size_t>(buffer_ + kSize - end_); }

  ElementWriter& Large(std::string_view text) {
    Flush();
    json_->append(text);
    return *this;
  }

  static constexpr size_t kSize = 512;
  std::string* json_;
  char buffer_[kSize];
  char* end_ = buffer_;
};

// Pointers to the entries of `map` in ascending key order (unsigned byte
// order for strings); the protobuf map itself has no order.
template <typename Map>
void SortEntries(const Map& map, std::vector<const typename Map::value_type*>* entries) {
  entries->clear();
  entries->reserve(map.size());
  for (const auto& entry : map) entries->push_back(&entry);
  std::sort(entries->begin(), entries->end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
}

void WriteArgs(const std::vector<const ArgEntry*>& sorted_args, ElementWriter* out) {
  out->Literal(R"(,"args":{)");
  bool first = true;
  for (const ArgEntry* arg : sorted_args) {
    if (arg->first == kIsHostKey || arg->first == kFlowCategoryKey) continue;
    if (!first) out->Char(',');
    first = false;
    if (arg->first == OpFullnameKey()) {
      out->Literal(R"("op")");
    } else {
      out->Quoted(arg->first);
    }
    out->Char(':').Quoted(arg->second);
  }
  out->Char('}');
}

// The members shared by an event's complete and flow events: its process,
// thread and start.
ElementWriter& WritePlaceAndStart(const TraceEvent& event, ElementWriter* out) {
  return out->Literal(R"(,"pid":)")
      .Unsigned(event.device_id())
      .Literal(R"(,"tid":)")
      .Unsigned(event.resource_id())
      .Literal(R"(,"ts":)")
      .Time(event.timestamp_ps());
}

// AddTraceEvent with a vector the caller reuses for sorting the arguments.
void WriteTraceEvent(const TraceEvent& event, std::vector<const ArgEntry*>* sorted_args,
                     ElementWriter* out) {
  out->Literal(R"({"ph":"X")");
  WritePlaceAndStart(event, out)
      .Literal(R"(,"dur":)")
      // The viewer hides events of no duration; show them one picosecond long.
      .Time(event.duration_ps() == 0 ? 1 : event.duration_ps())
      .Literal(R"(,"name":)")
      .Quoted(event.name());
  if (!event.args().empty()) {
    SortEntries(event.args(), sorted_args);
    WriteArgs(*sorted_args, out);
  }
  out->Literal("},");
}

void WriteFlowEvent(const TraceEvent& event, ElementWriter* out) {
  const auto& args = event.args();
  const auto category = args.find(kFlowCategoryKey);
  if (category == args.end() || category->second.empty()) return;
  const auto correlation_id = args.find(kCorrelationIdKey);
  if (correlation_id == args.end()) return;
  const auto is_host = args.find(kIsHostKey);
  if (is_host == args.end()) return;

  // The category is quoted like every other string: a quote or backslash in
  // it must not break the document.
  out->Literal(R"({"cat":)").Quoted(category->second);
  WritePlaceAndStart(event, out)
      .Literal(R"(,"name":)")
      .Quoted("correlation ", correlation_id->second)
      .Literal(R"(,"id":)")
      .Quoted(correlation_id->second)
      .Literal(is_host->second == "true" ? R"(,"ph":"s"},)" : R"(,"ph":"f","bp":"e"},)");
}

// The start of a metadata element of the process `pid`, or of its thread
// `tid` when given, up to the argument's value.
ElementWriter& MetadataStart(uint32_t pid, std::optional<uint32_t> tid, std::string_view name,
                             std::string_view arg, ElementWriter* out) {
  out->Literal(R"({"ph":"M","pid":)").Unsigned(pid);
  if (tid.has_value()) out->Literal(R"(,"tid":)").Unsigned(*tid);
  return out->Literal(R"(,"name":")")
      .Literal(name)
      .Literal(R"(","args":{")")
      .Literal(arg)
      .Literal(R"(":)");
}

// The name (when not empty) and the sort index of a process or a thread.
void WriteNameAndSortIndex(uint32_t pid, std::optional<uint32_t> tid, const std::string& name,
                           uint32_t sort_index, ElementWriter* out) {
  const bool thread = tid.has_value();
  if (!name.empty()) {
    MetadataStart(pid, tid, thread ? "thread_name" : "process_name", "name", out)
        .Quoted(name)
        .Literal("}},");
  }
  MetadataStart(pid, tid, thread ? "thread_sort_index" : "process_sort_index", "sort_index", out)
      .Unsigned(sort_index)
      .Literal("}},");
}

// Builds the document in `json`. With a sink, the text gathered is handed on
// and dropped whenever it reaches the chunk size, so memory stays bounded by
// one chunk; without one, `json` ends up holding the whole document.
class DocumentWriter {
 public:
  DocumentWriter(std::string* json, size_t chunk_bytes, const JsonPieceSink* sink)
      : json_(json), out_(json), chunk_bytes_(chunk_bytes), sink_(sink) {}

  Status Write(const Trace& trace) {
    out_.Literal(kHeader);
    Status status = WriteMetadata(trace);
    if (!status.ok()) return status;
    for (const TraceEvent& event : trace.trace_events()) {
      WriteTraceEvent(event, &sorted_args_, &out_);
      WriteFlowEvent(event, &out_);
      status = MaybeHandOn(/*last=*/false);
      if (!status.ok()) return status;
    }
    out_.Literal(kTrailer);
    return MaybeHandOn(/*last=*/true);
  }

 private:
  Status WriteMetadata(const Trace& trace) {
    std::vector<const DeviceEntry*> devices;
    SortEntries(trace.devices(), &devices);
    std::vector<const ResourceEntry*> resources;
    for (const DeviceEntry* device : devices) {
      const uint32_t pid = device->first;
      WriteNameAndSortIndex(pid, std::nullopt, device->second.name(), pid, &out_);
      SortEntries(device->second.resources(), &resources);
      for (const ResourceEntry* resource : resources) {
        const uint32_t tid = resource->first;
        const uint32_t sort_index = resource->second.sort_index();
        WriteNameAndSortIndex(pid, tid, resource->second.name(), sort_index == 0 ? tid : sort_index,
                              &out_);
        Status status = MaybeHandOn(/*last=*/false);
        if (!status.ok()) return status;
      }
    }
    return Status();
  }

  Status MaybeHandOn(bool last) {
    out_.Flush();
    if (sink_ == nullptr || (!last && json_->size() < chunk_bytes_)) return Status();
    Status status = (*sink_)(*json_);
    json_->clear();
    return status;
  }

  std::string* json_;
  ElementWriter out_;
  const size_t chunk_bytes_;
  const JsonPieceSink* sink_;
  std::vector<const ArgEntry*> sorted_args_;
};

}  // namespace

std::string TraceToJson(const Trace& trace) {
  std::string json;
  // Without a sink nothing can fail.
  DocumentWriter(&json, std::numeric_limits<size_t>::max(), nullptr).Write(trace);
  return json;
}

Status StreamTraceToJson(const Trace& trace, size_t chunk_bytes, const JsonPieceSink& sink) {
  std::string piece;
  // One event's text at most goes past the chunk size; reserving a little more
  // keeps the buffer from growing again.
  piece.reserve(chunk_bytes + chunk_bytes / 8);
  return DocumentWriter(&piece, chunk_bytes, &sink).Write(trace);
}

void AddTraceEvent(const TraceEvent& event, std::string* json) {
  std::vector<const ArgEntry*> sorted_args;
  ElementWriter out(json);
  WriteTraceEvent(event, &sorted_args, &out);
}

void AddFlowEvent(const TraceEvent& event, std::string* json) {
  ElementWriter out(json);
  WriteFlowEvent(event, &out);
}

}  // namespace trace
}  // namespace zentrik
