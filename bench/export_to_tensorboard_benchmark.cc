// The whole export: ExportToTensorboard of a serialized, post-processed space
// into a log directory, as a user calls it.
//
// Time: BM_Export/<workload>/<events> runs the export (items = events of the
// space); in the same iteration it gzips the trace.json that the export wrote,
// with the export's own gzip stream and settings, into a file beside it: the
// baseline. Counters: gzip_ms (the baseline's time per iteration) and
// x_gzip (export time over baseline time).
//
// Arguments: BM_ManyArgs/<N> exports one event with N arguments (time) and,
// in the same iteration, N events with one argument each: the baseline.
// Counters: one_event_ms, one_arg_each_ms and x_one_arg_each (their ratio).
//
// Peak memory: BM_PeakMemory runs the export once in a fresh process (this
// program again), which builds the bytes, hands freed memory back, resets its
// peak resident size and reports how far the peak (VmHWM) rose above the
// resident size (VmRSS) before the export, per event; and the same for the
// parse of the space alone, the floor of the export's memory.
//
// Bytes: BM_SameFiles exports fixed-seed workloads and compares a hash of
// every file of the run directory (gunzipped where compressed) with the
// hashes this code wrote when they were recorded; a difference fails it.
// Run a Release build: `export_to_tensorboard_benchmark`.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "common/platform/env.h"
#include "common/platform/writable_file.h"
#include "common/platform/zlib_outputbuffer.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "testing/xspace_fixture.h"
#include "trace/core/convert/op_stats_to_overview_page.h"
#include "trace/core/convert/op_stats_to_tf_stats.h"
#include "trace/core/convert/parse_xspace.h"
#include "trace/core/convert/post_process_single_host_xplane.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/convert/xplane_to_memory_profile.h"
#include "trace/core/convert/xplane_to_op_stats.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/op_stats.pb.h"
#include "zentrik/trace/tracer.h"

namespace zentrik {
namespace trace {
namespace {

using testing::KernelSpec;
using testing::StatValue;
using testing::TraceMeSpec;
using testing::XSpaceFixture;

constexpr uint64_t kSessionStartNs = 1'000'000'000;
constexpr int kThreads = 8;
// Per step: the step, 32 ops of three events, an allocation, a deallocation
// and one receive.
constexpr int kEventsPerStep = 100;
constexpr int kOpsPerStep = 32;

// A fixed-seed generator whose sequence is the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {  // splitmix64
    uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t bound) { return Next() % bound; }

