#include "trace/core/utils/xspace_wire.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/platform/logging.h"
#include "common/platform/prefault.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace trace {
namespace {

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedOutputStream;
using google::protobuf::io::EpsCopyOutputStream;

constexpr uint32_t LengthDelimitedTag(uint32_t field) {
  return (field << 3) | WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
}

constexpr uint32_t kPmuDataTag = LengthDelimitedTag(XEvent::kPmuDataFieldNumber);
constexpr uint32_t kSecondPmuDataTag = LengthDelimitedTag(XEvent::kSecondPmuDataFieldNumber);

// Lite messages keep their unknown fields to themselves; the generated code
// reads them from this member, and so do the sizer and writer below (an
// explicit instantiation may name a protected member).
using MetadataMember =
    google::protobuf::internal::InternalMetadata google::protobuf::MessageLite::*;
MetadataMember UnknownFieldsMember();
template <MetadataMember member>
struct UnknownFieldsAccess {
  friend MetadataMember UnknownFieldsMember() { return member; }
};
template struct UnknownFieldsAccess<&google::protobuf::MessageLite::_internal_metadata_>;

const std::string& UnknownFields(const google::protobuf::MessageLite& message) {
  return (message.*UnknownFieldsMember())
      .unknown_fields<std::string>(google::protobuf::internal::GetEmptyString);
}

size_t MessageFieldSize(size_t size) { return 1 + WireFormatLite::LengthDelimitedSize(size); }

// The writer's side of the messages' own sizes: a one-byte tag and a length.
uint8_t* WriteLengthDelimited(uint32_t field, size_t size, uint8_t* target) {
  target = WireFormatLite::WriteTagToArray(static_cast<int>(field),
                                           WireFormatLite::WIRETYPE_LENGTH_DELIMITED, target);
  return CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(size), target);
}

uint8_t* WriteBytes(const std::string& bytes, uint8_t* target) {
  std::memcpy(target, bytes.data(), bytes.size());
  return target + bytes.size();
}

// Strings are checked as the generated code checks them: a line about bad
// UTF-8, bytes written all the same.
uint8_t* WriteString(uint32_t field, const std::string& value, const char* field_name,
                     uint8_t* target) {
  WireFormatLite::VerifyUtf8String(value.data(), static_cast<int>(value.size()),
                                   WireFormatLite::SERIALIZE, field_name);
  return WriteBytes(value, WriteLengthDelimited(field, value.size(), target));
}

size_t StringFieldSize(const std::string& value) {
  return value.empty() ? 0 : 1 + WireFormatLite::StringSize(value);
}

size_t Int64FieldSize(int64_t value) {
  return value == 0 ? 0 : WireFormatLite::Int64SizePlusOne(value);
}

// Stats are the most numerous messages after events: sized inline in both
// passes rather than through the generated code, which calls out per stat and
// stores a cached size in it for the write pass to read back.
size_t StatSize(const XStat& stat) {
  size_t size = Int64FieldSize(stat.metadata_id()) + UnknownFields(stat).size();
  switch (stat.value_case()) {
    case XStat::kDoubleValue:
      return size + 1 + WireFormatLite::kDoubleSize;
    case XStat::kUint64Value:
      return size + WireFormatLite::UInt64SizePlusOne(stat.uint64_value());
    case XStat::kInt64Value:
      return size + WireFormatLite::Int64SizePlusOne(stat.int64_value());
    case XStat::kStrValue:
      return size + 1 + WireFormatLite::StringSize(stat.str_value());
    case XStat::kBytesValue:
      return size + 1 + WireFormatLite::BytesSize(stat.bytes_value());
    case XStat::kRefValue:
      return size + WireFormatLite::UInt64SizePlusOne(stat.ref_value());
    case XStat::VALUE_NOT_SET:
      break;
  }
  return size;
}

size_t StatsSize(const google::protobuf::RepeatedPtrField<XStat>& stats) {
  size_t size = 0;
  for (const XStat& stat : stats) size += MessageFieldSize(StatSize(stat));
  return size;
}

