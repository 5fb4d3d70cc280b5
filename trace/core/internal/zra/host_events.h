#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_HOST_EVENTS_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_HOST_EVENTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/dravik_tracer_event.h"

namespace zentrik {
namespace trace {


// What an API call and the device work it launched learn of each other,
// under their shared correlation id.
struct CorrelationFacts {
  // The PMU block of the correlation's last kernel, inside the collector's
  // record; null when the correlation launched no kernel.
  const KernelPmuCounters* kernel_pmu = nullptr;
  uint64_t annotation_id = kDravikNoValue64;  // of the last API record
  uint64_t cluster_count = 0;                // of the last API record
  uint32_t device_id = 0;                    // of the last activity
  int32_t activity_type = 0;                 // of the last activity; 0: none
  bool has_api_call = false;
};

// Looked up per record, never iterated, so a hash map.
using CorrelationIndex = std::unordered_map<uint32_t, CorrelationFacts>;

// One stored record on its way to an XEvent.
struct EventRecord {
  uint32_t line_id = 0;
  std::string display_name;
  std::string group;          // the kind on a device queue; the line name on the host
  std::string metadata_name;
  // Stat name to text. The names are static strings; the export writes the
  // stats in ascending name order.
  std::vector<std::pair<std::string_view, std::string>> stats;
  bool dropped = false;
  uint64_t start_ns = 0;
  uint64_t end_ns = 0;
  uint32_t correlation_id = kDravikNoId32;
};

// The parts of an annotation stack that events carry.
struct AnnotationParts {
  bool present = false;
  std::string innermost;    // name of the last annotation
  std::string op_fullname;  // name of the first annotation
  bool has_model_id = false;
  std::string model_id;     // first "model_id" pair of the first annotation
};

// Per-export memo of parsed annotations, demangled names and type names:
// annotation ids are never reused, so one parse per id serves a whole pass.
// Used by one thread.
class ExportNameCache {
 public:
  const AnnotationParts& Annotation(uint64_t annotation_id);
  const std::string& Demangled(const std::string& name);
  const std::string& TypeName(int32_t type);

 private:
  std::unordered_map<uint64_t, AnnotationParts> annotations_;
  std::unordered_map<std::string, std::string> demangled_;
  std::unordered_map<int32_t, std::string> type_names_;
};

// Indexes every stored record of `collector` by correlation id, the last
// record of a kind winning. Stores each kernel's duration in counter slot 13
// of its own PMU block (no value when it ends before it starts), also when it
// has no correlation id. Records without a correlation id are left out of the
// index. Call after tracing stopped, on the
// collecting thread.
void BuildCorrelationIndex(DravikTracerCollectorImpl* collector, CorrelationIndex* index);

// A record of `record`'s times and correlation id on line `line_id`, the
// rest empty: what the host and the device records start from.
EventRecord EventRecordOf(const DravikTracerEvent& record, uint32_t line_id);

// The host-plane record of an API call or an overhead interval. `type_name`
// is the correlation's activity type name, empty when it has none.
EventRecord BuildEventRecord(const DravikTracerEvent& record, const std::string& type_name,
                             ExportNameCache* cache);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_HOST_EVENTS_H_
