#include "common/platform/status.h"

#include <gtest/gtest.h>

namespace zentrik {
namespace trace {
namespace {

// Every code's text stands in status messages and log lines.
TEST(StatusTest, EveryCodeHasItsText) {
  const char* const texts[] = {"OK",
                               "Cancelled",
                               "Unknown",
                               "Invalid argument",
                               "Deadline exceeded",
                               "Not found",
                               "Already exists",
                               "Permission denied",
                               "Resource exhausted",
                               "Failed precondition",
                               "Aborted",
                               "Out of range",
                               "Unimplemented",
                               "Internal",
                               "Unavailable",
                               "Data loss",
                               "Unauthenticated"};
  for (int code = 0; code <= 16; ++code) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code)), texts[code]);
  }
  EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(99)), "Unknown code(99)");
  EXPECT_EQ(errors::DataLoss("gone").ToString(), "Data loss: gone");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
