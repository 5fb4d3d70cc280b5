// Post-processing of a collected space (sorting, normalising, grouping, step
// lines), on a realistic large space and on deep chains of identical events.
// The "per_event" counter is the time per event; a deep chain must cost about
// what a realistic event does, or some walk over parents or children is
// quadratic.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "trace/core/convert/post_process_single_host_xplane.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kSessionStartNs = 1'000'000'000;

constexpr int kHostThreads = 8;
constexpr int kHostEventsPerThread = 125'000;
constexpr int kDeviceEvents = 200'000;
constexpr int kDevices = 2;
constexpr int kQueuesPerDevice = 4;
// One step: the step itself and kOpsPerStep ops, each holding a kernel launch
// and a nested scope.
constexpr int kOpsPerStep = 8;
constexpr int kEventsPerStep = 1 + 3 * kOpsPerStep;
constexpr int64_t kOpPs = 10'000'000;  // 10 us per op
constexpr int64_t kStepPs = kOpsPerStep * kOpPs + 1'000'000;

struct PlaneWriter {
  explicit PlaneWriter(XPlane* plane)
      : builder(plane),
        traceme_flag(builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::traceme_flag))),
        root(builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::_r))),
        correlation_id(builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::correlation_id))) {}

  XEventBuilder Add(XLineBuilder* line, const std::string& name, int64_t offset_ps,
                    int64_t duration_ps) {
    XEventBuilder event = line->AddEvent(*builder.GetOrCreateEventMetadata(name));
    event.SetOffsetPs(offset_ps);
    event.SetDurationPs(duration_ps);
    return event;
  }

  XPlaneBuilder builder;
  const XStatMetadata* traceme_flag;
  const XStatMetadata* root;
  const XStatMetadata* correlation_id;
};

