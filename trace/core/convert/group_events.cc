#include "trace/core/convert/group_events.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <new>
#include <unordered_map>
#include <utility>

#include "common/platform/prefault.h"
#include "trace/core/utils/xplane_builder.h"
#include "trace/core/utils/xplane_schema.h"

namespace zentrik {
namespace trace {
namespace {

// The visited set of one walk: open addressing over the nodes' creation
// numbers, so that the many small walks of grouping allocate little.
class VisitedSet {
 public:
  // True when `node` was not in the set before.
  bool Insert(const EventNode* node) {
    if (2 * (size_ + 1) > slots_.size()) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = Hash(node) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == node) return false;
      if (slots_[i] == nullptr) {
        slots_[i] = node;
        ++size_;
        return true;
      }
    }
  }

 private:
  static size_t Hash(const EventNode* node) {
    return static_cast<size_t>(node->Index() * 0x9e3779b97f4a7c15ULL >> 16);
  }

  void Grow() {
    std::vector<const EventNode*> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    size_ = 0;
    for (const EventNode* node : old) {
      if (node != nullptr) Insert(node);
    }
  }

  std::vector<const EventNode*> slots_;
  size_t size_ = 0;
};

// The id of the plane's metadata of `stat_type`, or -1 when it has none.
int64_t StatMetadataId(const XPlaneVisitor& plane, int64_t stat_type) {
  const XStatMetadata* metadata = plane.GetStatMetadataByType(stat_type);
  return metadata == nullptr ? -1 : metadata->id();
}

// Hashes a join key for the map of parents by key.
struct KeyHash {
  size_t operator()(const std::vector<uint64_t>& key) const {
    uint64_t hash = key.size();
    for (uint64_t word : key) hash = (hash ^ word) * 0x100000001b3ULL + (hash >> 29);
    return static_cast<size_t>(hash);
  }
};

// The join-key word of a stat: integers as 64-bit words, any other kind 0.
uint64_t KeyWord(const XStatVisitor& stat) {
  switch (stat.ValueCase()) {
    case XStat::kInt64Value:
      return static_cast<uint64_t>(stat.IntValue());
    case XStat::kUint64Value:
      return stat.UintValue();
    default:
      return 0;
  }
}

// Answers EventNode::FindNearestStatHolder for one stat type without walking
// the same ancestors again for every node. A node without the stat and with
// exactly one parent has the answer of that parent (the breadth-first walk
// from it is the node followed by the walk from its parent), so answers along
// such chains are remembered; a node with several parents, which only a
// cross-thread link gives, is answered by the walk itself. Where keys are read
// after each link, linking a node that lacks the stat can change the answers
// below it, so the caller then invalidates all remembered answers.
class NearestStatFinder {
 public:
  NearestStatFinder(int64_t stat_type, size_t num_nodes)
      : stat_type_(stat_type), memo_(num_nodes) {}

  int64_t stat_type() const { return stat_type_; }

  const EventNode* FindHolder(const EventNode& start) {
    ++walk_;
    path_.clear();
    const EventNode* node = &start;
    const EventNode* holder = nullptr;
    for (;;) {
      Entry& entry = memo_[node->Index()];
      if (entry.version == version_) {
        holder = entry.holder;
        break;
      }
      if (node->HasStat(stat_type_)) {
        holder = node;
        break;
      }
      size_t num_parents = 0;
      const EventNode* parent = nullptr;
      node->ForEachParent([&](const EventNode* p) {
        if (num_parents++ == 0) parent = p;
      });
      if (num_parents > 1) {
        holder = node->FindNearestStatHolder(stat_type_);
        break;
      }
      // A chain that ends, or runs into itself, without the stat has none.
      if (parent == nullptr || entry.walk == walk_) break;
      entry.walk = walk_;
      path_.push_back(node);
      node = parent;
    }
    Remember(node, holder);
    for (const EventNode* on_path : path_) Remember(on_path, holder);
    return holder;
  }

  void Invalidate() { ++version_; }

