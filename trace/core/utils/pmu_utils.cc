#include "trace/core/utils/pmu_utils.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// Reads and writes one field of a message. Plain function pointers: calls
// through member-function pointers trip GCC's bounds sanitizer.
template <typename Message, typename Value>
struct Field {
  Value (*get)(const Message&);
  void (*set)(Message*, Value);
};

#define ZENTRIK_FIELD(Message, name)                                               \
  Field<Message, decltype(Message().name())> {                                     \
    [](const Message& m) { return m.name(); },                                     \
        [](Message* m, decltype(Message().name()) value) { m->set_##name(value); } \
  }

// The sixteen counters in field order; PmuData and AvePmuData share the names.
#define ZENTRIK_PMU_COUNTERS(X)                                                             \
  X(io_dma_write_bytes), X(io_dma_read_bytes), X(tlb_write_access), X(tlb_read_access),     \
      X(tlb_write_miss), X(tlb_read_miss), X(lt_cycles), X(ct_cycles), X(alu_cycles),       \
      X(csimd_pre_cycles), X(csimd_post_cycles), X(dram_read_cycles), X(dram_write_cycles), \
      X(field14), X(mac_ops), X(vector_ops)
#define ZENTRIK_RAW_COUNTER(name) ZENTRIK_FIELD(PmuData, name)
#define ZENTRIK_AVE_COUNTER(name) ZENTRIK_FIELD(AvePmuData, name)
#define ZENTRIK_FIGURE(name) ZENTRIK_FIELD(PmuUtil, name)

constexpr Field<PmuData, uint64_t> kRawCounters[] = {ZENTRIK_PMU_COUNTERS(ZENTRIK_RAW_COUNTER)};
constexpr Field<AvePmuData, double> kAveCounters[] = {ZENTRIK_PMU_COUNTERS(ZENTRIK_AVE_COUNTER)};
constexpr Field<PmuUtil, double> kFigures[] = {
    ZENTRIK_FIGURE(total_cycles_estimated),
    ZENTRIK_FIGURE(lt_utilization),
    ZENTRIK_FIGURE(ct_utilization),
    ZENTRIK_FIGURE(alu_utilization),
    ZENTRIK_FIGURE(csimd_pre_utilization),
    ZENTRIK_FIGURE(csimd_post_utilization),
    ZENTRIK_FIGURE(dram_working_read_utilization),
    ZENTRIK_FIGURE(dram_working_write_utilization),
    ZENTRIK_FIGURE(read_bandwidth_utilization),
    ZENTRIK_FIGURE(write_bandwidth_utilization),
    ZENTRIK_FIGURE(mac_utilization),
    ZENTRIK_FIGURE(compute_efficiency),
    ZENTRIK_FIGURE(io_efficiency),
    ZENTRIK_FIGURE(vec_utilization),
};
#undef ZENTRIK_FIGURE
#undef ZENTRIK_AVE_COUNTER
#undef ZENTRIK_RAW_COUNTER
#undef ZENTRIK_PMU_COUNTERS
#undef ZENTRIK_FIELD

constexpr size_t kNumCounters = 16;
constexpr size_t kNumFigures = 14;
static_assert(std::size(kRawCounters) == kNumCounters && std::size(kAveCounters) == kNumCounters);
static_assert(std::size(kFigures) == kNumFigures);

// Positions of the counters the figures read.
enum CounterIndex : size_t {
  kIoDmaWriteBytes = 0,
  kIoDmaReadBytes = 1,
  kLtCycles = 6,
  kAluCycles = 8,
  kCsimdPreCycles = 9,
  kCsimdPostCycles = 10,
  kDramReadCycles = 11,
  kDramWriteCycles = 12,
  kField14 = 13,
  kMacOps = 14,
  kVectorOps = 15,
};

template <typename Message, typename Value, size_t N>
std::array<Value, N> ReadFields(const Field<Message, Value> (&fields)[N], const Message& message) {
  std::array<Value, N> values;
  for (size_t i = 0; i < N; ++i) values[i] = fields[i].get(message);
  return values;
}

template <typename Message, typename Value, size_t N>
void WriteFields(const Field<Message, Value> (&fields)[N], const std::array<Value, N>& values,
                 Message* message) {
  for (size_t i = 0; i < N; ++i) fields[i].set(message, values[i]);
}

using RawCounters = std::array<uint64_t, kNumCounters>;
using Counters = std::array<double, kNumCounters>;

bool Known(double value) { return value != kPmuNoValueDouble; }

// numerator / divisor, or the marker when either has no value or the
// divisor is zero (or not finite, from a zero further down): a utilisation
// of "inf %" is no measurement.
double Divide(double numerator, double divisor) {
  if (!Known(numerator) || !Known(divisor) || divisor == 0.0 || !std::isfinite(divisor)) {
    return kPmuNoValueDouble;
  }
  return numerator / divisor;
}

// counter / denominator, or the marker when the total has no value.
double Ratio(double counter, double total, double denominator) {
  return Known(total) ? Divide(counter, denominator) : kPmuNoValueDouble;
}

// The LT counter of these models counts in units of several cycles.
std::optional<double> LtCyclesDivisor(int zra_type) {
  switch (zra_type) {
    case ACC201:
      return 32;
    case ACC202:
    case ACC203:
      return 64;
    default:
      return std::nullopt;
  }
}

// Figures of one device model: operations per core and cycle by data type.
struct PeakRow {
  DataType type;
  int value;
};
struct PeakTable {
  const PeakRow* rows;
  size_t size;
};
template <size_t N>
constexpr PeakTable Table(const PeakRow (&rows)[N]) {
  return {rows, N};
}

constexpr PeakRow kMacAcc30x[] = {{INT4, 4096}, {INT8, 4096},     {INT16, 2048},
                                  {HALF, 1536}, {BFLOAT16, 1536}, {FLOAT, 384}};
constexpr PeakRow kMacEdg102[] = {{INT4, 4096}, {INT8, 2048}, {INT16, 1024}};
constexpr PeakRow kMacAcc40x[] = {{INT4, 8192},     {INT8, 4096}, {INT16, 1024}, {HALF, 2048},
                                  {BFLOAT16, 2048}, {FLOAT, 512}, {TF32, 1024}};
constexpr PeakRow kMacEdg101Soc501[] = {{INT4, 4096}, {INT8, 2048}, {INT16, 512}};

constexpr PeakRow kVectorCommon[] = {{HALF, 64}, {FLOAT, 32}};
constexpr PeakRow kVectorEdg101Soc501[] = {{HALF, 64}, {BFLOAT16, 32}, {FLOAT, 32}};

// Switches rather than arrays indexed by the model: any int32 may arrive.
std::optional<PeakTable> MacPeakTable(int zra_type) {
  switch (zra_type) {
    case ACC302:
    case ACC301:
      return Table(kMacAcc30x);
    case EDG102:
      return Table(kMacEdg102);
    case ACC404:
    case ACC403:
    case ACC402:
    case ACC401:
      return Table(kMacAcc40x);
    case EDG101:
    case SOC501:
      return Table(kMacEdg101Soc501);
    default:
      return std::nullopt;
  }
}

std::optional<PeakTable> VectorPeakTable(int zra_type) {
  switch (zra_type) {
    case ACC302:
    case EDG102:
    case ACC301:
    case ACC404:
    case ACC403:
    case ACC402:
    case ACC401:
      return Table(kVectorCommon);
    case EDG101:
    case SOC501:
      return Table(kVectorEdg101Soc501);
    default:
      return std::nullopt;
  }
}

std::optional<int> FindPeak(const std::optional<PeakTable>& table, DataType type) {
  if (!table) return std::nullopt;
  for (size_t i = 0; i < table->size; ++i) {
    if (table->rows[i].type == type) return table->rows[i].value;
  }
  return std::nullopt;
}

// MAC units have no quantized modes; these run on the plain type's units.
DataType UnquantizedType(DataType type) {
  switch (type) {
    case QINT4:
      return INT4;
    case QINT8:
      return INT8;
    case QINT16:
    case QINT31:
      return INT16;
    default:
      return type;
  }
}

// The name for a log line; a value GetDataTypeStr would throw on reads as its
// number instead.
std::string DataTypeName(DataType type) {
  if (type >= INVALID && type <= COUNT) return GetDataTypeStr(type);
  return std::to_string(static_cast<int>(type));
}

}  // namespace

