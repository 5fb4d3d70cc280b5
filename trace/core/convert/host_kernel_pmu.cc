#include "trace/core/convert/host_kernel_pmu.h"

#include <cstdint>
#include <string>
#include <vector>

#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "zentrik/data_type.h"

namespace zentrik {
namespace trace {
namespace {

// The device tracer names every kernel launch on the host after this call.
constexpr char kKernelLaunchName[] = "qxInvokeKernel";

// What the pass reads of the host plane's metadata, looked up once.
struct StatIds {
  int64_t traceme_flag;
  int64_t data_type;
  // Whether any event can hold a data_type stat: not when the plane had no
  // such metadata before this pass, which spares a walk over every op's stats.
  bool data_type_held;
  int64_t op_fullname;
  // Ids of the event metadata of kernel launches; few, often none.
  std::vector<int64_t> kernel_launches;
};

XStat* FindMutableStat(XEvent* event, int64_t metadata_id) {
  for (XStat& stat : *event->mutable_stats()) {
    if (stat.metadata_id() == metadata_id) return &stat;
  }
  return nullptr;
}

const XStat* FindStat(const XEvent& event, int64_t metadata_id) {
  for (const XStat& stat : event.stats()) {
    if (stat.metadata_id() == metadata_id) return &stat;
  }
  return nullptr;
}

int64_t StartPs(const XEvent& event) {
  return event.data_case() == XEvent::kOffsetPs ? event.offset_ps() : 0;
}

// Wraps instead of overflowing on a corrupt duration.
int64_t EndPs(const XEvent& event) {
  return static_cast<int64_t>(static_cast<uint64_t>(StartPs(event)) +
                              static_cast<uint64_t>(event.duration_ps()));
}

// The data type of an op from its data_type stat. An integer stat is
// rewritten to hold the type's name; a value that names no type counts as
// INVALID. A stat of another kind (a user's text such as "float") is left as
// it is and gives INVALID too.
DataType TakeOpDataType(XStat* stat) {
  if (stat == nullptr || stat->value_case() != XStat::kInt64Value) return INVALID;
  const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(stat->int64_value()));
  const DataType type = value >= INVALID && value <= COUNT ? static_cast<DataType>(value) : INVALID;
  stat->set_str_value(GetDataTypeStr(type));
  return type;
}

// Sums the kernels of each op event of one host line onto that op event.
class LinePmuSummer {
 public:
  LinePmuSummer(XPlaneBuilder* plane, XLine* line, const StatIds& ids)
      : plane_(plane), line_(line), ids_(ids) {}

  void Run() {
    for (int i = 0; i < line_->events_size(); ++i) {
      XEvent* event = line_->mutable_events(i);
      if (FindStat(*event, ids_.traceme_flag) != nullptr) {
        BeginOp(i);
        continue;
      }
      // Events before a line's first op belong to no op.
      if (op_index_ < 0) continue;
      if (IsKernelLaunch(*event)) AddKernel(*event);
      if (NextEventInsideOpWindow(i)) {
        unflushed_ = true;
        continue;
      }
      Flush();
    }
  }

 private:
  const XEventMetadata& Metadata(const XEvent& event) const {
    const auto& all = plane_->plane().event_metadata();
    const auto it = all.find(event.metadata_id());
    return it == all.end() ? XEventMetadata::default_instance() : it->second;
  }

  // Hot: asked of every event that is no op.
  bool IsKernelLaunch(const XEvent& event) const {
    for (int64_t id : ids_.kernel_launches) {
      if (event.metadata_id() == id) return true;
    }
    return false;
  }

  void BeginOp(int index) {
    // A nested op must not take over what the enclosing op has summed so far.
    if (op_index_ >= 0 && unflushed_) Flush();
    // Only a summed kernel makes the two differ from zeros; most ops launch
    // none.
    if (kernel_summed_) {
      sum_.Clear();
      device_.Clear();
    }
    kernel_summed_ = false;
    sum_written_ = false;

    XEvent* op = line_->mutable_events(index);
    op_index_ = index;
    op_name_ = nullptr;
    window_start_ = StartPs(*op);
    window_end_ = EndPs(*op);
    op_flag_ = op->second_pmu_data_flag();
    op_data_type_ =
        ids_.data_type_held ? TakeOpDataType(FindMutableStat(op, ids_.data_type)) : INVALID;
  }

