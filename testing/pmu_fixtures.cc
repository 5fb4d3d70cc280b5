#include "testing/pmu_fixtures.h"

#include <cstdint>
#include <cstdio>

namespace zentrik {
namespace testing {

trace::PmuData AllUnknownPmuData() {
  constexpr uint64_t kNoValue = ~uint64_t{0};
  trace::PmuData pmu;
  pmu.set_io_dma_write_bytes(kNoValue);
  pmu.set_io_dma_read_bytes(kNoValue);
  pmu.set_tlb_write_access(kNoValue);
  pmu.set_tlb_read_access(kNoValue);
  pmu.set_tlb_write_miss(kNoValue);
  pmu.set_tlb_read_miss(kNoValue);
  pmu.set_lt_cycles(kNoValue);
  pmu.set_ct_cycles(kNoValue);
  pmu.set_alu_cycles(kNoValue);
  pmu.set_csimd_pre_cycles(kNoValue);
  pmu.set_csimd_post_cycles(kNoValue);
  pmu.set_dram_read_cycles(kNoValue);
  pmu.set_dram_write_cycles(kNoValue);
  pmu.set_field14(kNoValue);
  pmu.set_mac_ops(kNoValue);
  pmu.set_vector_ops(kNoValue);
  return pmu;
}

std::string AllUnknownPmuDataHex() {
  // Fields 1 to 15 take a one-byte tag, field 16 a two-byte one; every value
  // is the ten-byte varint of all ones.
  const std::string value = " ff ff ff ff ff ff ff ff ff 01";
  std::string hex;
  char tag[3];
  for (int field = 1; field <= 15; ++field) {
    std::snprintf(tag, sizeof(tag), "%02x", field << 3);
    hex += tag + value + " ";
  }
  return hex + "80 01" + value;
}

}  // namespace testing
}  // namespace zentrik