// A set member of the oneof is written even when it holds zero.
uint8_t* WriteStat(uint32_t field, const XStat& stat, uint8_t* target) {
  target = WriteLengthDelimited(field, StatSize(stat), target);
  if (stat.metadata_id() != 0) {
    target = WireFormatLite::WriteInt64ToArray(1, stat.metadata_id(), target);
  }
  switch (stat.value_case()) {
    case XStat::kDoubleValue:
      target = WireFormatLite::WriteDoubleToArray(2, stat.double_value(), target);
      break;
    case XStat::kUint64Value:
      target = WireFormatLite::WriteUInt64ToArray(3, stat.uint64_value(), target);
      break;
    case XStat::kInt64Value:
      target = WireFormatLite::WriteInt64ToArray(4, stat.int64_value(), target);
      break;
    case XStat::kStrValue:
      target = WriteString(5, stat.str_value(), "zentrik.trace.XStat.str_value", target);
      break;
    case XStat::kBytesValue:
      target = WriteBytes(stat.bytes_value(),
                          WriteLengthDelimited(6, stat.bytes_value().size(), target));
      break;
    case XStat::kRefValue:
      target = WireFormatLite::WriteUInt64ToArray(7, stat.ref_value(), target);
      break;
    case XStat::VALUE_NOT_SET:
      break;
  }
  return WriteBytes(UnknownFields(stat), target);
}

// A counter set met twice in a row (an event's two sets, or one set of
// consecutive events) is taken for shared: it is sized and encoded once, and
// copied for every further use. Other sets go through the generated code.
class PmuDataCache {
 public:
  size_t Size(const PmuData& data) {
    if (&data == shared_) return shared_size_;
    const size_t size = data.ByteSizeLong();
    if (&data == last_) {
      shared_ = &data;
      shared_size_ = size;
    }
    last_ = &data;
    return size;
  }

  // After Size was asked of every set: their cached sizes hold.
  uint8_t* Write(uint32_t field, const PmuData& data, uint8_t* target,
                 EpsCopyOutputStream* stream) {
    if (&data == shared_) {
      *target++ = static_cast<uint8_t>(LengthDelimitedTag(field));
      return WriteBytes(shared_bytes_, target);
    }
    const int size = data.GetCachedSize();
    target = data._InternalSerialize(WriteLengthDelimited(field, size, target), stream);
    if (&data == last_) {
      shared_ = &data;
      shared_bytes_.resize(CodedOutputStream::VarintSize32(size) + size);
      uint8_t* bytes = reinterpret_cast<uint8_t*>(&shared_bytes_[0]);
      bytes = CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(size), bytes);
      EpsCopyOutputStream own(bytes, size, /*deterministic=*/false);
      data._InternalSerialize(bytes, &own);
    }
    last_ = &data;
    return target;
  }

 private:
  const PmuData* last_ = nullptr;
  const PmuData* shared_ = nullptr;
  size_t shared_size_ = 0;
  std::string shared_bytes_;  // the shared set's length and contents
};

// The bytes of a plane's fields other than its lines.
size_t PlaneFieldsSize(const XPlane& plane) {
  size_t size = Int64FieldSize(plane.id()) + StringFieldSize(plane.name());
  size += plane.event_metadata().size() + plane.stat_metadata().size();
  for (const auto& [id, metadata] : plane.event_metadata()) {
    size += XPlane_EventMetadataEntry_DoNotUse::Funcs::ByteSizeLong(id, metadata);
  }
  for (const auto& [id, metadata] : plane.stat_metadata()) {
    size += XPlane_StatMetadataEntry_DoNotUse::Funcs::ByteSizeLong(id, metadata);
  }
  return size + StatsSize(plane.stats()) + UnknownFields(plane).size();
}

// The bytes of a line's fields other than its events.
size_t LineFieldsSize(const XLine& line) {
  return Int64FieldSize(line.id()) + StringFieldSize(line.name()) +
         Int64FieldSize(line.timestamp_ns()) + Int64FieldSize(line.duration_ps()) +
         Int64FieldSize(line.display_id()) + StringFieldSize(line.display_name()) +
         UnknownFields(line).size();
}

// The first pass: the size of every plane, line and event, in the order the
// writer meets them. Sub-messages written by the generated code keep their
// sizes in their own caches, as ByteSizeLong leaves them.
class Sizer {
 public:
  size_t Space(const XSpace& space) {
    size_t messages = 0;
    for (const XPlane& plane : space.planes()) {
      for (const XLine& line : plane.lines()) messages += line.events_size() + 1;
      messages += 1;
    }
    sizes_.reserve(messages);
    size_t size = UnknownFields(space).size();
    for (const XPlane& plane : space.planes()) size += MessageFieldSize(Nested(plane));
    return size;
  }

  const std::vector<uint32_t>& sizes() const { return sizes_; }

