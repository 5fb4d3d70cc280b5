// Cost of marking host work. Compare TraceMe while recording with
// BM_TwoClockReads, the two clock reads it cannot avoid, and TraceMe while idle
// with BM_InlineRelaxedLoad, both measured in the same run; multi-threaded
// figures are CPU time per iteration of one thread.
#include <benchmark/benchmark.h>

#include <atomic>

#include "common/platform/env.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/annotation_stack.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

// Recording runs keep every event until the run ends: a fixed count bounds
// the memory they take.
constexpr int64_t kRecordedIterations = 1 << 20;

void StartRecording(const benchmark::State&) { TraceMeRecorder::Get()->Start(kCritical); }
void StopRecording(const benchmark::State&) { TraceMeRecorder::Get()->Stop(); }
void EnableAnnotations(const benchmark::State&) { SetAnnotationsEnabled(true); }
void DisableAnnotations(const benchmark::State&) { SetAnnotationsEnabled(false); }

void BM_TwoClockReads(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(EnvTime::NowNanos());
    benchmark::DoNotOptimize(EnvTime::NowNanos());
  }
}
BENCHMARK(BM_TwoClockReads);

// The floor of a TraceMe while recording is off: an inline relaxed load of a
// flag and a branch.
std::atomic<int> idle_flag{-1};
void BM_InlineRelaxedLoad(benchmark::State& state) {
  for (auto _ : state) {
    if (kCritical <= idle_flag.load(std::memory_order_relaxed)) state.SkipWithError("on");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_InlineRelaxedLoad);

void BM_TraceMeWhileIdle(benchmark::State& state) {
  for (auto _ : state) {
    TraceMe trace_me("short-name");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceMeWhileIdle);

void BM_TraceMeWhileRecording(benchmark::State& state) {
  for (auto _ : state) {
    TraceMe trace_me("short-name");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceMeWhileRecording)
    ->Setup(StartRecording)
    ->Teardown(StopRecording)
    ->Iterations(kRecordedIterations)
    ->Threads(1)
    ->Threads(8);

void BM_ScopedAnnotationPushPop(benchmark::State& state) {
  for (auto _ : state) {
    ScopedAnnotation annotation("short-name");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ScopedAnnotationPushPop)
    ->Setup(EnableAnnotations)
    ->Teardown(DisableAnnotations)
    ->Threads(1)
    ->Threads(8);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