 private:
  struct Entry {
    uint64_t version = 0;  // valid when equal to version_
    uint64_t walk = 0;     // on the current walk's path when equal to walk_
    const EventNode* holder = nullptr;
  };

  void Remember(const EventNode* node, const EventNode* holder) {
    Entry& entry = memo_[node->Index()];
    entry.version = version_;
    entry.holder = holder;
  }

  int64_t stat_type_;
  std::vector<Entry> memo_;
  std::vector<const EventNode*> path_;
  uint64_t version_ = 1;
  uint64_t walk_ = 0;
};

// The finders of the stat types one rule reads, one per type.
class NearestStatFinders {
 public:
  NearestStatFinders(const CrossThreadLinkRule& rule, size_t num_nodes) {
    for (const auto* types : {&rule.parent_stat_types, &rule.child_stat_types}) {
      for (int64_t type : *types) {
        if (Find(type) == nullptr) finders_.emplace_back(type, num_nodes);
      }
    }
  }

  // The join key of `node`: the nearest stat's value for every type, or
  // empty when one of the types has no stat.
  std::optional<std::vector<uint64_t>> MakeKey(const EventNode& node,
                                               const std::vector<int64_t>& stat_types) {
    std::vector<uint64_t> key;
    key.reserve(stat_types.size());
    for (int64_t type : stat_types) {
      const EventNode* holder = Find(type)->FindHolder(node);
      if (holder == nullptr) return std::nullopt;
      key.push_back(KeyWord(*holder->GetStat(type)));
    }
    return key;
  }

  // Call after `child` gained a parent.
  void OnLinked(const EventNode& child) {
    for (NearestStatFinder& finder : finders_) {
      // A walk stops at a node that has the stat, so only a node without it
      // passes its new parent on to the answers below it.
      if (!child.HasStat(finder.stat_type())) finder.Invalidate();
    }
  }

 private:
  NearestStatFinder* Find(int64_t type) {
    for (NearestStatFinder& finder : finders_) {
      if (finder.stat_type() == type) return &finder;
    }
    return nullptr;
  }

  std::deque<NearestStatFinder> finders_;
};

// For every root, whether a root other than itself lies among its ancestors,
// the question FindParent(IsTopRoot) answers for each root while groups are
// assigned (the graph no longer changes then). Every root sends its own mark
// down to all its descendants; a node keeps the first two distinct marks that
// reach it, which is enough to tell "reached from another root" for a root
// that lies on a cycle with itself. Each node forwards at most two marks, so
// this costs linear time instead of one walk to the top per root.
class RootsBelowRoots {
 public:
  RootsBelowRoots(const std::vector<EventNode*>& roots, size_t num_nodes) : marks_(num_nodes) {
    for (const EventNode* root : roots) {
      root->ForEachChild([&](const EventNode* child) { Mark(child, root); });
    }
    for (size_t next = 0; next < queue_.size(); ++next) {
      const auto [node, root] = queue_[next];
      node->ForEachChild([&, root = root](const EventNode* child) { Mark(child, root); });
    }
  }

  bool HasRootAbove(const EventNode& root) const {
    const Marks& marks = marks_[root.Index()];
    return (marks[0] != nullptr && marks[0] != &root) || (marks[1] != nullptr && marks[1] != &root);
  }

 private:
  using Marks = std::array<const EventNode*, 2>;

  void Mark(const EventNode* node, const EventNode* root) {
    Marks& marks = marks_[node->Index()];
    if (marks[0] == root || marks[1] == root) return;
    if (marks[0] == nullptr) {
      marks[0] = root;
    } else if (marks[1] == nullptr) {
      marks[1] = root;
    } else {
      return;
    }
    queue_.emplace_back(node, root);
  }

  std::vector<Marks> marks_;
  std::vector<std::pair<const EventNode*, const EventNode*>> queue_;  // read from the front
};

}  // namespace

