#include "trace/core/convert/xplane_to_op_metrics_db.h"

#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "trace/core/convert/event_walk.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint32_t kBeginRecord = 0;
constexpr uint32_t kEndRecord = 1;

// The begin or end mark of one framework-op event of a host line.
struct FourStringRecord {
  uint64_t time_ps;
  uint32_t op_index;  // from 1, shared by an event's begin and end
  uint32_t kind;      // kBeginRecord or kEndRecord
  uint64_t begin_ps;  // of the event, for ordering ties
  uint64_t end_ps;
};

// A framework-op event of the line: its op and what an occurrence records of
// the event, read while the walk holds the event; op_index - 1 is its
// position.
struct LineOp {
  const QxOp* op;
  const std::string* data_type;
  const std::string* model_id;
  EventPmuRecord pmu;
};

// Order of records at one instant: ends of ops that began earlier (innermost
// first), then begins (longest, i.e. outermost, first), then ends of ops that
// last no time. So an op ending when the next begins, nested ops sharing an
// edge and zero-length ops all pair up.
auto TieKey(const FourStringRecord& r) {
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
  if (r.kind == kBeginRecord) return std::make_tuple(1, kMax - r.end_ps, r.op_index);
  if (r.begin_ps < r.time_ps) return std::make_tuple(0, kMax - r.begin_ps, kMax32 - r.op_index);
  return std::make_tuple(2, uint64_t{0}, kMax32 - r.op_index);
}

bool RecordBefore(const FourStringRecord& a, const FourStringRecord& b) {
  if (a.time_ps != b.time_ps) return a.time_ps < b.time_ps;
  return TieKey(a) < TieKey(b);
}

// A negative duration would wrap round; such an event lasts no time.
uint64_t NonNegativeDurationPs(const XEvent& event) {
  return event.duration_ps() > 0 ? static_cast<uint64_t>(event.duration_ps()) : 0;
}

struct OpenOp {
  uint32_t op_index;
  uint64_t begin_ps;
  uint64_t children_time_ps;
};

const std::string& StrOrRefStat(const XEventVisitor& event, int64_t type) {
  static const std::string* const kNone = new std::string();
  std::optional<XStatVisitor> stat = event.GetStat(type);
  return stat ? stat->StrOrRefValue() : *kNone;
}

std::vector<FourStringRecord> CollectRecords(const XLineVisitor& line, const TfOpMap& tf_ops,
                                             std::vector<LineOp>* ops) {
  std::vector<FourStringRecord> records;
  // Room for every event at once: the untouched rest of a large block costs
  // no resident memory, where growing would hold two copies at a time.
  records.reserve(2 * static_cast<size_t>(line.line->events_size()));
  ops->reserve(static_cast<size_t>(line.line->events_size()));
  ForEachLineEvent(*line.line, [&](const XEvent& raw_event) {
    auto it = tf_ops.find(raw_event.metadata_id());
    if (it == tf_ops.end()) return;
    const XEventVisitor event(line.plane, line.line, &raw_event);
    ops->push_back({&it->second, &StrOrRefStat(event, StatType::data_type),
                    &StrOrRefStat(event, StatType::model_id), MakeEventPmuRecord(raw_event)});
    const uint32_t op_index = static_cast<uint32_t>(ops->size());
    const uint64_t begin_ps = event.TimestampPs();
    const uint64_t end_ps = begin_ps + NonNegativeDurationPs(raw_event);
    records.push_back({begin_ps, op_index, kBeginRecord, begin_ps, end_ps});
    records.push_back({end_ps, op_index, kEndRecord, begin_ps, end_ps});
  });
  return records;
}

}  // namespace

TfOpMap BuildTfOpMapFromHostPlane(const XPlane& plane) {
  TfOpMap tf_ops;
  for (const auto& [id, metadata] : plane.event_metadata()) {
    QxOp op = ParseQxOpFullname(metadata.name(), false);
    if (op.kind == QxOp::kOther) continue;
    tf_ops.emplace(id, std::move(op));
  }
  return tf_ops;
}

