#include "trace/core/internal/zra/device_planes.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/xspace_reader.h"
#include "trace/core/lib/annotation_stack.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kStart = 1000;
constexpr uint64_t kNone = kDravikNoValue64;
constexpr uint32_t kNoId = kDravikNoId32;

struct Given {
  int32_t type;
  uint32_t device, correlation, queue_or_thread;
  uint64_t start, end;
  const char* name;
  uint64_t write_bytes;  // a valid PMU block when not kNone
  uint64_t cluster_count = 0;
  uint64_t annotation_id = kNone;
};

void Add(DravikTracerCollectorImpl* collector, const Given& given) {
  const bool api = given.type == kGeneric;
  auto record = NewDravikTracerEvent(static_cast<DravikTracerEventType>(given.type),
                                     api ? kApiCallback : kActivity);
  record->device_id = given.device;
  record->correlation_id = given.correlation;
  (api || given.type == kOverhead ? record->thread_id : record->queue_id) = given.queue_or_thread;
  record->start_time_ns = given.start;
  record->end_time_ns = given.end;
  record->name = given.name;
  record->cluster_count = given.cluster_count;
  record->annotation_id = given.annotation_id;
  record->pmu.valid = given.write_bytes != kNone;
  record->pmu.counters[0] = given.write_bytes;
  if (given.type == kKernel) record->kernel = {5, 2, 1, 1};
  if (given.type == kMemcpy) record->memcpy = {64, 1, true};
  if (given.type == kOverhead) record->overhead.overhead_kind = 1;
  collector->AddEvent(std::move(record));
}

// "name=value ..." in stored order.
std::string StatLine(const XPlane& plane, const XEvent& event) {
  const auto names = testing::StatMetadataNames(plane);
  std::string line;
  for (const XStat& stat : event.stats()) {
    line += (line.empty() ? "" : " ") + names.at(stat.metadata_id()) + "=";
    line += stat.value_case() == XStat::kUint64Value ? std::to_string(stat.uint64_value())
                                                     : stat.str_value();
  }
  return line;
}

std::set<std::string> LineNames(const XPlane& plane) {
  std::set<std::string> names;
  for (const XLine& line : plane.lines()) names.insert(line.name());
  return names;
}

