#ifndef ZENTRIK_TRACE_CORE_LIB_FORK_HANDLERS_H_
#define ZENTRIK_TRACE_CORE_LIB_FORK_HANDLERS_H_

#include <cstdint>

namespace zentrik {
namespace trace {

// What recording does across fork(). Handlers installed when the library is
// loaded hold the process-wide locks of recording (the profiler registry, the
// annotation names, the annotation delimiter, the recorder) while fork()
// copies the process, so the child finds each lock free and what it guards
// whole. The child then starts with recording off, only its one thread
// registered and the profiler lock free: a session of the parent, and every
// object of it that the child inherits, stays the parent's.
//
// A fork() therefore waits while another thread holds one of these locks,
// as long as a registration, a session start or the recorder's part of a stop
// takes.

// How many fork() calls lie between the process that loaded the library and
// this one: 0 there, one more in each child. What was begun under another
// value belongs to an ancestor. Thread-safe.
uint64_t ForkGeneration();

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_FORK_HANDLERS_H_
