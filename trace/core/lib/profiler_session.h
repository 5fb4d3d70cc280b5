#ifndef ZENTRIK_TRACE_CORE_LIB_PROFILER_SESSION_H_
#define ZENTRIK_TRACE_CORE_LIB_PROFILER_SESSION_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/platform/status.h"
#include "trace/core/lib/fork_handlers.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/profiler_interface.h"
#include "trace/core/lib/profiler_lock.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {

// One profiling run. A session that obtains the profiler lock creates the
// profilers for its options, starts them at one start time and, at
// collection, stops them, lets each add its planes to one XSpace, releases
// the lock and post-processes the space. A session created while another
// holds the lock is refused: UNAVAILABLE "Another profiler session is
// active.", no profilers. An exception thrown by a profiler or by
// post-processing never leaves the session, and never keeps the lock held.
// A session that fork() copied into a child stays the parent's: there its
// Status and CollectData answer FAILED_PRECONDITION, and neither they nor the
// destructor touch its profilers, its mutex or the profiler lock.
class ProfilerSession {
 public:
  // Options with version 0 (not filled in) are replaced by host level 2,
  // device level 1, version 1. The profilers come from the process-wide
  // registry. Null only when memory for the session itself runs out; any
  // other failure while building it is reported by Status() and logged
  // once, at WARNING, with its own text.
  static std::unique_ptr<ProfilerSession> Create(const ProfileOptions& options);

  // As Create, with the profilers built by `factories` (in order) instead of
  // the registry's. Lets tests run sessions with fake profilers without
  // registering them process-wide.
  static std::unique_ptr<ProfilerSession> CreateWithFactories(
      const ProfileOptions& options, const std::vector<ProfilerFactory>& factories);

  // Stops the profilers again (results dropped) and releases the profiler
  // lock if the session still holds it.
  ~ProfilerSession();

  ProfilerSession(const ProfilerSession&) = delete;
  ProfilerSession& operator=(const ProfilerSession&) = delete;

  // OK, or the error that makes the session unusable. Thread-safe.
  trace::Status Status();

  // Stops every profiler, then lets each add its data to `space`, releases
  // the profiler lock and post-processes the space relative to the session
  // start. A refused session returns its status and leaves `space` alone.
  // Call once. Thread-safe.
  trace::Status CollectData(XSpace* space);

 private:
  ProfilerSession(ProfileOptions options, const std::vector<ProfilerFactory>* factories);

  static std::unique_ptr<ProfilerSession> CreateSession(
      const ProfileOptions& options, const std::vector<ProfilerFactory>* factories);

  // Builds and starts the profilers; may throw.
  void StartProfilers(const std::vector<ProfilerFactory>* factories);
  // Undoes a construction that threw: stops and destroys the profilers that
  // exist and gives the lock back.
  void AbandonStart(const char* reason);
  // Stops every profiler, ignoring results and exceptions alike.
  void StopProfilers();
  // True in a child that fork() made after the session was created.
  bool Inherited() const { return fork_generation_ != ForkGeneration(); }

  std::vector<std::unique_ptr<ProfilerInterface>> profilers_;
  ProfilerLock profiler_lock_;
  trace::Status status_;  // Guarded by mutex_.
  uint64_t start_time_ns_ = 0;
  std::mutex mutex_;  // Guards status_ and the collection.
  ProfileOptions options_;
  const uint64_t fork_generation_ = ForkGeneration();  // When the session was created.
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_PROFILER_SESSION_H_
