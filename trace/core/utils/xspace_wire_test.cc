#include "trace/core/utils/xspace_wire.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "testing/log_lines.h"
#include "testing/pmu_fixtures.h"
#include "testing/proto_bytes.h"
#include "testing/stderr_capture.h"
#include "trace/core/convert/parse_xspace.h"

namespace zentrik {
namespace trace {
namespace {

using testing::DeterministicBytes;
using testing::FromHex;

// `content` as a length-delimited field under the one-byte `tag`.
std::string Field(char tag, const std::string& content) {
  std::string field(1, tag);
  for (size_t n = content.size(); n > 0 || field.size() == 1; n >>= 7) {
    field += static_cast<char>(n > 127 ? (n & 127) | 128 : n);
  }
  return field + content;
}

// A plane of one event with a wire oddity, then both no-value sets: a plain
// unknown field, pmu_data also before (merged), second_pmu_data with a length
// not in its shortest form, an empty group, a pmu_data of an unknown field, a
// stat nesting groups just within or just beyond the parse's depth limit.
std::string OddPlane(std::mt19937_64& random) {
  const std::string no_value = FromHex(testing::AllUnknownPmuDataHex());
  const int depth = 96 + static_cast<int>(random() % 2);
  const std::string odd[] = {"\x78\x05",
                             "\x3a\xb1\x01" + no_value,
                             "\x4a\xb1\x81\x00" + no_value,
                             "\x7b\x7c",
                             "\x3a\x03\x88\x01\x01",
                             Field(0x22, std::string(depth, '\x7b') + std::string(depth, '\x7c')),
                             ""};
  const std::string event = odd[random() % 7] + Field(0x3a, no_value) + Field(0x4a, no_value);
  return Field(0x0a, Field(0x1a, Field(0x22, event)));
}

// A space on `arena` as collection builds it (events sharing one no-value
// set), with every kind of field, map entries and unknown fields mixed in.
XSpace* RandomSpace(std::mt19937_64& random, google::protobuf::Arena* arena) {
  auto* space = google::protobuf::Arena::CreateMessage<XSpace>(arena);
  PmuData* shared = google::protobuf::Arena::CreateMessage<PmuData>(arena);
  *shared = testing::AllUnknownPmuData();
  for (int p = random() % 3; p >= 0; --p) {
    XPlane* plane = space->add_planes();
    plane->set_id(static_cast<int64_t>(random() % 3) - 1);
    plane->set_name(p == 0 ? "" : "/host:CPU");
    for (int m = random() % 4; m > 0; --m) {
      (*plane->mutable_event_metadata())[random() % 50].set_name("op" + std::to_string(m));
      (*plane->mutable_stat_metadata())[random() % 50].set_description("d");
    }
    if (random() % 2) plane->add_stats()->set_str_value("plane");
    if (random() % 4 == 0) plane->MergeFromString("\x78\x01");
    for (int l = random() % 4; l > 0; --l) {
      XLine* line = plane->add_lines();
      line->set_id(static_cast<int64_t>(random()));
      line->set_name(l % 2 ? "thread" : "");
      line->set_display_id(l);
      line->set_timestamp_ns(static_cast<int64_t>(random() % 1000));
      if (random() % 4 == 0) line->MergeFromString("\x78\x02");
      for (int e = random() % 40; e > 0; --e) {
        XEvent* event = line->add_events();
        event->set_metadata_id(static_cast<int64_t>(random() % 50));
        if (random() % 5) event->set_offset_ps(static_cast<int64_t>(random()) >> (random() % 64));
        if (random() % 9 == 0) event->set_num_occurrences(e);
        event->set_duration_ps(static_cast<int64_t>(random() % 100000));
        for (int s = random() % 3; s > 0; --s) {
          XStat* stat = event->add_stats();
          stat->set_metadata_id(static_cast<int64_t>(random() % 4) - 1);
          const int64_t value = static_cast<int64_t>(random()) >> (random() % 64);
          const int kind = static_cast<int>(random() % 8);  // each value kind, none, unknown
          if (kind == 0) stat->set_double_value(-0.0);
          if (kind == 1) stat->set_uint64_value(value);
          if (kind == 2) stat->set_int64_value(value);
          if (kind == 3) stat->set_str_value(value % 2 ? "k\xc3\xa9" : "");
          if (kind == 4) stat->set_bytes_value(std::string(random() % 200, 'b'));
          if (kind == 5) stat->set_ref_value(value);
          if (kind == 6) stat->MergeFromString("\x78\x05");
        }
        event->set_pmu_data_flag(random() % 4 == 0);
        event->set_second_pmu_data_flag(random() % 4 == 0);
        const int kind = static_cast<int>(random() % 8);  // shared, own copy, counted, none
        if (kind < 4) event->unsafe_arena_set_allocated_pmu_data(shared);
        if (kind < 3) event->unsafe_arena_set_allocated_second_pmu_data(shared);
        if (kind == 4) *event->mutable_pmu_data() = *shared;
        if (kind == 5) event->mutable_second_pmu_data()->set_mac_ops(random());
        if (kind == 6) event->mutable_device_info()->set_top_bandwidth(1.5);
        if (random() % 6 == 0) event->MergeFromString("\x78\x03");
      }
    }
  }
  return space;
}

// Against the generated code on random spaces: the same bytes written, and
// the same space or the same refusal read back, also from broken bytes.
TEST(XSpaceWireTest, MatchesGeneratedCodeOnRandomSpaces) {
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 random(seed);
    google::protobuf::Arena arena;
    XSpace* space = RandomSpace(random, &arena);
    if (seed % 5 == 0) space->MergeFromString("\x78\x04");
    std::string expected, written = "stale";
    ASSERT_TRUE(space->SerializeToString(&expected));
    ASSERT_TRUE(SerializeXSpace(*space, &written));
    ASSERT_EQ(written, expected) << "seed " << seed;

    const bool odd = seed % 2 == 0;
    const std::string whole = odd ? written + OddPlane(random) : written;
    std::string broken = whole;
    if (!broken.empty()) broken[random() % broken.size()] ^= 1 << (random() % 8);
    const std::string inputs[] = {whole, whole.substr(0, random() % (whole.size() + 1)), broken};
    for (const std::string& input : inputs) {
      XSpace generic;
      const Status expected_status = ParseXSpace(input, &generic);
      google::protobuf::Arena parse_arena;
      auto* parsed = google::protobuf::Arena::CreateMessage<XSpace>(&parse_arena);
      ASSERT_EQ(ParseXSpace(input, parsed), expected_status) << "seed " << seed;
      if (!expected_status.ok()) continue;
      ASSERT_EQ(DeterministicBytes(*parsed), DeterministicBytes(generic)) << "seed " << seed;
      // Without oddities every no-value set read back is the one shared set.
      std::set<const PmuData*> no_value_sets;
      for (const XPlane& plane : parsed->planes()) {
        for (const XLine& line : plane.lines()) {
          for (const XEvent& event : line.events()) {
            for (const PmuData* data : {&event.pmu_data(), &event.second_pmu_data()}) {
              if (data->mac_ops() == ~uint64_t{0}) no_value_sets.insert(data);
            }
          }
        }
      }
      if (!odd && &input == &inputs[0]) {
        EXPECT_LE(no_value_sets.size(), 1u) << "seed " << seed;
      }
    }
  }
}

// An output many pages long comes out the same whatever the string held
// before: nothing, more bytes than the space takes, or fewer.
TEST(XSpaceWireTest, MatchesGeneratedCodeOverAnyEarlierOutput) {
  std::mt19937_64 random(7);
  google::protobuf::Arena arena;
  auto* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  while (space->ByteSizeLong() < 256 * 1024) space->MergeFrom(*RandomSpace(random, &arena));
  std::string expected;
  ASSERT_TRUE(space->SerializeToString(&expected));
  struct Row {
    const char* name;
    std::string before;
    size_t capacity;
  };
  const Row rows[] = {
      {"empty", "", 0},
      {"empty with room", "", 3 * expected.size()},
      {"longer", std::string(2 * expected.size() + 5, 'x'), 0},
      {"shorter", "stale", 0},
  };
  for (const Row& row : rows) {
    std::string written = row.before;
    written.reserve(row.capacity);
    ASSERT_TRUE(SerializeXSpace(*space, &written)) << row.name;
    EXPECT_TRUE(written == expected) << row.name << ": " << written.size() << " bytes";
  }
}

constexpr int kTrimEvents = 12;
constexpr int64_t kQuarterSecondPs = 250'000'000'000;
constexpr int64_t kDayNs = int64_t{86'400} * 1'000'000'000;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Where the twelve events of a trimming space lie: the timestamps of its
// three lines, and for event i, the i-th to start, its line and offset.
struct Timing {
  std::string name;
  int64_t line_ns[3];
  struct {
    int line;
    int64_t offset_ps;
  } events[kTrimEvents];
};

// Event i starts i quarter seconds after `base_ns` on line i % 3; the second
// line's timestamp is 100 ms later than the others'.
Timing QuarterSeconds(const std::string& name, int64_t base_ns) {
  Timing timing{name, {base_ns, base_ns + 100'000'000, base_ns}, {}};
  for (int i = 0; i < kTrimEvents; ++i) {
    const int line = i % 3;
    timing.events[i] = {line, i * kQuarterSecondPs - (timing.line_ns[line] - base_ns) * 1000};
  }
  return timing;
}

// Event 0 starts at the first line's timestamp and event 1 `gap_ps` after
// it on the same line; the other ten start a quarter second apart on the
// other two lines, both at `later_ns`.
Timing TwoClocks(const std::string& name, int64_t first_ns, int64_t gap_ps, int64_t later_ns) {
  Timing timing{name, {first_ns, later_ns, later_ns}, {{0, 0}, {0, gap_ps}}};
  for (int i = 2; i < kTrimEvents; ++i) timing.events[i] = {1 + i % 2, i * kQuarterSecondPs};
  return timing;
}

// A collected space of a host plane (the first two lines of `timing`) and a
// device plane (its third line), each with its metadata and a plane stat,
// holding the first `events` of the twelve events `timing` places. Host
// events share the no-value counter set as collected ones do; every fourth
// event carries a long stat. The device plane also has an idle line at
// timestamp 0.
XSpace* TrimmingSpace(int events, const Timing& timing, google::protobuf::Arena* arena) {
  auto* space = google::protobuf::Arena::CreateMessage<XSpace>(arena);
  PmuData* no_value = google::protobuf::Arena::CreateMessage<PmuData>(arena);
  *no_value = testing::AllUnknownPmuData();
  for (const char* name : {"/host:CPU", "/device:ZRA:0"}) {
    XPlane* plane = space->add_planes();
    plane->set_name(name);
    (*plane->mutable_event_metadata())[1].set_name(std::string(name) + " op");
    (*plane->mutable_stat_metadata())[1].set_name("note");
    plane->add_stats()->set_str_value("plane stat");
  }
  XLine* lines[] = {space->mutable_planes(0)->add_lines(), space->mutable_planes(0)->add_lines(),
                    space->mutable_planes(1)->add_lines()};
  for (int l = 0; l < 3; ++l) lines[l]->set_timestamp_ns(timing.line_ns[l]);
  space->mutable_planes(1)->add_lines()->set_name("idle");
  for (int i = 0; i < events; ++i) {
    XLine* line = lines[timing.events[i].line];
    XEvent* event = line->add_events();
    event->set_metadata_id(1);
    event->set_offset_ps(timing.events[i].offset_ps);
    event->set_duration_ps(1000);
    if (line == lines[2]) {
      event->mutable_pmu_data()->set_mac_ops(i);
    } else {
      event->unsafe_arena_set_allocated_second_pmu_data(no_value);
    }
    if (i % 4 == 0) {
      XStat* stat = event->add_stats();
      stat->set_metadata_id(1);
      stat->set_str_value(std::string(100, 'n'));
    }
  }
  return space;
}

// When event i of `timing` starts, as the warning gives it: seconds rounded
// down to the microsecond.
std::string StartText(const Timing& timing, int i) {
  const __int128 ps = static_cast<__int128>(timing.line_ns[timing.events[i].line]) * 1000 +
                      timing.events[i].offset_ps;
  __int128 micros = ps / 1'000'000 - (ps % 1'000'000 < 0 ? 1 : 0);
  std::string text;
  if (micros < 0) text = "-";
  const unsigned __int128 magnitude = micros < 0 ? -micros : micros;
  char digits[40];
  snprintf(digits, sizeof(digits), "%llu.%06llu",
           static_cast<unsigned long long>(magnitude / 1'000'000),
           static_cast<unsigned long long>(magnitude % 1'000'000));
  return text + digits;
}

// The checks of KeepsTheEarliestEventsThatFitTheLimit for one timing.
void ExpectKeepsTheEarliestEventsThatFit(const Timing& timing) {
  google::protobuf::Arena arena;
  std::vector<std::string> expected;  // the bytes of the first k events, k = 0..12
  for (int k = 0; k <= kTrimEvents; ++k) {
    expected.push_back(TrimmingSpace(k, timing, &arena)->SerializeAsString());
  }
  const size_t whole = expected.back().size();
  struct Case {
    std::string name;
    size_t limit;
    int kept;  // -1: the call fails
  };
  std::vector<Case> cases = {
      {"a byte above the whole space", whole + 1, kTrimEvents},
      {"exactly the whole space", whole, kTrimEvents},
      {"a byte short of the planes alone", expected[0].size() - 1, -1},
  };
  for (int k = 0; k < kTrimEvents; ++k) {
    cases.push_back({"exactly " + std::to_string(k) + " events", expected[k].size(), k});
    cases.push_back(
        {"a byte short of " + std::to_string(k + 1) + " events", expected[k + 1].size() - 1, k});
  }
  // The expected bytes hold both planes with their metadata and stats.
  for (const Case& c : cases) {
    XSpace* space = TrimmingSpace(kTrimEvents, timing, &arena);
    std::string written = "stale";
    testing::StderrCapture capture;
    const bool ok = SerializeXSpaceWithin(space, c.limit, &written);
    const std::vector<std::string> lines =
        testing::LogLinesFrom(capture.Stop(), "trace/core/utils/xspace_wire");
    const std::string too_large = "WARNING The trace takes " + std::to_string(whole) +
                                  " bytes, more than the " + std::to_string(c.limit) +
                                  " that a serialized XSpace can hold";
    if (c.kept < 0) {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_EQ(lines, std::vector<std::string>{too_large + ", even without its 12 events."})
          << c.name;
      continue;
    }
    ASSERT_TRUE(ok) << c.name;
    EXPECT_EQ(written, expected[c.kept]) << c.name;
    const std::vector<std::string> expected_lines =
        c.kept == kTrimEvents
            ? std::vector<std::string>{}
            : std::vector<std::string>{
                  too_large + ": the latest " + std::to_string(kTrimEvents - c.kept) +
                  " of its 12 events, those that start " + StartText(timing, c.kept) +
                  " s or later, are dropped; " + std::to_string(expected[c.kept].size()) +
                  " bytes are kept."};
    EXPECT_EQ(lines, expected_lines) << c.name;
    XSpace parsed;
    EXPECT_TRUE(ParseXSpace(written, &parsed).ok()) << c.name;
  }
}

// A space beyond the limit keeps its earliest events, as many as fit to the
// byte (length prefixes shrink as events go), and its planes' metadata; a
// limit not even the metadata fits in fails. However far apart its lines'
// times lie, events are cut in the order they start: beyond 64 bits of
// picoseconds, and to the 64-bit extremes of timestamps and offsets.
TEST(XSpaceWireTest, KeepsTheEarliestEventsThatFitTheLimit) {
  const Timing timings[] = {
      QuarterSeconds("lines at boot", 0),
      QuarterSeconds("lines of a clock up for 200 days", 200 * kDayNs),
      TwoClocks("a line at 0 beside lines 200 days on", 0, 100 * kDayNs * 1000, 200 * kDayNs),
      TwoClocks("a line a day before boot beside lines 106 days after boot", -kDayNs,
                100 * kDayNs * 1000, 106 * kDayNs),
      TwoClocks("a boot clock's line beside wall clock lines 53 years on",
                3 * 3600 * 1'000'000'000LL, kQuarterSecondPs, 1'700'000'000'000'000'000),
      {"lines at the least, zero and the greatest timestamps",
       {kMin, kMax, 0},
       {{0, kMin},
        {0, 0},
        {0, kMax},
        {2, kMin},
        {2, -1},
        {2, 0},
        {2, kMax},
        {1, kMin},
        {1, -1},
        {1, 0},
        {1, 1},
        {1, kMax}}},
      {"offsets to the least and the greatest on lines a nanosecond apart",
       {0, 1, 2},
       {{0, kMin},
        {1, kMin},
        {2, kMin},
        {0, -1},
        {1, -1000},
        {2, -1000},
        {0, kMax - 1},
        {0, kMax},
        {1, kMax - 999},
        {2, kMax - 1500},
        {1, kMax},
        {2, kMax - 999}}},  // 1 ps after the one before: the search's top end
  };
  for (const Timing& timing : timings) {
    SCOPED_TRACE(timing.name);
    ExpectKeepsTheEarliestEventsThatFit(timing);
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
