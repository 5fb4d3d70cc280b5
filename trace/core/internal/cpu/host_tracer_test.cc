#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "testing/trace_me_events.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

std::unique_ptr<ProfilerInterface> HostTracerAtLevel(uint32_t level) {
  ProfileOptions options;
  options.set_host_tracer_level(level);
  return CreateHostTracer(options);
}

std::vector<std::string> HostEventNames(const XSpace& space) {
  std::vector<std::string> names;
  const XPlane* plane = FindPlaneWithName(space, kHostPlaneName);
  if (plane == nullptr) return names;
  for (const XLine& line : plane->lines()) {
    for (const XEvent& e : line.events()) {
      names.push_back(plane->event_metadata().at(e.metadata_id()).name());
    }
  }
  return names;
}

// Recorded up to the host level and from the session start on; a level
// beyond int32 wraps negative and the recorder raises it to 0: nothing kept.
TEST(HostTracerTest, RecordsUpToItsLevelFromTheSessionStart) {
  testing::StopRecorder();
  EXPECT_EQ(HostTracerAtLevel(0), nullptr);
  const std::pair<uint32_t, std::vector<std::string>> cases[] = {
      {1, {"at start", "critical"}},
      {3, {"at start", "critical", "info", "verbose"}},
      {uint32_t{INT32_MAX} + 1, {}},
  };
  for (const auto& [level, recorded] : cases) {
    std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(level);
    const int64_t start = static_cast<int64_t>(EnvTime::NowNanos());
    ASSERT_TRUE(tracer->Start(start).ok()) << level;
    if (level <= 3) {
      TraceMeRecorder::Record({"before", start - 1, start + 1});
      TraceMeRecorder::Record({"at start", start, start + 1});
    }
    { TraceMe critical("critical", kCritical); }
    { TraceMe info("info", kInfo); }
    { TraceMe verbose("verbose", kVerbose); }
    ASSERT_TRUE(tracer->Stop().ok());
    XSpace space;
    ASSERT_TRUE(tracer->CollectData(&space).ok());
    EXPECT_EQ(HostEventNames(space), recorded) << level;
  }
}

// Each misuse is refused with its own message and changes nothing; a thread
// that recorded and exited keeps its line; destroying a recording tracer
// stops the recorder.
TEST(HostTracerTest, RefusesCallsOutOfOrderAndKeepsExitedThreads) {
  testing::StopRecorder();
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  EXPECT_EQ(tracer->Start(0).ToString(), "Internal: TraceMeRecorder already started");
  EXPECT_EQ(HostTracerAtLevel(1)->Start(0).ToString(), "Internal: Failed to start TraceMeRecorder");
  uint32_t worker_tid = 0;
  std::thread([&worker_tid] {
    pthread_setname_np(pthread_self(), "gone");
    worker_tid = static_cast<uint32_t>(pthread_self());
    TraceMe event("from a thread that exits");
  }).join();
  XSpace space;
  EXPECT_EQ(tracer->CollectData(&space).ToString(), "Internal: TraceMeRecorder not stopped");
  EXPECT_EQ(space.planes_size(), 0);
  ASSERT_TRUE(tracer->Stop().ok());
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  ASSERT_TRUE(tracer->CollectData(&space).ok());  // the events were handed over once
  EXPECT_THAT(HostEventNames(space), ::testing::ElementsAre("from a thread that exits"));
  EXPECT_EQ(space.planes(0).lines(0).name(), "gone/" + std::to_string(worker_tid));
  HostTracerAtLevel(1)->Start(EnvTime::NowNanos());
  EXPECT_FALSE(TraceMe::Active(kCritical));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
