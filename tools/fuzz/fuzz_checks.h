#ifndef ZENTRIK_TOOLS_FUZZ_FUZZ_CHECKS_H_
#define ZENTRIK_TOOLS_FUZZ_FUZZ_CHECKS_H_

// What the fuzz targets check of the library's outputs. A failed check prints
// what failed and aborts, which the fuzzer reports as a crash.

#include <cstddef>
#include <string>
#include <vector>

#include "zentrik/trace/export_events.h"

namespace zentrik {
namespace testing {

// Aborts with `what` unless `ok`.
void FuzzCheck(bool ok, const std::string& what);

// Every link among `events` from `first` on agrees both ways: a parent lists
// the child, a child names the parent, all within those events.
void CheckElapseEventLinks(const std::vector<trace::ElapseEvent>& events, size_t first);

// A gzip file holding one strictly valid JSON text; a missing file passes.
void CheckGzippedJsonFile(const std::string& path);

// Every record of an event file frames its data with the right length and
// checksums, and each holds an Event with a GraphDef.
void CheckEventFile(const std::string& path);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TOOLS_FUZZ_FUZZ_CHECKS_H_
