#ifndef ZENTRIK_TRACE_CORE_LIB_TRACER_H_
#define ZENTRIK_TRACE_CORE_LIB_TRACER_H_

#include <memory>
#include <string>

#include "trace/core/lib/profiler_session.h"
#include "zentrik/trace/tracer.h"

namespace zentrik {
namespace trace {

// The environment variable through which a device level of 2 asks the device
// tracer for PMU counters.
inline constexpr char kTracePmuEnvVar[] = "ZENTRIK_TRACE_PMU";

// The tracer behind CreateTracer: one ProfilerSession per Start, collected and
// delivered by Stop. Not thread-safe: one thread drives a tracer at a time.
// No operation lets an exception out.
class Tracer : public TracerInterface {
 public:
  Tracer(const TracerOptions& options, const std::string& logdir);
  // Ends a running session without collecting it.
  ~Tracer() override;

  bool Start() override;
  bool Stop(std::string* output) override;
  bool SetAnnotationDelimiter(const std::string& delimiter) override;

 private:
  // The steps of Start and Stop; they may throw, their callers catch.
  bool StartSession();
  bool StopSession(std::string* output);
  // Collects the session into a space and hands the space to `output` or to
  // the export below the log directory.
  bool CollectAndDeliver(ProfilerSession* session, std::string* output);
  // True when the options ask for PMU counters.
  bool WantsPmu() const;

  const TracerOptions options_;
  const std::string logdir_;
  std::unique_ptr<ProfilerSession> session_;  // Null while idle.
};

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_TRACER_H_