 private:
  // Keeps the place of `message`'s size ahead of its children's.
  template <typename Message>
  size_t Nested(const Message& message) {
    const size_t at = sizes_.size();
    sizes_.push_back(0);
    const size_t size = Own(message);
    sizes_[at] = static_cast<uint32_t>(size);
    return size;
  }

  size_t Own(const XPlane& plane) {
    size_t size = PlaneFieldsSize(plane);
    for (const XLine& line : plane.lines()) size += MessageFieldSize(Nested(line));
    return size;
  }

  size_t Own(const XLine& line) {
    size_t size = LineFieldsSize(line);
    for (const XEvent& event : line.events()) {
      const size_t event_size = Event(event);
      sizes_.push_back(static_cast<uint32_t>(event_size));
      size += MessageFieldSize(event_size);
    }
    return size;
  }

  size_t Event(const XEvent& event) {
    size_t size = Int64FieldSize(event.metadata_id()) + Int64FieldSize(event.duration_ps()) +
                  StatsSize(event.stats()) + UnknownFields(event).size();
    if (event.data_case() == XEvent::kOffsetPs) {
      size += WireFormatLite::Int64SizePlusOne(event.offset_ps());
    } else if (event.data_case() == XEvent::kNumOccurrences) {
      size += WireFormatLite::Int64SizePlusOne(event.num_occurrences());
    }
    if (event.pmu_data_flag()) size += 2;
    if (event.second_pmu_data_flag()) size += 2;
    if (event.has_pmu_data()) size += MessageFieldSize(pmu_.Size(event.pmu_data()));
    if (event.has_second_pmu_data()) {
      size += MessageFieldSize(pmu_.Size(event.second_pmu_data()));
    }
    if (event.has_device_info()) size += MessageFieldSize(event.device_info().ByteSizeLong());
    return size;
  }

  std::vector<uint32_t> sizes_;
  PmuDataCache pmu_;
};

// The second pass: fields in the generated code's order, into a buffer of
// exactly the size the first pass found. The stream serves the generated
// code of the small messages and never needs more room than it is given.
class Writer {
 public:
  Writer(const std::vector<uint32_t>& sizes, EpsCopyOutputStream* stream)
      : next_size_(sizes.data()), stream_(stream) {}

  uint8_t* Space(const XSpace& space, uint8_t* target) {
    for (const XPlane& plane : space.planes()) {
      target =
          Plane(plane, WriteLengthDelimited(XSpace::kPlanesFieldNumber, *next_size_++, target));
    }
    return WriteBytes(UnknownFields(space), target);
  }

 private:
  uint8_t* Plane(const XPlane& plane, uint8_t* target) {
    if (plane.id() != 0) target = WireFormatLite::WriteInt64ToArray(1, plane.id(), target);
    if (!plane.name().empty()) {
      target = WriteString(2, plane.name(), "zentrik.trace.XPlane.name", target);
    }
    for (const XLine& line : plane.lines()) {
      target = Line(line, WriteLengthDelimited(XPlane::kLinesFieldNumber, *next_size_++, target));
    }
    for (const auto& [id, metadata] : plane.event_metadata()) {
      target = XPlane_EventMetadataEntry_DoNotUse::Funcs::InternalSerialize(
          XPlane::kEventMetadataFieldNumber, id, metadata, target, stream_);
    }
    for (const auto& [id, metadata] : plane.stat_metadata()) {
      target = XPlane_StatMetadataEntry_DoNotUse::Funcs::InternalSerialize(
          XPlane::kStatMetadataFieldNumber, id, metadata, target, stream_);
    }
    for (const XStat& stat : plane.stats()) {
      target = WriteStat(XPlane::kStatsFieldNumber, stat, target);
    }
    return WriteBytes(UnknownFields(plane), target);
  }

  uint8_t* Line(const XLine& line, uint8_t* target) {
    if (line.id() != 0) target = WireFormatLite::WriteInt64ToArray(1, line.id(), target);
    if (!line.name().empty()) {
      target = WriteString(2, line.name(), "zentrik.trace.XLine.name", target);
    }
    if (line.timestamp_ns() != 0) {
      target = WireFormatLite::WriteInt64ToArray(3, line.timestamp_ns(), target);
    }
    for (const XEvent& event : line.events()) {
      target = Event(event, WriteLengthDelimited(XLine::kEventsFieldNumber, *next_size_++, target));
    }
    if (line.duration_ps() != 0) {
      target = WireFormatLite::WriteInt64ToArray(9, line.duration_ps(), target);
    }
    if (line.display_id() != 0) {
      target = WireFormatLite::WriteInt64ToArray(10, line.display_id(), target);
    }
    if (!line.display_name().empty()) {
      target = WriteString(11, line.display_name(), "zentrik.trace.XLine.display_name", target);
    }
    return WriteBytes(UnknownFields(line), target);
  }

