#include "trace/core/utils/xplane_builder.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "testing/proto_bytes.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

void Put(XPlane* plane, int64_t key, int64_t id, const std::string& name) {
  (*plane->mutable_event_metadata())[key].set_id(id);
  (*plane->mutable_event_metadata())[key].set_name(name);
  (*plane->mutable_stat_metadata())[key].set_id(id);
  (*plane->mutable_stat_metadata())[key].set_name(name);
}

// New ids continue above the id fields (not keys), skip a key holding the
// next id, never take an entry over and wrap at the top.
TEST(XPlaneBuilderTest, NewIdsContinueAboveExistingMetadata) {
  const struct {
    std::vector<std::pair<int64_t, int64_t>> existing;  // key, id
    int64_t expected_id;
  } cases[] = {{{{3, 3}, {7, 7}}, 8},  {{{10, 3}}, 4}, {{{4, 2}, {3, 3}}, 5},
               {{{-5, -5}}, 1},        {{{kMax, kMax}}, std::numeric_limits<int64_t>::min()}};
  for (const auto& c : cases) {
    XPlane plane;
    for (const auto& [key, id] : c.existing) Put(&plane, key, id, std::to_string(key));
    XPlane expected = plane;
    Put(&expected, c.expected_id, c.expected_id, "new");
    XPlaneBuilder builder(&plane);
    builder.GetOrCreateEventMetadata("new");
    builder.GetOrCreateStatMetadata("new");
    EXPECT_EQ(testing::DeterministicBytes(plane), testing::DeterministicBytes(expected))
        << c.expected_id;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
