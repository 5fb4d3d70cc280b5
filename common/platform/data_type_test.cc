#include "zentrik/data_type.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace {

TEST(DataTypeTest, NamesWarningAndOutOfRange) {
  const char* const names[] = {
      "invalid", "float",  "double", "int32",  "uint8",    "int16",  "int8",
      "string",  "complex64", "int64", "bool", "qint8",    "quint8", "qint32",
      "bfloat16", "qint16", "quint16", "uint16", "complex128", "half", "resource",
      "variant", "uint32", "uint64", "int4",   "uint4",    "tf32",   "int31",
      "qint31",  "qint4"};
  static_assert(sizeof(names) / sizeof(names[0]) == COUNT);
  testing::StderrCapture capture;
  for (int value = 0; value < COUNT; ++value) {
    EXPECT_STREQ(GetDataTypeStr(static_cast<DataType>(value)), names[value]);
  }
  EXPECT_STREQ(GetDataTypeStr(COUNT), "invalid");
  EXPECT_STREQ(GetDataTypeStr(COUNT), "invalid");
  // One warning per call for COUNT, nothing for the others.
  const std::string text = capture.Stop();
  const std::regex warning(
      ": WARNING:  common/platform/data_type:[0-9]+\\] DataType::COUNT not a validate data type, "
      "treat as DataType::INVALID\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), warning),
                          std::sregex_iterator()),
            2)
      << text;
  for (const int value : {31, -1}) {
    EXPECT_THROW(GetDataTypeStr(static_cast<DataType>(value)), std::out_of_range) << value;
  }
}

}  // namespace
}  // namespace zentrik
