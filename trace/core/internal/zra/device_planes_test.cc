#include "trace/core/internal/zra/device_planes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "testing/xspace_reader.h"
#include "trace/core/internal/zra/dravik_event_names.h"
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
  if (given.type == kOverhead) record->overhead.overhead_kind = 1;
  collector->AddEvent(std::move(record));
}

std::string StatLine(const XPlane& plane, const XEvent& event) {  // "name=value ..." in order
  const auto names = testing::StatMetadataNames(plane);
  std::string line;
  for (const XStat& stat : event.stats()) {
    line += (line.empty() ? "" : " ") + names.at(stat.metadata_id()) + "=";
    line += stat.value_case() == XStat::kUint64Value ? std::to_string(stat.uint64_value())
                                                     : stat.str_value();
  }
  return line;
}

TEST(DevicePlanesTest, ExportsHandBuiltCollector) {
  const uint64_t model = AnnotationRegistry::GetOrRegister("model#model_id=resnet#::conv1");
  DravikTracerCollectorImpl collector(kStart);
  const Given givens[] = {
      {kKernel, 0, 7, 3, 2000, 2500, "gemm(float*)", 100},
      {kKernel, 0, 7, 4, 3000, 3300, "gemm(float*)", 200},  // last of 7 wins
      {kKernel, 0, 9, 3, 5000, 4000, "bad", 1},             // ends before it starts
      {kKernel, 0, kNoId, 3, 6000, 6100, "orphan", 9},
      {kOverhead, 0, kNoId, kNoId, 7000, 7100, "", kNone},
      {kKernel, 0, 10, 3, 8000, 8200, "k10", kNone},
      {kGeneric, kNoId, 7, 11, 1900, 1950, "qxInvokeKernel", kNone, 1, model},
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
    const char* stats;  // null: not checked
    int64_t duration_ps;
    uint64_t field14, cores_used;
    uint32_t device_type;
  } rows[] = {
      {false, "conv1##gemm(float*)",
       "correlation_id=7 device_id=0 dimx=2 dimy=1 dimz=1 flow_event_cat=Kernel is_host=false "
       "kernel_details=reserved kernel_type=5 op_fullname=model", 500000, 500, 4, 1},
      {false, "##bad", nullptr, 0, kNone, 8, 1},
      {false, "##orphan",  // no correlation, still its duration
       "device_id=0 dimx=2 dimy=1 dimz=1 flow_event_cat= is_host=false kernel_details=reserved "
       "kernel_type=5", 100000, 100, 8, 1},
      {true, "##qxFree", "correlation_id=20 flow_event_cat= is_host=true", 10000, kNone, 0, kNoId},
      {true, "##qxInvokeKernel", nullptr, 50000, 200, 8, 1},
      {true, "Buffer Flush", "flow_event_cat= is_host=true", 100000, kNone, 0, kNoId},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.metadata);
    const XPlane& plane = row.host ? host.plane() : device.plane();
    const auto events = testing::EventsNamed(plane, row.metadata);
    ASSERT_FALSE(events.empty());
    const XEvent& event = *events[0];
    const std::string stats = StatLine(plane, event);
    EXPECT_EQ(stats, row.stats ? row.stats : stats);
    EXPECT_EQ(event.duration_ps(), row.duration_ps);
    EXPECT_EQ(event.pmu_data().field14(), row.field14);
    EXPECT_EQ(event.device_info().core_used(), row.cores_used);
    EXPECT_EQ(static_cast<uint32_t>(event.device_info().zra_type()), row.device_type);
  }
  const XEvent& launch = testing::EventNamed(host.plane(), "conv1##qxInvokeKernel");
  EXPECT_EQ(launch.pmu_data().io_dma_write_bytes(), 200u);  // the later kernel's counters
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

// The text of stat `key` of `event`, or "(absent)".
std::string StatText(const EventRecord& event, const std::string& key) {
  for (const auto& [name, value] : event.stats) {
    if (name == key) return value;
  }
  return "(absent)";
}

