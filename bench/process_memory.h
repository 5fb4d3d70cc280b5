#ifndef ZENTRIK_BENCH_PROCESS_MEMORY_H_
#define ZENTRIK_BENCH_PROCESS_MEMORY_H_

// The process's memory figures, for benchmarks built with or without the
// library's internals.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_BENCH_PROCESS_MEMORY_H_
