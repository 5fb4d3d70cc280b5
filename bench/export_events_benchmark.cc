// ExportEvents on a space of 1,000,000 host events and 200,000 device events.
//
// Time: BM_ExportEvents against BM_ParseXSpace, the parse of the same bytes
// that ExportEvents does first. Both report items = every event of the space.
//
// Peak memory: BM_PeakMemory runs the work once in a fresh process (this
// program again), which builds the bytes, returns freed memory (malloc_trim),
// resets its peak resident size (/proc/self/clear_refs) and reports how far
// the peak (VmHWM) rose above the resident size (VmRSS) before the work, per
// event of the space. The result vector is alive at the end, so it counts.
// Run a Release build: `export_events_benchmark`.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/export_events.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kThreads = 8;
constexpr int kStepsPerThread = 1000;
constexpr int kOpsPerStep = 25;
constexpr int kFlatEventsPerStep = 24;
constexpr int kDevices = 2;
// Per step: the step, per op the op, its two inner events and one API call,
// and the flat events: 1 + 25 * 4 + 24 = 125 host events, 25 of them calls.
constexpr int64_t kHostEvents = int64_t{kThreads} * kStepsPerThread * 125;
constexpr int64_t kDeviceEvents = int64_t{kThreads} * kStepsPerThread * kOpsPerStep;
constexpr int64_t kAllEvents = kHostEvents + kDeviceEvents;

// Metadata tables of one plane, filled as events name them.
class PlaneWriter {
 public:
  explicit PlaneWriter(XPlane* plane) : plane_(plane) {}

  int64_t EventMetadata(const std::string& name) {
    const int64_t id = plane_->event_metadata_size() + 1;
    XEventMetadata& metadata = (*plane_->mutable_event_metadata())[id];
    metadata.set_id(id);
    metadata.set_name(name);
    return id;
  }
  int64_t StatMetadata(const std::string& name) {
    const int64_t id = plane_->stat_metadata_size() + 1;
    XStatMetadata& metadata = (*plane_->mutable_stat_metadata())[id];
    metadata.set_id(id);
    metadata.set_name(name);
    return id;
  }

 private:
  XPlane* plane_;
};

XEvent* AddEvent(XLine* line, int64_t metadata_id, int64_t start_ns, int64_t end_ns) {
  XEvent* event = line->add_events();
  event->set_metadata_id(metadata_id);
  event->set_offset_ps(start_ns * 1000);
  event->set_duration_ps((end_ns - start_ns) * 1000);
  return event;
}

void AddStat(XEvent* event, int64_t metadata_id, const std::string& value) {
  XStat* stat = event->add_stats();
  stat->set_metadata_id(metadata_id);
  stat->set_str_value(value);
}

