#include "common/utils/number_format.h"

#include <gtest/gtest.h>

#include <cinttypes>
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

// What the C library prints in the current (C) locale, for comparison.
std::string Printf(const char* format, double value) {
  std::vector<char> buffer(512);
  snprintf(buffer.data(), buffer.size(), format, value);
  return buffer.data();
}

TEST(NumberFormatTest, DocumentedExamplesAndNan) {
  // Printf writes "-nan" for a NaN with its sign bit set; the trace files hold "nan".
  EXPECT_EQ(FormatGeneral(2600000 / 1e6, 17), "2.6000000000000001");
  EXPECT_EQ(FormatFixed(0.123456 * 100, 2), "12.35");
  EXPECT_EQ(FormatFixed(-std::numeric_limits<double>::infinity(), 6), "-inf");
  const double quiet = std::numeric_limits<double>::quiet_NaN();
  for (const double nan : {quiet, std::copysign(quiet, -1.0)}) {
    EXPECT_EQ(FormatFixed(nan, 2), "nan");
    EXPECT_EQ(FormatGeneral(nan, 17), "nan");
  }
}

TEST(NumberFormatTest, AgreesWithPrintfInTheCLocaleOverManyValues) {
  std::mt19937_64 random(12345);
  // Among them values whose digits round up into the next power of ten.
  std::vector<double> values = {0.0,  -0.0, 0.005, 0.015, 0.125, 2.5, 1e-320, 9.5, 99.95,
                                0.000999999999999999999, 999999999999999.99, 9.9999e-5,
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::max(), 18446744073709551616.0};
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double value;
    memcpy(&value, &bits, sizeof(value));
    if (std::isnan(value)) continue;
    values.push_back(value);
    values.push_back(static_cast<double>(random() % 100000000000u) / 1e6);
    values.push_back(static_cast<double>(random() % 100000) / 1000.0);
    // Exact halves and integers, where the rounding of the last digit decides.
    values.push_back(static_cast<double>(random() % 100000000) / 1024.0);
    values.push_back(static_cast<double>(random() % 100000000000000000u));
  }
  for (const double value : values) {
    ASSERT_EQ(FormatFixed(value, 2), Printf("%.2f", value)) << value;
    ASSERT_EQ(FormatFixed(value, 6), Printf("%f", value)) << value;
    ASSERT_EQ(FormatGeneral(value, 17), Printf("%.17g", value)) << value;
  }
  for (const double value : values) {
    for (const int precision : {1, 2, 3, 6, 9, 15, 16, 18}) {
      const std::string format = "%." + std::to_string(precision) + "g";
      ASSERT_EQ(FormatGeneral(value, precision), Printf(format.c_str(), value))
          << value << " " << format;
    }
  }
}

TEST(NumberFormatTest, IntegersAndAppending) {
  EXPECT_EQ(FormatUnsigned(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(FormatSigned(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  std::string text = "ts:";
  AppendGeneral(2.6, 17, &text);
  text += ",pid:";
  AppendUnsigned(501, &text);
  text += ",v:";
  AppendFixed(0.5, 2, &text);
  text += ",n:";
  AppendSigned(-7, &text);
  EXPECT_EQ(text, "ts:2.6000000000000001,pid:501,v:0.50,n:-7");
}

ZENTRIK_CHILD_SCENARIO(NumbersUnderDecimalCommaLocale) {
  if (!testing::UseDecimalCommaLocale()) return 2;
  const std::string text = FormatFixed(0.5, 2) + " " + FormatFixed(1234.5, 6) + " " +
                           FormatGeneral(2.6, 17) + " " + FormatUnsigned(1234567);
  printf("%s\n", text.c_str());
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
