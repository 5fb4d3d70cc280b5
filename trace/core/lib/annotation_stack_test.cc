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
using ::testing::IsEmpty;

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

TEST(ScopedAnnotationTest, StacksArePerThreadAndDisabledAnnotationsLeaveThemAlone) {
  SetAnnotationsEnabled(true);
  {
    ScopedAnnotation a("A");
    ScopedAnnotation b(std::string("B"));
    {
      ScopedAnnotation a_again([] { return std::string("A"); });
      EXPECT_THAT(StackNames(), ElementsAre("A", "B", "A"));
      std::thread([] {
        EXPECT_THAT(ThreadAnnotationStack::Get(), IsEmpty());
        ScopedAnnotation c("C");
        EXPECT_THAT(StackNames(), ElementsAre("C"));
      }).join();
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
