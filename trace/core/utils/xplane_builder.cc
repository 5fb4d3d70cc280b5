#include "trace/core/utils/xplane_builder.h"

#include <algorithm>
#include <limits>

#include "trace/core/utils/sorted_keys.h"

namespace zentrik {
namespace trace {
namespace {

// Indexes a metadata map by name (the smallest key keeps a repeated name) and
// returns the largest `id` field found, 0 for an empty map.
template <typename Map, typename Metadata>
int64_t IndexMetadata(Map* map, std::unordered_map<std::string, Metadata*>* by_name) {
  int64_t last_id = 0;
  for (const int64_t key : SortedKeys(*map)) {
    Metadata& metadata = (*map)[key];
    last_id = std::max(last_id, metadata.id());
    by_name->emplace(metadata.name(), &metadata);
  }
  return last_id;
}

// The id after `*last_id` that no entry of `map` holds yet; 0 is skipped, as
// it reads as "no metadata". The counter wraps instead of overflowing, and an
// inconsistent plane (a key above its entry's id) never has an entry
// overwritten.
template <typename Map>
int64_t NextFreeId(const Map& map, int64_t* last_id) {
  uint64_t next = static_cast<uint64_t>(*last_id);
  do {
    ++next;
  } while (next == 0 || map.count(static_cast<int64_t>(next)) != 0);
  *last_id = static_cast<int64_t>(next);
  return *last_id;
}

// The metadata recorded under `name`, created under the next free id when
// there is none.
template <typename Map, typename Metadata>
Metadata* GetOrCreateMetadata(const std::string& name, Map* map, int64_t* last_id,
                              std::unordered_map<std::string, Metadata*>* by_name) {
  Metadata*& metadata = (*by_name)[name];
  if (metadata == nullptr) {
    const int64_t id = NextFreeId(*map, last_id);
    metadata = &(*map)[id];
    metadata->set_id(id);
    metadata->set_name(name);
  }
  return metadata;
}

// (a - b) * 1000 in wrapping unsigned arithmetic, as the signed field holds it.
int64_t NanosDeltaToPicos(uint64_t a, uint64_t b) { return static_cast<int64_t>((a - b) * 1000); }

// A new counter set installed on `event` (second_pmu_data when `second`),
// holding a copy of `from`. On an arena the old set is left in place for
// whoever else points at it.
PmuData* InstallPmuData(XEvent* event, bool second, const PmuData& from) {
  google::protobuf::Arena* arena = event->GetArena();
  if (arena == nullptr) {
    PmuData* data = second ? event->mutable_second_pmu_data() : event->mutable_pmu_data();
    data->CopyFrom(from);
    return data;
  }
  PmuData* data = google::protobuf::Arena::CreateMessage<PmuData>(arena);
  data->CopyFrom(from);
  if (second) {
    event->unsafe_arena_set_allocated_second_pmu_data(data);
  } else {
    event->unsafe_arena_set_allocated_pmu_data(data);
  }
  return data;
}

}  // namespace

const PmuData& NoValuePmuData() {
  static const PmuData* const kNoValue = [] {
    constexpr uint64_t kPmuNoValue = std::numeric_limits<uint64_t>::max();
    auto* data = new PmuData;
    data->set_io_dma_write_bytes(kPmuNoValue);
    data->set_io_dma_read_bytes(kPmuNoValue);
    data->set_tlb_write_access(kPmuNoValue);
    data->set_tlb_read_access(kPmuNoValue);
    data->set_tlb_write_miss(kPmuNoValue);
    data->set_tlb_read_miss(kPmuNoValue);
    data->set_lt_cycles(kPmuNoValue);
    data->set_ct_cycles(kPmuNoValue);
    data->set_alu_cycles(kPmuNoValue);
    data->set_csimd_pre_cycles(kPmuNoValue);
    data->set_csimd_post_cycles(kPmuNoValue);
    data->set_dram_read_cycles(kPmuNoValue);
    data->set_dram_write_cycles(kPmuNoValue);
    data->set_field14(kPmuNoValue);
    data->set_mac_ops(kPmuNoValue);
    data->set_vector_ops(kPmuNoValue);
    return data;
  }();
  return *kNoValue;
}

void XEventBuilder::SetTimestampNs(uint64_t timestamp_ns) {
  event_->set_offset_ps(
      NanosDeltaToPicos(timestamp_ns, static_cast<uint64_t>(line_->timestamp_ns())));
}

void XEventBuilder::SetEndTimestampNs(uint64_t end_ns) {
  const uint64_t end_offset_ps = static_cast<uint64_t>(
      NanosDeltaToPicos(end_ns, static_cast<uint64_t>(line_->timestamp_ns())));
  const uint64_t offset_ps =
      event_->data_case() == XEvent::kOffsetPs ? static_cast<uint64_t>(event_->offset_ps()) : 0;
  event_->set_duration_ps(static_cast<int64_t>(end_offset_ps - offset_ps));
}

XEventBuilder::TimesPs XEventBuilder::EventTimesPs(uint64_t line_timestamp_ns, uint64_t start_ns,
                                                   uint64_t end_ns) {
  const auto offset_ps = static_cast<uint64_t>(NanosDeltaToPicos(start_ns, line_timestamp_ns));
  const auto end_offset_ps = static_cast<uint64_t>(NanosDeltaToPicos(end_ns, line_timestamp_ns));
  return {offset_ps, end_offset_ps - offset_ps};
}

void XEventBuilder::SetPmuData(const PmuData& pmu_data) {
  InstallPmuData(event_, /*second=*/false, pmu_data);
}

void XEventBuilder::InitPmuData(bool second) {
  if (second) {
    event_->set_second_pmu_data_flag(false);
  } else {
    event_->set_pmu_data_flag(false);
  }
  InstallPmuData(event_, second, NoValuePmuData());
}

void XEventBuilder::InitSharedNoValuePmuData(PmuData** shared) {
  google::protobuf::Arena* arena = event_->GetArena();
  if (arena == nullptr) {
    InitPmuData(true);
    InitPmuData(false);
    return;
  }
  if (*shared == nullptr) {
    *shared = google::protobuf::Arena::CreateMessage<PmuData>(arena);
    (*shared)->CopyFrom(NoValuePmuData());
  }
  event_->set_second_pmu_data_flag(false);
  event_->unsafe_arena_set_allocated_second_pmu_data(*shared);
  event_->set_pmu_data_flag(false);
  event_->unsafe_arena_set_allocated_pmu_data(*shared);
}

PmuData* XEventBuilder::MutablePmuData(bool second) {
  if (event_->GetArena() == nullptr) {
    return second ? event_->mutable_second_pmu_data() : event_->mutable_pmu_data();
  }
  return InstallPmuData(event_, second, second ? event_->second_pmu_data() : event_->pmu_data());
}

void XEventBuilder::SetDeviceInfo(const DeviceInfo& device_info) {
  event_->mutable_device_info()->CopyFrom(device_info);
}

XEventBuilder XLineBuilder::AddEvent(const XEventMetadata& metadata) {
  XEvent* event = line_->add_events();
  event->set_metadata_id(metadata.id());
  return XEventBuilder(line_, plane_, event);
}

XPlaneBuilder::XPlaneBuilder(XPlane* plane) : XStatsBuilder<XPlane>(plane), plane_(plane) {
  last_event_metadata_id_ =
      IndexMetadata(plane->mutable_event_metadata(), &event_metadata_by_name_);
  last_stat_metadata_id_ = IndexMetadata(plane->mutable_stat_metadata(), &stat_metadata_by_name_);
  lines_by_id_.reserve(plane->lines_size());
  for (XLine& line : *plane->mutable_lines()) {
    lines_by_id_.emplace(line.id(), &line);
  }
}

XLineBuilder XPlaneBuilder::GetOrCreateLine(int64_t line_id) {
  XLine*& line = lines_by_id_[line_id];
  if (line == nullptr) {
    line = plane_->add_lines();
    line->set_id(line_id);
  }
  return XLineBuilder(line, this);
}

XEventMetadata* XPlaneBuilder::GetOrCreateEventMetadata(const std::string& name) {
  return GetOrCreateMetadata(name, plane_->mutable_event_metadata(), &last_event_metadata_id_,
                             &event_metadata_by_name_);
}

XStatMetadata* XPlaneBuilder::GetOrCreateStatMetadata(const std::string& name) {
  return GetOrCreateMetadata(name, plane_->mutable_stat_metadata(), &last_stat_metadata_id_,
                             &stat_metadata_by_name_);
}

XStat* FindOrAddMutableStat(const XStatMetadata& metadata,
                            google::protobuf::RepeatedPtrField<XStat>* stats) {
  for (XStat& stat : *stats) {
    if (stat.metadata_id() == metadata.id()) return &stat;
  }
  XStat* stat = stats->Add();
  stat->set_metadata_id(metadata.id());
  return stat;
}

}  // namespace trace
}  // namespace zentrik
