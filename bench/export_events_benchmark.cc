// ExportEvents on a space of 1,000,000 host events and 200,000 device events.
//
// Time: BM_ExportEvents against BM_ParseXSpace, the parse of the same bytes
// that ExportEvents does first. Both report items = every event of the space.
//
// Peak memory: BM_PeakMemory runs the work once in a forked child, resets the
// child's peak resident size (/proc/self/clear_refs) and reports how far the
// peak (getrusage ru_maxrss) rose above the resident size before the work,
// per event of the space; the result vector is still alive at the end, so it
// counts. Run a Release build: `export_events_benchmark`.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/export_events.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kThreads = 8;
constexpr int kStepsPerThread = 1000;
constexpr int kOpsPerStep = 25;
constexpr int kFlatEventsPerStep = 24;
constexpr int kDevices = 2;
// Per step: the step, per op the op, its two inner events and one API call,
// and the flat events: 1 + 25 * 4 + 24 = 125 host events, 25 of them calls.
constexpr int64_t kHostEvents = int64_t{kThreads} * kStepsPerThread * 125;
constexpr int64_t kDeviceEvents = int64_t{kThreads} * kStepsPerThread * kOpsPerStep;
constexpr int64_t kAllEvents = kHostEvents + kDeviceEvents;

// Metadata tables of one plane, filled as events name them.
class PlaneWriter {
 public:
  explicit PlaneWriter(XPlane* plane) : plane_(plane) {}

  int64_t EventMetadata(const std::string& name) {
    const int64_t id = plane_->event_metadata_size() + 1;
    XEventMetadata& metadata = (*plane_->mutable_event_metadata())[id];
    metadata.set_id(id);
    metadata.set_name(name);
    return id;
  }
  int64_t StatMetadata(const std::string& name) {
    const int64_t id = plane_->stat_metadata_size() + 1;
    XStatMetadata& metadata = (*plane_->mutable_stat_metadata())[id];
    metadata.set_id(id);
    metadata.set_name(name);
    return id;
  }

 private:
  XPlane* plane_;
};

XEvent* AddEvent(XLine* line, int64_t metadata_id, int64_t start_ns, int64_t end_ns) {
  XEvent* event = line->add_events();
  event->set_metadata_id(metadata_id);
  event->set_offset_ps(start_ns * 1000);
  event->set_duration_ps((end_ns - start_ns) * 1000);
  return event;
}

void AddStat(XEvent* event, int64_t metadata_id, const std::string& value) {
  XStat* stat = event->add_stats();
  stat->set_metadata_id(metadata_id);
  stat->set_str_value(value);
}

