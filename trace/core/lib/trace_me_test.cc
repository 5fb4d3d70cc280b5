#include "zentrik/trace/trace_me.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

TEST_F(TraceMeTest, RecordsActiveLevelsOnlyAndGeneratesNamesOnlyForThem) {
  ASSERT_TRUE(Recorder()->Start(kInfo));
  int generated = 0;
  auto name_of = [&generated](const char* name) {
    return [&generated, name] { return ++generated, std::string(name); };
  };
  {
    TraceMe critical("critical");
    TraceMe info(std::string("info"), kInfo);
    TraceMe verbose("verbose", kVerbose);
    TraceMe zero(std::string_view("zero"), 0);
    TraceMe generated_info(name_of("generated-info"), 2);
    TraceMe generated_verbose(name_of("generated-verbose"), 3);
    TraceMe twice("stopped-twice");
    twice.Stop();
    twice.Stop();
  }
  TraceMe::RecordInstantTrace("instant");
  EXPECT_EQ(generated, 1);
  const TraceMeRecorder::Events events = Recorder()->Stop();
  EXPECT_THAT(EventNames(events), ElementsAre("stopped-twice", "generated-info", "zero", "info",
                                              "critical", "instant"));
  EXPECT_EQ(events[0].events.back().start_time, events[0].events.back().end_time);
}

TEST_F(TraceMeTest, RecordsNothingAtLevelZeroAfterStopOrForInstantsWhileIdle) {
  ASSERT_TRUE(Recorder()->Start(0));
  { TraceMe zero("level-zero", 0); }
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());

  ASSERT_TRUE(Recorder()->Start(1));
  auto outlives = std::make_unique<TraceMe>("outlives-session");
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
  outlives.reset();
  // A thread that never recorded: queuing an instant while idle would
  // register it, and nothing would ever drain the queue.
  const size_t registered = Recorder()->RegisteredThreadCount();
  std::thread([registered] {
    for (int i = 0; i < 1000; ++i) TraceMe::RecordInstantTrace("idle");
    EXPECT_EQ(TraceMeRecorder::Get()->RegisteredThreadCount(), registered);
  }).join();
  ASSERT_TRUE(Recorder()->Start(1));
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
}

TEST_F(TraceMeTest, EncodeAppendsArguments) {
  const std::pair<std::string, std::string> cases[] = {
      {TraceMeEncode("op", {}), "op"},
      {TraceMeEncode("op", {{"a", "1"}, {"b", "2"}}), "op#a=1,b=2#"},
      {TraceMeEncode("op", {{"", ""}}), "op#=#"},
      {TraceMeEncode("x", {{"k#", "=v,"}}), "x#k#==v,#"},
      {TraceMeEncode(static_cast<const char*>(nullptr), {{"k", "v"}}), "#k=v#"},
      {TraceMeEncode(std::string(40, 'n'), {{std::string(30, 'k'), "v"}}),
       std::string(40, 'n') + "#" + std::string(30, 'k') + "=v#"},
  };
  for (const auto& [encoded, expected] : cases) EXPECT_EQ(encoded, expected);
}

TEST_F(TraceMeTest, AnnotatedTraceMePairsItsPushAndPop) {
  for (int mode = 0; mode < 4; ++mode) {
    const bool annotations = mode & 1, recording = mode & 2;
    SCOPED_TRACE(mode);
    SetAnnotationsEnabled(true);
    ScopedAnnotation outer("outer");
    const size_t depth = ThreadAnnotationStack::Get().size();
    SetAnnotationsEnabled(annotations);
    ASSERT_TRUE(!recording || Recorder()->Start(1));
    int generated = 0;
    {
      AnnotatedTraceMe annotated("annotated", 1);
      AnnotatedTraceMe inactive("inactive", 2);
      AnnotatedTraceMe from_generator([&] { return ++generated, std::string("generated"); }, 1);
      EXPECT_EQ(ThreadAnnotationStack::Get().size(), depth + (annotations ? 3 : 0));
    }
    EXPECT_EQ(generated, annotations || recording ? 1 : 0);
    EXPECT_EQ(ThreadAnnotationStack::Get().size(), depth);
    const std::vector<std::string> none, both{"generated", "annotated"};
    EXPECT_EQ(EventNames(Recorder()->Stop()), recording ? both : none);
  }
}

std::vector<std::string> StackNames() {
  std::vector<std::string> names;
  for (uint64_t id : ThreadAnnotationStack::Get()) names.push_back(AnnotationRegistry::NameOf(id));
  return names;
}

TEST(AnnotationRegistryTest, ConcurrentFirstUsesShareDenseIdsNeverReused) {
  const uint64_t base = AnnotationRegistry::Size();
  constexpr int kThreads = 8, kNames = 50;
  std::vector<std::vector<uint64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ids] {
      for (int n = 0; n < kNames; ++n) {
        ids[t].push_back(AnnotationRegistry::GetOrRegister("concurrent-" + std::to_string(n)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
  EXPECT_EQ(AnnotationRegistry::Size(), base + kNames);
  for (int n = 0; n < kNames; ++n) {
    EXPECT_LT(ids[0][n], base + kNames) << n;
    EXPECT_EQ(AnnotationRegistry::NameOf(ids[0][n]), "concurrent-" + std::to_string(n)) << n;
  }
  EXPECT_EQ(AnnotationRegistry::GetOrRegister("concurrent-0 "), base + kNames);  // bytes count
  EXPECT_EQ(AnnotationRegistry::NameOf(base + kNames + 1), "");
  EXPECT_EQ(AnnotationRegistry::NameOf(~uint64_t{0}), "");
}

// Per-thread stacks are left to the stress test; a disabled annotation never
// pops, even when annotations are enabled again before it ends.
TEST(ScopedAnnotationTest, DisabledAnnotationsLeaveTheStackAlone) {
  SetAnnotationsEnabled(true);
  {
    ScopedAnnotation a("A");
    ScopedAnnotation b(std::string("B"));
    {
      ScopedAnnotation a_again([] { return std::string("A"); });
      EXPECT_THAT(StackNames(), ElementsAre("A", "B", "A"));
    }
    {
      SetAnnotationsEnabled(false);
      bool generated = false;
      ScopedAnnotation skipped("skipped");
      ScopedAnnotation skipped_generated([&] { return generated = true, std::string("never"); });
      EXPECT_FALSE(generated);
      // Re-enabled before they end: they still must not pop "B".
      SetAnnotationsEnabled(true);
    }
    EXPECT_THAT(StackNames(), ElementsAre("A", "B"));
  }
  EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
  EXPECT_THAT(ThreadAnnotationStack::GetThreadState().first_stack, IsEmpty());

  // More names than the per-thread id cache holds, pushed twice over.
  std::vector<uint64_t> ids[2];
  for (int round = 0; round < 2; ++round) {
    for (int n = 0; n < 300; ++n) {
      ScopedAnnotation annotation("many-" + std::to_string(n));
      ids[round].push_back(ThreadAnnotationStack::Get().back());
    }
  }
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(AnnotationRegistry::NameOf(ids[0][299]), "many-299");
  SetAnnotationsEnabled(false);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