  void AddKernel(const XEvent& kernel) {
    if (!kernel.pmu_data_flag() && !op_flag_) return;
    last_kernel_flag_ = kernel.pmu_data_flag();
    const XStat* named_op = FindStat(kernel, ids_.op_fullname);
    // A stat of another kind reads as the empty name.
    if (named_op == nullptr || named_op->str_value() != OpName()) return;
    sum_ = AddPmuData(sum_, kernel.pmu_data());
    CopyDeviceInfo(kernel.device_info(), &device_);
    kernel_summed_ = true;
    sum_written_ = false;
  }

  // The op's metadata name, looked up on the first kernel that asks.
  const std::string& OpName() {
    if (op_name_ == nullptr) op_name_ = &Metadata(line_->events(op_index_)).name();
    return *op_name_;
  }

  bool NextEventInsideOpWindow(int index) const {
    if (index + 1 >= line_->events_size()) return false;
    const XEvent& next = line_->events(index + 1);
    return StartPs(next) >= window_start_ && EndPs(next) <= window_end_;
  }

  // Writes the op's sum so far; the sum keeps growing until the next op.
  void Flush() {
    unflushed_ = false;
    XEvent* op = line_->mutable_events(op_index_);
    op->set_pmu_data_flag(last_kernel_flag_);
    if (!kernel_summed_ || sum_written_) return;
    XEventBuilder builder(line_, plane_, op);
    builder.SetPmuData(sum_);
    device_.set_mac_peak_performance(GetMacPeakPerformance(op_data_type_, device_));
    device_.set_peak_performance(GetPeakPerformance(op_data_type_, device_));
    builder.SetDeviceInfo(device_);
    sum_written_ = true;
  }

  XPlaneBuilder* plane_;
  XLine* line_;
  const StatIds& ids_;

  // The current op; op_index_ is -1 until the line's first op event.
  int op_index_ = -1;
  const std::string* op_name_ = nullptr;  // points into the plane's metadata
  int64_t window_start_ = 0;
  int64_t window_end_ = 0;
  bool op_flag_ = false;
  DataType op_data_type_ = INVALID;

  // What the op's matching kernels added up to.
  PmuData sum_;
  DeviceInfo device_;
  bool kernel_summed_ = false;
  bool sum_written_ = false;  // sum_ and device_ already stand on the op
  bool last_kernel_flag_ = false;
  bool unflushed_ = false;  // events walked since the last flush
};

// Whether summing can change nothing on `line` but its order: with no kernel
// launch and no data_type stat on the plane, the pass only clears the
// pmu_data_flag of ops, so a line without that flag set is left as it is.
// One pass over the events, reading neither stats nor metadata, also tells
// whether the line is in order; most lines are, and need nothing more.
bool LeavesLineAlone(const XLine& line, const StatIds& ids) {
  if (!ids.kernel_launches.empty() || ids.data_type_held) return false;
  const XEventsComparator in_order;
  const XEvent* previous = nullptr;
  for (const XEvent& event : line.events()) {
    if (event.pmu_data_flag()) return false;
    if (previous != nullptr && in_order(&event, previous)) return false;
    previous = &event;
  }
  return true;
}

}  // namespace

void FillHostKernelPmuData(XSpace* space) {
  // The host plane's lines are put in order one by one below, each just
  // before it is summed.
  XPlane* host = FindMutablePlaneWithName(space, kHostPlaneName);
  for (XPlane& plane : *space->mutable_planes()) {
    if (&plane != host) SortXPlane(&plane);
  }
  if (host == nullptr) host = FindOrAddMutablePlaneWithName(space, kHostPlaneName);
  const std::string data_type_name = GetStatTypeStr(data_type);
  bool data_type_held = false;
  for (const auto& [id, metadata] : host->stat_metadata()) {
    if (metadata.name() == data_type_name) data_type_held = true;
  }
  XPlaneBuilder plane(host);
  StatIds ids = {
      plane.GetOrCreateStatMetadata(GetStatTypeStr(traceme_flag))->id(),
      plane.GetOrCreateStatMetadata(data_type_name)->id(),
      data_type_held,
      plane.GetOrCreateStatMetadata(GetStatTypeStr(op_fullname))->id(),
      {},
  };
  for (const auto& [id, metadata] : host->event_metadata()) {
    if (metadata.display_name() == kKernelLaunchName) ids.kernel_launches.push_back(id);
  }
  for (XLine& line : *host->mutable_lines()) {
    if (LeavesLineAlone(line, ids)) continue;
    SortXLine(&line);
    LinePmuSummer(&plane, &line, ids).Run();
  }
}

}  // namespace trace
}  // namespace zentrik
