#include "trace/core/internal/zra/dravik_event_names.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kNo = kDravikNoValue64;

// Each table's fallback for values it does not know, and the kernel and queue names.
TEST(DravikEventNamesTest, NamesUnknownValuesKernelsAndQueues) {
  const std::pair<std::string, std::string> rows[] = {
      {MemcpyKindName(0), "Unknow"},
      {DravikTracerEventTypeName(9), "Unknown"},
      {NotifierKindName(-3), "Unknown Notifier"},
      {AtomicRequestTypeName(2), ""},
      {OverheadKindName(0), "DRAVIK Unknown"},
      {AtomicOperationName(1, 3), ""},
      {AtomicOperationName(~0u, 2), ""},  // the pair is matched whole: no aliasing
      {KernelShortName("gemm(float*, int)"), "gemm"},
      {KernelShortName("(x)"), ""},
      {KernelShortName(""), "unknown kernel"},
      {QueueDisplayName(0, {"b", "a"}), "Sync task(a,b,)"},
      {QueueDisplayName(7, {"x"}), "Queue #7(x,)"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(DravikEventNamesTest, FillsPmuDataAndDeviceInfo) {
  KernelPmuCounters pmu;
  pmu.valid = true;
  for (int i = 0; i < KernelPmuCounters::kSlots; ++i) pmu.counters[i] = 100 + i;
  KernelPmuCounters core_missing = pmu;
  core_missing.counters[0] = core_missing.counters[1] = kNo;
  KernelPmuCounters memcore_missing = pmu;
  memcore_missing.counters[13] = memcore_missing.counters[14] = kNo;
  // A byte counter is core + memcore; a missing part must not wrap the sum.
  const struct {
    const KernelPmuCounters& pmu;
    uint64_t write_bytes, read_bytes;
  } cases[] = {{pmu, 213, 215}, {core_missing, 113, 114}, {memcore_missing, 100, 101},
               {KernelPmuCounters{}, kNo, kNo}};
  for (const auto& c : cases) {
    XEvent event;
    event.mutable_pmu_data()->set_vector_ops(7);
    XEventBuilder builder(nullptr, nullptr, &event);
    FillPmuData(&builder, c.pmu);
    const PmuData& d = event.pmu_data();
    EXPECT_EQ(event.pmu_data_flag(), c.pmu.valid) << c.write_bytes;
    EXPECT_EQ(d.io_dma_write_bytes(), c.write_bytes);
    EXPECT_EQ(d.io_dma_read_bytes(), c.read_bytes);
    const uint64_t* s = c.pmu.counters;
    const uint64_t got[] = {d.tlb_write_access(), d.tlb_read_access(), d.tlb_write_miss(),
                            d.tlb_read_miss(), d.lt_cycles(), d.ct_cycles(), d.alu_cycles(),
                            d.csimd_pre_cycles(), d.csimd_post_cycles(), d.dram_read_cycles(),
                            d.dram_write_cycles(), d.field14(), d.mac_ops(), d.vector_ops()};
    const uint64_t want[] = {s[2], s[3], s[4], s[5], s[6], s[9], s[7],
                             s[8], s[9], s[10], s[11], s[12], kNo, 7};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "field #" << i;
  }
  XEvent event;
  event.mutable_device_info()->set_peak_performance(2.5);
  XEventBuilder builder(nullptr, nullptr, &event);
  FillDeviceInfo(&builder, DeviceAttributes{kDravikNoId32, 0xFFFFFFF0u, 8, 4, 3.25});
  DeviceInfo info;  // fields 5 and 7 untouched; no sign extension
  info.set_zra_type(UnknownZraType);
  info.set_frequency(0xFFFFFFF0u);
  info.set_core_count(8);
  info.set_top_bandwidth(3.25);
  info.set_core_used(4);
  info.set_peak_performance(2.5);
  EXPECT_EQ(event.device_info().SerializeAsString(), info.SerializeAsString());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
