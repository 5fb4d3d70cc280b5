#ifndef ZENTRIK_TESTING_PROTO_BYTES_H_
#define ZENTRIK_TESTING_PROTO_BYTES_H_

#include <google/protobuf/message_lite.h>

#include <string>

namespace zentrik {
namespace testing {

// The wire bytes of `message`, map entries sorted by key.
std::string DeterministicBytes(const google::protobuf::MessageLite& message);
// Bytes as lower-case hex pairs separated by one blank ("0a 00").
std::string ToHex(const std::string& bytes);
// The inverse of ToHex, blanks ignored; aborts on a malformed literal.
std::string FromHex(const std::string& hex);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PROTO_BYTES_H_