  // Hot: once per event.
  uint8_t* Event(const XEvent& event, uint8_t* target) {
    if (event.metadata_id() != 0) {
      target = WireFormatLite::WriteInt64ToArray(1, event.metadata_id(), target);
    }
    if (event.data_case() == XEvent::kOffsetPs) {
      target = WireFormatLite::WriteInt64ToArray(2, event.offset_ps(), target);
    }
    if (event.duration_ps() != 0) {
      target = WireFormatLite::WriteInt64ToArray(3, event.duration_ps(), target);
    }
    for (const XStat& stat : event.stats()) {
      target = WriteStat(XEvent::kStatsFieldNumber, stat, target);
    }
    if (event.data_case() == XEvent::kNumOccurrences) {
      target = WireFormatLite::WriteInt64ToArray(5, event.num_occurrences(), target);
    }
    if (event.pmu_data_flag()) target = WireFormatLite::WriteBoolToArray(6, true, target);
    if (event.has_pmu_data()) {
      target = pmu_.Write(XEvent::kPmuDataFieldNumber, event.pmu_data(), target, stream_);
    }
    if (event.has_device_info()) {
      const DeviceInfo& info = event.device_info();
      target = info._InternalSerialize(
          WriteLengthDelimited(XEvent::kDeviceInfoFieldNumber, info.GetCachedSize(), target),
          stream_);
    }
    if (event.has_second_pmu_data()) {
      target =
          pmu_.Write(XEvent::kSecondPmuDataFieldNumber, event.second_pmu_data(), target, stream_);
    }
    if (event.second_pmu_data_flag()) target = WireFormatLite::WriteBoolToArray(10, true, target);
    return WriteBytes(UnknownFields(event), target);
  }

  const uint32_t* next_size_;
  EpsCopyOutputStream* stream_;
  PmuDataCache pmu_;
};

// ---- Trimming ----

// The size of a length-delimited field of `size` bytes, for sizes of any width.
uint64_t FieldSize64(uint64_t size) { return 1 + CodedOutputStream::VarintSize64(size) + size; }

// A time in picoseconds on the lines' time base. A line's nanoseconds times
// 1000 plus an offset need 74 bits, so any two starts order exactly, however
// far apart their lines' times lie.
using Picos = __int128;
constexpr Picos kBeyondAnyStartPs = Picos{1} << 100;

Picos LineStartPs(const XLine& line) { return static_cast<Picos>(line.timestamp_ns()) * 1000; }

int64_t OffsetPs(const XEvent& event) {
  return event.data_case() == XEvent::kOffsetPs ? event.offset_ps() : 0;
}

// Which events of a line starting at `line_ps` start before `cutoff`: all,
// or those whose offsets lie below `below` (none when that is the least
// offset). Offsets are compared in 64 bits, once per event.
struct OffsetCut {
  OffsetCut(Picos cutoff, Picos line_ps) {
    const Picos bound = cutoff - line_ps;
    all = bound > std::numeric_limits<int64_t>::max();
    below =
        all ? 0 : static_cast<int64_t>(std::max<Picos>(bound, std::numeric_limits<int64_t>::min()));
  }
  bool Keeps(int64_t offset) const { return all || offset < below; }

  bool all;
  int64_t below;
};

// `ps` as seconds, rounded down to the microsecond, exactly for any start.
std::string SecondsText(Picos ps) {
  Picos micros = ps / 1'000'000;
  if (micros * 1'000'000 > ps) --micros;
  const auto magnitude =
      static_cast<unsigned __int128>(micros < 0 ? -micros : micros);  // below 2^54
  char text[48];
  snprintf(text, sizeof(text), "%s%llu.%06llu", micros < 0 ? "-" : "",
           static_cast<unsigned long long>(magnitude / 1'000'000),
           static_cast<unsigned long long>(magnitude % 1'000'000));
  return text;
}