// Every number an activity shows as a stat, at each digit count its field can have up to its
// largest value: 32-bit fields as "%u", 64-bit ones as "%lu", the async flags as "%d". Nothing
// cut, padded, signed or narrowed.
TEST(DevicePlanesTest, ActivityNumbersAtEveryDigitCount) {
  using Set = void (*)(DravikTracerEvent*, uint64_t);
  const struct {
    int32_t type;
    const char* stat;
    int digits;  // of the field's largest value
    Set set;
  } fields[] = {
      {kKernel, "device_id", 10, [](DravikTracerEvent* r, uint64_t v) { r->device_id = v; }},
      {kKernel, "kernel_type", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->kernel.kernel_type = v; }},
      {kKernel, "dimx", 10, [](DravikTracerEvent* r, uint64_t v) { r->kernel.dimx = v; }},
      {kKernel, "dimy", 10, [](DravikTracerEvent* r, uint64_t v) { r->kernel.dimy = v; }},
      {kKernel, "dimz", 10, [](DravikTracerEvent* r, uint64_t v) { r->kernel.dimz = v; }},
      {kMemcpy, "size", 20, [](DravikTracerEvent* r, uint64_t v) { r->memcpy.bytes = v; }},
      {kMemcpy, "async", 1, [](DravikTracerEvent* r, uint64_t v) { r->memcpy.is_async = v; }},
      {kMemcpyPeer, "size", 20, [](DravikTracerEvent* r, uint64_t v) { r->memcpy_peer.bytes = v; }},
      {kMemcpyPeer, "src_device", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->memcpy_peer.src_device = v; }},
      {kMemcpyPeer, "dst_device", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->memcpy_peer.dst_device = v; }},
      {kMemset, "size", 20, [](DravikTracerEvent* r, uint64_t v) { r->memset.bytes = v; }},
      {kMemset, "memset_value", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->memset.memset_value = v; }},
      {kMemset, "async", 1, [](DravikTracerEvent* r, uint64_t v) { r->memset.is_async = v; }},
      {kNotifier, "notifier_id", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->notifier.notifier_id = v; }},
      {kAtomicOperation, "atomic_value", 20,
       [](DravikTracerEvent* r, uint64_t v) { r->atomic.atomic_value = v; }},
  };
  ExportNameCache names;
  for (const auto& field : fields) {
    // 0, then 1, 12, 123, ... up to the field's width, then its largest value.
    std::vector<std::string> texts = {"0"};
    for (int n = 1; n <= field.digits && field.digits > 1; ++n) {
      texts.push_back(std::string("12345678901234567890", n));
    }
    texts.push_back(field.digits == 20   ? "18446744073709551615"
                    : field.digits == 10 ? "4294967295"
                                         : "1");
    for (const std::string& text : texts) {
      auto record = NewDravikTracerEvent(static_cast<DravikTracerEventType>(field.type), kActivity);
      record->device_id = 0;
      field.set(record.get(), std::stoull(text));
      const EventRecord event = AddActivityEventToPlane(*record, "", false, &names);
      EXPECT_EQ(StatText(event, field.stat), text) << field.stat << " of type " << field.type;
    }
  }
}

// The queueing delays in ms, single precision, "%f" and " ms", at every width of their integral
// part up to the largest gap (all 64 bits).
TEST(DevicePlanesTest, LatencyFiguresAtEveryDigitCount) {
  const struct {
    uint64_t gap_ns;
    const char* text;
  } rows[] = {
      {0, "0.000000 ms"},
      {1, "0.000001 ms"},
      {999, "0.000999 ms"},
      {1500000, "1.500000 ms"},
      {12000000, "12.000000 ms"},
      {123000000, "123.000000 ms"},
      {1234000000, "1234.000000 ms"},
      {12345000000, "12345.000000 ms"},
      {123456000000, "123455.992188 ms"},  // single precision shows
      {1234567000000, "1234567.000000 ms"},
      {12345678000000, "12345678.000000 ms"},
      {123456789000000, "123456792.000000 ms"},
      {1234567890000000, "1234567936.000000 ms"},
      {12345678901000000, "12345678848.000000 ms"},
      {123456789012000000, "123456790528.000000 ms"},
      {1234567890123000000, "1234567954432.000000 ms"},
      {12345678901234000000u, "12345679020032.000000 ms"},
      {~uint64_t{0}, "18446744027136.000000 ms"},
  };
  ExportNameCache names;
  for (const auto& row : rows) {
    auto record = NewDravikTracerEvent(kKernel, kActivity);
    // The received stamp is 2 and the queued one 1 for the largest gap: it wraps.
    record->received_time_ns = row.gap_ns == ~uint64_t{0} ? 2 : 1;
    record->queued_time_ns = record->received_time_ns + row.gap_ns;
    record->submitted_time_ns = record->start_time_ns = record->queued_time_ns;
    const EventRecord event = AddActivityEventToPlane(*record, "Kernel", true, &names);
    EXPECT_EQ(StatText(event, "received_queued"), row.text) << row.gap_ns;
    EXPECT_EQ(StatText(event, "queued_submitted"), "0.000000 ms") << row.gap_ns;
    EXPECT_EQ(StatText(event, "submitted_start"), "0.000000 ms") << row.gap_ns;
  }
}