std::vector<CrossThreadLinkRule> MakeCrossThreadLinkRules() {
  CrossThreadLinkRule rule;
  rule.parent_event_type = HostEventType::TaskLaunch;
  rule.child_event_type = HostEventType::TaskExecute;
  rule.parent_stat_types = {StatType::correlation_id};
  return {rule};
}

EventNode::EventNode(const XPlaneVisitor* plane, XLine* line, XEvent* event, size_t index)
    : plane_(plane),
      event_(event),
      start_ps_(static_cast<uint64_t>(line->timestamp_ns()) * 1000 +
                static_cast<uint64_t>(event->offset_ps())),
      end_ps_(start_ps_ + static_cast<uint64_t>(event->duration_ps())),
      index_(static_cast<uint32_t>(index)) {
  // One pass over the stats answers what grouping asks of every event.
  const int64_t correlation_id = StatMetadataId(*plane, StatType::correlation_id);
  const int64_t group_id = StatMetadataId(*plane, StatType::group_id);
  for (const XStat& stat : event->stats()) {
    const int64_t id = stat.metadata_id();
    holds_correlation_id_ |= id == correlation_id;
    holds_group_id_ |= id == group_id;
    // When an event carries several `_r` stats the last one decides.
    if (plane->GetStatType(id) == StatType::_r) {
      is_root_ = stat.value_case() == XStat::kInt64Value && stat.int64_value() != 0;
    }
  }
}

EventNode::MoreLinks* EventNode::More() {
  if (more_ == nullptr) more_ = std::make_unique<MoreLinks>();
  return more_.get();
}

void EventNode::AddChild(EventNode* child) {
  if (child->first_parent_ == nullptr) {
    child->first_parent_ = this;
    child->next_sibling_ = first_child_;
    first_child_ = child;
    return;
  }
  More()->children.push_back(child);
  child->More()->parents.push_back(this);
}

std::vector<EventNode*> EventNode::GetParents() const {
  std::vector<EventNode*> parents;
  ForEachParent([&parents](EventNode* parent) { parents.push_back(parent); });
  return parents;
}

std::vector<EventNode*> EventNode::GetChildren() const {
  std::vector<EventNode*> children;
  ForEachChild([&children](EventNode* child) { children.push_back(child); });
  return children;
}

template <typename Setter>
void EventNode::SetStat(int64_t stat_type, Setter set) {
  const XStatMetadata* metadata = plane_->GetStatMetadataByType(stat_type);
  // The grouper gave every plane this metadata before building its visitor.
  if (metadata == nullptr) return;
  set(FindOrAddMutableStat(*metadata, event_->mutable_stats()));
}

void EventNode::SetGroupId(int64_t group_id) {
  group_id_ = group_id;
  has_group_id_ = true;
  WriteGroupIdStat();
}

void EventNode::WriteGroupIdStat() {
  const XStatMetadata* metadata = plane_->GetStatMetadataByType(StatType::group_id);
  // The grouper gave every plane this metadata before building its visitor.
  if (metadata == nullptr) return;
  auto* stats = event_->mutable_stats();
  // Most events hold no group_id yet: no need to look through their stats.
  if (holds_group_id_) {
    for (auto slot = stats->pointer_begin(); slot != stats->pointer_end(); ++slot) {
      if ((*slot)->metadata_id() != metadata->id()) continue;
      // On an arena the stat may be shared with other events (see
      // WriteGroupStats): this event gets a copy of its own to change.
      if (google::protobuf::Arena* arena = event_->GetArena()) {
        XStat* own = google::protobuf::Arena::CreateMessage<XStat>(arena);
        own->CopyFrom(**slot);
        *slot = own;
      }
      (*slot)->set_int64_value(group_id_);
      return;
    }
  }
  XStat* stat = stats->Add();
  stat->set_metadata_id(metadata->id());
  stat->set_int64_value(group_id_);
  holds_group_id_ = true;
}

