#ifndef ZENTRIK_TRACE_CORE_UTILS_XPLANE_VISITOR_H_
#define ZENTRIK_TRACE_CORE_UTILS_XPLANE_VISITOR_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Maps a metadata name to a type value; null when it does not know the name.
// FindHostEventType and FindStatType are the getters the system uses.
using TypeGetter = std::function<std::unique_ptr<int64_t>(std::string)>;
using TypeGetterList = std::vector<TypeGetter>;

class XPlaneVisitor;

// Read access to one stat. A small value pointing into the plane and its
// plane visitor, both of which must outlive it.
class XStatVisitor {
 public:
  // Resolves the stat's metadata and type through `plane`.
  XStatVisitor(const XPlaneVisitor* plane, const XStat* stat);
  // Takes an already resolved metadata (never null) and type.
  XStatVisitor(const XPlaneVisitor* plane, const XStat* stat, const XStatMetadata* metadata,
               int64_t type)
      : stat_(stat), metadata_(metadata), plane_(plane), type_(type) {}

  int64_t Id() const { return stat_->metadata_id(); }
  // The metadata's name; empty when the plane has no metadata for the stat.
  const std::string& Name() const { return metadata_->name(); }
  // The StatType value; 0 when no getter knew the name.
  int64_t Type() const { return type_; }
  const XStatMetadata& Metadata() const { return *metadata_; }
  const XStat& RawStat() const { return *stat_; }

  // Each reads 0 (or empty) when another kind of value is set.
  XStat::ValueCase ValueCase() const { return stat_->value_case(); }
  int64_t IntValue() const { return stat_->int64_value(); }
  uint64_t UintValue() const { return stat_->uint64_value(); }
  double DoubleValue() const { return stat_->double_value(); }
  const std::string& StrValue() const { return stat_->str_value(); }
  const std::string& BytesValue() const { return stat_->bytes_value(); }
  uint64_t RefValue() const { return stat_->ref_value(); }

  // A string value; for a reference the referenced stat metadata's name
  // (empty when the plane lacks it); empty for every other kind.
  const std::string& StrOrRefValue() const;
  // The value as text: "%f", "%lu", "%ld", the string, "<opaque bytes>", the
  // referenced name; empty when no value is set.
  std::string ToString() const;

 private:
  const XStat* stat_;
  const XStatMetadata* metadata_;
  const XPlaneVisitor* plane_;
  int64_t type_;
};

// Read access to one event of a line. A small value pointing into the plane
// and its plane visitor, both of which must outlive it.
class XEventVisitor {
 public:
  XEventVisitor(const XPlaneVisitor* plane, const XLine* line, const XEvent* event);

  int64_t Id() const { return event_->metadata_id(); }
  // The metadata's name and display name; empty when the plane lacks it.
  const std::string& Name() const { return metadata_->name(); }
  const std::string& DisplayName() const { return metadata_->display_name(); }
  const XEventMetadata& Metadata() const { return *metadata_; }
  // The HostEventType value; 0 when no getter knew the name.
  int64_t Type() const { return type_; }

  const XPlaneVisitor& Plane() const { return *plane_; }
  const XLine& Line() const { return *line_; }
  const XEvent& RawEvent() const { return *event_; }

  bool HasOffsetPs() const { return event_->data_case() == XEvent::kOffsetPs; }
  // 0 when the event holds a count of occurrences (or nothing) instead.
  int64_t OffsetPs() const { return event_->offset_ps(); }
  int64_t NumOccurrences() const { return event_->num_occurrences(); }
  int64_t DurationPs() const { return event_->duration_ps(); }
  // Start and end in picoseconds: line timestamp_ns * 1000 + offset_ps, and
  // that + duration_ps, in wrapping unsigned 64-bit arithmetic.
  uint64_t TimestampPs() const {
    return static_cast<uint64_t>(line_->timestamp_ns()) * 1000 +
           static_cast<uint64_t>(event_->offset_ps());
  }
  uint64_t EndTimestampPs() const { return TimestampPs() + static_cast<uint64_t>(DurationPs()); }