std::unique_ptr<HostLineOpMetrics> ConvertHostThreadsXLineToOpMetricsDb(const XLineVisitor& line,
                                                                        const TfOpMap& tf_ops) {
  auto result = std::make_unique<HostLineOpMetrics>();
  if (tf_ops.empty()) return result;
  std::vector<LineOp> ops;
  std::vector<FourStringRecord> records = CollectRecords(line, tf_ops, &ops);
  std::sort(records.begin(), records.end(), RecordBefore);

  // Each op's entry is looked up by its name once.
  std::unordered_map<const QxOp*, OpMetrics*> entries;
  std::vector<OpenOp> stack;
  for (const FourStringRecord& record : records) {
    if (record.kind == kBeginRecord) {
      stack.push_back({record.op_index, record.time_ps, 0});
      continue;
    }
    // An op that is no longer open was closed by an overlapping one; its end
    // must not close the ops still open around it.
    auto open = std::find_if(stack.rbegin(), stack.rend(),
                             [&](const OpenOp& op) { return op.op_index == record.op_index; });
    if (open == stack.rend()) continue;
    const OpenOp op = *open;
    stack.erase(std::prev(open.base()), stack.end());
    const uint64_t time_ps = record.time_ps - op.begin_ps;
    const LineOp& line_op = ops[record.op_index - 1];
    OpMetrics*& entry = entries[line_op.op];
    if (entry == nullptr) {
      entry = result->builder->LookupOrInsertNewOpMetrics(line_op.op->name + ":" + line_op.op->type,
                                                          "");
    }
    result->builder->EnterOp(entry, line_op.op->type, time_ps, op.children_time_ps,
                             *line_op.data_type, *line_op.model_id, line_op.pmu);
    if (!stack.empty()) stack.back().children_time_ps += time_ps;
  }
  if (!records.empty()) {
    result->db.set_total_time_ps(records.back().time_ps - records.front().time_ps);
  }
  return result;
}

void AddIdleAndCombineOpMetricsDb(OpMetricsDb& line_db, OpMetricsDbBuilder& target) {
  AddIdleOp(&line_db);
  target.Combine(line_db);
  line_db.Clear();
}

OpMetricsDb ConvertDeviceTraceXPlaneToOpMetricsDb(const XPlane& plane) {
  OpMetricsDb db;
  OpMetricsDbBuilder builder(&db);
  const XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
  bool has_events = false;
  int64_t earliest_begin_ps = std::numeric_limits<int64_t>::max();
  int64_t latest_end_ps = 0;
  for (const XLine& line : plane.lines()) {
    for (const XEvent& raw_event : line.events()) {
      has_events = true;
      const int64_t begin_ps = raw_event.offset_ps();  // 0 for a count of occurrences
      const uint64_t duration_ps = NonNegativeDurationPs(raw_event);
      int64_t end_ps;
      if (__builtin_add_overflow(begin_ps, duration_ps, &end_ps)) {
        end_ps = std::numeric_limits<int64_t>::max();
      }
      earliest_begin_ps = std::min(earliest_begin_ps, begin_ps);
      latest_end_ps = std::max(latest_end_ps, end_ps);

      std::string op_fullname;
      std::string data_type;
      bool is_kernel = false;
      const XEventVisitor event(&visitor, &line, &raw_event);
      event.ForEachStat([&](const XStatVisitor& stat) {
        switch (stat.Type()) {
          case StatType::op_fullname:
          case StatType::tf_op:
            op_fullname = stat.StrOrRefValue();
            break;
          case StatType::kernel_details:
            is_kernel = true;
            break;
          case StatType::data_type:
            data_type = stat.StrOrRefValue();
            break;
          default:
            break;
        }
      });
      if (op_fullname.empty() || !is_kernel) continue;
      const QxOp op = ParseQxOpFullname(op_fullname, false);
      builder.EnterDeviceOp(op.name + "/" + op_fullname, op.type, op_fullname, 1, duration_ps, 0,
                            data_type, MakeEventPmuRecord(raw_event));
    }
  }
  // The difference of two int64 values always fits a uint64.
  if (has_events && latest_end_ps > earliest_begin_ps) {
    db.set_total_time_ps(static_cast<uint64_t>(latest_end_ps) -
                         static_cast<uint64_t>(earliest_begin_ps));
  }
  AddIdleOp(&db);
  return db;
}

}  // namespace trace
}  // namespace zentrik
