#include "zentrik/trace/trace_me.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
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
  void SetUp() override { TraceMeRecorder::Get()->Stop(); }
  void TearDown() override {
    TraceMeRecorder::Get()->Stop();
    SetAnnotationsEnabled(false);
  }
  static TraceMeRecorder* Recorder() { return TraceMeRecorder::Get(); }
};

TEST_F(TraceMeTest, RecordsActiveLevelsOnlyAndGeneratesNamesOnlyForThem) {
  ASSERT_TRUE(Recorder()->Start(kInfo));
  int generated = 0;
  {
    TraceMe critical("critical");
    TraceMe info(std::string("info"), kInfo);
    TraceMe verbose("verbose", kVerbose);
    TraceMe zero(std::string_view("zero"), 0);
    TraceMe generated_info([&] { return ++generated, std::string("generated"); }, 2);
    TraceMe generated_verbose([&] { return ++generated, std::string("never"); }, 3);
    TraceMe twice("stopped-twice");
    twice.Stop();
    twice.Stop();
  }
  TraceMe::RecordInstantTrace("instant");
  EXPECT_EQ(generated, 1);
  const TraceMeRecorder::Events events = Recorder()->Stop();
  EXPECT_THAT(EventNames(events),
              ElementsAre("stopped-twice", "generated", "zero", "info", "critical", "instant"));
  EXPECT_EQ(events[0].events.back().start_time, events[0].events.back().end_time);
}

// A thread that never recorded: queuing an instant while idle would register
// it, and nothing would ever drain the queue.
TEST_F(TraceMeTest, InstantsWhileIdleRegisterNothing) {
  const size_t registered = Recorder()->RegisteredThreadCount();
  std::thread([registered] {
    for (int i = 0; i < 1000; ++i) TraceMe::RecordInstantTrace("idle");
    EXPECT_EQ(TraceMeRecorder::Get()->RegisteredThreadCount(), registered);
  }).join();
  ASSERT_TRUE(Recorder()->Start(1));
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
}

TEST_F(TraceMeTest, EncodeAppendsArguments) {
  EXPECT_EQ(TraceMeEncode("op", {}), "op");
  EXPECT_EQ(TraceMeEncode("x", {{"a", "1"}, {"k#", "=v,"}}), "x#a=1,k#==v,#");
  EXPECT_EQ(TraceMeEncode(static_cast<const char*>(nullptr), {{"k", "v"}}), "#k=v#");
}

std::vector<std::string> StackNames() {
  std::vector<std::string> names;
  for (uint64_t id : ThreadAnnotationStack::Get()) names.push_back(AnnotationRegistry::NameOf(id));
  return names;
}

// Scoped and annotated activities pop exactly what they pushed, even when
// annotations are switched either way before they end.
TEST_F(TraceMeTest, AnnotationsPopOnlyWhatTheyPushed) {
  for (int mode = 0; mode < 4; ++mode) {
    const bool annotations = mode & 1, recording = mode & 2;
    SCOPED_TRACE(mode);
    SetAnnotationsEnabled(true);
    ScopedAnnotation outer("outer");  // a wrong pop would take it
    SetAnnotationsEnabled(annotations);
    ASSERT_TRUE(!recording || Recorder()->Start(1));
    int generated = 0;
    {
      ScopedAnnotation scoped([&] { return ++generated, std::string("scoped"); });
      AnnotatedTraceMe annotated("annotated", 1);
      AnnotatedTraceMe inactive("inactive", 2);
      AnnotatedTraceMe from_generator([&] { return ++generated, std::string("generated"); }, 1);
      const std::vector<std::string> pushed{"outer", "scoped", "annotated", "inactive",
                                            "generated"};
      EXPECT_EQ(StackNames(), annotations ? pushed : std::vector<std::string>{"outer"});
      SetAnnotationsEnabled(!annotations);
    }
    EXPECT_EQ(generated, annotations ? 2 : recording ? 1 : 0);
    EXPECT_THAT(StackNames(), ElementsAre("outer"));
    const std::vector<std::string> none, both{"generated", "annotated"};
    EXPECT_EQ(EventNames(Recorder()->Stop()), recording ? both : none);
  }
  EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
  EXPECT_THAT(ThreadAnnotationStack::GetThreadState().first_stack, IsEmpty());
}

TEST(AnnotationRegistryTest, ConcurrentFirstUsesShareDenseIds) {
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
    EXPECT_EQ(AnnotationRegistry::NameOf(ids[0][n]), "concurrent-" + std::to_string(n)) << n;
  }
  EXPECT_EQ(AnnotationRegistry::NameOf(~uint64_t{0}), "");
}

