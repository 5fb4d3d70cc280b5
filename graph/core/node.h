#ifndef ZENTRIK_GRAPH_CORE_NODE_H_
#define ZENTRIK_GRAPH_CORE_NODE_H_

#include <memory>
#include <string>
#include <vector>

#include "graph/core/node_def_wrapper.h"
#include "zentrik/graph/graph.h"

namespace zentrik {
namespace graph {

// A node of a Graph: checks the caller's arguments, logs refusals, and edits
// its NodeDef through its NodeDefWrapper. Not thread-safe.
class Node : public NodeInterface {
 public:
  explicit Node(const std::string& name);
  ~Node() override = default;

  bool SetOpName(const char* op) override;
  bool AddInput(NodeInterface* source, int slot) override;
  bool SetAttr(const char* name, DataType type) override;
  bool SetAttr(const char* name, const char* value) override;
  bool SetAttr(const char* name, int value) override;
  bool SetAttr(const char* name, bool value) override;
  bool SetAttr(const char* name, float value) override;
  bool SetAttr(const char* name, const std::vector<int>& values) override;
  bool SetAttr(const char* name, const std::vector<std::vector<int>>& shapes) override;
  bool SetAttr(const char* name, const std::vector<bool>& values) override;
  bool SetAttr(const char* name, const std::vector<float>& values) override;
  bool SetAttr(const char* name, const std::vector<const char*>& values) override;
  bool SetAttr(const char* name, const std::vector<DataType>& values) override;

  const std::string& name() const { return node_def_wrapper_->name(); }
  const NodeDef& node_def() const { return node_def_wrapper_->node_def(); }
  // The highest output slot declared through "_output_shapes"; 0 at first.
  int max_output_index() const { return max_output_index_; }

 private:
  // False, with the WARNING " the attribute of node <name> is empty.", for a
  // null or empty attribute name (`blanks` follow "node" in the message), and
  // for one that is not well-formed UTF-8.
  bool CheckAttrName(const char* name, const char* blanks = " ") const;
  // False, with the "attributed value ... is empty." WARNING, when `empty`.
  bool CheckAttrValue(const char* name, bool empty) const;
  // Builds a list value with `fill`, logs the INFO line and stores it.
  template <typename Fill>
  bool StoreList(const char* name, const char* type_word, Fill&& fill);
  // Checks the name, then builds the value with `set` and stores it.
  template <typename Set>
  bool SetScalar(const char* name, const char* type_word, Set&& set);
  // Checks name and list, then stores every element through `add`.
  template <typename T, typename Add>
  bool SetNumberList(const char* name, const std::vector<T>& values, const char* type_word,
                     Add&& add);
  // Logs the INFO line and stores a scalar value.
  bool StoreScalar(const char* name, const char* type_word, const AttrValue& value);

  int max_output_index_ = 0;
  std::shared_ptr<NodeDefWrapper> node_def_wrapper_;
};

}  // namespace graph
}  // namespace zentrik

#endif  // ZENTRIK_GRAPH_CORE_NODE_H_
