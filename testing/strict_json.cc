#include "testing/strict_json.h"

#include <json/reader.h>

#include <memory>

namespace zentrik {
namespace testing {

bool ParseStrictJson(const std::string& text, Json::Value* root, std::string* errors) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["rejectDupKeys"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  return reader->parse(text.data(), text.data() + text.size(), root, errors);
}

}  // namespace testing
}  // namespace zentrik
