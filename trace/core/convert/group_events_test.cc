#include "trace/core/convert/group_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "testing/proto_bytes.h"
#include "testing/xspace_reader.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"
#include "trace/core/utils/xplane_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::Contains;
using ::testing::Pair;
using ::zentrik::testing::StatTexts;

constexpr char kDevice0[] = "/device:ZRA:0";

using Value = std::variant<int64_t, uint64_t, std::string>;

// One event as written straight into a plane, for shapes the tracers never
// produce (named launches, odd stat kinds, cycles).
struct Ev {
  std::string name;
  int64_t offset_ps = 0;
  int64_t duration_ps = 0;
  std::vector<std::pair<std::string, Value>> stats;
};

void AddEvents(XSpace* space, const std::string& plane_name, int64_t line_id,
               const std::vector<Ev>& events) {
  XPlaneBuilder plane(FindOrAddMutablePlaneWithName(space, plane_name));
  XLineBuilder line = plane.GetOrCreateLine(line_id);
  for (const Ev& ev : events) {
    XEventBuilder event = line.AddEvent(*plane.GetOrCreateEventMetadata(ev.name));
    event.SetOffsetPs(ev.offset_ps);
    event.SetDurationPs(ev.duration_ps);
    for (const auto& [stat_name, value] : ev.stats) {
      const XStatMetadata& metadata = *plane.GetOrCreateStatMetadata(stat_name);
      std::visit([&](const auto& v) { event.AddStatValue(metadata, v); }, value);
    }
  }
}

const std::pair<std::string, Value> kRoot = {"_r", int64_t{1}};

std::pair<std::string, Value> Corr(Value value) { return {"correlation_id", std::move(value)}; }

TEST(GroupEventsTest, DeepChainsOfIdenticalEventsAreGroupedWhole) {
  constexpr int kDepth = 10000;
  XSpace space;
  std::vector<Ev> launches(kDepth, Ev{"TaskLaunch", 0, 1000, {kRoot}});
  launches.front().stats.push_back(Corr(uint64_t{5}));
  AddEvents(&space, kHostPlaneName, 1, launches);
  std::vector<Ev> executions(kDepth, Ev{"TaskExecute", 0, 1000, {}});
  AddEvents(&space, kDevice0, 1, {{"kernel", 0, 2000, {Corr(uint64_t{5})}}});
  AddEvents(&space, kDevice0, 1, executions);
  SortXSpace(&space);
  EventGrouper grouper;
  GroupEvents(&space, &grouper);
  ASSERT_EQ(grouper.GetGroupMetadataMap().size(), 1u);
  const XPlane& device = *FindPlaneWithName(space, kDevice0);
  ASSERT_THAT(StatTexts(device, device.lines(0).events(kDepth)), Contains(Pair("group_id", "0")));
  // Every execution joined the last launch: the deepest of the chain.
  const auto& nodes = grouper.GetEventNodeMap();
  const EventNode* last_launch = nodes.at(TaskLaunch).back();
  EXPECT_EQ(nodes.at(TaskExecute).back()->GetParents().back(), last_launch);
  EXPECT_EQ(last_launch->GetChildren().size(), kDepth + 1u);
}

