#ifndef ZENTRIK_TRACE_CORE_UTILS_XPLANE_BUILDER_H_
#define ZENTRIK_TRACE_CORE_UTILS_XPLANE_BUILDER_H_

#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Write access to the stats of a plane or an event. Every Add* call appends a
// new stat holding exactly one value; an existing stat with the same metadata
// is left alone (use FindOrAddMutableStat for one stat per kind).
template <typename T>
class XStatsBuilder {
 public:
  explicit XStatsBuilder(T* stats_owner) : stats_owner_(stats_owner) {}

  void AddStatValue(const XStatMetadata& metadata, int64_t value) {
    AddStat(metadata)->set_int64_value(value);
  }
  void AddStatValue(const XStatMetadata& metadata, uint64_t value) {
    AddStat(metadata)->set_uint64_value(value);
  }
  void AddStatValue(const XStatMetadata& metadata, double value) {
    AddStat(metadata)->set_double_value(value);
  }
  void AddStatValue(const XStatMetadata& metadata, std::string value) {
    AddStat(metadata)->set_str_value(std::move(value));
  }
  void AddStatValue(const XStatMetadata& metadata, const char* value) {
    AddStat(metadata)->set_str_value(value);
  }
  // Other integer types keep their signedness: int goes to int64_value,
  // unsigned to uint64_value.
  template <
      typename I,
      std::enable_if_t<std::is_integral<I>::value && !std::is_same<I, bool>::value &&
                           !std::is_same<I, int64_t>::value && !std::is_same<I, uint64_t>::value,
                       int> = 0>
  void AddStatValue(const XStatMetadata& metadata, I value) {
    if (std::is_signed<I>::value) {
      AddStatValue(metadata, static_cast<int64_t>(value));
    } else {
      AddStatValue(metadata, static_cast<uint64_t>(value));
    }
  }
  void AddStatValue(const XStatMetadata& metadata, bool value) = delete;

 private:
  XStat* AddStat(const XStatMetadata& metadata) {
    XStat* stat = stats_owner_->add_stats();
    stat->set_metadata_id(metadata.id());
    return stat;
  }

  T* stats_owner_;
};

class XPlaneBuilder;

// Write access to one event. A small value; valid while the plane holds the
// event (appending events, lines or metadata does not move it).
class XEventBuilder : public XStatsBuilder<XEvent> {
 public:
  XEventBuilder(const XLine* line, XPlaneBuilder* plane, XEvent* event)
      : XStatsBuilder<XEvent>(event), line_(line), plane_(plane), event_(event) {}

  XEvent* mutable_event() { return event_; }
  const XEvent& event() const { return *event_; }
  XPlaneBuilder* plane() const { return plane_; }

  void SetOffsetPs(int64_t offset_ps) { event_->set_offset_ps(offset_ps); }
  void SetDurationPs(int64_t duration_ps) { event_->set_duration_ps(duration_ps); }
  void SetNumOccurrences(int64_t count) { event_->set_num_occurrences(count); }
  // offset_ps = (timestamp_ns - line timestamp_ns) * 1000, wrapping as
  // unsigned 64-bit arithmetic does: an event that began before its line
  // gets a negative offset, never an overflow.
  void SetTimestampNs(uint64_t timestamp_ns);
  // duration_ps = (end_ns - line timestamp_ns) * 1000 - offset_ps, with the
  // same wrapping arithmetic. Call after SetTimestampNs.
  void SetEndTimestampNs(uint64_t end_ns);
  // The offset_ps and duration_ps, read unsigned, that the two calls above
  // give an event of a line at `line_timestamp_ns`: for ordering events
  // before they exist.
  struct TimesPs {
    uint64_t offset_ps;
    uint64_t duration_ps;
  };
  static TimesPs EventTimesPs(uint64_t line_timestamp_ns, uint64_t start_ns, uint64_t end_ns);

