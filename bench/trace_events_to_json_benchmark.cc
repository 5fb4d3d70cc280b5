// The trace viewer's part of the export for 1,000,000 host events (TraceMes
// on 8 threads with two arguments each, as the host tracer writes them):
//   BM_TraceToJson            JSON text generation alone (bytes/second),
//                             the document built whole;
//   BM_StreamTraceToJson      the same handed on in 1 MiB pieces, as the
//                             export does.
//   BM_ConvertXSpaceToTraceEvents  the conversion alone, the trace freed too.
//   BM_GzipJsonText           the baseline: gzip of the same JSON bytes into
//                             the tool file, with the export's settings.
//   BM_ExportTraceViewer      the whole trace-viewer step of the export:
//                             conversion, JSON streamed into the gzip stream,
//                             file (not the op statistics, which the export
//                             computes for the other tools).
//   BM_ExportPeakMemory/...   the rise of the process's peak resident set
//                             during one export, streamed and, for
//                             comparison, with the JSON text built whole.
// The export's ratio is BM_ExportTraceViewer / BM_GzipJsonText.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "bench/bench_support.h"
#include "common/platform/zlib_outputbuffer.h"
#include "trace/core/convert/trace_events_to_json.h"
#include "trace/core/convert/xplane_to_profile_response.h"
#include "trace/core/convert/xplane_to_trace_events.h"
#include "trace/core/protobuf/trace_events.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/rpc/client/save_profile.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kEvents = 1000000;
constexpr int kThreads = 8;
constexpr std::array<const char*, 8> kNames = {
    "train_step", "forward",        "backward",      "MatMul",
    "Conv2D",     "optimizer::Sgd", "data::Shuffle", "allreduce \"grads\"",
};

XSpace BuildSpace() {
  XSpace space;
  XPlane* plane = space.add_planes();
  plane->set_name(kHostPlaneName);
  XPlaneBuilder host(plane);
  const XStatMetadata& flag = *host.GetOrCreateStatMetadata(GetStatTypeStr(traceme_flag));
  const XStatMetadata& step = *host.GetOrCreateStatMetadata("step_num");
  const XStatMetadata& phase = *host.GetOrCreateStatMetadata("phase");
  for (int t = 0; t < kThreads; ++t) {
    XLineBuilder line = host.GetOrCreateLine(4000 + t);
    line.SetName("worker" + std::to_string(t) + "/" + std::to_string(4000 + t));
    line.SetTimestampNs(1000000);
    line.ReserveEvents(kEvents / kThreads + 1);
  }
  for (int i = 0; i < kEvents; ++i) {
    XEventBuilder event = host.GetOrCreateLine(4000 + i % kThreads)
                              .AddEvent(*host.GetOrCreateEventMetadata(kNames[i % kNames.size()]));
    event.SetOffsetPs(int64_t{i} * 1234567);
    event.SetDurationPs(1000000 + i % 77777);
    event.AddStatValue(flag, int64_t{1});
    event.AddStatValue(step, int64_t{i / 64});
    event.AddStatValue(phase, i % 2 == 0 ? "train" : "eval");
  }
  return space;
}

const XSpace& Space() {
  static const XSpace* const space = new XSpace(BuildSpace());
  return *space;
}

const Trace& ConvertedTrace() {
  static const Trace* const trace = [] {
    Trace* converted = new Trace();
    ConvertXSpaceToTraceEvents(Space(), converted);
    return converted;
  }();
  return *trace;
}

const std::string& JsonText() {
  static const std::string* const json = new std::string(TraceToJson(ConvertedTrace()));
  return *json;
}

// A fresh directory for the export's files, removed at exit.
const std::string& OutputRoot() {
  static const std::string* const root = [] {
    char pattern[] = "/tmp/trace_json_bench.XXXXXX";
    std::string* dir = new std::string(mkdtemp(pattern));
    atexit([] {
      const std::string command = "rm -rf '" + OutputRoot() + "'";
      if (system(command.c_str()) != 0) perror("cleaning up");
    });
    return dir;
  }();
  return *root;
}

ProfileRequest TraceViewerRequest() {
  ProfileRequest request;
  request.set_repository_root(OutputRoot());
  request.set_session_id("run");
  request.set_host_name("bench");
  request.add_tools(std::string(kTraceViewerToolName));
  return request;
}