  // The first stat of the event whose metadata is the plane's metadata of
  // `type`; empty when there is none.
  std::optional<XStatVisitor> GetStat(int64_t type) const;
  // Calls `f(const XStatVisitor&)` for every stat of the event, in order.
  template <typename F>
  void ForEachStat(F&& f) const {
    for (const XStat& stat : event_->stats()) f(XStatVisitor(plane_, &stat));
  }

 private:
  const XPlaneVisitor* plane_;
  const XLine* line_;
  const XEvent* event_;
  const XEventMetadata* metadata_;
  int64_t type_;
};

// Read access to a plane, with every metadata name resolved to a type once,
// at construction, by the first getter of the list that knows it. Holds no
// pointer to itself, so copies and moves are safe; the plane must outlive it
// and every copy and keep its metadata meanwhile (metadata added later is
// found but has no type here). Never changes the plane.
class XPlaneVisitor {
 public:
  explicit XPlaneVisitor(const XPlane* plane, const TypeGetterList& event_type_getters = {},
                         const TypeGetterList& stat_type_getters = {});

  int64_t Id() const { return plane_->id(); }
  const std::string& Name() const { return plane_->name(); }
  int NumLines() const { return plane_->lines_size(); }
  const XPlane& RawPlane() const { return *plane_; }

  // 0 for an id without a type.
  int64_t GetEventType(int64_t event_metadata_id) const;
  int64_t GetStatType(int64_t stat_metadata_id) const;
  // Null when the plane has no stat metadata of that type; with several, the
  // one with the smallest id.
  const XStatMetadata* GetStatMetadataByType(int64_t stat_type) const;
  // The plane's metadata under the id, or the default instance; never null.
  const XEventMetadata* GetEventMetadata(int64_t event_metadata_id) const;
  const XStatMetadata* GetStatMetadata(int64_t stat_metadata_id) const;

  // The plane's own stats, read like an event's.
  std::optional<XStatVisitor> GetStat(int64_t type) const;
  template <typename F>
  void ForEachStat(F&& f) const {
    for (const XStat& stat : plane_->stats()) f(XStatVisitor(this, &stat));
  }

 private:
  // An id's metadata and type as resolved at construction.
  template <typename Metadata>
  struct Resolved {
    const Metadata* metadata = nullptr;  // Null: no metadata under the id.
    int64_t type = 0;
  };

  // Every event and stat asks for its metadata and type, so the ids present
  // at construction are also kept in tables indexed by id, when the ids are
  // small enough (as the plane builders make them); the maps answer the rest.
  template <typename Metadata>
  static const Resolved<Metadata>* Find(const std::vector<Resolved<Metadata>>& table, int64_t id) {
    if (id < 0 || static_cast<uint64_t>(id) >= table.size()) return nullptr;
    const Resolved<Metadata>& entry = table[static_cast<size_t>(id)];
    return entry.metadata != nullptr ? &entry : nullptr;
  }

  const XPlane* plane_;
  std::vector<Resolved<XEventMetadata>> events_by_id_;
  std::vector<Resolved<XStatMetadata>> stats_by_id_;
  std::unordered_map<int64_t, int64_t> event_type_by_id_;
  std::unordered_map<int64_t, int64_t> stat_type_by_id_;
  std::unordered_map<int64_t, const XStatMetadata*> stat_metadata_by_type_;
  // The same for the small type values the schema uses (below
  // kSmallStatTypes); asked once per event by grouping.
  static constexpr int64_t kSmallStatTypes = 1024;
  std::vector<const XStatMetadata*> stat_metadata_by_small_type_;
};

// One line of a plane together with the visitor of that plane; both must
// outlive it. Converters that work line by line take this pair.
struct XLineVisitor {
  const XPlaneVisitor* plane;
  const XLine* line;
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_XPLANE_VISITOR_H_
