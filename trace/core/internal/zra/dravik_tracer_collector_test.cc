#include "trace/core/internal/zra/dravik_tracer_collector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

// The replacement below pairs malloc with free, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
// Set on a thread to make its next allocation fail.
thread_local bool fail_next_allocation = false;
}  // namespace

void* operator new(std::size_t size) {
  if (fail_next_allocation) {
    fail_next_allocation = false;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace zentrik {
namespace trace {
namespace {

std::unique_ptr<DravikTracerEvent> Record(uint32_t device_id, uint64_t start) {
  auto event = NewDravikTracerEvent(kKernel, kActivity);
  event->device_id = device_id;
  event->start_time_ns = start;
  return event;
}

// (device, start) of every stored record, devices in iteration order.
std::vector<std::pair<uint32_t, uint64_t>> Stored(DravikTracerCollectorImpl& collector) {
  std::vector<std::pair<uint32_t, uint64_t>> stored;
  for (auto& [device, list] : collector.events_by_device) {
    for (auto& event : list.events) stored.emplace_back(device, event->start_time_ns);
  }
  return stored;
}

TEST(DravikTracerCollectorTest, KeepsArrivalOrderPerDeviceAndAscendingDevices) {
  DravikTracerCollectorImpl collector(5);
  collector.AddEvent(Record(kDravikNoId32, 1));  // an API record
  collector.AddEvent(Record(2, 2));
  collector.AddEvent(Record(0, 3));
  collector.AddEvent(Record(2, 4));
  collector.AddEvent(Record(0, 5));
  collector.AddEvent(nullptr);
  collector.OnTracingStopped();
  const std::vector<std::pair<uint32_t, uint64_t>> expected = {
      {0, 3}, {0, 5}, {2, 2}, {2, 4}, {kDravikNoId32, 1}};
  EXPECT_EQ(Stored(collector), expected);
}

TEST(DravikTracerCollectorTest, DropsAndCountsARecordWhenMemoryRunsOut) {
  DravikTracerCollectorImpl collector(0);
  auto record = Record(1, 1);
  fail_next_allocation = true;  // the new device's list cannot be made
  collector.AddEvent(std::move(record));
  collector.AddEvent(Record(1, 2));
  EXPECT_EQ(collector.dropped_events(), 1u);
  EXPECT_EQ(Stored(collector), (std::vector<std::pair<uint32_t, uint64_t>>{{1, 2}}));
}

TEST(DravikTracerCollectorTest, RecordPresetsAndPmuStore) {
  const auto event = NewDravikTracerEvent(kGeneric, kApiCallback);
  EXPECT_EQ(event->device_id, kDravikNoId32);
  EXPECT_EQ(event->queue_id, kDravikNoId32);
  EXPECT_EQ(event->correlation_id, kDravikNoId32);
  EXPECT_EQ(event->annotation_id, kDravikNoValue64);
  EXPECT_FALSE(event->pmu.valid);
  for (uint64_t slot : event->pmu.counters) EXPECT_EQ(slot, kDravikNoValue64);
  EXPECT_EQ(event->overhead.object_id[2], 0u);  // the shared storage starts zeroed

  DravikTracerCollectorImpl collector(0);
  KernelPmuCounters first;
  first.valid = true;
  first.counters[0] = 10;
  KernelPmuCounters second = first;
  second.counters[0] = 20;
  collector.AddKernelPmuCounters(0, 7, first);
  collector.AddKernelPmuCounters(0, 7, second);  // the first stays
  EXPECT_EQ(collector.FindKernelPmuCounters(7).counters[0], 10u);
  EXPECT_FALSE(collector.FindKernelPmuCounters(8).valid);
  EXPECT_EQ(collector.FindKernelPmuCounters(8).counters[14], kDravikNoValue64);
}

// Run under ThreadSanitizer: first records of new devices race with appends.
TEST(DravikTracerCollectorTest, EightProducersOnThreeDevices) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 20000;
  DravikTracerCollectorImpl collector(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&collector, t] {
      for (int i = 0; i < kPerThread; ++i) {
        collector.AddEvent(Record((t + i) % 3, static_cast<uint64_t>(t) << 32 | i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(collector.events_by_device.size(), 3u);
  size_t total = 0;
  for (auto& [device, list] : collector.events_by_device) {
    std::vector<uint64_t> last(kThreads, 0);
    for (auto& event : list.events) {
      // Each producer's records keep their order within a device.
      const uint64_t thread = event->start_time_ns >> 32, i = event->start_time_ns & 0xFFFFFFFF;
      EXPECT_EQ((thread + i) % 3, device);
      EXPECT_TRUE(last[thread] == 0 || i > last[thread]);
      last[thread] = i;
    }
    total += list.events.size();
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
