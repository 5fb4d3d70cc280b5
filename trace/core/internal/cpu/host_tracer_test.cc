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
#include "testing/xspace_reader.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/profiler_session.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/utf8_utils.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"
#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

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

TEST_F(HostTracerTest, FactoryDeclinesLevelZero) {
  EXPECT_EQ(HostTracerAtLevel(0), nullptr);
  EXPECT_NE(HostTracerAtLevel(1), nullptr);
}

struct LevelCase {
  uint32_t level;
  std::vector<std::string> recorded;
};

// An activity is recorded when its level is at most the host level; a level
// that does not fit int32 wraps to a negative one, which the recorder raises
// to 0: recording runs, but nothing is kept.
TEST_F(HostTracerTest, RecordsUpToItsLevel) {
  const std::vector<LevelCase> cases = {
      {1, {"critical"}},
      {2, {"critical", "info"}},
      {3, {"critical", "info", "verbose"}},
      {uint32_t{INT32_MAX} + 1, {}},
  };
  for (const LevelCase& c : cases) {
    std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(c.level);
    ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok()) << c.level;
    { TraceMe critical("critical", kCritical); }
    { TraceMe info("info", kInfo); }
    { TraceMe verbose("verbose", kVerbose); }
    ASSERT_TRUE(tracer->Stop().ok());
    XSpace space;
    ASSERT_TRUE(tracer->CollectData(&space).ok());
    EXPECT_EQ(HostEventNames(space), c.recorded) << c.level;
  }
}

// Each misuse is refused with its own message and changes nothing.
TEST_F(HostTracerTest, RefusesCallsOutOfOrder) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");

  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  EXPECT_EQ(tracer->Start(EnvTime::NowNanos()).ToString(),
            "Internal: TraceMeRecorder already started");
  std::unique_ptr<ProfilerInterface> other = HostTracerAtLevel(1);
  EXPECT_EQ(other->Start(EnvTime::NowNanos()).ToString(),
            "Internal: Failed to start TraceMeRecorder");
  { TraceMe event("still recording"); }
  XSpace space;
  EXPECT_EQ(tracer->CollectData(&space).ToString(), "Internal: TraceMeRecorder not stopped");
  EXPECT_THAT(space.planes(), IsEmpty());

  ASSERT_TRUE(tracer->Stop().ok());
  EXPECT_EQ(tracer->Stop().ToString(), "Internal: TraceMeRecorder not started");
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  EXPECT_THAT(HostEventNames(space), ElementsAre("still recording"));
  // The events were handed over once.
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  EXPECT_THAT(HostEventNames(space), ElementsAre("still recording"));
}

TEST_F(HostTracerTest, EmptySessionGivesAnEmptyHostPlane) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(2);
  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  ASSERT_TRUE(tracer->Stop().ok());
  XSpace space;
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  ASSERT_EQ(space.planes_size(), 1);
  EXPECT_EQ(space.planes(0).name(), kHostPlaneName);
  EXPECT_THAT(space.planes(0).lines(), IsEmpty());
}

// Events from before the session's start time stay out, whatever the
// recorder held.
TEST_F(HostTracerTest, DropsEventsBeforeTheSessionStart) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  const uint64_t start = EnvTime::NowNanos();
  ASSERT_TRUE(tracer->Start(start).ok());
  const int64_t now = static_cast<int64_t>(EnvTime::NowNanos());
  TraceMeRecorder::Record({"before", static_cast<int64_t>(start) - 1, now});
  TraceMeRecorder::Record({"at start", static_cast<int64_t>(start), now});
  ASSERT_TRUE(tracer->Stop().ok());
  XSpace space;
  ASSERT_TRUE(tracer->CollectData(&space).ok());
  EXPECT_THAT(HostEventNames(space), ElementsAre("at start"));
}

// A thread that recorded and ended during the session still has its line.
TEST_F(HostTracerTest, KeepsEventsOfThreadsThatExited) {
  std::unique_ptr<ProfilerInterface> tracer = HostTracerAtLevel(1);
  ASSERT_TRUE(tracer->Start(EnvTime::NowNanos()).ok());
  uint32_t worker_tid = 0;
  std::thread worker([&worker_tid] {
    pthread_setname_np(pthread_self(), "gone");
    worker_tid = static_cast<uint32_t>(pthread_self());
    TraceMe event("from a thread that exits");
  });
  worker.join();
  { TraceMe event("from the main thread"); }
  ASSERT_TRUE(tracer->Stop().ok());
  XSpace space;
  ASSERT_TRUE(tracer->CollectData(&space).ok());

  const XPlane& plane = space.planes(0);
  std::vector<std::string> line_names;
  for (const XLine& line : plane.lines()) line_names.push_back(line.name());
  EXPECT_THAT(line_names, ::testing::Contains("gone/" + std::to_string(worker_tid)));
  EXPECT_THAT(HostEventNames(space),
              UnorderedElementsAre("from a thread that exits", "from the main thread"));
}

// Destroying a recording tracer stops the recorder, so the next session can
// record again.
TEST_F(HostTracerTest, DestructionStopsTheRecorder) {
  HostTracerAtLevel(1)->Start(EnvTime::NowNanos());
  EXPECT_FALSE(TraceMe::Active(kCritical));
  std::unique_ptr<ProfilerInterface> next = HostTracerAtLevel(1);
  EXPECT_TRUE(next->Start(EnvTime::NowNanos()).ok());
}

// What a caller gets from a whole session must be readable by anyone, even
// when activity and thread names are not valid text: a thread name cut
// inside a character, stray bytes in a name, an annotation value.
TEST_F(HostTracerTest, SessionOutputParsesBackDespiteIllFormedNames) {
  ProfileOptions options;
  options.set_host_tracer_level(2);
  options.set_version(1);
  std::unique_ptr<ProfilerSession> session = ProfilerSession::Create(options);
  ASSERT_TRUE(session->Status().ok());
  std::thread worker([] {
    // 15 bytes: the last character is cut after its first two bytes.
    pthread_setname_np(pthread_self(), "w-\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82");
    TraceMe outer("outer\xFF");
    TraceMe inner([] { return TraceMeEncode("inner", {{"flops", "12"}, {"note", "\xC3("}}); });
  });
  worker.join();
  XSpace space;
  ASSERT_TRUE(session->CollectData(&space).ok());

  std::string bytes;
  ASSERT_TRUE(space.SerializeToString(&bytes));
  XSpace parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  const std::string r(kUtf8ReplacementCharacter);
  const XPlane& host = *FindPlaneWithName(parsed, kHostPlaneName);
  ASSERT_EQ(host.lines_size(), 1);
  EXPECT_THAT(host.lines(0).name(),
              ::testing::StartsWith("w-\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC" + r + "/"));
  EXPECT_THAT(HostEventNames(parsed), ElementsAre("outer" + r, "inner"));
  EXPECT_THAT(testing::StatTexts(host, testing::EventNamed(host, "inner")),
              UnorderedElementsAre(::testing::Pair("flops", "12"), ::testing::Pair("note", r + "("),
                                   ::testing::Pair("traceme_flag", "1")));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
