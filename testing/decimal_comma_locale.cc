#include "testing/decimal_comma_locale.h"

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "testing/temp_dir.h"

namespace zentrik {
namespace testing {

constexpr char kLocale[] = "de_DE.UTF-8";

std::optional<ChildResult> RunScenarioWithDecimalCommaLocale(const std::string& name) {
  TempDir dir;
  const std::string target = dir.path() + "/" + kLocale;
  // localedef may exit non-zero on harmless warnings: what counts is whether
  // the numeric category was written.
  for (const char* localedef : {"/usr/bin/localedef", "/bin/localedef"}) {
    if (access(localedef, X_OK) != 0) continue;
    RunChild({localedef, "-i", "de_DE", "-f", "UTF-8", target});
    break;
  }
  struct stat info;
  if (stat((target + "/LC_NUMERIC").c_str(), &info) != 0) return std::nullopt;
  return RunScenario(name, {{"LOCPATH", dir.path()}, {"LC_ALL", std::nullopt}});
}

bool UseDecimalCommaLocale() {
  char text[16];
  if (setlocale(LC_ALL, kLocale) == nullptr) return false;
  snprintf(text, sizeof(text), "%.1f", 0.5);
  return strcmp(text, "0,5") == 0;
}

}  // namespace testing
}  // namespace zentrik
