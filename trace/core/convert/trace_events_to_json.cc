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

// Whether any of the eight bytes of `word` needs jsoncpp. Exact: a word
// flagged here holds such a byte.
bool WordNeedsJsoncpp(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  const auto has_zero_byte = [](uint64_t v) { return (v - kOnes) & ~v & kHighBits; };
  // Bytes at or above 0x80, below 0x20, '"' and '\\'.
  return ((word & kHighBits) | has_zero_byte(word & ~kHighBits & (kOnes * 0x60)) |
          has_zero_byte(word ^ (kOnes * '"')) | has_zero_byte(word ^ (kOnes * '\\'))) != 0;
}

// How many leading bytes of `text` jsoncpp writes as themselves. Hot path:
// every name and argument of the document goes through it, eight bytes at a
// time.
size_t PlainPrefixLength(std::string_view text) {
  const char* data = text.data();
  size_t plain = 0;
  for (; plain + sizeof(uint64_t) <= text.size(); plain += sizeof(uint64_t)) {
    uint64_t word;
    memcpy(&word, data + plain, sizeof(word));
    if (WordNeedsJsoncpp(word)) break;
  }
  while (plain < text.size() && !kNeedsJsoncpp[static_cast<unsigned char>(data[plain])]) ++plain;
  return plain;
}

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
  ElementWriter& Quoted(std::string_view prefix, std::string_view text) {
    const char* data = text.data();
    const size_t plain = PlainPrefixLength(text);
    Char('"').Literal(prefix);
    if (plain == text.size() || data[plain] == '\0') {
      return Literal(std::string_view(data, plain)).Char('"');
    }
    // jsoncpp escapes byte by byte and decodes UTF-8 from its lead byte, so
    // quoting the text alone gives the same bytes after the ASCII prefix.
    const std::string quoted = Json::valueToQuotedString(std::string(text).c_str());
    return Literal(std::string_view(quoted).substr(1));
  }

  ElementWriter& Quoted(std::string_view text) { return Quoted({}, text); }

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

void WriteArgs(const TraceEventView& event, ElementWriter* out) {
  out->Literal(R"(,"args":{)");
  bool first = true;
  for (size_t i = 0; i < event.arg_count; ++i) {
    const TraceEventArg& arg = event.args[i];
    if (arg.key == kIsHostKey || arg.key == kFlowCategoryKey) continue;
    if (!first) out->Char(',');
    first = false;
    if (arg.key == OpFullnameKey()) {
      out->Literal(R"("op")");
    } else {
      out->Quoted(arg.key);
    }
    out->Char(':').Quoted(arg.value);
  }
  out->Char('}');
}

// The members shared by an event's complete and flow events: its process,
// thread and start.
ElementWriter& WritePlaceAndStart(const TraceEventView& event, ElementWriter* out) {
  return out->Literal(R"(,"pid":)")
      .Unsigned(event.device_id)
      .Literal(R"(,"tid":)")
      .Unsigned(event.resource_id)
      .Literal(R"(,"ts":)")
      .Time(event.timestamp_ps);
}

void WriteTraceEvent(const TraceEventView& event, ElementWriter* out) {
  out->Literal(R"({"ph":"X")");
  WritePlaceAndStart(event, out)
      .Literal(R"(,"dur":)")
      // The viewer hides events of no duration; show them one picosecond long.
      .Time(event.duration_ps == 0 ? 1 : event.duration_ps)
      .Literal(R"(,"name":)")
      .Quoted(event.name);
  if (event.arg_count != 0) WriteArgs(event, out);
  out->Literal("},");
}

// The value of the argument `key`, or null.
const std::string_view* FindArg(const TraceEventView& event, std::string_view key) {
  for (size_t i = 0; i < event.arg_count; ++i) {
    if (event.args[i].key == key) return &event.args[i].value;
  }
  return nullptr;
}

void WriteFlowEvent(const TraceEventView& event, ElementWriter* out) {
  const std::string_view* category = FindArg(event, kFlowCategoryKey);
  if (category == nullptr || category->empty()) return;
  const std::string_view* correlation_id = FindArg(event, kCorrelationIdKey);
  if (correlation_id == nullptr) return;
  const std::string_view* is_host = FindArg(event, kIsHostKey);
  if (is_host == nullptr) return;

  // The category is quoted like every other string: a quote or backslash in
  // it must not break the document.
  out->Literal(R"({"cat":)").Quoted(*category);
  WritePlaceAndStart(event, out)
      .Literal(R"(,"name":)")
      .Quoted("correlation ", *correlation_id)
      .Literal(R"(,"id":)")
      .Quoted(*correlation_id)
      .Literal(*is_host == "true" ? R"(,"ph":"s"},)" : R"(,"ph":"f","bp":"e"},)");
}

