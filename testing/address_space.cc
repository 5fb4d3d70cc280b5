#include "testing/address_space.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace zentrik {
namespace testing {

bool LimitAddressSpaceToCurrentPlus(size_t headroom_bytes) {
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr) return false;
  const bool read = fscanf(statm, "%ld", &pages) == 1;
  fclose(statm);
  if (!read) return false;
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0) return false;
  limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + headroom_bytes;
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace testing
}  // namespace zentrik
