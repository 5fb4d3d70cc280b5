#ifndef ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_
#define ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
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

  // The definition with every input in its place.
  const NodeDef& node_def() const;
  const std::string& name() const { return node_def_->name(); }
  NodeDef* mutable_node_def() { return node_def_.get(); }

  // False, with a WARNING, when no NodeDef is attached.
  bool HasNodeDef() const;
  // True, with `*value` pointing at the stored value, when `name` is set.
  bool FindAttr(const std::string& name, AttrValue** value);

  bool SetOpName(const std::string& op);
  // Appends "<source>:<slot>". A source that feeds the node already is
  // re-slotted (its entry moves to the end); the same slot again is refused.
  // O(1) amortised: sources are found through an index, not a scan.
  bool AddInput(const std::string& source, int slot);
  // Inserts or replaces attribute `name`.
  void SetAttr(const std::string& name, const AttrValue& value);
  // Stores `type` as attribute `name`; refuses INVALID and COUNT, and a
  // value without a name when it would replace a stored one.
  bool SetOutputDataType(const char* name, DataType type);
  // Stores one shape per output as the attribute "_output_shapes"; refuses an
  // empty list.
  bool SetOutputShapes(const std::vector<std::vector<int>>& shapes);

 private:
  struct InputPosition {
    int index;  // in NodeDef.input
    int slot;
  };
  // Closes up the entries that re-slotting emptied and renumbers the index.
  void RemoveEmptiedInputs() const;

  std::shared_ptr<NodeDef> node_def_;
  // Where each source's entry stands. A re-slotted entry is emptied in place
  // and the list closed up later, so that moving it costs no scan.
  mutable std::unordered_map<std::string, InputPosition> inputs_by_source_;
  mutable size_t emptied_inputs_ = 0;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_NODE_DEF_WRAPPER_H_
