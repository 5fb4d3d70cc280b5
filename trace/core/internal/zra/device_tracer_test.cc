#include "trace/core/internal/zra/device_tracer.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "trace/core/internal/zra/dravik_tracer.h"
#include "trace/core/internal/zra/dravik_wrapper.h"

namespace zentrik {
namespace trace {
namespace {

// Supports ids 1-4; id 3 has no name. A failed count query writes nothing.
class FakePmu : public DravikInterface {
 public:
  bool fail_count_query = false;
  std::string journal;

  int32_t GetDeviceChipId(uint32_t, uint64_t* chip) override { return *chip = 42, 0; }
  int32_t PmuGetCounterSupported(uint64_t, uint64_t* ids, uint64_t* count) override {
    if (ids == nullptr) return fail_count_query ? 7 : (*count = 4, 0);
    for (uint64_t i = 0; i < *count && i < 4; ++i) ids[i] = i + 1;
    *count = 6;  // more than the room it was given: the caller must clamp
    return 0;
  }
  int32_t PmuGetCounterName(uint64_t id, const char** name) override {
    static const std::map<uint64_t, const char*> names = {
        {1, "tp_core__lt_cycles"}, {2, "other"}, {3, nullptr}, {4, "tp_memcore__read_bytes"}};
    return *name = names.at(id), 0;
  }
  int32_t PmuSetFlushMode(uint32_t mode) override {
    return journal += "flush" + std::to_string(mode) + " ", 0;
  }
  int32_t PmuEnableCounter(uint32_t device, uint64_t id, bool) override {
    return journal += "enable" + std::to_string(device) + ":" + std::to_string(id) + " ", 0;
  }
};

// Two starts in a row: each enables the traced counters once.
TEST(DeviceTracerTest, PmuSetUpSelectsTracedCountersOnce) {
  for (bool fail_count_query : {false, true}) {
    FakePmu dravik;
    dravik.fail_count_query = fail_count_query;
    std::vector<uint64_t> ids;
    for (int start = 0; start < 2; ++start) ASSERT_TRUE(SetUpPmuCounters(&dravik, &ids).ok());
    EXPECT_EQ(ids, fail_count_query ? std::vector<uint64_t>() : std::vector<uint64_t>({1, 4}));
    EXPECT_EQ(dravik.journal, fail_count_query ? "flush1 flush1 "
                                               : "flush1 enable0:1 enable0:4 flush1 enable0:1 "
                                                 "enable0:4 ");
  }
}

TEST(DeviceTracerTest, DestroyedWhileRunningStopsTheApiTracer) {
  FakePmu dravik;
  DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton(&dravik);
  auto device = std::make_unique<DeviceTracer>(tracer, &dravik);
  ASSERT_TRUE(device->Start(1).ok());
  EXPECT_FALSE(tracer->IsAvailable());
  device.reset();
  EXPECT_TRUE(tracer->IsAvailable());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
