#include "zentrik/trace/trace_me.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "testing/trace_me_events.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/annotation_stack.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::zentrik::testing::EventNames;

class TraceMeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::zentrik::testing::StopRecorder(); }
  void TearDown() override {
    ::zentrik::testing::StopRecorder();
    SetAnnotationsEnabled(false);
  }

  static TraceMeRecorder* Recorder() { return TraceMeRecorder::Get(); }
};

// A recorder level of -1 stands for "idle".
TEST_F(TraceMeTest, ActiveComparesTheLevelWithTheRecordingThreshold) {
  const struct {
    int recorder_level;
    bool active[5];  // For levels -1 to 3.
  } cases[] = {
      {-1, {true, false, false, false, false}},
      {0, {true, true, false, false, false}},
      {2, {true, true, true, true, false}},
      {3, {true, true, true, true, true}},
  };
  for (const auto& c : cases) {
    if (c.recorder_level >= 0) {
      ASSERT_TRUE(Recorder()->Start(c.recorder_level));
    }
    for (int level = -1; level <= 3; ++level) {
      EXPECT_EQ(TraceMe::Active(level), c.active[level + 1])
          << "recorder " << c.recorder_level << ", level " << level;
    }
    Recorder()->Stop();
  }
  EXPECT_FALSE(TraceMe::Active());
  EXPECT_EQ(kCritical, 1);
  EXPECT_EQ(kInfo, 2);
  EXPECT_EQ(kVerbose, 3);
}

TEST_F(TraceMeTest, RecordsActiveLevelsOnly) {
  ASSERT_TRUE(Recorder()->Start(kInfo));
  int generated = 0;
  auto name_of = [&generated](const char* name) {
    return [&generated, name] {
      ++generated;
      return std::string(name);
    };
  };
  {
    TraceMe critical("critical");
    TraceMe info(std::string("info"), kInfo);
    TraceMe verbose("verbose", kVerbose);
    TraceMe zero(std::string_view("zero"), 0);
    TraceMe generated_info(name_of("generated-info"), 2);
    TraceMe generated_verbose(name_of("generated-verbose"), 3);
    const std::string lvalue = "lvalue";
    TraceMe from_lvalue(lvalue);
  }
  EXPECT_EQ(generated, 1);
  EXPECT_THAT(EventNames(Recorder()->Stop()),
              ElementsAre("lvalue", "generated-info", "zero", "info", "critical"));
}

TEST_F(TraceMeTest, RecordsOneCompleteEventPerActivity) {
  ASSERT_TRUE(Recorder()->Start(1));
  {
    TraceMe twice("stopped-twice");
    twice.Stop();
    twice.Stop();
  }
  TraceMe::RecordInstantTrace("instant");
  const TraceMeRecorder::Events events = Recorder()->Stop();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].events.size(), 2u);
  const auto& activity = events[0].events[0];
  EXPECT_EQ(activity.name, "stopped-twice");
  EXPECT_GT(activity.start_time, 0);
  EXPECT_LE(activity.start_time, activity.end_time);
  const auto& instant = events[0].events[1];
  EXPECT_EQ(instant.name, "instant");
  EXPECT_EQ(instant.start_time, instant.end_time);
  EXPECT_LE(activity.end_time, instant.start_time);
}

TEST_F(TraceMeTest, RecordsNothingAtLevelZeroOrAfterTheRecorderStopped) {
  ASSERT_TRUE(Recorder()->Start(0));
  EXPECT_TRUE(TraceMe::Active(0));
  { TraceMe zero("level-zero", 0); }
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());

  ASSERT_TRUE(Recorder()->Start(1));
  auto outlives = std::make_unique<TraceMe>("outlives-session");
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
  outlives.reset();
  ASSERT_TRUE(Recorder()->Start(1));
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
}

TEST_F(TraceMeTest, InstantEventsWhileIdleAreNotQueued) {
  const size_t registered = Recorder()->RegisteredThreadCount();
  // A thread that never recorded: queuing would register it.
  std::thread([registered] {
    for (int i = 0; i < 1000; ++i) TraceMe::RecordInstantTrace("idle");
    EXPECT_EQ(TraceMeRecorder::Get()->RegisteredThreadCount(), registered);
  }).join();
  ASSERT_TRUE(Recorder()->Start(1));
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
}

TEST_F(TraceMeTest, EncodeAppendsArguments) {
  const struct {
    std::string encoded;
    std::string expected;
  } cases[] = {
      {TraceMeEncode("op", {}), "op"},
      {TraceMeEncode("op", {{"a", "1"}, {"b", "2"}}), "op#a=1,b=2#"},
      {TraceMeEncode("op", {{"", ""}}), "op#=#"},
      {TraceMeEncode(std::string("step"), {{"step_num", "3"}, {"_r", "1"}}),
       "step#step_num=3,_r=1#"},
      {TraceMeEncode(std::string(), {{"k", "v"}}), "#k=v#"},
      {TraceMeEncode("x", {{"k#", "=v,"}}), "x#k#==v,#"},
      {TraceMeEncode(static_cast<const char*>(nullptr), {{"k", "v"}}), "#k=v#"},
      {TraceMeEncode(std::string(40, 'n'), {{std::string(30, 'k'), std::string(50, 'v')}}),
       std::string(40, 'n') + "#" + std::string(30, 'k') + "=" + std::string(50, 'v') + "#"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.encoded, c.expected);
}

TEST_F(TraceMeTest, AnnotatedTraceMePairsItsPushAndPop) {
  const struct {
    bool annotations;
    bool recording;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.annotations << c.recording);
    SetAnnotationsEnabled(true);
    ScopedAnnotation outer("outer");
    const size_t depth = ThreadAnnotationStack::Get().size();
    SetAnnotationsEnabled(c.annotations);
    if (c.recording) {
      ASSERT_TRUE(Recorder()->Start(1));
    }
    int generated = 0;
    {
      AnnotatedTraceMe annotated("annotated", 1);
      AnnotatedTraceMe inactive("inactive", 2);
      AnnotatedTraceMe from_generator(
          [&] {
            ++generated;
            return std::string("generated");
          },
          1);
      EXPECT_EQ(ThreadAnnotationStack::Get().size(), depth + (c.annotations ? 3 : 0));
    }
    EXPECT_EQ(generated, c.annotations || c.recording ? 1 : 0);
    EXPECT_EQ(ThreadAnnotationStack::Get().size(), depth);
    const std::vector<std::string> names = EventNames(Recorder()->Stop());
    const std::vector<std::string> expected =
        c.recording ? std::vector<std::string>{"generated", "annotated"}
                    : std::vector<std::string>{};
    EXPECT_EQ(names, expected);
  }
  EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
