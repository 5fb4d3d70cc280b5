#include "trace/core/utils/qx_op_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::StderrCapture;

TEST(QxOpUtilsTest, ParsesFullNames) {
  const struct {
    std::string fullname;
    int32_t kind;
    std::string name;
    std::string type;
    std::string event_name;
    bool warns;  // about several isolated delimiters, when asked to
  } cases[] = {
      {"conv1:Conv2D", QxOp::kParsed, "conv1", "Conv2D", "Conv2D", false},
      {"a::b", QxOp::kOther, "a::b", "", "a::b", false},
      {"scope::inner/op:MatMul", QxOp::kParsed, "scope::inner/op", "MatMul", "MatMul", false},
      {"a::b:c", QxOp::kParsed, "a::b", "c", "c", false},
      {"a:::b", QxOp::kOther, "a:::b", "", "a:::b", false},
      // A trailing delimiter is dropped; a leading one keeps the whole text.
      {"train:", QxOp::kOther, "train", "", "train", false},
      {"train:  ", QxOp::kParsed, "train", "  ", "  ", false},
      {":Add", QxOp::kOther, ":Add", "", ":Add", false},
      // '#' in either part makes the text unparsed, unless it is the whole
      // text before a trailing delimiter.
      {"op#1:Add", QxOp::kOther, "op#1:Add", "", "op#1:Add", false},
      {"op:Add#2", QxOp::kOther, "op:Add#2", "", "op:Add#2", false},
      {"op#1:", QxOp::kOther, "op#1", "", "op#1", false},
      // Only blanks are trimmed, and only from unparsed text.
      {"my op  ", QxOp::kOther, "my op  ", "", "my op", false},
      {"   ", QxOp::kOther, "   ", "", "", false},
      {"name :Type ", QxOp::kParsed, "name ", "Type ", "Type ", false},
      {"x:y:Add", QxOp::kParsed, "x:y", "Add", "Add", true},
      {"a:b:c:d", QxOp::kParsed, "a:b:c", "d", "d", true},
  };
  for (const auto& c : cases) {
    for (const bool warn : {false, true}) {
      StderrCapture capture;
      const QxOp op = ParseQxOpFullname(c.fullname, warn);
      EXPECT_TRUE(op.kind == c.kind && op.name == c.name && op.type == c.type) << '"' << c.fullname;
      EXPECT_EQ(QxOpEventName(c.fullname, warn), c.event_name) << '"' << c.fullname << '"';
      const std::string log = capture.Stop();
      const std::string line = "] Find multiple isolated delimiter ':' in " + c.fullname + "\n";
      int lines = 0;
      for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++lines;
      EXPECT_EQ(lines, warn && c.warns ? 2 : 0) << c.fullname << ": " << log;
      EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), lines) << log;
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
