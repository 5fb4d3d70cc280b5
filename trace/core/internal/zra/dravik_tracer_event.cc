#include "trace/core/internal/zra/dravik_tracer_event.h"

#include <cstring>

namespace zentrik {
namespace trace {

static_assert(sizeof(OverheadFields) >= sizeof(KernelFields) &&
                  sizeof(OverheadFields) >= sizeof(MemcpyFields) &&
                  sizeof(OverheadFields) >= sizeof(MemsetFields) &&
                  sizeof(OverheadFields) >= sizeof(MemcpyPeerFields) &&
                  sizeof(OverheadFields) >= sizeof(NotifierFields) &&
                  sizeof(OverheadFields) >= sizeof(AtomicOperationFields),
              "zeroing the overhead group zeroes the whole shared storage");

int KernelPmuCounters::SlotOfCounterName(const char* name) {
  if (name == nullptr || *name == '\0') return -1;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (kKernelPmuCounterNames[slot] == name) return slot;
  }
  return -1;
}

std::unique_ptr<DravikTracerEvent> NewDravikTracerEvent(DravikTracerEventType type,
                                                        DravikTracerEventSource source) {
  auto event = std::make_unique<DravikTracerEvent>();
  event->type = type;
  event->source = source;
  return event;
}

}  // namespace trace
}  // namespace zentrik
