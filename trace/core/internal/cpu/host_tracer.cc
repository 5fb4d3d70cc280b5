// The profiler of host activity: records TraceMe events through the
// recorder during a session and turns them into the host plane.

#include <cstdint>
#include <memory>
#include <utility>

#include "common/platform/logging.h"
#include "common/platform/status.h"
#include "trace/core/internal/cpu/host_tracer_utils.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/profiler_interface.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

// Owns the recorder from Start to Stop; one tracer at a time can. Driven by
// the session's thread only.
class HostTracer : public ProfilerInterface {
 public:
  explicit HostTracer(int32_t host_trace_level) : host_trace_level_(host_trace_level) {}

  // A tracer destroyed while recording stops the recorder and drops what it
  // recorded.
  ~HostTracer() override {
    try {
      Stop();
    } catch (...) {
      // Nothing to report to from a destructor; the recorder is idle again.
    }
  }

  Status Start(uint64_t start_timestamp_ns) override {
    if (recording_) return errors::Internal("TraceMeRecorder already started");
    start_timestamp_ns_ = start_timestamp_ns;
    recording_ = TraceMeRecorder::Get()->Start(host_trace_level_);
    if (!recording_) return errors::Internal("Failed to start TraceMeRecorder");
    LOG(INFO) << "Host tracer started";
    return Status();
  }

  Status Stop() override {
    if (!recording_) return errors::Internal("TraceMeRecorder not started");
    recording_ = false;
    events_ = TraceMeRecorder::Get()->Stop();
    return Status();
  }

  Status CollectData(XSpace* space) override {
    LOG(INFO) << "Collecting data to XSpace from HostTracer.";
    if (recording_) return errors::Internal("TraceMeRecorder not stopped");
    XPlane* plane = FindOrAddMutablePlaneWithName(space, kHostPlaneName);
    ConvertRecordedEventsToHostPlane(start_timestamp_ns_, std::move(events_), plane);
    events_.clear();
    return Status();
  }

 private:
  const int32_t host_trace_level_;
  bool recording_ = false;
  uint64_t start_timestamp_ns_ = 0;
  TraceMeRecorder::Events events_;
};

}  // namespace

// Listed first by the profiler registry, so a session's host tracer precedes
// its device tracer.
std::unique_ptr<ProfilerInterface> CreateHostTracer(const ProfileOptions& options) {
  if (options.host_tracer_level() == 0) return nullptr;
  return std::make_unique<HostTracer>(static_cast<int32_t>(options.host_tracer_level()));
}

}  // namespace trace
}  // namespace zentrik
