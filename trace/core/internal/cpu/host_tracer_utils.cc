#include "trace/core/internal/cpu/host_tracer_utils.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/platform/logging.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/qx_op_utils.h"
#include "trace/core/utils/utf8_utils.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using PmuCounterSetter = void (PmuData::*)(uint64_t);

// The annotation keys that fill a counter of second_pmu_data instead of
// becoming stats.
struct PmuKey {
  StatType type;
  PmuCounterSetter set_counter;
};
constexpr PmuKey kPmuKeys[] = {
    {StatType::mac_ops, &PmuData::set_mac_ops},
    {StatType::vector_ops, &PmuData::set_vector_ops},
    {StatType::read_bytes, &PmuData::set_io_dma_read_bytes},
    {StatType::write_bytes, &PmuData::set_io_dma_write_bytes},
};

// The counter setter of `key`, or null for an ordinary key.
PmuCounterSetter FindPmuCounter(const std::string& key) {
  static const auto* const kNames = [] {
    auto* names = new std::vector<std::string>;
    for (const PmuKey& pmu_key : kPmuKeys) names->push_back(GetStatTypeStr(pmu_key.type));
    return names;
  }();
  for (size_t i = 0; i < kNames->size(); ++i) {
    if (key == (*kNames)[i]) return kPmuKeys[i].set_counter;
  }
  return nullptr;
}

// How an ordinary argument value is stored: an integer when std::stoll reads
// all of it, else a double when std::stold does, else the text. A value
// either conversion rejects (no number, out of range) stays text, and so does
// one beyond the range of a double, which would otherwise turn into infinity.
void AddArgumentStat(XEventBuilder* event, const XStatMetadata& metadata, std::string value) {
  enum class Kind { kInt, kDouble, kText } kind = Kind::kText;
  long long int_value = 0;
  long double double_value = 0;
  try {
    size_t pos = 0;
    int_value = std::stoll(value, &pos);
    if (pos == value.size()) {
      kind = Kind::kInt;
    } else {
      double_value = std::stold(value, &pos);
      if (pos == value.size() && std::fabs(double_value) <= std::numeric_limits<double>::max()) {
        kind = Kind::kDouble;
      }
    }
  } catch (const std::exception&) {
    kind = Kind::kText;
  }
  switch (kind) {
    case Kind::kInt:
      event->AddStatValue(metadata, static_cast<int64_t>(int_value));
      break;
    case Kind::kDouble:
      event->AddStatValue(metadata, static_cast<double>(double_value));
      break;
    case Kind::kText:
      event->AddStatValue(metadata, std::move(value));
      break;
  }
}

// Stores a PMU key's value into `counters`, the event's second_pmu_data. A
// value that is no unsigned number in range leaves the counter as it was.
void SetPmuCounter(PmuData* counters, PmuCounterSetter set_counter, const std::string& value) {
  uint64_t counter = 0;
  try {
    counter = std::stoull(value);
  } catch (const std::exception&) {
    return;
  }
  (counters->*set_counter)(counter);
}

// Converts one thread's events into its line, sharing the plane's metadata.
class HostLineConverter {
 public:
  HostLineConverter(uint64_t start_timestamp_ns, XPlaneBuilder* plane)
      : start_timestamp_ns_(start_timestamp_ns), plane_(plane) {}

  void Convert(TraceMeRecorder::ThreadEvents* thread) {
    XLineBuilder line = plane_->GetOrCreateLine(thread->thread.tid);
    line.SetName(SanitizedUtf8(thread->thread.name) + "/" + std::to_string(thread->thread.tid));
    line.SetTimestampNs(static_cast<int64_t>(start_timestamp_ns_));
    const int first = line.NumEvents();
    line.ReserveEvents(first + static_cast<int>(thread->events.size()));
    // The events come in order of their ends. Post-processing sorts every
    // line by start; sorting here by keys held side by side is far cheaper
    // than sorting the events through their pointers, and leaves that pass
    // with a line already in order.
    std::vector<SortEntry> order;
    order.reserve(static_cast<size_t>(first) + thread->events.size());
    // A thread id seen before (a thread that ended and one that reused its
    // id) adds to the same line, which is sorted whole.
    for (const XEvent& xevent : line.line().events()) AddSortEntry(xevent, &order);
    // Popping as we go releases the recorded events chunk by chunk while the
    // plane grows.
    auto& events = thread->events;
    while (!events.empty()) {
      TraceMeRecorder::Event event = std::move(events.front());
      events.pop_front();
      if (!IsInSession(event)) continue;
      AddSortEntry(AddEvent(&line, &event), &order);
    }
    if (!std::is_sorted(order.begin(), order.end())) {
      std::stable_sort(order.begin(), order.end());
      auto slot = line.mutable_line()->mutable_events()->pointer_begin();
      for (const SortEntry& entry : order) *slot++ = const_cast<XEvent*>(entry.event);
    }
    LOG(INFO) << "Host Tracer [thread id: " << thread->thread.tid << "] has collected "
              << line.NumEvents() << " events.";
  }

