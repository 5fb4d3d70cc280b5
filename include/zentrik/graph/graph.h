#ifndef ZENTRIK_GRAPH_GRAPH_H_
#define ZENTRIK_GRAPH_GRAPH_H_

// Describing a dataflow graph and writing it for TensorBoard's graph view.
//
//   std::unique_ptr<zentrik::graph::GraphInterface> graph(zentrik::graph::CreateGraph());
//   zentrik::graph::NodeInterface* x = graph->AddNode("x");
//   zentrik::graph::NodeInterface* y = graph->AddNode("layer/relu");
//   x->SetOpName("Placeholder");
//   x->SetAttr("dtype", zentrik::FLOAT);
//   x->SetAttr("_output_shapes", std::vector<std::vector<int>>{{-1, 784}});
//   y->SetOpName("Relu");
//   y->AddInput(x, 0);
//   graph->DumpGraph("/tmp/logdir");  // /tmp/logdir/events.out.tfevents.<s>.<host>
//
// A graph and its nodes are used from one thread at a time. Every operation
// reports a refused call through its result (null or false) and one WARNING or
// ERROR line on standard error, and leaves the graph as it was; successful
// edits log INFO lines. None throws.

#include <memory>  // the usage above holds the graph in a std::unique_ptr
#include <vector>

#include "zentrik/data_type.h"
#include "zentrik/export.h"

namespace zentrik {
namespace graph {

// One node of a graph, owned by the graph that made it: valid until the graph
// is deleted, and never deleted by the caller. Each setter returns true when
// the node's definition holds the new value afterwards.
class NodeInterface {
 public:
  // The operation the node performs. False for a null or empty `op`, or one
  // that is not well-formed UTF-8.
  virtual bool SetOpName(const char* op) = 0;

  // Records that the node reads output `slot` of `source` (a node made by
  // AddNode of any graph) as "<source name>:<slot>". A source that already
  // feeds this node is moved to the end with the new slot; the same source and
  // slot again is refused. False for a null source or a negative slot; a slot
  // beyond the outputs the source declared (see "_output_shapes") is kept,
  // with a WARNING.
  virtual bool AddInput(NodeInterface* source, int slot) = 0;

  // Attributes: a later value of the same name replaces the earlier one. Each
  // refuses a null or empty name or one that is not well-formed UTF-8, and the
  // list setters an empty list.

  // A data type, stored as its number. False for INVALID and COUNT.
  virtual bool SetAttr(const char* name, DataType type) = 0;
  // False for a null or empty value.
  virtual bool SetAttr(const char* name, const char* value) = 0;
  virtual bool SetAttr(const char* name, int value) = 0;
  virtual bool SetAttr(const char* name, bool value) = 0;
  virtual bool SetAttr(const char* name, float value) = 0;
  virtual bool SetAttr(const char* name, const std::vector<int>& values) = 0;
  // The shapes of the node's outputs, one vector of dimension sizes per
  // output; `name` must be "_output_shapes".
  virtual bool SetAttr(const char* name, const std::vector<std::vector<int>>& shapes) = 0;
  virtual bool SetAttr(const char* name, const std::vector<bool>& values) = 0;
  virtual bool SetAttr(const char* name, const std::vector<float>& values) = 0;
  // False, with nothing stored, when any element is null or empty.
  virtual bool SetAttr(const char* name, const std::vector<const char*>& values) = 0;
  // Stored as the list of the types' names ("float", "int32", ...); COUNT is
  // stored as "invalid". False for a value outside INVALID..COUNT.
  virtual bool SetAttr(const char* name, const std::vector<DataType>& values) = 0;

 protected:
  // Nodes are deleted by their graph only.
  virtual ~NodeInterface() = default;
};

// A graph of uniquely named nodes.
class GraphInterface {
 public:
  // A new node named `name`, or null (and nothing changed) when the name is
  // null, empty, begins with '/', contains "//", is not well-formed UTF-8, or
  // names a node of this graph already. The graph owns the node.
  virtual NodeInterface* AddNode(const char* name) = 0;

  // Writes the graph in its current state as one graph event into a new event
  // file "events.out.tfevents.<seconds of the monotonic clock>.<host name>" in
  // `logdir`, creating the directory when needed; the file is complete when
  // this returns. An existing file is never replaced: when the name is taken
  // (an earlier dump in the same second), the next free number of seconds
  // names the file. False when the graph has no node, `logdir` is null or
  // empty, or the file cannot be written (a WARNING then names `logdir` and
  // the reason).
  virtual bool DumpGraph(const char* logdir) = 0;

  // Deletes every node of the graph.
  virtual ~GraphInterface() = default;
};

// A new empty graph, which the caller owns and deletes; null when memory runs
// out.
ZENTRIK_EXPORT GraphInterface* CreateGraph();

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_GRAPH_H_
