#include "zentrik/data_type.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace {

// COUNT reads as "invalid" with a warning; values outside the enum throw.
TEST(DataTypeTest, NamesWarningAndOutOfRange) {
  testing::StderrCapture capture;
  EXPECT_EQ(std::string(GetDataTypeStr(QINT4)) + GetDataTypeStr(COUNT), "qint4invalid");
  EXPECT_THAT(capture.Stop(),
              ::testing::ContainsRegex(": WARNING:  common/platform/data_type:[0-9]+\\] "
                                       "DataType::COUNT not a validate data type, treat as "
                                       "DataType::INVALID\n"));
  EXPECT_THROW(GetDataTypeStr(static_cast<DataType>(31)), std::out_of_range);
}

// The names are what tool output and graph attributes show, one per value.
TEST(DataTypeTest, EveryTypeHasItsLowerCaseName) {
  const char* const names[] = {"invalid",    "float",  "double",    "int32",   "uint8",   "int16",
                               "int8",       "string", "complex64", "int64",   "bool",    "qint8",
                               "quint8",     "qint32", "bfloat16",  "qint16",  "quint16", "uint16",
                               "complex128", "half",   "resource",  "variant", "uint32",  "uint64",
                               "int4",       "uint4",  "tf32",      "int31",   "qint31",  "qint4"};
  static_assert(sizeof(names) / sizeof(names[0]) == COUNT);
  testing::StderrCapture capture;
  for (int value = 0; value < COUNT; ++value) {
    EXPECT_STREQ(GetDataTypeStr(static_cast<DataType>(value)), names[value]) << value;
  }
  EXPECT_EQ(capture.Stop(), "");
}

}  // namespace
}  // namespace zentrik
