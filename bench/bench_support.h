#ifndef ZENTRIK_BENCH_BENCH_SUPPORT_H_
#define ZENTRIK_BENCH_BENCH_SUPPORT_H_

// What several benchmarks share: reading the process's memory figures, the
// device whose facts the device workloads carry, counting a space's events.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// A "Vm...:" figure of /proc/self/status ("VmRSS:", "VmHWM:"), in bytes; -1
// when unreadable.
inline int64_t StatusBytes(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  int64_t kib = -1;
  char line[256];
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::strncmp(line, field, length) == 0) kib = std::atoll(line + length);
  }
  std::fclose(status);
  return kib < 0 ? -1 : kib * 1024;
}

// Makes VmHWM start again from the current resident size; false when the
// kernel refuses.
inline bool ResetPeakResident() {
  FILE* clear_refs = std::fopen("/proc/self/clear_refs", "w");
  if (clear_refs == nullptr) return false;
  const bool written = std::fputs("5", clear_refs) >= 0;
  return std::fclose(clear_refs) == 0 && written;
}

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
