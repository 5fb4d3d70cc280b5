#include "trace/core/convert/trace_events_to_json.h"

#include <json/writer.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
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

// Appends `prefix` (plain ASCII that needs no escaping) followed by `text` as
// one quoted JSON string, exactly as jsoncpp's valueToQuotedString quotes
// their concatenation handed over NUL-terminated. Hot path: names and values
// that need no escaping are copied as they are.
void AppendQuoted(std::string_view prefix, const std::string& text, std::string* json) {
  const char* data = text.data();
  size_t plain = 0;
  while (plain < text.size() && !kNeedsJsoncpp[static_cast<unsigned char>(data[plain])]) ++plain;
  json->push_back('"');
  json->append(prefix);
  if (plain == text.size() || data[plain] == '\0') {
    json->append(data, plain);
    json->push_back('"');
    return;
  }
  // jsoncpp escapes byte by byte and decodes UTF-8 from its lead byte, so
  // quoting the text alone gives the same bytes after the ASCII prefix.
  const std::string quoted = Json::valueToQuotedString(text.c_str());
  json->append(quoted, 1, std::string::npos);
}

void AppendQuoted(const std::string& text, std::string* json) { AppendQuoted({}, text, json); }

// Picoseconds as microseconds, "%.17g" in the C locale.
void AppendTime(uint64_t picoseconds, std::string* json) {
  AppendGeneral(static_cast<double>(picoseconds) / 1e6, 17, json);
}

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

void AppendArgs(const std::vector<const ArgEntry*>& sorted_args, std::string* json) {
  json->append(R"(,"args":{)");
  bool first = true;
  for (const ArgEntry* arg : sorted_args) {
    if (arg->first == kIsHostKey || arg->first == kFlowCategoryKey) continue;
    if (!first) json->push_back(',');
    first = false;
    if (arg->first == OpFullnameKey()) {
      json->append(R"("op")");
    } else {
      AppendQuoted(arg->first, json);
    }
    json->push_back(':');
    AppendQuoted(arg->second, json);
  }
  json->push_back('}');
}

// AddTraceEvent with a vector the caller reuses for sorting the arguments.
void AppendTraceEvent(const TraceEvent& event, std::vector<const ArgEntry*>* sorted_args,
                      std::string* json) {
  json->append(R"({"ph":"X","pid":)");
  AppendUnsigned(event.device_id(), json);
  json->append(R"(,"tid":)");
  AppendUnsigned(event.resource_id(), json);
  json->append(R"(,"ts":)");
  AppendTime(event.timestamp_ps(), json);
  json->append(R"(,"dur":)");
  // The viewer hides events of no duration; show them one picosecond long.
  AppendTime(event.duration_ps() == 0 ? 1 : event.duration_ps(), json);
  json->append(R"(,"name":)");
  AppendQuoted(event.name(), json);
  if (!event.args().empty()) {
    SortEntries(event.args(), sorted_args);
    AppendArgs(*sorted_args, json);
  }
  json->append("},");
}

void AppendProcessMetadata(uint32_t pid, const Device& device, std::string* json) {
  if (!device.name().empty()) {
    json->append(R"({"ph":"M","pid":)");
    AppendUnsigned(pid, json);
    json->append(R"(,"name":"process_name","args":{"name":)");
    AppendQuoted(device.name(), json);
    json->append("}},");
  }
  json->append(R"({"ph":"M","pid":)");
  AppendUnsigned(pid, json);
  json->append(R"(,"name":"process_sort_index","args":{"sort_index":)");
  AppendUnsigned(pid, json);
  json->append("}},");
}

void AppendThreadMetadata(uint32_t pid, uint32_t tid, const Resource& resource, std::string* json) {
  if (!resource.name().empty()) {
    json->append(R"({"ph":"M","pid":)");
    AppendUnsigned(pid, json);
    json->append(R"(,"tid":)");
    AppendUnsigned(tid, json);
    json->append(R"(,"name":"thread_name","args":{"name":)");
    AppendQuoted(resource.name(), json);
    json->append("}},");
  }
  json->append(R"({"ph":"M","pid":)");
  AppendUnsigned(pid, json);
  json->append(R"(,"tid":)");
  AppendUnsigned(tid, json);
  json->append(R"(,"name":"thread_sort_index","args":{"sort_index":)");
  AppendUnsigned(resource.sort_index() == 0 ? tid : resource.sort_index(), json);
  json->append("}},");
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
      AppendTraceEvent(event, &sorted_args_, json_);
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
      AppendProcessMetadata(device->first, device->second, json_);
      SortEntries(device->second.resources(), &resources);
      for (const ResourceEntry* resource : resources) {
        AppendThreadMetadata(device->first, resource->first, resource->second, json_);
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
  AppendTraceEvent(event, &sorted_args, json);
}

void AddFlowEvent(const TraceEvent& event, std::string* json) {
  const auto& args = event.args();
  const auto category = args.find(kFlowCategoryKey);
  if (category == args.end() || category->second.empty()) return;
  const auto correlation_id = args.find(kCorrelationIdKey);
  if (correlation_id == args.end()) return;
  const auto is_host = args.find(kIsHostKey);
  if (is_host == args.end()) return;

  json->append(R"({"cat":)");
  // Quoted like every other string: a quote or backslash in the category
  // must not break the document.
  AppendQuoted(category->second, json);
  json->append(R"(,"pid":)");
  AppendUnsigned(event.device_id(), json);
  json->append(R"(,"tid":)");
  AppendUnsigned(event.resource_id(), json);
  json->append(R"(,"ts":)");
  AppendTime(event.timestamp_ps(), json);
  json->append(R"(,"name":)");
  AppendQuoted("correlation ", correlation_id->second, json);
  json->append(R"(,"id":)");
  AppendQuoted(correlation_id->second, json);
  json->append(is_host->second == "true" ? R"(,"ph":"s"},)" : R"(,"ph":"f","bp":"e"},)");
}

}  // namespace trace
}  // namespace zentrik
