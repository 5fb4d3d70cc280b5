// The graph-side schemas on the wire, pinned byte for byte where TensorBoard's
// readers depend on field numbers and encodings.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/protobuf/tensor.pb.h"
#include "common/protobuf/tensor_shape.pb.h"
#include "graph/protobuf/attr_value.pb.h"
#include "graph/protobuf/event.pb.h"
#include "graph/protobuf/graph.pb.h"
#include "graph/protobuf/summary.pb.h"
#include "graph/protobuf/versions.pb.h"
#include "testing/proto_bytes.h"

namespace zentrik {
namespace graph {
namespace {

using ::zentrik::testing::FromHex;
using ::zentrik::testing::ToHex;

std::string Repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(GraphSchemaTest, SerializesToTheExpectedBytes) {
  struct Case {
    std::string label;
    std::function<std::string()> serialize;
    std::string hex;
  };
  const Case cases[] = {
      {"node with a name",
       [] {
         NodeDef node;
         node.set_name("a");
         return node.SerializeAsString();
       },
       "0a 01 61"},
      {"graph of one node",
       [] {
         GraphDef graph;
         graph.add_node_def()->set_name("a");
         return graph.SerializeAsString();
       },
       "0a 03 0a 01 61"},
      {"node fields in order, empty attribute value written",
       [] {
         NodeDef node;
         node.set_name("n");
         node.set_op("o");
         node.add_input("");
         (*node.mutable_attr())["k"];
         return node.SerializeAsString();
       },
       "0a 01 6e 12 01 6f 1a 00 2a 05 0a 01 6b 12 00"},
      {"attribute entry with the empty key and the integer 0",
       [] {
         NodeDef node;
         (*node.mutable_attr())[""].set_int_value(0);
         return node.SerializeAsString();
       },
       "2a 06 0a 00 12 02 18 00"},
      {"float attribute",
       [] {
         AttrValue value;
         value.set_float_value(1.0f);
         return value.SerializeAsString();
       },
       "25 00 00 80 3f"},
      {"string replacing a list",
       [] {
         AttrValue value;
         value.mutable_list()->add_int_values(1);
         value.set_string_value("abc");
         return value.SerializeAsString();
       },
       "12 03 61 62 63"},
      {"packed integer list",
       [] {
         AttrValue::ListValue list;
         list.add_int_values(1);
         list.add_int_values(-1);
         return list.SerializeAsString();
       },
       "1a 0b 01 ff ff ff ff ff ff ff ff ff 01"},
      {"shape 2, 3 and a zero dimension",
       [] {
         TensorShapeProto shape;
         shape.add_dims()->set_size(2);
         shape.add_dims()->set_size(3);
         shape.add_dims()->set_size(0);
         return shape.SerializeAsString();
       },
       "12 02 08 02 12 02 08 03 12 00"},
      {"tensor field 16",
       [] {
         TensorProto tensor;
         tensor.add_uint32_list(1);
         return tensor.SerializeAsString();
       },
       "82 01 01 01"},
      {"version list",
       [] {
         VersionDef versions;
         versions.add_version_list(1);
         versions.add_version_list(300);
         return versions.SerializeAsString();
       },
       "1a 03 01 ac 02"},
      {"graph event",
       [] {
         Event event;
         event.set_wall_time(1.0);
         event.set_step(1);
         event.set_graph_def("");
         return event.SerializeAsString();
       },
       "09 00 00 00 00 00 00 f0 3f 10 01 22 00"},
      {"summary value holding 0.0",
       [] {
         Summary::Value value;
         value.set_float_value(0.0f);
         return value.SerializeAsString();
       },
       "15 00 00 00 00"},
      {"histogram with three packed doubles",
       [] {
         HistogramProto histogram;
         for (int i = 0; i < 3; ++i) histogram.add_field_6(0.0);
         return histogram.SerializeAsString();
       },
       "32 18" + Repeated(" 00", 24)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(c.serialize()), c.hex) << c.label;
  }
}

TEST(GraphSchemaTest, UnknownAndUndeclaredValuesSurviveARoundTrip) {
  const std::string cases[] = {
      "12 01 78",                    // GraphDef field 2, not declared.
      "32 02 08 0f",                 // Event: log message of level 15.
      "2a 07 0a 05 0a 03 61 62 63",  // Event: summary of one tagged value.
  };
  GraphDef graph;
  ASSERT_TRUE(graph.ParseFromString(FromHex(cases[0])));
  EXPECT_EQ(ToHex(graph.SerializeAsString()), cases[0]);
  for (int i = 1; i < 3; ++i) {
    Event event;
    ASSERT_TRUE(event.ParseFromString(FromHex(cases[i])));
    EXPECT_EQ(ToHex(event.SerializeAsString()), cases[i]);
  }
}

}  // namespace
}  // namespace graph
}  // namespace zentrik