// The grouping pass written as plainly as the rules read: every key and every
// root check is a breadth-first walk of its own, every key read after the
// links made before it.
GroupMetadataMap GroupByDirectWalks(XSpace* space, const std::vector<CrossThreadLinkRule>& rules) {
  EventGrouper grouper;
  grouper.AddSpace(CreateTypedXPlaneVisitor, space);
  grouper.LinkEvents({});  // nesting only
  const EventNodeMap& nodes = grouper.GetEventNodeMap();
  auto key_of = [](const EventNode& node,
                   const std::vector<int64_t>& types) -> std::optional<std::vector<uint64_t>> {
    std::vector<uint64_t> key;
    for (int64_t type : types) {
      auto stat = node.FindNearestStat(type);
      if (!stat) return std::nullopt;
      key.push_back(stat->ValueCase() == XStat::kInt64Value    ? stat->IntValue()
                    : stat->ValueCase() == XStat::kUint64Value ? stat->UintValue()
                                                               : 0);
    }
    return key;
  };
  for (const CrossThreadLinkRule& rule : rules) {
    if (nodes.count(rule.parent_event_type) == 0 || nodes.count(rule.child_event_type) == 0) {
      continue;
    }
    std::map<std::vector<uint64_t>, EventNode*> parent_by_key;
    for (EventNode* node : nodes.at(rule.parent_event_type)) {
      if (auto key = key_of(*node, rule.parent_stat_types)) parent_by_key[*key] = node;
    }
    for (EventNode* node : nodes.at(rule.child_event_type)) {
      auto key = key_of(
          *node, rule.child_stat_types.empty() ? rule.parent_stat_types : rule.child_stat_types);
      if (key && parent_by_key.count(*key) != 0) parent_by_key[*key]->AddChild(node);
    }
  }
  std::vector<EventNode*> roots = grouper.GetRootEvents();
  std::stable_sort(roots.begin(), roots.end(), [](const EventNode* a, const EventNode* b) {
    return static_cast<int64_t>(a->StartPs()) < static_cast<int64_t>(b->StartPs());
  });
  GroupMetadataMap groups;
  int64_t next_group_id = 0;
  for (EventNode* root : roots) {
    if (root->GetGroupId() || root->FindParent(IsTopRoot, /*include_self=*/false)) continue;
    root->SpreadGroupId(next_group_id, &groups);
    root->SetStepName(root->GetGroupName());
    groups[next_group_id++].name = root->GetGroupName();
  }
  return groups;
}

// Small spaces full of nesting, equal starts, named launches and executions
// on both kinds of plane, repeated keys and cycles.
XSpace RandomSpace(std::mt19937* rng) {
  auto pick = [rng](int n) { return static_cast<int>((*rng)() % n); };
  const char* const kNames[] = {"TaskLaunch", "TaskExecute", "op", "Step"};
  XSpace space;
  for (const char* plane : {kHostPlaneName, "/device:ZRA:0", "/device:ZRA:1"}) {
    const int num_lines = 1 + pick(3);
    for (int line = 0; line < num_lines; ++line) {
      // Deep lines nest most events in one another; wide ones only some.
      const bool deep = pick(2) == 0;
      std::vector<Ev> events(pick(20));
      for (Ev& ev : events) {
        ev.name = kNames[pick(4)];
        ev.offset_ps = pick(8) * (deep ? 2 : 10);
        ev.duration_ps = deep ? 100 - ev.offset_ps - pick(8) * 2 : pick(8) * 10;
        // Keys: signed and unsigned of the same bits, text (joins as 0).
        const Value keys[] = {int64_t{-1}, int64_t{0}, int64_t{1}, uint64_t{0},
                              uint64_t{1}, uint64_t{2}, ~uint64_t{0}, std::string("c")};
        if (pick(5) < 2) ev.stats.push_back(Corr(keys[pick(8)]));
        if (pick(4) == 0) ev.stats.emplace_back("_r", int64_t{pick(2)});
      }
      AddEvents(&space, plane, line, events);
    }
  }
  SortXSpace(&space);
  return space;
}

