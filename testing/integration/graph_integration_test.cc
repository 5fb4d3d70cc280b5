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

namespace zentrik {
namespace {

// Each dump gets a file of its own, also within one second, read back as
// TensorBoard reads it.
TEST(GraphIntegrationTest, DumpedGraphsReadBackAsTensorBoardReadsThem) {
  testing::TempDir dir;
  std::unique_ptr<graph::GraphInterface> graph(graph::CreateGraph());
  ASSERT_NE(graph, nullptr);
  graph::NodeInterface* input = graph->AddNode("input");
  graph::NodeInterface* relu = graph->AddNode("layer/relu");
  ASSERT_NE(graph->AddNode("no_op"), nullptr);  // Dumped with a warning.
  ASSERT_TRUE(input->SetOpName("Placeholder") && input->SetAttr("dtype", FLOAT) &&
              input->SetAttr("_output_shapes", std::vector<std::vector<int>>{{-1, 784}}) &&
              relu->SetOpName("Relu") && relu->AddInput(input, 0) &&
              relu->SetAttr("types", std::vector<DataType>{HALF}));
  const std::string logdir = dir.Join("logs");
  ASSERT_TRUE(graph->DumpGraph(logdir.c_str()) && graph->DumpGraph(logdir.c_str()));
  const std::vector<std::string> files = testing::ListEventFiles(logdir);
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& file : files) {
    std::vector<std::string> records;
    std::string error;
    ASSERT_TRUE(
        testing::ReadEventRecords(testing::ReadFileOrEmpty(logdir + "/" + file), &records, &error))
        << error;
    Event event;
    graph::GraphDef graph_def;
    ASSERT_TRUE(records.size() == 1 && event.ParseFromString(records[0]) && event.step() == 1 &&
                event.wall_time() > 0 && graph_def.ParseFromString(event.graph_def()));
    ASSERT_EQ(graph_def.node_def_size(), 3);
    const graph::NodeDef& first = graph_def.node_def(0);
    const graph::NodeDef& second = graph_def.node_def(1);
    EXPECT_EQ(
        first.op() + " " + std::to_string(first.attr().at("dtype").type_value()) + " " +
            std::to_string(first.attr().at("_output_shapes").list().shape_values(0).dims(1).size()),
        "Placeholder 1 784");
    EXPECT_EQ(second.op() + " " + second.input(0) + " " +
                  second.attr().at("types").list().string_values(0),
              "Relu input:0 half");
  }
}

}  // namespace
}  // namespace zentrik
