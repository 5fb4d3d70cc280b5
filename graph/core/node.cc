#include "graph/core/node.h"

#include <cstring>

#include "common/platform/logging.h"
#include "graph/core/no_throw.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace graph {
namespace {

constexpr char kOutputShapesAttr[] = "_output_shapes";

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

Node::Node(const std::string& name) : node_def_wrapper_(std::make_shared<NodeDefWrapper>()) {
  node_def_wrapper_->mutable_node_def()->set_name(name);
}

bool Node::CheckAttrName(const char* name, const char* blanks) const {
  if (IsEmpty(name)) {
    LOG(WARNING) << " the attribute of node" << blanks << this->name() << " is empty.";
    return false;
  }
  // Attribute names are protobuf strings: ill-formed UTF-8 would make
  // TensorBoard reject the whole graph.
  if (!trace::IsValidUtf8(name)) {
    LOG(WARNING) << " the attribute name of node " << this->name() << " is not valid UTF-8.";
    return false;
  }
  return true;
}

bool Node::CheckAttrValue(const char* name, bool empty) const {
  if (!empty) return true;
  LOG(WARNING) << " the attributed value of " << name << " on node " << this->name()
               << " is empty.";
  return false;
}

bool Node::StoreScalar(const char* name, const char* type_word, const AttrValue& value) {
  LOG(INFO) << "Trying to set an attr,name: " << name << ", data type: " << type_word;
  node_def_wrapper_->SetAttr(name, value);
  return true;
}

template <typename Fill>
bool Node::StoreList(const char* name, const char* type_word, Fill&& fill) {
  AttrValue value;
  AttrValue::ListValue* list = value.mutable_list();
  list->Clear();
  fill(list);
  LOG(INFO) << "Trying to set an attr,name: " << name << ", data type: vector " << type_word;
  node_def_wrapper_->SetAttr(name, value);
  return true;
}

template <typename Set>
bool Node::SetScalar(const char* name, const char* type_word, Set&& set) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name)) return false;
    AttrValue attr;
    set(&attr);
    return StoreScalar(name, type_word, attr);
  });
}

template <typename T, typename Add>
bool Node::SetNumberList(const char* name, const std::vector<T>& values, const char* type_word,
                         Add&& add) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name) || !CheckAttrValue(name, values.empty())) return false;
    return StoreList(name, type_word, [&](AttrValue::ListValue* list) {
      for (T value : values) add(list, value);
    });
  });
}

bool Node::SetOpName(const char* op) {
  return ReturnOnException("SetOpName on node ", &name(), false, [&] {
    if (IsEmpty(op)) {
      LOG(WARNING) << " op name of " << name() << " is empty.";
      return false;
    }
    if (!trace::IsValidUtf8(op)) {
      LOG(WARNING) << " op name of " << name() << " is not valid UTF-8.";
      return false;
    }
    return node_def_wrapper_->SetOpName(op);
  });
}

bool Node::AddInput(NodeInterface* source, int slot) {
  return ReturnOnException("AddInput on node ", &name(), false, [&] {
    if (source == nullptr) {
      LOG(WARNING) << "the input of node " << name() << " is empty.";
      return false;
    }
    // Only nodes of a graph have a name to record.
    const auto* source_node = dynamic_cast<const Node*>(source);
    if (source_node == nullptr) {
      LOG(WARNING) << "the input of node " << name() << " is not a node of a graph.";
      return false;
    }
    if (slot < 0) {
      LOG(ERROR) << "the slot: " << slot << " from node " << source_node->name() << " to node "
                 << name() << " must be greater than or equal to 0";
      return false;
    }
    if (slot > source_node->max_output_index()) {
      LOG(WARNING) << "the slot: " << slot << " from node " << source_node->name() << " to node "
                   << name() << " may be out of ranges.";
    }
    return node_def_wrapper_->AddInput(source_node->name(), slot);
  });
}

bool Node::SetAttr(const char* name, DataType type) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    // The wrapper needs a C string to name the attribute.
    if (!CheckAttrName(name)) return false;
    return node_def_wrapper_->SetOutputDataType(name, type);
  });
}

bool Node::SetAttr(const char* name, const char* value) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name, "  ") || !CheckAttrValue(name, IsEmpty(value))) return false;
    AttrValue attr;
    attr.set_string_value(value);
    return StoreScalar(name, "string", attr);
  });
}

bool Node::SetAttr(const char* name, int value) {
  return SetScalar(name, "int", [&](AttrValue* attr) { attr->set_int_value(value); });
}

bool Node::SetAttr(const char* name, bool value) {
  return SetScalar(name, "bool", [&](AttrValue* attr) { attr->set_bool_value(value); });
}

bool Node::SetAttr(const char* name, float value) {
  return SetScalar(name, "float", [&](AttrValue* attr) { attr->set_float_value(value); });
}

bool Node::SetAttr(const char* name, const std::vector<int>& values) {
  return SetNumberList(name, values, "int",
                       [](AttrValue::ListValue* list, int value) { list->add_int_values(value); });
}

bool Node::SetAttr(const char* name, const std::vector<std::vector<int>>& shapes) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name)) return false;
    if (std::strcmp(name, kOutputShapesAttr) != 0) {
      LOG(WARNING) << "unsupported attributed name: " << name;
      return false;
    }
    if (shapes.empty()) {
      LOG(WARNING) << " the output size of node " << this->name() << "  is empty.";
      return false;
    }
    const int last_index = static_cast<int>(shapes.size() - 1);
    if (last_index > max_output_index_) max_output_index_ = last_index;
    return node_def_wrapper_->SetOutputShapes(shapes);
  });
}

bool Node::SetAttr(const char* name, const std::vector<bool>& values) {
  return SetNumberList(name, values, "bool", [](AttrValue::ListValue* list, bool value) {
    list->add_bool_values(value);
  });
}

bool Node::SetAttr(const char* name, const std::vector<float>& values) {
  return SetNumberList(name, values, "float", [](AttrValue::ListValue* list, float value) {
    list->add_float_values(value);
  });
}

bool Node::SetAttr(const char* name, const std::vector<const char*>& values) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name) || !CheckAttrValue(name, values.empty())) return false;
    // Every element is checked before anything is stored.
    std::vector<std::string> copies;
    copies.reserve(values.size());
    for (const char* value : values) {
      if (IsEmpty(value)) {
        LOG(WARNING) << " existing attributed value of " << name << " on node " << this->name()
                     << " is empty.";
        return false;
      }
      copies.emplace_back(value);
    }
    return StoreList(name, "string", [&](AttrValue::ListValue* list) {
      for (const std::string& value : copies) list->add_string_values(value);
    });
  });
}

bool Node::SetAttr(const char* name, const std::vector<DataType>& values) {
  return ReturnOnException("SetAttr on node ", &this->name(), false, [&] {
    if (!CheckAttrName(name) || !CheckAttrValue(name, values.empty())) return false;
    // A value without a name is refused here rather than thrown at the caller.
    for (DataType type : values) {
      if (type < INVALID || type > COUNT) {
        LOG(WARNING) << " the data type " << static_cast<int>(type) << " of " << name << " on node "
                     << this->name() << " is invalid.";
        return false;
      }
    }
    return StoreList(name, "string", [&](AttrValue::ListValue* list) {
      for (DataType type : values) list->add_string_values(GetDataTypeStr(type));
    });
  });
}

}  // namespace graph
}  // namespace zentrik
