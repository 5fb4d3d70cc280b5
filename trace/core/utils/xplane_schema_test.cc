#include "trace/core/utils/xplane_schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

// Constants and the device-model table exist before any code runs.
static_assert(kDerivedLineId == -559038737);
static_assert(std::string_view(kHostPlaneName) == "/host:CPU");
static_assert(std::string_view(kDevicePlanePrefix) == "/device:ZRA:");
static_assert(kDeviceModelTable[0].name == "EDG101" && kDeviceModelTable[12].type == -1);

constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

TEST(XPlaneSchemaTest, DerivedLinesAreRecognisedByTheLow32Bits) {
  const std::pair<int64_t, bool> cases[] = {
      {-559038737, true}, {3735928559, true}, {0x1deadbeef, true}, {0xdeadbeee, false},
      {-1, false},        {kInt64Min, false}};
  for (const auto& [id, derived] : cases) EXPECT_EQ(IsDerivedLineId(id), derived) << id;
}

TEST(XPlaneSchemaTest, TypeTablesMapBothWays) {
  ASSERT_EQ(GetStatTypeMap().size(), 53u);
  for (int32_t value = 0; value <= 52; ++value) {
    const std::string name = GetStatTypeStr(static_cast<StatType>(value));
    const std::unique_ptr<int64_t> found = FindStatType(name);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(*found, value) << name;
  }
  // Values other code and stored files pin.
  const std::pair<const char*, int64_t> pinned[] = {
      {"_r", 14},       {"correlation_id", 17}, {"group_id", 38},  {"step_name", 39},
      {"op_fullname", 40}, {"traceme_flag", 43}, {"batch_size", 52}};
  for (const auto& [name, value] : pinned) EXPECT_EQ(*FindStatType(name), value) << name;
  const char* const events[] = {"UnknownHostEventType", "MemoryAllocation", "MemoryDeallocation",
                                "TaskLaunch", "TaskExecute"};
  ASSERT_EQ(GetHostEventTypeMap().size(), 5u);
  for (int64_t value = 0; value < 5; ++value) EXPECT_EQ(*FindHostEventType(events[value]), value);
  // Only exact names are found.
  for (const char* name : {"Group_id", "", "group_id ", "TaskExecute"}) {
    EXPECT_EQ(FindStatType(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(FindStatType(std::string("id\0", 3)), nullptr);
  EXPECT_EQ(FindHostEventType("taskexecute"), nullptr);
  EXPECT_THROW(GetStatTypeStr(static_cast<StatType>(53)), std::out_of_range);
}

TEST(XPlaneSchemaTest, InternalTypes) {
  const std::vector<int64_t> internal_stats = {14, 26, 43, 47, 48, 49, 50, 51};
  for (int64_t type = -2; type <= 60; ++type) {
    const bool expected =
        std::find(internal_stats.begin(), internal_stats.end(), type) != internal_stats.end();
    EXPECT_EQ(IsInternalStat(type), expected) << type;
    EXPECT_EQ(IsInternalEvent(type), type == 1 || type == 2) << type;
  }
  // Only the whole value counts, not its low bits.
  EXPECT_FALSE(IsInternalStat(0x10000000e));
  EXPECT_FALSE(IsInternalEvent(0x100000001));
}

TEST(XPlaneSchemaTest, DeviceModelNames) {
  const std::pair<const char*, int32_t> rows[] = {
      {"EDG101", 8}, {"EDG102", 4}, {"ACC201", 0},  {"ACC202", 1},  {"ACC203", 2},
      {"ACC301", 5}, {"ACC302", 3}, {"ACC401", 11}, {"ACC402", 10}, {"ACC403", 7},
      {"ACC404", 6}, {"SOC501", 9}, {"Unknown", -1}};
  ASSERT_EQ(std::size(kDeviceModelTable), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(kDeviceModelTable[i].name, rows[i].first) << i;
    EXPECT_EQ(GetDeviceModelName(rows[i].second), rows[i].first);
  }
  for (const int32_t type : {12, -2, kInt32Min, std::numeric_limits<int32_t>::max()}) {
    EXPECT_EQ(GetDeviceModelName(type), "Unknown") << type;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