 private:
  // Drops what began before the session (or carries no time at all).
  bool IsInSession(const TraceMeRecorder::Event& event) const {
    return event.start_time > 0 && event.end_time > 0 &&
           start_timestamp_ns_ <= static_cast<uint64_t>(event.start_time);
  }

  // The order XEventsComparator gives events that hold an offset.
  struct SortEntry {
    uint64_t offset_ps;
    uint64_t duration_ps;
    const XEvent* event;
    bool operator<(const SortEntry& other) const {
      if (offset_ps != other.offset_ps) return offset_ps < other.offset_ps;
      return duration_ps > other.duration_ps;
    }
  };

  static void AddSortEntry(const XEvent& event, std::vector<SortEntry>* order) {
    order->push_back({static_cast<uint64_t>(event.offset_ps()),
                      static_cast<uint64_t>(event.duration_ps()), &event});
  }

  const XEvent& AddEvent(XLineBuilder* line, TraceMeRecorder::Event* event) {
    const bool encoded = !event->name.empty() && event->name.back() == '#';
    if (encoded) LOG(INFO) << "origin annotation = " << event->name;
    // Every string below is cut out of the name at ASCII characters, so one
    // pass over the name makes them all well-formed.
    SanitizeUtf8(&event->name);
    if (!encoded) {
      XEventBuilder xevent = StartEvent(line, *event, event->name);
      xevent.InitSharedNoValuePmuData(&no_value_pmu_data_);
      AddTraceMeFlag(&xevent);
      return xevent.event();
    }
    Annotation annotation = ParseAnnotation(event->name);
    XEventBuilder xevent = StartEvent(line, *event, annotation.name);
    // Room for traceme_flag and the group_id and step_name grouping adds.
    xevent.mutable_event()->mutable_stats()->Reserve(static_cast<int>(annotation.metadata.size()) +
                                                     3);
    AddTraceMeFlag(&xevent);
    xevent.InitSharedNoValuePmuData(&no_value_pmu_data_);
    PmuData* counters = nullptr;  // the event's own second_pmu_data, once needed
    for (auto& [key, value] : annotation.metadata) {
      if (PmuCounterSetter set_counter = FindPmuCounter(key)) {
        xevent.mutable_event()->set_second_pmu_data_flag(true);
        if (counters == nullptr) counters = xevent.MutablePmuData(/*second=*/true);
        SetPmuCounter(counters, set_counter, value);
      } else {
        AddArgumentStat(&xevent, *plane_->GetOrCreateStatMetadata(key), std::move(value));
      }
    }
    return xevent.event();
  }

  // Appends the event under the metadata named `name`, with its times.
  XEventBuilder StartEvent(XLineBuilder* line, const TraceMeRecorder::Event& event,
                           const std::string& name) {
    XEventBuilder xevent = line->AddEvent(*EventMetadata(name));
    xevent.SetTimestampNs(static_cast<uint64_t>(event.start_time));
    xevent.SetEndTimestampNs(static_cast<uint64_t>(event.end_time));
    return xevent;
  }

  // The metadata named `name`. Its display name is settled on first use in
  // this conversion only: the result never changes for a name, and working
  // it out per event would also repeat its warnings per event.
  XEventMetadata* EventMetadata(const std::string& name) {
    XEventMetadata*& metadata = metadata_by_name_[name];
    if (metadata == nullptr) {
      metadata = plane_->GetOrCreateEventMetadata(name);
      SetEventMetadataDisplayName(metadata);
    }
    return metadata;
  }

  void AddTraceMeFlag(XEventBuilder* xevent) {
    if (traceme_flag_ == nullptr) {
      traceme_flag_ = plane_->GetOrCreateStatMetadata(GetStatTypeStr(StatType::traceme_flag));
    }
    xevent->AddStatValue(*traceme_flag_, int64_t{1});
  }

  const uint64_t start_timestamp_ns_;
  XPlaneBuilder* const plane_;
  // Created with the first event, so a plane without events gains none.
  XStatMetadata* traceme_flag_ = nullptr;
  // On an arena, the no-value counters all events start with.
  PmuData* no_value_pmu_data_ = nullptr;
  std::unordered_map<std::string, XEventMetadata*> metadata_by_name_;
};

}  // namespace

void SetEventMetadataDisplayName(XEventMetadata* metadata) {
  if (!metadata->display_name().empty()) return;
  std::string display_name = QxOpEventName(metadata->name(), /*warn_multiple=*/true);
  if (display_name != metadata->name()) metadata->set_display_name(std::move(display_name));
}

void ConvertRecordedEventsToHostPlane(uint64_t start_timestamp_ns, TraceMeRecorder::Events&& events,
                                      XPlane* plane) {
  XPlaneBuilder builder(plane);
  HostLineConverter converter(start_timestamp_ns, &builder);
  for (TraceMeRecorder::ThreadEvents& thread : events) converter.Convert(&thread);
  auto* lines = plane->mutable_lines();
  std::sort(lines->pointer_begin(), lines->pointer_end(), XLinesComparatorByName());
}

}  // namespace trace
}  // namespace zentrik
