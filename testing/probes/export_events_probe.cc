// Calls ExportEvents through libzentrik.so and the public header alone, as a
// caller would: proves the entry point leaves the library and works there.
#include <cstdio>
#include <string>
#include <vector>

#include "zentrik/trace/export_events.h"

int main() {
  // XSpace { planes { name: "/host:CPU" lines { id: 7 events { metadata_id: 1
  // offset_ps: 1000 duration_ps: 5000 } } event_metadata { 1: { id: 1 name: "a:b" } } } }
  const std::string bytes(
      "\x0a\x26"
      "\x12\x09/host:CPU"
      "\x1a\x0c\x08\x07\x22\x08\x08\x01\x10\xe8\x07\x18\x88\x27"
      "\x22\x0b\x08\x01\x12\x07\x08\x01\x12\x03"
      "a:b",
      40);
  std::vector<zentrik::trace::ElapseEvent> events;
  if (!zentrik::trace::ExportEvents(&bytes, nullptr, &events)) return 1;
  if (zentrik::trace::ExportEvents(nullptr, nullptr, &events)) return 1;
  if (events.size() != 1) return 1;
  const zentrik::trace::ElapseEvent& event = events[0];
  std::printf("%s %s %lld-%lld line %lld\n", event.name.c_str(), event.short_name.c_str(),
              static_cast<long long>(event.start_ns), static_cast<long long>(event.end_ns),
              static_cast<long long>(event.line_id));
  return event.name == "a:b" && event.short_name == "qx_runtime" && event.start_ns == 1 &&
                 event.end_ns == 6 && event.line_id == 7
             ? 0
             : 1;
}