// Groups `space` by `rules` and a copy of it by the direct walks: both must
// write the same bytes and the same groups.
void GroupBothWays(XSpace* space, const std::vector<CrossThreadLinkRule>& rules) {
  SortXSpace(space);
  XSpace expected_space = *space;
  // On an arena the events of a group share one group_id stat.
  google::protobuf::Arena arena;
  XSpace* on_arena = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  *on_arena = *space;
  const GroupMetadataMap expected = GroupByDirectWalks(&expected_space, rules);
  for (XSpace* grouped : {space, on_arena}) {
    EventGrouper grouper;
    grouper.AddSpace(CreateTypedXPlaneVisitor, grouped);
    grouper.LinkEvents(rules);
    grouper.AssignGroups();
    EXPECT_EQ(::zentrik::testing::DeterministicBytes(*grouped),
              ::zentrik::testing::DeterministicBytes(expected_space))
        << (grouped == space ? "on the heap" : "on an arena");
  }
  EventGrouper grouper;
  grouper.AddSpace(CreateTypedXPlaneVisitor, space);
  grouper.LinkEvents(rules);
  grouper.AssignGroups();
  const GroupMetadataMap& actual = grouper.GetGroupMetadataMap();
  ASSERT_EQ(actual.size(), expected.size());
  for (int64_t id = 0; id < static_cast<int64_t>(expected.size()); ++id) {
    const GroupInfo& info = expected.at(id);
    ASSERT_EQ(actual.count(id), 1u) << id;
    EXPECT_EQ(actual.at(id).name, info.name) << id;
    EXPECT_EQ(actual.at(id).parent_groups, info.parent_groups) << id;
    EXPECT_EQ(actual.at(id).child_groups, info.child_groups) << id;
  }
}

TEST(GroupEventsTest, MatchesDirectWalksOnRandomSpaces) {
  // The built-in rules, and a rule keyed on `_r` read after the first links.
  CrossThreadLinkRule after_links;
  after_links.parent_event_type = UnknownHostEventType;
  after_links.child_event_type = TaskExecute;
  after_links.parent_stat_types = {StatType::_r};
  after_links.child_stat_types = {StatType::correlation_id};
  const std::vector<CrossThreadLinkRule> rule_sets[] = {
      MakeCrossThreadLinkRules(), {MakeCrossThreadLinkRules().front(), after_links}};

  std::mt19937 rng(7);
  for (int round = 0; round < 1500 && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    XSpace space = RandomSpace(&rng);
    GroupBothWays(&space, rule_sets[round % 2]);
  }
}

// One line of a grouping scenario.
struct LineEvents {
  const char* plane;
  int64_t line_id;
  std::vector<Ev> events;
};

// Every event's group_id and step_name stats as "<name> <id>/<step name>",
// "-" for a missing stat, in plane, line and event order; then each group as
// "<name> <parent groups> <child groups>".
std::string GroupedText(const XSpace& space, const GroupMetadataMap& groups) {
  std::string text;
  for (const XPlane& plane : space.planes()) {
    for (const XLine& line : plane.lines()) {
      for (const XEvent& event : line.events()) {
        const auto texts = StatTexts(plane, event);
        const auto stat = [&texts](const char* key) {
          const auto it = texts.find(key);
          return it == texts.end() ? std::string("-") : it->second;
        };
        text += plane.event_metadata().at(event.metadata_id()).name() + " " + stat("group_id") +
                "/" + stat("step_name") + "\n";
      }
    }
  }
  const auto ids = [](const std::set<int64_t>& set) {
    std::string list = "[";
    for (const int64_t id : set) list += (list.size() > 1 ? "," : "") + std::to_string(id);
    return list + "]";
  };
  for (int64_t id = 0; id < static_cast<int64_t>(groups.size()); ++id) {
    const GroupInfo& info = groups.at(id);
    text +=
        "group " + info.name + " " + ids(info.parent_groups) + " " + ids(info.child_groups) + "\n";
  }
  return text;
}

