#include "trace/core/convert/xplane_to_memory_profile.h"

#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <limits>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "common/utils/number_format.h"
#include "trace/core/convert/event_walk.h"
#include "trace/core/utils/utf8_utils.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "trace/core/utils/xplane_visitor.h"
#include "zentrik/data_type.h"

namespace zentrik {
namespace trace {
namespace {

using Snapshots = google::protobuf::RepeatedPtrField<MemoryProfileSnapshot>;

// Byte counts and step ids come from the caller's trace: sums saturate
// instead of overflowing.
int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t SaturatingSub(int64_t a, int64_t b) {
  int64_t difference;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t BytesInUse(const MemoryAggregationStats& stats) {
  return SaturatingAdd(stats.heap_allocated_bytes(), stats.stack_reserved_bytes());
}

// ---- Reading the host plane ----

// A string or referenced name of the caller's trace, made well-formed UTF-8:
// the JSON printer would silently drop the bytes of an ill-formed sequence,
// so two allocators could print under one key.
std::string TextOf(const XStatVisitor& stat) {
  std::string text = stat.StrOrRefValue();
  SanitizeUtf8(&text);
  return text;
}

// What one memory event carries. Integer stats count only as int64 values;
// of two stats of one type the later wins; other stats are ignored.
struct MemoryEvent {
  std::string allocator_name;
  MemoryAggregationStats stats;
  MemoryActivityMetadata metadata;

  void Apply(const XStatVisitor& stat) {
    switch (stat.Type()) {
      case StatType::allocator_name:
        allocator_name = TextOf(stat);
        break;
      case StatType::bytes_reserved:
        stats.set_stack_reserved_bytes(stat.IntValue());
        break;
      case StatType::bytes_allocated:
        stats.set_heap_allocated_bytes(stat.IntValue());
        break;
      case StatType::bytes_available:
        stats.set_free_memory_bytes(stat.IntValue());
        break;
      case StatType::fragmentation:
        stats.set_fragmentation(stat.DoubleValue());
        break;
      case StatType::peak_bytes_in_use:
        stats.set_peak_bytes_in_use(stat.IntValue());
        break;
      case StatType::requested_bytes:
        metadata.set_requested_bytes(stat.IntValue());
        break;
      case StatType::allocation_bytes:
        metadata.set_allocation_bytes(stat.IntValue());
        break;
      case StatType::addr:
        metadata.set_address(static_cast<uint64_t>(stat.IntValue()));
        break;
      case StatType::region_type:
        metadata.set_region_type(TextOf(stat));
        break;
      case StatType::data_type:
        metadata.set_data_type(TextOf(stat));
        break;
      case StatType::shape:
        metadata.set_tensor_shape(TextOf(stat));
        break;
      case StatType::group_id:
        metadata.set_step_id(stat.IntValue());
        break;
      case StatType::op_fullname:
      case StatType::tf_op:
        metadata.set_tf_op_name(TextOf(stat));
        break;
      default:
        break;
    }
  }
};

// The plane's metadata ids of memory events, with the activity each stands
// for: the walk over the plane compares ids and reads nothing more of the
// other events.
std::vector<std::pair<int64_t, MemoryActivity>> MemoryEventKinds(const XPlaneVisitor& plane) {
  std::vector<std::pair<int64_t, MemoryActivity>> kinds;
  for (const auto& entry : plane.RawPlane().event_metadata()) {
    const int64_t type = plane.GetEventType(entry.first);
    if (type == HostEventType::MemoryAllocation) kinds.emplace_back(entry.first, ALLOCATION);
    if (type == HostEventType::MemoryDeallocation) kinds.emplace_back(entry.first, DEALLOCATION);
  }
  return kinds;
}

// Keeps the allocator's running peak: the latest event with the most heap
// plus stack bytes.
void UpdateProfileSummary(const MemoryAggregationStats& stats, int64_t time_offset_ps,
                          MemoryProfileSummary* summary) {
  summary->set_peak_bytes_usage_lifetime(stats.peak_bytes_in_use());
  MemoryAggregationStats* peak_stats = summary->mutable_peak_stats();
  const int64_t used = BytesInUse(stats);
  if (used < peak_stats->peak_bytes_in_use()) return;
  *peak_stats = stats;
  peak_stats->set_peak_bytes_in_use(used);
  summary->set_peak_stats_time_ps(time_offset_ps);
  summary->set_memory_capacity(SaturatingAdd(used, stats.free_memory_bytes()));
}

// ---- Processing one allocator ----

// Sorting moves pointers, never snapshot contents; equal times keep their
// event order.
void SortSnapshotsByTime(Snapshots* snapshots) {
  std::stable_sort(snapshots->pointer_begin(), snapshots->pointer_end(),
                   [](const MemoryProfileSnapshot* a, const MemoryProfileSnapshot* b) {
                     return a->time_offset_ps() < b->time_offset_ps();
                   });
}

// A snapshot without a step belongs to the step after the last one seen
// (step 0 before the first).
void FillStepIds(Snapshots* snapshots) {
  int64_t last_step_id = -1;
  for (MemoryProfileSnapshot& snapshot : *snapshots) {
    MemoryActivityMetadata* metadata = snapshot.mutable_activity_metadata();
    if (metadata->step_id() == -1) {
      metadata->set_step_id(SaturatingAdd(last_step_id, 1));
    } else {
      last_step_id = metadata->step_id();
    }
  }
}

// The step of the last snapshot whose heap plus stack bytes reach the peak;
// 0 when none does.
int64_t PeakStepId(const PerAllocatorMemoryProfile& allocator) {
  const int64_t peak_bytes = allocator.profile_summary().peak_stats().peak_bytes_in_use();
  const Snapshots& snapshots = allocator.memory_profile_snapshots();
  for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
    if (BytesInUse(it->aggregation_stats()) == peak_bytes) return it->activity_metadata().step_id();
  }
  return 0;
}

// An allocation live at the peak: a snapshot's position, or -1 and -2 for the
// first and second special allocation.
struct ActiveEntry {
  int64_t index;
  const MemoryActivityMetadata* metadata;
};

// The allocations of the peak step that are live at the peak time, in
// ascending address order. `*unmapped_bytes` receives the peak's heap bytes
// that they do not explain; deallocations without a live allocation give
// nothing back.
std::vector<ActiveEntry> LiveAllocationsAtPeak(const PerAllocatorMemoryProfile& allocator,
                                               int64_t peak_step_id, int64_t* unmapped_bytes) {
  const MemoryProfileSummary& summary = allocator.profile_summary();
  int64_t unmapped = summary.peak_stats().heap_allocated_bytes();
  int64_t unmatched = 0;
  std::map<int64_t, ActiveEntry> live;
  const Snapshots& snapshots = allocator.memory_profile_snapshots();
  for (int i = 0; i < snapshots.size(); ++i) {
    const MemoryProfileSnapshot& snapshot = snapshots[i];
    if (snapshot.time_offset_ps() > summary.peak_stats_time_ps()) break;
    const MemoryActivityMetadata& metadata = snapshot.activity_metadata();
    if (metadata.step_id() != peak_step_id) continue;
    const int64_t address = static_cast<int64_t>(metadata.address());
    if (metadata.memory_activity() == ALLOCATION) {
      live[address] = ActiveEntry{i, &metadata};
      unmapped = SaturatingSub(unmapped, metadata.allocation_bytes());
    } else {
      if (live.erase(address) == 0)
        unmatched = SaturatingAdd(unmatched, metadata.allocation_bytes());
      unmapped = SaturatingAdd(unmapped, metadata.allocation_bytes());
    }
  }
  unmapped = SaturatingSub(unmapped, unmatched);
  VLOG(2) << "unmapped_allocation_bytes=" << FormatSigned(unmapped)
          << ", unmapped_deallocation_bytes=" << FormatSigned(unmatched);
  *unmapped_bytes = unmapped;

  std::vector<ActiveEntry> active;
  active.reserve(live.size());
  for (const auto& entry : live) active.push_back(entry.second);
  return active;
}

const MemoryActivityMetadata* AddSpecialAllocation(int64_t bytes, const char* tf_op_name,
                                                   const char* region_type, int64_t step_id,
                                                   PerAllocatorMemoryProfile* allocator) {
  MemoryActivityMetadata* special = allocator->add_special_allocations();
  special->set_memory_activity(ALLOCATION);
  special->set_requested_bytes(bytes);
  special->set_allocation_bytes(bytes);
  special->set_address(0);
  special->set_tf_op_name(tf_op_name);
  special->set_step_id(step_id);
  special->set_region_type(region_type);
  special->set_data_type(GetDataTypeStr(INVALID));
  special->set_tensor_shape("unknown");
  return special;
}

// The peak memory that no live allocation explains, then the reserved stack,
// each when positive.
void AddSpecialAllocations(int64_t unmapped_bytes, int64_t peak_step_id,
                           PerAllocatorMemoryProfile* allocator, std::vector<ActiveEntry>* active) {
  int64_t index = -1;
  if (unmapped_bytes > 0) {
    active->push_back(
        {index--, AddSpecialAllocation(unmapped_bytes, "unused preallocated device memory",
                                       "persist/dynamic", peak_step_id, allocator)});
  }
  const int64_t stack_bytes = allocator->profile_summary().peak_stats().stack_reserved_bytes();
  if (stack_bytes > 0) {
    active->push_back(
        {index--, AddSpecialAllocation(stack_bytes, "stack", "stack", peak_step_id, allocator)});
  }
}

// Largest allocation first, then largest request, then the names ascending.
bool ActiveKeyLess(const ActiveEntry& a, const ActiveEntry& b) {
  const MemoryActivityMetadata& x = *a.metadata;
  const MemoryActivityMetadata& y = *b.metadata;
  if (x.allocation_bytes() != y.allocation_bytes()) {
    return x.allocation_bytes() > y.allocation_bytes();
  }
  if (x.requested_bytes() != y.requested_bytes()) return x.requested_bytes() > y.requested_bytes();
  return std::tie(x.tf_op_name(), x.region_type(), x.data_type(), x.tensor_shape()) <
         std::tie(y.tf_op_name(), y.region_type(), y.data_type(), y.tensor_shape());
}

// One ActiveAllocation per run of equal keys, standing for the run's first
// entry (the lowest address among equals).
void AddActiveAllocations(std::vector<ActiveEntry> active, PerAllocatorMemoryProfile* allocator) {
  std::stable_sort(active.begin(), active.end(), ActiveKeyLess);
  for (size_t begin = 0; begin < active.size();) {
    size_t end = begin + 1;
    while (end < active.size() && !ActiveKeyLess(active[begin], active[end])) ++end;
    const int64_t index = active[begin].index;
    ActiveAllocation* allocation = allocator->add_active_allocations();
    allocation->set_snapshot_index(index);
    allocation->set_special_index(index < 0 ? -index - 1 : -1);
    allocation->set_num_occurrences(static_cast<int64_t>(end - begin));
    begin = end;
  }
  VLOG(2) << "Distinctive active allocation count="
          << FormatSigned(allocator->active_allocations_size());
}

// Keeps `max_num_snapshots` snapshots in time order: first those the active
// allocations point to (in their order), then those with the least free
// memory. Active allocations whose snapshot is dropped point to -1.
void SampleSnapshots(int64_t max_num_snapshots, PerAllocatorMemoryProfile* allocator) {
  Snapshots* snapshots = allocator->mutable_memory_profile_snapshots();
  const int64_t num_snapshots = snapshots->size();
  std::vector<bool> kept(num_snapshots, false);
  int64_t num_kept = 0;
  for (const ActiveAllocation& active : allocator->active_allocations()) {
    if (num_kept >= max_num_snapshots) break;
    const int64_t index = active.snapshot_index();
    if (index < 0 || index >= num_snapshots || kept[index]) continue;
    kept[index] = true;
    ++num_kept;
  }

  if (num_kept < max_num_snapshots) {
    std::vector<int64_t> candidates;
    candidates.reserve(num_snapshots - num_kept);
    for (int64_t i = 0; i < num_snapshots; ++i) {
      if (!kept[i]) candidates.push_back(i);
    }
    const auto fill = static_cast<size_t>(
        std::min<int64_t>(max_num_snapshots - num_kept, static_cast<int64_t>(candidates.size())));
    auto free_bytes = [snapshots](int64_t i) {
      return (*snapshots)[static_cast<int>(i)].aggregation_stats().free_memory_bytes();
    };
    std::partial_sort(candidates.begin(), candidates.begin() + fill, candidates.end(),
                      [&free_bytes](int64_t a, int64_t b) {
                        return std::make_pair(free_bytes(a), a) < std::make_pair(free_bytes(b), b);
                      });
    for (size_t i = 0; i < fill; ++i) kept[candidates[i]] = true;
  }

  // The snapshots are in time order already, so the kept ones keep theirs.
  std::vector<int64_t> new_index(num_snapshots, -1);
  Snapshots sampled;
  for (int64_t i = 0; i < num_snapshots; ++i) {
    if (!kept[i]) continue;
    new_index[i] = sampled.size();
    sampled.Add()->Swap(&(*snapshots)[static_cast<int>(i)]);
  }
  snapshots->Swap(&sampled);
  for (ActiveAllocation& active : *allocator->mutable_active_allocations()) {
    const int64_t index = active.snapshot_index();
    if (index < 0) continue;
    active.set_snapshot_index(index < num_snapshots ? new_index[index] : -1);
  }
}

void ProcessPerAllocatorProfile(int64_t max_num_snapshots, PerAllocatorMemoryProfile* allocator) {
  SortSnapshotsByTime(allocator->mutable_memory_profile_snapshots());
  FillStepIds(allocator->mutable_memory_profile_snapshots());
  UpdateDeallocation(allocator);

  const int64_t peak_step_id = PeakStepId(*allocator);
  int64_t unmapped_bytes = 0;
  std::vector<ActiveEntry> active =
      LiveAllocationsAtPeak(*allocator, peak_step_id, &unmapped_bytes);
  AddSpecialAllocations(unmapped_bytes, peak_step_id, allocator, &active);
  AddActiveAllocations(std::move(active), allocator);

  if (allocator->memory_profile_snapshots_size() > max_num_snapshots) {
    SampleSnapshots(max_num_snapshots, allocator);
  }
}

// ---- The tool's entry ----

// A value of 0 or less is an operator's mistake worth a line; an unreadable
// one silently means the default.
int64_t MaxNumSnapshotsFromEnv() {
  int64_t max_num_snapshots = kDefaultMaxNumSnapshots;
  (void)Env::Default()->ReadInt64FromEnvVar(kMaxNumSnapshotsEnvVar, kDefaultMaxNumSnapshots,
                                            &max_num_snapshots);
  if (max_num_snapshots <= 0) {
    LOG(ERROR) << "The env value of " << kMaxNumSnapshotsEnvVar << " is "
               << FormatSigned(max_num_snapshots) << ", it is invalid. Use the default value: "
               << FormatSigned(kDefaultMaxNumSnapshots) << ".";
    max_num_snapshots = kDefaultMaxNumSnapshots;
  }
  return max_num_snapshots;
}

Status MemoryProfileToJson(const MemoryProfile& profile, std::string* json) {
  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = false;
  options.always_print_primitive_fields = true;
  options.always_print_enums_as_ints = false;
  options.preserve_proto_field_names = false;
  // Printed aside, so a failure leaves the caller's string as it was.
  std::string text;
  const auto status = google::protobuf::util::MessageToJsonString(profile, &text, options);
  if (!status.ok()) {
    return errors::Internal("Could not convert proto to JSON string: " +
                            std::string(status.message().data(), status.message().size()));
  }
  *json = std::move(text);
  return Status();
}

}  // namespace

void UpdateDeallocation(PerAllocatorMemoryProfile* memory_profile) {
  // The earliest still unmatched allocation at each address.
  std::map<uint64_t, const MemoryActivityMetadata*> allocations;
  for (MemoryProfileSnapshot& snapshot : *memory_profile->mutable_memory_profile_snapshots()) {
    MemoryActivityMetadata* metadata = snapshot.mutable_activity_metadata();
    const uint64_t address = metadata->address();
    if (metadata->memory_activity() == DEALLOCATION) {
      const auto it = allocations.find(address);
      if (it == allocations.end()) {
        VLOG(2) << "Can't find matching memory allocation for this deallocation: "
                << snapshot.DebugString();
        continue;
      }
      const MemoryActivityMetadata& allocation = *it->second;
      metadata->set_tf_op_name(allocation.tf_op_name());
      metadata->set_region_type(allocation.region_type());
      metadata->set_data_type(allocation.data_type());
      metadata->set_tensor_shape(allocation.tensor_shape());
      allocations.erase(it);
    } else if (!allocations.emplace(address, metadata).second) {
      VLOG(2) << "There are two allocations recorded for the same address: "
              << FormatUnsigned(address)
              << ". The later allocation event is: " << snapshot.DebugString();
    }
  }
  VLOG(2) << "Number of allocations that cannot find matching dealloctions: "
          << FormatUnsigned(allocations.size());
}

void ProcessMemoryProfileProto(int64_t max_num_snapshots, MemoryProfile* memory_profile) {
  memory_profile->set_num_hosts(1);
  for (const auto& entry : memory_profile->memory_profile_per_allocator()) {
    if (!entry.second.memory_profile_snapshots().empty())
      memory_profile->add_memory_ids(entry.first);
  }
  // std::string orders byte-wise, a proper prefix first.
  std::sort(memory_profile->mutable_memory_ids()->begin(),
            memory_profile->mutable_memory_ids()->end());
  for (auto& entry : *memory_profile->mutable_memory_profile_per_allocator()) {
    ProcessPerAllocatorProfile(max_num_snapshots, &entry.second);
  }
}

MemoryProfile ConvertXPlaneToMemoryProfile(const XPlane& host_plane, int64_t max_num_snapshots) {
  const XPlaneVisitor plane(&host_plane, {FindHostEventType}, {FindStatType});
  MemoryProfile profile;
  auto& per_allocator = *profile.mutable_memory_profile_per_allocator();
  const std::vector<std::pair<int64_t, MemoryActivity>> kinds = MemoryEventKinds(plane);
  for (const XLine& line : host_plane.lines()) {
    if (kinds.empty()) break;
    ForEachLineEvent(line, [&](const XEvent& raw_event) {
      const auto kind = std::find_if(kinds.begin(), kinds.end(), [&raw_event](const auto& k) {
        return k.first == raw_event.metadata_id();
      });
      if (kind == kinds.end()) return;
      const XEventVisitor event(&plane, &line, &raw_event);
      MemoryEvent memory_event;
      memory_event.metadata.set_memory_activity(kind->second);
      memory_event.metadata.set_step_id(-1);
      event.ForEachStat([&memory_event](const XStatVisitor& stat) { memory_event.Apply(stat); });

      PerAllocatorMemoryProfile& allocator = per_allocator[memory_event.allocator_name];
      // The offset within the line: lines' start times are not added.
      const int64_t time_offset_ps = event.OffsetPs();
      UpdateProfileSummary(memory_event.stats, time_offset_ps, allocator.mutable_profile_summary());
      MemoryProfileSnapshot* snapshot = allocator.add_memory_profile_snapshots();
      snapshot->set_time_offset_ps(time_offset_ps);
      snapshot->mutable_aggregation_stats()->Swap(&memory_event.stats);
      snapshot->mutable_activity_metadata()->Swap(&memory_event.metadata);
    });
  }
  ProcessMemoryProfileProto(max_num_snapshots, &profile);
  return profile;
}

Status ConvertXSpaceToMemoryProfileJson(const XSpace& space, std::string* json) {
  const int64_t max_num_snapshots = MaxNumSnapshotsFromEnv();
  const XPlane* host_plane = FindPlaneWithName(space, kHostPlaneName);
  if (host_plane == nullptr) return Status();
  return MemoryProfileToJson(ConvertXPlaneToMemoryProfile(*host_plane, max_num_snapshots), json);
}

}  // namespace trace
}  // namespace zentrik
