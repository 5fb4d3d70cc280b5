// Activity records as the profiling library lays them out: every field at its byte offset,
// written by hand here rather than through the library's record structures.
#include "trace/core/internal/zra/dravik_activity_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

constexpr uint64_t kHigh = uint64_t{0xAB} << 32;  // lost where only the low half is kept
constexpr char kKernelName[] = "gemm(float*)";

// One field of a record: its offset and width in bytes, and its value.
struct Field {
  size_t offset, width;
  uint64_t value;
};

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
  return text;
}

// Every field of an event that a record can fill, in one line; 64-bit values in hex.
std::string Describe(const DravikTracerEvent& e) {
  std::string times;
  for (uint64_t value : {e.start_time_ns, e.end_time_ns, e.received_time_ns, e.queued_time_ns,
                         e.submitted_time_ns, e.api_enter_time_ns}) {
    times += (times.empty() ? "" : ",") + Hex(value);
  }
  const std::string text =
      "type=" + std::to_string(e.type) + " source=" + std::to_string(e.source) + " name=" +
      e.name + " times=" + times + " device=" + std::to_string(e.device_id) + " thread=" +
      std::to_string(e.thread_id) + " queue=" + std::to_string(e.queue_id) + " aux=" +
      std::to_string(e.aux_id) + " correlation=" + std::to_string(e.correlation_id) +
      " pmu_valid=" + std::to_string(e.pmu.valid) + " ";
  switch (e.type) {
    case kKernel:
      return text + "kernel_type=" + Hex(e.kernel.kernel_type) + " dims=" +
             std::to_string(e.kernel.dimx) + "x" + std::to_string(e.kernel.dimy) + "x" +
             std::to_string(e.kernel.dimz);
    case kMemcpy:
      return text + "bytes=" + Hex(e.memcpy.bytes) + " copy_kind=" +
             std::to_string(e.memcpy.copy_kind) + " async=" + std::to_string(e.memcpy.is_async);
    case kMemset:
      return text + "bytes=" + Hex(e.memset.bytes) + " value=" + Hex(e.memset.memset_value) +
             " async=" + std::to_string(e.memset.is_async);
    case kMemcpyPeer:
      return text + "bytes=" + Hex(e.memcpy_peer.bytes) + " src=" +
             Hex(e.memcpy_peer.src_device) + " dst=" + Hex(e.memcpy_peer.dst_device);
    case kOverhead:
      return text + "overhead_kind=" + std::to_string(e.overhead.overhead_kind) +
             " object_kind=" + std::to_string(e.overhead.object_kind) + " object_id=" +
             Hex(e.overhead.object_id[0]) + "," + Hex(e.overhead.object_id[1]) + "," +
             Hex(e.overhead.object_id[2]);
    case kNotifier:
      return text + "notifier_kind=" + std::to_string(e.notifier.notifier_kind) +
             " notifier_id=" + Hex(e.notifier.notifier_id);
    case kAtomicOperation:
      return text + "request=" + std::to_string(e.atomic.atomic_request_type) + " operation=" +
             std::to_string(e.atomic.atomic_operation) + " value=" + Hex(e.atomic.atomic_value);
  }
  return text + "unexpected type";
}

// A 64-bit word at `offset` whose value tells where it was read: ab000000<offset>.
Field Word(size_t offset) { return {offset, 8, kHigh + offset}; }
// A 64-bit word of which only the low half is kept: `low` must come out.
Field Low(size_t offset, uint32_t low) { return {offset, 8, kHigh + low}; }

