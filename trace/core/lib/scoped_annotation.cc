#include "trace/core/lib/annotation_stack.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {

void ScopedAnnotation::PushAnnotation(std::string_view name) {
  try {
    ThreadAnnotationStack::State& state = ThreadAnnotationStack::GetThreadState();
    uint64_t id;
    if (!state.id_cache.Find(name, &id)) {
      id = AnnotationRegistry::GetOrRegister(name);
      state.id_cache.Insert(name, id);
    }
    state.annotation_ids.push_back(id);
    pushed_ = true;
  } catch (...) {
    // Out of memory: nothing was pushed, so the destructor pops nothing.
  }
}

void ScopedAnnotation::PopAnnotation() {
  if (!pushed_) return;
  pushed_ = false;
  try {
    std::deque<uint64_t>& stack = ThreadAnnotationStack::Get();
    if (!stack.empty()) stack.pop_back();
  } catch (...) {
    // Only a pop on a thread without state could allocate; nothing to pop.
  }
}

ScopedAnnotation::~ScopedAnnotation() { PopAnnotation(); }

bool ScopedAnnotation::IsEnabled() { return AnnotationsEnabled(); }

}  // namespace trace
}  // namespace zentrik
