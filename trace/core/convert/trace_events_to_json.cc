#include "trace/core/convert/trace_events_to_json.h"

#include <json/writer.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

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

// Gathers the text of one element on the stack and appends it to the
// document in few large pieces: appending member by member costs more than
// composing the text. Hot path: no allocation besides the document's growth.
class ElementWriter {
 public:
  explicit ElementWriter(std::string* json) : json_(json) {}
  ~ElementWriter() { Flush(); }
  ElementWriter(const ElementWriter&) = delete;
  ElementWriter& operator=(const ElementWriter&) = delete;

  ElementWriter& Literal(std::string_view text) {
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
    if (!Fits(kMaxNumberChars)) Flush();
    end_ = std::to_chars(end_, end_ + kMaxNumberChars, static_cast<double>(picoseconds) / 1e6,
                         std::chars_format::general, 17)
               .ptr;
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
  // "%.17g" of a double takes at most 24 characters, a 32-bit integer 10.
  static constexpr size_t kMaxNumberChars = 32;

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

// AddTraceEvent with a vector the caller reuses for sorting the arguments.
void WriteTraceEvent(const TraceEvent& event, std::vector<const ArgEntry*>* sorted_args,
                     std::string* json) {
  ElementWriter out(json);
  out.Literal(R"({"ph":"X","pid":)")
      .Unsigned(event.device_id())
      .Literal(R"(,"tid":)")
      .Unsigned(event.resource_id())
      .Literal(R"(,"ts":)")
      .Time(event.timestamp_ps())
      .Literal(R"(,"dur":)")
      // The viewer hides events of no duration; show them one picosecond long.
      .Time(event.duration_ps() == 0 ? 1 : event.duration_ps())
      .Literal(R"(,"name":)")
      .Quoted(event.name());
  if (!event.args().empty()) {
    SortEntries(event.args(), sorted_args);
    WriteArgs(*sorted_args, &out);
  }
  out.Literal("},");
}

void WriteProcessMetadata(uint32_t pid, const Device& device, std::string* json) {
  ElementWriter out(json);
  if (!device.name().empty()) {
    out.Literal(R"({"ph":"M","pid":)")
        .Unsigned(pid)
        .Literal(R"(,"name":"process_name","args":{"name":)")
        .Quoted(device.name())
        .Literal("}},");
  }
  out.Literal(R"({"ph":"M","pid":)")
      .Unsigned(pid)
      .Literal(R"(,"name":"process_sort_index","args":{"sort_index":)")
      .Unsigned(pid)
      .Literal("}},");
}

void WriteThreadMetadata(uint32_t pid, uint32_t tid, const Resource& resource, std::string* json) {
  ElementWriter out(json);
  if (!resource.name().empty()) {
    out.Literal(R"({"ph":"M","pid":)")
        .Unsigned(pid)
        .Literal(R"(,"tid":)")
        .Unsigned(tid)
        .Literal(R"(,"name":"thread_name","args":{"name":)")
        .Quoted(resource.name())
        .Literal("}},");
  }
  out.Literal(R"({"ph":"M","pid":)")
      .Unsigned(pid)
      .Literal(R"(,"tid":)")
      .Unsigned(tid)
      .Literal(R"(,"name":"thread_sort_index","args":{"sort_index":)")
      .Unsigned(resource.sort_index() == 0 ? tid : resource.sort_index())
      .Literal("}},");
}

// Builds the document in `json`. With a sink, the text gathered is handed on
// and dropped whenever it reaches the chunk size, so memory stays bounded by
// one chunk; without one, `json` ends up holding the whole document.
class DocumentWriter {
 public:
  DocumentWriter(std::string* json, size_t chunk_bytes, const JsonPieceSink* sink)
      : json_(json), chunk_bytes_(chunk_bytes), sink_(sink) {}

  Status Write(const Trace& trace) {
    json_->append(kHeader);
    Status status = WriteMetadata(trace);
    if (!status.ok()) return status;
    for (const TraceEvent& event : trace.trace_events()) {
      WriteTraceEvent(event, &sorted_args_, json_);
      AddFlowEvent(event, json_);
      status = MaybeHandOn(/*last=*/false);
      if (!status.ok()) return status;
    }
    json_->append(kTrailer);
    return MaybeHandOn(/*last=*/true);
  }

 private:
  Status WriteMetadata(const Trace& trace) {
    std::vector<const DeviceEntry*> devices;
    SortEntries(trace.devices(), &devices);
    std::vector<const ResourceEntry*> resources;
    for (const DeviceEntry* device : devices) {
      WriteProcessMetadata(device->first, device->second, json_);
      SortEntries(device->second.resources(), &resources);
      for (const ResourceEntry* resource : resources) {
        WriteThreadMetadata(device->first, resource->first, resource->second, json_);
        Status status = MaybeHandOn(/*last=*/false);
        if (!status.ok()) return status;
      }
    }
    return Status();
  }

  Status MaybeHandOn(bool last) {
    if (sink_ == nullptr || (!last && json_->size() < chunk_bytes_)) return Status();
    Status status = (*sink_)(*json_);
    json_->clear();
    return status;
  }

  std::string* json_;
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
  WriteTraceEvent(event, &sorted_args, json);
}

void AddFlowEvent(const TraceEvent& event, std::string* json) {
  const auto& args = event.args();
  const auto category = args.find(kFlowCategoryKey);
  if (category == args.end() || category->second.empty()) return;
  const auto correlation_id = args.find(kCorrelationIdKey);
  if (correlation_id == args.end()) return;
  const auto is_host = args.find(kIsHostKey);
  if (is_host == args.end()) return;

  ElementWriter out(json);
  // The category is quoted like every other string: a quote or backslash in
  // it must not break the document.
  out.Literal(R"({"cat":)")
      .Quoted(category->second)
      .Literal(R"(,"pid":)")
      .Unsigned(event.device_id())
      .Literal(R"(,"tid":)")
      .Unsigned(event.resource_id())
      .Literal(R"(,"ts":)")
      .Time(event.timestamp_ps())
      .Literal(R"(,"name":)")
      .Quoted("correlation ", correlation_id->second)
      .Literal(R"(,"id":)")
      .Quoted(correlation_id->second)
      .Literal(is_host->second == "true" ? R"(,"ph":"s"},)" : R"(,"ph":"f","bp":"e"},)");
}

}  // namespace trace
}  // namespace zentrik