TEST(DravikActivityRecordsTest, ReadsEveryFieldAtItsOffset) {
  const uint64_t name = reinterpret_cast<uintptr_t>(kKernelName);
  const std::string none = std::to_string(kDravikNoId32);
  const std::string ids = " device=2 thread=" + none + " queue=3 aux=9 correlation=7 pmu_valid=0 ";
  const struct {
    const char* row;
    std::vector<Field> fields;  // the kind at offset 0 comes first
    std::string event;          // empty: the record yields no event
  } rows[] = {
      {"kernel",
       {{0, 4, 1}, Low(8, 7), Word(16), Word(24), Word(32), Word(40), Word(48), Low(56, 2),
        {64, 8, name}, Low(72, 3), Word(88), {96, 4, 4}, {100, 4, 5}, {104, 4, 6}, Low(112, 9)},
       "type=1 source=1 name=gemm(float*) times=ab00000010,ab00000018,ab00000020,ab00000028,"
       "ab00000030,0" + ids + "kernel_type=ab00000058 dims=4x5x6"},
      {"kernel without a name", {{0, 4, 1}, {64, 8, 0}},
       "type=1 source=1 name=ZRA_kernel times=0,0,0,0,0,0 device=0 thread=" + none +
           " queue=0 aux=0 correlation=0 pmu_valid=0 kernel_type=0 dims=0x0x0"},
      {"memcpy",
       {{0, 4, 9}, {4, 4, 2}, Low(8, 7), Word(16), {24, 4, 3}, Word(32), Word(40), Word(48),
        Word(56), Word(64), Low(72, 2), Low(80, 3), Low(96, 9)},
       "type=2 source=1 name= times=ab00000020,ab00000028,ab00000030,ab00000038,ab00000040,0" +
           ids + "bytes=ab00000010 copy_kind=3 async=1"},
      {"memset",
       {{0, 4, 10}, {4, 4, 0}, Low(8, 7), Word(16), Word(24), Word(32), Word(40), Word(48),
        Word(56), Low(64, 2), Low(72, 3), Word(88), Low(96, 9)},
       "type=5 source=1 name= times=ab00000018,ab00000020,ab00000028,ab00000030,ab00000038,0" +
           ids + "bytes=ab00000010 value=ab00000058 async=0"},
      {"peer copy",
       {{0, 4, 11}, Low(8, 7), Word(16), Word(32), Word(40), Word(48), Word(56), Word(64),
        Low(72, 2), Word(80), Word(88), Low(96, 3), Low(112, 9)},
       "type=3 source=1 name= times=ab00000020,ab00000028,ab00000030,ab00000038,ab00000040,0" +
           ids + "bytes=ab00000010 src=ab00000050 dst=ab00000058"},
      // Object kind 2 (a thread): the thread id is the high half of the first object word.
      {"overhead of a thread",
       {{0, 4, 7}, {4, 4, 2}, Word(8), Word(16), {24, 4, 2}, {32, 8, uint64_t{77} << 32 | 4242},
        Word(40), Word(48)},
       "type=6 source=1 name= times=ab00000008,ab00000010,0,0,0,0 device=0 thread=77 queue=" +
           none + " aux=" + none + " correlation=" + none +
           " pmu_valid=0 overhead_kind=2 object_kind=2 object_id=4d00001092,ab00000028,ab00000030"},
      {"overhead of a process",
       {{0, 4, 7}, {4, 4, 1}, {8, 8, 5}, {16, 8, 6}, {24, 4, 1}, {32, 8, uint64_t{77} << 32}},
       "type=6 source=1 name= times=5,6,0,0,0,0 device=0 thread=" + none + " queue=" + none +
           " aux=" + none + " correlation=" + none +
           " pmu_valid=0 overhead_kind=1 object_kind=1 object_id=4d00000000,0,0"},
      {"overhead without a start", {{0, 4, 7}, {8, 8, 0}, {16, 8, 6}}, ""},
      {"overhead without an end", {{0, 4, 7}, {8, 8, 5}, {16, 8, 0}}, ""},
      {"notifier",
       {{0, 4, 15}, {4, 4, 1}, Low(8, 7), Word(16), Word(24), Word(32), Low(40, 2), Low(48, 3),
        Word(56), Low(64, 9)},
       "type=7 source=1 name= times=ab00000010,ab00000018,ab00000020,0,0,0" + ids +
           "notifier_kind=1 notifier_id=ab00000038"},
      {"atomic compare",
       {{0, 4, 14}, {4, 4, 1}, {8, 4, 2}, Low(16, 7), Word(24), Word(32), Word(40), Low(56, 2),
        Low(64, 3), Word(72), Low(80, 9)},
       "type=8 source=1 name= times=ab00000018,ab00000020,ab00000028,0,0,0" + ids +
           "request=1 operation=2 value=ab00000048"},
      // The operation means nothing for request type 2: it is not copied.
      {"atomic of request type 2", {{0, 4, 14}, {4, 4, 2}, {8, 4, 3}},
       "type=8 source=1 name= times=0,0,0,0,0,0 device=0 thread=" + none +
           " queue=0 aux=0 correlation=0 pmu_valid=0 request=2 operation=0 value=0"},
      {"driver API record", {{0, 4, 3}}, ""},
      {"runtime API record", {{0, 4, 4}}, ""},
      {"library API record", {{0, 4, 5}}, ""},
      {"network API record", {{0, 4, 6}}, ""},
      {"unknown kind 8", {{0, 4, 8}}, ""},
      {"unknown kind 16", {{0, 4, 16}}, ""},
  };
  for (const auto& row : rows) {
    size_t end = 0;
    for (const Field& f : row.fields) end = std::max(end, f.offset + f.width);
    const uint32_t kind = static_cast<uint32_t>(row.fields[0].value);
    // The walk hands out a record only when its kind's size fits the buffer.
    EXPECT_GE(ActivityRecordSize(kind), row.event.empty() ? 4 : end) << row.row;
    for (size_t shift : {0, 3}) {  // records may sit at any alignment
      std::vector<uint8_t> bytes(shift + 128, 0);
      for (const Field& f : row.fields) std::memcpy(&bytes[shift + f.offset], &f.value, f.width);
      const auto event = ParseActivityRecord(&bytes[shift]);
      EXPECT_EQ(event == nullptr ? "" : Describe(*event), row.event)
          << row.row << " at shift " << shift;
    }
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
