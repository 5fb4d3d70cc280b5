// Graph call sequences read from the input: nodes, op names, inputs,
// attributes of every kind (data types outside the table included) and
// dumps. A refused call must leave its node as it was, a source must feed a
// node at most once, and every dumped file must be framed and checksummed.
#include <cstdint>
#include <string>
#include <vector>

#include "graph/core/graph.h"
#include "testing/profile_files.h"
#include "testing/temp_dir.h"
#include "tools/fuzz/fuzz_checks.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::FuzzCheck;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
  int Int() { return static_cast<int8_t>(Byte()) * (Byte() % 4 == 0 ? 1000 : 1); }
  // A short text, its length from the input; NUL bytes end it early.
  std::string Text() {
    std::string text;
    for (size_t n = Byte() % 12; n > 0 && !empty(); --n) text.push_back(static_cast<char>(Byte()));
    return std::string(text.c_str());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::string Bytes(const Node& node) { return node.node_def().SerializeAsString(); }

// Runs one node operation; a refused one must change nothing.
void NodeCall(Input& in, Node* node, const std::vector<Node*>& nodes) {
  const std::string before = Bytes(*node);
  const std::string name = in.Byte() % 4 == 0 ? "_output_shapes" : in.Text();
  bool changed = false;
  switch (in.Byte() % 8) {
    case 0:
      changed = node->SetOpName(in.Text().c_str());
      break;
    case 1:
      changed = node->AddInput(nodes[in.Byte() % nodes.size()], in.Int());
      break;
    case 2:
      changed = node->SetAttr(name.c_str(), static_cast<DataType>(in.Int()));
      break;
    case 3:
      changed = node->SetAttr(name.c_str(), in.Text().c_str());
      break;
    case 4:
      changed = node->SetAttr(name.c_str(), in.Int());
      break;
    case 5: {
      std::vector<std::vector<int>> shapes(in.Byte() % 3,
                                           std::vector<int>(in.Byte() % 3, in.Int()));
      changed = node->SetAttr(name.c_str(), shapes);
      break;
    }
    case 6: {
      std::vector<DataType> types(in.Byte() % 3, static_cast<DataType>(in.Int()));
      changed = node->SetAttr(name.c_str(), types);
      break;
    }
    default:
      changed = node->SetAttr(name.c_str(), std::vector<float>(in.Byte() % 3, 0.5f));
      break;
  }
  if (!changed) FuzzCheck(Bytes(*node) == before, "a refused call changed the node");
}

void CheckInputsPerSource(const Node& node) {
  std::vector<std::string> sources;
  for (const std::string& input : node.node_def().input()) {
    const std::string source = input.substr(0, input.rfind(':'));
    for (const std::string& seen : sources) FuzzCheck(seen != source, "a source feeds twice");
    sources.push_back(source);
  }
}

}  // namespace
}  // namespace graph
}  // namespace zentrik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zentrik::graph;
  static zentrik::testing::TempDir dir_object;
  const zentrik::testing::TempDir* dir = &dir_object;
  Input in(data, size);
  Graph graph;
  std::vector<Node*> nodes;
  int dumps = 0;
  for (int calls = 0; !in.empty() && calls < 200; ++calls) {
    const uint8_t what = in.Byte() % 8;
    if (what == 0 || nodes.empty()) {
      NodeInterface* node = graph.AddNode(in.Text().c_str());
      if (node != nullptr) nodes.push_back(static_cast<Node*>(node));
    } else if (what == 1 && dumps < 2) {
      ++dumps;
      graph.DumpGraph(dir->path().c_str());
    } else {
      NodeCall(in, nodes[in.Byte() % nodes.size()], nodes);
    }
  }
  for (const Node* node : nodes) CheckInputsPerSource(*node);
  for (const std::string& file : zentrik::testing::ListDirectory(dir->path())) {
    zentrik::testing::CheckEventFile(dir->Join(file));
    std::remove(dir->Join(file).c_str());
  }
  return 0;
}
