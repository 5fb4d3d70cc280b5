#include "common/platform/status.h"

#include <gtest/gtest.h>

namespace zentrik {
namespace trace {
namespace {

TEST(StatusTest, TextsOfEveryCodeAndFactory) {
  const char* const texts[] = {
      "OK",           "Cancelled",         "Unknown",        "Invalid argument",
      "Deadline exceeded", "Not found",    "Already exists", "Permission denied",
      "Resource exhausted", "Failed precondition", "Aborted", "Out of range",
      "Unimplemented", "Internal",         "Unavailable",    "Data loss",
      "Unauthenticated"};
  for (int code = 0; code <= 16; ++code) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code)), texts[code]);
  }
  for (const int code : {17, -1, 2147483647}) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code)),
              "Unknown code(" + std::to_string(code) + ")");
  }
  const std::pair<Status, const char*> factories[] = {
      {Status(), "OK"},
      {errors::Unknown(""), "Unknown: "},
      {errors::InvalidArgument("b"), "Invalid argument: b"},
      {errors::NotFound("c"), "Not found: c"},
      {errors::AlreadyExists("d"), "Already exists: d"},
      {errors::FailedPrecondition("e"), "Failed precondition: e"},
      {errors::Aborted("f"), "Aborted: f"},
      {errors::Internal("g"), "Internal: g"},
      {errors::Unavailable("h"), "Unavailable: h"},
      {errors::DataLoss("i"), "Data loss: i"},
      {Status(static_cast<error::Code>(17), "x"), "Unknown code(17): x"},
  };
  for (const auto& [status, text] : factories) EXPECT_EQ(status.ToString(), text);
}

TEST(StatusTest, EqualityComparesCodesAndTexts) {
  EXPECT_TRUE(errors::NotFound("x") == errors::NotFound("x"));
  EXPECT_TRUE(Status() != errors::Unknown(""));
  EXPECT_TRUE(errors::NotFound("x") != errors::NotFound("y"));
  EXPECT_TRUE(errors::NotFound("x") != errors::Internal("x"));
  Status assigned = errors::Internal("boom");
  Status& alias = assigned;
  assigned = alias;
  EXPECT_EQ(assigned.ToString(), "Internal: boom");
  assigned = Status();
  EXPECT_TRUE(assigned.ok());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
