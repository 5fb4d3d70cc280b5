#include "trace/core/internal/cpu/traceme_recorder.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

#include "common/platform/env.h"

namespace zentrik {
namespace trace {

namespace trace_me_internal {
std::atomic<int> threshold{-1};
}  // namespace trace_me_internal

namespace {

std::atomic<uint64_t> dropped_events{0};

// A block whose pages are already mapped: one system call here instead of a
// page fault every 85 events on the recording thread. Null when out of memory.
TraceMeRecorder::EventQueue::Block* NewBlock() noexcept {
  auto* block = new (std::nothrow) TraceMeRecorder::EventQueue::Block;
  if (block == nullptr) return nullptr;
  constexpr uintptr_t kPageMask = 4095;
  const auto begin = (reinterpret_cast<uintptr_t>(block) + kPageMask) & ~kPageMask;
  const auto end = (reinterpret_cast<uintptr_t>(block) + sizeof(*block)) & ~kPageMask;
  // Only a speed-up: kernels without MADV_POPULATE_WRITE refuse it harmlessly.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  return block;
}

}  // namespace

// ---------------------------------------------------------------------------
// EventQueue

TraceMeRecorder::EventQueue::EventQueue() : head_block_(NewBlock()), tail_block_(head_block_) {
  if (head_block_ == nullptr) throw std::bad_alloc();
  head_block_->start = 0;
  head_block_->next = nullptr;
}

TraceMeRecorder::EventQueue::~EventQueue() {
  PopAll(nullptr);
  delete head_block_;
}

bool TraceMeRecorder::EventQueue::Push(std::string&& name, int64_t start_time,
                                       int64_t end_time) noexcept {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  Block* block = tail_block_;
  if (tail + 1 - block->start == Block::kEventsPerBlock) {
    // The queue keeps a free slot at its tail: the block after this one must
    // exist before the event that fills this one is published. Allocate it
    // first, so that a failure drops the event and leaves the queue intact.
    Block* next = NewBlock();
    if (next == nullptr) return false;
    next->start = tail + 1;
    next->next = nullptr;
    new (block->slot(tail)) Event{std::move(name), start_time, end_time};
    block->next = next;
    tail_block_ = next;
  } else {
    new (block->slot(tail)) Event{std::move(name), start_time, end_time};
  }
  tail_.store(tail + 1, std::memory_order_release);
  return true;
}

void TraceMeRecorder::EventQueue::PopAll(std::deque<Event>* out) {
  const uint64_t end = tail_.load(std::memory_order_acquire);
  while (head_ != end) {
    Event* event = std::launder(head_block_->slot(head_));
    if (out != nullptr) out->push_back(std::move(*event));
    event->~Event();
    ++head_;
    if (head_ - head_block_->start == Block::kEventsPerBlock) {
      Block* drained = head_block_;
      head_block_ = drained->next;
      delete drained;
    }
  }
}

size_t TraceMeRecorder::EventQueue::BlockCount() const {
  size_t count = 0;
  for (const Block* block = head_block_; block != nullptr; block = block->next) ++count;
  return count;
}

// ---------------------------------------------------------------------------
// Per-thread recorders

class TraceMeRecorder::ThreadLocalRecorder {
 public:
  ThreadLocalRecorder(uint32_t tid, std::string name) : tid(tid), name(std::move(name)) {}

  const uint32_t tid;
  const std::string name;
  EventQueue queue;
  // Cleared by the owning thread as it exits.
  std::atomic<bool> active{true};
};

namespace {

// The calling thread's recorder once registered: trivially destructible, so
// the hot path reads it without a thread-local initialisation guard.
thread_local TraceMeRecorder::ThreadLocalRecorder* current_recorder = nullptr;
// Set once the thread's holder is gone: events recorded by later thread-exit
// code are dropped rather than registered with no one left to unregister them.
thread_local bool current_thread_exited = false;

}  // namespace

// Shares ownership of the calling thread's recorder with the registry and
// unregisters it when the thread exits.
class ThreadLocalRecorderHolder {
 public:
  ~ThreadLocalRecorderHolder() {
    current_thread_exited = true;
    current_recorder = nullptr;
    if (recorder_ == nullptr) return;
    // Sequentially consistent with the recorder's Stop: either this thread sees
    // recording off and erases its entry, or Consume sees the thread inactive.
    recorder_->active.store(false, std::memory_order_seq_cst);
    TraceMeRecorder::Get()->UnregisterThread(key_);
  }

  // Creates and registers the calling thread's recorder. Null on failure.
  TraceMeRecorder::ThreadLocalRecorder* Register() noexcept {
    try {
      Env* env = Env::Default();
      std::string name;
      env->GetCurrentThreadName(&name);
      auto recorder = std::make_shared<TraceMeRecorder::ThreadLocalRecorder>(
          static_cast<uint32_t>(env->GetCurrentThreadId()), std::move(name));
      key_ = TraceMeRecorder::Get()->RegisterThread(recorder);
      recorder_ = std::move(recorder);
      return recorder_.get();
    } catch (...) {
      return nullptr;
    }
  }

