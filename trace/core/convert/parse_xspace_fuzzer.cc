// ParseXSpace on arbitrary bytes, on an arena (where events share one no-value
// counter set) against the generated parse: the same status, the same space;
// and the space so read is written by SerializeXSpace as the generated code
// writes it.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstdint>
#include <string>

#include "tools/fuzz/fuzz_checks.h"
#include "trace/core/convert/parse_xspace.h"
#include "trace/core/utils/xspace_wire.h"

namespace {

// Two spaces parsed apart may keep their map entries in different orders.
std::string SortedBytes(const zentrik::trace::XSpace& space) {
  std::string bytes;
  google::protobuf::io::StringOutputStream string_stream(&bytes);
  google::protobuf::io::CodedOutputStream coded(&string_stream);
  coded.SetSerializationDeterministic(true);
  space.SerializeToCodedStream(&coded);
  coded.Trim();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ::zentrik::testing::FuzzCheck;
  using ::zentrik::trace::XSpace;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  XSpace generic;
  const zentrik::trace::Status expected = zentrik::trace::ParseXSpace(bytes, &generic);
  google::protobuf::Arena arena;
  XSpace* shared = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  FuzzCheck(zentrik::trace::ParseXSpace(bytes, shared) == expected, "the status differs");
  if (!expected.ok()) return 0;
  FuzzCheck(SortedBytes(*shared) == SortedBytes(generic), "the spaces differ");
  std::string written, reference;
  FuzzCheck(zentrik::trace::SerializeXSpace(*shared, &written) &&
                shared->SerializeToString(&reference) && written == reference,
            "the written bytes differ");
  return 0;
}
