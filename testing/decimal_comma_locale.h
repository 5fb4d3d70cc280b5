#ifndef ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_
#define ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_

#include <string>

namespace zentrik {
namespace testing {

// The name of the locale that BuildDecimalCommaLocale compiles.
inline constexpr char kDecimalCommaLocale[] = "de_DE.UTF-8";

// Compiles a locale whose decimal separator is a comma into `dir` with
// localedef. A child run with LOCPATH=dir can then select it with
// setlocale(LC_ALL, kDecimalCommaLocale). Returns false when localedef or the
// locale sources are missing (tests skip then).
bool BuildDecimalCommaLocale(const std::string& dir);

// In the current process: selects kDecimalCommaLocale for every category and
// checks that printf now writes a decimal comma. False when it could not.
bool UseDecimalCommaLocale();

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_
