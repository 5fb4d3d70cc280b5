#include "graph/core/graph.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
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

// A node handed out by AddNode, seen as the Node it is.
Node* AsNode(NodeInterface* node) { return dynamic_cast<Node*>(node); }

// The one GraphDef of the one event file in `logdir`.
GraphDef ReadDumpedGraph(const std::string& logdir, Event* event_out = nullptr) {
  const std::vector<std::string> files = testing::ListEventFiles(logdir);
  EXPECT_EQ(files.size(), 1u);
  if (files.empty()) return GraphDef();
  std::vector<std::string> records;
  std::string error;
  EXPECT_TRUE(testing::ReadEventRecords(ReadFileOrEmpty(logdir + "/" + files[0]), &records, &error))
      << error;
  EXPECT_EQ(records.size(), 1u);
  if (records.empty()) return GraphDef();
  Event event;
  EXPECT_TRUE(event.ParseFromString(records[0]));
  EXPECT_EQ(event.what_case(), Event::kGraphDef);
  GraphDef graph;
  EXPECT_TRUE(graph.ParseFromString(event.graph_def()));
  if (event_out != nullptr) *event_out = event;
  return graph;
}

// A node interface that no graph made.
class ForeignNode : public NodeInterface {
 public:
  bool SetOpName(const char*) override { return true; }
  bool AddInput(NodeInterface*, int) override { return true; }
  bool SetAttr(const char*, DataType) override { return true; }
  bool SetAttr(const char*, const char*) override { return true; }
  bool SetAttr(const char*, int) override { return true; }
  bool SetAttr(const char*, bool) override { return true; }
  bool SetAttr(const char*, float) override { return true; }
  bool SetAttr(const char*, const std::vector<int>&) override { return true; }
  bool SetAttr(const char*, const std::vector<std::vector<int>>&) override { return true; }
  bool SetAttr(const char*, const std::vector<bool>&) override { return true; }
  bool SetAttr(const char*, const std::vector<float>&) override { return true; }
  bool SetAttr(const char*, const std::vector<const char*>&) override { return true; }
  bool SetAttr(const char*, const std::vector<DataType>&) override { return true; }
  ~ForeignNode() override = default;
};

