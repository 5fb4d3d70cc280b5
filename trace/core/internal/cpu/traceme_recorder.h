#ifndef ZENTRIK_TRACE_CORE_INTERNAL_CPU_TRACEME_RECORDER_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_CPU_TRACEME_RECORDER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {

// The process-wide store of host activity. Each recording thread appends to a
// queue of its own without a lock; the host tracer starts and stops recording
// and takes every thread's events in one batch at stop.
class TraceMeRecorder {
 public:
  // One complete activity, in nanoseconds of EnvTime::NowNanos; start <= end.
  struct Event {
    std::string name;
    int64_t start_time;
    int64_t end_time;
  };
  struct ThreadInfo {
    uint32_t tid;      // Low 32 bits of Env::GetCurrentThreadId.
    std::string name;  // Empty when the platform cannot tell.
  };
  struct ThreadEvents {
    ThreadInfo thread;
    std::deque<Event> events;  // In recording order.
  };
  // One element per thread that contributed at least one event, by ascending
  // tid; threads that shared a tid (one exited, the C library reused its id)
  // come out separately, in the order they registered.
  using Events = std::vector<ThreadEvents>;

  // −1 while idle, otherwise the level given to Start (never negative).
  // TraceMe reads it without a lock. The variable itself is the one the
  // public header exports, so inline checks in callers see it.
  static inline std::atomic<int32_t>& threshold = trace_me_internal::threshold;

  // The singleton; created on first use, never destroyed.
  static TraceMeRecorder* Get();

  // Begins recording at `level` (a negative level counts as 0) and discards
  // whatever was queued while idle. False when recording is already on.
  // Thread-safe.
  bool Start(int level);

  // Ends recording and returns everything recorded since Start; empty when
  // recording was off. Thread-safe. Throws std::bad_alloc when the result
  // cannot be built (recording is off all the same).
  Events Stop();

  // Appends the event {name, start_time, end_time} to the calling thread's
  // queue; the name is moved from. Lock-free except for a thread's first call.
  // Never throws: when memory runs out the event is dropped and counted. Hot
  // path: the name is moved once, straight into the queue.
  static void Record(std::string&& name, int64_t start_time, int64_t end_time) noexcept;
  static void Record(Event&& event) noexcept {
    Record(std::move(event.name), event.start_time, event.end_time);
  }

  // Events Record dropped since the process started: for want of memory, or
  // recorded by thread-exit code after the thread's recorder was released.
  static uint64_t DroppedEvents();

  // How many thread entries the registry holds; for tests.
  size_t RegisteredThreadCount();

  // Called by the fork handlers only. PrepareFork takes the registry lock, so
  // that fork() copies the registry whole; ResumeAfterFork gives it back in
  // the parent. ResetInForkedChild, on the child's only thread, turns
  // recording off and gives the lock back; every thread but the calling one
  // (the others do not exist there) is unregistered as the lock is next
  // taken. Events queued before the fork never reach a result of the child:
  // its next Start discards them.
  void PrepareFork();
  void ResumeAfterFork();
  void ResetInForkedChild();

  class EventQueue;
  class ThreadLocalRecorder;

 private:
  // Threads are keyed by tid and a registration serial, so a thread that gets
  // the id of an exited one never replaces the exited thread's queue.
  using ThreadKey = std::pair<uint32_t, uint64_t>;

  TraceMeRecorder() = default;

  // Registers `recorder` under its tid and a fresh serial and returns the key.
  ThreadKey RegisterThread(std::shared_ptr<ThreadLocalRecorder> recorder);
  // Erases the entry `key` at once unless recording at level 1 or more, when
  // the next Consume erases it. Called by the thread-exit hook.
  void UnregisterThread(const ThreadKey& key);

  // Takes mutex_; first, in a forked child, unregisters the parent's threads.
  std::unique_lock<std::mutex> Lock();

  // Both run under mutex_.
  Events Consume();
  void Clear();

  friend class ThreadLocalRecorderHolder;

  std::mutex mutex_;
  std::map<ThreadKey, std::shared_ptr<ThreadLocalRecorder>> threads_;  // Guarded by mutex_.
  uint64_t next_serial_ = 0;                                           // Guarded by mutex_.
  // Set by ResetInForkedChild: the thread that forked, the only one of the
  // registry's threads that the child has.
  bool drop_parent_threads_ = false;                // Guarded by mutex_.
  const ThreadLocalRecorder* forked_thread_ = nullptr;  // Guarded by mutex_.
};

// A single-producer single-consumer queue of events in a chain of fixed-size
// blocks. Only the owning thread pushes; only one consumer at a time pops.
class TraceMeRecorder::EventQueue {
 public:
  static constexpr size_t kBlockSize = 65536;

  struct Block;

  // A new queue holds one block. Throws std::bad_alloc.
  EventQueue();
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Producer: appends the event, or returns false (leaving `name` untouched)
  // when the block that must follow a full one cannot be allocated.
  bool Push(std::string&& name, int64_t start_time, int64_t end_time) noexcept;

  // Consumer: takes every event published when the call begins, in order,
  // into `out` (or destroys them when `out` is null).
  void PopAll(std::deque<Event>* out);

  // How many blocks the queue holds; for tests.
  size_t BlockCount() const;

 private:
  Block* head_block_;              // Consumer only.
  uint64_t head_ = 0;              // Consumer only.
  Block* tail_block_;              // Producer only.
  std::atomic<uint64_t> tail_{0};  // Written by the producer, release.
};

struct TraceMeRecorder::EventQueue::Block {
  static constexpr size_t kHeaderSize = sizeof(uint64_t) + sizeof(Block*);
  static constexpr size_t kEventsPerBlock = (kBlockSize - kHeaderSize) / sizeof(Event);

  uint64_t start;  // Index of the first slot.
  Block* next;     // The following block, null until linked.
  alignas(Event) unsigned char slots[kEventsPerBlock * sizeof(Event)];

  Event* slot(uint64_t index) { return reinterpret_cast<Event*>(slots) + (index - start); }
};

static_assert(sizeof(TraceMeRecorder::EventQueue::Block) <= TraceMeRecorder::EventQueue::kBlockSize,
              "a block must fit in kBlockSize bytes");

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_CPU_TRACEME_RECORDER_H_
