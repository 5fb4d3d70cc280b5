// The names that device events carry into the trace, spelled as stored profiles and the tools
// that read them expect.
#include "trace/core/internal/zra/dravik_event_names.h"

#include <gtest/gtest.h>

#include <string>

namespace zentrik {
namespace trace {
namespace {

TEST(DravikEventNamesTest, NamesEveryKnownValue) {
  const struct {
    const char* row;
    std::string name, expected;
  } rows[] = {
      {"copy 1", MemcpyKindName(1), "H2D"},
      {"copy 2", MemcpyKindName(2), "D2H"},
      {"copy 3", MemcpyKindName(3), "D2D"},
      {"copy 4", MemcpyKindName(4), "H2H"},
      {"copy 5", MemcpyKindName(5), "P2P"},
      {"copy 6", MemcpyKindName(6), "Unknow"},
      {"notifier 0", NotifierKindName(0), "Wait Notifier"},
      {"notifier 1", NotifierKindName(1), "Place Notifier"},
      {"notifier 2", NotifierKindName(2), "Unknown Notifier"},
      {"request 0", AtomicRequestTypeName(0), "Request Atomic Operation"},
      {"request 1", AtomicRequestTypeName(1), "Compare Atomic Operation"},
      {"request 2", AtomicRequestTypeName(2), ""},
      {"request 0 op 2", AtomicOperationName(0, 2), "Atomic Operation[ADD]"},
      {"request 0 op 3", AtomicOperationName(0, 3), "Atomic Operation[SET]"},
      {"request 0 op 4", AtomicOperationName(0, 4), "Atomic Operation[CLEAR]"},
      {"request 1 op 0", AtomicOperationName(1, 0), "Atomic Operation[EQUAL]"},
      {"request 1 op 1", AtomicOperationName(1, 1), "Atomic Operation[LESS_EQUAL]"},
      {"request 1 op 2", AtomicOperationName(1, 2), "Atomic Operation[LESS]"},
      {"request 0 op 0", AtomicOperationName(0, 0), ""},
      {"request 1 op 3", AtomicOperationName(1, 3), ""},
      {"request 2 op 2", AtomicOperationName(2, 2), ""},
      {"overhead 1", OverheadKindName(1), "Buffer Flush"},
      {"overhead 2", OverheadKindName(2), "DRAVIK Internal"},
      {"type kernel", DravikTracerEventTypeName(kKernel), "Kernel"},
      {"type memcpy", DravikTracerEventTypeName(kMemcpy), "Memcpy"},
      {"type peer copy", DravikTracerEventTypeName(kMemcpyPeer), "MemcpyPeer"},
      {"type alloc", DravikTracerEventTypeName(kMemoryAlloc), "MemoryAlloc"},
      {"type memset", DravikTracerEventTypeName(kMemset), "Memset"},
      {"type overhead", DravikTracerEventTypeName(kOverhead), "Overhead"},
      {"type notifier", DravikTracerEventTypeName(kNotifier), "Notifier"},
      {"type atomic", DravikTracerEventTypeName(kAtomicOperation), "AtomicOperation"},
      {"type generic", DravikTracerEventTypeName(kGeneric), "Generic"},
      {"type 9", DravikTracerEventTypeName(9), "Unknown"},
      {"queue 0", QueueDisplayName(0, {}), "Sync task"},
      {"queue 0 with kinds", QueueDisplayName(0, {"Memset", "Compute"}),
       "Sync task(Compute,Memset,)"},
      {"queue 3 with kinds", QueueDisplayName(3, {"MemcpyH2D", "Compute"}),
       "Queue #3(Compute,MemcpyH2D,)"},
      {"queue 3", QueueDisplayName(3, {}), "Queue #3"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.name, row.expected) << row.row;
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
