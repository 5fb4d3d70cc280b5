#ifndef ZENTRIK_TESTING_XSPACE_FIXTURE_H_
#define ZENTRIK_TESTING_XSPACE_FIXTURE_H_

// Builds XSpaces shaped as the host tracer and the device tracer write them,
// so that passes and converters can be tested without either tracer: describe
// an event with one of the structs below, Add* it, then run the code under
// test on space().

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "testing/pmu_fixtures.h"  // AllUnknownPmuData
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"

namespace zentrik {
namespace testing {

// A PMU counter without a value.
inline constexpr uint64_t kPmuNoValue = ~uint64_t{0};
// The correlation id for which the device tracer writes no correlation_id.
inline constexpr uint32_t kNoCorrelationId = 0xffffffff;
// The display name of every kernel launch on the host plane.
inline constexpr char kKernelLaunchName[] = "qxInvokeKernel";
// The host line of the profiling library's overhead events.
inline constexpr int64_t kOverheadLineId = 0xffffffff;

// The device facts the device tracer writes before it knows the device:
// model -1 ("Unknown"), everything else 0.
trace::DeviceInfo UnknownDeviceInfo();

// A value of a host tracer stat: the annotation argument as it was parsed.
using StatValue = std::variant<int64_t, double, std::string>;

// One TraceMe event of the host tracer: traceme_flag 1, then `args` as stats
// in order; pmu_data all unknown with its flag clear; second_pmu_data all
// unknown, or `annotation_counters` with its flag set.
struct TraceMeSpec {
  uint32_t thread_id = 1;
  // The line is named "<thread_name>/<thread_id>", as the host tracer does.
  std::string thread_name;
  std::string name;
  std::string display_name;  // empty: none
  uint64_t start_ns = 0;     // absolute, like the session start
  uint64_t end_ns = 0;
  std::vector<std::pair<std::string, StatValue>> args;
  std::optional<trace::PmuData> annotation_counters;
};

// What a counter record gives an event of the device tracer.
struct CounterRecord {
  // Set: the counters were read; pmu_data holds them and pmu_data_flag is
  // set. Unset: pmu_data is all unknown except field14.
  std::optional<trace::PmuData> read;
  uint64_t field14 = kPmuNoValue;  // used when `read` is unset
  trace::DeviceInfo device_info = UnknownDeviceInfo();
};

// What the device tracer writes alike for API calls and device activities.
struct TracerEventSpec {
  std::string annotation;      // innermost annotation: the metadata name's prefix before "##"
  std::string op_fullname;     // outermost annotation; empty: no stat
  std::string flow_event_cat;  // activity type of the correlation ("Kernel", ...), or empty
  uint32_t correlation_id = kNoCorrelationId;
  uint64_t start_ns = 0;  // absolute, like the session start
  uint64_t end_ns = 0;
  CounterRecord pmu;
};

// One device-API call on the host plane, on the line of its thread (named
// "/Generic/<thread_id>" while the line has no name). Metadata name:
// annotation##function.
struct ApiCallSpec : TracerEventSpec {
  uint32_t thread_id = 1;
  std::string function = kKernelLaunchName;  // the display name
  std::string model_id;                      // empty: no stat
};

// One device activity on "/device:ZRA:<device>", on the line of its queue.
// Metadata name: annotation##name.
struct ActivitySpec : TracerEventSpec {
  uint32_t device = 0;
  uint32_t queue = 0;
  std::string name;          // kernel full name, "MemcpyH2D", "Memset", ...
  std::string display_name;  // empty: the name
  // Shown in the queue's line name ("Queue #3(Compute,MemcpyH2D,)"):
  // "Compute" for kernels, the display name for copies; empty: the display
  // name.
  std::string kind;
  // Stats of the activity's kind ("size", "direction", ...), written as
  // strings with device_id, flow_event_cat, is_host and op_fullname.
  std::map<std::string, std::string> stats;
};

// A kernel on a device queue and the qxInvokeKernel call that launched it,
// sharing the correlation id, the annotation, the counters and the device
// facts. field14 of both is the kernel's duration in nanoseconds.
struct KernelSpec {
  uint32_t thread_id = 1;
  uint32_t device = 0;
  uint32_t queue = 1;
  std::string kernel_name = "kernel(int)";  // display name: up to the first "("
  std::string annotation;
  std::string op_fullname;
  std::string model_id;
  uint32_t correlation_id = 1;
  uint64_t launch_start_ns = 0;
  uint64_t launch_end_ns = 0;
  uint64_t start_ns = 0;  // on the device
  uint64_t end_ns = 0;
  std::optional<trace::PmuData> counters;  // unset: PMU tracing was off
  trace::DeviceInfo device_info = UnknownDeviceInfo();
};

struct KernelEvents {
  trace::XEventBuilder launch;
  trace::XEventBuilder kernel;
};

// Owns the space it builds. Every line gets the session start as its
// timestamp_ns, event offsets are relative to it, metadata is shared by name.
// Add* may be called in any order; the events of a line stay in the order
// added (the passes sort them). The builders it holds must not be used after
// lines were removed from the space (RemoveEmptyLines, post-processing):
// build first, then run the code under test.
class XSpaceFixture {
 public:
  explicit XSpaceFixture(uint64_t session_start_ns = 0);
  XSpaceFixture(const XSpaceFixture&) = delete;
  XSpaceFixture& operator=(const XSpaceFixture&) = delete;

  trace::XSpace& space() { return space_; }
  const trace::XSpace& space() const { return space_; }
  uint64_t session_start_ns() const { return session_start_ns_; }
  // The wire bytes, map entries sorted by key.
  std::string Serialize() const;

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
  // An overhead event of the profiling library ("Buffer Flush", "DRAVIK
  // Internal", ...) on the host line 0xffffffff "dravik_overhead".
  trace::XEventBuilder AddOverhead(const std::string& kind, uint64_t start_ns, uint64_t end_ns);
  KernelEvents AddKernel(const KernelSpec& params);

 private:
  struct WrittenEvent;
  trace::XPlaneBuilder& PlaneNamed(const std::string& name);
  trace::XLineBuilder Line(trace::XPlaneBuilder& plane, int64_t line_id);
  trace::XEventBuilder AddTracerEvent(trace::XPlaneBuilder& plane, const WrittenEvent& event);

  trace::XSpace space_;
  uint64_t session_start_ns_;
  std::map<std::string, std::unique_ptr<trace::XPlaneBuilder>> builders_;
  std::map<std::pair<uint32_t, uint32_t>, std::set<std::string>> queue_kinds_;
};

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_XSPACE_FIXTURE_H_