// Chooses the events that stay when a space is too large for its wire limit:
// those that start before the latest cutoff time at which the space fits.
// The size at a cutoff is worked out exactly from the first pass's sizes,
// length prefixes included, so no more is dropped than must be.
class EventTrim {
 public:
  // `sizes` is what the Sizer found for `space`.
  EventTrim(const XSpace& space, const std::vector<uint32_t>& sizes) {
    const uint32_t* next_size = sizes.data();
    offsets_.reserve(sizes.size());  // a few planes and lines more than needed
    field_sizes_.reserve(sizes.size());
    space_bytes_ = UnknownFields(space).size();
    for (const XPlane& plane : space.planes()) {
      ++next_size;
      const uint32_t plane_index = static_cast<uint32_t>(plane_bytes_.size());
      plane_bytes_.push_back(PlaneFieldsSize(plane));
      for (const XLine& line : plane.lines()) {
        ++next_size;
        Line trimmed{LineStartPs(line), LineFieldsSize(line), 0, 0, plane_index};
        for (const XEvent& event : line.events()) {
          const int64_t offset = OffsetPs(event);
          const uint32_t field_size = static_cast<uint32_t>(MessageFieldSize(*next_size++));
          offsets_.push_back(offset);
          field_sizes_.push_back(field_size);
          trimmed.event_bytes += field_size;
          earliest_ = std::min(earliest_, trimmed.start_ps + offset);
          latest_ = std::max(latest_, trimmed.start_ps + offset);
        }
        trimmed.events_end = offsets_.size();
        lines_.push_back(trimmed);
      }
    }
  }

  // The latest cutoff at which the space fits in `max_bytes`; false when
  // not even the space without events fits.
  bool FindCutoff(uint64_t max_bytes, Picos* cutoff) const {
    if (offsets_.empty() || SizeBefore(earliest_) > max_bytes) return false;
    Picos fits = earliest_;
    Picos too_late = latest_ + 1;
    while (too_late - fits > 1) {
      const Picos middle = fits + (too_late - fits) / 2;
      (SizeBefore(middle) <= max_bytes ? fits : too_late) = middle;
    }
    *cutoff = fits;
    return true;
  }

  // The earliest start at or after `cutoff`.
  Picos FirstStartFrom(Picos cutoff) const {
    Picos first = latest_;
    size_t event = 0;
    for (const Line& line : lines_) {
      for (; event < line.events_end; ++event) {
        const Picos start = line.start_ps + offsets_[event];
        if (start >= cutoff) first = std::min(first, start);
      }
    }
    return first;
  }

  uint64_t events() const { return offsets_.size(); }

 private:
  struct Line {
    Picos start_ps;
    uint64_t bytes;        // the line's fields but its events
    uint64_t event_bytes;  // its events' fields
    size_t events_end;     // past its last event in offsets_ and field_sizes_
    uint32_t plane;
  };

  // The wire size of the space with only the events that start before `cutoff`.
  uint64_t SizeBefore(Picos cutoff) const {
    std::vector<uint64_t> planes = plane_bytes_;
    size_t event = 0;
    for (const Line& line : lines_) {
      const OffsetCut cut(cutoff, line.start_ps);
      uint64_t bytes = line.bytes;
      if (cut.all) {
        bytes += line.event_bytes;
      } else {
        for (; event < line.events_end; ++event) {
          bytes += offsets_[event] < cut.below ? field_sizes_[event] : 0;
        }
      }
      event = line.events_end;
      planes[line.plane] += FieldSize64(bytes);
    }
    uint64_t size = space_bytes_;
    for (uint64_t plane : planes) size += FieldSize64(plane);
    return size;
  }

  uint64_t space_bytes_ = 0;           // the space's fields but its planes
  std::vector<uint64_t> plane_bytes_;  // each plane's fields but its lines
  std::vector<Line> lines_;
  std::vector<int64_t> offsets_;       // each event's, line by line
  std::vector<uint32_t> field_sizes_;  // each event's field in its line
  Picos earliest_ = kBeyondAnyStartPs;
  Picos latest_ = -kBeyondAnyStartPs;
};

// Removes every event that starts at or after `cutoff`, the others keeping
// their order; returns how many went.
uint64_t DropEventsFrom(Picos cutoff, XSpace* space) {
  uint64_t dropped = 0;
  for (XPlane& plane : *space->mutable_planes()) {
    for (XLine& line : *plane.mutable_lines()) {
      const OffsetCut cut(cutoff, LineStartPs(line));
      auto& events = *line.mutable_events();
      int kept = 0;
      for (int i = 0; i < events.size(); ++i) {
        if (cut.Keeps(OffsetPs(events.Get(i)))) events.SwapElements(i, kept++);
      }
      dropped += static_cast<uint64_t>(events.size() - kept);
      events.DeleteSubrange(kept, events.size() - kept);
    }
  }
  return dropped;
}

