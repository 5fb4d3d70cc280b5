#include "common/platform/status.h"

#include <gtest/gtest.h>

namespace zentrik {
namespace trace {
namespace {

TEST(StatusTest, TextsAndSelfAssignment) {
  EXPECT_EQ(std::string(StatusCodeToString(error::DATA_LOSS)) + "|" +
                StatusCodeToString(static_cast<error::Code>(17)), "Data loss|Unknown code(17)");
  Status status = errors::FailedPrecondition("e");
  Status& alias = status;
  status = alias;  // assigning itself keeps the text
  EXPECT_EQ(status.ToString() + "|" + Status().ToString(), "Failed precondition: e|OK");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