// Builds the inputs before any timing.
void Prepare(const benchmark::State&) { JsonText(); }

void BM_TraceToJson(benchmark::State& state) {
  const Trace& trace = ConvertedTrace();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = TraceToJson(trace);
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["json_bytes_per_event"] = static_cast<double>(bytes) / kEvents;
}

void BM_StreamTraceToJson(benchmark::State& state) {
  const Trace& trace = ConvertedTrace();
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    const Status status =
        StreamTraceToJson(trace, kTraceJsonChunkBytes, [&bytes](std::string_view piece) {
          bytes += piece.size();
          return Status();
        });
    if (!status.ok()) state.SkipWithError(status.ToString().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The conversion alone, the third part of the export besides JSON and gzip.
void BM_ConvertXSpaceToTraceEvents(benchmark::State& state) {
  const XSpace& space = Space();
  for (auto _ : state) {
    // On an arena like the export's, freed at the end of each run.
    google::protobuf::Arena arena(TraceArenaOptions());
    benchmark::DoNotOptimize(ConvertXSpaceToTraceEvents(space, &arena)->trace_events_size());
  }
}

void BM_GzipJsonText(benchmark::State& state) {
  const std::string& json = JsonText();
  const ProfileRequest request = TraceViewerRequest();
  for (auto _ : state) {
    const Status status = SaveGzippedToolData(request.repository_root(), request.session_id(),
                                              request.host_name(), "trace.json.gz", json);
    if (!status.ok()) state.SkipWithError(status.ToString().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

void BM_ExportTraceViewer(benchmark::State& state) {
  const XSpace& space = Space();
  const ProfileRequest request = TraceViewerRequest();
  for (auto _ : state) {
    ProfileResponse response;
    const Status status = ExportTraceViewer(space, request, &response);
    if (!status.ok()) state.SkipWithError(status.ToString().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JsonText().size()));
}

// The export's trace-viewer step with the JSON text built whole first.
Status ExportWholeText(const XSpace& space, const ProfileRequest& request) {
  google::protobuf::Arena arena(TraceArenaOptions());
  return SaveGzippedToolData(request.repository_root(), request.session_id(), request.host_name(),
                             "trace.json.gz",
                             TraceToJson(*ConvertXSpaceToTraceEvents(space, &arena)));
}

// Peak memory of one export: freed memory goes back to the system first, so
// that every page the export touches counts.
void BM_ExportPeakMemory(benchmark::State& state) {
  const bool streamed = state.range(0) == 1;
  const XSpace& space = Space();
  const ProfileRequest request = TraceViewerRequest();
  int64_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    if (!ResetPeakResident()) state.SkipWithError("cannot reset the peak resident set");
    const int64_t before = StatusBytes("VmRSS:");
    state.ResumeTiming();
    ProfileResponse response;
    const Status status =
        streamed ? ExportTraceViewer(space, request, &response) : ExportWholeText(space, request);
    if (!status.ok()) state.SkipWithError(status.ToString().c_str());
    state.PauseTiming();
    peak = StatusBytes("VmHWM:") - before;
    state.ResumeTiming();
  }
  state.SetLabel(streamed ? "streamed" : "whole text");
  state.counters["peak_bytes_per_event"] = static_cast<double>(peak) / kEvents;
  state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
}

// Whole runs on prepared inputs, timed by the clock on the wall.
void WholeRuns(benchmark::internal::Benchmark* benchmark) {
  benchmark->Setup(Prepare)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_TraceToJson)->Apply(WholeRuns)->Iterations(5);
BENCHMARK(BM_StreamTraceToJson)->Apply(WholeRuns)->Iterations(5);
BENCHMARK(BM_ConvertXSpaceToTraceEvents)->Apply(WholeRuns)->Iterations(3);
BENCHMARK(BM_GzipJsonText)->Apply(WholeRuns)->Iterations(3);
BENCHMARK(BM_ExportTraceViewer)->Apply(WholeRuns)->Iterations(3);
BENCHMARK(BM_ExportPeakMemory)->Apply(WholeRuns)->Arg(1)->Arg(0)->Iterations(1);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
