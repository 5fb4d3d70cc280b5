#include "common/platform/prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zentrik {

bool PrefaultForWrite(void* data, size_t size) {
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(data);
  const uintptr_t begin = (from + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (from + size) & ~(kPage - 1);
  if (end <= begin) return true;
  // Older kernels refuse the request; the pages then fault in as written.
  return madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
#else
  (void)data;
  (void)size;
  return false;
#endif
}

}  // namespace zentrik
