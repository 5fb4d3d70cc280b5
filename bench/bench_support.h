#ifndef ZENTRIK_BENCH_BENCH_SUPPORT_H_
#define ZENTRIK_BENCH_BENCH_SUPPORT_H_

// What several benchmarks share: reading the process's memory figures
// (process_memory.h), the device whose facts the device workloads carry,
// counting a space's events.

#include <cstdint>

#include "bench/process_memory.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// The events of every line of every plane of `space`.
inline int64_t CountEvents(const XSpace& space) {
  int64_t events = 0;
  for (const XPlane& plane : space.planes()) {
    for (const XLine& line : plane.lines()) events += line.events_size();
  }
  return events;
}

// An ACC401 with 16 cores at 1200 MHz, of which a kernel uses 8.
inline DeviceInfo Acc401() {
  DeviceInfo device;
  device.set_zra_type(ACC401);
  device.set_frequency(1200);
  device.set_core_count(16);
  device.set_core_used(8);
  device.set_top_bandwidth(25.6);
  device.set_mac_peak_performance(39.3);
  device.set_peak_performance(2.4);
  return device;
}

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_BENCH_BENCH_SUPPORT_H_
