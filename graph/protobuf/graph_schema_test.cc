// The graph messages the library writes, pinned byte for byte where
// TensorBoard's readers depend on field numbers and encodings.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/protobuf/tensor_shape.pb.h"
#include "graph/protobuf/attr_value.pb.h"
#include "graph/protobuf/event.pb.h"
#include "graph/protobuf/graph.pb.h"
#include "testing/proto_bytes.h"

namespace zentrik {
namespace graph {
namespace {

// The hex bytes of a default `Message` after `fill`.
template <typename Message>
std::function<std::string()> Bytes(std::function<void(Message*)> fill) {
  return [fill] {
    Message message;
    fill(&message);
    return testing::ToHex(message.SerializeAsString());
  };
}

TEST(GraphSchemaTest, SerializesToTheExpectedBytes) {
  const struct {
    std::string label;
    std::function<std::string()> hex_of;
    std::string hex;
  } cases[] = {
      {"node fields in order", Bytes<NodeDef>([](NodeDef* n) {
         n->set_name("n"), n->set_op("o"), n->add_input(""), (*n->mutable_attr())["k"];
       }),
       "0a 01 6e 12 01 6f 1a 00 2a 05 0a 01 6b 12 00"},
      {"graph of one node", Bytes<GraphDef>([](GraphDef* g) { g->add_node_def()->set_name("a"); }),
       "0a 03 0a 01 61"},
      {"float attribute", Bytes<AttrValue>([](AttrValue* v) { v->set_float_value(1.0f); }),
       "25 00 00 80 3f"},
      {"packed integer list", Bytes<AttrValue::ListValue>([](AttrValue::ListValue* l) {
         l->add_int_values(1), l->add_int_values(-1);
       }),
       "1a 0b 01 ff ff ff ff ff ff ff ff ff 01"},
      {"shape 2, 0", Bytes<TensorShapeProto>([](TensorShapeProto* s) {
         s->add_dims()->set_size(2), s->add_dims()->set_size(0);
       }),
       "12 02 08 02 12 00"},
      {"graph event",
       Bytes<Event>([](Event* e) { e->set_wall_time(1.0), e->set_step(1), e->set_graph_def(""); }),
       "09 00 00 00 00 00 00 f0 3f 10 01 22 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.hex_of(), c.hex) << c.label;
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
