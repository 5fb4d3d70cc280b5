#include "trace/core/lib/profiler_session.h"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "common/platform/env.h"
#include "common/platform/logging.h"
#include "trace/core/convert/post_process_single_host_xplane.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kInheritedSession[] =
    "Profiler session was started before fork(): this process collects nothing of it.";

ProfileOptions EffectiveOptions(const ProfileOptions& options) {
  if (options.version() != 0) return options;
  ProfileOptions defaults;
  defaults.set_host_tracer_level(2);
  defaults.set_device_tracer_level(1);
  defaults.set_version(1);
  return defaults;
}

// The text of the exception being handled; call only inside a catch block.
std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

std::unique_ptr<ProfilerSession> ProfilerSession::Create(const ProfileOptions& options) {
  return CreateSession(options, nullptr);
}

std::unique_ptr<ProfilerSession> ProfilerSession::CreateWithFactories(
    const ProfileOptions& options, const std::vector<ProfilerFactory>& factories) {
  return CreateSession(options, &factories);
}

std::unique_ptr<ProfilerSession> ProfilerSession::CreateSession(
    const ProfileOptions& options, const std::vector<ProfilerFactory>* factories) {
  try {
    return std::unique_ptr<ProfilerSession>(
        new ProfilerSession(EffectiveOptions(options), factories));
  } catch (...) {
    // Only running out of memory for the session itself gets here: the
    // constructor keeps its own failures. Its lock guard has let go.
    return nullptr;
  }
}

ProfilerSession::ProfilerSession(ProfileOptions options,
                                 const std::vector<ProfilerFactory>* factories)
    : options_(std::move(options)) {
  profiler_lock_ = ProfilerLock::TryAcquire();
  if (!profiler_lock_.Active()) {
    status_ = errors::Unavailable("Another profiler session is active.");
    return;
  }
  try {
    StartProfilers(factories);
  } catch (...) {
    AbandonStart(CurrentExceptionText().c_str());
  }
}

void ProfilerSession::StartProfilers(const std::vector<ProfilerFactory>* factories) {
  LOG(INFO) << "Profiler session started.";
  if (factories == nullptr) {
    CreateProfilers(options_, &profilers_);
  } else {
    for (ProfilerFactory factory : *factories) {
      std::unique_ptr<ProfilerInterface> profiler = factory(options_);
      if (profiler != nullptr) profilers_.push_back(std::move(profiler));
    }
  }
  start_time_ns_ = GetCurrentTimeNanos();
  for (auto& profiler : profilers_) {
    const trace::Status status = profiler->Start(start_time_ns_);
    if (!status.ok()) {
      LOG(WARNING) << "Encountered error while starting profiler: " << status.ToString();
    }
  }
}

void ProfilerSession::AbandonStart(const char* reason) {
  StopProfilers();
  profilers_.clear();
  start_time_ns_ = 0;
  profiler_lock_.Release();
  // If even this throws, the exception leaves through Create, which
  // reports no session.
  status_ = errors::Internal(std::string("Profiler session failed to start: ") + reason);
  LOG(WARNING) << status_.error_message();
}

void ProfilerSession::StopProfilers() {
  for (auto& profiler : profilers_) {
    try {
      profiler->Stop();
    } catch (...) {
      // A profiler that cannot stop contributes what it has.
    }
  }
}

trace::Status ProfilerSession::Status() {
  // A thread of the parent may have held the mutex as it forked.
  if (Inherited()) return errors::FailedPrecondition(kInheritedSession);
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

trace::Status ProfilerSession::CollectData(XSpace* space) {
  if (Inherited()) {
    LOG(WARNING) << kInheritedSession;
    return errors::FailedPrecondition(kInheritedSession);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!status_.ok()) return status_;
  try {
    LOG(INFO) << "Profiler session collecting data.";
    StopProfilers();
    for (auto& profiler : profilers_) {
      try {
        profiler->CollectData(space);
      } catch (...) {
        LOG(WARNING) << "Encountered error while collecting profiler data: "
                     << CurrentExceptionText();
      }
    }
    // Another session may start while this one post-processes.
    profiler_lock_.Release();
    PostProcessSingleHostXSpace(space, start_time_ns_);
  } catch (...) {
    profiler_lock_.Release();
    return errors::Internal("Profiler session failed to collect data: " + CurrentExceptionText());
  }
  return trace::Status();
}

ProfilerSession::~ProfilerSession() {
  try {
    LOG(INFO) << "Profiler session tear down.";
  } catch (...) {
  }
  if (Inherited()) {
    // The parent's profilers are left as they are: stopping them would stop
    // this process's own recording, and the device library they drive is the
    // parent's. The lock is not freed either (profiler_lock_ knows).
    for (auto& profiler : profilers_) profiler.release();
    return;
  }
  StopProfilers();
  profiler_lock_.Release();
  for (auto& profiler : profilers_) profiler.reset();
}

}  // namespace trace
}  // namespace zentrik
