#ifndef ZENTRIK_TESTING_XSPACE_FIXTURE_H_
#define ZENTRIK_TESTING_XSPACE_FIXTURE_H_

// Builds XSpaces shaped as the host and device tracers write them, so passes
// and converters are tested without either tracer: describe an event with one
// of the structs below, Add* it, then run the code under test on space().

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "testing/pmu_fixtures.h"  // AllUnknownPmuData
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace testing {

inline constexpr uint64_t kPmuNoValue = ~uint64_t{0};  // a counter without a value
// The correlation id for which the device tracer writes no correlation_id.
inline constexpr uint32_t kNoCorrelationId = 0xffffffff;
inline constexpr char kKernelLaunchName[] = "qxInvokeKernel";  // every kernel launch's display name

// What the device tracer writes before it knows the device: model -1, all else 0.
trace::DeviceInfo UnknownDeviceInfo();

// A host tracer stat value: the annotation argument as it was parsed.
using StatValue = std::variant<int64_t, double, std::string>;

// One TraceMe on the line "<thread_name>/<thread_id>": traceme_flag 1, then
// `args` in order; pmu_data all unknown, flag clear; second_pmu_data all
// unknown, or `annotation_counters` with its flag set. Times are absolute.
struct TraceMeSpec {
  uint32_t thread_id = 1;
  std::string thread_name, name, display_name;  // display_name empty: none
  uint64_t start_ns = 0, end_ns = 0;
  std::vector<std::pair<std::string, StatValue>> args;
  std::optional<trace::PmuData> annotation_counters;
};

// A device tracer counter record: `read` set: pmu_data holds it, flag set;
// unset: pmu_data all unknown but field14.
struct CounterRecord {
  std::optional<trace::PmuData> read;
  uint64_t field14 = kPmuNoValue;
  trace::DeviceInfo device_info = UnknownDeviceInfo();
};

// What the device tracer writes alike for API calls and device activities.
// Metadata name: "<annotation>##<function or name>".
struct TracerEventSpec {
  std::string annotation;      // innermost annotation
  std::string op_fullname;     // outermost annotation; empty: no stat
  std::string flow_event_cat;  // activity type of the correlation ("Kernel", ...), or empty
  uint32_t correlation_id = kNoCorrelationId;
  uint64_t start_ns = 0, end_ns = 0;  // absolute
  CounterRecord pmu;
};

// A device-API call on the host line of its thread ("/Generic/<thread_id>"
// while unnamed).
struct ApiCallSpec : TracerEventSpec {
  uint32_t thread_id = 1;
  std::string function = kKernelLaunchName;  // the display name
  std::string model_id;                      // empty: no stat
};

// A device activity on the line of its queue of "/device:ZRA:<device>".
struct ActivitySpec : TracerEventSpec {
  uint32_t device = 0, queue = 0;
  std::string name;          // kernel full name, "MemcpyH2D", "Memset", ...
  std::string display_name;  // empty: the name
  std::string kind;  // listed in the queue's line name ("Queue #3(Compute,)"); empty: display name
  // The kind's stats ("size", ...), strings like device_id, is_host, ...
  std::map<std::string, std::string> stats;
};

// A kernel and the qxInvokeKernel call that launched it, sharing correlation
// id, annotation, counters and device facts; field14 of both is the kernel's
// duration in nanoseconds.
struct KernelSpec {
  uint32_t thread_id = 1, device = 0, queue = 1;
  std::string kernel_name = "kernel(int)";  // display name: up to the first "("
  std::string annotation, op_fullname, model_id;
  uint32_t correlation_id = 1;
  uint64_t launch_start_ns = 0, launch_end_ns = 0;
  uint64_t start_ns = 0, end_ns = 0;  // on the device
  std::optional<trace::PmuData> counters;  // unset: PMU tracing was off
  trace::DeviceInfo device_info = UnknownDeviceInfo();
};

struct KernelEvents {
  trace::XEventBuilder launch, kernel;
};

// Owns the space it builds. Lines take the session start as timestamp_ns;
// metadata is shared by name; events stay in the order added. Its builders
// must not be used once lines were removed from the space: build first.
class XSpaceFixture {
 public:
  explicit XSpaceFixture(uint64_t session_start_ns = 0) : session_start_ns_(session_start_ns) {}
  XSpaceFixture(const XSpaceFixture&) = delete;
  XSpaceFixture& operator=(const XSpaceFixture&) = delete;

  trace::XSpace& space() { return space_; }
  const trace::XSpace& space() const { return space_; }
  std::string Serialize() const;  // wire bytes, map entries sorted by key

  // "/host:CPU", and "/device:ZRA:<device>" with id `device`, found or added.
  trace::XPlaneBuilder& HostPlane();
  trace::XPlaneBuilder& DevicePlane(uint32_t device);

  trace::XEventBuilder AddTraceMe(const TraceMeSpec& params);
  // The same for an unnamed thread, without annotation counters.
  trace::XEventBuilder AddTraceMe(uint32_t thread_id, const std::string& name, uint64_t start_ns,
                                  uint64_t end_ns,
                                  std::vector<std::pair<std::string, StatValue>> args = {});
  trace::XEventBuilder AddApiCall(const ApiCallSpec& params);
  trace::XEventBuilder AddActivity(const ActivitySpec& params);
  // An overhead event ("Buffer Flush", ...) on host line 0xffffffff "dravik_overhead".
  trace::XEventBuilder AddOverhead(const std::string& kind, uint64_t start_ns, uint64_t end_ns);
  KernelEvents AddKernel(const KernelSpec& params);

 private:
  struct WrittenEvent;
  trace::XPlaneBuilder& PlaneNamed(const std::string& name);
  trace::XEventBuilder AddTracerEvent(trace::XPlaneBuilder& plane, const WrittenEvent& event);

  trace::XSpace space_;
  uint64_t session_start_ns_;
  std::map<std::string, std::unique_ptr<trace::XPlaneBuilder>> builders_;
  std::map<std::pair<uint32_t, uint32_t>, std::set<std::string>> queue_kinds_;
};

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_XSPACE_FIXTURE_H_
