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
using ::testing::HasSubstr;
using Pairs = std::vector<std::pair<std::string, std::string>>;

struct ParseCase {
  std::string text;
  std::string name;
  Pairs metadata;
};

void ExpectParses(const ParseCase& c) {
  const Annotation annotation = ParseAnnotation(c.text);
  EXPECT_EQ(annotation.name, c.name) << c.text;
  EXPECT_EQ(annotation.metadata, c.metadata) << c.text;
}

TEST(ParseAnnotationTest, NamesAndPairs) {
  const ParseCase cases[] = {
      {"op#a=1,b=2#", "op", {{"a", "1"}, {"b", "2"}}},
      {"op", "op", {}},
      {"op#a=1,b=2", "op#a=1,b=2", {}},
      {"#", "", {}},
      {"", "", {}},
      {"op##", "op", {}},
      {"op#a=1#b=2#", "op", {{"a", "1"}}},
      {"op#x=[1,2],y=2#", "op", {{"x", "[1,2]"}, {"y", "2"}}},
      {"op#s=\"a,b\",t=1#", "op", {{"s", "\"a,b\""}, {"t", "1"}}},
      {"op#s='a,(b',t=1#", "op", {{"s", "'a,(b',t=1"}}},
      {"op#f={a:(1,2)},g=(3]),h=4#", "op", {{"f", "{a:(1,2)}"}, {"g", "(3])"}, {"h", "4"}}},
      {"op#g=(3],h=4#", "op", {{"g", "(3],h=4"}}},
      {"op# a = 1 #", "op", {{"a", "1"}}},
      {" my op #k=v#", "myop", {{"k", "v"}}},
      {"op#k=v=w#", "op", {{"k", "v=w"}}},
      {"op#a,b=2#", "op", {{"b", "2"}}},
      {"op#ab,c=3#", "op", {{"c", "3"}}},
      {"op#k\t=\tv#", "op", {{"k\t", "\tv"}}},
      {"op#x=1,,y=2,#", "op", {{"x", "1"}, {"y", "2"}}},
  };
  for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(ParseAnnotationTest, EmptyKeysAndValuesAreDroppedWithAWarningEach) {
  ::zentrik::testing::StderrCapture capture;
  const Annotation annotation = ParseAnnotation("op#a=, =1,b=2#");
  const std::string log = capture.Stop();
  EXPECT_EQ(annotation.metadata, (Pairs{{"b", "2"}}));
  const std::string warning =
      "] Instrumentation attribute [a=, =1,b=2] found empty key or empty value, drop the empty "
      "pair\n";
  ASSERT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_NE(log.find(warning, log.find(warning) + 1), std::string::npos) << log;
  EXPECT_THAT(log, HasSubstr("WARNING"));
}

TEST(ParseAnnotationTest, SilentDropsLogNothing) {
  ::zentrik::testing::StderrCapture capture;
  ParseAnnotation("op#a,b#");
  ParseAnnotation("op#x#y=1#");
  EXPECT_EQ(capture.Stop(), "");
}

TEST(ParseAnnotationTest, RemoveAllSpacesRemovesOnlyBlanks) {
  EXPECT_EQ(RemoveAllSpaces(" a b\tc \n"), "ab\tc\n");
  EXPECT_EQ(RemoveAllSpaces("    "), "");
  EXPECT_EQ(RemoveAllSpaces(""), "");
}

TEST(ParseAnnotationTest, LongInputs) {
  // Inputs that a quadratic step would make very slow.
  const std::string spaces(1 << 20, ' ');
  EXPECT_EQ(RemoveAllSpaces(spaces + "x" + spaces), "x");

  std::string metadata;
  Pairs expected;
  for (int i = 0; i < 20000; ++i) {
    metadata += " k" + std::to_string(i) + " = [" + std::to_string(i) + ",0],";
    expected.emplace_back("k" + std::to_string(i), "[" + std::to_string(i) + ",0]");
  }
  ExpectParses({spaces + "op#" + metadata + "#", "op", expected});
  // An unclosed bracket makes the rest one pair.
  ExpectParses(
      {"op#x=(" + std::string(1 << 20, ',') + "#", "op", {{"x", "(" + std::string(1 << 20, ',')}}});

  std::string stack;
  for (int i = 0; i < 10000; ++i) stack += "a" + std::to_string(i) + "::";
  const std::vector<Annotation> annotations = ParseAnnotationStack(stack);
  ASSERT_EQ(annotations.size(), 10000u);
  EXPECT_EQ(annotations.back().name, "a9999");
}

std::vector<std::string> StackNames(const std::string& stack) {
  std::vector<std::string> names;
  for (const Annotation& annotation : ParseAnnotationStack(stack)) {
    names.push_back(annotation.name);
  }
  return names;
}

TEST(ParseAnnotationStackTest, SplitsAtTheDelimiterInForce) {
  EXPECT_EQ(GetAnnotationStackDelimiter(), "::");
  const std::vector<Annotation> annotations = ParseAnnotationStack("outer::inner#k=v#");
  ASSERT_EQ(annotations.size(), 2u);
  EXPECT_EQ(annotations[0].name, "outer");
  EXPECT_TRUE(annotations[0].metadata.empty());
  EXPECT_EQ(annotations[1].name, "inner");
  EXPECT_EQ(annotations[1].metadata, (Pairs{{"k", "v"}}));
  EXPECT_THAT(StackNames("::a::"), ElementsAre("a"));
  EXPECT_THAT(StackNames(""), ElementsAre());
  EXPECT_THAT(StackNames("a:::b"), ElementsAre("a", ":b"));
  EXPECT_THAT(StackNames("a/b::c"), ElementsAre("a/b", "c"));

  EXPECT_FALSE(SetAnnotationStackDelimiter(""));
  EXPECT_EQ(GetAnnotationStackDelimiter(), "::");
  ASSERT_TRUE(SetAnnotationStackDelimiter("/"));
  EXPECT_THAT(StackNames("a/b::c"), ElementsAre("a", "b::c"));
  EXPECT_THAT(StackNames("::a::"), ElementsAre("::a::"));
  ASSERT_TRUE(SetAnnotationStackDelimiter("->"));
  EXPECT_THAT(StackNames("x#k=v#->y"), ElementsAre("x", "y"));
  ASSERT_TRUE(SetAnnotationStackDelimiter("::"));
}

TEST(ParseAnnotationStackTest, DelimiterChangesWhileOtherThreadsParse) {
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