void EventNode::WriteGroupIdStat(XStat** shared) {
  google::protobuf::Arena* arena = event_->GetArena();
  const XStatMetadata* metadata = plane_->GetStatMetadataByType(StatType::group_id);
  if (holds_group_id_ || arena == nullptr || metadata == nullptr) {
    WriteGroupIdStat();
    return;
  }
  if (*shared == nullptr || (*shared)->metadata_id() != metadata->id() ||
      (*shared)->GetArena() != arena) {
    *shared = google::protobuf::Arena::CreateMessage<XStat>(arena);
    (*shared)->set_metadata_id(metadata->id());
    (*shared)->set_int64_value(group_id_);
  }
  event_->mutable_stats()->UnsafeArenaAddAllocated(*shared);
  holds_group_id_ = true;
}

void EventNode::SetStepName(const std::string& name) {
  SetStat(StatType::step_name, [&name](XStat* stat) { stat->set_str_value(name); });
}

std::string EventNode::GetGroupName() const {
  std::string name = plane_->GetEventMetadata(event_->metadata_id())->name();
  name += ' ';
  if (has_group_id_) name += std::to_string(group_id_);
  return name;
}

std::optional<XStatVisitor> EventNode::GetStat(int64_t stat_type) const {
  const XStatMetadata* metadata = plane_->GetStatMetadataByType(stat_type);
  if (metadata == nullptr) return std::nullopt;
  for (const XStat& stat : event_->stats()) {
    if (stat.metadata_id() == metadata->id()) return XStatVisitor(plane_, &stat, metadata, stat_type);
  }
  return std::nullopt;
}

bool EventNode::HasStat(int64_t stat_type) const {
  if (stat_type == StatType::correlation_id) return holds_correlation_id_;
  return GetStat(stat_type).has_value();
}

const EventNode* EventNode::FindNearestStatHolder(int64_t stat_type) const {
  return FindParent([stat_type](const EventNode& node) { return node.HasStat(stat_type); },
                    /*include_self=*/true);
}

std::optional<XStatVisitor> EventNode::FindNearestStat(int64_t stat_type) const {
  const EventNode* holder = FindNearestStatHolder(stat_type);
  if (holder == nullptr) return std::nullopt;
  return holder->GetStat(stat_type);
}

const EventNode* EventNode::FindParent(const std::function<bool(const EventNode&)>& predicate,
                                       bool include_self) const {
  VisitedSet visited;
  visited.Insert(this);
  std::vector<const EventNode*> nodes;  // a queue: nodes[next] is its front
  auto visit_parents = [&](const EventNode& node) {
    node.ForEachParent([&](const EventNode* parent) {
      if (visited.Insert(parent)) nodes.push_back(parent);
    });
  };
  if (include_self) {
    nodes.push_back(this);
  } else {
    visit_parents(*this);
  }
  for (size_t next = 0; next < nodes.size(); ++next) {
    const EventNode* node = nodes[next];
    if (predicate(*node)) return node;
    visit_parents(*node);
  }
  return nullptr;
}

void EventNode::SpreadGroupId(int64_t group_id, GroupMetadataMap* group_metadata_map,
                              std::vector<EventNode*>* scratch) {
  Spread(group_id, group_metadata_map, scratch, [group_id](EventNode* node) {
    node->SetGroupId(group_id);
  });
}

template <typename Join>
void EventNode::Spread(int64_t group_id, GroupMetadataMap* group_metadata_map,
                       std::vector<EventNode*>* scratch, Join join) {
  // Which nodes join the group does not depend on the order of the walk, so
  // a node joins when first reached, and its group id then marks it visited.
  std::vector<EventNode*> own;
  std::vector<EventNode*>& pending = scratch != nullptr ? *scratch : own;
  pending.clear();
  auto reach = [&](EventNode* node) {
    if (!node->has_group_id_) {
      join(node);
      pending.push_back(node);
    } else if (node->group_id_ != group_id) {
      const int64_t other = node->group_id_;
      (*group_metadata_map)[group_id].child_groups.insert(other);
      (*group_metadata_map)[other].parent_groups.insert(group_id);
    }
  };
  reach(this);
  while (!pending.empty()) {
    EventNode* node = pending.back();
    pending.pop_back();
    node->ForEachChild(reach);
  }
}

