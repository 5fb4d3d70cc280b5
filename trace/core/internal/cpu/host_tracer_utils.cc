#include "trace/core/internal/cpu/host_tracer_utils.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <string>
#include <string_view>
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
PmuCounterSetter FindPmuCounter(std::string_view key) {
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

// The number std::stoll / std::stoull / std::stold would read from the start
// of `text` (a NUL-terminated string), without their exceptions: false where
// they throw (no number, out of range). `*end` is where reading stopped.
template <typename T, typename Convert>
bool ReadNumber(const std::string& text, Convert convert, T* number, size_t* end) {
  char* stop = nullptr;
  errno = 0;
  *number = convert(text.c_str(), &stop);
  if (stop == text.c_str() || errno == ERANGE) return false;
  *end = static_cast<size_t>(stop - text.c_str());
  return true;
}

long long ToLongLong(const char* text, char** end) { return std::strtoll(text, end, 10); }
unsigned long long ToUnsignedLongLong(const char* text, char** end) {
  return std::strtoull(text, end, 10);
}

// How an ordinary argument value is stored: an integer when std::stoll reads
// all of it, else a double when std::stold does, else the text. A value
// either conversion rejects (no number, out of range) stays text, and so does
// one beyond the range of a double, which would otherwise turn into infinity.
// `buffer` only saves an allocation per value.
void AddArgumentStat(XEventBuilder* event, const XStatMetadata& metadata, std::string_view value,
                     std::string* buffer) {
  buffer->assign(value);
  long long int_value = 0;
  size_t end = 0;
  if (!ReadNumber(*buffer, ToLongLong, &int_value, &end)) {
    event->AddStatValue(metadata, std::string(value));
  } else if (end == value.size()) {
    event->AddStatValue(metadata, static_cast<int64_t>(int_value));
  } else {
    long double double_value = 0;
    if (ReadNumber(*buffer, std::strtold, &double_value, &end) && end == value.size() &&
        std::fabs(double_value) <= std::numeric_limits<double>::max()) {
      event->AddStatValue(metadata, static_cast<double>(double_value));
    } else {
      event->AddStatValue(metadata, std::string(value));
    }
  }
}

// Stores a PMU key's value into `counters`, the event's second_pmu_data. A
// value that is no unsigned number in range leaves the counter as it was.
void SetPmuCounter(PmuData* counters, PmuCounterSetter set_counter, std::string_view value,
                   std::string* buffer) {
  buffer->assign(value);
  unsigned long long counter = 0;
  size_t end = 0;
  if (ReadNumber(*buffer, ToUnsignedLongLong, &counter, &end)) {
    (counters->*set_counter)(static_cast<uint64_t>(counter));
  }
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
    auto& events = thread->events;
    line.ReserveEvents(first + static_cast<int>(events.size()));
    // The events come in order of their ends and the line wants them by
    // start. Made in that order, they also lie in memory as every later pass
    // (grouping, serializing) walks them; metadata, their ids and the log
    // lines still follow the recording order.
    std::vector<Pending> pending = Prepare(&events);
    OrderByStart(&pending);
    Make(&line, pending, &events);
    // A thread id seen before (a thread that ended and one that reused its
    // id) adds to the same line, which is sorted whole.
    if (first > 0) SortXLine(line.mutable_line());
    LOG(INFO) << "Host Tracer [thread id: " << thread->thread.tid << "] has collected "
              << line.NumEvents() << " events.";
  }

 private:
  using RecordedEvents = std::deque<TraceMeRecorder::Event>;

  // An event of the session still to be made: its place by start (the order
  // XEventsComparator gives events that hold an offset) and what was settled
  // for it in recording order.
  struct Pending {
    uint64_t offset_ps;
    uint64_t duration_ps;
    const XEventMetadata* metadata;
    uint32_t index;  // among the recorded events
    bool encoded;    // the name carries arguments
    bool operator<(const Pending& other) const {
      if (offset_ps != other.offset_ps) return offset_ps < other.offset_ps;
      return duration_ps > other.duration_ps;
    }
  };

  // Drops what began before the session (or carries no time at all).
  bool IsInSession(const TraceMeRecorder::Event& event) const {
    return event.start_time > 0 && event.end_time > 0 &&
           start_timestamp_ns_ <= static_cast<uint64_t>(event.start_time);
  }

  // In recording order: logs each encoded name, makes every name well-formed
  // (each string below is cut out of it at ASCII characters, so one pass
  // serves them all) and creates, so numbers, the metadata the events use.
  std::vector<Pending> Prepare(RecordedEvents* events) {
    std::vector<Pending> pending;
    pending.reserve(events->size());
    for (size_t i = 0; i < events->size(); ++i) {
      TraceMeRecorder::Event& event = (*events)[i];
      if (!IsInSession(event)) continue;
      const bool encoded = !event.name.empty() && event.name.back() == '#';
      if (encoded) LOG(INFO) << "origin annotation = " << event.name;
      SanitizeUtf8(&event.name);
      const XEventMetadata* metadata = nullptr;
      if (!encoded) {
        metadata = EventMetadata(event.name);
        TraceMeFlag();
      } else {
        ParseAnnotation(event.name, &annotation_scratch_, &annotation_);
        metadata = EventMetadata(annotation_.name);
        TraceMeFlag();
        for (const auto& [key, value] : annotation_.metadata) {
          if (FindPmuCounter(key) == nullptr) StatMetadata(key);
        }
      }
      const XEventBuilder::TimesPs times =
          XEventBuilder::EventTimesPs(start_timestamp_ns_, static_cast<uint64_t>(event.start_time),
                                      static_cast<uint64_t>(event.end_time));
      pending.push_back(
          {times.offset_ps, times.duration_ps, metadata, static_cast<uint32_t>(i), encoded});
    }
    return pending;
  }

  // Stable, so equal events keep their recording order.
  static void OrderByStart(std::vector<Pending>* pending) {
    if (std::is_sorted(pending->begin(), pending->end())) return;
    ReverseDescendingRuns(pending);
    if (!std::is_sorted(pending->begin(), pending->end())) {
      std::stable_sort(pending->begin(), pending->end());
    }
  }

  // Nested scopes end innermost first, so a thread's events come as runs of
  // strictly falling starts. Turning those runs round mostly leaves nothing
  // for the sort to do; it changes no order the stable sort keeps, as no two
  // entries of a run compare equal.
  static void ReverseDescendingRuns(std::vector<Pending>* order) {
    auto run_start = order->begin();
    while (run_start != order->end()) {
      auto run_end = run_start + 1;
      while (run_end != order->end() && *run_end < *(run_end - 1)) ++run_end;
      std::reverse(run_start, run_end);
      run_start = run_end;
    }
  }

  // Makes the events in the order of `pending`. The recorded events are
  // released from the front as soon as they and all before them are made,
  // so that their memory serves the plane while it grows.
  void Make(XLineBuilder* line, const std::vector<Pending>& pending, RecordedEvents* events) {
    std::vector<bool> made(events->size(), true);
    for (const Pending& event : pending) made[event.index] = false;
    size_t released = 0;
    auto release = [&] {
      for (; released < made.size() && made[released]; ++released) events->pop_front();
    };
    release();
    // Only an encoded name is read again; it is fetched a few events ahead.
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < pending.size(); ++i) {
      if (i + kAhead < pending.size() && pending[i + kAhead].encoded) {
        __builtin_prefetch((*events)[pending[i + kAhead].index - released].name.data());
      }
      const Pending& event = pending[i];
      AddEvent(line, event, &(*events)[event.index - released]);
      made[event.index] = true;
      release();
    }
  }

  void AddEvent(XLineBuilder* line, const Pending& pending, TraceMeRecorder::Event* event) {
    XEventBuilder xevent = line->AddEvent(*pending.metadata);
    // What SetTimestampNs and SetEndTimestampNs would give.
    xevent.SetOffsetPs(static_cast<int64_t>(pending.offset_ps));
    xevent.SetDurationPs(static_cast<int64_t>(pending.duration_ps));
    if (!pending.encoded) {
      // Room for traceme_flag and the group_id grouping adds (a step_name
      // only goes on roots, which are encoded): the array is not moved then.
      xevent.mutable_event()->mutable_stats()->Reserve(2);
      xevent.InitSharedNoValuePmuData(&no_value_pmu_data_);
      AddTraceMeFlag(&xevent);
      return;
    }
    // Its warnings were logged when the name was parsed in recording order.
    AnnotationView& annotation = annotation_;
    ParseAnnotation(event->name, &annotation_scratch_, &annotation, /*warn=*/false);
    // Room for traceme_flag and the group_id and step_name grouping adds.
    xevent.mutable_event()->mutable_stats()->Reserve(static_cast<int>(annotation.metadata.size()) +
                                                     3);
    AddTraceMeFlag(&xevent);
    xevent.InitSharedNoValuePmuData(&no_value_pmu_data_);
    PmuData* counters = nullptr;  // the event's own second_pmu_data, once needed
    for (const auto& [key, value] : annotation.metadata) {
      if (PmuCounterSetter set_counter = FindPmuCounter(key)) {
        xevent.mutable_event()->set_second_pmu_data_flag(true);
        if (counters == nullptr) counters = xevent.MutablePmuData(/*second=*/true);
        SetPmuCounter(counters, set_counter, value, &number_buffer_);
      } else {
        AddArgumentStat(&xevent, *StatMetadata(key), value, &number_buffer_);
      }
    }
  }

  // The metadata named `name`. Its display name is settled on first use in
  // this conversion only: the result never changes for a name, and working
  // it out per event would also repeat its warnings per event.
  XEventMetadata* EventMetadata(std::string_view name) {
    const auto it = event_metadata_.find(name);
    if (it != event_metadata_.end()) return it->second;
    XEventMetadata* metadata = plane_->GetOrCreateEventMetadata(std::string(name));
    SetEventMetadataDisplayName(metadata);
    // Keyed by the metadata's own name, which stays put while the plane lives.
    event_metadata_.emplace(metadata->name(), metadata);
    return metadata;
  }

  XStatMetadata* StatMetadata(std::string_view key) {
    const auto it = stat_metadata_.find(key);
    if (it != stat_metadata_.end()) return it->second;
    XStatMetadata* metadata = plane_->GetOrCreateStatMetadata(std::string(key));
    stat_metadata_.emplace(metadata->name(), metadata);
    return metadata;
  }

  const XStatMetadata& TraceMeFlag() {
    if (traceme_flag_ == nullptr) {
      traceme_flag_ = plane_->GetOrCreateStatMetadata(GetStatTypeStr(StatType::traceme_flag));
    }
    return *traceme_flag_;
  }

  void AddTraceMeFlag(XEventBuilder* xevent) { xevent->AddStatValue(TraceMeFlag(), int64_t{1}); }

  const uint64_t start_timestamp_ns_;
  XPlaneBuilder* const plane_;
  // Created with the first event, so a plane without events gains none.
  XStatMetadata* traceme_flag_ = nullptr;
  // On an arena, the no-value counters all events start with.
  PmuData* no_value_pmu_data_ = nullptr;
  // Views of the metadata's names; the builder's own maps would need a
  // string built per lookup.
  std::unordered_map<std::string_view, XEventMetadata*> event_metadata_;
  std::unordered_map<std::string_view, XStatMetadata*> stat_metadata_;
  // Reused from event to event so that parsing allocates nothing.
  AnnotationView annotation_;
  std::string annotation_scratch_;
  std::string number_buffer_;
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
