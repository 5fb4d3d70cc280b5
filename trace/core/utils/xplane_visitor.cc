#include "trace/core/utils/xplane_visitor.h"

#include <algorithm>

#include "trace/core/utils/sorted_keys.h"

namespace zentrik {
namespace trace {
namespace {

// The type of `name` by the first getter that knows it.
std::optional<int64_t> ResolveType(const TypeGetterList& getters, const std::string& name) {
  for (const TypeGetter& getter : getters) {
    if (auto type = getter(name)) return *type;
  }
  return std::nullopt;
}

// A table indexed by metadata id with room for every key of `map`, or an
// empty one when the ids are too sparse for that to pay.
template <typename Table, typename Map>
Table DenseTable(const Map& map) {
  int64_t largest = -1;
  for (const auto& entry : map) {
    if (entry.first < 0) return Table();
    largest = std::max(largest, entry.first);
  }
  constexpr int64_t kSlackPerEntry = 4;
  constexpr int64_t kMinSize = 1024;
  const int64_t bound = kMinSize + kSlackPerEntry * static_cast<int64_t>(map.size());
  if (largest >= bound) return Table();
  return Table(static_cast<size_t>(largest + 1));
}

std::optional<XStatVisitor> FindStat(const XPlaneVisitor& plane,
                                     const google::protobuf::RepeatedPtrField<XStat>& stats,
                                     int64_t type) {
  const XStatMetadata* metadata = plane.GetStatMetadataByType(type);
  if (metadata == nullptr) return std::nullopt;
  for (const XStat& stat : stats) {
    if (stat.metadata_id() == metadata->id()) {
      return XStatVisitor(&plane, &stat, metadata, type);
    }
  }
  return std::nullopt;
}

const std::string& EmptyString() {
  static const std::string* const kEmpty = new std::string;
  return *kEmpty;
}

}  // namespace

XStatVisitor::XStatVisitor(const XPlaneVisitor* plane, const XStat* stat)
    : XStatVisitor(plane, stat, plane->GetStatMetadata(stat->metadata_id()),
                   plane->GetStatType(stat->metadata_id())) {}

const std::string& XStatVisitor::StrOrRefValue() const {
  switch (stat_->value_case()) {
    case XStat::kStrValue:
      return stat_->str_value();
    case XStat::kRefValue:
      return plane_->GetStatMetadata(static_cast<int64_t>(stat_->ref_value()))->name();
    default:
      return EmptyString();
  }
}

std::string XStatVisitor::ToString() const {
  switch (stat_->value_case()) {
    case XStat::kDoubleValue:
      return std::to_string(stat_->double_value());
    case XStat::kUint64Value:
      return std::to_string(stat_->uint64_value());
    case XStat::kInt64Value:
      return std::to_string(stat_->int64_value());
    case XStat::kStrValue:
    case XStat::kRefValue:
      return StrOrRefValue();
    case XStat::kBytesValue:
      return "<opaque bytes>";
    case XStat::VALUE_NOT_SET:
      break;
  }
  return std::string();
}

XEventVisitor::XEventVisitor(const XPlaneVisitor* plane, const XLine* line, const XEvent* event)
    : plane_(plane),
      line_(line),
      event_(event),
      metadata_(plane->GetEventMetadata(event->metadata_id())),
      type_(plane->GetEventType(event->metadata_id())) {}

std::optional<XStatVisitor> XEventVisitor::GetStat(int64_t type) const {
  return FindStat(*plane_, event_->stats(), type);
}

XPlaneVisitor::XPlaneVisitor(const XPlane* plane, const TypeGetterList& event_type_getters,
                             const TypeGetterList& stat_type_getters)
    : plane_(plane) {
  const auto& event_metadata = plane->event_metadata();
  events_by_id_ = DenseTable<decltype(events_by_id_)>(event_metadata);
  for (const int64_t key : SortedKeys(event_metadata)) {
    const XEventMetadata& metadata = event_metadata.at(key);
    const auto type = ResolveType(event_type_getters, metadata.name());
    if (type) event_type_by_id_.emplace(key, *type);
    if (!events_by_id_.empty())
      events_by_id_[static_cast<size_t>(key)] = {&metadata, type.value_or(0)};
  }
  const auto& stat_metadata = plane->stat_metadata();
  stats_by_id_ = DenseTable<decltype(stats_by_id_)>(stat_metadata);
  for (const int64_t key : SortedKeys(stat_metadata)) {
    const XStatMetadata& metadata = stat_metadata.at(key);
    const auto type = ResolveType(stat_type_getters, metadata.name());
    if (type) {
      stat_type_by_id_.emplace(key, *type);
      stat_metadata_by_type_.emplace(*type, &metadata);
    }
    if (!stats_by_id_.empty())
      stats_by_id_[static_cast<size_t>(key)] = {&metadata, type.value_or(0)};
  }
  for (const auto& [type, metadata] : stat_metadata_by_type_) {
    if (type < 0 || type >= kSmallStatTypes) continue;
    if (static_cast<size_t>(type) >= stat_metadata_by_small_type_.size()) {
      stat_metadata_by_small_type_.resize(static_cast<size_t>(type) + 1);
    }
    stat_metadata_by_small_type_[static_cast<size_t>(type)] = metadata;
  }
}

int64_t XPlaneVisitor::GetEventType(int64_t event_metadata_id) const {
  if (const auto* resolved = Find(events_by_id_, event_metadata_id)) return resolved->type;
  auto it = event_type_by_id_.find(event_metadata_id);
  return it == event_type_by_id_.end() ? 0 : it->second;
}

int64_t XPlaneVisitor::GetStatType(int64_t stat_metadata_id) const {
  if (const auto* resolved = Find(stats_by_id_, stat_metadata_id)) return resolved->type;
  auto it = stat_type_by_id_.find(stat_metadata_id);
  return it == stat_type_by_id_.end() ? 0 : it->second;
}

const XStatMetadata* XPlaneVisitor::GetStatMetadataByType(int64_t stat_type) const {
  if (stat_type >= 0 && static_cast<uint64_t>(stat_type) < stat_metadata_by_small_type_.size()) {
    return stat_metadata_by_small_type_[static_cast<size_t>(stat_type)];
  }
  if (stat_type >= 0 && stat_type < kSmallStatTypes) return nullptr;
  auto it = stat_metadata_by_type_.find(stat_type);
  return it == stat_metadata_by_type_.end() ? nullptr : it->second;
}

const XEventMetadata* XPlaneVisitor::GetEventMetadata(int64_t event_metadata_id) const {
  if (const auto* resolved = Find(events_by_id_, event_metadata_id)) return resolved->metadata;
  const auto& map = plane_->event_metadata();
  auto it = map.find(event_metadata_id);
  return it == map.end() ? &XEventMetadata::default_instance() : &it->second;
}

const XStatMetadata* XPlaneVisitor::GetStatMetadata(int64_t stat_metadata_id) const {
  if (const auto* resolved = Find(stats_by_id_, stat_metadata_id)) return resolved->metadata;
  const auto& map = plane_->stat_metadata();
  auto it = map.find(stat_metadata_id);
  return it == map.end() ? &XStatMetadata::default_instance() : &it->second;
}

std::optional<XStatVisitor> XPlaneVisitor::GetStat(int64_t type) const {
  return FindStat(*this, plane_->stats(), type);
}

}  // namespace trace
}  // namespace zentrik
