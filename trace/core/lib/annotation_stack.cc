#include "trace/core/lib/annotation_stack.h"

#include <pthread.h>

#include <atomic>
#include <functional>
#include <new>

namespace zentrik {
namespace trace {
namespace {

pthread_once_t state_key_once = PTHREAD_ONCE_INIT;
pthread_key_t state_key;

void DeleteThreadState(void* state) { delete static_cast<ThreadAnnotationStack::State*>(state); }

void CreateStateKey() { pthread_key_create(&state_key, &DeleteThreadState); }

// Read on every ScopedAnnotation construction from any thread, written by the
// device tracer: atomic so the read is not a data race; ordering is not needed.
std::atomic<int32_t> annotations_enabled{0};

}  // namespace

AnnotationRegistry::Table& AnnotationRegistry::GetTable() {
  // Never destroyed: threads may still annotate while the process exits.
  static Table* table = new Table;
  return *table;
}

uint64_t AnnotationRegistry::GetOrRegister(std::string_view name) {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.name_to_id.find(name);
  if (it != table.name_to_id.end()) return it->second;
  const uint64_t id = table.id_to_name.size();
  table.id_to_name.emplace_back(name);
  try {
    table.name_to_id.emplace(std::string(name), id);
  } catch (...) {
    // Keep the two halves of the table consistent.
    table.id_to_name.pop_back();
    throw;
  }
  return id;
}

std::string AnnotationRegistry::NameOf(uint64_t id) {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (id >= table.id_to_name.size()) return std::string();
  return table.id_to_name[id];
}

uint64_t AnnotationRegistry::Size() {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.id_to_name.size();
}

size_t ThreadAnnotationStack::IdCache::SlotOf(std::string_view name) {
  return std::hash<std::string_view>()(name) % kSlots;
}

bool ThreadAnnotationStack::IdCache::Find(std::string_view name, uint64_t* id) const {
  const Slot& slot = slots_[SlotOf(name)];
  if (!slot.used || slot.name != name) return false;
  *id = slot.id;
  return true;
}

void ThreadAnnotationStack::IdCache::Insert(std::string_view name, uint64_t id) noexcept {
  Slot& slot = slots_[SlotOf(name)];
  slot.used = false;
  try {
    slot.name.assign(name.data(), name.size());
  } catch (...) {
    return;  // The cache is an optimisation: the slot just stays unused.
  }
  slot.id = id;
  slot.used = true;
}

ThreadAnnotationStack::State& ThreadAnnotationStack::GetThreadState() {
  pthread_once(&state_key_once, &CreateStateKey);
  auto* state = static_cast<State*>(pthread_getspecific(state_key));
  if (state == nullptr) {
    state = new State;
    if (pthread_setspecific(state_key, state) != 0) {
      delete state;
      throw std::bad_alloc();
    }
  }
  return *state;
}

void SetAnnotationsEnabled(bool enabled) {
  annotations_enabled.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

bool AnnotationsEnabled() { return annotations_enabled.load(std::memory_order_relaxed) != 0; }

}  // namespace trace
}  // namespace zentrik