// 8 host threads of nested steps, ops, launches and scopes, written in the
// order scopes end (inner first), as the host tracer records them. The first
// kDeviceEvents launches have their kernel on a device queue.
XSpace MakeRealisticSpace() {
  XSpace space;
  PlaneWriter host(space.add_planes());
  host.builder.SetName(kHostPlaneName);
  std::deque<PlaneWriter> devices;
  for (int d = 0; d < kDevices; ++d) {
    XPlane* plane = space.add_planes();
    plane->set_name(kDevicePlanePrefix + std::to_string(d));
    plane->set_id(d);
    devices.emplace_back(plane);
  }
  uint64_t next_correlation_id = 0;
  uint64_t device_events = 0;
  for (int thread = 0; thread < kHostThreads; ++thread) {
    XLineBuilder line = host.builder.GetOrCreateLine(thread + 1);
    line.SetName("worker/" + std::to_string(thread + 1));
    line.SetTimestampNs(kSessionStartNs);
    line.ReserveEvents(kHostEventsPerThread);
    for (int step = 0; step < kHostEventsPerThread / kEventsPerStep; ++step) {
      const int64_t step_start = step * kStepPs + thread * 1000;
      for (int op = 0; op < kOpsPerStep; ++op) {
        const int64_t op_start = step_start + 500'000 + op * kOpPs;
        const uint64_t correlation_id = next_correlation_id++;
        host.Add(&line, "op_scope", op_start + 4'000'000, 2'000'000)
            .AddStatValue(*host.traceme_flag, int64_t{1});
        XEventBuilder launch = host.Add(&line, "op##qxInvokeKernel", op_start + 1'000'000, 500'000);
        launch.AddStatValue(*host.correlation_id, correlation_id);
        host.Add(&line, "MatMul", op_start, kOpPs - 1'000'000)
            .AddStatValue(*host.traceme_flag, int64_t{1});
        if (device_events < kDeviceEvents) {
          ++device_events;
          PlaneWriter& device = devices[correlation_id % kDevices];
          const int queue = static_cast<int>(correlation_id / kDevices % kQueuesPerDevice);
          XLineBuilder device_line = device.builder.GetOrCreateLine(queue);
          device_line.SetTimestampNs(kSessionStartNs);
          device.Add(&device_line, "op##gemm", op_start + 2'000'000, 3'000'000)
              .AddStatValue(*device.correlation_id, correlation_id);
        }
      }
      XEventBuilder step_event = host.Add(&line, "Step", step_start, kStepPs - 1000);
      step_event.AddStatValue(*host.traceme_flag, int64_t{1});
      step_event.AddStatValue(*host.root, int64_t{1});
    }
  }
  return space;
}

// Deep chains of identical events, one per way a naive walk goes to the top
// of the chain for every event.
enum ChainKind {
  kNamedLaunches,    // every launch looks up a correlation id no one carries
  kNamedExecutions,  // every execution inherits the id of the chain's top
  kRoots,            // every event is a root below the others
  kInheritedIds,     // launches and executions both inherit their id
};

constexpr int kChainDepth = 10'000;

// A device kernel with correlation id 5 and, below it, a chain of identical
// executions without an id of their own.
void AddExecutionChain(XSpace* space) {
  XPlane* plane = space->add_planes();
  plane->set_name(std::string(kDevicePlanePrefix) + "0");
  PlaneWriter device(plane);
  XLineBuilder line = device.builder.GetOrCreateLine(1);
  line.SetTimestampNs(kSessionStartNs);
  device.Add(&line, "kernel", 0, 2000).AddStatValue(*device.correlation_id, uint64_t{5});
  for (int i = 0; i < kChainDepth; ++i) device.Add(&line, "TaskExecute", 0, 1000);
}

XSpace MakeChainSpace(ChainKind kind) {
  XSpace space;
  PlaneWriter host(space.add_planes());
  host.builder.SetName(kHostPlaneName);
  XLineBuilder host_line = host.builder.GetOrCreateLine(1);
  host_line.SetTimestampNs(kSessionStartNs);
  switch (kind) {
    case kNamedLaunches:
      for (int i = 0; i < kChainDepth; ++i) host.Add(&host_line, "TaskLaunch", 0, 1000);
      break;
    case kRoots:
      for (int i = 0; i < kChainDepth; ++i) {
        host.Add(&host_line, "Step", 0, 1000).AddStatValue(*host.root, int64_t{1});
      }
      break;
    case kNamedExecutions: {
      XEventBuilder step = host.Add(&host_line, "Step", 0, 1000);
      step.AddStatValue(*host.root, int64_t{1});
      host.Add(&host_line, "launch", 0, 10).AddStatValue(*host.correlation_id, uint64_t{5});
      AddExecutionChain(&space);
      break;
    }
    case kInheritedIds: {
      // Every execution joins the deepest launch, whose id is far up its own
      // chain: walks that climb both chains again per event are quadratic.
      host.Add(&host_line, "api", 0, 2000).AddStatValue(*host.correlation_id, uint64_t{5});
      for (int i = 0; i < kChainDepth; ++i) host.Add(&host_line, "TaskLaunch", 0, 1000);
      AddExecutionChain(&space);
      break;
    }
  }
  return space;
}

void RunPostProcessing(benchmark::State& state, const XSpace& input) {
  const int64_t events = CountEvents(input);
  for (auto _ : state) {
    state.PauseTiming();
    auto* space = new XSpace(input);
    state.ResumeTiming();
    PostProcessSingleHostXSpace(space, kSessionStartNs);
    state.PauseTiming();
    delete space;
    state.ResumeTiming();
  }
  state.counters["events"] = static_cast<double>(events);
  state.counters["per_event"] = benchmark::Counter(
      static_cast<double>(events),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_RealisticSpace(benchmark::State& state) {
  static const XSpace* const kSpace = new XSpace(MakeRealisticSpace());
  RunPostProcessing(state, *kSpace);
}
BENCHMARK(BM_RealisticSpace)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_DeepChain(benchmark::State& state) {
  const XSpace space = MakeChainSpace(static_cast<ChainKind>(state.range(0)));
  RunPostProcessing(state, space);
}
BENCHMARK(BM_DeepChain)
    ->ArgName("kind")
    ->Arg(kNamedLaunches)
    ->Arg(kNamedExecutions)
    ->Arg(kRoots)
    ->Arg(kInheritedIds)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
