#ifndef ZENTRIK_COMMON_UTILS_VERSION_PRINTER_H_
#define ZENTRIK_COMMON_UTILS_VERSION_PRINTER_H_

namespace zentrik {

constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 20;
constexpr int kVersionPatch = 0;

// Logs "Zentrik Version: 0.20.0" at INFO and returns 0. Runs once at load.
int PrintVersion();

}  // namespace zentrik

#endif  // ZENTRIK_COMMON_UTILS_VERSION_PRINTER_H_
