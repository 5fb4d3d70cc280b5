#include "graph/core/node_def_wrapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace graph {
namespace {

std::vector<std::string> Inputs(const NodeDefWrapper& wrapper) {
  const auto& input = wrapper.node_def().input();
  return std::vector<std::string>(input.begin(), input.end());
}

TEST(NodeDefWrapperTest, InputsKeepOneEntryPerSource) {
  struct Step {
    std::string source;
    int slot;
    bool result;
    std::string warning;  // Empty when none is expected.
  };
  struct Case {
    std::string label;
    std::vector<Step> steps;
    std::vector<std::string> inputs;
  };
  const Case cases[] = {
      {"same source and slot twice",
       {{"a", 0, true, ""}, {"a", 0, false, "the input a of node n is already existed."}},
       {"a:0"}},
      {"re-slotted source moves to the end",
       {{"a", 0, true, ""},
        {"b", 0, true, ""},
        {"a", 1, true, "the input a of node n is modified to slot 1"}},
       {"b:0", "a:1"}},
      {"a colon inside the source name is part of it",
       {{"x:y", 2, true, ""},
        {"x", 2, true, ""},
        {"x:y", 2, false, "the input x:y of node n is already existed."}},
       {"x:y:2", "x:2"}},
      {"slots print in decimal", {{"big", 123456, true, ""}}, {"big:123456"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    NodeDefWrapper wrapper;
    wrapper.mutable_node_def()->set_name("n");
    for (const Step& step : c.steps) {
      testing::StderrCapture capture;
      EXPECT_EQ(wrapper.AddInput(step.source, step.slot), step.result);
      const std::string log = capture.Stop();
      if (step.warning.empty()) {
        EXPECT_EQ(log, "");
      } else {
        EXPECT_NE(log.find("] " + step.warning + "\n"), std::string::npos) << log;
      }
    }
    EXPECT_EQ(Inputs(wrapper), c.inputs);
  }
}

TEST(NodeDefWrapperTest, SetAttrReplacesAnExistingValue) {
  NodeDefWrapper wrapper;
  AttrValue first;
  first.set_int_value(1);
  AttrValue second;
  second.set_string_value("two");
  wrapper.SetAttr("k", first);
  wrapper.SetAttr("k", second);
  ASSERT_EQ(wrapper.node_def().attr().size(), 1u);
  EXPECT_EQ(wrapper.node_def().attr().at("k").string_value(), "two");
  AttrValue* found = nullptr;
  ASSERT_TRUE(wrapper.FindAttr("k", &found));
  EXPECT_EQ(found->string_value(), "two");
  EXPECT_FALSE(wrapper.FindAttr("other", &found));
}

TEST(NodeDefWrapperTest, OutputDataTypeRefusesInvalidAndCount) {
  NodeDefWrapper wrapper;
  for (DataType type : {INVALID, COUNT}) {
    testing::StderrCapture capture;
    EXPECT_FALSE(wrapper.SetOutputDataType("T", type));
    EXPECT_NE(capture.Stop().find("] type value is invalid.\n"), std::string::npos);
  }
  EXPECT_TRUE(wrapper.node_def().attr().empty());

  EXPECT_TRUE(wrapper.SetOutputDataType("T", FLOAT));
  EXPECT_EQ(wrapper.node_def().attr().at("T").type_value(), 1);
  testing::StderrCapture capture;
  EXPECT_TRUE(wrapper.SetOutputDataType("T", INT64));
  EXPECT_NE(capture.Stop().find("] the output data type of T is modified to int64\n"),
            std::string::npos);
  EXPECT_EQ(wrapper.node_def().attr().at("T").type_value(), 9);
}

TEST(NodeDefWrapperTest, ReplacingWithATypeWithoutANameDoesNotThrow) {
  NodeDefWrapper wrapper;
  const auto unnamed = static_cast<DataType>(31);
  EXPECT_TRUE(wrapper.SetOutputDataType("T", unnamed));
  testing::StderrCapture capture;
  EXPECT_TRUE(wrapper.SetOutputDataType("T", unnamed));
  EXPECT_NE(capture.Stop().find("] the output data type of T is modified to 31\n"),
            std::string::npos);
  EXPECT_EQ(wrapper.node_def().attr().at("T").type_value(), 31);
}

TEST(NodeDefWrapperTest, OutputShapesAreStoredAndReplacedWhole) {
  NodeDefWrapper wrapper;
  testing::StderrCapture refused;
  EXPECT_FALSE(wrapper.SetOutputShapes({}));
  EXPECT_NE(refused.Stop().find("] the output dim is empty.\n"), std::string::npos);

  ASSERT_TRUE(wrapper.SetOutputShapes({{}, {2, -1}}));
  const auto& shapes = wrapper.node_def().attr().at("_output_shapes").list().shape_values();
  ASSERT_EQ(shapes.size(), 2);
  EXPECT_EQ(shapes[0].dims_size(), 0);
  ASSERT_EQ(shapes[1].dims_size(), 2);
  EXPECT_EQ(shapes[1].dims(0).size(), 2);
  EXPECT_EQ(shapes[1].dims(1).size(), -1);

  testing::StderrCapture capture;
  ASSERT_TRUE(wrapper.SetOutputShapes({{7}}));
  EXPECT_NE(capture.Stop().find("] the output dims have been modified.\n"), std::string::npos);
  const auto& replaced = wrapper.node_def().attr().at("_output_shapes").list().shape_values();
  ASSERT_EQ(replaced.size(), 1);
  EXPECT_EQ(replaced[0].dims(0).size(), 7);
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
