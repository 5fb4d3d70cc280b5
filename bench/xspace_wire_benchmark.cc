// The wire form of a host space shaped as collection leaves it (1,000,000
// events on 8 lines, every event pointing at one shared no-value counter set,
// 2 in 5 with two arguments), each way against the generated code in the same
// run:
//   BM_Serialize/0  space.SerializeToString     BM_Serialize/1  SerializeXSpace
//   BM_Parse/0      ParseFromString on an arena BM_Parse/1      ParseXSpace on an arena
// BM_Parse reports arena_bytes_per_event, the arena's size after the parse.
//   BM_SerializeWithin/0  SerializeXSpace of the whole space, the baseline
//   BM_SerializeWithin/1  SerializeXSpaceWithin a limit of three quarters of
//                         its bytes: the cut, the drop and the write
// (each on a space built afresh, untimed).

#include <benchmark/benchmark.h>

#include <string>

#include "trace/core/convert/parse_xspace.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xspace_wire.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kEvents = 1'000'000;
constexpr int kLines = 8;

void BuildHostSpace(XSpace* space) {
  XPlane* plane = space->add_planes();
  plane->set_name("/host:CPU");
  XPlaneBuilder builder(plane);
  const XStatMetadata& flops = *builder.GetOrCreateStatMetadata("flops");
  const XStatMetadata& kernel = *builder.GetOrCreateStatMetadata("kernel");
  PmuData* shared = nullptr;
  for (int l = 0; l < kLines; ++l) {
    XLineBuilder line = builder.GetOrCreateLine(1000 + l);
    line.SetName("thread");
    line.SetTimestampNs(1'700'000'000'000'000'000);
    for (int e = 0; e < kEvents / kLines; ++e) {
      XEventBuilder event =
          line.AddEvent(*builder.GetOrCreateEventMetadata("op" + std::to_string(e % 5)));
      event.SetTimestampNs(1'700'000'000'000'000'000 + 100 * e);
      event.SetEndTimestampNs(1'700'000'000'000'000'000 + 100 * e + 80);
      event.InitSharedNoValuePmuData(&shared);
      if (e % 5 < 2) {
        event.AddStatValue(flops, int64_t{12});
        event.AddStatValue(kernel, "MatMul");
      }
    }
  }
}

void BM_Serialize(benchmark::State& state) {
  google::protobuf::Arena arena;
  XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  BuildHostSpace(&space);
  size_t size = 0;
  for (auto _ : state) {
    std::string bytes;  // fresh, as Stop's caller hands it
    const bool ok =
        state.range(0) == 0 ? space.SerializeToString(&bytes) : SerializeXSpace(space, &bytes);
    if (!ok) state.SkipWithError("serialize failed");
    benchmark::DoNotOptimize(bytes.data());
    size = bytes.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Serialize)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_Parse(benchmark::State& state) {
  std::string bytes;
  {
    google::protobuf::Arena arena;
    XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    BuildHostSpace(&space);
    SerializeXSpace(space, &bytes);
  }
  double arena_bytes = 0;
  for (auto _ : state) {
    google::protobuf::Arena arena;
    XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    const bool ok =
        state.range(0) == 0 ? space->ParseFromString(bytes) : ParseXSpace(bytes, space).ok();
    if (!ok) state.SkipWithError("parse failed");
    arena_bytes = static_cast<double>(arena.SpaceUsed());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["arena_bytes_per_event"] = arena_bytes / kEvents;
}
BENCHMARK(BM_Parse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_SerializeWithin(benchmark::State& state) {
  size_t limit = 0;
  {
    google::protobuf::Arena arena;
    XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
    BuildHostSpace(&space);
    limit = space.ByteSizeLong() / 4 * 3;
  }
  for (auto _ : state) {
    state.PauseTiming();
    {
      google::protobuf::Arena arena;
      XSpace& space = *google::protobuf::Arena::CreateMessage<XSpace>(&arena);
      BuildHostSpace(&space);
      std::string bytes;
      state.ResumeTiming();
      const bool ok = state.range(0) == 0 ? SerializeXSpace(space, &bytes)
                                          : SerializeXSpaceWithin(&space, limit, &bytes);
      if (!ok) state.SkipWithError("serialize failed");
      benchmark::DoNotOptimize(bytes.data());
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SerializeWithin)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace trace
}  // namespace zentrik

BENCHMARK_MAIN();
