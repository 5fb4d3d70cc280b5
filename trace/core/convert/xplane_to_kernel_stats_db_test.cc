#include "trace/core/convert/xplane_to_kernel_stats_db.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "testing/plane_events.h"
#include "trace/core/utils/pmu_utils.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::AddPlaneEvent;

struct Kernel {
  std::string display_name;
  std::string op_fullname;  // empty: none
  int64_t duration_ps;
  bool kernel_details = true;
};

XEventBuilder AddKernel(XPlaneBuilder& plane, int64_t line_id, const Kernel& kernel) {
  std::vector<std::pair<std::string, testing::StatValue>> stats;
  if (kernel.kernel_details) stats.emplace_back("kernel_details", std::string("regs:32"));
  if (!kernel.op_fullname.empty()) stats.emplace_back("op_fullname", kernel.op_fullname);
  XEventBuilder event =
      AddPlaneEvent(plane, line_id, "kernel#" + kernel.display_name, 0, kernel.duration_ps, stats);
  plane.GetOrCreateEventMetadata("kernel#" + kernel.display_name)
      ->set_display_name(kernel.display_name);
  return event;
}

// (name, op name, total, min, max, occurrences) of each report in order.
using Row = std::tuple<std::string, std::string, uint64_t, uint64_t, uint64_t, uint32_t>;

std::vector<Row> Rows(const KernelStatsDb& db) {
  std::vector<Row> rows;
  for (const KernelReport& r : db.reports()) {
    rows.emplace_back(r.name(), r.op_name(), r.total_duration_ns(), r.min_duration_ns(),
                      r.max_duration_ns(), r.occurrences());
  }
  return rows;
}

// Reports sum kernels by name and op name over planes, in whole
// nanoseconds, and average their counters per occurrence.
TEST(KernelReportsTest, SumsKernelsByNameAndOpName) {
  XSpace space;
  XPlaneBuilder device0(space.add_planes());
  XPlaneBuilder device1(space.add_planes());
  PmuData first;
  first.set_lt_cycles(10);
  first.set_field14(3);
  first.set_mac_ops(kPmuNoValue);
  PmuData second;
  second.set_lt_cycles(20);
  second.set_field14(1);
  DeviceInfo facts;
  facts.set_frequency(1000);
  AddKernel(device0, 1, {"gemm", "mm:MatMul", 3000}).SetPmuData(first);
  XEventBuilder later = AddKernel(device1, 1, {"gemm", "mm:MatMul", 1500});
  later.SetPmuData(second);
  later.SetDeviceInfo(facts);
  AddKernel(device0, 2, {"gemm", "mm2:MatMul", 1999});
  AddKernel(device0, 2, {"short", "mm:MatMul", 999});         // under 1 ns
  AddKernel(device0, 2, {"neg", "mm:MatMul", -5000});         // broken duration
  AddKernel(device0, 2, {"copy", "mm:MatMul", 9000, false});  // no kernel_details
  AddKernel(device0, kDerivedLineId, {"step", "mm:MatMul", 9000});
  AddKernel(device0, 3, {"b", "", 4500});
  AddKernel(device0, 3, {"a", "z:Z", 4500});
  AddKernel(device0, 3, {"a", "y", 4500});

  KernelReportMap reports;
  ConvertDeviceTraceXPlaneToKernelReports(device0.plane(), &reports);
  ConvertDeviceTraceXPlaneToKernelReports(device1.plane(), &reports);
  KernelStatsDb db;
  CopyKernelReportsToDb(reports, &db);
  const std::vector<Row> want = {
      {"a", "y", 4, 4, 4, 1},     {"a", "z", 4, 4, 4, 1},      {"b", "", 4, 4, 4, 1},
      {"gemm", "mm", 4, 1, 3, 2}, {"gemm", "mm2", 1, 1, 1, 1},
  };
  EXPECT_EQ(Rows(db), want);
  const PmuInfo& pmu = db.reports(3).pmu_info();
  ASSERT_TRUE(pmu.has_ave_pmu_data());
  EXPECT_EQ(
      std::make_tuple(pmu.ave_pmu_data().lt_cycles(), pmu.ave_pmu_data().field14(),
                      pmu.ave_pmu_data().mac_ops(), pmu.device_info().frequency(), pmu.count()),
      std::make_tuple(15.0, 2.0, kPmuNoValueDouble, 1000u, uint64_t{1}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