// Writes `space`, whose first pass `sizer` made and found `size` bytes.
bool WriteSized(const XSpace& space, const Sizer& sizer, size_t size, std::string* output) {
  // Sorting map entries is the generated code's business; a space too large
  // for the wire format the generated code fails with its own line.
  if (CodedOutputStream::IsDefaultSerializationDeterministic() ||
      size > static_cast<size_t>(INT_MAX)) {
    return space.SerializeToString(output);
  }
  output->clear();
  // Hundreds of megabytes of fresh output cost more in page faults than in
  // being written: they are faulted in as one request instead.
  output->reserve(size);
  PrefaultForWrite(&(*output)[0], size);
  output->resize(size);
  uint8_t* begin = reinterpret_cast<uint8_t*>(&(*output)[0]);
  EpsCopyOutputStream stream(begin, static_cast<int>(size), /*deterministic=*/false);
  Writer(sizer.sizes(), &stream).Space(space, begin);
  return true;
}

// ---- Reading ----

// One field of a message's wire form.
struct Field {
  uint32_t tag = 0;
  const uint8_t* begin = nullptr;  // its tag
  const uint8_t* value = nullptr;  // past the tag and, when length-delimited, the length
  const uint8_t* end = nullptr;
};

// A tag or length: at most five bytes in the shortest form, below 2^31.
bool ReadShortVarint(const uint8_t** p, const uint8_t* end, uint32_t* value) {
  uint64_t result = 0;
  for (int i = 0; i < 5 && *p < end; ++i) {
    const uint8_t byte = *(*p)++;
    result |= uint64_t{byte & 0x7fu} << (7 * i);
    if (byte < 0x80) {
      if ((i > 0 && byte == 0) || result > INT_MAX) return false;
      *value = static_cast<uint32_t>(result);
      return true;
    }
  }
  return false;
}

// The field at `p`; false for a broken field, a group, or a tag or length
// not in its shortest form.
bool ReadField(const uint8_t* p, const uint8_t* end, Field* field) {
  field->begin = p;
  if (!ReadShortVarint(&p, end, &field->tag) || (field->tag >> 3) == 0) return false;
  switch (field->tag & 7) {
    case WireFormatLite::WIRETYPE_VARINT:
      field->value = p;
      for (int i = 0; i < 10 && p < end; ++i) {
        if (*p++ < 0x80) {
          field->end = p;
          return true;
        }
      }
      return false;
    case WireFormatLite::WIRETYPE_FIXED64:
    case WireFormatLite::WIRETYPE_FIXED32: {
      const size_t width = (field->tag & 7) == WireFormatLite::WIRETYPE_FIXED64 ? 8 : 4;
      if (static_cast<size_t>(end - p) < width) return false;
      field->value = p;
      field->end = p + width;
      return true;
    }
    case WireFormatLite::WIRETYPE_LENGTH_DELIMITED: {
      uint32_t length = 0;
      if (!ReadShortVarint(&p, end, &length) || length > static_cast<size_t>(end - p)) {
        return false;
      }
      field->value = p;
      field->end = p + length;
      return true;
    }
    default:
      return false;
  }
}

const std::string& NoValueBytes() {
  static const std::string* const kBytes = new std::string(NoValuePmuData().SerializeAsString());
  return *kBytes;
}

bool HoldsNoValue(const Field& field) {
  const std::string& no_value = NoValueBytes();
  return static_cast<size_t>(field.end - field.value) == no_value.size() &&
         std::memcmp(field.value, no_value.data(), no_value.size()) == 0;
}

// A no-value field as it stands in the wire: a one-byte tag, its length, the set.
size_t NoValueFieldSize() { return MessageFieldSize(NoValueBytes().size()); }

// Which counter sets of the event whose contents are [p, end) hold exactly
// the no-value set's encoding: bit 0 pmu_data, bit 1 second_pmu_data. A field
// met twice in one event is left to the parse, which merges the two.
bool EventMarks(const uint8_t* p, const uint8_t* end, uint8_t* marks) {
  int count[2] = {0, 0};
  bool no_value[2] = {false, false};
  Field field;
  for (; p < end; p = field.end) {
    if (!ReadField(p, end, &field)) return false;
    const int which = field.tag == kPmuDataTag ? 0 : field.tag == kSecondPmuDataTag ? 1 : -1;
    if (which < 0) continue;
    ++count[which];
    no_value[which] = HoldsNoValue(field);
  }
  *marks = static_cast<uint8_t>((count[0] == 1 && no_value[0] ? 1 : 0) |
                                (count[1] == 1 && no_value[1] ? 2 : 0));
  return true;
}

