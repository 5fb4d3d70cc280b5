#ifndef ZENTRIK_TESTING_ADDRESS_SPACE_H_
#define ZENTRIK_TESTING_ADDRESS_SPACE_H_

// Running code out of memory on purpose, in a child process (the limit stays
// for the rest of the process).

#include <cstddef>

namespace zentrik {
namespace testing {

// The sanitizers' allocators end the process instead of reporting exhaustion
// as std::bad_alloc; tests of running out of memory skip under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedAllocator = true;
#else
inline constexpr bool kSanitizedAllocator = false;
#endif

// Limits the process's address space to what it maps now plus
// `headroom_bytes`, so that larger allocations fail. False when it could not.
bool LimitAddressSpaceToCurrentPlus(size_t headroom_bytes);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_ADDRESS_SPACE_H_
