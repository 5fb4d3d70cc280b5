#include "trace/core/utils/xplane_visitor.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "testing/proto_bytes.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Missing ids read as default metadata of type 0, a repeated name as its
// smallest key, late metadata untyped, a dangling reference as nothing; dense,
// sparse and negative ids alike.
TEST(XPlaneVisitorTest, UnknownRepeatedSparseAndLateMetadata) {
  for (const int64_t base : {int64_t{1}, int64_t{1} << 40, int64_t{-100}}) {
    XPlane plane;
    (*plane.mutable_event_metadata())[base + 5].set_name("TaskLaunch");
    (*plane.mutable_stat_metadata())[base + 9].set_name("group_id");
    (*plane.mutable_stat_metadata())[base + 4].set_name("group_id");
    XPlaneVisitor visitor(&plane, {FindHostEventType}, {FindStatType});
    const int64_t group_id = *FindStatType("group_id");
    EXPECT_EQ(visitor.GetEventType(base + 5), *FindHostEventType("TaskLaunch")) << base;
    EXPECT_EQ(visitor.GetEventMetadata(base + 6), &XEventMetadata::default_instance()) << base;
    EXPECT_EQ(visitor.GetStatType(base + 9), group_id) << base;
    EXPECT_EQ(visitor.GetStatMetadataByType(group_id), &plane.stat_metadata().at(base + 4)) << base;
    (*plane.mutable_stat_metadata())[base + 2].set_name("step_name");
    EXPECT_EQ(visitor.GetStatType(base + 2), 0) << base;
    EXPECT_EQ(visitor.GetStatMetadata(base + 2)->name(), "step_name") << base;
    XStat dangling;
    dangling.set_ref_value(~uint64_t{0});
    EXPECT_EQ(XStatVisitor(&visitor, &dangling).ToString(), "") << base;
    EXPECT_EQ(XStatVisitor(&visitor, &dangling).StrOrRefValue(), "") << base;
  }
}

// The builder's offsets and the visitor's start times wrap alike: every time
// reads back, also before the line's start or near the top of the range.
TEST(XEventVisitorTest, TimesRoundTripThroughTheBuilderInWrappingArithmetic) {
  constexpr uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();
  const struct {
    int64_t line_ns;
    uint64_t start_ns, end_ns;
  } cases[] = {{1000, 400, 500}, {0, kAllOnes, kAllOnes}, {kMax, 0, 1}};
  XPlane plane;
  XPlaneBuilder builder(&plane);
  XPlaneVisitor visitor(&plane);
  for (const auto& c : cases) {
    XLineBuilder line = builder.GetOrCreateLine(c.line_ns);
    line.SetTimestampNs(c.line_ns);
    XEventBuilder event = line.AddEvent(*builder.GetOrCreateEventMetadata("e"));
    event.SetTimestampNs(c.start_ns);
    event.SetEndTimestampNs(c.end_ns);
    XEventVisitor read(&visitor, &line.line(), &event.event());
    EXPECT_EQ(read.TimestampPs(), c.start_ns * 1000) << c.start_ns;
    EXPECT_EQ(read.EndTimestampPs(), c.end_ns * 1000) << c.start_ns;
    // A count of occurrences instead of an offset reads as offset 0.
    event.mutable_event()->set_num_occurrences(9);
    EXPECT_EQ(read.TimestampPs(), static_cast<uint64_t>(c.line_ns) * 1000) << c.start_ns;
  }
}

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
  } cases[] = {{{{10, 3}}, 4}, {{{4, 2}, {3, 3}}, 5},
               {{{kMax, kMax}}, std::numeric_limits<int64_t>::min()}};
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

// Every kind of stat value as text, on an event and on the plane itself; stat types beyond the
// small ones are found by their type too.
TEST(XStatVisitorTest, ValuesOfEveryKindAsText) {
  static constexpr int64_t kLargeType = 5000;
  XPlane plane;
  for (const auto& [id, name] : {std::pair<int64_t, const char*>{1, "large"}, {2, "referenced"}}) {
    (*plane.mutable_stat_metadata())[id].set_id(id);
    (*plane.mutable_stat_metadata())[id].set_name(name);
  }
  const TypeGetter large = [](std::string name) -> std::unique_ptr<int64_t> {
    if (name != "large") return nullptr;
    return std::make_unique<int64_t>(kLargeType);
  };
  XPlaneVisitor visitor(&plane, {}, {large});
  const struct {
    void (*set)(XStat*);
    std::string text, str_or_ref;
  } rows[] = {
      {[](XStat* s) { s->set_double_value(2.5); }, "2.500000", ""},
      {[](XStat* s) { s->set_uint64_value(~uint64_t{0}); }, "18446744073709551615", ""},
      {[](XStat* s) { s->set_int64_value(-3); }, "-3", ""},
      {[](XStat* s) { s->set_str_value("text"); }, "text", "text"},
      {[](XStat* s) { s->set_ref_value(2); }, "referenced", "referenced"},
      {[](XStat* s) { s->set_bytes_value("\x01"); }, "<opaque bytes>", ""},
      {[](XStat*) {}, "", ""},
  };
  for (const auto& row : rows) {
    XStat* stat = plane.add_stats();
    stat->set_metadata_id(1);
    row.set(stat);
    const std::optional<XStatVisitor> found = visitor.GetStat(kLargeType);
    ASSERT_TRUE(found.has_value()) << row.text;
    EXPECT_EQ(found->ToString(), row.text);
    EXPECT_EQ(found->StrOrRefValue(), row.str_or_ref) << row.text;
    plane.clear_stats();
  }
  EXPECT_EQ(visitor.GetStatMetadataByType(kLargeType), &plane.stat_metadata().at(1));
  EXPECT_EQ(visitor.GetStatMetadataByType(kLargeType + 1), nullptr);
  EXPECT_FALSE(visitor.GetStat(kLargeType + 1).has_value());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