 private:
  uint64_t state_;
};

void AddMemoryEvent(XSpaceFixture* fixture, uint32_t thread, const char* name, uint64_t at,
                    uint64_t address, int64_t bytes, int64_t in_use) {
  fixture->AddTraceMe(thread, name, at, at + 1,
                      {{"allocator_name", std::string("cpu_allocator")},
                       {"bytes_allocated", in_use},
                       {"bytes_reserved", int64_t{0}},
                       {"bytes_available", int64_t{1} << 32},
                       {"peak_bytes_in_use", in_use + bytes},
                       {"requested_bytes", bytes},
                       {"allocation_bytes", bytes},
                       {"addr", static_cast<int64_t>(address)},
                       {"data_type", std::string("float")},
                       {"shape", std::string("[32,1024]")}});
}

// One step of host work on `thread` from `*now`: the step, its ops (each with
// two inner events), one allocation and deallocation and a receive.
void AddHostStep(XSpaceFixture* fixture, Random* random, uint32_t thread, int64_t step,
                 uint64_t* now) {
  const uint64_t start = *now;
  uint64_t t = start + 1;
  for (int i = 0; i < kOpsPerStep; ++i) {
    const std::string op = "model/layer_" + std::to_string(random->Below(48)) + "/MatMul";
    const uint64_t length = 60 + random->Below(200);
    fixture->AddTraceMe(thread, op + ":MatMul", t, t + length,
                        {{"data_type", int64_t{1}},
                         {"flops", static_cast<double>(random->Below(1 << 20)) / 3},
                         {"long_name", op}});
    fixture->AddTraceMe(thread, op + "/prepare:ComputeTask", t + 2, t + length / 2,
                        {{"size", static_cast<int64_t>(random->Below(4096))}});
    fixture->AddTraceMe(thread, op + "/finish:ComputeTask", t + length / 2 + 1, t + length - 1);
    t += length + 5;
  }
  const uint64_t address = 0x10000 + random->Below(1 << 20) * 64;
  const int64_t bytes = 1024 + static_cast<int64_t>(random->Below(1 << 16));
  AddMemoryEvent(fixture, thread, "MemoryAllocation", t, address, bytes, step * 64);
  AddMemoryEvent(fixture, thread, "MemoryDeallocation", t + 10, address, bytes, step * 64 + bytes);
  fixture->AddTraceMe(thread, "host_io:Recv", t + 12, t + 40, {{"peer", std::string("ps/0")}});
  t += 50;
  fixture->AddTraceMe(thread, "train_step", start, t, {{"_r", int64_t{1}}, {"step_num", step}});
  *now = t + 100;
}

// Host events only: `events` TraceMe events on kThreads threads.
std::string HostSpaceBytes(int64_t events) {
  XSpaceFixture fixture(kSessionStartNs);
  Random random(23);
  const int64_t steps = events / kEventsPerStep / kThreads;
  for (uint32_t thread = 0; thread < kThreads; ++thread) {
    uint64_t now = kSessionStartNs + 1000 * thread;
    for (int64_t step = 0; step < steps; ++step) {
      AddHostStep(&fixture, &random, 100 + thread, step, &now);
    }
  }
  PostProcessSingleHostXSpace(&fixture.space(), kSessionStartNs);
  return fixture.Serialize();
}

PmuData KernelCounters(Random* random, uint64_t duration_ns) {
  PmuData counters;
  counters.set_io_dma_write_bytes(4096 + random->Below(977));
  counters.set_io_dma_read_bytes(8192 + random->Below(1931));
  counters.set_tlb_write_access(100 + random->Below(50));
  counters.set_tlb_read_access(200 + random->Below(70));
  counters.set_tlb_write_miss(random->Below(5));
  counters.set_tlb_read_miss(random->Below(7));
  counters.set_lt_cycles(duration_ns * 300 + random->Below(100));
  counters.set_ct_cycles(duration_ns * 200 + random->Below(100));
  counters.set_alu_cycles(duration_ns * 500 + random->Below(100));
  counters.set_csimd_pre_cycles(duration_ns * 50 + random->Below(100));
  counters.set_csimd_post_cycles(duration_ns * 40 + random->Below(100));
  counters.set_dram_read_cycles(duration_ns * 90 + random->Below(100));
  // Some kernels' DRAM write counter was not read.
  counters.set_dram_write_cycles(random->Below(10) == 0 ? ~uint64_t{0} : duration_ns * 80);
  counters.set_field14(duration_ns);
  counters.set_mac_ops(duration_ns * 4096 + random->Below(4096));
  counters.set_vector_ops(duration_ns * 256 + random->Below(256));
  return counters;
}

// `kernels` kernels with PMU counters on two devices, each launched from a
// host op inside steps of kThreads threads.
std::string DeviceSpaceBytes(int64_t kernels) {
  XSpaceFixture fixture(kSessionStartNs);
  Random random(211);
  constexpr int kKernelsPerStep = 40;
  const int64_t steps = kernels / kKernelsPerStep / kThreads;
  uint32_t correlation_id = 1;
  for (uint32_t thread = 0; thread < kThreads; ++thread) {
    uint64_t now = kSessionStartNs + 1000 * thread;
    for (int64_t step = 0; step < steps; ++step) {
      const uint64_t step_start = now;
      for (int i = 0; i < kKernelsPerStep; ++i, ++correlation_id) {
        const std::string op = "model/conv_" + std::to_string(random.Below(24)) + "/Conv2D";
        const uint64_t length = 300 + random.Below(400);
        fixture.AddTraceMe(thread + 100, op + ":Conv2D", now + 1, now + length - 1,
                           {{"data_type", int64_t{1}}});
        KernelSpec kernel;
        kernel.thread_id = thread + 100;
        kernel.device = correlation_id % 2;
        kernel.queue = 1 + correlation_id % 4;
        kernel.kernel_name = "conv2d_fp16_kernel(half*, int)";
        kernel.annotation = op;
        kernel.op_fullname = op + ":Conv2D";
        kernel.correlation_id = correlation_id;
        kernel.launch_start_ns = now + 5;
        kernel.launch_end_ns = now + 25;
        kernel.start_ns = now + 40;
        kernel.end_ns = now + 40 + length / 2;
        kernel.counters = KernelCounters(&random, length / 2);
        kernel.device_info = Acc401();
        fixture.AddKernel(kernel);
        now += length + 10;
      }
      fixture.AddTraceMe(thread + 100, "train_step", step_start, now,
                         {{"_r", int64_t{1}}, {"step_num", step}});
      now += 1000;
    }
  }
  PostProcessSingleHostXSpace(&fixture.space(), kSessionStartNs);
  return fixture.Serialize();
}

enum Workload : int64_t { kHost = 0, kDevice = 1 };

std::string SpaceBytes(int64_t workload, int64_t events) {
  return workload == kHost ? HostSpaceBytes(events) : DeviceSpaceBytes(events);
}

// The one run directory below `logdir`.
std::string RunDirectory(const std::string& logdir) {
  const std::string root = logdir + "/plugins/profile";
  const std::vector<std::string> runs = testing::ListDirectory(root);
  return runs.size() == 1 ? root + "/" + runs[0] : std::string();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The text of `path`, gunzipped when its name ends in ".gz".
std::string FileText(const std::string& path) {
  const std::string stored = testing::ReadFileOrEmpty(path);
  if (!EndsWith(path, ".gz")) return stored;
  std::string text;
  return testing::Gunzip(stored, &text) ? text : "<not one gzip stream>";
}

// Gzips `text` into `path` as the export does: the same stream and settings.
Status GzipToFile(const std::string& text, const std::string& path) {
  std::unique_ptr<WritableFile> file;
  Status status = NewWritableFile(path, &file);
  if (!status.ok()) return status;
  ZlibCompressionOptions options = ZlibCompressionOptions::DEFAULT();
  options.window_bits += 16;
  ZlibOutputBuffer gzip(file.get(), static_cast<int32_t>(options.input_buffer_size),
                        static_cast<int32_t>(options.output_buffer_size), options);
  status = gzip.Init();
  // In the export's piece size.
  for (size_t at = 0; status.ok() && at < text.size(); at += size_t{1} << 20) {
    status = gzip.Append(text.data() + at, std::min(text.size() - at, size_t{1} << 20));
  }
  if (status.ok()) status = gzip.Close();
  if (status.ok()) status = file->Close();
  return status;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Export(benchmark::State& state) {
  const std::string bytes = SpaceBytes(state.range(0), state.range(1));
  double export_seconds = 0;
  double gzip_seconds = 0;
  for (auto _ : state) {
    testing::TempDir logdir;
    auto start = std::chrono::steady_clock::now();
    const bool exported = ExportToTensorboard(bytes, logdir.path());
    const double export_iteration = SecondsSince(start);
    export_seconds += export_iteration;
    const std::string run = RunDirectory(logdir.path());
    std::string trace_json;
    for (const std::string& name : testing::ListDirectory(run)) {
      if (EndsWith(name, "trace.json.gz")) trace_json = FileText(run + "/" + name);
    }
    if (!exported || trace_json.empty()) {
      state.SkipWithError("the export failed");
      break;
    }
    start = std::chrono::steady_clock::now();
    if (!GzipToFile(trace_json, logdir.Join("baseline.json.gz")).ok()) {
      state.SkipWithError("the baseline failed");
      break;
    }
    gzip_seconds += SecondsSince(start);
    state.SetIterationTime(export_iteration);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["gzip_ms"] = gzip_seconds * 1e3 / iterations;
  state.counters["export_ns_per_event"] = export_seconds * 1e9 / iterations / state.range(1);
  state.counters["x_gzip"] = gzip_seconds > 0 ? export_seconds / gzip_seconds : 0;
  state.SetItemsProcessed(state.iterations() * state.range(1));
}
BENCHMARK(BM_Export)
    ->ArgsProduct({{kHost}, {100000, 300000, 1000000, 3000000}})
    ->Args({kDevice, 200000})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

enum ArgsShape : int64_t { kOneEvent = 0, kOneArgEach = 1 };

// `args` arguments on the host thread: all on one event, or one on each of
// `args` events in a row. The argument names are distinct and come in the
// same scrambled order in both shapes; half the values are texts, half
// integers.
std::string ArgsSpaceBytes(int64_t shape, int64_t args) {
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(args));
  for (int64_t i = 0; i < args; ++i) names.push_back("arg_" + std::to_string(i));
  Random random(47);
  for (size_t i = names.size(); i > 1; --i) std::swap(names[i - 1], names[random.Below(i)]);
  const auto value = [](size_t i) {
    return i % 2 == 0 ? StatValue(static_cast<int64_t>(i))
                      : StatValue("value " + std::to_string(i));
  };
  XSpaceFixture fixture(kSessionStartNs);
  constexpr uint32_t kThread = 100;
  if (shape == kOneEvent) {
    std::vector<std::pair<std::string, StatValue>> stats;
    stats.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) stats.emplace_back(std::move(names[i]), value(i));
    fixture.AddTraceMe(kThread, "many_args", kSessionStartNs + 10, kSessionStartNs + 1000,
                       std::move(stats));
  } else {
    for (size_t i = 0; i < names.size(); ++i) {
      const uint64_t start = kSessionStartNs + 10 + 20 * i;
      fixture.AddTraceMe(kThread, "one_arg", start, start + 10, {{std::move(names[i]), value(i)}});
    }
  }
  PostProcessSingleHostXSpace(&fixture.space(), kSessionStartNs);
  return fixture.Serialize();
}

// One event with N arguments beside N events with one argument each, in the
// same iteration; the growth shows across N.
void BM_ManyArgs(benchmark::State& state) {
  const std::string one_event = ArgsSpaceBytes(kOneEvent, state.range(0));
  const std::string one_arg_each = ArgsSpaceBytes(kOneArgEach, state.range(0));
  double seconds[2] = {};
  for (auto _ : state) {
    const std::string* spaces[2] = {&one_event, &one_arg_each};
    for (int shape = 0; shape < 2; ++shape) {
      testing::TempDir logdir;
      const auto start = std::chrono::steady_clock::now();
      const bool exported = ExportToTensorboard(*spaces[shape], logdir.path());
      const double elapsed = SecondsSince(start);
      seconds[shape] += elapsed;
      if (!exported) state.SkipWithError("the export failed");
      if (shape == kOneEvent) state.SetIterationTime(elapsed);
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["one_event_ms"] = seconds[kOneEvent] * 1e3 / iterations;
  state.counters["one_arg_each_ms"] = seconds[kOneArgEach] * 1e3 / iterations;
  state.counters["x_one_arg_each"] = seconds[kOneEvent] / seconds[kOneArgEach];
}
BENCHMARK(BM_ManyArgs)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// The export's steps one by one, each a counter in ms per iteration: the
// parse, the trace viewer's JSON (into a discarding sink), the op statistics
// and their three tools, the memory profile and freeing the space.
void BM_Steps(benchmark::State& state) {
  const std::string bytes = SpaceBytes(state.range(0), state.range(1));
  double seconds[7] = {};
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    auto* arena = new google::protobuf::Arena(TraceArenaOptions());
    auto* space = google::protobuf::Arena::CreateMessage<XSpace>(arena);
    if (!ParseXSpace(bytes, space).ok()) state.SkipWithError("unparsable");
    seconds[0] += SecondsSince(start);
    start = std::chrono::steady_clock::now();
    size_t json_bytes = 0;
    (void)XSpaceTraceJson(*space).Write(kTraceJsonChunkBytes, [&](std::string_view piece) {
      json_bytes += piece.size();
      return Status();
    });
    seconds[1] += SecondsSince(start);
    start = std::chrono::steady_clock::now();
    const OpStats op_stats = ConvertXSpaceToOpStats(*space);
    seconds[2] += SecondsSince(start);
    start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(ConvertOpStatsToOverviewPage(op_stats).ByteSizeLong());
    benchmark::DoNotOptimize(ConvertOpStatsToTfStats(op_stats).ByteSizeLong());
    benchmark::DoNotOptimize(op_stats.kernel_stats_db().ByteSizeLong());
    seconds[3] += SecondsSince(start);
    start = std::chrono::steady_clock::now();
    std::string memory_json;
    (void)ConvertXSpaceToMemoryProfileJson(*space, &memory_json);
    seconds[4] += SecondsSince(start);
    start = std::chrono::steady_clock::now();
    delete arena;
    seconds[5] += SecondsSince(start);
    benchmark::DoNotOptimize(json_bytes);
  }
  const char* names[] = {"parse", "trace_json", "op_stats", "op_tools", "memory", "free"};
  for (int i = 0; i < 6; ++i) {
    state.counters[names[i]] = seconds[i] * 1e3 / static_cast<double>(state.iterations());
  }
}
BENCHMARK(BM_Steps)
    ->Args({kHost, 1000000})
    ->Args({kDevice, 200000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

constexpr char kPeakModeVariable[] = "ZENTRIK_BENCH_PEAK_EVENTS";

// The measuring process: builds the bytes, hands freed memory back, starts
// the peak afresh and prints how far the peak rose above the resident size.
int MeasurePeak(int64_t workload, int64_t events, bool parse_only) {
  const std::string bytes = SpaceBytes(workload, events);
  testing::TempDir logdir;
  malloc_trim(0);
  if (!ResetPeakResident()) return 1;
  const int64_t before = StatusBytes("VmRSS:");
  if (parse_only) {
    // The floor: the parsed space that every tool reads.
    google::protobuf::Arena arena(TraceArenaOptions());
    if (!ParseXSpace(bytes, google::protobuf::Arena::CreateMessage<XSpace>(&arena)).ok()) return 1;
  } else if (!ExportToTensorboard(bytes, logdir.path())) {
    return 1;
  }
  const int64_t peak = StatusBytes("VmHWM:");
  if (before < 0 || peak < 0) return 1;
  std::printf("%lld\n", static_cast<long long>(peak - before));
  return 0;
}

void BM_PeakMemory(benchmark::State& state) {
  int64_t growth = -1;
  for (auto _ : state) {
    const std::string command =
        std::string(kPeakModeVariable) + "=" + std::to_string(state.range(0)) + ":" +
        std::to_string(state.range(1)) + ":" + std::to_string(state.range(2)) + " /proc/" +
        std::to_string(getpid()) + "/exe 2>/dev/null";
    FILE* child = popen(command.c_str(), "r");
    long long measured = -1;
    if (child != nullptr) {
      if (std::fscanf(child, "%lld", &measured) != 1) measured = -1;
      if (pclose(child) != 0) measured = -1;
    }
    growth = measured;
  }
  if (growth < 0) state.SkipWithError("peak measurement failed");
  state.counters["peak_MiB"] = static_cast<double>(growth) / (1 << 20);
  state.counters["peak_bytes_per_event"] = static_cast<double>(growth) / state.range(1);
}
// The third argument 1: the parse alone, on an arena as the export does it.
BENCHMARK(BM_PeakMemory)
    ->Args({kHost, 1000000, 0})
    ->Args({kHost, 1000000, 1})
    ->Args({kDevice, 200000, 0})
    ->Args({kDevice, 200000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// FNV-1a, 64 bits.
uint64_t Hash(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3;
  return hash;
}

struct ExpectedFile {
  int64_t workload;
  int64_t events;
  const char* suffix;  // the file name after "<host>."
  uint64_t hash;
};

// Recorded from the export as it was before it streamed the trace; the host
// run's overview page since its PMU figures without a divisor are the
// no-value marker rather than NaN.
constexpr ExpectedFile kExpectedFiles[] = {
    {kHost, 20000, "kernel_stats.pb", 0xcbf29ce484222325ull},
    {kHost, 20000, "memory_profile.json.gz", 0x21b8e119de7f4ff0ull},
    {kHost, 20000, "op_stats.pb", 0x76576b5e0bf8f10bull},
    {kHost, 20000, "overview_page.pb", 0x48a378aa18938339ull},
    {kHost, 20000, "run.claim", 0xcbf29ce484222325ull},
    {kHost, 20000, "trace.json.gz", 0xf2a9bf76fc23d0b8ull},
    {kDevice, 20000, "kernel_stats.pb", 0x245b86098401530eull},
    {kDevice, 20000, "memory_profile.json.gz", 0xbe869cc42c4902fcull},
    {kDevice, 20000, "op_stats.pb", 0x1204cd491a622dcfull},
    {kDevice, 20000, "overview_page.pb", 0x5de4bae579e40717ull},
    {kDevice, 20000, "run.claim", 0xcbf29ce484222325ull},
    {kDevice, 20000, "trace.json.gz", 0xeead089d9eb41d22ull},
};

void BM_SameFiles(benchmark::State& state) {
  for (auto _ : state) {
    const std::string host_prefix = Env::Default()->GetHostName() + ".";
    for (const int64_t workload : {kHost, kDevice}) {
      constexpr int64_t kEvents = 20000;
      testing::TempDir logdir;
      if (!ExportToTensorboard(SpaceBytes(workload, kEvents), logdir.path())) {
        state.SkipWithError("the export failed");
      }
      const std::string run = RunDirectory(logdir.path());
      size_t compared = 0;
      for (const std::string& name : testing::ListDirectory(run)) {
        const std::string suffix =
            name.substr(name.rfind(host_prefix, 0) == 0 ? host_prefix.size() : 0);
        const uint64_t hash = Hash(FileText(run + "/" + name));
        for (const ExpectedFile& expected : kExpectedFiles) {
          if (expected.workload != workload || expected.events != kEvents ||
              suffix != expected.suffix) {
            continue;
          }
          ++compared;
          if (hash != expected.hash) {
            std::fprintf(stderr, "%s of workload %lld differs: hash 0x%016llx\n", suffix.c_str(),
                         static_cast<long long>(workload), static_cast<unsigned long long>(hash));
            state.SkipWithError("a file differs from the recorded one");
          }
        }
      }
      if (compared != 6) state.SkipWithError("the run directory lacks a recorded file");
    }
  }
}
BENCHMARK(BM_SameFiles)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

int main(int argc, char** argv) {
  if (const char* measure = std::getenv(zentrik::trace::kPeakModeVariable)) {
    long long workload = 0;
    long long events = 0;
    int parse_only = 0;
    if (std::sscanf(measure, "%lld:%lld:%d", &workload, &events, &parse_only) != 3) return 1;
    return zentrik::trace::MeasurePeak(workload, events, parse_only != 0);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
