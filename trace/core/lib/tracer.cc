#include "trace/core/lib/tracer.h"

#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

#include "common/platform/logging.h"
#include "common/platform/prefault.h"
#include "common/platform/status.h"
#include "trace/core/convert/export_to_tensorboard.h"
#include "trace/core/convert/host_kernel_pmu.h"
#include "trace/core/convert/parse_xspace.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/xspace_wire.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint32_t kProfileOptionsVersion = 1;

void SetTracePmu(bool enabled) { setenv(kTracePmuEnvVar, enabled ? "true" : "false", 1); }

// Logs the exception that ended `operation` as one WARNING line. Logging
// itself may run out of memory; then the line is lost, but nothing escapes.
void LogException(const char* operation, const std::exception_ptr& exception) noexcept {
  try {
    try {
      std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
      LOG(WARNING) << operation << " failed: out of memory.";
    } catch (const std::exception& e) {
      LOG(WARNING) << operation << " failed: " << e.what();
    } catch (...) {
      LOG(WARNING) << operation << " failed: unknown exception.";
    }
  } catch (...) {
  }
}

// Runs `body` and turns any exception into a WARNING line and `failed`.
template <typename Result, typename Body>
Result Guarded(const char* operation, Result failed, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    LogException(operation, std::current_exception());
  }
  return failed;
}

// The collected space's arena blocks are faulted in whole as they are taken,
// which costs less than the page-by-page faults of a fresh block written
// piecemeal. At 64 KiB they stay below the allocator's own mappings and so
// reuse heap memory freed before: larger ones peaked higher for no speed.
void* PrefaultedArenaBlock(size_t size) {
  void* block = ::operator new(size);
  PrefaultForWrite(block, size);
  return block;
}

void FreeArenaBlock(void* block, size_t /*size*/) { ::operator delete(block); }

google::protobuf::ArenaOptions CollectionArenaOptions() {
  google::protobuf::ArenaOptions options;
  options.start_block_size = size_t{64} << 10;
  options.max_block_size = size_t{64} << 10;
  options.block_alloc = PrefaultedArenaBlock;
  options.block_dealloc = FreeArenaBlock;
  return options;
}

}  // namespace

Tracer::Tracer(const TracerOptions& options, const std::string& logdir)
    : options_(options), logdir_(logdir) {}

Tracer::~Tracer() {
  // The counters were switched on for this session only.
  if (session_ != nullptr && WantsPmu()) SetTracePmu(false);
}

bool Tracer::WantsPmu() const { return options_.device_tracer_level == 2; }

bool Tracer::Start() {
  const bool started = Guarded("Tracer start", false, [this] { return StartSession(); });
  // A start that failed leaves no PMU request behind for a later tracer.
  if (!started && WantsPmu()) SetTracePmu(false);
  return started;
}

bool Tracer::StartSession() {
  if (session_ != nullptr && session_->Status().ok()) {
    LOG(WARNING) << "Tracer is already started.";
    return true;
  }
  // A session started before fork() records nothing here: start our own.
  session_.reset();
  ProfileOptions profile_options;
  profile_options.set_host_tracer_level(static_cast<uint32_t>(options_.host_tracer_level));
  profile_options.set_device_tracer_level(static_cast<uint32_t>(options_.device_tracer_level));
  profile_options.set_version(kProfileOptionsVersion);
  // The device tracer reads the variable when the session starts it.
  if (WantsPmu()) SetTracePmu(true);

  std::unique_ptr<ProfilerSession> session = ProfilerSession::Create(profile_options);
  if (session == nullptr) throw std::bad_alloc();
  const Status status = session->Status();
  if (!status.ok()) {
    // Only a held profiler lock means another tracer. Any other failure was
    // logged with its own text by the session that met it; a second line
    // would only repeat it.
    if (status.code() == error::UNAVAILABLE) {
      LOG(WARNING) << "Another tracer already started, tracer start failed.";
    }
    return false;
  }
  LOG(INFO) << "Tracer started.";
  session_ = std::move(session);
  return true;
}

bool Tracer::Stop(std::string* output) {
  return Guarded("Tracer stop", false, [this, output] { return StopSession(output); });
}

bool Tracer::StopSession(std::string* output) {
  if (WantsPmu()) SetTracePmu(false);
  if (session_ == nullptr) {
    LOG(WARNING) << "Tracer is not started. No need to stop.";
    return true;
  }
  // The tracer is idle from here on, whatever the outcome; the session is
  // destroyed (its lock released) on every way out.
  std::unique_ptr<ProfilerSession> session = std::move(session_);
  const bool delivered = CollectAndDeliver(session.get(), output);
  session.reset();
  LOG(INFO) << "Tracer stopped.";
  return delivered;
}

bool Tracer::CollectAndDeliver(ProfilerSession* session, std::string* output) {
  // The space lives only until it is delivered: on an arena it costs far less
  // to build and nothing to take apart message by message.
  google::protobuf::Arena arena(CollectionArenaOptions());
  XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  if (!session->CollectData(&space).ok()) {
    LOG(WARNING) << "Tracer collect data failed.";
    return false;
  }
  FillHostKernelPmuData(&space);
  if (output != nullptr) {
    // A trace too large for the wire keeps what fits rather than nothing.
    if (!SerializeXSpaceWithin(&space, kMaxXSpaceWireBytes, output)) {
      LOG(WARNING) << "Serialize xspace to string failed.";
      return false;
    }
    return true;
  }
  // The caller learns only that the export failed, never the status's text.
  if (!ExportXSpaceToTensorBoard(space, logdir_).ok()) {
    LOG(WARNING) << "Export xspace to tensorboard failed.";
    return false;
  }
  return true;
}

bool Tracer::SetAnnotationDelimiter(const std::string& delimiter) {
  return Guarded("Set annotation delimiter", false, [&delimiter] {
    if (delimiter.empty()) {
      LOG(WARNING) << "Annotation delimiter should not be empty, "
                   << "set annotation delimiter failed.";
      return false;
    }
    return SetAnnotationStackDelimiter(delimiter);
  });
}

TracerInterface* CreateTracer(const TracerOptions& options, const std::string& logdir) {
  return Guarded("CreateTracer", static_cast<TracerInterface*>(nullptr), [&]() -> TracerInterface* {
    if (logdir.empty()) {
      LOG(WARNING) << "Logdir should not be empty. CreateTracer failed";
      return nullptr;
    }
    try {
      return new Tracer(options, logdir);
    } catch (const std::bad_alloc&) {
      LOG(WARNING) << "Failed to malloc memory. CreateTracer failed";
      return nullptr;
    }
  });
}

bool ExportToTensorboard(const std::string& xspace, const std::string& logdir) {
  return Guarded("ExportToTensorboard", false, [&] {
    if (logdir.empty()) {
      LOG(WARNING) << "Logdir should not be empty. ExportToTensorboard failed";
      return false;
    }
    // A space's many small messages are made and freed much faster on an arena.
    google::protobuf::Arena arena(TraceArenaOptions());
    XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    // Bad bytes and running out of memory are told apart.
    const Status parsed = ParseXSpace(xspace, &space);
    if (!parsed.ok()) {
      LOG(WARNING) << parsed.error_message();
      return false;
    }
    if (!ExportXSpaceToTensorBoard(space, logdir).ok()) {
      LOG(WARNING) << "Export xspace data to tensorboard failed";
      return false;
    }
    return true;
  });
}

}  // namespace trace
}  // namespace zentrik