// Host threads of steps of ops, each op with a nested pair of events and one
// kernel launch (every fifth a memory copy, every seventh a memory set); the
// device activity spread over two devices with four queues each.
std::string BuildSpaceBytes() {
  XSpace space;
  XPlane* host = space.add_planes();
  host->set_name("/host:CPU");
  PlaneWriter host_writer(host);
  const int64_t correlation = host_writer.StatMetadata("correlation_id");
  const int64_t traceme = host_writer.StatMetadata("traceme_correlation_id");
  const int64_t flow = host_writer.StatMetadata("flow_event_cat");
  const int64_t step_name = host_writer.EventMetadata("ProfilerStep:train_step");
  std::vector<int64_t> op_names, inner_names, flat_names;
  for (int i = 0; i < kOpsPerStep; ++i) {
    const std::string op = "model/block_" + std::to_string(i) + "/Conv2D";
    op_names.push_back(host_writer.EventMetadata(op + ":Conv2D"));
    inner_names.push_back(host_writer.EventMetadata(op + "/prepare:ComputeTask"));
  }
  for (int i = 0; i < kFlatEventsPerStep; ++i) {
    flat_names.push_back(host_writer.EventMetadata("host_io_" + std::to_string(i) + ":Recv"));
  }
  const int64_t launch = host_writer.EventMetadata("model/Conv2D##qxInvokeKernel");

  std::vector<XPlane*> devices;
  std::vector<int64_t> device_correlation, kernel_names;
  std::vector<int64_t> copy_name, set_name;
  for (int d = 0; d < kDevices; ++d) {
    XPlane* device = space.add_planes();
    device->set_id(d);
    device->set_name("/device:ZRA:" + std::to_string(d));
    PlaneWriter writer(device);
    device_correlation.push_back(writer.StatMetadata("correlation_id"));
    copy_name.push_back(writer.EventMetadata("model/Conv2D##MemcpyH2D"));
    set_name.push_back(writer.EventMetadata("model/Conv2D##Memset"));
    for (int i = 0; i < kOpsPerStep; ++i) {
      writer.EventMetadata("model/block_" + std::to_string(i) +
                           "/Conv2D##conv2d_fp16_kernel(half*, half*, int, int)");
    }
    devices.push_back(device);
  }

  uint64_t next_correlation = 1;
  std::vector<XLine*> queues;
  for (XPlane* device : devices) {
    for (int q = 0; q < 4; ++q) {
      XLine* queue = device->add_lines();
      queue->set_id(q);
      queues.push_back(queue);
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    XLine* line = host->add_lines();
    line->set_id(1000 + t);
    line->set_name("worker/" + std::to_string(1000 + t));
    line->set_timestamp_ns(1'000'000);
    int64_t now = 0;
    for (int s = 0; s < kStepsPerThread; ++s) {
      XEvent* step = AddEvent(line, step_name, now, now + kOpsPerStep * 100 + 2000);
      step->add_stats()->set_metadata_id(traceme);
      step->mutable_stats(0)->set_int64_value(s);
      for (int i = 0; i < kOpsPerStep; ++i, now += 100) {
        XEvent* op = AddEvent(line, op_names[i], now + 1, now + 99);
        op->add_stats()->set_metadata_id(traceme);
        op->mutable_stats(0)->set_int64_value(i);
        XEvent* inner = AddEvent(line, inner_names[i], now + 2, now + 50);
        inner->add_stats()->set_metadata_id(traceme);
        inner->mutable_stats(0)->set_int64_value(i);
        XEvent* call = AddEvent(line, launch, now + 10, now + 20);
        XStat* id = call->add_stats();
        id->set_metadata_id(correlation);
        id->set_uint64_value(next_correlation);
        AddStat(call, flow, "Kernel");
        XEvent* after = AddEvent(line, inner_names[i], now + 60, now + 90);
        after->add_stats()->set_metadata_id(traceme);
        after->mutable_stats(0)->set_int64_value(i);

        const int d = static_cast<int>(next_correlation % kDevices);
        XLine* queue = queues[d * 4 + (next_correlation / kDevices) % 4];
        const int64_t metadata = next_correlation % 5 == 0   ? copy_name[d]
                                 : next_correlation % 7 == 0 ? set_name[d]
                                                             : 3 + i;
        XEvent* activity = AddEvent(queue, metadata, now + 30, now + 80);
        XStat* device_id = activity->add_stats();
        device_id->set_metadata_id(device_correlation[d]);
        device_id->set_uint64_value(next_correlation);
        ++next_correlation;
      }
      for (int i = 0; i < kFlatEventsPerStep; ++i, now += 80) {
        XEvent* flat = AddEvent(line, flat_names[i], now + 10, now + 70);
        flat->add_stats()->set_metadata_id(traceme);
        flat->mutable_stats(0)->set_int64_value(i);
      }
      now += 200;
    }
  }
  std::string bytes;
  space.SerializeToString(&bytes);
  return bytes;
}

const std::string& SpaceBytes() {
  static const std::string* bytes = new std::string(BuildSpaceBytes());
  return *bytes;
}

void BM_ParseXSpace(benchmark::State& state) {
  const std::string& bytes = SpaceBytes();
  for (auto _ : state) {
    XSpace space;
    benchmark::DoNotOptimize(space.ParseFromString(bytes));
    state.PauseTiming();  // Destroying the space is not part of the work.
    space.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAllEvents);
}
BENCHMARK(BM_ParseXSpace)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportEvents(benchmark::State& state) {
  const std::string& bytes = SpaceBytes();
  size_t exported = 0;
  for (auto _ : state) {
    std::vector<ElapseEvent> events;
    if (!ExportEvents(&bytes, nullptr, &events)) state.SkipWithError("ExportEvents failed");
    exported = events.size();
    state.PauseTiming();
    events = {};
    state.ResumeTiming();
  }
  state.counters["host_events_out"] = static_cast<double>(exported);
  state.SetItemsProcessed(state.iterations() * kAllEvents);
}
BENCHMARK(BM_ExportEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// Runs `work` in a forked child; returns how far the child's peak resident
// size rose above its resident size before the work, in bytes (-1 on error).
template <typename Work>
int64_t PeakGrowth(Work work) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // Starts the peak afresh at the current resident size.
    const int clear = open("/proc/self/clear_refs", O_WRONLY);
    if (clear >= 0) {
      (void)!write(clear, "5", 1);
      close(clear);
    }
    const int64_t before = ResidentBytes();
    work();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const int64_t growth = static_cast<int64_t>(usage.ru_maxrss) * 1024 - before;
    (void)!write(fds[1], &growth, sizeof(growth));
    _exit(0);
  }
  close(fds[1]);
  int64_t growth = -1;
  if (read(fds[0], &growth, sizeof(growth)) != sizeof(growth)) growth = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return growth;
}

void BM_PeakMemory(benchmark::State& state, bool export_events) {
  const std::string& bytes = SpaceBytes();
  int64_t growth = 0;
  for (auto _ : state) {
    growth = PeakGrowth([&] {
      if (export_events) {
        std::vector<ElapseEvent> events;
        ExportEvents(&bytes, nullptr, &events);
        benchmark::DoNotOptimize(events.data());
      } else {
        XSpace space;
        benchmark::DoNotOptimize(space.ParseFromString(bytes));
      }
    });
  }
  if (growth < 0) state.SkipWithError("peak measurement failed");
  state.counters["peak_MiB"] = static_cast<double>(growth) / (1 << 20);
  state.counters["peak_bytes_per_event"] = static_cast<double>(growth) / kAllEvents;
}
BENCHMARK_CAPTURE(BM_PeakMemory, ParseXSpace, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeakMemory, ExportEvents, true)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
