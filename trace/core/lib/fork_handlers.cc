#include "trace/core/lib/fork_handlers.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/profiler_lock.h"
#include "trace/core/utils/parse_annotation.h"

namespace zentrik {
namespace trace {
namespace {

// Written only by the child handler, when the child has a single thread.
std::atomic<uint64_t> fork_generation{0};

// No code holds one of these locks while it takes another of them or runs a
// caller's code (profiler factories run without the registry lock), so taking
// them in this order cannot wait on a thread that waits on us.
void TakeLocks() {
  ProfilerFactoryMutex().lock();
  AnnotationRegistry::Mutex().lock();
  AnnotationStackDelimiterMutex().lock();
  TraceMeRecorder::Get()->PrepareFork();
}

void ResumeParent() {
  TraceMeRecorder::Get()->ResumeAfterFork();
  AnnotationStackDelimiterMutex().unlock();
  AnnotationRegistry::Mutex().unlock();
  ProfilerFactoryMutex().unlock();
}

// Runs in the child before fork() returns there, on its only thread. Frees
// and allocates nothing.
void ResetChild() {
  TraceMeRecorder::Get()->ResetInForkedChild();
  AnnotationStackDelimiterMutex().unlock();
  AnnotationRegistry::Mutex().unlock();
  ProfilerFactoryMutex().unlock();
  // The session that held it goes on in the parent; the objects the child
  // inherited of it know they are the parent's by the generation.
  fork_generation.fetch_add(1, std::memory_order_relaxed);
  ReleaseProfilerLock();
}

bool InstallHandlers() {
  // Every lock's owner is created now, so that no handler allocates: an
  // allocator whose fork handlers are installed after these is locked while
  // they run.
  TraceMeRecorder::Get();
  AnnotationRegistry::Mutex();
  AnnotationStackDelimiterMutex();
  return pthread_atfork(&TakeLocks, &ResumeParent, &ResetChild) == 0;
}

// Installed as the library is loaded; unloading the library removes them.
[[gnu::used]] const bool fork_handlers_installed = InstallHandlers();

}  // namespace

uint64_t ForkGeneration() { return fork_generation.load(std::memory_order_relaxed); }

}  // namespace trace
}  // namespace zentrik
