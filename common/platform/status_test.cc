#include "common/platform/status.h"

#include <gtest/gtest.h>

namespace zentrik {
namespace trace {
namespace {

TEST(StatusTest, FactoriesGiveCodeAndText) {
  const struct {
    Status status;
    error::Code code;
    const char* text;
  } cases[] = {
      {Status(), error::OK, "OK"},
      {errors::Unknown("a"), error::UNKNOWN, "Unknown: a"},
      {errors::InvalidArgument("b"), error::INVALID_ARGUMENT, "Invalid argument: b"},
      {errors::NotFound("abc"), error::NOT_FOUND, "Not found: abc"},
      {errors::AlreadyExists("d"), error::ALREADY_EXISTS, "Already exists: d"},
      {errors::FailedPrecondition("e"), error::FAILED_PRECONDITION, "Failed precondition: e"},
      {errors::Aborted("f"), error::ABORTED, "Aborted: f"},
      {errors::Internal("g"), error::INTERNAL, "Internal: g"},
      {errors::Unavailable("h"), error::UNAVAILABLE, "Unavailable: h"},
      {errors::DataLoss("i"), error::DATA_LOSS, "Data loss: i"},
      {errors::Unknown(""), error::UNKNOWN, "Unknown: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.code(), c.code) << c.text;
    EXPECT_EQ(c.status.ToString(), c.text);
    EXPECT_EQ(c.status.ok(), c.code == error::OK) << c.text;
  }
  EXPECT_EQ(Status().error_message(), "");
  EXPECT_EQ(errors::NotFound("abc").error_message(), "abc");
}

TEST(StatusTest, CodeTextsCoverTheTableAndUnknownValues) {
  const char* const texts[] = {
      "OK",           "Cancelled",         "Unknown",        "Invalid argument",
      "Deadline exceeded", "Not found",    "Already exists", "Permission denied",
      "Resource exhausted", "Failed precondition", "Aborted", "Out of range",
      "Unimplemented", "Internal",         "Unavailable",    "Data loss",
      "Unauthenticated"};
  for (int code = 0; code <= 16; ++code) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code)), texts[code]);
  }
  for (const int code : {17, 19, 20, -1, 2147483647}) {
    EXPECT_EQ(StatusCodeToString(static_cast<error::Code>(code)),
              "Unknown code(" + std::to_string(code) + ")");
  }
  EXPECT_EQ(Status(static_cast<error::Code>(17), "x").ToString(), "Unknown code(17): x");
}

TEST(StatusTest, EqualityComparesTexts) {
  const struct {
    Status a, b;
    bool equal;
  } cases[] = {
      {Status(), Status(), true},
      {Status(), errors::Unknown(""), false},
      {errors::NotFound("x"), errors::NotFound("x"), true},
      {errors::NotFound("x"), errors::NotFound("y"), false},
      {errors::NotFound("x"), errors::Internal("x"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.ToString() << " vs " << c.b.ToString();
    EXPECT_EQ(c.a != c.b, !c.equal);
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
  EXPECT_TRUE(assigned.ok());
  EXPECT_EQ(assigned.code(), error::OK);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