void CopyPmuCounters(const PmuData& src, PmuData* dst) {
  WriteFields(kRawCounters, ReadFields(kRawCounters, src), dst);
}

void CopyDeviceInfo(const DeviceInfo& src, DeviceInfo* dst) {
  dst->set_zra_type(src.zra_type());
  dst->set_frequency(src.frequency());
  dst->set_core_count(src.core_count());
  dst->set_top_bandwidth(src.top_bandwidth());
  dst->set_mac_peak_performance(src.mac_peak_performance());
  dst->set_core_used(src.core_used());
  dst->set_peak_performance(src.peak_performance());
}

void CopyPmuInfoData(const PmuInfo& src, PmuInfo* dst, bool average) {
  // Everything is read before dst changes, since dst may be src.
  const auto figures = ReadFields(kFigures, src.pmu_util());
  const DeviceInfo device = src.device_info();
  const uint64_t count = src.count();
  if (average) {
    WriteFields(kAveCounters, ReadFields(kAveCounters, src.ave_pmu_data()),
                dst->mutable_ave_pmu_data());
  } else {
    WriteFields(kRawCounters, ReadFields(kRawCounters, src.pmu_data()), dst->mutable_pmu_data());
  }
  WriteFields(kFigures, figures, dst->mutable_pmu_util());
  CopyDeviceInfo(device, dst->mutable_device_info());
  dst->set_count(count);
}