TEST(DevicePlanesTest, ExportsHandBuiltCollector) {
  const uint64_t model = AnnotationRegistry::GetOrRegister("model#model_id=resnet#::conv1");
  DravikTracerCollectorImpl collector(kStart);
  const Given givens[] = {
      {kKernel, 0, 7, 3, 2000, 2500, "gemm(float*)", 100},
      {kKernel, 0, 7, 4, 3000, 3300, "gemm(float*)", 200},  // last of 7 wins
      {kMemcpy, 0, 8, 3, 4000, 4100, "", kNone},
      {kKernel, 0, 30, 9, 500, 600, "early", kNone},        // before the session
      {kKernel, 0, 9, 3, 5000, 4000, "bad", 1},             // ends before it starts
      {kKernel, 0, kNoId, 3, 6000, 6100, "orphan", 9},
      {kOverhead, 0, kNoId, kNoId, 7000, 7100, "", kNone},
      {kKernel, 0, 10, 3, 8000, 8200, "k10", kNone},
      {kGeneric, kNoId, 7, 11, 1900, 1950, "qxInvokeKernel", kNone, 1, model},
      {kGeneric, kNoId, 8, 11, 3900, 3950, "_Z6launchv", kNone},
      {kGeneric, kNoId, 20, 12, 9000, 9010, "qxFree", kNone},
      {kGeneric, kNoId, 10, 12, 7900, 7950, "qxInvokeKernel", kNone},
  };
  for (const Given& given : givens) Add(&collector, given);
  const std::map<uint32_t, DeviceAttributes> attributes = {{0, {1, 1000, 8, 8, 3.5}}};
  CorrelationIndex correlations;
  BuildCorrelationIndex(&collector, &correlations);
  XSpace space;
  XPlaneBuilder device(space.add_planes()), api(space.add_planes()), host(space.add_planes());
  const DeviceExportInputs inputs{kStart, &correlations, &attributes, false};
  for (auto& [id, list] : collector.events_by_device) {
    ExportToXSpace(&list, inputs, id == 0 ? &device : &api, &host);
  }

  const struct {
    bool host;
    const char* metadata;
    int nth;
    const char* stats;  // null: not checked
    int64_t duration_ps;
    uint64_t field14, cores_used;
    uint32_t device_type;
  } rows[] = {
      {false, "conv1##gemm(float*)", 0,
       "correlation_id=7 device_id=0 dimx=2 dimy=1 dimz=1 flow_event_cat=Kernel is_host=false "
       "kernel_details=reserved kernel_type=5 op_fullname=model", 500000, 500, 4, 1},
      {false, "##bad", 0, nullptr, 0, kNone, 8, 1},
      {false, "##orphan", 0,
       "device_id=0 dimx=2 dimy=1 dimz=1 flow_event_cat= is_host=false kernel_details=reserved "
       "kernel_type=5", 100000, kNone, 8, 1},
      {false, "##k10", 0, nullptr, 200000, 200, 8, 1},
      {true, "conv1##qxInvokeKernel", 0,
       "correlation_id=7 flow_event_cat=Kernel is_host=true model_id=resnet op_fullname=model",
       50000, 300, 4, 1},
      {true, "##launch()", 0, "correlation_id=8 flow_event_cat=Memcpy is_host=true", 50000, kNone,
       0, 1},
      {true, "##qxFree", 0, "correlation_id=20 flow_event_cat= is_host=true", 10000, kNone, 0,
       kNoId},
      {true, "##qxInvokeKernel", 0, nullptr, 50000, 200, 8, 1},
      {true, "Buffer Flush", 0, "flow_event_cat= is_host=true", 100000, kNone, 0, kNoId},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.metadata);
    const XPlane& plane = row.host ? host.plane() : device.plane();
    const auto events = testing::EventsNamed(plane, row.metadata);
    ASSERT_GT(events.size(), size_t(row.nth));
    const XEvent& event = *events[row.nth];
    const std::string stats = StatLine(plane, event);
    EXPECT_EQ(stats, row.stats ? row.stats : stats);
    EXPECT_EQ(event.duration_ps(), row.duration_ps);
    EXPECT_EQ(event.pmu_data().field14(), row.field14);
    EXPECT_EQ(event.device_info().core_used(), row.cores_used);
    EXPECT_EQ(static_cast<uint32_t>(event.device_info().zra_type()), row.device_type);
  }
  // The early kernel's queue 9 has no line.
  EXPECT_EQ(LineNames(device.plane()),
            (std::set<std::string>{"Queue #3(Compute,MemcpyH2D,)", "Queue #4(Compute,)"}));
  EXPECT_EQ(LineNames(host.plane()),
            (std::set<std::string>{"/Generic/11", "/Generic/12", "dravik_overhead"}));
  const XEvent& launch = testing::EventNamed(host.plane(), "conv1##qxInvokeKernel");
  EXPECT_EQ(launch.pmu_data().io_dma_write_bytes(), 200u);  // the later kernel's counters
  EXPECT_EQ(launch.offset_ps(), (1900 - kStart) * 1000);
  EXPECT_EQ(device.plane().event_metadata().at(1).display_name(), "gemm");
}

TEST(DevicePlanesTest, LatencyStatsAndDropRule) {
  constexpr uint64_t kSubmitted = 5000, kMs = 1000000;
  const struct {
    const char* row;
    uint64_t received, submitted, start;
    bool dropped;
    const char* submitted_start;  // null: not checked
  } rows[] = {
      {"exactly 1e5 ms", 10, kSubmitted, kSubmitted + 100000 * kMs, false, "100000.000000 ms"},
      {"1e5 ms + 1 ms", 10, kSubmitted, kSubmitted + 100001 * kMs, true, "100001.000000 ms"},
      {"start before submission", 10, kSubmitted, kSubmitted - 1, true, nullptr},
      {"no received stamp", 0, kSubmitted, kSubmitted + 200000 * kMs, false, ""},
      {"no submitted stamp", 10, 0, 200000 * kMs, false, ""},
  };
  for (const auto& row : rows) {
    auto record = NewDravikTracerEvent(kKernel, kActivity);
    record->received_time_ns = row.received;
    record->queued_time_ns = 20;
    record->submitted_time_ns = row.submitted;
    record->start_time_ns = row.start;
    ExportNameCache names;
    const EventRecord event = AddActivityEventToPlane(*record, "Kernel", true, &names);
    EXPECT_EQ(event.dropped, row.dropped) << row.row;
    std::string submitted_start;
    for (const auto& [key, value] : event.stats) {
      if (key == "submitted_start") submitted_start = value;
    }
    EXPECT_EQ(submitted_start, row.submitted_start ? row.submitted_start : submitted_start)
        << row.row;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
