#include "common/utils/version_printer.h"

#include "common/platform/logging.h"

namespace zentrik {

int PrintVersion() {
  LOG(INFO) << "Zentrik Version: " << kVersionMajor << "." << kVersionMinor << "."
            << kVersionPatch;
  return 0;
}

namespace {
// The banner is logged once per load, before any entry point can run.
[[maybe_unused]] const int InitVersionPrinter = PrintVersion();
}  // namespace

}  // namespace zentrik