TEST(GraphTest, RefusedCallsLogOneLineAndChangeNothing) {
  using Call = std::function<bool(Graph&, NodeInterface * a, NodeInterface * b)>;
  struct Case {
    std::string expected_log;
    Call call;
  };
  const std::vector<const char*> empty_third = {"x", "y", ""};
  const Case cases[] = {
      {"node name is empty!", [](Graph& g, auto, auto) { return g.AddNode("") != nullptr; }},
      {"node name is empty!", [](Graph& g, auto, auto) { return g.AddNode(nullptr) != nullptr; }},
      {"node name: /a is illegal.",
       [](Graph& g, auto, auto) { return g.AddNode("/a") != nullptr; }},
      {"node name: a//b is illegal.",
       [](Graph& g, auto, auto) { return g.AddNode("a//b") != nullptr; }},
      {"node: a is already defined!",
       [](Graph& g, auto, auto) { return g.AddNode("a") != nullptr; }},
      {"node name: a\xff is illegal.",
       [](Graph& g, auto, auto) { return g.AddNode("a\xff") != nullptr; }},
      {" op name of a is not valid UTF-8.",
       [](Graph&, auto a, auto) { return a->SetOpName("Op\xc3"); }},
      {" the attribute name of node a is not valid UTF-8.",
       [](Graph&, auto a, auto) { return a->SetAttr("\xe2\x82", 1); }},
      {"cannot dump graph because logdir is empty.",
       [](Graph& g, auto, auto) { return g.DumpGraph(""); }},
      {"cannot dump graph because logdir is empty.",
       [](Graph& g, auto, auto) { return g.DumpGraph(nullptr); }},
      {" op name of a is empty.", [](Graph&, auto a, auto) { return a->SetOpName(""); }},
      {" op name of a is empty.", [](Graph&, auto a, auto) { return a->SetOpName(nullptr); }},
      {"the input of node a is empty.",
       [](Graph&, auto a, auto) { return a->AddInput(nullptr, 0); }},
      {"the input of node a is not a node of a graph.",
       [](Graph&, auto a, auto) {
         ForeignNode foreign;
         return a->AddInput(&foreign, 0);
       }},
      {"the slot: -1 from node b to node a must be greater than or equal to 0",
       [](Graph&, auto a, auto b) { return a->AddInput(b, -1); }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", 1); }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr(nullptr, true); }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", 1.5f); }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr(nullptr, FLOAT); }},
      {" the attribute of node  a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", "value"); }},
      {" the attributed value of s on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("s", ""); }},
      {" the attributed value of s on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("s", static_cast<const char*>(nullptr)); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<int>{}); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<bool>{}); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<float>{}); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<const char*>{}); }},
      {" the attributed value of l on node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("l", std::vector<DataType>{}); }},
      {" existing attributed value of l on node a is empty.",
       [&](Graph&, auto a, auto) { return a->SetAttr("l", empty_third); }},
      {" the data type 31 of l on node a is invalid.",
       [](Graph&, auto a, auto) {
         return a->SetAttr("l", std::vector<DataType>{FLOAT, static_cast<DataType>(31)});
       }},
      {"type value is invalid.", [](Graph&, auto a, auto) { return a->SetAttr("T", INVALID); }},
      {"type value is invalid.", [](Graph&, auto a, auto) { return a->SetAttr("T", COUNT); }},
      {"unsupported attributed name: shapes",
       [](Graph&, auto a, auto) {
         return a->SetAttr("shapes", std::vector<std::vector<int>>{{1}});
       }},
      {" the attribute of node a is empty.",
       [](Graph&, auto a, auto) { return a->SetAttr("", std::vector<std::vector<int>>{{1}}); }},
      {" the output size of node a  is empty.",
       [](Graph&, auto a, auto) {
         return a->SetAttr("_output_shapes", std::vector<std::vector<int>>{});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected_log);
    Graph graph;
    NodeInterface* a = graph.AddNode("a");
    NodeInterface* b = graph.AddNode("b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const std::string before = AsNode(a)->node_def().SerializeAsString();
    testing::StderrCapture capture;
    EXPECT_FALSE(c.call(graph, a, b));
    const std::string log = capture.Stop();
    EXPECT_NE(log.find("] " + c.expected_log + "\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(AsNode(a)->node_def().SerializeAsString(), before);
    EXPECT_EQ(graph.graph_def(), nullptr);
  }
}

TEST(GraphTest, NodeNamesMayHoldSingleSlashes) {
  Graph graph;
  EXPECT_NE(graph.AddNode("a/b"), nullptr);
  EXPECT_NE(graph.AddNode("a/"), nullptr);
}

TEST(GraphTest, SettersFillTheNodeDefinition) {
  Graph graph;
  NodeInterface* x = graph.AddNode("x");
  NodeInterface* y = graph.AddNode("y");
  ASSERT_TRUE(y->SetOpName("MatMul"));
  ASSERT_TRUE(y->AddInput(x, 0));
  ASSERT_TRUE(y->SetAttr("T", FLOAT));
  ASSERT_TRUE(y->SetAttr("s", "text"));
  ASSERT_TRUE(y->SetAttr("i", -2));
  ASSERT_TRUE(y->SetAttr("b", true));
  ASSERT_TRUE(y->SetAttr("f", 0.5f));
  ASSERT_TRUE(y->SetAttr("li", std::vector<int>{1, -1}));
  ASSERT_TRUE(y->SetAttr("_output_shapes", std::vector<std::vector<int>>{{2, 3}}));
  ASSERT_TRUE(y->SetAttr("lb", std::vector<bool>{true, false}));
  ASSERT_TRUE(y->SetAttr("lf", std::vector<float>{1.5f}));
  ASSERT_TRUE(y->SetAttr("ls", std::vector<const char*>{"p", "q"}));
  ASSERT_TRUE(y->SetAttr("lt", std::vector<DataType>{INT32, COUNT}));
  ASSERT_TRUE(y->SetAttr("i", 7));  // Replaces the earlier value.

  const NodeDef& def = AsNode(y)->node_def();
  EXPECT_EQ(def.name(), "y");
  EXPECT_EQ(def.op(), "MatMul");
  ASSERT_EQ(def.input_size(), 1);
  EXPECT_EQ(def.input(0), "x:0");
  const auto& attr = def.attr();
  EXPECT_EQ(attr.size(), 11u);
  EXPECT_EQ(attr.at("T").type_value(), FLOAT);
  EXPECT_EQ(attr.at("s").string_value(), "text");
  EXPECT_EQ(attr.at("i").int_value(), 7);
  EXPECT_TRUE(attr.at("b").bool_value());
  EXPECT_EQ(attr.at("f").float_value(), 0.5f);
  EXPECT_EQ(attr.at("li").list().int_values().size(), 2);
  EXPECT_EQ(attr.at("li").list().int_values(1), -1);
  EXPECT_EQ(attr.at("_output_shapes").list().shape_values(0).dims(1).size(), 3);
  EXPECT_EQ(attr.at("lb").list().bool_values().size(), 2);
  EXPECT_EQ(attr.at("lf").list().float_values(0), 1.5f);
  EXPECT_EQ(attr.at("ls").list().string_values(1), "q");
  ASSERT_EQ(attr.at("lt").list().string_values().size(), 2);
  EXPECT_EQ(attr.at("lt").list().string_values(0), "int32");
  EXPECT_EQ(attr.at("lt").list().string_values(1), "invalid");
  EXPECT_EQ(attr.at("lt").list().type_values().size(), 0);
}

TEST(GraphTest, SlotsBeyondTheDeclaredOutputsWarnButAreAdded) {
  Graph graph;
  NodeInterface* source = graph.AddNode("source");
  NodeInterface* sink = graph.AddNode("sink");
  {
    testing::StderrCapture capture;
    EXPECT_TRUE(sink->AddInput(source, 0));
    EXPECT_EQ(capture.Stop(), "");
  }
  {
    testing::StderrCapture capture;
    EXPECT_TRUE(sink->AddInput(source, 1));
    EXPECT_NE(
        capture.Stop().find("] the slot: 1 from node source to node sink may be out of ranges.\n"),
        std::string::npos);
  }
  ASSERT_TRUE(source->SetAttr("_output_shapes", std::vector<std::vector<int>>{{1}, {2}, {3}}));
  EXPECT_EQ(AsNode(source)->max_output_index(), 2);
  ASSERT_TRUE(source->SetAttr("_output_shapes", std::vector<std::vector<int>>{{1}}));
  EXPECT_EQ(AsNode(source)->max_output_index(), 2);
  NodeInterface* other_sink = graph.AddNode("other_sink");
  testing::StderrCapture capture;
  EXPECT_TRUE(other_sink->AddInput(source, 2));
  EXPECT_EQ(capture.Stop(), "");
  EXPECT_EQ(AsNode(other_sink)->node_def().input(0), "source:2");
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
  const std::vector<std::string> expected = {
      "NodeDef (n ) set op name: Add",
      "Trying to set an attr,name: k, data type: int",
      "NodeDef ( n ) add attr: k",
      "Trying to set an attr,name: k, data type: vector float",
      "Attr (k) in NodeDef nis being setted.",
      "NodeDef ( n ) add attr: k",
      "Trying to set an attr,name: t, data type: vector string",
      "NodeDef ( n ) add attr: t",
  };
  size_t from = 0;
  for (const std::string& line : expected) {
    const size_t at = result.err.find("] " + line + "\n", from);
    ASSERT_NE(at, std::string::npos) << line << "\n" << result.err;
    from = at + 1;
  }
}

TEST(GraphTest, DumpWithoutNodesWritesNothing) {
  TempDir dir;
  Graph graph;
  testing::StderrCapture capture;
  EXPECT_FALSE(graph.DumpGraph(dir.Join("logs").c_str()));
  EXPECT_NE(capture.Stop().find("] cannot dump graph because it is not containing node.\n"),
            std::string::npos);
  EXPECT_TRUE(testing::ListDirectory(dir.path()).empty());
}

TEST(GraphTest, DumpWritesOneGraphEvent) {
  TempDir dir;
  const std::string logdir = dir.Join("logs/run");
  Graph graph;
  NodeInterface* x = graph.AddNode("x");
  NodeInterface* y = graph.AddNode("y");
  ASSERT_TRUE(y->SetOpName("Relu"));
  ASSERT_TRUE(y->AddInput(x, 0));
  ASSERT_TRUE(y->SetAttr("T", FLOAT));

  testing::StderrCapture capture;
  ASSERT_TRUE(graph.DumpGraph(logdir.c_str()));
  EXPECT_NE(capture.Stop().find("] the operation name of node x is undefined.\n"),
            std::string::npos);

  Event event;
  const GraphDef dumped = ReadDumpedGraph(logdir, &event);
  EXPECT_EQ(event.step(), 1);
  ASSERT_EQ(dumped.node_def_size(), 2);
  EXPECT_EQ(dumped.node_def(0).name(), "x");
  EXPECT_EQ(dumped.node_def(0).op(), "");
  EXPECT_EQ(dumped.node_def(1).name(), "y");
  EXPECT_EQ(dumped.node_def(1).op(), "Relu");
  EXPECT_EQ(dumped.node_def(1).input(0), "x:0");
  EXPECT_EQ(dumped.node_def(1).attr().at("T").type_value(), FLOAT);
  EXPECT_FALSE(dumped.has_version_def());
  ASSERT_NE(graph.graph_def(), nullptr);
  EXPECT_EQ(graph.graph_def()->node_def_size(), 2);
}

TEST(GraphTest, DumpFailuresReturnFalseWithoutThrowing) {
  TempDir dir;
  ASSERT_TRUE(testing::WriteTestFile(dir.Join("file")));
  const std::string occupied = dir.Join("occupied");
  ASSERT_TRUE(testing::WriteTestFile(dir.Join("placeholder")));
  Graph graph;
  ASSERT_NE(graph.AddNode("n"), nullptr);

  // A log directory below a regular file cannot be created.
  EXPECT_FALSE(graph.DumpGraph(dir.Join("file/logs").c_str()));
  // An event file that cannot be opened.
  mkdir(occupied.c_str(), 0755);
  testing::OccupyEventFileNames(occupied);
  testing::StderrCapture capture;
  EXPECT_FALSE(graph.DumpGraph(occupied.c_str()));
  EXPECT_NE(capture.Stop().find("] failed to open log_file" + occupied + "/events.out.tfevents."),
            std::string::npos);
  EXPECT_EQ(graph.graph_def(), nullptr);
}

// Dumps a graph into $DUMP_DIR with files limited to 64 bytes; exits 0 when
// the dump reported failure.
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

}  // namespace
}  // namespace graph
}  // namespace zentrik
