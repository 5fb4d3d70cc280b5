#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/env.h"
#include "testing/trace_me_events.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::unique_ptr<ProfilerInterface> HostTracerAtLevel(uint32_t level) {
  ProfileOptions options;
  options.set_host_tracer_level(level);
  return CreateHostTracer(options);
}

// The names of the events on the host plane of `space`, line by line.
std::vector<std::string> HostEventNames(const XSpace& space) {
  std::vector<std::string> names;
  const XPlane* plane = FindPlaneWithName(space, kHostPlaneName);
  if (plane == nullptr) return names;
  for (const XLine& line : plane->lines()) {
    for (const XEvent& event : line.events()) {
      names.push_back(plane->event_metadata().at(event.metadata_id()).name());
    }
  }
  return names;
}

class HostTracerTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::StopRecorder(); }
  void TearDown() override { testing::StopRecorder(); }
};

// An activity is recorded when its level is at most the host level; a level
// that does not fit int32 wraps to a negative one, which the recorder raises
// to 0: recording runs, but nothing is kept. Events from before the session's
// start stay out, whatever the recorder held.
TEST_F(HostTracerTest, RecordsUpToItsLevelFromTheSessionStart) {
  EXPECT_EQ(HostTracerAtLevel(0), nullptr);
  const std::vector<std::pair<uint32_t, std::vector<std::string>>> cases = {
      {1, {"at start", "critical"}},
      {3, {"at start", "critical", "info", "verbose"}},
      {uint32_t{INT32_MAX} + 1, {}},
  };
  for (const auto& [level, recorded] : cases) {
    std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(level);
    const uint64_t start = EnvTime::NowNanos();
    ASSERT_TRUE(tracer->Start(start).ok()) << level;
    if (level == 1 || level == 3) {
      const int64_t now = static_cast<int64_t>(EnvTime::NowNanos());
      TraceMeRecorder::Record({"before", static_cast<int64_t>(start) - 1, now});
      TraceMeRecorder::Record({"at start", static_cast<int64_t>(start), now});
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
// that recorded and exited during the session keeps its line; destroying a
// recording tracer stops the recorder.
TEST_F(HostTracerTest, RefusesCallsOutOfOrderAndKeepsExitedThreads) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  EXPECT_EQ(tracer->Start(EnvTime::NowNanos()).ToString(),
            "Internal: TraceMeRecorder already started");
  std::unique_ptr<ProfilerInterface> other = HostTracerAtLevel(1);
  EXPECT_EQ(other->Start(EnvTime::NowNanos()).ToString(),
            "Internal: Failed to start TraceMeRecorder");
  uint32_t worker_tid = 0;
  std::thread([&worker_tid] {
    pthread_setname_np(pthread_self(), "gone");
    worker_tid = static_cast<uint32_t>(pthread_self());
    TraceMe event("from a thread that exits");
  }).join();
  XSpace space;
  EXPECT_EQ(tracer->CollectData(&space).ToString(), "Internal: TraceMeRecorder not stopped");
  EXPECT_THAT(space.planes(), IsEmpty());

  ASSERT_TRUE(tracer->Stop().ok());
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  // The events were handed over once.
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  EXPECT_THAT(HostEventNames(space), ElementsAre("from a thread that exits"));
  EXPECT_EQ(space.planes(0).lines(0).name(), "gone/" + std::to_string(worker_tid));

  HostTracerAtLevel(1)->Start(EnvTime::NowNanos());
  EXPECT_FALSE(TraceMe::Active(kCritical));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
