// Device tracing on the producers' paths, each against a baseline of the same
// run. Run with LD_LIBRARY_PATH=<build>/tools/zra_sim/variants/full.
//
//   BM_AddEvent/threads:8          records into the collector's API list
//   BM_MutexDequeFloor/threads:8   the same records into one mutex-guarded
//                                  std::deque: the floor AddEvent is held to
//   BM_TracedApiCall               a simulated driver call with API tracing
//                                  on: entry + exit callbacks + the record
//   BM_UntracedApiCall             the same call with no subscriber
//   BM_ParseActivityBuffer         records/s through ProcessActivityBuffer
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/internal/zra/dravik_tracer.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kRecordsPerThread = 100000;

std::unique_ptr<DravikTracerCollectorImpl> collector;
std::mutex floor_mutex;
std::deque<std::unique_ptr<DravikTracerEvent>> floor_list;

void FreshLists(const benchmark::State&) {
  collector = std::make_unique<DravikTracerCollectorImpl>(0);
  floor_list.clear();
}

void BM_AddEvent(benchmark::State& state) {
  for (auto _ : state) collector->AddEvent(NewDravikTracerEvent(kGeneric, kApiCallback));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddEvent)->Threads(8)->Iterations(kRecordsPerThread)->Setup(FreshLists)->UseRealTime();

void BM_MutexDequeFloor(benchmark::State& state) {
  for (auto _ : state) {
    auto event = NewDravikTracerEvent(kGeneric, kApiCallback);
    std::lock_guard<std::mutex> lock(floor_mutex);
    floor_list.push_back(std::move(event));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexDequeFloor)
    ->Threads(8)
    ->Iterations(kRecordsPerThread)
    ->Setup(FreshLists)
    ->UseRealTime();

// API tracing of the driver domain only, as a session starts it.
void ApiCalls(benchmark::State& state, bool traced) {
  DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton();
  if (!GetDravikInterface()->IsLoaded()) state.SkipWithError("no simulator on LD_LIBRARY_PATH");
  zra_sim::Reset();
  DravikTracerOptions options;
  options.enable_activity = false;
  DravikTracerCollectorImpl sink(0);
  if (traced) tracer->Enable(options, &sink);
  for (auto _ : state) benchmark::DoNotOptimize(zra_sim::Malloc(64));
  if (traced) tracer->Disable();
  state.SetItemsProcessed(state.iterations());
}
void BM_TracedApiCall(benchmark::State& state) { ApiCalls(state, true); }
void BM_UntracedApiCall(benchmark::State& state) { ApiCalls(state, false); }
BENCHMARK(BM_UntracedApiCall)->Iterations(300000);
BENCHMARK(BM_TracedApiCall)->Iterations(300000);

void BM_ParseActivityBuffer(benchmark::State& state) {
  if (!GetDravikInterface()->IsLoaded()) state.SkipWithError("no simulator on LD_LIBRARY_PATH");
  zra_sim::Reset();
  constexpr size_t kRecords = 4096;
  const size_t size = kRecords * sizeof(dravikActivityMemcpy);
  void* block = nullptr;
  if (posix_memalign(&block, 8, size) != 0) return;
  auto* buffer = static_cast<uint8_t*>(block);
  for (size_t i = 0; i < kRecords; ++i) {
    dravikActivityMemcpy record{};
    record.kind = DRAVIK_ACTIVITY_TYPE_MEMCPY;
    record.correlationId = i;
    record.start = 1000 + i;
    record.end = 2000 + i;
    std::memcpy(buffer + i * sizeof(record), &record, sizeof(record));
  }
  DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton();
  DravikTracerOptions options;
  options.enable_callback = false;
  options.activities = {DRAVIK_ACTIVITY_TYPE_MEMCPY};
  std::unique_ptr<DravikTracerCollectorImpl> sink;
  for (auto _ : state) {
    state.PauseTiming();
    sink = std::make_unique<DravikTracerCollectorImpl>(0);  // the last one's records go here
    tracer->Enable(options, sink.get());
    state.ResumeTiming();
    benchmark::DoNotOptimize(tracer->ProcessActivityBuffer(buffer, size));
    state.PauseTiming();
    tracer->Disable();
    state.ResumeTiming();
  }
  std::free(buffer);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_ParseActivityBuffer)->Iterations(200);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
