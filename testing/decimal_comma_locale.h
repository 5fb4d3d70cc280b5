#ifndef ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_
#define ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_

#include <optional>
#include <string>

#include "testing/child_process.h"

namespace zentrik {
namespace testing {

// Runs the scenario `name` (ZENTRIK_CHILD_SCENARIO) in a child that can select
// a locale with a decimal comma, compiled by localedef into a temporary
// LOCPATH. Empty when localedef or the locale sources are missing.
std::optional<ChildResult> RunScenarioWithDecimalCommaLocale(const std::string& name);

// In such a child: selects that locale and checks that printf now writes a
// decimal comma; false when it could not.
bool UseDecimalCommaLocale();

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_DECIMAL_COMMA_LOCALE_H_
