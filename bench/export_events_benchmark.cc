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
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
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

XEventBuilder AddEvent(XPlaneBuilder& plane, XLineBuilder& line, const std::string& name,
                       int64_t start_ns, int64_t end_ns) {
  XEventBuilder event = line.AddEvent(*plane.GetOrCreateEventMetadata(name));
  event.SetOffsetPs(start_ns * 1000);
  event.SetDurationPs((end_ns - start_ns) * 1000);
  return event;
}

// Host threads of steps of ops, each op with a nested pair of events and one
// kernel launch (every fifth a memory copy, every seventh a memory set); the
// device activity spread over two devices with four queues each.
std::string BuildSpaceBytes() {
  XSpace space;
  XPlane* host_plane = space.add_planes();
  host_plane->set_name(kHostPlaneName);
  XPlaneBuilder host(host_plane);
  const XStatMetadata& correlation = *host.GetOrCreateStatMetadata("correlation_id");
  const XStatMetadata& traceme = *host.GetOrCreateStatMetadata("traceme_correlation_id");
  const XStatMetadata& flow = *host.GetOrCreateStatMetadata("flow_event_cat");

  std::vector<std::unique_ptr<XPlaneBuilder>> devices;
  std::vector<XLineBuilder> queues;
  for (int d = 0; d < kDevices; ++d) {
    XPlane* plane = space.add_planes();
    plane->set_id(d);
    plane->set_name(kDevicePlanePrefix + std::to_string(d));
    devices.push_back(std::make_unique<XPlaneBuilder>(plane));
    for (int q = 0; q < 4; ++q) queues.push_back(devices.back()->GetOrCreateLine(q));
  }

  uint64_t correlation_id = 1;
  for (int t = 0; t < kThreads; ++t) {
    XLineBuilder line = host.GetOrCreateLine(1000 + t);
    line.SetName("worker/" + std::to_string(1000 + t));
    line.SetTimestampNs(1'000'000);
    int64_t now = 0;
    for (int s = 0; s < kStepsPerThread; ++s) {
      AddEvent(host, line, "ProfilerStep:train_step", now, now + kOpsPerStep * 100 + 2000)
          .AddStatValue(traceme, int64_t{s});
      for (int i = 0; i < kOpsPerStep; ++i, now += 100) {
        const std::string op = "model/block_" + std::to_string(i) + "/Conv2D";
        AddEvent(host, line, op + ":Conv2D", now + 1, now + 99).AddStatValue(traceme, int64_t{i});
        AddEvent(host, line, op + "/prepare:ComputeTask", now + 2, now + 50)
            .AddStatValue(traceme, int64_t{i});
        XEventBuilder call = AddEvent(host, line, op + "##qxInvokeKernel", now + 10, now + 20);
        call.AddStatValue(correlation, correlation_id);
        call.AddStatValue(flow, "Kernel");
        AddEvent(host, line, op + "/finish:ComputeTask", now + 60, now + 90)
            .AddStatValue(traceme, int64_t{i});

        const int d = static_cast<int>(correlation_id % kDevices);
        XPlaneBuilder& device = *devices[d];
        const std::string activity = correlation_id % 5 == 0   ? "MemcpyH2D"
                                     : correlation_id % 7 == 0 ? "Memset"
                                                               : "conv2d_fp16_kernel(half*, int)";
        AddEvent(device, queues[d * 4 + (correlation_id / kDevices) % 4], op + "##" + activity,
                 now + 30, now + 80)
            .AddStatValue(*device.GetOrCreateStatMetadata("correlation_id"), correlation_id);
        ++correlation_id;
      }
      for (int i = 0; i < kFlatEventsPerStep; ++i, now += 80) {
        AddEvent(host, line, "host_io_" + std::to_string(i) + ":Recv", now + 10, now + 70)
            .AddStatValue(traceme, int64_t{i});
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

constexpr char kPeakModeVariable[] = "ZENTRIK_BENCH_PEAK_MODE";

// The measuring process: builds the bytes, hands freed memory back, starts
// the peak afresh and prints how far the peak rose above the resident size.
int MeasurePeak(const std::string& mode) {
  const std::string bytes = BuildSpaceBytes();
  malloc_trim(0);
  if (!ResetPeakResident()) return 1;
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
