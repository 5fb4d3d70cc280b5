#include "trace/core/utils/parse_annotation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ParseAnnotationTest, NamesAndPairs) {
  const struct {
    std::string text;
    std::string name;
    Pairs metadata;
    int warnings;  // "found empty key or empty value" lines
  } cases[] = {
      {"op#a=1,b=2", "op#a=1,b=2", {}, 0},
      {"op#a=1#b=2#", "op", {{"a", "1"}}, 0},
      {"op#s=\"a,b\",t=1#", "op", {{"s", "\"a,b\""}, {"t", "1"}}, 0},
      {"op#s='a,(b',t=1#", "op", {{"s", "'a,(b',t=1"}}, 0},
      {"op#f={a:(1,2)},g=(3]),h=4#", "op", {{"f", "{a:(1,2)}"}, {"g", "(3])"}, {"h", "4"}}, 0},
      {" my op #k = v=w#", "myop", {{"k", "v=w"}}, 0},
      {"op#a,b=2,,#", "op", {{"b", "2"}}, 0},
      {"op#k\t=\tv#", "op", {{"k\t", "\tv"}}, 0},
      {"op#x#y=1#", "op", {}, 0},
      {"op#a=, =1,b=2#", "op", {{"b", "2"}}, 2},
  };
  for (const auto& c : cases) {
    ::zentrik::testing::StderrCapture capture;
    const Annotation annotation = ParseAnnotation(c.text);
    const std::string log = capture.Stop();
    EXPECT_EQ(annotation.name, c.name) << c.text;
    EXPECT_EQ(annotation.metadata, c.metadata) << c.text;
    const std::string warning =
        "] Instrumentation attribute [" +
        c.text.substr(c.text.find('#') + 1, c.text.rfind('#') - c.text.find('#') - 1) +
        "] found empty key or empty value, drop the empty pair\n";
    int warnings = 0;
    for (size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, c.warnings) << c.text << ": " << log;
  }
  EXPECT_EQ(RemoveAllSpaces(" a b\tc \n"), "ab\tc\n");
}

TEST(ParseAnnotationTest, LongInputsInLinearTime) {
  const std::string spaces(1 << 20, ' ');
  std::string metadata;
  Pairs expected;
  for (int i = 0; i < 20000; ++i) {
    metadata += " k" + std::to_string(i) + " = [" + std::to_string(i) + ",0],";
    expected.emplace_back("k" + std::to_string(i), "[" + std::to_string(i) + ",0]");
  }
  EXPECT_EQ(ParseAnnotation(spaces + "op#" + metadata + "#").metadata, expected);
  // An unclosed bracket makes the rest one pair.
  const std::string unclosed = "(" + std::string(1 << 20, ',');
  EXPECT_EQ(ParseAnnotation("op#x=" + unclosed + "#").metadata, (Pairs{{"x", unclosed}}));
  std::string stack;
  for (int i = 0; i < 10000; ++i) stack += "a" + std::to_string(i) + "::";
  EXPECT_EQ(ParseAnnotationStack(stack).size(), 10000u);
}

std::vector<std::string> StackNames(const std::string& stack) {
  std::vector<std::string> names;
  for (const Annotation& annotation : ParseAnnotationStack(stack)) names.push_back(annotation.name);
  return names;
}

// Split at the delimiter in force, also while it changes under other threads.
TEST(ParseAnnotationStackTest, DelimiterChangesWhileOtherThreadsParse) {
  EXPECT_EQ(ParseAnnotationStack("outer::inner#k=v#")[1].metadata, (Pairs{{"k", "v"}}));
  EXPECT_THAT(StackNames("::a::"), ElementsAre("a"));
  EXPECT_THAT(StackNames("a:::b"), ElementsAre("a", ":b"));
  EXPECT_FALSE(SetAnnotationStackDelimiter(""));
  ASSERT_TRUE(SetAnnotationStackDelimiter("/"));
  EXPECT_THAT(StackNames("a/b::c"), ElementsAre("a", "b::c"));
  std::vector<std::thread> parsers;
  for (int t = 0; t < 4; ++t) {
    parsers.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        const std::vector<std::string> names = StackNames("a::b/c");
        // Either delimiter gives two pieces; never a torn one.
        const bool colons = names == std::vector<std::string>{"a", "b/c"};
        const bool slash = names == std::vector<std::string>{"a::b", "c"};
        ASSERT_TRUE(colons || slash);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) SetAnnotationStackDelimiter(i % 2 == 0 ? "/" : "::");
  for (auto& parser : parsers) parser.join();
  SetAnnotationStackDelimiter("::");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
