#include "common/utils/number_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "testing/child_process.h"
#include "testing/decimal_comma_locale.h"

namespace zentrik {
namespace trace {
namespace {

// What the C library prints in the current (C) locale.
std::string Printf(const std::string& format, double value) {
  char buffer[512];
  snprintf(buffer, sizeof(buffer), format.c_str(), value);
  return buffer;
}

TEST(NumberFormatTest, AgreesWithPrintfInTheCLocaleOverManyValues) {
  std::mt19937_64 random(12345);
  // Among them values whose digits round up into the next power of ten.
  std::vector<double> values = {-0.0, 0.015, 1e-320, 99.95, 0.000999999999999999999,
                                999999999999999.99, std::numeric_limits<double>::max()};
  for (int i = 0; i < 5000; ++i) {
    uint64_t bits = random();
    double value;
    memcpy(&value, &bits, sizeof(value));
    if (!std::isnan(value)) values.push_back(value);
    // Exact halves, where the rounding of the last digit decides.
    values.push_back(static_cast<double>(random() % 100000000) / 1024.0);
  }
  for (const double value : values) {
    ASSERT_EQ(FormatFixed(value, 2), Printf("%.2f", value)) << value;
    ASSERT_EQ(FormatFixed(value, 6), Printf("%f", value)) << value;
    for (const int precision : {1, 2, 3, 6, 9, 15, 16, 17, 18}) {
      ASSERT_EQ(FormatGeneral(value, precision), Printf("%." + std::to_string(precision) + "g", value))
          << value << " " << precision;
    }
  }
}

TEST(NumberFormatTest, IntegersAppendingAndNan) {
  std::string text = FormatSigned(std::numeric_limits<int64_t>::min());
  // Printf writes "-nan" for a NaN with its sign bit set; the trace files hold "nan".
  const double nan = std::copysign(std::numeric_limits<double>::quiet_NaN(), -1.0);
  EXPECT_EQ(text + " " + FormatFixed(nan, 2) + FormatGeneral(nan, 17),
            "-9223372036854775808 nannan");
}

ZENTRIK_CHILD_SCENARIO(NumbersUnderDecimalCommaLocale) {
  if (!testing::UseDecimalCommaLocale()) return 2;
  printf("%s %s %s %s\n", FormatFixed(0.5, 2).c_str(), FormatFixed(1234.5, 6).c_str(),
         FormatGeneral(2.6, 17).c_str(), FormatUnsigned(1234567).c_str());
  return 0;
}

TEST(NumberFormatTest, TextDoesNotDependOnTheLocale) {
  const auto child = testing::RunScenarioWithDecimalCommaLocale("NumbersUnderDecimalCommaLocale");
  if (!child) GTEST_SKIP() << "localedef or the de_DE locale sources are missing";
  ASSERT_EQ(child->exit_code, 0) << child->err;
  EXPECT_EQ(child->out, "0.50 1234.500000 2.6000000000000001 1234567\n");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
