#include "trace/core/utils/xplane_schema.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zentrik {
namespace trace {
namespace {

// Constants and the device-model table exist before any code runs.
static_assert(kDerivedLineId == -559038737);
static_assert(kDeviceModelTable[0].name == "EDG101" && kDeviceModelTable[12].type == -1);

TEST(XPlaneSchemaTest, DerivedLinesAndInternalTypesCompareWholeValues) {
  const std::pair<int64_t, bool> derived[] = {{-559038737, true}, {0x1deadbeef, true},
                                              {0xdeadbeee, false}, {INT64_MIN, false}};
  for (const auto& [id, expected] : derived) EXPECT_EQ(IsDerivedLineId(id), expected) << id;
  const std::set<int64_t> internal_stats = {14, 26, 43, 47, 48, 49, 50, 51};
  for (int64_t type = -2; type <= 60; ++type) {
    EXPECT_EQ(IsInternalStat(type), internal_stats.count(type) == 1) << type;
    EXPECT_EQ(IsInternalEvent(type), type == 1 || type == 2) << type;
  }
  EXPECT_FALSE(IsInternalStat(0x10000000e) || IsInternalEvent(0x100000001));
}

TEST(XPlaneSchemaTest, TypeTablesFindOnlyExactNamesAndModelsAnyInt32) {
  // Values other code and stored files pin.
  const std::pair<const char*, int64_t> pins[] = {{"_r", 14}, {"group_id", 38}, {"batch_size", 52}};
  for (const auto& [name, value] : pins) EXPECT_EQ(*FindStatType(name), value) << name;
  EXPECT_EQ(*FindHostEventType("TaskExecute"), 4);
  for (const std::string& name : std::vector<std::string>{"Group_id", "group_id ", {"id\0", 3}}) {
    EXPECT_EQ(FindStatType(name), nullptr) << '"' << name << '"';
  }
  EXPECT_THROW(GetStatTypeStr(static_cast<StatType>(53)), std::out_of_range);
  const std::pair<int32_t, const char*> rows[] = {
      {8, "EDG101"}, {9, "SOC501"}, {-1, "Unknown"}, {12, "Unknown"},
      {std::numeric_limits<int32_t>::min(), "Unknown"}, {std::numeric_limits<int32_t>::max(), "Unknown"}};
  for (const auto& [type, name] : rows) EXPECT_EQ(GetDeviceModelName(type), name) << type;
}

// The table's rows in their order, each model's name found by its value.
TEST(XPlaneSchemaTest, DeviceModelTableRowsInOrder) {
  const std::pair<const char*, int32_t> rows[] = {
      {"EDG101", 8}, {"EDG102", 4}, {"ACC201", 0},  {"ACC202", 1},  {"ACC203", 2},
      {"ACC301", 5}, {"ACC302", 3}, {"ACC401", 11}, {"ACC402", 10}, {"ACC403", 7},
      {"ACC404", 6}, {"SOC501", 9}, {"Unknown", -1}};
  ASSERT_EQ(std::size(kDeviceModelTable), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(kDeviceModelTable[i].name, rows[i].first) << i;
    EXPECT_EQ(kDeviceModelTable[i].type, rows[i].second) << i;
    EXPECT_EQ(GetDeviceModelName(rows[i].second), rows[i].first) << i;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
