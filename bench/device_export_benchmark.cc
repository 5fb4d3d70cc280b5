// Export of 1,000,000 collected device records (half API calls, half kernels
// with PMU counters) into an XSpace: the correlation index plus one export
// pass per device. The floor is a deep copy of the XSpace the export made.
//
// Counters, per record:
//   ns_per_record     wall time of one export (or one copy)
//   peak_heap_bytes   the heap's high-water mark during it, above what was in
//                     use when it began (counted by this program's operator new)
//   export_x          BM_DeviceExport's time over BM_XSpaceDeepCopy's, same run

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "trace/core/internal/zra/device_planes.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_builder.h"

namespace {

std::atomic<int64_t> heap_in_use{0};
std::atomic<int64_t> heap_peak{0};

}  // namespace

void* operator new(size_t size) {
  void* p = malloc(size + 16);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(p) = size;
  const int64_t now = heap_in_use.fetch_add(size, std::memory_order_relaxed) + size;
  int64_t peak = heap_peak.load(std::memory_order_relaxed);
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(p) + 16;
}
// The pointer came from malloc in operator new above, whatever GCC infers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - 16;
  heap_in_use.fetch_sub(*reinterpret_cast<size_t*>(base), std::memory_order_relaxed);
  free(base);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace zentrik {
namespace trace {
namespace {

constexpr int kRecords = 1000000;
double export_ns_per_record = 0;

DravikTracerCollectorImpl& Collector() {
  static DravikTracerCollectorImpl* collector = [] {
    auto* c = new DravikTracerCollectorImpl(1000);
    for (uint32_t i = 0; i < kRecords / 2; ++i) {
      auto api = NewDravikTracerEvent(kGeneric, kApiCallback);
      api->name = "qxInvokeKernel";
      api->thread_id = 100 + i % 8;
      api->correlation_id = i;
      api->start_time_ns = 2000 + 10 * i;
      api->end_time_ns = api->start_time_ns + 3;
      api->cluster_count = 2;
      c->AddEvent(std::move(api));
      auto kernel = NewDravikTracerEvent(kKernel, kActivity);
      kernel->name = i % 2 ? "gemm(float*, int)" : "relu(float*)";
      kernel->device_id = 0;
      kernel->queue_id = 1 + i % 4;
      kernel->correlation_id = i;
      kernel->start_time_ns = 2005 + 10 * i;
      kernel->end_time_ns = kernel->start_time_ns + 4;
      kernel->pmu.valid = true;
      for (uint64_t& counter : kernel->pmu.counters) counter = i;
      c->AddEvent(std::move(kernel));
    }
    c->attributes_by_device[0] = {1, 1500, 8, 8, 3.5};
    return c;
  }();
  return *collector;
}

XSpace Export() {
  DravikTracerCollectorImpl& collector = Collector();
  CorrelationIndex correlations;
  BuildCorrelationIndex(&collector, &correlations);
  XSpace space;
  XPlaneBuilder host(space.add_planes());
  const DeviceExportInputs inputs{collector.start_time_ns, &correlations,
                                  &collector.attributes_by_device, false};
  for (auto& [device_id, list] : collector.events_by_device) {
    XPlaneBuilder device(space.add_planes());
    ExportToXSpace(&list, inputs, &device, &host);
  }
  return space;
}

template <typename Body>
void Measure(benchmark::State& state, Body body) {
  double peak_sum = 0;
  for (auto _ : state) {
    const int64_t base = heap_in_use.load();
    heap_peak.store(base);
    body();
    peak_sum += heap_peak.load() - base;
  }
  state.counters["peak_heap_bytes"] = peak_sum / state.iterations() / kRecords;
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecords,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DeviceExport(benchmark::State& state) {
  Collector();
  const auto start = std::chrono::steady_clock::now();
  Measure(state, [] { benchmark::DoNotOptimize(Export()); });
  export_ns_per_record =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      state.iterations() / kRecords;
}
BENCHMARK(BM_DeviceExport)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_XSpaceDeepCopy(benchmark::State& state) {
  const XSpace space = Export();
  const auto start = std::chrono::steady_clock::now();
  Measure(state, [&space] {
    XSpace copy = space;
    benchmark::DoNotOptimize(copy);
  });
  const double copy_ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      state.iterations() / kRecords;
  state.counters["export_x"] = export_ns_per_record / copy_ns;
}
BENCHMARK(BM_XSpaceDeepCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
