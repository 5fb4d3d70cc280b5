// A whole host collection: 8 threads each record 125,000 nested TraceMe
// scopes inside a session, then the session collects (stops the host tracer,
// builds the host plane, post-processes) and the space is serialized.
//
// Counters, per recorded event:
//   record_ns        wall time of the recording itself: the baseline
//   collect_ns       CollectData (stop, host plane, post-processing)
//   serialize_ns     SerializeToString of the collected space
//   collect_x, serialize_x   the two above as multiples of record_ns
//   peak_rss_bytes   the process's peak resident memory / events
//   rss_growth_bytes (peak - resident before recording) / events
//   serialized_bytes the size of the serialized space / events
// Peak memory is the process's high-water mark, so only the first
// repetition's reading stands for one collection.
//
// BM_HostTracerOnly drives the host tracer without a session: its collect_ns
// is the share of stopping the recorder and building the host plane, without
// post-processing. It runs after BM_HostCollection, so its memory counters
// mean nothing.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/profiler_session.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kThreads = 8;
constexpr int kEventsPerThread = 125'000;
// Each step nests this many scopes: the step (a group root), a layer, an op
// named "name:type", an annotated kernel scope and a leaf.
constexpr int kDepth = 5;
constexpr int kStepsPerThread = kEventsPerThread / kDepth;
constexpr double kEvents = double{kThreads} * kEventsPerThread;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Resident memory now, in bytes.
double ResidentBytes() {
  long pages = 0;
  long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double PeakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

void RecordSteps() {
  for (int step = 0; step < kStepsPerThread; ++step) {
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
double RecordOnThreads() {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      RecordSteps();
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  const Clock::time_point start = Clock::now();
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  return Seconds(start, Clock::now());
}

// Starts the profiling, returns the collector that ends it.
class Collector {
 public:
  virtual ~Collector() = default;
  virtual bool Collect(XSpace* space) = 0;
};

class SessionCollector : public Collector {
 public:
  explicit SessionCollector(const ProfileOptions& options)
      : session_(ProfilerSession::Create(options)) {}
  bool Started() const { return session_ != nullptr && session_->Status().ok(); }
  bool Collect(XSpace* space) override { return session_->CollectData(space).ok(); }

 private:
  std::unique_ptr<ProfilerSession> session_;
};

class HostTracerCollector : public Collector {
 public:
  explicit HostTracerCollector(const ProfileOptions& options)
      : tracer_(CreateHostTracer(options)) {}
  bool Started() { return tracer_->Start(0).ok(); }
  bool Collect(XSpace* space) override {
    return tracer_->Stop().ok() && tracer_->CollectData(space).ok();
  }

 private:
  std::unique_ptr<ProfilerInterface> tracer_;
};

template <typename CollectorT>
void RunCollection(benchmark::State& state) {
  ProfileOptions options;
  options.set_host_tracer_level(2);
  options.set_version(1);
  double record_s = 0, collect_s = 0, serialize_s = 0, serialized_bytes = 0;
  const double resident_before = ResidentBytes();
  for (auto _ : state) {
    CollectorT collector(options);
    if (!collector.Started()) {
      state.SkipWithError("profiling did not start");
      return;
    }
    record_s = RecordOnThreads();

    auto space = std::make_unique<XSpace>();
    const Clock::time_point collect_start = Clock::now();
    if (!collector.Collect(space.get())) {
      state.SkipWithError("collection failed");
      return;
    }
    const Clock::time_point collect_end = Clock::now();
    std::string bytes;
    space->SerializeToString(&bytes);
    const Clock::time_point serialize_end = Clock::now();

    collect_s = Seconds(collect_start, collect_end);
    serialize_s = Seconds(collect_end, serialize_end);
    serialized_bytes = static_cast<double>(bytes.size());
    state.SetIterationTime(collect_s + serialize_s);
    benchmark::DoNotOptimize(bytes.data());
  }
  const double peak = PeakResidentBytes();
  state.counters["record_ns"] = record_s * 1e9 / kEvents;
  state.counters["collect_ns"] = collect_s * 1e9 / kEvents;
  state.counters["serialize_ns"] = serialize_s * 1e9 / kEvents;
  state.counters["collect_x"] = collect_s / record_s;
  state.counters["serialize_x"] = serialize_s / record_s;
  state.counters["peak_rss_bytes"] = peak / kEvents;
  state.counters["rss_growth_bytes"] = (peak - resident_before) / kEvents;
  state.counters["serialized_bytes"] = serialized_bytes / kEvents;
}

void BM_HostCollection(benchmark::State& state) { RunCollection<SessionCollector>(state); }
void BM_HostTracerOnly(benchmark::State& state) { RunCollection<HostTracerCollector>(state); }

BENCHMARK(BM_HostCollection)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostTracerOnly)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
