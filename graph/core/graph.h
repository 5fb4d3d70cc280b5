#ifndef ZENTRIK_GRAPH_CORE_GRAPH_H_
#define ZENTRIK_GRAPH_CORE_GRAPH_H_

#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "graph/core/node.h"
#include "graph/protobuf/graph.pb.h"
#include "zentrik/graph/graph.h"

namespace zentrik {
namespace graph {

// The graph behind CreateGraph: owns its nodes, in creation order. Not
// thread-safe.
class Graph : public GraphInterface {
 public:
  Graph() = default;
  ~Graph() override;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  NodeInterface* AddNode(const char* name) override;
  bool DumpGraph(const char* logdir) override;

  // The GraphDef of the last DumpGraph that got as far as building one; null
  // before.
  std::shared_ptr<const GraphDef> graph_def() const { return graph_def_; }

 private:
  // Refuses, with its log line, a null, empty or ill-formed name, or one in
  // use.
  bool CheckNewNodeName(const char* name) const;
  bool WriteGraphDef(const std::string& logdir);

  std::shared_ptr<GraphDef> graph_def_;
  std::vector<Node*> nodes_;
  // The names of nodes_, which never change: a new name is checked in O(1).
  std::unordered_set<std::string_view> names_;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_GRAPH_H_
