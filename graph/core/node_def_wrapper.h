#ifndef ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_
#define ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_

#include <memory>
#include <string>
#include <vector>

#include "graph/protobuf/node_def.pb.h"
#include "zentrik/data_type.h"

namespace zentrik {
namespace graph {

// Owns one node's NodeDef and makes every change to it, logging each: the op,
// the "<source>:<slot>" inputs (one per source) and the attributes (one value
// per name, a later one replacing the earlier). Not thread-safe.
class NodeDefWrapper {
 public:
  // Attaches a new empty NodeDef.
  NodeDefWrapper();

  const NodeDef& node_def() const { return *node_def_; }
  NodeDef* mutable_node_def() { return node_def_.get(); }

  // False, with a WARNING, when no NodeDef is attached.
  bool HasNodeDef() const;
  // True, with `*value` pointing at the stored value, when `name` is set.
  bool FindAttr(const std::string& name, AttrValue** value);

  bool SetOpName(const std::string& op);
  // Appends "<source>:<slot>". A source that feeds the node already is
  // re-slotted (its entry moves to the end); the same slot again is refused.
  bool AddInput(const std::string& source, int slot);
  // Inserts or replaces attribute `name`.
  void SetAttr(const std::string& name, const AttrValue& value);
  // Stores `type` as attribute `name`; refuses INVALID and COUNT.
  bool SetOutputDataType(const char* name, DataType type);
  // Stores one shape per output as the attribute "_output_shapes"; refuses an
  // empty list.
  bool SetOutputShapes(const std::vector<std::vector<int>>& shapes);

 private:
  std::shared_ptr<NodeDef> node_def_;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_