PmuData AddPmuData(const PmuData& a, const PmuData& b) {
  const RawCounters left = ReadFields(kRawCounters, a);
  const RawCounters right = ReadFields(kRawCounters, b);
  RawCounters sum;
  for (size_t i = 0; i < kNumCounters; ++i) {
    sum[i] = left[i] == kPmuNoValue || right[i] == kPmuNoValue ? kPmuNoValue : left[i] + right[i];
  }
  PmuData result;
  WriteFields(kRawCounters, sum, &result);
  return result;
}

void SetPmuInfoCountToOne(PmuInfo* info) { info->set_count(1); }

void ComputePmuUtil(PmuInfo* info, bool average) {
  Counters c;
  if (average) {
    c = ReadFields(kAveCounters, info->ave_pmu_data());
  } else {
    // All ones converts to exactly 2^64, the marker of the double messages.
    const RawCounters raw = ReadFields(kRawCounters, info->pmu_data());
    for (size_t i = 0; i < kNumCounters; ++i) c[i] = static_cast<double>(raw[i]);
  }
  const DeviceInfo& device = info->device_info();
  const double time_ns = c[kField14];
  const double core_used = static_cast<double>(device.core_used());
  const double core_count = static_cast<double>(device.core_count());
  const double bandwidth = device.top_bandwidth();

  const double total =
      Known(time_ns) ? core_used * (static_cast<double>(device.frequency()) * (time_ns * 0.001))
                     : kPmuNoValueDouble;

  double lt = Ratio(c[kLtCycles], total, total);
  if (Known(lt)) {
    if (const std::optional<double> divisor = LtCyclesDivisor(device.zra_type())) {
      lt = Divide(c[kLtCycles] / *divisor, total);
    }
  }
  const double read_bandwidth = Ratio(c[kIoDmaReadBytes], total, time_ns * bandwidth);
  const double write_bandwidth = Ratio(c[kIoDmaWriteBytes], total, time_ns * bandwidth);
  const auto ops_utilization = [&](double ops, double peak) {
    if (!Known(total)) return kPmuNoValueDouble;
    return Divide(ops, (core_used / core_count) * peak * time_ns * 1000.0);
  };
  const double mac = ops_utilization(c[kMacOps], device.mac_peak_performance());
  const double vec = ops_utilization(c[kVectorOps], device.peak_performance());

  double compute_efficiency = kPmuNoValueDouble;
  if (!Known(c[kAluCycles])) {
    if (Known(c[kMacOps])) {
      compute_efficiency = mac;
    } else if (Known(c[kVectorOps])) {
      compute_efficiency = vec;
    }
  }

  PmuUtil* util = info->mutable_pmu_util();
  util->set_total_cycles_estimated(total);
  util->set_alu_utilization(Ratio(c[kAluCycles], total, total));
  util->set_lt_utilization(lt);
  util->set_csimd_pre_utilization(Ratio(c[kCsimdPreCycles], total, total));
  util->set_csimd_post_utilization(Ratio(c[kCsimdPostCycles], total, total));
  util->set_ct_utilization(util->csimd_post_utilization());
  util->set_dram_working_read_utilization(Ratio(c[kDramReadCycles], total, total));
  util->set_dram_working_write_utilization(Ratio(c[kDramWriteCycles], total, total));
  util->set_read_bandwidth_utilization(read_bandwidth);
  util->set_write_bandwidth_utilization(write_bandwidth);
  util->set_mac_utilization(mac);
  util->set_vec_utilization(vec);
  util->set_io_efficiency(Known(read_bandwidth) && Known(write_bandwidth)
                              ? read_bandwidth + write_bandwidth
                              : kPmuNoValueDouble);
  util->set_compute_efficiency(compute_efficiency);
}

