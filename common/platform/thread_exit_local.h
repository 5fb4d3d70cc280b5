#ifndef ZENTRIK_COMMON_PLATFORM_THREAD_EXIT_LOCAL_H_
#define ZENTRIK_COMMON_PLATFORM_THREAD_EXIT_LOCAL_H_

#include <pthread.h>

#include <memory>

namespace zentrik {

// A per-thread T for code that may run while its thread ends. A plain
// thread_local object is destroyed in reverse order of construction, so the
// destructor of one made before it (a user's, say) that calls into this code
// would touch a destroyed object. This T is destroyed by a thread-specific
// destructor instead, which runs after every thread_local destructor of the
// thread; the only per-thread variables left are trivially destructible.
// The main thread's T is never destroyed (exit runs no thread-specific
// destructors), so static destructors may use it too.
template <typename T>
class ThreadExitLocal {
 public:
  // The calling thread's T, made on first use (may throw what T's
  // construction throws). Null once it is gone (code run by a later
  // thread-specific destructor) or when no thread-specific slot is left.
  // After the first call, a thread-local read.
  static T* Get() {
    if (current_ != nullptr) return current_;
    if (gone_) return nullptr;
    pthread_once(&once_, &CreateKey);
    if (!key_created_) return nullptr;
    auto made = std::make_unique<T>();
    if (pthread_setspecific(key_, made.get()) != 0) return nullptr;
    current_ = made.release();
    return current_;
  }

  // The calling thread's T if it has one now; never makes it.
  static T* Existing() { return current_; }

 private:
  static void CreateKey() { key_created_ = pthread_key_create(&key_, &Destroy) == 0; }

  static void Destroy(void* value) {
    // Set first: whatever T's destructor reaches finds it gone.
    gone_ = true;
    current_ = nullptr;
    delete static_cast<T*>(value);
  }

  static inline pthread_once_t once_ = PTHREAD_ONCE_INIT;
  static inline pthread_key_t key_;
  static inline bool key_created_ = false;  // Written once under once_.
  static inline thread_local T* current_ = nullptr;
  static inline thread_local bool gone_ = false;
};

}  // namespace zentrik

#endif  // ZENTRIK_COMMON_PLATFORM_THREAD_EXIT_LOCAL_H_
