#include "trace/core/internal/zra/host_events.h"

#include <cstdio>

#include "common/platform/env.h"
#include "trace/core/internal/zra/dravik_event_names.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace trace {
namespace {


AnnotationParts ParseAnnotationParts(uint64_t annotation_id) {
  AnnotationParts parts;
  const std::vector<Annotation> stack = ParseAnnotationStack(SanitizedUtf8(AnnotationRegistry::NameOf(annotation_id)));
  if (stack.empty()) return parts;
  parts.present = true;
  parts.innermost = stack.back().name;
  parts.op_fullname = stack.front().name;
  for (const auto& [key, value] : stack.front().metadata) {
    if (key == "model_id") {
      parts.has_model_id = true;
      parts.model_id = value;
      break;
    }
  }
  return parts;
}

// Records with no correlation are alike in their all-ones id; indexing them
// would hand one record's facts to every other.
bool HasCorrelation(const DravikTracerEvent& record) {
  return record.correlation_id != kDravikNoId32;
}

size_t CountRecords(const DravikTracerCollectorImpl& collector) {
  size_t count = 0;
  for (const auto& [device_id, list] : collector.events_by_device) count += list.events.size();
  return count;
}

void IndexRecord(DravikTracerEvent* record, CorrelationIndex* index) {
  const bool api_call = record->type == kGeneric &&
                        record->source == kApiCallback;
  if (!api_call && (record->type == kOverhead ||
                    record->source != kActivity)) {
    return;
  }
  // Every kernel keeps its duration, whether or not it has a correlation.
  // A record that ends before it starts is corrupt: its duration has no
  // value rather than a wrapped one that would poison every PMU figure.
  if (!api_call && record->type == kKernel) {
    record->pmu.counters[KernelPmuCounters::kDurationSlot] =
        record->end_time_ns >= record->start_time_ns ? record->end_time_ns - record->start_time_ns
                                                     : kDravikNoValue64;
  }
  if (!HasCorrelation(*record)) return;
  CorrelationFacts& facts = (*index)[record->correlation_id];
  if (api_call) {
    facts.has_api_call = true;
    facts.annotation_id = record->annotation_id;
    facts.cluster_count = record->cluster_count;
    return;
  }
  facts.activity_type = static_cast<int32_t>(record->type);
  facts.device_id = record->device_id;
  if (record->type == kKernel) facts.kernel_pmu = &record->pmu;
}

}  // namespace

const AnnotationParts& ExportNameCache::Annotation(uint64_t annotation_id) {
  static const AnnotationParts* const kNone = new AnnotationParts();
  if (annotation_id == kDravikNoValue64) return *kNone;
  auto it = annotations_.find(annotation_id);
  if (it == annotations_.end()) {
    it = annotations_.emplace(annotation_id, ParseAnnotationParts(annotation_id)).first;
  }
  return it->second;
}

const std::string& ExportNameCache::Demangled(const std::string& name) {
  auto it = demangled_.find(name);
  if (it == demangled_.end()) {
    it = demangled_.emplace(name, Env::Default()->Demangle(name.c_str())).first;
  }
  return it->second;
}

const std::string& ExportNameCache::TypeName(int32_t type) {
  auto it = type_names_.find(type);
  if (it == type_names_.end()) {
    it = type_names_.emplace(type, DravikTracerEventTypeName(type)).first;
  }
  return it->second;
}

void BuildCorrelationIndex(DravikTracerCollectorImpl* collector, CorrelationIndex* index) {
  index->reserve(index->size() + CountRecords(*collector));
  for (auto& [device_id, list] : collector->events_by_device) {
    for (auto& record : list.events) IndexRecord(record.get(), index);
  }
}

EventRecord EventRecordOf(const DravikTracerEvent& record, uint32_t line_id) {
  EventRecord out;
  out.line_id = line_id;
  out.start_ns = record.start_time_ns;
  out.end_ns = record.end_time_ns;
  out.correlation_id = record.correlation_id;
  return out;
}

EventRecord BuildEventRecord(const DravikTracerEvent& record, const std::string& type_name,
                             ExportNameCache* cache) {
  EventRecord out = EventRecordOf(record, record.thread_id);

  const AnnotationParts& annotation = cache->Annotation(record.annotation_id);
  if (annotation.present) {
    out.stats.emplace_back("op_fullname", annotation.op_fullname);
    if (annotation.has_model_id) out.stats.emplace_back("model_id", annotation.model_id);
  }
  out.stats.emplace_back("is_host", "true");
  out.stats.emplace_back("flow_event_cat", type_name);

  if (record.type == kOverhead) {
    out.group = "dravik_overhead";
    out.display_name = OverheadKindName(record.overhead.overhead_kind);
    out.metadata_name = out.display_name;
    return out;
  }
  char group[32];
  snprintf(group, sizeof(group), "/Generic/%u", record.thread_id);
  out.group = group;
  out.display_name = cache->Demangled(record.name);
  out.metadata_name = annotation.innermost + "##" + out.display_name;
  return out;
}

}  // namespace trace
}  // namespace zentrik
