// A whole host collection as a user runs it: a tracer records N TraceMe
// events on 8 threads (steps nested 5 deep, 2 scopes in 5 with arguments),
// then Tracer::Stop(&bytes) collects, post-processes, fills kernel PMU data,
// serializes and drops the space. The baseline is serializing the same space
// again, measured in the same iteration.
//
// BM_TracerStopIntoLogDir stops the same session with Tracer::Stop(nullptr),
// which writes the TensorBoard files into a fresh log directory instead.
//
// BM_ShortLivedThreads/<threads> starts that many threads one after another
// during a session, each recording one TraceMe and exiting; rss_per_thread is
// the growth of the resident size per thread, measured before Stop.
//
// Stop runs wholly on the calling thread (the library starts no thread), so
// BM_TracerStop's times are that thread's CPU time: on a shared, loaded
// machine wall time mostly measures the neighbours. BM_TracerStopIntoLogDir's
// are wall time, as its caller also waits for the files to be written.
//
// Counters, per recorded event unless said otherwise:
//   record_ns      the recording itself (all threads, wall time)
//   stop_ns        Tracer::Stop(&bytes), or Stop(nullptr) into the log directory
//   serialize_ns   SerializeToString of the space parsed back from the bytes
//   stop_x         stop_ns / serialize_ns (the goal is at most 2)
//   peak_growth_x  peak resident memory during Stop above the resident size
//                  when it began, over the serialized size (goal: at most 2)
//   serialized_bytes  the output's size
// Peak memory is read from VmHWM after returning freed heap to the system and
// resetting the mark just before Stop.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "testing/temp_dir.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kThreads = 8;
// Each step nests this many scopes: the step (a group root), a layer, an op
// named "name:type", a kernel scope with arguments and a leaf.
constexpr int kDepth = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void RecordSteps(int steps) {
  for (int step = 0; step < steps; ++step) {
    TraceMe root([step] {
      return TraceMeEncode("train_step", {{"_r", "1"}, {"step_num", std::to_string(step)}});
    });
    TraceMe layer("layer");
    TraceMe op("conv1:Conv2D");
    TraceMe kernel([] { return TraceMeEncode("MatMul", {{"flops", "12"}, {"mac_ops", "4096"}}); });
    TraceMe leaf("leaf");
  }
}

// Recording time of all threads, from a common go to the last join.
double RecordOnThreads(int steps_per_thread) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      RecordSteps(steps_per_thread);
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  const Clock::time_point start = Clock::now();
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  return Seconds(start, Clock::now());
}

// A started tracer whose threads have recorded their steps; null when it
// did not start.
std::unique_ptr<TracerInterface> RecordedSession(const std::string& logdir, int steps_per_thread,
                                                 double* record_s) {
  std::unique_ptr<TracerInterface> tracer(CreateTracer(TracerOptions(), logdir));
  if (tracer == nullptr || !tracer->Start()) return nullptr;
  *record_s = RecordOnThreads(steps_per_thread);
  return tracer;
}

void BM_TracerStop(benchmark::State& state) {
  const int steps_per_thread = static_cast<int>(state.range(0)) / (kThreads * kDepth);
  const double events = double{kThreads} * kDepth * steps_per_thread;
  double record_s = 0, stop_s = 0, serialize_s = 0, growth = 0, size = 0;
  for (auto _ : state) {
    std::unique_ptr<TracerInterface> tracer =
        RecordedSession("/tmp/unused-logdir", steps_per_thread, &record_s);
    if (tracer == nullptr) {
      state.SkipWithError("tracer did not start");
      return;
    }

    std::string bytes;
    malloc_trim(0);
    ResetPeakResident();
    const double resident_before = static_cast<double>(StatusBytes("VmRSS:"));
    const double stop_start = ThreadCpuSeconds();
    if (!tracer->Stop(&bytes)) {
      state.SkipWithError("stop failed");
      return;
    }
    stop_s = ThreadCpuSeconds() - stop_start;
    growth = static_cast<double>(StatusBytes("VmHWM:")) - resident_before;

    // The baseline: serializing the very space Stop produced.
    XSpace space;
    if (!space.ParseFromString(bytes)) {
      state.SkipWithError("the output does not parse");
      return;
    }
    std::string again;
    const double serialize_start = ThreadCpuSeconds();
    space.SerializeToString(&again);
    serialize_s = ThreadCpuSeconds() - serialize_start;
    size = static_cast<double>(bytes.size());
    state.SetIterationTime(stop_s);
    benchmark::DoNotOptimize(again.data());
  }
  state.counters["record_ns"] = record_s * 1e9 / events;
  state.counters["stop_ns"] = stop_s * 1e9 / events;
  state.counters["serialize_ns"] = serialize_s * 1e9 / events;
  state.counters["stop_x"] = stop_s / serialize_s;
  state.counters["peak_growth_x"] = growth / size;
  state.counters["serialized_bytes"] = size / events;
}

BENCHMARK(BM_TracerStop)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Arg(3'000'000)
    ->Iterations(1)
    ->Repetitions(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_TracerStopIntoLogDir(benchmark::State& state) {
  const int steps_per_thread = static_cast<int>(state.range(0)) / (kThreads * kDepth);
  const double events = double{kThreads} * kDepth * steps_per_thread;
  double record_s = 0, stop_s = 0;
  for (auto _ : state) {
    testing::TempDir logdir;
    std::unique_ptr<TracerInterface> tracer =
        RecordedSession(logdir.path(), steps_per_thread, &record_s);
    if (tracer == nullptr) {
      state.SkipWithError("tracer did not start");
      return;
    }
    malloc_trim(0);
    // Wall time: the caller also waits for the files to be written.
    const Clock::time_point stop_start = Clock::now();
    if (!tracer->Stop(nullptr)) {
      state.SkipWithError("stop failed");
      return;
    }
    stop_s = Seconds(stop_start, Clock::now());
    state.SetIterationTime(stop_s);
  }
  state.counters["record_ns"] = record_s * 1e9 / events;
  state.counters["stop_ns"] = stop_s * 1e9 / events;
}

BENCHMARK(BM_TracerStopIntoLogDir)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Repetitions(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ShortLivedThreads(benchmark::State& state) {
  const int64_t threads = state.range(0);
  double growth = 0;
  for (auto _ : state) {
    std::unique_ptr<TracerInterface> tracer(CreateTracer(TracerOptions(), "/tmp/unused-logdir"));
    if (tracer == nullptr || !tracer->Start()) {
      state.SkipWithError("tracer did not start");
      return;
    }
    malloc_trim(0);
    const double resident_before = static_cast<double>(StatusBytes("VmRSS:"));
    for (int64_t i = 0; i < threads; ++i) std::thread([] { TraceMe event("short-lived"); }).join();
    growth = static_cast<double>(StatusBytes("VmRSS:")) - resident_before;
    std::string bytes;
    tracer->Stop(&bytes);
  }
  state.counters["rss_per_thread"] = growth / static_cast<double>(threads);
}

BENCHMARK(BM_ShortLivedThreads)->Arg(20'000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
