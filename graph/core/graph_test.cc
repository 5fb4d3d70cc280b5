#include "graph/core/graph.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "graph/protobuf/event.pb.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::ReadFileOrEmpty;
using ::zentrik::testing::TempDir;

Node* AsNode(NodeInterface* node) { return dynamic_cast<Node*>(node); }

// The GraphDef of each event file in `logdir`, whose framing must hold.
std::vector<GraphDef> ReadDumpedGraphs(const std::string& logdir) {
  std::vector<GraphDef> graphs;
  for (const std::string& file : testing::ListEventFiles(logdir)) {
    std::vector<std::string> records;
    std::string error;
    EXPECT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(logdir + "/" + file), &records, &error))
        << error;
    Event event;
    EXPECT_TRUE(records.size() == 1 && event.ParseFromString(records[0]) && event.step() == 1);
    graphs.emplace_back().ParseFromString(event.graph_def());
  }
  return graphs;
}

TEST(GraphTest, RefusedCallsLogOneLineAndChangeNothing) {
  using Call = std::function<bool(Graph&, NodeInterface * a, NodeInterface * b)>;
  const std::vector<const char*> empty_third = {"x", "y", ""};
  const struct {
    std::string expected_log;
    Call call;
  } cases[] = {
      {"node name is empty!", [](Graph& g, auto, auto) { return g.AddNode(nullptr) != nullptr; }},
      {"node name: /a is illegal.", [](Graph& g, auto, auto) { return g.AddNode("/a"); }},
      {"node name: a//b is illegal.", [](Graph& g, auto, auto) { return g.AddNode("a//b"); }},
      {"node: a is already defined!", [](Graph& g, auto, auto) { return g.AddNode("a"); }},
      {"node name: a\xff is illegal.", [](Graph& g, auto, auto) { return g.AddNode("a\xff"); }},
      {" op name of a is not valid UTF-8.",
       [](Graph&, auto a, auto) { return a->SetOpName("\xc3"); }},
      {" the attribute name of node a is not valid UTF-8.",
       [](Graph&, auto a, auto) { return a->SetAttr("\xe2\x82", 1); }},
      {"cannot dump graph because logdir is empty.",
       [](Graph& g, auto, auto) { return g.DumpGraph(""); }},
      {" op name of a is empty.", [](Graph&, auto a, auto) { return a->SetOpName(nullptr); }},
      {"the input of node a is empty.",
       [](Graph&, auto a, auto) { return a->AddInput(nullptr, 0); }},
      {"the slot: -1 from node b to node a must be greater than or equal to 0",
       [](Graph&, auto a, auto b) { return a->AddInput(b, -1); }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", 1.5f); }},
      {" the attribute of node  a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", "v"); }},
      {" the attributed value of s on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("s", ""); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<DataType>{}); }},
      {" existing attributed value of l on node a is empty.",
       [&](Graph&, auto a, auto) { return a->SetAttr("l", empty_third); }},
      {" the data type 31 of l on node a is invalid.",
       [](Graph&, auto a, auto) {
         return a->SetAttr("l", std::vector<DataType>{FLOAT, DataType(31)});
       }},
      {"type value is invalid.", [](Graph&, auto a, auto) { return a->SetAttr("T", COUNT); }},
      {"unsupported attributed name: shapes",
       [](Graph&, auto a, auto) {
         return a->SetAttr("shapes", std::vector<std::vector<int>>{{1}});
       }},
      {" the output size of node a  is empty.",
       [](Graph&, auto a, auto) {
         return a->SetAttr("_output_shapes", std::vector<std::vector<int>>{});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected_log);
    Graph graph;
    NodeInterface* a = graph.AddNode("a");
    NodeInterface* b = graph.AddNode("b");
    const std::string before = AsNode(a)->node_def().SerializeAsString();
    testing::StderrCapture capture;
    EXPECT_FALSE(c.call(graph, a, b));
    const std::string log = capture.Stop();
    EXPECT_NE(log.find("] " + c.expected_log + "\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(AsNode(a)->node_def().SerializeAsString(), before);
  }
}

TEST(GraphTest, SettersFillTheNodeDefinition) {
  Graph graph;
  NodeInterface* x = graph.AddNode("x");
  NodeInterface* y = graph.AddNode("a/y");
  ASSERT_TRUE(y->SetOpName("MatMul") && y->AddInput(x, 0) && y->SetAttr("T", FLOAT) &&
              y->SetAttr("i", -2) && y->SetAttr("i", 7) &&
              y->SetAttr("lt", std::vector<DataType>{INT32, COUNT}));
  const NodeDef& def = AsNode(y)->node_def();
  EXPECT_EQ(def.op(), "MatMul");
  EXPECT_EQ(def.input(0), "x:0");
  EXPECT_EQ(def.attr().at("T").type_value(), FLOAT);
  EXPECT_EQ(def.attr().at("i").int_value(), 7);
  const auto& types = def.attr().at("lt").list();
  EXPECT_EQ(types.string_values(0) + "," + types.string_values(1), "int32,invalid");
  EXPECT_EQ(types.type_values().size(), 0);
}

TEST(GraphTest, SlotsBeyondTheDeclaredOutputsWarnButAreAdded) {
  Graph graph;
  NodeInterface* source = graph.AddNode("source");
  NodeInterface* sink = graph.AddNode("sink");
  testing::StderrCapture capture;
  EXPECT_TRUE(sink->AddInput(source, 1));
  EXPECT_NE(
      capture.Stop().find("] the slot: 1 from node source to node sink may be out of ranges.\n"),
      std::string::npos);
  ASSERT_TRUE(source->SetAttr("_output_shapes", std::vector<std::vector<int>>{{1}, {2}, {3}}));
  ASSERT_TRUE(source->SetAttr("_output_shapes", std::vector<std::vector<int>>{{1}}));
  EXPECT_EQ(AsNode(source)->max_output_index(), 2);
}

ZENTRIK_CHILD_SCENARIO(GraphEditsLogInfo) {
  Graph graph;
  NodeInterface* n = graph.AddNode("n");
  n->SetOpName("Add");
  n->SetAttr("k", 1);
  n->SetAttr("k", std::vector<float>{1.0f});
  n->SetAttr("t", std::vector<DataType>{FLOAT});
  return 0;
}

TEST(GraphTest, SuccessfulEditsLogInfoLines) {
  const testing::ChildResult result =
      testing::RunScenario("GraphEditsLogInfo", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  size_t from = 0;
  for (const char* line :
       {"NodeDef (n ) set op name: Add", "Trying to set an attr,name: k, data type: int",
        "NodeDef ( n ) add attr: k", "Trying to set an attr,name: k, data type: vector float",
        "Attr (k) in NodeDef nis being setted.", "NodeDef ( n ) add attr: k",
        "Trying to set an attr,name: t, data type: vector string"}) {
    from = result.err.find("] " + std::string(line) + "\n", from);
    ASSERT_NE(from, std::string::npos) << line << "\n" << result.err;
  }
}

// Each dump gets a file of its own, also within one second.
TEST(GraphTest, DumpsWriteNewFilesAndNeverTruncate) {
  TempDir dir;
  Graph graph;
  testing::StderrCapture capture;
  EXPECT_FALSE(graph.DumpGraph(dir.path().c_str()));
  EXPECT_NE(capture.Stop().find("] cannot dump graph because it is not containing node.\n"),
            std::string::npos);
  NodeInterface* x = graph.AddNode("x");
  ASSERT_TRUE(graph.AddNode("y")->AddInput(x, 0));
  ASSERT_TRUE(graph.DumpGraph(dir.path().c_str()));
  ASSERT_TRUE(graph.DumpGraph(dir.path().c_str()));
  const std::vector<std::string> files = testing::ListEventFiles(dir.path());
  ASSERT_EQ(files.size(), 2u);
  const std::string logdir = dir.Join("dumps");
  ASSERT_TRUE(graph.DumpGraph(logdir.c_str()));
  const std::vector<GraphDef> graphs = ReadDumpedGraphs(logdir);
  ASSERT_EQ(graphs.size(), 1u);
  ASSERT_EQ(graphs[0].node_def_size(), 2);
  EXPECT_EQ(graphs[0].node_def(1).input(0), "x:0");
}

TEST(GraphTest, DumpIntoAnUncreatableDirectoryFails) {
  TempDir dir;
  ASSERT_TRUE(testing::WriteTestFile(dir.Join("file")));
  Graph graph;
  graph.AddNode("n");
  EXPECT_FALSE(graph.DumpGraph(dir.Join("file/logs").c_str()));
}

// Dumps into $DUMP_DIR with files limited to 64 bytes; exits 0 when refused.
ZENTRIK_CHILD_SCENARIO(DumpIntoFullDisk) {
  signal(SIGXFSZ, SIG_IGN);  // Writes past the limit fail instead of killing.
  const rlimit limit{64, 64};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  Graph graph;
  NodeInterface* node = graph.AddNode("n");
  if (node == nullptr || !node->SetAttr("text", std::string(1000, 'x').c_str())) return 3;
  return graph.DumpGraph(std::getenv("DUMP_DIR")) ? 1 : 0;
}

TEST(GraphTest, DumpThatCannotBeWrittenLeavesNoFile) {
  TempDir dir;
  const testing::ChildResult child =
      testing::RunScenario("DumpIntoFullDisk", {{"DUMP_DIR", dir.path()}});
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(testing::ListDirectory(dir.path()), std::vector<std::string>());
}

// Scale guard: a search per node or per input would make this take hours.
TEST(GraphTest, BuildsLargeGraphsInLinearTime) {
  constexpr int kNodes = 200000;
  Graph graph;
  NodeInterface* sink = graph.AddNode("sink");
  for (int i = 0; i < kNodes; ++i) {
    NodeInterface* source = graph.AddNode(("n" + std::to_string(i)).c_str());
    ASSERT_TRUE(sink->AddInput(source, 0));
    // Every other one re-slotted, which moves it to the end.
    ASSERT_TRUE(i % 2 != 0 || sink->AddInput(source, 1));
  }
  const NodeDef& def = AsNode(sink)->node_def();
  ASSERT_EQ(def.input_size(), kNodes);
  EXPECT_EQ(def.input(0), "n0:1");
  EXPECT_EQ(def.input(kNodes - 2), "n" + std::to_string(kNodes - 2) + ":1");
  EXPECT_EQ(graph.AddNode("n7"), nullptr);
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
