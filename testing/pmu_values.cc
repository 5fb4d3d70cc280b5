#include "testing/pmu_values.h"

namespace zentrik {
namespace testing {

namespace {

// PmuData and AvePmuData share their field names.
template <typename Value, typename Message>
std::vector<Value> Counters(const Message& d) {
  return {
      d.io_dma_write_bytes(), d.io_dma_read_bytes(), d.tlb_write_access(),  d.tlb_read_access(),
      d.tlb_write_miss(),     d.tlb_read_miss(),     d.lt_cycles(),         d.ct_cycles(),
      d.alu_cycles(),         d.csimd_pre_cycles(),  d.csimd_post_cycles(), d.dram_read_cycles(),
      d.dram_write_cycles(),  d.field14(),           d.mac_ops(),           d.vector_ops()};
}

}  // namespace

std::vector<uint64_t> CounterValues(const trace::PmuData& d) { return Counters<uint64_t>(d); }

std::vector<double> CounterValues(const trace::AvePmuData& d) { return Counters<double>(d); }

std::vector<double> FigureValues(const trace::PmuUtil& u) {
  return {u.total_cycles_estimated(),
          u.lt_utilization(),
          u.ct_utilization(),
          u.alu_utilization(),
          u.csimd_pre_utilization(),
          u.csimd_post_utilization(),
          u.dram_working_read_utilization(),
          u.dram_working_write_utilization(),
          u.read_bandwidth_utilization(),
          u.write_bandwidth_utilization(),
          u.mac_utilization(),
          u.compute_efficiency(),
          u.io_efficiency(),
          u.vec_utilization()};
}

std::vector<double> DeviceInfoValues(const trace::DeviceInfo& d) {
  return {static_cast<double>(d.zra_type()),
          static_cast<double>(d.frequency()),
          static_cast<double>(d.core_count()),
          d.top_bandwidth(),
          d.mac_peak_performance(),
          static_cast<double>(d.core_used()),
          d.peak_performance()};
}

trace::PmuData SequencePmuData(uint64_t first) {
  trace::PmuData data;
  data.set_io_dma_write_bytes(first);
  data.set_io_dma_read_bytes(first + 1);
  data.set_tlb_write_access(first + 2);
  data.set_tlb_read_access(first + 3);
  data.set_tlb_write_miss(first + 4);
  data.set_tlb_read_miss(first + 5);
  data.set_lt_cycles(first + 6);
  data.set_ct_cycles(first + 7);
  data.set_alu_cycles(first + 8);
  data.set_csimd_pre_cycles(first + 9);
  data.set_csimd_post_cycles(first + 10);
  data.set_dram_read_cycles(first + 11);
  data.set_dram_write_cycles(first + 12);
  data.set_field14(first + 13);
  data.set_mac_ops(first + 14);
  data.set_vector_ops(first + 15);
  return data;
}

trace::DeviceInfo MakeDeviceInfo(int32_t zra_type, uint64_t frequency, uint64_t core_count,
                                 uint64_t core_used, double top_bandwidth,
                                 double mac_peak_performance, double peak_performance) {
  trace::DeviceInfo device;
  device.set_zra_type(static_cast<trace::ZraType>(zra_type));
  device.set_frequency(frequency);
  device.set_core_count(core_count);
  device.set_top_bandwidth(top_bandwidth);
  device.set_mac_peak_performance(mac_peak_performance);
  device.set_core_used(core_used);
  device.set_peak_performance(peak_performance);
  return device;
}

}  // namespace testing
}  // namespace zentrik
