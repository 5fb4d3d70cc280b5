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

}  // namespace
}  // namespace zentrik
