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
  char pair[3];
  for (const char c : bytes) {
    if (!hex.empty()) hex += ' ';
    std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(c));
    hex += pair;
  }
  return hex;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  std::string digits;
  for (const char c : hex) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() < 2) continue;
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, 16);
    if (end != digits.c_str() + 2) std::abort();
    bytes += static_cast<char>(value);
    digits.clear();
  }
  if (!digits.empty()) std::abort();
  return bytes;
}

}  // namespace testing
}  // namespace zentrik