// Host threads of steps of ops, each op with a nested pair of events and one
// kernel launch (every fifth a memory copy, every seventh a memory set); the
// device activity spread over two devices with four queues each.
std::string BuildSpaceBytes() {
  XSpace space;
  XPlane* host = space.add_planes();
  host->set_name("/host:CPU");
  PlaneWriter host_writer(host);
  const int64_t correlation = host_writer.StatMetadata("correlation_id");
  const int64_t traceme = host_writer.StatMetadata("traceme_correlation_id");
  const int64_t flow = host_writer.StatMetadata("flow_event_cat");
  const int64_t step_name = host_writer.EventMetadata("ProfilerStep:train_step");
  std::vector<int64_t> op_names, inner_names, flat_names;
  for (int i = 0; i < kOpsPerStep; ++i) {
    const std::string op = "model/block_" + std::to_string(i) + "/Conv2D";
    op_names.push_back(host_writer.EventMetadata(op + ":Conv2D"));
    inner_names.push_back(host_writer.EventMetadata(op + "/prepare:ComputeTask"));
  }
  for (int i = 0; i < kFlatEventsPerStep; ++i) {
    flat_names.push_back(host_writer.EventMetadata("host_io_" + std::to_string(i) + ":Recv"));
  }
  const int64_t launch = host_writer.EventMetadata("model/Conv2D##qxInvokeKernel");

  std::vector<XPlane*> devices;
  std::vector<int64_t> device_correlation, kernel_names;
  std::vector<int64_t> copy_name, set_name;
  for (int d = 0; d < kDevices; ++d) {
    XPlane* device = space.add_planes();
    device->set_id(d);
    device->set_name("/device:ZRA:" + std::to_string(d));
    PlaneWriter writer(device);
    device_correlation.push_back(writer.StatMetadata("correlation_id"));
    copy_name.push_back(writer.EventMetadata("model/Conv2D##MemcpyH2D"));
    set_name.push_back(writer.EventMetadata("model/Conv2D##Memset"));
    for (int i = 0; i < kOpsPerStep; ++i) {
      writer.EventMetadata("model/block_" + std::to_string(i) +
                           "/Conv2D##conv2d_fp16_kernel(half*, half*, int, int)");
    }
    devices.push_back(device);
  }

  uint64_t next_correlation = 1;
  std::vector<XLine*> queues;
  for (XPlane* device : devices) {
    for (int q = 0; q < 4; ++q) {
      XLine* queue = device->add_lines();
      queue->set_id(q);
      queues.push_back(queue);
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    XLine* line = host->add_lines();
    line->set_id(1000 + t);
    line->set_name("worker/" + std::to_string(1000 + t));
    line->set_timestamp_ns(1'000'000);
    int64_t now = 0;
    for (int s = 0; s < kStepsPerThread; ++s) {
      XEvent* step = AddEvent(line, step_name, now, now + kOpsPerStep * 100 + 2000);
      step->add_stats()->set_metadata_id(traceme);
      step->mutable_stats(0)->set_int64_value(s);
      for (int i = 0; i < kOpsPerStep; ++i, now += 100) {
        XEvent* op = AddEvent(line, op_names[i], now + 1, now + 99);
        op->add_stats()->set_metadata_id(traceme);
        op->mutable_stats(0)->set_int64_value(i);
        XEvent* inner = AddEvent(line, inner_names[i], now + 2, now + 50);
        inner->add_stats()->set_metadata_id(traceme);
        inner->mutable_stats(0)->set_int64_value(i);
        XEvent* call = AddEvent(line, launch, now + 10, now + 20);
        XStat* id = call->add_stats();
        id->set_metadata_id(correlation);
        id->set_uint64_value(next_correlation);
        AddStat(call, flow, "Kernel");
        XEvent* after = AddEvent(line, inner_names[i], now + 60, now + 90);
        after->add_stats()->set_metadata_id(traceme);
        after->mutable_stats(0)->set_int64_value(i);

        const int d = static_cast<int>(next_correlation % kDevices);
        XLine* queue = queues[d * 4 + (next_correlation / kDevices) % 4];
        const int64_t metadata = next_correlation % 5 == 0   ? copy_name[d]
                                 : next_correlation % 7 == 0 ? set_name[d]
                                                             : 3 + i;
        XEvent* activity = AddEvent(queue, metadata, now + 30, now + 80);
        XStat* device_id = activity->add_stats();
        device_id->set_metadata_id(device_correlation[d]);
        device_id->set_uint64_value(next_correlation);
        ++next_correlation;
      }
      for (int i = 0; i < kFlatEventsPerStep; ++i, now += 80) {
        XEvent* flat = AddEvent(line, flat_names[i], now + 10, now + 70);
        flat->add_stats()->set_metadata_id(traceme);
        flat->mutable_stats(0)->set_int64_value(i);
      }
      now += 200;
    }
  }
  std::string bytes;
  space.SerializeToString(&bytes);
  return bytes;
}

const std::string& SpaceBytes() {
  static const std::string* bytes = new std::string(BuildSpaceBytes());
  return *bytes;
}

void BM_ParseXSpace(benchmark::State& state) {
  const std::string& bytes = SpaceBytes();
  for (auto _ : state) {
    XSpace space;
    benchmark::DoNotOptimize(space.ParseFromString(bytes));
    state.PauseTiming();  // Destroying the space is not part of the work.
    space.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAllEvents);
}
BENCHMARK(BM_ParseXSpace)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

void BM_ExportEvents(benchmark::State& state) {
  const std::string& bytes = SpaceBytes();
  size_t exported = 0;
  for (auto _ : state) {
    std::vector<ElapseEvent> events;
    if (!ExportEvents(&bytes, nullptr, &events)) state.SkipWithError("ExportEvents failed");
    exported = events.size();
    state.PauseTiming();
    events = {};
    state.ResumeTiming();
  }
  state.counters["host_events_out"] = static_cast<double>(exported);
  state.SetItemsProcessed(state.iterations() * kAllEvents);
}
BENCHMARK(BM_ExportEvents)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

// A "Vm...:" figure of /proc/self/status, in bytes; -1 when unreadable.
int64_t StatusBytes(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  int64_t kib = -1;
  char line[256];
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::strncmp(line, field, length) == 0) kib = std::atoll(line + length);
  }
  std::fclose(status);
  return kib < 0 ? -1 : kib * 1024;
}

constexpr char kPeakModeVariable[] = "ZENTRIK_BENCH_PEAK_MODE";

// The measuring process: builds the bytes, hands freed memory back, starts
// the peak afresh and prints how far the peak rose above the resident size.
int MeasurePeak(const std::string& mode) {
  const std::string bytes = BuildSpaceBytes();
  malloc_trim(0);
  const int clear = open("/proc/self/clear_refs", O_WRONLY);
  if (clear < 0 || write(clear, "5", 1) != 1) return 1;
  close(clear);
  const int64_t before = StatusBytes("VmRSS:");
  if (mode == "export") {
    std::vector<ElapseEvent> events;
    if (!ExportEvents(&bytes, nullptr, &events)) return 1;
    benchmark::DoNotOptimize(events.data());
  } else {
    XSpace space;
    if (!space.ParseFromString(bytes)) return 1;
    benchmark::DoNotOptimize(space.planes_size());
  }
  const int64_t peak = StatusBytes("VmHWM:");
  if (before < 0 || peak < 0) return 1;
  std::printf("%lld\n", static_cast<long long>(peak - before));
  return 0;
}

// Runs this program again in `mode` (a fresh process, so that no memory an
// earlier benchmark left behind is reused) and returns its figure, or -1.
int64_t PeakGrowth(const char* mode) {
  const std::string command =
      std::string(kPeakModeVariable) + "=" + mode + " /proc/" + std::to_string(getpid()) + "/exe";
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  long long growth = -1;
  if (std::fscanf(child, "%lld", &growth) != 1) growth = -1;
  if (pclose(child) != 0) growth = -1;
  return growth;
}

void BM_PeakMemory(benchmark::State& state, const char* mode) {
  int64_t growth = -1;
  for (auto _ : state) growth = PeakGrowth(mode);
  if (growth < 0) state.SkipWithError("peak measurement failed");
  state.counters["peak_MiB"] = static_cast<double>(growth) / (1 << 20);
  state.counters["peak_bytes_per_event"] = static_cast<double>(growth) / kAllEvents;
}
BENCHMARK_CAPTURE(BM_PeakMemory, ParseXSpace, "parse")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeakMemory, ExportEvents, "export")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

int main(int argc, char** argv) {
  if (const char* mode = std::getenv(zentrik::trace::kPeakModeVariable)) {
    return zentrik::trace::MeasurePeak(mode);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
