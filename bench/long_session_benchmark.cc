// A session too long for one serialized XSpace, run outside CI: it needs
// several GiB of memory and minutes. Run with
//   LD_LIBRARY_PATH=<build>/tools/zra_sim/variants/full long_session_benchmark
// (the ZRA simulator's full variant), nothing else memory-hungry beside it.
//
// Each step is a framework op marked with TraceMe around one kernel launch,
// with device level 1 (the launch's API call and the kernel's activity).
// BM_LongSession/<MiB> (64: a quick look; 2560: the real run) first stops a short session to learn the wire bytes a
// step takes, then records as many steps as make <MiB> of wire, stops into a
// string (the trace beyond 2 GiB loses its latest events, with a WARNING
// line) and parses the result back. Counters:
//   steps            steps recorded
//   bytes_per_step   wire bytes of a step, from the short session
//   stop_s           Tracer::Stop(&bytes), wall time
//   peak_gib         the process's peak resident memory (during Stop and the
//                    parse, which follow the recording)
//   stop_growth_gib  peak resident growth during Stop
//   wire_gib         size of the serialized trace Stop returned
//   events_kept      events in the trace parsed back
//   events_dropped   events of the session not in it (the steps' events
//                    counted from the short session, less those kept)
//   parsed           1 when ParseXSpace read the bytes

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/convert/parse_xspace.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace zentrik {
namespace trace {
namespace {

constexpr double kGiB = 1024.0 * 1024 * 1024;

void RecordSteps(int64_t steps) {
  for (int64_t step = 0; step < steps; ++step) {
    TraceMe op("model/conv1:Conv2D");
    zra_sim::LaunchKernel({1 + static_cast<uint64_t>(step % 4), "conv2d(float*)"});
  }
}

std::unique_ptr<TracerInterface> StartedTracer() {
  TracerOptions options;
  options.host_tracer_level = 2;
  options.device_tracer_level = 1;
  std::unique_ptr<TracerInterface> tracer(CreateTracer(options, "/tmp/unused-logdir"));
  if (tracer == nullptr || !tracer->Start()) return nullptr;
  return tracer;
}

void BM_LongSession(benchmark::State& state) {
  const double target_bytes = static_cast<double>(state.range(0)) * 1024 * 1024;
  constexpr int64_t kShortSteps = 20000;
  for (auto _ : state) {
    std::string bytes;
    XSpace short_space;
    std::unique_ptr<TracerInterface> tracer = StartedTracer();
    if (tracer != nullptr) RecordSteps(kShortSteps);
    if (tracer == nullptr || !tracer->Stop(&bytes) || !ParseXSpace(bytes, &short_space).ok()) {
      state.SkipWithError("the short session failed");
      return;
    }
    const double bytes_per_step = static_cast<double>(bytes.size()) / kShortSteps;
    const double events_per_step = static_cast<double>(CountEvents(short_space)) / kShortSteps;
    short_space.Clear();
    bytes = std::string();
    malloc_trim(0);

    const auto steps = static_cast<int64_t>(target_bytes / bytes_per_step);
    tracer = StartedTracer();
    if (tracer == nullptr) {
      state.SkipWithError("tracer did not start");
      return;
    }
    RecordSteps(steps);
    const double resident_before = static_cast<double>(StatusBytes("VmRSS:"));
    ResetPeakResident();
    const auto stop_start = std::chrono::steady_clock::now();
    const bool stopped = tracer->Stop(&bytes);
    const double stop_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_start).count();
    const double stop_peak = static_cast<double>(StatusBytes("VmHWM:"));
    tracer.reset();
    malloc_trim(0);

    google::protobuf::Arena arena;
    XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    const bool parsed = stopped && ParseXSpace(bytes, space).ok();
    const int64_t kept = parsed ? CountEvents(*space) : 0;
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["bytes_per_step"] = bytes_per_step;
    state.counters["stop_s"] = stop_s;
    state.counters["stop_growth_gib"] = (stop_peak - resident_before) / kGiB;
    state.counters["wire_gib"] = static_cast<double>(bytes.size()) / kGiB;
    state.counters["events_kept"] = static_cast<double>(kept);
    state.counters["events_dropped"] = events_per_step * static_cast<double>(steps) -
                                       static_cast<double>(kept);
    state.counters["parsed"] = parsed ? 1 : 0;
    // Recording only grows memory up to Stop: the peak since then is the run's.
    state.counters["peak_gib"] = static_cast<double>(StatusBytes("VmHWM:")) / kGiB;
  }
}

BENCHMARK(BM_LongSession)->Arg(64)->Arg(2560)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
