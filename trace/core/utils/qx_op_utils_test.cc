#include "trace/core/utils/qx_op_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::zentrik::testing::StderrCapture;

TEST(QxOpUtilsTest, ParsesFullNames) {
  const struct {
    std::string fullname;
    int32_t kind;
    std::string name;
    std::string type;
    std::string event_name;
  } cases[] = {
      {"conv1:Conv2D", QxOp::kParsed, "conv1", "Conv2D", "Conv2D"},
      {"a::b", QxOp::kOther, "a::b", "", "a::b"},
      {"scope::inner/op:MatMul", QxOp::kParsed, "scope::inner/op", "MatMul", "MatMul"},
      {"a::b:c", QxOp::kParsed, "a::b", "c", "c"},
      {"a:::b", QxOp::kOther, "a:::b", "", "a:::b"},
      // A trailing delimiter is dropped; a leading one keeps the whole text.
      {"train:", QxOp::kOther, "train", "", "train"},
      {"train:  ", QxOp::kParsed, "train", "  ", "  "},
      {":Add", QxOp::kOther, ":Add", "", ":Add"},
      // '#' in either part makes the text unparsed, unless it is the whole
      // text before a trailing delimiter.
      {"op#1:Add", QxOp::kOther, "op#1:Add", "", "op#1:Add"},
      {"op:Add#2", QxOp::kOther, "op:Add#2", "", "op:Add#2"},
      {"op#1:", QxOp::kOther, "op#1", "", "op#1"},
      // Only blanks are trimmed, and only from unparsed text.
      {"my op  ", QxOp::kOther, "my op  ", "", "my op"},
      {"   ", QxOp::kOther, "   ", "", ""},
      {"name :Type ", QxOp::kParsed, "name ", "Type ", "Type "},
  };
  for (const auto& c : cases) {
    for (const bool warn : {false, true}) {
      StderrCapture capture;  // keeps warnings of multi-delimiter names out of the output
      const QxOp op = ParseQxOpFullname(c.fullname, warn);
      EXPECT_TRUE(op.kind == c.kind && op.name == c.name && op.type == c.type) << '"' << c.fullname;
      EXPECT_EQ(QxOpEventName(c.fullname, warn), c.event_name) << '"' << c.fullname << '"';
    }
  }
}

TEST(QxOpUtilsTest, SplitsOnTheRightmostIsolatedDelimiter) {
  const struct {
    std::string s;
    char delimiter;
    std::vector<std::string> parts;
  } cases[] = {
      {"plain", ':', {"plain"}},      {":", ':', {"", ""}},         {"::", ':', {"::"}},
      {"a/b//c", '/', {"a", "b//c"}}, {"a/b/c", '/', {"a/b", "c"}}, {"//x/", '/', {"//x", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(SplitOnIsolatedDelimiter(c.s, c.delimiter, false), ElementsAreArray(c.parts))
        << '"' << c.s << '"';
  }
}

TEST(QxOpUtilsTest, WarnsOnceAboutSeveralIsolatedDelimiters) {
  const struct {
    std::string fullname;
    bool warn;
    int lines;
  } cases[] = {
      {"x:y:Add", true, 1},
      {"x:y:Add", false, 0},
      {"a::b:c", true, 0},
      {"a:b:c:d", true, 1},
  };
  for (const auto& c : cases) {
    StderrCapture capture;
    EXPECT_EQ(QxOpEventName(c.fullname, c.warn), c.fullname.substr(c.fullname.rfind(':') + 1));
    const std::string log = capture.Stop();
    int lines = 0;
    for (const char ch : log) lines += ch == '\n';
    EXPECT_EQ(lines, c.lines) << c.fullname << ": " << log;
    if (c.lines > 0) {
      EXPECT_THAT(log, HasSubstr("] Find multiple isolated delimiter ':' in " + c.fullname + "\n"));
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
