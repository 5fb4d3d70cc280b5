// What device tracing costs an application, through libzentrik.so against the
// ZRA simulator's full variant (run with LD_LIBRARY_PATH on its folder; the
// simulator runs in virtual time, so a launch costs only its own CPU work).
//
// BM_KernelLaunch/<level>: one kernel launch inside a started session of
// device level 0 (no device tracing: the simulator's own cost, the baseline),
// 1 (API call and activity record) or 2 (also PMU counters read around it).
//   ns_per_launch   wall time per launch
//   x_level0        the same over level 0's ns_per_launch, same run
//   rss_per_launch  growth of the resident memory per launch: what a long
//                   session accumulates until it stops (freed memory of the
//                   sessions before is returned first, or their reuse would
//                   hide it)
// BM_StopIntoString: a level-1 session of 500,000 launches (1,000,000 device
// records: each launch is an API record and a kernel record) stopped into a
// string; ns_per_record is that Stop's wall time per record, peak_per_record
// the rise of the peak resident size during it above the resident size
// before it (the session's records included), per record.
// BM_StopIntoLogDir: the same session stopped into a fresh log directory
// (Stop(nullptr), which writes the TensorBoard files); the same counters.
// BM_StartWithDeviceTracing/<n>: Start of a device level 1 session while n
// busy threads per core spin beside it (0: none); each of its iterations
// starts and stops a session, and only Start is timed (wall time).
//   median_ms       the median Start
//   over_1ms        the share of Starts that took more than 1 ms
//   over_10ms       the share that took more than 10 ms
//   max_ms          the slowest Start

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_memory.h"
#include "testing/temp_dir.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "zentrik/trace/tracer.h"

namespace {

using zentrik::trace::CreateTracer;
using zentrik::trace::TracerInterface;
using zentrik::trace::TracerOptions;

double level0_ns = 0;

// The resident size now; the process's peak would not grow while a session
// reuses what an earlier one freed.
double RssBytes() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  long size = 0;
  long resident = 0;
  const bool read = std::fscanf(statm, "%ld %ld", &size, &resident) == 2;
  std::fclose(statm);
  return read ? static_cast<double>(resident) * ::sysconf(_SC_PAGESIZE) : 0;
}

std::unique_ptr<TracerInterface> StartedTracer(int device_level,
                                               const std::string& logdir = "/tmp") {
  TracerOptions options;
  options.device_tracer_level = device_level;
  std::unique_ptr<TracerInterface> tracer(CreateTracer(options, logdir));
  if (tracer == nullptr || !tracer->Start()) return nullptr;
  return tracer;
}

void BM_KernelLaunch(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  auto tracer = StartedTracer(level);
  if (tracer == nullptr) {
    state.SkipWithError("tracer did not start");
    return;
  }
  const zra_sim::Kernel kernel{1, "gemm(float*)", 4, 1, 1, 1000, 0};
  malloc_trim(0);
  const double rss_before = RssBytes();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) zra_sim::LaunchKernel(kernel);
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      state.iterations();
  state.counters["rss_per_launch"] = (RssBytes() - rss_before) / state.iterations();
  std::string bytes;
  tracer->Stop(&bytes);
  if (level == 0) level0_ns = ns;
  state.counters["ns_per_launch"] = ns;
  state.counters["x_level0"] = level0_ns > 0 ? ns / level0_ns : 0;
}
BENCHMARK(BM_KernelLaunch)->Arg(0)->Arg(1)->Arg(2)->Iterations(200000);

constexpr int kStopLaunches = 500000;

// A started level-1 session of kStopLaunches launches, two device records each;
// null when the tracer did not start.
std::unique_ptr<TracerInterface> RecordedSession(const std::string& logdir) {
  auto tracer = StartedTracer(1, logdir);
  if (tracer == nullptr) return nullptr;
  for (int i = 0; i < kStopLaunches; ++i) zra_sim::LaunchKernel({1 + i % 4u, "relu(float*)"});
  return tracer;
}

// Returns freed heap to the system and restarts the peak resident size from
// the resident size now, which it returns; call with timing paused.
double RestartPeak() {
  malloc_trim(0);
  zentrik::trace::ResetPeakResident();
  return static_cast<double>(zentrik::trace::StatusBytes("VmRSS:"));
}

void SetPerRecordCounters(benchmark::State& state, double peak_growth) {
  const double records = 2.0 * kStopLaunches;
  state.counters["ns_per_record"] = benchmark::Counter(
      records * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["peak_per_record"] = peak_growth / records;
}

void BM_StopIntoString(benchmark::State& state) {
  double peak_growth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto tracer = RecordedSession("/tmp");
    std::string bytes;
    const double resident = RestartPeak();
    state.ResumeTiming();
    if (tracer == nullptr || !tracer->Stop(&bytes)) {
      state.SkipWithError("the session did not start or stop");
      return;
    }
    benchmark::DoNotOptimize(bytes);
    state.PauseTiming();
    peak_growth = static_cast<double>(zentrik::trace::StatusBytes("VmHWM:")) - resident;
    state.ResumeTiming();
  }
  SetPerRecordCounters(state, peak_growth);
}
BENCHMARK(BM_StopIntoString)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_StopIntoLogDir(benchmark::State& state) {
  zentrik::testing::TempDir logdir;
  double peak_growth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto tracer = RecordedSession(logdir.path());
    const double resident = RestartPeak();
    state.ResumeTiming();
    if (tracer == nullptr || !tracer->Stop(nullptr)) {
      state.SkipWithError("the session did not start or stop");
      return;
    }
    state.PauseTiming();
    peak_growth = static_cast<double>(zentrik::trace::StatusBytes("VmHWM:")) - resident;
    state.ResumeTiming();
  }
  SetPerRecordCounters(state, peak_growth);
}
BENCHMARK(BM_StopIntoLogDir)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Threads that spin until destroyed.
class BusyThreads {
 public:
  explicit BusyThreads(int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        while (!done_.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
  ~BusyThreads() {
    done_.store(true);
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::vector<std::thread> threads_;
};

void BM_StartWithDeviceTracing(benchmark::State& state) {
  const BusyThreads busy(static_cast<int>(state.range(0)) *
                         static_cast<int>(std::thread::hardware_concurrency()));
  std::vector<double> start_ms;
  for (auto _ : state) {
    TracerOptions options;
    options.device_tracer_level = 1;
    std::unique_ptr<TracerInterface> tracer(CreateTracer(options, "/tmp"));
    const auto start = std::chrono::steady_clock::now();
    const bool started = tracer != nullptr && tracer->Start();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::string bytes;
    if (!started || !tracer->Stop(&bytes)) {
      state.SkipWithError("the session did not start or stop");
      return;
    }
    state.SetIterationTime(took.count());
    start_ms.push_back(took.count() * 1e3);
  }
  std::sort(start_ms.begin(), start_ms.end());
  const auto share_over = [&start_ms](double ms) {
    const auto slower = start_ms.end() - std::upper_bound(start_ms.begin(), start_ms.end(), ms);
    return static_cast<double>(slower) / static_cast<double>(start_ms.size());
  };
  state.counters["median_ms"] = start_ms[start_ms.size() / 2];
  state.counters["over_1ms"] = share_over(1);
  state.counters["over_10ms"] = share_over(10);
  state.counters["max_ms"] = start_ms.back();
}
BENCHMARK(BM_StartWithDeviceTracing)
    ->Arg(0)
    ->Arg(2)
    ->Iterations(400)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