// What grouping writes, checked on its own rather than against the direct
// walks, which share the nesting, the root flag and the group spreading.
TEST(GroupEventsTest, NestsLinksAndGroupsByTheRules) {
  const struct {
    const char* label;
    std::vector<LineEvents> lines;
    const char* grouped;
  } cases[] = {
      {"nesting by containment, both ends included",
       {{kHostPlaneName,
         1,
         {{"step", 0, 100, {kRoot}},
          {"same", 0, 100, {}},  // same start and duration: below "step"
          {"inner", 10, 20, {}},
          {"ends_at_end", 40, 60, {}},  // ends where "same" ends
          {"overlap", 50, 100, {}},     // sticks out: pops the others
          {"after", 120, 10, {}}}}},    // inside "overlap" only
       "step 0/step 0\nsame 0/-\ninner 0/-\nends_at_end 0/-\noverlap -/-\nafter -/-\n"
       "group step 0 [] []\n"},
      {"launches join executions by correlation id; an id types an event by its plane",
       {{kHostPlaneName,
         1,
         {{"step", 0, 1000, {kRoot}},
          {"launch7", 100, 10, {Corr(uint64_t{7})}},
          {"launch8", 200, 10, {Corr(uint64_t{8})}}}},
        {kDevice0,
         3,
         {{"kernel7", 500, 100, {Corr(uint64_t{7})}},
          {"inside7", 510, 10, {}},  // no id of its own: only nests
          {"kernel9", 700, 100, {Corr(uint64_t{9})}}}}},
       "step 0/step 0\nlaunch7 0/-\nlaunch8 0/-\n"
       "kernel7 0/-\ninside7 0/-\nkernel9 -/-\ngroup step 0 [] []\n"},
      {"group ids follow root starts; a root below a root starts no group",
       {{kHostPlaneName,
         1,
         {{"late", 300, 100, {kRoot}},
          {"outer", 100, 100, {kRoot}},
          {"nested", 120, 10, {kRoot}},
          {"launch", 150, 10, {Corr(uint64_t{1})}}}},
        {kHostPlaneName, 2, {{"first", 0, 50, {kRoot}}}},
        // Starts before its launch's root: reached from "outer", it starts
        // no group of its own.
        {kDevice0, 1, {{"device_root", 20, 1000, {kRoot, Corr(uint64_t{1})}}}}},
       "outer 1/outer 1\nnested 1/-\nlaunch 1/-\nlate 2/late 2\nfirst 0/first 0\n"
       "device_root 1/-\ngroup first 0 [] []\ngroup outer 1 [] []\ngroup late 2 [] []\n"},
      {"a group stops at the events of an earlier group",
       {{kHostPlaneName,
         1,
         {{"host_step", 100, 100, {kRoot}},
          {"launch", 110, 10, {Corr(uint64_t{4})}},
          {"host_op", 150, 10, {}}}},
        {kDevice0,
         1,
         {{"device_step", 0, 1000, {kRoot}},
          {"kernel", 500, 10, {Corr(uint64_t{4})}},
          {"kernel_part", 505, 1, {}}}}},
       "host_step 1/host_step 1\nlaunch 1/-\nhost_op 1/-\n"
       "device_step 0/device_step 0\nkernel 0/-\nkernel_part 0/-\n"
       "group device_step 0 [1] []\ngroup host_step 1 [] [0]\n"},
      {"host and device events of one step",
       {{kHostPlaneName,
         1,
         {{"host_step", 100, 1000, {kRoot}},
          {"same", 100, 1000, {}},
          {"launch", 110, 10, {Corr(uint64_t{4})}},
          {"ends_at_end", 1000, 100, {}},
          {"overlap", 1050, 100, {}},
          {"nested_root", 1060, 10, {kRoot}}}},
        {kHostPlaneName, 2, {{"late", 3000, 100, {kRoot}}}},
        {kDevice0,
         1,
         {{"kernel", 500, 10, {Corr(uint64_t{4})}},
          {"kernel_part", 505, 1, {}},
          {"lost", 700, 10, {Corr(uint64_t{9})}}}}},
       "host_step 0/host_step 0\nsame 0/-\nlaunch 0/-\nends_at_end 0/-\noverlap -/-\n"
       "nested_root 1/nested_root 1\nlate 2/late 2\nkernel 0/-\nkernel_part 0/-\nlost -/-\n"
       "group host_step 0 [] []\ngroup nested_root 1 [] []\ngroup late 2 [] []\n"},
      {"group stats of another kind are replaced, not added",
       {{kHostPlaneName,
         1,
         {{"Step", 0, 100, {kRoot, {"group_id", std::string("old")}, {"step_name", int64_t{9}}}},
          {"op", 10, 10, {{"group_id", uint64_t{7}}}}}}},
       "Step 0/Step 0\nop 0/-\ngroup Step 0 [] []\n"},
  };
  for (const auto& c : cases) {
    XSpace space;
    for (const LineEvents& line : c.lines) AddEvents(&space, line.plane, line.line_id, line.events);
    // Display names must not name steps.
    for (XPlane& plane : *space.mutable_planes()) {
      for (auto& [id, metadata] : *plane.mutable_event_metadata()) metadata.set_display_name("x");
    }
    SortXSpace(&space);
    EventGrouper grouper;
    GroupEvents(&space, &grouper);
    EXPECT_EQ(GroupedText(space, grouper.GetGroupMetadataMap()), c.grouped) << c.label;
    for (const XPlane& plane : space.planes()) {
      for (const XLine& line : plane.lines()) {
        for (const XEvent& event : line.events()) {
          const auto texts = StatTexts(plane, event);
          EXPECT_LE(texts.count("group_id"), 1u) << c.label;
          EXPECT_LE(texts.count("step_name"), 1u) << c.label;
        }
      }
    }
  }
}