bool IsTopRoot(const EventNode& node) { return node.IsRoot(); }

XPlaneVisitor CreateTypedXPlaneVisitor(const XPlane* plane) {
  return XPlaneVisitor(plane, {FindHostEventType}, {FindStatType});
}

void EventGrouper::AddSpace(const XPlaneVisitorFactory& visitor_factory, XSpace* space) {
  for (XPlane& plane : *space->mutable_planes()) AddPlane(visitor_factory, &plane);
}

void EventGrouper::AddPlane(const XPlaneVisitorFactory& visitor_factory, XPlane* plane) {
  {
    XPlaneBuilder builder(plane);
    builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::group_id));
    builder.GetOrCreateStatMetadata(GetStatTypeStr(StatType::step_name));
  }
  // Built after the metadata exists, so the visitor resolves both.
  planes_.emplace_back(plane, visitor_factory(plane));
}

EventGrouper::NodeStore::~NodeStore() {
  for (Block& block : blocks_) {
    for (size_t i = 0; i < block.used; ++i) block.at(i)->~EventNode();
    munmap(block.memory, block.capacity * sizeof(EventNode));
  }
}

void EventGrouper::NodeStore::Reserve(size_t count) {
  if (!blocks_.empty() && blocks_.back().capacity - blocks_.back().used >= count) return;
  const size_t capacity = std::max<size_t>(count, 256);
  blocks_.reserve(blocks_.size() + 1);
  // Mapped, not taken from the heap: the heap would keep these pages once
  // grouping is over, while the space is serialized and memory peaks.
  // Mapped memory is aligned for any ordinary type.
  void* memory = mmap(nullptr, capacity * sizeof(EventNode), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  // A line's nodes fill their block: one request faults it in cheaper.
  PrefaultForWrite(memory, capacity * sizeof(EventNode));
  Block block;
  block.memory = memory;
  block.capacity = capacity;
  blocks_.push_back(block);
}

EventNode* EventGrouper::NodeStore::New(const XPlaneVisitor* plane, XLine* line, XEvent* event) {
  Reserve(1);
  Block& block = blocks_.back();
  EventNode* node = new (block.at(block.used)) EventNode(plane, line, event, size_);
  ++block.used;
  ++size_;
  return node;
}

void EventGrouper::LinkEvents(const std::vector<CrossThreadLinkRule>& rules) {
  size_t num_events = 0;
  for (auto& [plane, visitor] : planes_) {
    for (const XLine& line : plane->lines()) num_events += static_cast<size_t>(line.events_size());
  }
  nodes_.Reserve(num_events);
  for (auto& [plane, visitor] : planes_) LinkWithinLines(plane, visitor);
  LinkAcrossThreads(rules);
}

void EventGrouper::LinkWithinLines(XPlane* plane, const XPlaneVisitor& visitor) {
  const bool is_host_plane = plane->name() == kHostPlaneName;
  // The events of a line are sorted by start, the longer first at equal
  // starts, so an event's parent is the innermost open event containing it.
  std::vector<EventNode*> open;
  for (XLine& line : *plane->mutable_lines()) {
    open.clear();
    // Each node reads its event and the event's stats, which lie apart in
    // memory: fetch the event well ahead, its stats array a little later
    // (once the event has arrived) and its first stat later still.
    constexpr int kAhead = 8;
    const XEvent* const* events = line.events().data();
    const int num_events = line.events_size();
    for (int i = 0; i < num_events; ++i) {
      if (i + 2 * kAhead < num_events) __builtin_prefetch(events[i + 2 * kAhead]);
      if (i + kAhead < num_events) __builtin_prefetch(events[i + kAhead]->stats().data());
      if (i + kAhead / 2 < num_events && events[i + kAhead / 2]->stats_size() > 0) {
        __builtin_prefetch(events[i + kAhead / 2]->stats().data()[0]);
      }
      XEvent& event = *line.mutable_events()->Mutable(i);
      EventNode* node = nodes_.New(&visitor, &line, &event);
      if (node->IsRoot()) root_events_.push_back(node);
      const uint64_t start = node->StartPs();
      const uint64_t end = node->EndPs();
      while (!open.empty()) {
        EventNode* top = open.back();
        if (top->StartPs() <= start && end <= top->EndPs()) {
          top->AddChild(node);
          break;
        }
        open.pop_back();
      }
      open.push_back(node);
      int64_t type = visitor.GetEventType(event.metadata_id());
      // Device activity carries the correlation id of its host launch.
      if (type == HostEventType::UnknownHostEventType && node->HasStat(StatType::correlation_id)) {
        type = is_host_plane ? HostEventType::TaskLaunch : HostEventType::TaskExecute;
      }
      NodeListOfType(type)->push_back(node);
    }
  }
}

std::vector<EventNode*>* EventGrouper::NodeListOfType(int64_t type) {
  for (const auto& [known, list] : recent_types_) {
    if (known == type) return list;
  }
  // Lists of a std::map never move.
  std::vector<EventNode*>* list = &event_node_map_[type];
  if (recent_types_.size() < 16) recent_types_.emplace_back(type, list);
  return list;
}

const std::vector<EventNode*>* EventGrouper::NodesOfType(int64_t type) const {
  auto it = event_node_map_.find(type);
  return it == event_node_map_.end() ? nullptr : &it->second;
}

void EventGrouper::LinkAcrossThreads(const std::vector<CrossThreadLinkRule>& rules) {
  for (const CrossThreadLinkRule& rule : rules) LinkAcrossThreads(rule);
}

void EventGrouper::LinkAcrossThreads(const CrossThreadLinkRule& rule) {
  const auto* parents = NodesOfType(rule.parent_event_type);
  const auto* children = NodesOfType(rule.child_event_type);
  if (parents == nullptr || children == nullptr) return;
  const std::vector<int64_t>& child_stat_types =
      rule.child_stat_types.empty() ? rule.parent_stat_types : rule.child_stat_types;
  NearestStatFinders finders(rule, nodes_.size());
  // The last parent with a key wins it. Keys are only ever compared for
  // equality, so a hash map serves.
  std::unordered_map<std::vector<uint64_t>, EventNode*, KeyHash> parent_by_key;
  parent_by_key.reserve(parents->size());
  for (EventNode* parent : *parents) {
    if (auto key = finders.MakeKey(*parent, rule.parent_stat_types)) {
      parent_by_key[std::move(*key)] = parent;
    }
  }
  // A child's key is read after the links made before it. When both sides
  // read the same stats, no side holds the other's nodes and nothing was
  // linked across threads before, a node gains a second parent only here: a
  // child, below its line parent and a parent whose key equals the child's.
  // Both then lead to stats of the same values, so the links never change
  // any later child's key, and every key can be read from the lines alone,
  // where a node has one parent at most and no answer is walked twice.
  const bool keys_from_lines = child_stat_types == rule.parent_stat_types &&
                               rule.parent_event_type != rule.child_event_type &&
                               !linked_across_threads_;
  std::vector<std::optional<std::vector<uint64_t>>> child_keys;
  if (keys_from_lines) {
    child_keys.reserve(children->size());
    for (const EventNode* child : *children) {
      child_keys.push_back(finders.MakeKey(*child, child_stat_types));
    }
  }
  for (size_t i = 0; i < children->size(); ++i) {
    EventNode* child = (*children)[i];
    const auto key =
        keys_from_lines ? std::move(child_keys[i]) : finders.MakeKey(*child, child_stat_types);
    if (!key) continue;
    auto it = parent_by_key.find(*key);
    if (it == parent_by_key.end()) continue;
    it->second->AddChild(child);
    linked_across_threads_ = true;
    if (!keys_from_lines) finders.OnLinked(*child);
  }
}

void EventGrouper::AssignGroups() {
  // By start, ties in creation order; the keys are read once, not per
  // comparison.
  std::vector<std::pair<int64_t, EventNode*>> by_start;
  by_start.reserve(root_events_.size());
  // A root without parents has no root above it; when no root has parents,
  // as where steps are the outermost scopes of their threads, the graph
  // need not be walked for this at all. Asked here, while the roots are in
  // creation order, which is close to memory order.
  bool any_root_has_parent = false;
  for (EventNode* root : root_events_) {
    by_start.emplace_back(static_cast<int64_t>(root->StartPs()), root);
    any_root_has_parent |= root->first_parent_ != nullptr;
  }
  std::stable_sort(by_start.begin(), by_start.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < by_start.size(); ++i) root_events_[i] = by_start[i].second;
  std::optional<RootsBelowRoots> roots_below_roots;
  if (any_root_has_parent) roots_below_roots.emplace(root_events_, nodes_.size());
  std::vector<EventNode*> scratch;
  group_metadata_map_.reserve(root_events_.size());
  // Roots in start order jump between lines: ask for each root's node, and
  // its event once the node has arrived, a few roots ahead.
  constexpr size_t kAhead = 8;
  const int64_t first_group = next_group_id_;
  std::vector<EventNode*> group_roots;
  for (size_t i = 0; i < root_events_.size(); ++i) {
    if (i + 2 * kAhead < root_events_.size()) __builtin_prefetch(root_events_[i + 2 * kAhead]);
    if (i + kAhead < root_events_.size()) __builtin_prefetch(root_events_[i + kAhead]->event_);
    EventNode* root = root_events_[i];
    if (root->GetGroupId() || (roots_below_roots && roots_below_roots->HasRootAbove(*root))) {
      continue;
    }
    const int64_t group_id = next_group_id_++;
    root->Spread(group_id, &group_metadata_map_, &scratch, [group_id](EventNode* node) {
      node->group_id_ = group_id;
      node->has_group_id_ = true;
    });
    group_metadata_map_[group_id].name = root->GetGroupName();
    group_roots.push_back(root);
  }
  WriteGroupStats(first_group, group_roots);
}

void EventGrouper::WriteGroupStats(int64_t first_group, const std::vector<EventNode*>& roots) {
  // Each event gains its stats in the order a walk in group order would give
  // them (group_id before step_name), so the bytes do not depend on the
  // order events are visited in; nodes in creation order read their events
  // in memory order, fetched a few nodes ahead.
  constexpr size_t kAhead = 8;
  std::array<EventNode*, 2 * kAhead> ring;  // node j at ring[j % ring.size()]
  // On an arena, the events of a group on one plane point at one group_id
  // stat: a million events hold a stat per group, not one each.
  std::vector<XStat*> shared(roots.size(), nullptr);
  auto write = [&](EventNode* node) {
    if (!node->has_group_id_ || node->group_id_ < first_group) return;
    // A caller may have spread ids of its own beyond the ones given here.
    const auto group = static_cast<uint64_t>(node->group_id_ - first_group);
    if (group >= roots.size()) {
      node->WriteGroupIdStat();
      return;
    }
    node->WriteGroupIdStat(&shared[group]);
    if (roots[group] == node) node->SetStepName(group_metadata_map_.at(node->group_id_).name);
  };
  size_t j = 0;
  nodes_.ForEach([&](EventNode* node) {
    __builtin_prefetch(node->event_);
    if (j >= kAhead) __builtin_prefetch(ring[(j - kAhead) % ring.size()]->event_->stats().data());
    if (j >= 2 * kAhead) write(ring[j % ring.size()]);
    ring[j % ring.size()] = node;
    ++j;
  });
  for (size_t k = j < 2 * kAhead ? 0 : j - 2 * kAhead; k < j; ++k) write(ring[k % ring.size()]);
}

void GroupEvents(XSpace* space, EventGrouper* grouper) {
  const std::vector<CrossThreadLinkRule> rules = MakeCrossThreadLinkRules();
  grouper->AddSpace(CreateTypedXPlaneVisitor, space);
  grouper->LinkEvents(rules);
  grouper->AssignGroups();
}

}  // namespace trace
}  // namespace zentrik
