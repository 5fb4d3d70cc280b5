#ifndef ZENTRIK_COMMON_PLATFORM_PREFAULT_H_
#define ZENTRIK_COMMON_PLATFORM_PREFAULT_H_

#include <cstddef>

namespace zentrik {

// Asks the kernel to back the whole pages inside [data, data + size) with
// writable memory now, in one call, instead of one page fault at a time as
// they are first written: on fresh memory about a third cheaper. Contents do
// not change. False, having done nothing, where the system has no such request
// or refuses it; true when no whole page lies inside. Thread-safe.
bool PrefaultForWrite(void* data, size_t size);

}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_PREFAULT_H_
