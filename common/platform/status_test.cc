#include "common/platform/status.h"

#include <gtest/gtest.h>

namespace zentrik {
namespace trace {
namespace {

TEST(StatusTest, TextsOfEveryCode) {
  const char* const texts[] = {
      "OK",          "Cancelled",     "Unknown",  "Invalid argument", "Deadline exceeded",
      "Not found",   "Already exists", "Permission denied", "Resource exhausted",
      "Failed precondition", "Aborted", "Out of range", "Unimplemented", "Internal",
      "Unavailable", "Data loss",     "Unauthenticated", "Unknown code(17)", "Unknown code(-1)"};
  for (int code = 0; code <= 18; ++code) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code == 18 ? -1 : code)), texts[code]);
  }
  Status status = errors::FailedPrecondition("e");
  Status& alias = status;
  status = alias;  // assigning itself keeps the text
  EXPECT_EQ(status.ToString() + "|" + Status().ToString(), "Failed precondition: e|OK");
  EXPECT_TRUE(status != errors::FailedPrecondition("f") && status != errors::Internal("e"));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
