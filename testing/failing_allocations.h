#ifndef ZENTRIK_TESTING_FAILING_ALLOCATIONS_H_
#define ZENTRIK_TESTING_FAILING_ALLOCATIONS_H_

// Making chosen allocations fail with std::bad_alloc. The program that links
// failing_allocations.cc has its operator new replaced by one that obeys the
// switches below; they are per thread, and off until set.

#include <cstddef>

namespace zentrik {
namespace testing {

// Allocations on this thread still to succeed before one fails; -1: none fails.
extern thread_local long allocations_until_failure;
// Allocations on this thread of this size or more fail.
extern thread_local std::size_t failing_allocation_size;
// Set when an allocation was made to fail.
extern thread_local bool allocation_failed;

// Runs `operation` with the calling thread's allocation number `n` (from 0)
// failing; true when it did fail, false when `operation` allocated less.
template <typename Operation>
bool RunWithAllocationFailing(long n, Operation&& operation) {
  allocation_failed = false;
  allocations_until_failure = n;
  operation();
  allocations_until_failure = -1;
  return allocation_failed;
}

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_FAILING_ALLOCATIONS_H_
