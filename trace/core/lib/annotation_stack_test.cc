#include "trace/core/lib/annotation_stack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "zentrik/trace/trace_me.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class ScopedAnnotationTest : public ::testing::Test {
 protected:
  void SetUp() override { SetAnnotationsEnabled(true); }
  void TearDown() override { SetAnnotationsEnabled(false); }

  // The calling thread's annotation stack as names.
  static std::vector<std::string> StackNames() {
    std::vector<std::string> names;
    for (uint64_t id : ThreadAnnotationStack::Get())
      names.push_back(AnnotationRegistry::NameOf(id));
    return names;
  }
};

TEST(AnnotationRegistryTest, IdsAreDenseInFirstUseOrderAndNeverReused) {
  const uint64_t base = AnnotationRegistry::Size();
  const std::string prefix = "registry-test-";
  EXPECT_EQ(AnnotationRegistry::GetOrRegister(prefix + "a"), base);
  EXPECT_EQ(AnnotationRegistry::GetOrRegister(prefix + "b"), base + 1);
  EXPECT_EQ(AnnotationRegistry::GetOrRegister(prefix + "a"), base);
  EXPECT_EQ(AnnotationRegistry::GetOrRegister(prefix + "a "), base + 2);  // Bytes, not normalised.
  EXPECT_EQ(AnnotationRegistry::Size(), base + 3);
  EXPECT_EQ(AnnotationRegistry::NameOf(base + 1), prefix + "b");
  EXPECT_EQ(AnnotationRegistry::NameOf(base + 3), "");
  EXPECT_EQ(AnnotationRegistry::NameOf(~uint64_t{0}), "");
}

TEST(AnnotationRegistryTest, ConcurrentFirstPushesShareOneId) {
  const uint64_t base = AnnotationRegistry::Size();
  constexpr int kThreads = 8;
  constexpr int kNames = 50;
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
    EXPECT_EQ(AnnotationRegistry::NameOf(ids[0][n]), "concurrent-" + std::to_string(n));
  }
}

TEST_F(ScopedAnnotationTest, NestedAnnotationsFormAStackPerThread) {
  {
    ScopedAnnotation a("A");
    ScopedAnnotation b(std::string("B"));
    {
      ScopedAnnotation a_again([] { return std::string("A"); });
      EXPECT_THAT(StackNames(), ElementsAre("A", "B", "A"));
      const auto& stack = ThreadAnnotationStack::Get();
      EXPECT_EQ(stack[0], stack[2]);
      EXPECT_NE(stack[0], stack[1]);
      // Another thread starts with an empty stack of its own.
      std::thread([] {
        EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
        ScopedAnnotation c("C");
        EXPECT_THAT(StackNames(), ElementsAre("C"));
      }).join();
    }
    EXPECT_THAT(StackNames(), ElementsAre("A", "B"));
  }
  EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
  EXPECT_THAT(ThreadAnnotationStack::GetThreadState().first_stack, IsEmpty());
}

TEST_F(ScopedAnnotationTest, AnnotationsMadeWhileDisabledLeaveTheStackAlone) {
  ScopedAnnotation outer("outer");
  {
    SetAnnotationsEnabled(false);
    bool generated = false;
    ScopedAnnotation skipped("skipped");
    ScopedAnnotation skipped_generated([&] {
      generated = true;
      return std::string("never");
    });
    EXPECT_FALSE(generated);
    EXPECT_THAT(StackNames(), ElementsAre("outer"));
    // Re-enabled before they end: they still must not pop "outer".
    SetAnnotationsEnabled(true);
  }
  EXPECT_THAT(StackNames(), ElementsAre("outer"));
}

TEST_F(ScopedAnnotationTest, ManyDistinctNamesKeepTheirIds) {
  // More names than the per-thread id cache holds, pushed twice over.
  std::vector<uint64_t> first, second;
  for (int round = 0; round < 2; ++round) {
    for (int n = 0; n < 300; ++n) {
      ScopedAnnotation annotation("many-" + std::to_string(n));
      (round == 0 ? first : second).push_back(ThreadAnnotationStack::Get().back());
    }
  }
  EXPECT_EQ(first, second);
  for (int n = 0; n < 300; ++n)
    EXPECT_EQ(AnnotationRegistry::NameOf(first[n]), "many-" + std::to_string(n));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
