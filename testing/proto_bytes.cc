#include "testing/proto_bytes.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstdio>
#include <cstdlib>

namespace zentrik {
namespace testing {

std::string DeterministicBytes(const google::protobuf::MessageLite& message) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream string_stream(&bytes);
    google::protobuf::io::CodedOutputStream coded(&string_stream);
    coded.SetSerializationDeterministic(true);
    if (!message.SerializeToCodedStream(&coded)) std::abort();
  }
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  std::string hex;
  char pair[4];
  for (const char c : bytes) {
    std::snprintf(pair, sizeof(pair), " %02x", static_cast<unsigned char>(c));
    hex += pair;
  }
  return hex.empty() ? hex : hex.substr(1);
}

std::string FromHex(const std::string& hex) {
  std::string bytes, digits;
  for (const char c : hex) {
    if (c != ' ') digits += c;
    if (digits.size() < 2) continue;
    char* end = nullptr;
    bytes += static_cast<char>(std::strtol(digits.c_str(), &end, 16));
    if (end != digits.c_str() + 2) std::abort();
    digits.clear();
  }
  if (!digits.empty()) std::abort();
  return bytes;
}

}  // namespace testing
}  // namespace zentrik