int MarkCount(uint8_t marks) { return (marks & 1) + (marks >> 1); }

struct Span {
  const uint8_t* begin;
  const uint8_t* end;
};

// The contents of the fields of [p, end) tagged `child_tag` go to
// `children`; the other fields are copied whole into `rest`.
bool Split(const uint8_t* p, const uint8_t* end, uint32_t child_tag, std::vector<Span>* children,
           std::string* rest) {
  Field field;
  for (; p < end; p = field.end) {
    if (!ReadField(p, end, &field)) return false;
    if (field.tag == child_tag) {
      children->push_back({field.value, field.end});
    } else {
      rest->append(reinterpret_cast<const char*>(field.begin), field.end - field.begin);
    }
  }
  return true;
}

// Parses a space one line at a time, so that only one line's bytes without
// its no-value sets exist beside the space at any time. The space's own
// fields and each plane's are parsed before their children, which the parse
// appends in wire order, as the whole parse does.
class SharingParser {
 public:
  explicit SharingParser(XSpace* space) : space_(space) {}

  bool invalid() const { return invalid_; }

  bool Space(const uint8_t* p, const uint8_t* end) {
    std::vector<Span> planes;
    std::string rest;
    if (!Split(p, end, LengthDelimitedTag(XSpace::kPlanesFieldNumber), &planes, &rest)) {
      return false;
    }
    space_->Clear();
    if (!Merge(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(), 0, space_)) {
      return false;
    }
    for (const Span& plane : planes) {
      if (!Plane(plane, space_->add_planes())) return false;
    }
    return true;
  }

 private:
  bool Plane(const Span& bytes, XPlane* plane) {
    std::vector<Span> lines;
    std::string rest;
    if (!Split(bytes.begin, bytes.end, LengthDelimitedTag(XPlane::kLinesFieldNumber), &lines,
               &rest) ||
        !Merge(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(), 1, plane)) {
      return false;
    }
    for (const Span& line : lines) {
      if (!Line(line, plane->add_lines())) return false;
    }
    return true;
  }

  bool Line(const Span& bytes, XLine* line) {
    size_t size = 0;
    if (!Measure(bytes, &size)) return false;
    if (std::find_if(marks_.begin(), marks_.end(), [](uint8_t m) { return m != 0; }) ==
        marks_.end()) {
      return Merge(bytes.begin, bytes.end - bytes.begin, 2, line);
    }
    stripped_.resize(size);
    const uint8_t* stripped = reinterpret_cast<const uint8_t*>(stripped_.data());
    Copy(bytes, const_cast<uint8_t*>(stripped));
    if (!Merge(stripped, size, 2, line) ||
        static_cast<size_t>(line->events_size()) != marks_.size()) {
      return false;
    }
    for (size_t i = 0; i < marks_.size(); ++i) Share(marks_[i], line->mutable_events(i));
    return true;
  }

  // The line's marks and its size without the marked sets; false for wire
  // this reader does not take apart.
  bool Measure(const Span& bytes, size_t* new_size) {
    marks_.clear();
    size_t size = 0;
    Field field;
    for (const uint8_t* p = bytes.begin; p < bytes.end; p = field.end) {
      if (!ReadField(p, bytes.end, &field)) return false;
      if (field.tag != kEventsTag) {
        size += field.end - field.begin;
        continue;
      }
      uint8_t marks = 0;
      if (!EventMarks(field.value, field.end, &marks)) return false;
      marks_.push_back(marks);
      size += MessageFieldSize((field.end - field.value) - MarkCount(marks) * NoValueFieldSize());
    }
    *new_size = size;
    return true;
  }

  // Only over what Measure accepted.
  void Copy(const Span& bytes, uint8_t* out) const {
    size_t event = 0;
    Field field;
    for (const uint8_t* p = bytes.begin; p < bytes.end; p = field.end) {
      ReadField(p, bytes.end, &field);
      const uint8_t marks = field.tag == kEventsTag ? marks_[event++] : 0;
      if (marks == 0) {
        std::memcpy(out, field.begin, field.end - field.begin);
        out += field.end - field.begin;
        continue;
      }
      const size_t size = (field.end - field.value) - MarkCount(marks) * NoValueFieldSize();
      out = CopyEvent(field.value, field.end, marks,
                      WriteLengthDelimited(XLine::kEventsFieldNumber, size, out));
    }
  }

