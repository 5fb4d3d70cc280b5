#include "common/platform/status.h"

#include <gtest/gtest.h>

#include <tuple>

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

// Each factory gives its own code; the message stands after the code's text.
TEST(StatusTest, FactoriesGiveCodeAndText) {
  const std::tuple<Status, error::Code, const char*> cases[] = {
      {Status(), error::OK, "OK"},
      {errors::Unknown("a"), error::UNKNOWN, "Unknown: a"},
      {errors::InvalidArgument("b"), error::INVALID_ARGUMENT, "Invalid argument: b"},
      {errors::NotFound("abc"), error::NOT_FOUND, "Not found: abc"},
      {errors::AlreadyExists("d"), error::ALREADY_EXISTS, "Already exists: d"},
      {errors::FailedPrecondition("e"), error::FAILED_PRECONDITION, "Failed precondition: e"},
      {errors::Aborted("f"), error::ABORTED, "Aborted: f"},
      {errors::Internal("g"), error::INTERNAL, "Internal: g"},
      {errors::Unavailable("h"), error::UNAVAILABLE, "Unavailable: h"},
      {errors::Unknown(""), error::UNKNOWN, "Unknown: "},
  };
  for (const auto& [status, code, text] : cases) {
    EXPECT_EQ(std::make_tuple(status.code(), status.ToString(), status.ok()),
              std::make_tuple(code, std::string(text), code == error::OK));
  }
  EXPECT_EQ(Status().error_message() + "|" + errors::NotFound("abc").error_message(), "|abc");
}

// Equal when both are OK or their texts are; an empty error is not OK.
TEST(StatusTest, EqualityComparesTexts) {
  const std::tuple<Status, Status, bool> cases[] = {
      {Status(), Status(), true},
      {Status(), errors::Unknown(""), false},
      {errors::NotFound("x"), errors::NotFound("x"), true},
      {errors::NotFound("x"), errors::NotFound("y"), false},
      {errors::NotFound("x"), errors::Internal("x"), false},
  };
  for (const auto& [a, b, equal] : cases) {
    EXPECT_EQ(std::make_pair(a == b, a != b), std::make_pair(equal, !equal))
        << a.ToString() << " vs " << b.ToString();
  }
}

TEST(StatusTest, CopiesAreDeepAndSelfAssignmentKeepsTheState) {
  Status original = errors::Internal("boom");
  {
    Status copy(original);
    copy = errors::Aborted("other");
    EXPECT_EQ(copy.ToString(), "Aborted: other");
  }
  EXPECT_EQ(original.ToString(), "Internal: boom");
  Status assigned;
  assigned = original;
  original = Status();
  EXPECT_TRUE(original.ok());
  EXPECT_EQ(assigned.ToString(), "Internal: boom");
  Status& alias = assigned;
  assigned = alias;
  EXPECT_EQ(assigned.ToString(), "Internal: boom");
  assigned = Status();
  EXPECT_EQ(assigned.code(), error::OK);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
