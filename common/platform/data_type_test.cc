#include "zentrik/data_type.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "testing/stderr_capture.h"

namespace zentrik {
namespace {

// COUNT reads as "invalid" with one warning per call; values outside the
// enum throw, which callers turn into errors.
TEST(DataTypeTest, NamesWarningAndOutOfRange) {
  testing::StderrCapture capture;
  EXPECT_EQ(std::string(GetDataTypeStr(FLOAT)) + GetDataTypeStr(QINT4) + GetDataTypeStr(COUNT) +
                GetDataTypeStr(COUNT),
            "floatqint4invalidinvalid");
  const std::string text = capture.Stop();
  const std::regex warning(
      ": WARNING:  common/platform/data_type:[0-9]+\\] DataType::COUNT not a validate data type, "
      "treat as DataType::INVALID\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), warning),
                          std::sregex_iterator()), 2) << text;
  for (const int value : {31, -1}) {
    EXPECT_THROW(GetDataTypeStr(static_cast<DataType>(value)), std::out_of_range) << value;
  }
}

}  // namespace
}  // namespace zentrik
