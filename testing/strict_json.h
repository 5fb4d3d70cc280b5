#ifndef ZENTRIK_TESTING_STRICT_JSON_H_
#define ZENTRIK_TESTING_STRICT_JSON_H_

#include <json/value.h>

#include <string>

namespace zentrik {
namespace testing {

// Parses `text` with jsoncpp's strict reader (one root object or array, no
// comments, no trailing text, duplicate keys rejected). False with the
// reader's message in `*errors` when it is not strictly valid JSON.
bool ParseStrictJson(const std::string& text, Json::Value* root, std::string* errors);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_STRICT_JSON_H_
