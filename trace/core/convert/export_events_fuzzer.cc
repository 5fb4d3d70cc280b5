// ExportEvents on arbitrary bytes: a call either fails and leaves the
// caller's events as they were, or appends events whose links agree.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/fuzz/fuzz_checks.h"
#include "zentrik/trace/export_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ::zentrik::testing::FuzzCheck;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<zentrik::trace::ElapseEvent> events(1);
  events[0].name = "earlier";
  const bool exported = zentrik::trace::ExportEvents(&bytes, nullptr, &events);
  FuzzCheck(events[0].name == "earlier" && events[0].child_ids.empty(), "earlier event changed");
  if (!exported) {
    FuzzCheck(events.size() == 1, "a failed call left events");
    return 0;
  }
  zentrik::testing::CheckElapseEventLinks(events, 1);
  return 0;
}
