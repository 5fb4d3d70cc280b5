#ifndef ZENTRIK_TRACE_CORE_LIB_ANNOTATION_STACK_H_
#define ZENTRIK_TRACE_CORE_LIB_ANNOTATION_STACK_H_

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zentrik {
namespace trace {

// The process-wide table of annotation names. Ids are dense from 0, handed out
// in the order names are first registered, and never reused or removed.
// Thread-safe; lives until process exit.
class AnnotationRegistry {
 public:
  // The id of `name`, registering it when new.
  static uint64_t GetOrRegister(std::string_view name);

  // The name of `id` (a copy taken under the registry mutex), or "" when `id`
  // is at or beyond the number of registered names.
  static std::string NameOf(uint64_t id);

  // The number of registered names, which is also the next id.
  static uint64_t Size();

  // The lock that guards the table; held across fork() by the fork handlers.
  static std::mutex& Mutex() { return GetTable().mutex; }

 private:
  struct Table {
    std::mutex mutex;
    std::map<std::string, uint64_t, std::less<>> name_to_id;  // Guarded by mutex.
    std::vector<std::string> id_to_name;                      // Guarded by mutex.
  };
  static Table& GetTable();
};

// Per-thread annotation state, created on the thread's first use under a
// thread-specific key and freed when the thread exits. Each thread touches only
// its own state, so no lock is taken.
class ThreadAnnotationStack {
 public:
  // A small direct-mapped cache of name ids, so that a repeated push finds its
  // id without the registry mutex. Ids never change, so entries never go stale.
  class IdCache {
   public:
    // The cached id of `name`, or false.
    bool Find(std::string_view name, uint64_t* id) const;
    void Insert(std::string_view name, uint64_t id) noexcept;

   private:
    static constexpr size_t kSlots = 64;
    struct Slot {
      std::string name;
      uint64_t id = 0;
      bool used = false;
    };
    static size_t SlotOf(std::string_view name);
    Slot slots_[kSlots];
  };

  struct State {
    // The device API hooks' per-call bookkeeping; never touched here.
    std::deque<uint64_t> first_stack;
    // Annotation ids pushed by ScopedAnnotation, innermost last.
    std::deque<uint64_t> annotation_ids;
    IdCache id_cache;
  };

  // The calling thread's state, created on first use. Never null.
  static State& GetThreadState();

  // The calling thread's annotation-id stack.
  static std::deque<uint64_t>& Get() { return GetThreadState().annotation_ids; }
};

// The process-wide annotation flag that ScopedAnnotation::IsEnabled reports.
// The device tracer sets it when it starts and clears it when it stops.
void SetAnnotationsEnabled(bool enabled);
bool AnnotationsEnabled();

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_ANNOTATION_STACK_H_
