#include "trace/core/utils/xplane_schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/proto_bytes.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::FromHex;

// Constants and the device-model table exist before any code runs.
static_assert(kDerivedLineId == -559038737);
static_assert(std::string_view(kHostPlaneName) == "/host:CPU");
static_assert(std::string_view(kDevicePlanePrefix) == "/device:ZRA:");
static_assert(std::string_view(kStepLineName) == "Steps");
static_assert(kDeviceModelTable[0].name == "EDG101" && kDeviceModelTable[12].type == -1);

constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

TEST(XPlaneSchemaConstantsTest, DerivedLinesAreRecognisedByTheLow32Bits) {
  const struct {
    int64_t id;
    bool derived;
  } cases[] = {
      {-559038737, true},  {3735928559, true}, {0x1deadbeef, true}, {0, false},
      {0xdeadbeee, false}, {-1, false},        {kInt64Min, false},  {kInt64Max, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDerivedLineId(c.id), c.derived) << c.id;
}

TEST(TypeTablesTest, StatTypesMapBothWays) {
  ASSERT_EQ(GetStatTypeMap().size(), 53u);
  for (int32_t value = 0; value <= 52; ++value) {
    const std::string name = GetStatTypeStr(static_cast<StatType>(value));
    const std::unique_ptr<int64_t> found = FindStatType(name);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(*found, value) << name;
  }
  // Values that do not follow the names' order, and those other code pins.
  const struct {
    const char* name;
    int64_t value;
  } pinned[] = {
      {"UnknownStatType", 0},
      {"id", 1},
      {"shape", 13},
      {"_r", 14},
      {"correlation_id", 17},
      {"size", 19},
      {"memalloc_details", 25},
      {"kernel_details", 26},
      {"group_id", 38},
      {"step_name", 39},
      {"op_fullname", 40},
      {"traceme_flag", 43},
      {"launch_zra", 45},
      {"model_id", 47},
      {"vector_ops", 51},
      {"batch_size", 52},
  };
  for (const auto& p : pinned) {
    const std::unique_ptr<int64_t> found = FindStatType(p.name);
    ASSERT_NE(found, nullptr) << p.name;
    EXPECT_EQ(*found, p.value) << p.name;
    EXPECT_EQ(GetStatTypeStr(static_cast<StatType>(p.value)), p.name);
  }
}

TEST(TypeTablesTest, HostEventTypesAreFoundByExactName) {
  ASSERT_EQ(GetHostEventTypeMap().size(), 5u);
  const char* const names[] = {"UnknownHostEventType", "MemoryAllocation", "MemoryDeallocation",
                               "TaskLaunch", "TaskExecute"};
  for (int64_t value = 0; value < 5; ++value) {
    const std::unique_ptr<int64_t> found = FindHostEventType(names[value]);
    ASSERT_NE(found, nullptr) << names[value];
    EXPECT_EQ(*found, value);
    EXPECT_EQ(GetHostEventTypeMap().at(names[value]), value);
  }
}

TEST(TypeTablesTest, UnknownNamesFindNothing) {
  for (const char* name :
       {"Group_id", "", "group_id ", " group_id", "GROUP_ID", "TaskExecute", "r", "batch_size\n"}) {
    EXPECT_EQ(FindStatType(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(FindStatType(std::string("id\0", 3)), nullptr);
  for (const char* name : {"id", "taskexecute", "", "TaskExecute ", "UnknownStatType"}) {
    EXPECT_EQ(FindHostEventType(name), nullptr) << '"' << name << '"';
  }
}

TEST(TypeTablesTest, StatNameOfAValueOutsideTheTableThrows) {
  for (const int32_t value : {53, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_THROW(GetStatTypeStr(static_cast<StatType>(value)), std::out_of_range) << value;
  }
}

TEST(TypeTablesTest, InternalTypes) {
  const std::vector<int64_t> internal_stats = {14, 26, 43, 47, 48, 49, 50, 51};
  for (int64_t type = -2; type <= 60; ++type) {
    const bool expected =
        std::find(internal_stats.begin(), internal_stats.end(), type) != internal_stats.end();
    EXPECT_EQ(IsInternalStat(type), expected) << type;
    EXPECT_EQ(IsInternalEvent(type), type == 1 || type == 2) << type;
  }
  // Only the whole value counts, not its low bits.
  for (const int64_t type : {kInt64Min, kInt64Max, int64_t{0x10000000e}, int64_t{0x100000001}}) {
    EXPECT_FALSE(IsInternalStat(type)) << type;
    EXPECT_FALSE(IsInternalEvent(type)) << type;
  }
}

TEST(DeviceModelTableTest, RowsInOrder) {
  const struct {
    const char* name;
    int32_t type;
  } rows[] = {
      {"EDG101", 8}, {"EDG102", 4}, {"ACC201", 0},   {"ACC202", 1},  {"ACC203", 2},
      {"ACC301", 5}, {"ACC302", 3}, {"ACC401", 11},  {"ACC402", 10}, {"ACC403", 7},
      {"ACC404", 6}, {"SOC501", 9}, {"Unknown", -1},
  };
  ASSERT_EQ(std::size(kDeviceModelTable), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(kDeviceModelTable[i].name, rows[i].name) << i;
    EXPECT_EQ(kDeviceModelTable[i].type, rows[i].type) << i;
    EXPECT_EQ(kDeviceModelTable[i].name.size(), i < 12 ? 6u : 7u) << i;
    EXPECT_EQ(GetDeviceModelName(rows[i].type), rows[i].name);
  }
}

TEST(DeviceModelTableTest, AnyOtherValueIsUnknown) {
  for (const int32_t type : {12, 13, 100, -2, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max()}) {
    EXPECT_EQ(GetDeviceModelName(type), "Unknown") << type;
  }
  // A value from a caller's serialized trace goes through the same lookup.
  DeviceInfo device;
  ASSERT_TRUE(device.ParseFromString(FromHex("08 e7 07")));
  EXPECT_EQ(GetDeviceModelName(device.zra_type()), "Unknown");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
