#include "trace/core/utils/parse_annotation.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "trace/core/utils/qx_op_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::LogLinesFrom;
using ::zentrik::testing::StderrCapture;
using Lines = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ParseAnnotationTest, NamesAndPairs) {
  const struct {
    std::string text, name;
    Pairs metadata;
  } cases[] = {
      {" o p #a=1#b=2#", "op", {{"a", "1"}}},
      {"op#s=\"a,b\",t=1#", "op", {{"s", "\"a,b\""}, {"t", "1"}}},
      {"op#f={a:(1,2)},g=(3]),h=4#", "op", {{"f", "{a:(1,2)}"}, {"g", "(3])"}, {"h", "4"}}},
  };
  for (const auto& c : cases) {
    const Annotation annotation = ParseAnnotation(c.text);
    EXPECT_EQ(annotation.name, c.name) << c.text;
    EXPECT_EQ(annotation.metadata, c.metadata) << c.text;
  }
  StderrCapture capture;  // One line per empty pair.
  EXPECT_EQ(ParseAnnotation(" my op #a=, =1,b = v=w#").metadata, (Pairs{{"b", "v=w"}}));
  EXPECT_EQ(LogLinesFrom(capture.Stop(), "trace/core/utils/parse_annotation"),
            Lines(2,
                  "WARNING Instrumentation attribute [a=, =1,b = v=w] found empty key or empty "
                  "value, drop the empty pair"));
}

TEST(ParseAnnotationTest, LongInputsInLinearTime) {
  std::string metadata;
  Pairs expected;
  for (int i = 0; i < 20000; ++i) {
    metadata += " k" + std::to_string(i) + " = [" + std::to_string(i) + ",0],";
    expected.emplace_back("k" + std::to_string(i), "[" + std::to_string(i) + ",0]");
  }
  EXPECT_EQ(ParseAnnotation(std::string(1 << 20, ' ') + "op#" + metadata + "#").metadata, expected);
  const std::string unclosed = "(" + std::string(1 << 20, ',');  // The rest is one pair.
  EXPECT_EQ(ParseAnnotation("op#x=" + unclosed + "#").metadata, (Pairs{{"x", unclosed}}));
}

// Split at the delimiter in force, also while it changes under other threads.
TEST(ParseAnnotationStackTest, DelimiterChangesWhileOtherThreadsParse) {
  EXPECT_EQ(ParseAnnotationStack("::a:::b#k=v#")[1].name, ":b");
  EXPECT_FALSE(SetAnnotationStackDelimiter(""));
  std::vector<std::thread> parsers;
  for (int t = 0; t < 4; ++t) {
    parsers.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {  // Either delimiter gives two pieces, never torn ones.
        const std::vector<Annotation> s = ParseAnnotationStack("a::b/c");
        const std::string got = s.size() == 2 ? s[0].name + "|" + s[1].name : "";
        ASSERT_TRUE(got == "a|b/c" || got == "a::b|c") << got;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) SetAnnotationStackDelimiter(i % 2 == 0 ? "/" : "::");
  for (auto& parser : parsers) parser.join();
  SetAnnotationStackDelimiter("::");
}

// Full name -> "kind name|type|event name"; asked to, x:y:Add warns per call.
TEST(QxOpUtilsTest, ParsesFullNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"scope::in/op :MatMul ", "0 scope::in/op |MatMul |MatMul "},  // Parts are not trimmed.
      {"train:", "1 train||train"},  // A trailing delimiter is dropped.
      {"op#1:Add", "1 op#1:Add||op#1:Add"},
      {"my op  ", "1 my op  ||my op"},  // Only blanks of unparsed text are trimmed.
      {"x:y:Add", "0 x:y|Add|Add"},
  };
  for (const auto& [fullname, expected] : cases) {
    for (const bool warn : {false, true}) {
      StderrCapture capture;
      const QxOp op = ParseQxOpFullname(fullname, warn);
      EXPECT_EQ(std::to_string(op.kind) + " " + op.name + "|" + op.type + "|" +
                    QxOpEventName(fullname, warn),
                expected);
      const std::string line = "WARNING Find multiple isolated delimiter ':' in " + fullname;
      EXPECT_EQ(LogLinesFrom(capture.Stop(), "trace/core/utils/qx_op_utils"),
                Lines(warn && fullname == "x:y:Add" ? 2 : 0, line));
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
