// The graph interface when memory runs out: no exception escapes, the call
// reports failure with an ERROR line, and the graph is left as it was.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "graph/core/graph.h"
#include "graph/utils/record_file_writer.h"
#include "testing/failing_allocations.h"
#include "testing/profile_files.h"
#include "testing/stderr_capture.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace graph {
namespace {

// Node "a" has attributes T and _output_shapes and input b:0 before each call.
struct Nodes {
  Graph& graph;
  NodeInterface* a;
};

const Node& AsNode(NodeInterface* node) { return *dynamic_cast<Node*>(node); }

// Each call runs with its n-th allocation failing, n = 0, 1, ..., until it
// allocates fewer times than that. Calls that grow a protobuf map or repeated
// field (a new attribute, a list, AddInput, DumpGraph) are left out: those do
// not survive a failed allocation while they grow.
TEST(GraphOutOfMemoryTest, FailedCallsChangeNothing) {
  const std::string long_name(40, 'n'), value(40, 'v');
  const std::vector<std::vector<int>> shapes = {{1, 2}};
  const std::pair<const char*, std::function<bool(const Nodes&)>> cases[] = {
      {"AddNode", [&](const Nodes& t) { return t.graph.AddNode(long_name.c_str()) != nullptr; }},
      {"SetOpName", [&](const Nodes& t) { return t.a->SetOpName(value.c_str()); }},
      {"SetAttr", [&](const Nodes& t) { return t.a->SetAttr("T", INT64); }},
  };
  for (const auto& [operation, call] : cases) {
    long n = 0;
    for (bool failed = true; failed; ++n) {
      Graph graph;
      NodeInterface* a = graph.AddNode("a");
      NodeInterface* b = graph.AddNode("b");
      ASSERT_TRUE(a->SetAttr("T", FLOAT) && a->SetAttr("_output_shapes", shapes) &&
                  a->AddInput(b, 0));
      const std::string before = AsNode(a).node_def().SerializeAsString();
      const Nodes nodes{graph, a};
      testing::StderrCapture capture;
      bool result = false;
      failed = testing::RunWithAllocationFailing(n, [&] { result = call(nodes); });
      const std::string log = capture.Stop();
      if (!failed) {
        EXPECT_TRUE(result) << operation;
        break;
      }
      if (result) continue;  // The failure was caught on the way and recovered from.
      EXPECT_NE(log.find(": ERROR: "), std::string::npos) << operation << " " << n << log;
      EXPECT_EQ(AsNode(a).node_def().SerializeAsString(), before) << operation << " " << n;
      // The name of a node that could not be added is free again.
      EXPECT_TRUE(std::string(operation) != "AddNode" ||
                  graph.AddNode(long_name.c_str()) != nullptr)
          << n;
    }
    EXPECT_GT(n, 1) << operation;
  }
}

// An event file whose writer cannot be set up is removed again: a dump that
// fails there leaves no empty file behind.
TEST(GraphOutOfMemoryTest, EventFileWithoutAWriterIsRemoved) {
  testing::TempDir dir;
  long n = 0;
  for (bool failed = true; failed; ++n) {
    const std::string path = dir.Join("events." + std::to_string(n) + std::string(40, 'x'));
    std::unique_ptr<RecordFileWriter> writer;
    bool threw = false;
    trace::Status status;
    failed = testing::RunWithAllocationFailing(n, [&] {
      try {
        status = RecordFileWriter::Create(path, &writer);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    });
    if (!failed) {
      EXPECT_TRUE(status.ok() && writer != nullptr) << status.ToString();
      break;
    }
    EXPECT_TRUE(threw && writer == nullptr) << n;
    EXPECT_EQ(testing::ListDirectory(dir.path()).size(), 0u) << n;
  }
  EXPECT_GT(n, 1);
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
