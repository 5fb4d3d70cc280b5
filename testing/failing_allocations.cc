#include "testing/failing_allocations.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace zentrik {
namespace testing {

thread_local long allocations_until_failure = -1;
thread_local std::size_t failing_allocation_size = SIZE_MAX;
thread_local bool allocation_failed = false;

}  // namespace testing
}  // namespace zentrik

using ::zentrik::testing::allocation_failed;
using ::zentrik::testing::allocations_until_failure;
using ::zentrik::testing::failing_allocation_size;

// Exported, so that the shared libraries of the process allocate here too; the
// standard library's array form calls it.
__attribute__((visibility("default"))) void* operator new(std::size_t size) {
  if ((allocations_until_failure >= 0 && allocations_until_failure-- == 0) ||
      size >= failing_allocation_size) {
    allocation_failed = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
// Also replaced, so that sanitizers see one family of allocations.
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
// Not inlined: the compiler would take the free() as mismatching the new.
__attribute__((visibility("default"), noinline)) void operator delete(void* memory) noexcept {
  std::free(memory);
}
__attribute__((visibility("default"))) void operator delete(void* memory, std::size_t) noexcept {
  ::operator delete(memory);
}
