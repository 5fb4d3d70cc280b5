#include "graph/core/graph.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "graph/protobuf/event.pb.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/log_lines.h"
#include "testing/profile_files.h"
#include "testing/proto_bytes.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

Node* AsNode(NodeInterface* node) { return dynamic_cast<Node*>(node); }

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
};

// Node a holds attribute T and input b:0 before each call.
TEST(GraphTest, RefusedCallsLogOneLineAndChangeNothing) {
  struct Nodes {
    Graph& g;
    NodeInterface* a;
    NodeInterface* b;
  };
  const std::vector<const char*> empty_third = {"x", "y", ""};
  const struct {
    std::string expected_log;
    std::function<bool(const Nodes&)> call;
  } cases[] = {
      {"node name is empty!", [](auto& t) { return t.g.AddNode(nullptr) != nullptr; }},
      {"node: a is already defined!", [](auto& t) { return t.g.AddNode("a"); }},
      {"node name: a\xff is illegal.", [](auto& t) { return t.g.AddNode("a\xff"); }},
      {"cannot dump graph because it is not containing node.",
       [](auto&) { return Graph().DumpGraph("logs"); }},
      {" op name of a is empty.", [](auto& t) { return t.a->SetOpName(nullptr); }},
      {"the slot: -1 from node b to node a must be greater than or equal to 0",
       [](auto& t) { return t.a->AddInput(t.b, -1); }},
      {"the input b of node a is already existed.", [](auto& t) { return t.a->AddInput(t.b, 0); }},
      {" the attribute of node a is empty.", [](auto& t) { return t.a->SetAttr("", 1.5f); }},
      {" the attributed value of s on node a is empty.",
       [](auto& t) { return t.a->SetAttr("s", ""); }},
      {" existing attributed value of l on node a is empty.",
       [&](auto& t) { return t.a->SetAttr("l", empty_third); }},
      {" the data type 31 of l on node a is invalid.",
       [](auto& t) {
         return t.a->SetAttr("l", std::vector<DataType>{FLOAT, DataType(31)});
       }},
      {"the output data type of T is not modified: -1 is not a data type.",
       [](auto& t) { return t.a->SetAttr("T", DataType(-1)); }},
      {"unsupported attributed name: shapes",
       [](auto& t) { return t.a->SetAttr("shapes", std::vector<std::vector<int>>{{1}}); }},
      {" the attribute name of node a is not valid UTF-8.",
       [](auto& t) { return t.a->SetAttr("k\xff", true); }},
      {" op name of a is not valid UTF-8.", [](auto& t) { return t.a->SetOpName("Op\xff"); }},
      {"the input of node a is empty.", [](auto& t) { return t.a->AddInput(nullptr, 0); }},
      {" the output size of node a  is empty.",
       [](auto& t) { return t.a->SetAttr("_output_shapes", std::vector<std::vector<int>>{}); }},
      {"node name is empty!", [](auto& t) { return t.g.AddNode("") != nullptr; }},
      {"node name: /a is illegal.", [](auto& t) { return t.g.AddNode("/a") != nullptr; }},
      {"node name: a//b is illegal.", [](auto& t) { return t.g.AddNode("a//b") != nullptr; }},
      {"cannot dump graph because logdir is empty.", [](auto& t) { return t.g.DumpGraph(""); }},
      {"cannot dump graph because logdir is empty.",
       [](auto& t) { return t.g.DumpGraph(nullptr); }},
      {" op name of a is empty.", [](auto& t) { return t.a->SetOpName(""); }},
      {"the input of node a is not a node of a graph.",
       [](auto& t) {
         ForeignNode foreign;
         return t.a->AddInput(&foreign, 0);
       }},
      {" the attribute of node a is empty.", [](auto& t) { return t.a->SetAttr(nullptr, true); }},
      {" the attribute of node a is empty.", [](auto& t) { return t.a->SetAttr("", 1); }},
      {" the attribute of node a is empty.", [](auto& t) { return t.a->SetAttr(nullptr, FLOAT); }},
      {" the attribute of node  a is empty.", [](auto& t) { return t.a->SetAttr("", "value"); }},
      {" the attribute of node a is empty.",
       [](auto& t) { return t.a->SetAttr("", std::vector<std::vector<int>>{{1}}); }},
      {" the attributed value of s on node a is empty.",
       [](auto& t) { return t.a->SetAttr("s", static_cast<const char*>(nullptr)); }},
      {" the attributed value of l on node a is empty.",
       [](auto& t) { return t.a->SetAttr("l", std::vector<int>{}); }},
      {" the attributed value of l on node a is empty.",
       [](auto& t) { return t.a->SetAttr("l", std::vector<bool>{}); }},
      {" the attributed value of l on node a is empty.",
       [](auto& t) { return t.a->SetAttr("l", std::vector<float>{}); }},
      {" the attributed value of l on node a is empty.",
       [](auto& t) { return t.a->SetAttr("l", std::vector<const char*>{}); }},
      {" the attributed value of l on node a is empty.",
       [](auto& t) { return t.a->SetAttr("l", std::vector<DataType>{}); }},
      {"type value is invalid.", [](auto& t) { return t.a->SetAttr("U", INVALID); }},
      {"type value is invalid.", [](auto& t) { return t.a->SetAttr("U", COUNT); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected_log);
    Graph graph;
    NodeInterface* a = graph.AddNode("a");
    NodeInterface* b = graph.AddNode("b");
    ASSERT_TRUE(a->SetAttr("T", FLOAT) && a->AddInput(b, 0));
    const std::string before = AsNode(a)->node_def().SerializeAsString();
    testing::StderrCapture capture;
    EXPECT_FALSE(c.call({graph, a, b}));
    const std::string log = capture.Stop();
    EXPECT_NE(log.find("] " + c.expected_log + "\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(AsNode(a)->node_def().SerializeAsString(), before);
  }
}

// Dumps into $DUMP_DIR, then fails to under a file size limit, and prints node n
// as read back from the event file; its log lines go to standard error.
ZENTRIK_CHILD_SCENARIO(GraphEdits) {
  Graph graph;
  NodeInterface* a = graph.AddNode("a");
  NodeInterface* c = graph.AddNode("c:d");
  NodeInterface* n = graph.AddNode("n");
  n->SetOpName("Add");
  n->SetAttr("k", 1);
  n->SetAttr("k", std::vector<float>{1.0f});
  n->SetAttr("t", std::vector<DataType>{INT32, COUNT});
  n->SetAttr("T", FLOAT);
  n->SetAttr("T", INT64);
  a->SetAttr("_output_shapes", std::vector<std::vector<int>>{{1}, {2}, {3}});
  a->SetAttr("_output_shapes", std::vector<std::vector<int>>{{7}});  // Keeps slots 0-2.
  n->AddInput(a, 0);
  n->AddInput(c, 0);
  n->AddInput(a, 2);  // Re-slotted: moves to the end.
  n->AddInput(c, 1);
  const std::string dir = std::getenv("DUMP_DIR");
  std::vector<std::string> records;
  std::string error;
  Event event;
  GraphDef def;
  if (!graph.DumpGraph(dir.c_str()) || testing::ListDirectory(dir).size() != 1 ||
      !testing::ReadEventRecords(
          testing::ReadFileOrEmpty(dir + "/" + testing::ListDirectory(dir)[0]), &records, &error) ||
      records.size() != 1 || !event.ParseFromString(records[0]) || event.step() != 1 ||
      !def.ParseFromString(event.graph_def()) || def.node_def_size() != 3) {
    return 2;
  }
  signal(SIGXFSZ, SIG_IGN);  // A dump past a 64-byte file limit fails and leaves no file.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit limit = saved;
  limit.rlim_cur = 64;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || graph.DumpGraph(dir.c_str()) ||
      testing::ListDirectory(dir).size() != 1) {
    return 3;
  }
  // Files written at exit (coverage counts) must not be cut by the limit.
  setrlimit(RLIMIT_FSIZE, &saved);
  const auto& a_attrs = def.node_def(0).attr();
  const auto& attrs = def.node_def(2).attr();
  std::string text = def.node_def(2).op();
  for (const std::string& input : def.node_def(2).input()) text += " " + input;
  std::printf("%s|%zu T=%d k=%g t=%s,%s|%d", text.c_str(), attrs.size(), attrs.at("T").type_value(),
              attrs.at("k").list().float_values(0), attrs.at("t").list().string_values(0).c_str(),
              attrs.at("t").list().string_values(1).c_str(),
              int(a_attrs.at("_output_shapes").list().shape_values(0).dims(0).size()));
  return 0;
}

TEST(GraphTest, EditsFillTheNodeAndLogWhatTheyChange) {
  testing::TempDir dir;
  const testing::ChildResult result = testing::RunScenario(
      "GraphEdits", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}, {"DUMP_DIR", dir.path()}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  size_t from = 0;
  for (const char* line :
       {"NodeDef (n ) set op name: Add", "Trying to set an attr,name: k, data type: vector float",
        "Attr (k) in NodeDef nis being setted.", "NodeDef ( n ) add attr: k",
        "the output data type of T is modified to int64", "the output dims have been modified.",
        "the input a of node n is modified to slot 2",
        "the slot: 1 from node c:d to node n may be out of ranges."}) {
    from = result.err.find("] " + std::string(line) + "\n", from);
    ASSERT_NE(from, std::string::npos) << line << "\n" << result.err;
  }
  EXPECT_EQ(result.err.find("from node a to node n may be out"), std::string::npos);
  EXPECT_EQ(result.out, "Add a:2 c:d:1|3 T=9 k=1 t=int32,invalid|7");
}

// The messages a dump writes, pinned byte for byte where TensorBoard's readers
// depend on field numbers and encodings.
TEST(GraphTest, DumpedMessagesHaveTheExpectedBytes) {
  AttrValue value;  // A packed integer list with a shape 2, 0.
  value.mutable_list()->add_int_values(-1);
  value.mutable_list()->add_shape_values()->add_dims()->set_size(2);
  value.mutable_list()->mutable_shape_values(0)->add_dims()->set_size(0);
  Event event;
  event.set_wall_time(1.0), event.set_step(1), event.set_graph_def("");
  EXPECT_EQ(testing::ToHex(value.SerializeAsString()),
            "0a 14 1a 0a ff ff ff ff ff ff ff ff ff 01 3a 06 12 02 08 02 12 00");
  EXPECT_EQ(testing::ToHex(event.SerializeAsString()), "09 00 00 00 00 00 00 f0 3f 10 01 22 00");
  NodeDef node;  // name 1, op 2, input 3, attr 5; an empty value is still written.
  node.set_name("n"), node.set_op("o"), node.add_input("");
  (*node.mutable_attr())["k"];
  EXPECT_EQ(testing::ToHex(node.SerializeAsString()),
            "0a 01 6e 12 01 6f 1a 00 2a 05 0a 01 6b 12 00");
  GraphDef graph;  // node 1
  graph.add_node_def()->set_name("a");
  EXPECT_EQ(testing::ToHex(graph.SerializeAsString()), "0a 03 0a 01 61");
}

// Scale guard: a search per node or per input would make this take hours.
TEST(GraphTest, BuildsLargeGraphsInLinearTime) {
  constexpr int kNodes = 200000;
  Graph graph;
  NodeInterface* sink = graph.AddNode("sink");
  for (int i = 0; i < kNodes; ++i) {
    NodeInterface* source = graph.AddNode(("n" + std::to_string(i)).c_str());
    // Every other one re-slotted, which moves it to the end.
    ASSERT_TRUE(sink->AddInput(source, 0) && (i % 2 != 0 || sink->AddInput(source, 1)));
  }
  const NodeDef& def = AsNode(sink)->node_def();
  ASSERT_EQ(def.input_size(), kNodes);
  EXPECT_EQ(def.input(kNodes - 2), "n" + std::to_string(kNodes - 2) + ":1");
  EXPECT_EQ(graph.AddNode("n7"), nullptr);
}

TEST(GraphTest, NodeNamesMayHoldSingleSlashes) {
  Graph graph;
  EXPECT_NE(graph.AddNode("a/b"), nullptr);
  EXPECT_NE(graph.AddNode("a/"), nullptr);
  EXPECT_NE(graph.AddNode("a/b/c"), nullptr);
}

TEST(GraphTest, SettersFillTheNodeDefinition) {
  Graph graph;
  NodeInterface* x = graph.AddNode("x");
  NodeInterface* y = graph.AddNode("y");
  ASSERT_TRUE(y->SetOpName("MatMul") && y->AddInput(x, 0) && y->SetAttr("T", FLOAT) &&
              y->SetAttr("s", "text") && y->SetAttr("i", -2) && y->SetAttr("b", true) &&
              y->SetAttr("f", 0.5f) && y->SetAttr("li", std::vector<int>{1, -1}) &&
              y->SetAttr("_output_shapes", std::vector<std::vector<int>>{{2, 3}}) &&
              y->SetAttr("lb", std::vector<bool>{true, false}) &&
              y->SetAttr("lf", std::vector<float>{1.5f}) &&
              y->SetAttr("ls", std::vector<const char*>{"p", "q"}) &&
              y->SetAttr("lt", std::vector<DataType>{INT32, COUNT}) &&
              y->SetAttr("i", 7));  // Replaces the earlier value.
  std::map<std::string, AttrValue> expected;
  expected["T"].set_type_value(FLOAT);
  expected["s"].set_string_value("text");
  expected["i"].set_int_value(7);
  expected["b"].set_bool_value(true);
  expected["f"].set_float_value(0.5f);
  for (int v : {1, -1}) expected["li"].mutable_list()->add_int_values(v);
  auto* shape = expected["_output_shapes"].mutable_list()->add_shape_values();
  shape->add_dims()->set_size(2), shape->add_dims()->set_size(3);
  for (bool v : {true, false}) expected["lb"].mutable_list()->add_bool_values(v);
  expected["lf"].mutable_list()->add_float_values(1.5f);
  for (const char* v : {"p", "q"}) expected["ls"].mutable_list()->add_string_values(v);
  for (const char* v : {"int32", "invalid"}) expected["lt"].mutable_list()->add_string_values(v);
  const NodeDef& def = AsNode(y)->node_def();
  EXPECT_EQ(
      def.name() + " " + def.op() + " " + def.input(0) + " " + std::to_string(def.input_size()),
      "y MatMul x:0 1");
  EXPECT_EQ(def.attr().size(), expected.size());
  for (const auto& [name, value] : expected) {
    const auto it = def.attr().find(name);
    ASSERT_NE(it, def.attr().end()) << name;
    EXPECT_EQ(testing::ToHex(it->second.SerializeAsString()),
              testing::ToHex(value.SerializeAsString()))
        << name;
  }
}

// A directory that cannot be made or written: false, no exception, and a
// WARNING naming the directory and the reason with the system's error text,
// after the line of the step that refused, where that step logs one.
TEST(GraphTest, DumpFailuresReturnFalseAndSayWhy) {
  testing::TempDir dir;
  const std::string file = dir.Join("file");
  ASSERT_TRUE(testing::WriteTestFile(file));
  const std::string open_failure = "failed to open log_file/proc/events.out.tfevents.";
  const struct {
    std::string logdir;
    std::string earlier_line;  // the start of the line before the WARNING; empty: none
    std::string reason;
  } cases[] = {
      {file, "WARNING File: " + file + " exists, which may affect create the " + file + " folder.",
       "Failed precondition: " + file + " is not a directory"},
      {dir.Join("file/logs"), "", "Failed precondition: " + file + " is not a directory"},
      {"/proc/zentrik_test/logs", "",
       "Aborted: /proc/zentrik_test creating...  error! (No such file or directory)"},
      {"/proc", "ERROR " + open_failure, "Unknown: " + open_failure},
  };
  for (const auto& [logdir, earlier_line, reason] : cases) {
    Graph graph;
    ASSERT_NE(graph.AddNode("n"), nullptr);
    testing::StderrCapture capture;
    bool dumped = true;
    EXPECT_NO_THROW(dumped = graph.DumpGraph(logdir.c_str()));
    EXPECT_FALSE(dumped) << logdir;
    const std::string log = capture.Stop();
    const std::vector<std::string> lines = testing::LogLinesFrom(log, "");
    ASSERT_EQ(lines.size(), earlier_line.empty() ? 1u : 2u) << log;
    if (!earlier_line.empty()) {
      EXPECT_EQ(lines.front().find(earlier_line), 0u) << log;
    }
    EXPECT_EQ(lines.back().find("WARNING Could not write the graph into " + logdir + ": " + reason),
              0u)
        << log;
    EXPECT_EQ(testing::LogLinesFrom(log, "graph/core/graph"),
              std::vector<std::string>{lines.back()})
        << log;
  }
  EXPECT_EQ(testing::ListDirectory(dir.path()), std::vector<std::string>{"file"});
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