void MergePmuInfo(PmuInfo* dst, const PmuInfo& src, uint64_t count) {
  if (count == 0) return;
  // Everything is read before dst changes, since dst may be src.
  const RawCounters raw = ReadFields(kRawCounters, src.pmu_data());
  const DeviceInfo device = src.device_info();
  Counters average;
  for (size_t i = 0; i < kNumCounters; ++i) {
    average[i] = raw[i] == kPmuNoValue ? kPmuNoValueDouble
                                       : static_cast<double>(raw[i]) / static_cast<double>(count);
  }
  WriteFields(kAveCounters, average, dst->mutable_ave_pmu_data());
  CopyDeviceInfo(device, dst->mutable_device_info());
  ComputePmuUtil(dst, /*average=*/true);
}

void CopyPmuUtilPeak(PmuInfo* dst, const PmuInfo& src) {
  const bool mac_known = Known(src.pmu_util().mac_utilization());
  const bool vec_known = Known(src.pmu_util().vec_utilization());
  if (!mac_known && !vec_known) return;
  PmuUtil* util = dst->mutable_pmu_util();
  util->set_compute_efficiency(mac_known ? util->lt_utilization() : util->ct_utilization());
}

double GetMacPeakPerformance(DataType type, const DeviceInfo& device) {
  const DataType unit_type = UnquantizedType(type);
  const std::optional<int> ops = FindPeak(MacPeakTable(device.zra_type()), unit_type);
  if (!ops) {
    LOG(INFO) << "dev type = " << static_cast<int>(device.zra_type())
              << ", data type = " << DataTypeName(unit_type)
              << ", no corresponding MAC peak performance.";
    return 0.0;
  }
  // Tera-operations per second from MHz; a MAC counts as two operations.
  double peak = static_cast<double>(device.core_count()) * *ops *
                static_cast<double>(device.frequency()) / 1000 / 1000 * 2;
  if (type == QINT31) peak *= 0.25;
  return peak;
}

double GetPeakPerformance(DataType type, const DeviceInfo& device) {
  const std::optional<int> ops = FindPeak(VectorPeakTable(device.zra_type()), type);
  if (!ops) {
    LOG(INFO) << "dev type = " << static_cast<int>(device.zra_type())
              << ", data type = " << DataTypeName(type) << ", no corresponding peak performance";
    return 0.0;
  }
  return static_cast<double>(device.core_count()) * *ops * static_cast<double>(device.frequency()) /
         1000 / 1000;
}

}  // namespace trace
}  // namespace zentrik