// A session at level 0 records nothing. An activity that outlives its session
// is dropped: ending it on a thread that never recorded registers nothing.
TEST_F(TraceMeTest, LevelZeroAndActivitiesOutlivingTheirSessionRecordNothing) {
  ASSERT_TRUE(Recorder()->Start(0));
  { TraceMe zero("level-zero", 0); }
  EXPECT_THAT(Recorder()->Stop(), IsEmpty());
  const size_t registered = Recorder()->RegisteredThreadCount();
  std::thread([registered] {
    TraceMeRecorder* recorder = TraceMeRecorder::Get();
    ASSERT_TRUE(recorder->Start(1));
    auto outlives = std::make_unique<TraceMe>("outlives-session");
    EXPECT_THAT(recorder->Stop(), IsEmpty());
    outlives.reset();
    EXPECT_EQ(recorder->RegisteredThreadCount(), registered);
  }).join();
}

// Byte for byte what the host conversion later takes apart: "#" after the
// name, "=" inside a pair, "," between pairs, "#" at the end; nothing escaped.
TEST_F(TraceMeTest, EncodeRows) {
  using namespace std::string_literals;
  const struct {
    const char* row;
    std::string encoded, want;
  } rows[] = {
      {"no arguments", TraceMeEncode("op"s, {}), "op"},
      {"no arguments, C string", TraceMeEncode("op", {}), "op"},
      {"one argument", TraceMeEncode("op"s, {{"a", "1"}}), "op#a=1#"},
      {"one argument, C string", TraceMeEncode("op", {{"a", "1"}}), "op#a=1#"},
      {"two arguments", TraceMeEncode("op"s, {{"a", "1"}, {"b", "2"}}), "op#a=1,b=2#"},
      {"four arguments", TraceMeEncode("op", {{"a", "1"}, {"bb", "22"}, {"c", "3"}, {"d", "4"}}),
       "op#a=1,bb=22,c=3,d=4#"},
      {"empty key and value", TraceMeEncode("op", {{"", ""}}), "op#=#"},
      {"empty value", TraceMeEncode("op", {{"k", ""}}), "op#k=#"},
      {"empty key", TraceMeEncode("op", {{"", "v"}}), "op#=v#"},
      {"two empty pairs", TraceMeEncode("op"s, {{"", ""}, {"", ""}}), "op#=,=#"},
      {"empty name", TraceMeEncode(""s, {{"k", "v"}}), "#k=v#"},
      {"empty name, no arguments", TraceMeEncode("", {}), ""},
      {"a name that already carries arguments gets a second block",
       TraceMeEncode("op#a=1#"s, {{"b", "2"}}), "op#a=1##b=2#"},
      {"separators inside keys and values stay as given",
       TraceMeEncode("x", {{"a", "1"}, {"k#", "=v,"}}), "x#a=1,k#==v,#"},
      {"NUL bytes are kept", TraceMeEncode("o\0p"s, {{"k\0"s, "\0v"s}}), "o\0p#k\0=\0v#"s},
      {"longer than the inline buffer",
       TraceMeEncode(std::string(40, 'n'),
                     {{std::string(30, 'k'), "v"}, {"w", std::string(20, 'x')}}),
       std::string(40, 'n') + "#" + std::string(30, 'k') + "=v,w=" + std::string(20, 'x') + "#"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.encoded, row.want) << row.row;
}

// More names than the per-thread id cache holds, pushed twice over: every
// push finds its own name's id, whatever the cache evicted.
TEST(ScopedAnnotationTest, IdCacheOverflowKeepsEveryNamesId) {
  SetAnnotationsEnabled(true);
  std::vector<uint64_t> ids[2];
  for (int round = 0; round < 2; ++round) {
    for (int n = 0; n < 300; ++n) {
      ScopedAnnotation annotation("many-" + std::to_string(n));
      ids[round].push_back(ThreadAnnotationStack::Get().back());
      EXPECT_EQ(AnnotationRegistry::NameOf(ids[round].back()), "many-" + std::to_string(n));
    }
  }
  SetAnnotationsEnabled(false);
  EXPECT_EQ(ids[0], ids[1]);
  // Names differing in one trailing byte are different names; ids past the
  // end name nothing.
  const uint64_t id = AnnotationRegistry::GetOrRegister("many-0 ");
  EXPECT_EQ(id, AnnotationRegistry::Size() - 1);
  EXPECT_EQ(AnnotationRegistry::NameOf(id + 1), "");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
