#ifndef ZENTRIK_TESTING_PROTO_BYTES_H_
#define ZENTRIK_TESTING_PROTO_BYTES_H_

#include <google/protobuf/message_lite.h>

#include <string>

namespace zentrik {
namespace testing {

// The wire bytes of `message` with map entries sorted by key, so that tests
// can compare them byte for byte.
std::string DeterministicBytes(const google::protobuf::MessageLite& message);

// Bytes as lower-case hex pairs separated by one blank ("0a 00").
std::string ToHex(const std::string& bytes);

// The inverse of ToHex; blanks are ignored. Aborts the test program on a
// malformed literal, which is a fault of the test itself.
std::string FromHex(const std::string& hex);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PROTO_BYTES_H_