 private:
  std::shared_ptr<TraceMeRecorder::ThreadLocalRecorder> recorder_;
  TraceMeRecorder::ThreadKey key_{};
};

namespace {

TraceMeRecorder::ThreadLocalRecorder* RegisterCurrentThread() noexcept {
  if (current_thread_exited) return nullptr;
  static thread_local ThreadLocalRecorderHolder holder;
  current_recorder = holder.Register();
  return current_recorder;
}

}  // namespace

// ---------------------------------------------------------------------------
// TraceMeRecorder

TraceMeRecorder* TraceMeRecorder::Get() {
  // Never destroyed: threads may record and exit while the process exits.
  static TraceMeRecorder* recorder = new TraceMeRecorder;
  return recorder;
}

void TraceMeRecorder::Record(std::string&& name, int64_t start_time, int64_t end_time) noexcept {
  ThreadLocalRecorder* recorder = current_recorder;
  if (recorder == nullptr) recorder = RegisterCurrentThread();
  if (recorder == nullptr || !recorder->queue.Push(std::move(name), start_time, end_time)) {
    dropped_events.fetch_add(1, std::memory_order_relaxed);
  }
}

uint64_t TraceMeRecorder::DroppedEvents() { return dropped_events.load(std::memory_order_relaxed); }

size_t TraceMeRecorder::RegisteredThreadCount() {
  const std::unique_lock<std::mutex> lock = Lock();
  return threads_.size();
}

bool TraceMeRecorder::Start(int level) {
  level = std::max(level, 0);
  const std::unique_lock<std::mutex> lock = Lock();
  int32_t idle = -1;
  if (!threshold.compare_exchange_strong(idle, level, std::memory_order_seq_cst)) return false;
  Clear();
  return true;
}

TraceMeRecorder::Events TraceMeRecorder::Stop() {
  const std::unique_lock<std::mutex> lock = Lock();
  if (threshold.exchange(-1, std::memory_order_seq_cst) == -1) return Events();
  return Consume();
}

TraceMeRecorder::Events TraceMeRecorder::Consume() {
  Events result;
  result.reserve(threads_.size());
  for (auto it = threads_.begin(); it != threads_.end();) {
    ThreadLocalRecorder& recorder = *it->second;
    // Read before draining: a thread seen as exited has published all its
    // events, so none is left behind when its entry goes.
    const bool exited = !recorder.active.load(std::memory_order_seq_cst);
    ThreadEvents thread{{recorder.tid, recorder.name}, {}};
    recorder.queue.PopAll(&thread.events);
    if (!thread.events.empty()) result.push_back(std::move(thread));
    it = exited ? threads_.erase(it) : std::next(it);
  }
  return result;
}

void TraceMeRecorder::Clear() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    const bool exited = !it->second->active.load(std::memory_order_seq_cst);
    it->second->queue.PopAll(nullptr);
    it = exited ? threads_.erase(it) : std::next(it);
  }
}

void TraceMeRecorder::PrepareFork() { mutex_.lock(); }

void TraceMeRecorder::ResumeAfterFork() { mutex_.unlock(); }

void TraceMeRecorder::ResetInForkedChild() {
  threshold.store(-1, std::memory_order_seq_cst);
  // Nothing is freed here: an allocator whose fork handlers were installed
  // after ours is still locked while ours run. Lock() drops the parent's
  // threads instead.
  forked_thread_ = current_recorder;
  drop_parent_threads_ = true;
  mutex_.unlock();
}

std::unique_lock<std::mutex> TraceMeRecorder::Lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (drop_parent_threads_) {
    drop_parent_threads_ = false;
    // The other threads' holders never run here, so those still alive keep
    // their recorders: draining them would only copy the parent's pages.
    for (auto it = threads_.begin(); it != threads_.end();) {
      it = it->second.get() == forked_thread_ ? std::next(it) : threads_.erase(it);
    }
  }
  return lock;
}

TraceMeRecorder::ThreadKey TraceMeRecorder::RegisterThread(
    std::shared_ptr<ThreadLocalRecorder> recorder) {
  const std::unique_lock<std::mutex> lock = Lock();
  const ThreadKey key{recorder->tid, next_serial_++};
  threads_.emplace(key, std::move(recorder));
  return key;
}

void TraceMeRecorder::UnregisterThread(const ThreadKey& key) {
  // While recording at level 1 or more the exited thread's events wait for
  // the next Consume, which erases the entry.
  if (threshold.load(std::memory_order_seq_cst) > 0) return;
  const std::unique_lock<std::mutex> lock = Lock();
  threads_.erase(key);
}

}  // namespace trace
}  // namespace zentrik
