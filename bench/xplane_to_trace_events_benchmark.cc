// Conversion of an XSpace into the trace-viewer container: a space of
// 1,000,000 host kernel launches and 1,000,000 device kernels with PMU
// counters, shaped as the device tracer writes them. Reports time and heap
// bytes per event; the baseline, measured in the same run, is a deep copy of
// the same space (the cost of materialising that much protobuf data).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "bench/bench_support.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/trace_events.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace {

// Heap accounting: every allocation of the program goes through these.
std::atomic<int64_t> live_bytes{0};
std::atomic<int64_t> peak_bytes{0};

void* CountedAlloc(size_t size) {
  void* pointer = malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) throw std::bad_alloc();
  const int64_t now = live_bytes += malloc_usable_size(pointer);
  int64_t peak = peak_bytes.load(std::memory_order_relaxed);
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return pointer;
}

void CountedFree(void* pointer) {
  if (pointer == nullptr) return;
  live_bytes -= malloc_usable_size(pointer);
  free(pointer);
}

}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* pointer) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, size_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, size_t) noexcept { CountedFree(pointer); }

namespace zentrik {
namespace trace {
namespace {

constexpr int kEventsPerSide = 1000000;
constexpr int kThreads = 8;
constexpr int kQueues = 4;
constexpr int kKernelNames = 200;

// Counters 1 to 14 read for a kernel that ran `duration_ns`.
PmuData KernelCounters(uint64_t seed, uint64_t duration_ns) {
  PmuData counters;
  counters.set_io_dma_write_bytes(4096 + seed % 977);
  counters.set_io_dma_read_bytes(8192 + seed % 1931);
  counters.set_tlb_write_access(seed % 101);
  counters.set_tlb_read_access(seed % 103);
  counters.set_tlb_write_miss(seed % 7);
  counters.set_tlb_read_miss(seed % 11);
  counters.set_lt_cycles(10000 + seed % 5003);
  counters.set_ct_cycles(2000 + seed % 307);
  counters.set_alu_cycles(3000 + seed % 401);
  counters.set_csimd_pre_cycles(500 + seed % 53);
  counters.set_csimd_post_cycles(2000 + seed % 307);
  counters.set_dram_read_cycles(7000 + seed % 211);
  counters.set_dram_write_cycles(6000 + seed % 199);
  counters.set_field14(duration_ns);
  counters.set_mac_ops(~uint64_t{0});
  counters.set_vector_ops(~uint64_t{0});
  return counters;
}

XSpace BuildSpace() {
  XSpace space;
  XPlane* host_plane = space.add_planes();
  host_plane->set_name(kHostPlaneName);
  XPlane* device_plane = space.add_planes();
  device_plane->set_name(std::string(kDevicePlanePrefix) + "0");
  device_plane->set_id(0);
  XPlaneBuilder host(host_plane);
  XPlaneBuilder device(device_plane);

  XEventMetadata* launch = host.GetOrCreateEventMetadata("matmul_op##qxInvokeKernel");
  launch->set_display_name("qxInvokeKernel");
  std::vector<XEventMetadata*> kernels;
  for (int k = 0; k < kKernelNames; ++k) {
    const std::string name = "fused_kernel_" + std::to_string(k);
    XEventMetadata* metadata = device.GetOrCreateEventMetadata("matmul_op##" + name + "(int*)");
    metadata->set_display_name(name);
    kernels.push_back(metadata);
  }
  const auto stats = [](XPlaneBuilder& plane) {
    return std::array<const XStatMetadata*, 6>{plane.GetOrCreateStatMetadata("correlation_id"),
                                               plane.GetOrCreateStatMetadata("flow_event_cat"),
                                               plane.GetOrCreateStatMetadata("is_host"),
                                               plane.GetOrCreateStatMetadata("op_fullname"),
                                               plane.GetOrCreateStatMetadata("device_id"),
                                               plane.GetOrCreateStatMetadata("kernel_details")};
  };
  const auto host_stats = stats(host);
  const auto device_stats = stats(device);
  const DeviceInfo device_info = Acc401();

  for (int i = 0; i < kEventsPerSide; ++i) {
    const uint64_t correlation_id = i + 1;
    const int64_t start_ps = int64_t{i} * 5000000;
    const uint64_t kernel_ns = 1000 + i % 3000;

    XLineBuilder thread = host.GetOrCreateLine(1000 + i % kThreads);
    XEventBuilder call = thread.AddEvent(*launch);
    call.SetOffsetPs(start_ps);
    call.SetDurationPs(20000);
    call.AddStatValue(*host_stats[0], correlation_id);
    call.AddStatValue(*host_stats[1], "Kernel");
    call.AddStatValue(*host_stats[2], "true");
    call.AddStatValue(*host_stats[3], "model/layer_3/matmul_op");
    call.InitPmuData(false);
    call.SetPmuData(KernelCounters(i, kernel_ns));
    call.mutable_event()->set_pmu_data_flag(true);
    call.SetDeviceInfo(device_info);

    XLineBuilder queue = device.GetOrCreateLine(i % kQueues);
    XEventBuilder kernel = queue.AddEvent(*kernels[i % kKernelNames]);
    kernel.SetOffsetPs(start_ps + 30000);
    kernel.SetDurationPs(kernel_ns * 1000);
    kernel.AddStatValue(*device_stats[0], correlation_id);
    kernel.AddStatValue(*device_stats[1], "Kernel");
    kernel.AddStatValue(*device_stats[2], "false");
    kernel.AddStatValue(*device_stats[3], "model/layer_3/matmul_op");
    kernel.AddStatValue(*device_stats[4], "0");
    kernel.AddStatValue(*device_stats[5], "regs:32 static_shared:0");
    kernel.InitPmuData(false);
    kernel.InitPmuData(true);
    kernel.SetPmuData(KernelCounters(i, kernel_ns));
    kernel.mutable_event()->set_pmu_data_flag(true);
    kernel.SetDeviceInfo(device_info);
  }
  for (int t = 0; t < kThreads; ++t) host.GetOrCreateLine(1000 + t).SetName("worker");
  for (int q = 0; q < kQueues; ++q) device.GetOrCreateLine(q).SetName("queue");
  return space;
}

const XSpace& Space() {
  static const XSpace* const space = new XSpace(BuildSpace());
  return *space;
}

void SetPerEventCounters(benchmark::State& state, int64_t retained, int64_t peak) {
  const double events = 2.0 * kEventsPerSide;
  state.SetItemsProcessed(state.iterations() * 2 * kEventsPerSide);
  state.counters["retained_bytes_per_event"] = retained / events;
  state.counters["peak_bytes_per_event"] = peak / events;
}

void BM_ConvertXSpaceToTraceEvents(benchmark::State& state) {
  const XSpace& space = Space();
  {
    Trace warm_up;
    ConvertXSpaceToTraceEvents(space, &warm_up);
  }
  int64_t retained = 0, peak = 0;
  for (auto _ : state) {
    const int64_t before = live_bytes;
    peak_bytes = before;
    auto trace = std::make_unique<Trace>();
    ConvertXSpaceToTraceEvents(space, trace.get());
    benchmark::DoNotOptimize(trace->trace_events_size());
    state.PauseTiming();
    retained = live_bytes - before;
    peak = peak_bytes - before;
    if (trace->trace_events_size() != 2 * kEventsPerSide) state.SkipWithError("events lost");
    trace.reset();
    state.ResumeTiming();
  }
  SetPerEventCounters(state, retained, peak);
}

// Baseline: a deep copy of the same space.
void BM_CopyXSpace(benchmark::State& state) {
  const XSpace& space = Space();
  { XSpace warm_up(space); }
  int64_t retained = 0, peak = 0;
  for (auto _ : state) {
    const int64_t before = live_bytes;
    peak_bytes = before;
    auto copy = std::make_unique<XSpace>(space);
    benchmark::DoNotOptimize(copy->planes_size());
    state.PauseTiming();
    retained = live_bytes - before;
    peak = peak_bytes - before;
    copy.reset();
    state.ResumeTiming();
  }
  SetPerEventCounters(state, retained, peak);
}

BENCHMARK(BM_CopyXSpace)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ConvertXSpaceToTraceEvents)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace trace
}  // namespace zentrik

int main(int argc, char** argv) {
  // Keep freed memory in the heap: page faults in this workplace cost several
  // microseconds each and would otherwise dominate both figures. Each
  // benchmark also runs once untimed first, so the timed runs reuse memory.
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_MXFAST, 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
