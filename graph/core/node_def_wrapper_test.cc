#include "graph/core/node_def_wrapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace graph {
namespace {

TEST(NodeDefWrapperTest, InputsKeepOneEntryPerSource) {
  struct Step {
    std::string source;
    int slot;
    bool result;
    std::string warning;  // Empty when none is expected.
  };
  const struct {
    std::string label;
    std::vector<Step> steps;
    std::vector<std::string> inputs;
  } cases[] = {
      {"same source and slot twice",
       {{"a", 0, true, ""}, {"a", 0, false, "the input a of node n is already existed."}},
       {"a:0"}},
      {"re-slotted source moves to the end",
       {{"a", 0, true, ""},
        {"b", 0, true, ""},
        {"a", 1, true, "the input a of node n is modified to slot 1"},
        {"c", 0, true, ""},
        {"b", 2, true, "the input b of node n is modified to slot 2"},
        {"a", 1, false, "the input a of node n is already existed."}},
       {"a:1", "c:0", "b:2"}},
      {"a colon inside the source name is part of it",
       {{"x:y", 2, true, ""}, {"x", 2, true, ""}, {"big", 123456, true, ""}},
       {"x:y:2", "x:2", "big:123456"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    NodeDefWrapper wrapper;
    wrapper.mutable_node_def()->set_name("n");
    for (const Step& step : c.steps) {
      testing::StderrCapture capture;
      EXPECT_EQ(wrapper.AddInput(step.source, step.slot), step.result) << step.source;
      const std::string log = capture.Stop();
      EXPECT_EQ(log.empty(), step.warning.empty()) << log;
      EXPECT_NE(log.find(step.warning.empty() ? "" : "] " + step.warning + "\n"), std::string::npos)
          << log;
    }
    const auto& inputs = wrapper.node_def().input();
    EXPECT_EQ(std::vector<std::string>(inputs.begin(), inputs.end()), c.inputs);
  }
}

TEST(NodeDefWrapperTest, OutputDataType) {
  const DataType unnamed = static_cast<DataType>(-1);
  const struct {
    DataType type;
    bool result;
    std::string log;
    int stored;
  } steps[] = {
      {INVALID, false, "type value is invalid.", 0},
      {COUNT, false, "type value is invalid.", 0},
      {FLOAT, true, "", 1},
      {INT64, true, "the output data type of T is modified to int64", 9},
      // A value outside the table cannot replace a type: refused, unchanged.
      {unnamed, false, "the output data type of T is not modified: -1 is not a data type.", 9},
  };
  NodeDefWrapper wrapper;
  for (const auto& step : steps) {
    testing::StderrCapture capture;
    EXPECT_EQ(wrapper.SetOutputDataType("T", step.type), step.result) << step.log;
    const std::string log = capture.Stop();
    EXPECT_NE(log.find(step.log.empty() ? "" : "] " + step.log + "\n"), std::string::npos) << log;
    const auto& attrs = wrapper.node_def().attr();
    EXPECT_EQ(attrs.count("T") ? attrs.at("T").type_value() : 0, step.stored) << step.log;
  }
}

TEST(NodeDefWrapperTest, AttributesAndShapesAreReplacedWhole) {
  NodeDefWrapper wrapper;
  AttrValue first;
  first.set_int_value(1);
  AttrValue second;
  second.set_string_value("two");
  wrapper.SetAttr("k", first);
  wrapper.SetAttr("k", second);
  EXPECT_EQ(wrapper.node_def().attr().at("k").string_value(), "two");
  testing::StderrCapture refused;
  EXPECT_FALSE(wrapper.SetOutputShapes({}));
  EXPECT_NE(refused.Stop().find("] the output dim is empty.\n"), std::string::npos);
  ASSERT_TRUE(wrapper.SetOutputShapes({{}, {2, -1}}));
  testing::StderrCapture capture;
  ASSERT_TRUE(wrapper.SetOutputShapes({{7}}));
  EXPECT_NE(capture.Stop().find("] the output dims have been modified.\n"), std::string::npos);
  const auto& shapes = wrapper.node_def().attr().at("_output_shapes").list().shape_values();
  ASSERT_EQ(shapes.size(), 1);
  EXPECT_EQ(shapes[0].dims(0).size(), 7);
  EXPECT_EQ(wrapper.node_def().attr().size(), 2u);
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
