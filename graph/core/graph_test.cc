#include "graph/core/graph.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "graph/protobuf/event.pb.h"
#include "testing/child_process.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/proto_bytes.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

Node* AsNode(NodeInterface* node) { return dynamic_cast<Node*>(node); }

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

}  // namespace
}  // namespace graph
}  // namespace zentrik