// The view of a stored event; `args` holds its arguments sorted.
TraceEventView ViewOf(const TraceEvent& event, std::vector<TraceEventArg>* args) {
  args->clear();
  args->reserve(event.args().size());
  for (const ArgEntry& arg : event.args()) args->push_back({arg.first, arg.second});
  std::sort(args->begin(), args->end(),
            [](const TraceEventArg& a, const TraceEventArg& b) { return a.key < b.key; });
  TraceEventView view;
  view.device_id = event.device_id();
  view.resource_id = event.resource_id();
  view.name = event.name();
  view.timestamp_ps = event.timestamp_ps();
  view.duration_ps = event.duration_ps();
  view.args = args->data();
  view.arg_count = args->size();
  return view;
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

}  // namespace

// Builds the document in `json`. With a sink, the text gathered is handed on
// and dropped whenever it reaches the chunk size, so memory stays bounded by
// one chunk; without one, `json` ends up holding the whole document.
class TraceJsonWriter::Impl {
 public:
  Impl(std::string* json, size_t chunk_bytes, const JsonPieceSink* sink)
      : json_(json), out_(json), chunk_bytes_(chunk_bytes), sink_(sink) {}

  Status Begin(const Trace& trace) {
    out_.Literal(kHeader);
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

  Status Add(const TraceEventView& event) {
    WriteTraceEvent(event, &out_);
    WriteFlowEvent(event, &out_);
    return MaybeHandOn(/*last=*/false);
  }

  Status End() {
    out_.Literal(kTrailer);
    return MaybeHandOn(/*last=*/true);
  }

 private:
  Status MaybeHandOn(bool last) {
    if (!failed_.ok()) return failed_;
    out_.Flush();
    if (sink_ == nullptr || (!last && json_->size() < chunk_bytes_)) return Status();
    failed_ = (*sink_)(*json_);
    json_->clear();
    return failed_;
  }

  std::string* json_;
  ElementWriter out_;
  const size_t chunk_bytes_;
  const JsonPieceSink* sink_;
  Status failed_;
};

TraceJsonWriter::TraceJsonWriter(std::string* json, size_t chunk_bytes, const JsonPieceSink* sink)
    : impl_(std::make_unique<Impl>(json, chunk_bytes, sink)) {}
TraceJsonWriter::~TraceJsonWriter() = default;
Status TraceJsonWriter::Begin(const Trace& trace) { return impl_->Begin(trace); }
Status TraceJsonWriter::Add(const TraceEventView& event) { return impl_->Add(event); }
Status TraceJsonWriter::End() { return impl_->End(); }

namespace {

Status WriteTrace(const Trace& trace, TraceJsonWriter* writer) {
  Status status = writer->Begin(trace);
  std::vector<TraceEventArg> args;
  for (const TraceEvent& event : trace.trace_events()) {
    if (!status.ok()) return status;
    status = writer->Add(ViewOf(event, &args));
  }
  if (!status.ok()) return status;
  return writer->End();
}

}  // namespace

std::string TraceToJson(const Trace& trace) {
  std::string json;
  // Without a sink nothing can fail.
  TraceJsonWriter writer(&json, std::numeric_limits<size_t>::max(), nullptr);
  (void)WriteTrace(trace, &writer);
  return json;
}

Status StreamTraceToJson(const Trace& trace, size_t chunk_bytes, const JsonPieceSink& sink) {
  std::string piece;
  // One event's text at most goes past the chunk size; reserving a little more
  // keeps the buffer from growing again.
  piece.reserve(chunk_bytes + chunk_bytes / 8);
  TraceJsonWriter writer(&piece, chunk_bytes, &sink);
  return WriteTrace(trace, &writer);
}

void AddTraceEvent(const TraceEvent& event, std::string* json) {
  std::vector<TraceEventArg> args;
  ElementWriter out(json);
  WriteTraceEvent(ViewOf(event, &args), &out);
}

void AddFlowEvent(const TraceEvent& event, std::string* json) {
  std::vector<TraceEventArg> args;
  ElementWriter out(json);
  WriteFlowEvent(ViewOf(event, &args), &out);
}

}  // namespace trace
}  // namespace zentrik
