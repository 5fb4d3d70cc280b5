#ifndef ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_MEMORY_PROFILE_H_
#define ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_MEMORY_PROFILE_H_

// The memory profile tool: the memory allocation and deallocation events of
// the host plane, per allocator, as the JSON form of a MemoryProfile. Runs on
// the caller's thread; only reads the space and the environment.

#include <cstdint>
#include <string>

#include "common/platform/status.h"
#include "trace/core/protobuf/memory_profile.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// Snapshots kept per allocator unless ZENTRIK_PROFILE_MEMORY_MAX_NUM_SNAPSHOTS
// gives another positive number.
inline constexpr int64_t kDefaultMaxNumSnapshots = 1000;
inline constexpr char kMaxNumSnapshotsEnvVar[] = "ZENTRIK_PROFILE_MEMORY_MAX_NUM_SNAPSHOTS";

// Writes the memory profile of the host plane "/host:CPU" as JSON into
// `*json`. Without a host plane returns OK and leaves `*json` as it was. A
// failure of the JSON printer is INTERNAL "Could not convert proto to JSON
// string: <reason>", and `*json` is then left as it was too. Reads the
// snapshot limit anew on every call; a value of 0 or less is logged at ERROR
// and replaced by the default.
Status ConvertXSpaceToMemoryProfileJson(const XSpace& space, std::string* json);

// The memory events of `host_plane` as a finished profile (processed by
// ProcessMemoryProfileProto with `max_num_snapshots`, at least 1).
MemoryProfile ConvertXPlaneToMemoryProfile(const XPlane& host_plane, int64_t max_num_snapshots);

// Completes a profile whose allocators hold their snapshots in event order:
// sets num_hosts and memory_ids; per allocator puts the snapshots in time
// order, fills missing step ids, names deallocations after their allocations,
// lists the allocations live at the peak (with the special ones) and keeps at
// most `max_num_snapshots` (at least 1) snapshots, those the active
// allocations point to first.
void ProcessMemoryProfileProto(int64_t max_num_snapshots, MemoryProfile* memory_profile);

// Copies the names of each allocation onto the first later deallocation at
// its address; the snapshots must be in time order.
void UpdateDeallocation(PerAllocatorMemoryProfile* memory_profile);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_XPLANE_TO_MEMORY_PROFILE_H_
