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

// Arrival order per device, devices ascending; a record whose device list
// cannot be made is dropped and counted.
TEST(DravikTracerCollectorTest, KeepsOrderAndDropsWhenMemoryRunsOut) {
  DravikTracerCollectorImpl collector(5);
  auto record = Record(1, 1);
  fail_next_allocation = true;
  collector.AddEvent(std::move(record));
  uint64_t start = 0;  // the first an API record
  for (uint32_t device : {kDravikNoId32, 2u, 0u, 2u, 0u}) collector.AddEvent(Record(device, ++start));
  collector.AddEvent(nullptr);
  collector.OnTracingStopped();
  EXPECT_EQ(collector.dropped_events(), 1u);
  EXPECT_EQ(Stored(collector), (std::vector<std::pair<uint32_t, uint64_t>>{
                                   {0, 3}, {0, 5}, {2, 2}, {2, 4}, {kDravikNoId32, 1}}));
}

// Run under ThreadSanitizer: first records of new devices race with appends.
TEST(DravikTracerCollectorTest, EightProducersOnThreeDevices) {
  constexpr uint32_t kThreads = 8, kPerThread = 20000;
  DravikTracerCollectorImpl collector(0);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&collector, t] {
      for (uint32_t i = 1; i <= kPerThread; ++i) collector.AddEvent(Record((t + i) % 3, t << 20 | i));
    });
  }
  for (auto& thread : threads) thread.join();
  // Each device holds its records, each producer's in its order.
  std::vector<uint64_t> last(kThreads * 3, 0);
  size_t total = 0;
  for (auto& [device, event] : Stored(collector)) {
    const uint64_t t = event >> 20, i = event & 0xFFFFF;
    EXPECT_EQ((t + i) % 3, device);
    EXPECT_GT(i, last[t * 3 + device]);
    last[t * 3 + device] = i;
    ++total;
  }
  EXPECT_EQ(total, size_t{kThreads} * kPerThread);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