// Fallback names of unknown values, spelled as stored files carry them.
TEST(DravikEventNamesTest, NamesUnknownValues) {
  const std::pair<std::string, std::string> rows[] = {
      {MemcpyKindName(0), "Unknow"},
      {OverheadKindName(0), "DRAVIK Unknown"},
      {AtomicOperationName(~0u, 2), ""},  // the pair is matched whole: no aliasing
      {KernelShortName(""), "unknown kernel"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(DravikEventNamesTest, FillsPmuDataAndDeviceInfo) {
  KernelPmuCounters pmu;
  pmu.valid = true;
  for (int i = 0; i < KernelPmuCounters::kSlots; ++i) pmu.counters[i] = 100 + i;
  KernelPmuCounters core_missing = pmu;
  core_missing.counters[0] = core_missing.counters[1] = kNone;
  // A byte counter is core + memcore; a missing part must not wrap the sum.
  const struct {
    const KernelPmuCounters& pmu;
    uint64_t write_bytes, read_bytes;
  } cases[] = {{pmu, 213, 215}, {core_missing, 113, 114}, {KernelPmuCounters{}, kNone, kNone}};
  for (const auto& c : cases) {
    XEvent event;
    event.mutable_pmu_data()->set_vector_ops(7);
    XEventBuilder builder(nullptr, nullptr, &event);
    FillPmuData(&builder, c.pmu);
    const PmuData& d = event.pmu_data();
    EXPECT_EQ(event.pmu_data_flag(), c.pmu.valid) << c.write_bytes;
    EXPECT_EQ(d.io_dma_write_bytes(), c.write_bytes);
    EXPECT_EQ(d.io_dma_read_bytes(), c.read_bytes);
    const uint64_t* s = c.pmu.counters;
    const uint64_t got[] = {d.tlb_write_access(), d.tlb_read_access(), d.tlb_write_miss(),
                            d.tlb_read_miss(), d.lt_cycles(), d.ct_cycles(), d.alu_cycles(),
                            d.csimd_pre_cycles(), d.csimd_post_cycles(), d.dram_read_cycles(),
                            d.dram_write_cycles(), d.field14(), d.mac_ops(), d.vector_ops()};
    const uint64_t want[] = {s[2], s[3], s[4], s[5], s[6], s[9], s[7],
                             s[8], s[9], s[10], s[11], s[12], kNone, 7};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "field #" << i;
  }
  XEvent event;
  event.mutable_device_info()->set_peak_performance(2.5);
  XEventBuilder builder(nullptr, nullptr, &event);
  FillDeviceInfo(&builder, DeviceAttributes{kDravikNoId32, 0xFFFFFFF0u, 8, 4, 3.25});
  DeviceInfo info;  // fields 5 and 7 untouched; no sign extension
  info.set_zra_type(UnknownZraType);
  info.set_frequency(0xFFFFFFF0u);
  info.set_core_count(8);
  info.set_top_bandwidth(3.25);
  info.set_core_used(4);
  info.set_peak_performance(2.5);
  EXPECT_EQ(event.device_info().SerializeAsString(), info.SerializeAsString());
}

// A record that started before the session start is on no plane, and its queue gets no kind
// (nor a line) from it; one that starts at the session start is kept.
TEST(DevicePlanesTest, DropsRecordsThatStartBeforeTheSession) {
  const struct {
    Given given;
    bool kept;
  } rows[] = {
      {{kKernel, 0, 1, 3, kStart, kStart + 10, "at_start", kNone}, true},
      {{kKernel, 0, 2, 9, kStart - 1, kStart + 10, "early", kNone}, false},
      {{kMemcpy, 0, 3, 3, kStart - 1, kStart + 10, "", kNone}, false},
      {{kOverhead, 0, kNoId, 12, kStart - 1, kStart + 10, "", kNone}, false},
      {{kGeneric, kNoId, 4, 11, kStart - 5, kStart + 1, "qxEarly", kNone}, false},
      {{kGeneric, kNoId, 5, 11, kStart, kStart + 2, "qxAtStart", kNone}, true},
  };
  DravikTracerCollectorImpl collector(kStart);
  for (const auto& row : rows) Add(&collector, row.given);
  CorrelationIndex correlations;
  BuildCorrelationIndex(&collector, &correlations);
  XSpace space;
  XPlaneBuilder device(space.add_planes()), api(space.add_planes()), host(space.add_planes());
  const std::map<uint32_t, DeviceAttributes> attributes;
  const DeviceExportInputs inputs{kStart, &correlations, &attributes, false};
  for (auto& [id, list] : collector.events_by_device) {
    ExportToXSpace(&list, inputs, id == 0 ? &device : &api, &host);
  }
  for (const auto& row : rows) {
    const bool api = row.given.type == kGeneric;
    std::string name = "##" + std::string(row.given.name);
    if (row.given.type == kMemcpy) name = "##MemcpyUnknow";  // copy kind 0
    if (row.given.type == kOverhead) name = "Buffer Flush";
    const XPlane& plane = api || row.given.type == kOverhead ? host.plane() : device.plane();
    EXPECT_EQ(testing::EventsNamed(plane, name).size(), row.kept ? 1u : 0u) << name;
  }
  ASSERT_EQ(device.plane().lines_size(), 1);
  EXPECT_EQ(device.plane().lines(0).name(), "Queue #3(Compute,)");
}

// The device-plane record of kinds not seen above: names, group and stats in the order added.
TEST(DevicePlanesTest, PeerCopyAndUnknownActivities) {
  const struct {
    int32_t type;
    std::string display, group, metadata, stats;
  } rows[] = {
      {kMemcpyPeer, "Memcpy P2P", "Memcpy P2P", "##Memcpy P2P",
       "device_id=2 is_host=false flow_event_cat=MemcpyP2P size=4096 src_device=2 dst_device=3"},
      // No parser makes such a record; it must still come out named.
      {kGeneric, "unknown", "unknown", "##unknown",
       "device_id=2 is_host=false flow_event_cat=MemcpyP2P"},
  };
  for (const auto& row : rows) {
    auto record = NewDravikTracerEvent(static_cast<DravikTracerEventType>(row.type), kActivity);
    record->device_id = 2;
    record->memcpy_peer = {4096, 2, 3};
    ExportNameCache names;
    const EventRecord event = AddActivityEventToPlane(*record, "MemcpyP2P", false, &names);
    std::string stats;
    for (const auto& [key, value] : event.stats) {
      stats += (stats.empty() ? "" : " ") + std::string(key) + "=" + value;
    }
    EXPECT_EQ(event.display_name, row.display) << row.type;
    EXPECT_EQ(event.group, row.group) << row.type;
    EXPECT_EQ(event.metadata_name, row.metadata) << row.type;
    EXPECT_EQ(stats, row.stats) << row.type;
  }
}

// The line that says why a late kernel was dropped, at log level 0.
ZENTRIK_CHILD_SCENARIO(LateKernelLine) {
  auto record = NewDravikTracerEvent(kKernel, kActivity);
  record->name = "gemm(float*)";
  record->received_time_ns = 10;
  record->queued_time_ns = 20;
  record->submitted_time_ns = 5000;
  record->start_time_ns = 5000 + uint64_t{100001} * 1000000;
  ExportNameCache names;
  testing::StderrCapture capture;
  const bool dropped = AddActivityEventToPlane(*record, "Kernel", true, &names).dropped;
  for (const std::string& line :
       testing::LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer")) {
    printf("%s\n", line.c_str());
  }
  return dropped ? 0 : 1;
}

TEST(DevicePlanesTest, LogsWhyALateKernelIsDropped) {
  const testing::ChildResult child =
      testing::RunScenario("LateKernelLine", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(child.out,
            "INFO Submitted_start time of gemm is larger than 1e5 ms: 100001 ms, drop it. "
            "start_time_ns: 100001005000 submitted_time_ns: 5000\n");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
