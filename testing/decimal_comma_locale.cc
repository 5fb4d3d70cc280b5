#include "testing/decimal_comma_locale.h"

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "testing/temp_dir.h"

namespace zentrik {
namespace testing {
namespace {

constexpr char kLocale[] = "de_DE.UTF-8";

// The full path of `program` on PATH, or empty.
std::string FindOnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Compiles the locale into `dir`; false when it could not.
bool BuildLocale(const std::string& dir) {
  const std::string localedef = FindOnPath("localedef");
  if (localedef.empty()) return false;
  const std::string target = dir + "/" + kLocale;
  // localedef may exit non-zero on harmless warnings; what counts is whether
  // the numeric category was written.
  RunChild({localedef, "-i", "de_DE", "-f", "UTF-8", target});
  struct stat info;
  return stat((target + "/LC_NUMERIC").c_str(), &info) == 0;
}

}  // namespace

std::optional<ChildResult> RunScenarioWithDecimalCommaLocale(const std::string& name) {
  TempDir dir;
  if (!BuildLocale(dir.path())) return std::nullopt;
  return RunScenario(name, {{"LOCPATH", dir.path()}, {"LC_ALL", std::nullopt}});
}

bool UseDecimalCommaLocale() {
  if (setlocale(LC_ALL, kLocale) == nullptr) return false;
  char text[16];
  snprintf(text, sizeof(text), "%.1f", 0.5);
  return strcmp(text, "0,5") == 0;
}

}  // namespace testing
}  // namespace zentrik
