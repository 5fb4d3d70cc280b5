#include "graph/core/node_def_wrapper.h"

#include <cstdlib>

#include "common/platform/logging.h"

namespace zentrik {
namespace graph {
namespace {

constexpr char kOutputShapesAttr[] = "_output_shapes";
constexpr char kNoNodeDefForInput[] = "Set input failed. Please set or create NodeDef first.";

struct InputEntry {
  std::string source;
  long slot;
};

// The source is everything before the last ':', the slot what follows it.
InputEntry SplitInput(const std::string& input) {
  const size_t colon = input.rfind(':');
  if (colon == std::string::npos) return {input, 0};
  return {input.substr(0, colon), std::strtol(input.c_str() + colon + 1, nullptr, 10)};
}

// The name of a type as the log shows it; a number for one without a name,
// which GetDataTypeStr would refuse by throwing.
std::string DataTypeText(DataType type) {
  if (type < INVALID || type > COUNT) return std::to_string(static_cast<int>(type));
  return GetDataTypeStr(type);
}

}  // namespace

NodeDefWrapper::NodeDefWrapper() : node_def_(std::make_shared<NodeDef>()) {}

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
  for (auto it = inputs->begin(); it != inputs->end(); ++it) {
    const InputEntry entry = SplitInput(*it);
    if (entry.source != source) continue;
    if (entry.slot == slot) {
      LOG(WARNING) << "the input " << source << " of node " << node_def_->name()
                   << " is already existed.";
      return false;
    }
    LOG(WARNING) << "the input " << source << " of node " << node_def_->name()
                 << " is modified to slot " << slot;
    inputs->erase(it);
    break;
  }
  node_def_->add_input(source + ":" + std::to_string(slot));
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
    LOG(WARNING) << "the output data type of " << name << " is modified to " << DataTypeText(type);
    attrs->erase(it);
  }
  attrs->insert({name, value});
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
    attrs->erase(it);
  }
  attrs->insert({kOutputShapesAttr, value});
  return true;
}

}  // namespace graph
}  // namespace zentrik
