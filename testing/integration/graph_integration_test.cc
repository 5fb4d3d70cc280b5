// The graph interface as an application sees it: the public header and
// libzentrik.so alone. The event and graph schemas are compiled into the test
// to read back what DumpGraph wrote.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph/protobuf/event.pb.h"
#include "graph/protobuf/graph.pb.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "zentrik/graph/graph.h"

namespace {

using zentrik::graph::GraphInterface;
using zentrik::graph::NodeInterface;

TEST(GraphIntegrationTest, DumpedGraphReadsBackAsTensorBoardReadsIt) {
  zentrik::testing::TempDir dir;
  std::unique_ptr<GraphInterface> graph(zentrik::graph::CreateGraph());
  ASSERT_NE(graph, nullptr);
  NodeInterface* input = graph->AddNode("input");
  NodeInterface* relu = graph->AddNode("layer/relu");
  ASSERT_TRUE(input != nullptr && relu != nullptr);
  EXPECT_EQ(graph->AddNode("input"), nullptr);
  EXPECT_EQ(graph->AddNode("/absolute"), nullptr);
  EXPECT_TRUE(input->SetOpName("Placeholder"));
  EXPECT_TRUE(input->SetAttr("dtype", zentrik::FLOAT));
  EXPECT_TRUE(input->SetAttr("_output_shapes", std::vector<std::vector<int>>{{-1, 784}}));
  EXPECT_TRUE(relu->SetOpName("Relu"));
  EXPECT_TRUE(relu->AddInput(input, 0));
  EXPECT_FALSE(relu->AddInput(input, 0));
  EXPECT_TRUE(relu->SetAttr("types", std::vector<zentrik::DataType>{zentrik::HALF}));
  EXPECT_FALSE(relu->SetAttr("types", std::vector<zentrik::DataType>{zentrik::DataType(99)}));
  EXPECT_FALSE(graph->DumpGraph(""));

  const std::string logdir = dir.Join("logs");
  ASSERT_TRUE(graph->DumpGraph(logdir.c_str()));
  const std::vector<std::string> files = zentrik::testing::ListDirectory(logdir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<std::string> records;
  std::string error;
  ASSERT_TRUE(zentrik::testing::ReadEventRecords(
      zentrik::testing::ReadFileOrEmpty(logdir + "/" + files[0]), &records, &error))
      << error;
  ASSERT_EQ(records.size(), 1u);
  zentrik::Event event;
  ASSERT_TRUE(event.ParseFromString(records[0]));
  EXPECT_EQ(event.step(), 1);
  zentrik::graph::GraphDef graph_def;
  ASSERT_TRUE(graph_def.ParseFromString(event.graph_def()));
  ASSERT_EQ(graph_def.node_def_size(), 2);
  const zentrik::graph::NodeDef& first = graph_def.node_def(0);
  EXPECT_EQ(first.name() + " " + first.op(), "input Placeholder");
  EXPECT_EQ(first.attr().at("dtype").type_value(), zentrik::FLOAT);
  EXPECT_EQ(first.attr().at("_output_shapes").list().shape_values(0).dims(1).size(), 784);
  const zentrik::graph::NodeDef& second = graph_def.node_def(1);
  EXPECT_EQ(second.name() + " " + second.op(), "layer/relu Relu");
  ASSERT_EQ(second.input_size(), 1);
  EXPECT_EQ(second.input(0), "input:0");
  EXPECT_EQ(second.attr().at("types").list().string_values(0), "half");
}

}  // namespace