  // The event's fields but the marked sets, in runs between them.
  static uint8_t* CopyEvent(const uint8_t* p, const uint8_t* end, uint8_t marks, uint8_t* out) {
    const uint8_t* run = p;
    Field field;
    for (; p < end; p = field.end) {
      ReadField(p, end, &field);
      if (!((field.tag == kPmuDataTag && (marks & 1)) ||
            (field.tag == kSecondPmuDataTag && (marks & 2)))) {
        continue;
      }
      std::memcpy(out, run, field.begin - run);
      out += field.begin - run;
      run = field.end;
    }
    std::memcpy(out, run, end - run);
    return out + (end - run);
  }

  // Merges [data, data + size) into `message` as the parse of a whole space
  // would at `depth` (the space 0, a plane 1, a line 2): with the nesting
  // budget left there, and up to the last byte. Bytes that fail here fail the
  // whole parse too.
  bool Merge(const uint8_t* data, size_t size, int depth, google::protobuf::MessageLite* message) {
    google::protobuf::io::CodedInputStream input(data, static_cast<int>(size));
    input.SetRecursionLimit(google::protobuf::io::CodedInputStream::GetDefaultRecursionLimit() -
                            depth);
    invalid_ = !message->MergeFromCodedStream(&input) || !input.ConsumedEntireMessage();
    return !invalid_;
  }

  void Share(uint8_t marks, XEvent* event) {
    if (marks == 0) return;
    if (no_value_ == nullptr) {
      no_value_ = google::protobuf::Arena::CreateMessage<PmuData>(space_->GetArena());
      no_value_->CopyFrom(NoValuePmuData());
    }
    if (marks & 1) event->unsafe_arena_set_allocated_pmu_data(no_value_);
    if (marks & 2) event->unsafe_arena_set_allocated_second_pmu_data(no_value_);
  }

  static constexpr uint32_t kEventsTag = LengthDelimitedTag(XLine::kEventsFieldNumber);

  XSpace* space_;
  bool invalid_ = false;  // the bytes do not parse
  PmuData* no_value_ = nullptr;
  std::vector<uint8_t> marks_;  // of the line at hand, see EventMarks
  std::string stripped_;        // the line at hand without its marked sets
};

}  // namespace

bool SerializeXSpace(const XSpace& space, std::string* output) {
  if (CodedOutputStream::IsDefaultSerializationDeterministic()) {
    return space.SerializeToString(output);
  }
  Sizer sizer;
  const size_t size = sizer.Space(space);
  return WriteSized(space, sizer, size, output);
}

bool SerializeXSpaceWithin(XSpace* space, size_t max_bytes, std::string* output) {
  max_bytes = std::min(max_bytes, kMaxXSpaceWireBytes);
  Sizer sizer;
  const size_t size = sizer.Space(*space);
  if (size <= max_bytes) return WriteSized(*space, sizer, size, output);

  const EventTrim trim(*space, sizer.sizes());
  Picos cutoff = 0;
  if (!trim.FindCutoff(max_bytes, &cutoff)) {
    LOG(WARNING) << "The trace takes " << size << " bytes, more than the " << max_bytes
                 << " that a serialized XSpace can hold, even without its " << trim.events()
                 << " events.";
    return false;
  }
  const Picos first_dropped = trim.FirstStartFrom(cutoff);
  const uint64_t dropped = DropEventsFrom(cutoff, space);
  Sizer trimmed;
  const size_t kept_size = trimmed.Space(*space);
  LOG(WARNING) << "The trace takes " << size << " bytes, more than the " << max_bytes
               << " that a serialized XSpace can hold: the latest " << dropped << " of its "
               << trim.events() << " events, those that start " << SecondsText(first_dropped)
               << " s or later, are dropped; " << kept_size << " bytes are kept.";
  return kept_size <= max_bytes && WriteSized(*space, trimmed, kept_size, output);
}

SharingParse ParseSharingNoValuePmuData(const std::string& bytes, XSpace* space) {
  if (space->GetArena() == nullptr || bytes.size() > static_cast<size_t>(INT_MAX)) {
    return SharingParse::kNotTaken;
  }
  const auto* begin = reinterpret_cast<const uint8_t*>(bytes.data());
  SharingParser parser(space);
  if (parser.Space(begin, begin + bytes.size())) return SharingParse::kParsed;
  return parser.invalid() ? SharingParse::kInvalid : SharingParse::kNotTaken;
}

}  // namespace trace
}  // namespace zentrik