  // Gives the event the counters of `pmu_data`; pmu_data_flag keeps its
  // value.
  void SetPmuData(const PmuData& pmu_data);
  // Marks a counter set as not yet read: clears its flag and sets all sixteen
  // counters to the no-value marker. `second` chooses second_pmu_data /
  // second_pmu_data_flag; the other pair is kept.
  void InitPmuData(bool second);
  // InitPmuData for both sets at once. On an arena both point at `shared`
  // (created on the first call, then reused for every event), so that a
  // million events hold no million copies of the same sixteen markers.
  // Writers must then go through SetPmuData or MutablePmuData, which give the
  // event a set of its own first; without an arena this is InitPmuData.
  void InitSharedNoValuePmuData(PmuData** shared);
  // The event's own counter set to change in place (second_pmu_data when
  // `second`), copied first on an arena, where it may be shared.
  PmuData* MutablePmuData(bool second);
  // Creates device_info when absent and copies `device_info` into it.
  void SetDeviceInfo(const DeviceInfo& device_info);

 private:
  const XLine* line_;
  XPlaneBuilder* plane_;
  XEvent* event_;
};

// Write access to one line. A small value; valid while the plane holds the
// line.
class XLineBuilder {
 public:
  XLineBuilder(XLine* line, XPlaneBuilder* plane) : line_(line), plane_(plane) {}

  XLine* mutable_line() { return line_; }
  const XLine& line() const { return *line_; }
  XPlaneBuilder* plane() const { return plane_; }

  int64_t Id() const { return line_->id(); }
  int64_t TimestampNs() const { return line_->timestamp_ns(); }
  int NumEvents() const { return line_->events_size(); }
  void SetName(const std::string& name) { line_->set_name(name); }
  void SetDisplayName(const std::string& name) { line_->set_display_name(name); }
  void SetTimestampNs(int64_t timestamp_ns) { line_->set_timestamp_ns(timestamp_ns); }
  void SetDurationPs(int64_t duration_ps) { line_->set_duration_ps(duration_ps); }
  void ReserveEvents(int num_events) { line_->mutable_events()->Reserve(num_events); }

  // Appends an event with only metadata_id set (to `metadata.id()`).
  XEventBuilder AddEvent(const XEventMetadata& metadata);

 private:
  XLine* line_;
  XPlaneBuilder* plane_;
};

// Write access to a plane the caller owns, which must outlive the builder.
// Construction indexes the plane's lines by id and its metadata by name once,
// so build one per pass over a plane, never one per event. Lines, events and
// metadata it hands out stay valid as the plane grows; after lines were
// removed from the plane (RemoveEmptyLines) the builder must not be used.
// Not thread-safe: one thread uses a plane and its builders at a time.
class XPlaneBuilder : public XStatsBuilder<XPlane> {
 public:
  explicit XPlaneBuilder(XPlane* plane);
  XPlaneBuilder(const XPlaneBuilder&) = delete;
  XPlaneBuilder& operator=(const XPlaneBuilder&) = delete;

  XPlane* mutable_plane() { return plane_; }
  const XPlane& plane() const { return *plane_; }
  int64_t Id() const { return plane_->id(); }
  void SetId(int64_t id) { plane_->set_id(id); }
  const std::string& Name() const { return plane_->name(); }
  void SetName(const std::string& name) { plane_->set_name(name); }

  // The first line with `line_id`; appended with only its id set when the
  // plane has none.
  XLineBuilder GetOrCreateLine(int64_t line_id);

  // The event metadata named `name`; when there is none, a new entry whose
  // id is one above every id seen so far (1 in an empty plane).
  XEventMetadata* GetOrCreateEventMetadata(const std::string& name);
  // The same for stat metadata, numbered independently of event metadata.
  XStatMetadata* GetOrCreateStatMetadata(const std::string& name);

 private:
  XPlane* plane_;
  int64_t last_event_metadata_id_ = 0;
  int64_t last_stat_metadata_id_ = 0;
  std::unordered_map<std::string, XEventMetadata*> event_metadata_by_name_;
  std::unordered_map<std::string, XStatMetadata*> stat_metadata_by_name_;
  std::unordered_map<int64_t, XLine*> lines_by_id_;
};

// Sixteen counters holding the no-value marker (all bits set).
const PmuData& NoValuePmuData();

// The first stat in `stats` with the metadata's id; appended without a value
// when there is none.
XStat* FindOrAddMutableStat(const XStatMetadata& metadata,
                            google::protobuf::RepeatedPtrField<XStat>* stats);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XPLANE_BUILDER_H_