// Only a non-zero int64 `_r` makes a root; of several the last decides.
TEST(GroupEventsTest, RootFlagIsANonZeroInt64RStat) {
  const struct {
    const char* label;
    std::vector<Value> r_values;
    bool is_root;
  } cases[] = {
      {"int64 1", {int64_t{1}}, true},
      {"int64 -1", {int64_t{-1}}, true},
      {"int64 0", {int64_t{0}}, false},
      {"uint64 1", {uint64_t{1}}, false},
      {"string", {std::string("1")}, false},
      {"none", {}, false},
      {"last of 1, 0", {int64_t{1}, int64_t{0}}, false},
      {"last of 0, 1", {int64_t{0}, int64_t{1}}, true},
      {"last of 1, string", {int64_t{1}, std::string("x")}, false},
  };
  for (const auto& c : cases) {
    XSpace space;
    Ev event{"Step", 0, 10, {}};
    for (const Value& value : c.r_values) event.stats.emplace_back("_r", value);
    AddEvents(&space, kHostPlaneName, 1, {event});
    EventGrouper grouper;
    GroupEvents(&space, &grouper);
    EXPECT_EQ(grouper.GetRootEvents().size(), c.is_root ? 1u : 0u) << c.label;
    EXPECT_EQ(GroupedText(space, grouper.GetGroupMetadataMap()),
              c.is_root ? "Step 0/Step 0\ngroup Step 0 [] []\n" : "Step -/-\n")
        << c.label;
  }
}

// On an arena the events of a group share their group_id stat; giving one of
// them another group later, through a new grouper over the same space,
// changes that event alone.
TEST(GroupEventsTest, ANewGroupIdOnAnArenaChangesOnlyItsEvent) {
  google::protobuf::Arena arena;
  XSpace* space = google::protobuf::Arena::CreateMessage<XSpace>(&arena);
  AddEvents(space, kHostPlaneName, 1,
            {{"step", 0, 100, {kRoot}}, {"a", 10, 10, {}}, {"b", 30, 10, {}}, {"c", 50, 10, {}}});
  {
    EventGrouper grouper;
    GroupEvents(space, &grouper);
  }
  EventGrouper again;
  again.AddSpace(CreateTypedXPlaneVisitor, space);
  again.LinkEvents(MakeCrossThreadLinkRules());
  for (const auto& [type, nodes] : again.GetEventNodeMap()) {
    for (EventNode* node : nodes) {
      if (node->StartPs() == 30) node->SetGroupId(7);
    }
  }
  const XPlane& plane = space->planes(0);
  const std::pair<const char*, const char*> group_ids[] = {
      {"step", "0"}, {"a", "0"}, {"b", "7"}, {"c", "0"}};
  for (const auto& [name, group_id] : group_ids) {
    EXPECT_THAT(StatTexts(plane, ::zentrik::testing::EventNamed(plane, name)),
                Contains(Pair("group_id", group_id)))
        << name;
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
