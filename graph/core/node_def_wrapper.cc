#include "graph/core/node_def_wrapper.h"

#include <utility>

#include "common/platform/logging.h"

namespace zentrik {
namespace graph {
namespace {

constexpr char kOutputShapesAttr[] = "_output_shapes";
constexpr char kNoNodeDefForInput[] = "Set input failed. Please set or create NodeDef first.";

// The source of an entry is everything before its last ':'.
std::string SourceOf(const std::string& input) { return input.substr(0, input.rfind(':')); }

bool HasName(DataType type) { return type >= INVALID && type <= COUNT; }

// Stores `value` as attribute `name`. A stored value is replaced in place:
// taking it out first and inserting the new one could run out of memory in
// between and lose the attribute for good.
template <typename Attrs, typename Found>
void StoreAttr(Attrs* attrs, Found found, const char* name, AttrValue* value) {
  if (found != attrs->end()) {
    found->second.Swap(value);
    return;
  }
  attrs->insert({name, *value});
}

}  // namespace

NodeDefWrapper::NodeDefWrapper() : node_def_(std::make_shared<NodeDef>()) {}

const NodeDef& NodeDefWrapper::node_def() const {
  if (emptied_inputs_ > 0) RemoveEmptiedInputs();
  return *node_def_;
}

void NodeDefWrapper::RemoveEmptiedInputs() const {
  auto* inputs = node_def_->mutable_input();
  int kept = 0;
  for (int i = 0; i < inputs->size(); ++i) {
    if (inputs->Get(i).empty()) continue;
    inputs->SwapElements(kept, i);
    inputs_by_source_[SourceOf(inputs->Get(kept))].index = kept;
    ++kept;
  }
  inputs->DeleteSubrange(kept, inputs->size() - kept);
  emptied_inputs_ = 0;
}

bool NodeDefWrapper::HasNodeDef() const {
  if (node_def_ != nullptr) return true;
  LOG(WARNING) << "There is no NodeDef in NodeDefWrapper now.";
  return false;
}

bool NodeDefWrapper::FindAttr(const std::string& name, AttrValue** value) {
  if (!HasNodeDef()) return false;
  auto it = node_def_->mutable_attr()->find(name);
  if (it == node_def_->mutable_attr()->end()) return false;
  *value = &it->second;
  return true;
}

bool NodeDefWrapper::SetOpName(const std::string& op) {
  if (!HasNodeDef()) {
    LOG(WARNING) << kNoNodeDefForInput;
    return false;
  }
  node_def_->set_op(op);
  LOG(INFO) << "NodeDef (" << node_def_->name() << " ) set op name: " << op;
  return true;
}

bool NodeDefWrapper::AddInput(const std::string& source, int slot) {
  if (!HasNodeDef()) {
    LOG(WARNING) << kNoNodeDefForInput;
    return false;
  }
  auto* inputs = node_def_->mutable_input();
  auto [found, added] = inputs_by_source_.try_emplace(source, InputPosition{inputs->size(), slot});
  if (!added) {
    if (found->second.slot == slot) {
      LOG(WARNING) << "the input " << source << " of node " << node_def_->name()
                   << " is already existed.";
      return false;
    }
    LOG(WARNING) << "the input " << source << " of node " << node_def_->name()
                 << " is modified to slot " << slot;
  }
  std::string entry = source + ":" + std::to_string(slot);
  try {
    inputs->Add(std::move(entry));
  } catch (...) {
    if (added) inputs_by_source_.erase(found);
    throw;
  }
  if (!added) {
    // Emptied now, closed up before anybody reads the list.
    inputs->Mutable(found->second.index)->clear();
    found->second = {inputs->size() - 1, slot};
    if (++emptied_inputs_ > static_cast<size_t>(inputs->size()) / 2) RemoveEmptiedInputs();
  }
  return true;
}

void NodeDefWrapper::SetAttr(const std::string& name, const AttrValue& value) {
  if (!HasNodeDef()) return;
  AttrValue* stored = nullptr;
  if (FindAttr(name, &stored)) {
    *stored = value;
    LOG(INFO) << "Attr (" << name << ") in NodeDef " << node_def_->name() << "is being setted.";
  }
  node_def_->mutable_attr()->insert({name, value});
  LOG(INFO) << "NodeDef ( " << node_def_->name() << " ) add attr: " << name;
}

bool NodeDefWrapper::SetOutputDataType(const char* name, DataType type) {
  if (type == INVALID || type == COUNT) {
    LOG(ERROR) << "type value is invalid.";
    return false;
  }
  AttrValue value;
  value.set_type_value(type);
  auto* attrs = node_def_->mutable_attr();
  auto it = attrs->find(name);
  if (it != attrs->end()) {
    // A value without a name cannot be reported as a type: it is refused.
    if (!HasName(type)) {
      LOG(WARNING) << "the output data type of " << name
                   << " is not modified: " << static_cast<int>(type) << " is not a data type.";
      return false;
    }
    LOG(WARNING) << "the output data type of " << name << " is modified to "
                 << GetDataTypeStr(type);
  }
  StoreAttr(attrs, it, name, &value);
  return true;
}

bool NodeDefWrapper::SetOutputShapes(const std::vector<std::vector<int>>& shapes) {
  if (shapes.empty()) {
    LOG(WARNING) << "the output dim is empty.";
    return false;
  }
  AttrValue value;
  AttrValue::ListValue* list = value.mutable_list();
  for (const std::vector<int>& shape : shapes) {
    TensorShapeProto* proto = list->add_shape_values();
    for (int size : shape) proto->add_dims()->set_size(size);
  }
  auto* attrs = node_def_->mutable_attr();
  auto it = attrs->find(kOutputShapesAttr);
  if (it != attrs->end()) {
    LOG(WARNING) << "the output dims have been modified.";
  }
  StoreAttr(attrs, it, kOutputShapesAttr, &value);
  return true;
}

}  // namespace graph
}  // namespace zentrik
