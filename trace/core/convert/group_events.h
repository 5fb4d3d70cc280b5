#ifndef ZENTRIK_TRACE_CORE_CONVERT_GROUP_EVENTS_H_
#define ZENTRIK_TRACE_CORE_CONVERT_GROUP_EVENTS_H_

// Event grouping: ties together the events of one unit of work (a step) across
// host threads and device queues, and labels them with `group_id` and
// `step_name` stats. Events nest by time containment on their line, task
// launches join the task executions they caused by equal correlation ids, and
// every root event (a non-zero int64 `_r` stat) not below another root starts
// a group. Single-threaded: the space must not change while a grouper uses it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace trace {

// Joins events of `parent_event_type` to events of `child_event_type` whose
// keys (the values of the nearest stats of the listed types) are equal.
struct CrossThreadLinkRule {
  int64_t parent_event_type = 0;
  int64_t child_event_type = 0;
  std::vector<int64_t> parent_stat_types;
  // Empty: the child side uses parent_stat_types too.
  std::vector<int64_t> child_stat_types;
};

// The one rule of the system: TaskLaunch to TaskExecute by correlation_id.
std::vector<CrossThreadLinkRule> MakeCrossThreadLinkRules();

// What is known of one group.
struct GroupInfo {
  std::string name;                 // the text written as the root's step_name
  std::string label;                // left empty
  std::set<int64_t> parent_groups;  // groups that reached this group's events
  std::set<int64_t> child_groups;   // groups this group reached below itself
};

// What is known of every group, by group id. Group ids are numbered from 0
// without gaps, so the groups sit in one array: a session can hold hundreds
// of thousands of them.
class GroupMetadataMap {
 public:
  size_t size() const { return groups_.size(); }
  size_t count(int64_t group_id) const { return Has(group_id) ? 1 : 0; }
  // The group `group_id`, which must exist.
  const GroupInfo& at(int64_t group_id) const { return groups_.at(static_cast<size_t>(group_id)); }
  // The group `group_id`, created (with every smaller id missing so far) when
  // absent. `group_id` must not be negative.
  GroupInfo& operator[](int64_t group_id) {
    if (!Has(group_id)) groups_.resize(static_cast<size_t>(group_id) + 1);
    return groups_[static_cast<size_t>(group_id)];
  }
  void reserve(size_t count) { groups_.reserve(count); }

 private:
  bool Has(int64_t group_id) const {
    return group_id >= 0 && static_cast<uint64_t>(group_id) < groups_.size();
  }

  std::vector<GroupInfo> groups_;
};

// One event of the space in the grouping graph. Owned by its EventGrouper;
// it points into the space and into the grouper's plane visitors. A million
// events make a million nodes, so a node holds its first parent and the
// children that hang below it as their first parent inline (a list through
// the children); only the rare further links, which cross-thread joins make,
// live in a block of their own.
class EventNode {
 public:
  // `index` is the node's creation number within its grouper.
  EventNode(const XPlaneVisitor* plane, XLine* line, XEvent* event, size_t index);
  EventNode(const EventNode&) = delete;
  EventNode& operator=(const EventNode&) = delete;

  const XPlaneVisitor& GetPlaneVisitor() const { return *plane_; }
  // Parents in the order they were linked; children in no particular order.
  std::vector<EventNode*> GetParents() const;
  std::vector<EventNode*> GetChildren() const;
  template <typename F>
  void ForEachParent(F&& f) const {
    if (first_parent_ == nullptr) return;
    f(first_parent_);
    if (more_ != nullptr) {
      for (EventNode* parent : more_->parents) f(parent);
    }
  }
  template <typename F>
  void ForEachChild(F&& f) const {
    for (EventNode* child = first_child_; child != nullptr; child = child->next_sibling_) f(child);
    if (more_ != nullptr) {
      for (EventNode* child : more_->children) f(child);
    }
  }
  std::optional<int64_t> GetGroupId() const {
    return has_group_id_ ? std::optional<int64_t>(group_id_) : std::nullopt;
  }
  bool IsRoot() const { return is_root_; }
  size_t Index() const { return index_; }

  // Start and end in picoseconds, in wrapping unsigned 64-bit arithmetic.
  uint64_t StartPs() const { return start_ps_; }
  uint64_t EndPs() const { return end_ps_; }

  // Links `child` below this node.
  void AddChild(EventNode* child);

  // Sets the group id and writes it as the event's group_id stat (found by
  // its metadata, appended when absent, turned into an int64 value).
  void SetGroupId(int64_t group_id);
  // Writes `name` as the event's step_name stat, by the same rule.
  void SetStepName(const std::string& name);
  // The event metadata's name, a blank and the group id in decimal.
  std::string GetGroupName() const;

  // Breadth-first over this node and its ancestors, nearest first, each
  // visited once: the first node whose own event carries a stat of
  // `stat_type`. FindNearestStat gives that stat, FindNearestStatHolder the
  // node; empty or null when no ancestor carries one.
  std::optional<XStatVisitor> FindNearestStat(int64_t stat_type) const;
  const EventNode* FindNearestStatHolder(int64_t stat_type) const;
  // This node's own stat of `stat_type`, and whether it has one.
  std::optional<XStatVisitor> GetStat(int64_t stat_type) const;
  bool HasStat(int64_t stat_type) const;

  // Breadth-first over the ancestors (and this node first when
  // `include_self`), each visited once: the first one `predicate` accepts,
  // or null. Without `include_self` this node never counts, also when a
  // cycle leads back to it.
  const EventNode* FindParent(const std::function<bool(const EventNode&)>& predicate,
                              bool include_self) const;

  // Gives `group_id` to every node reachable below this one, stopping at
  // nodes that already belong to a group; a node of another group is
  // recorded as a child group of this one (and this one as its parent group)
  // in `group_metadata_map`. `scratch`, when given, is reused for the walk.
  void SpreadGroupId(int64_t group_id, GroupMetadataMap* group_metadata_map,
                     std::vector<EventNode*>* scratch = nullptr);

 private:
  // The links beyond the first parent.
  struct MoreLinks {
    std::vector<EventNode*> parents;
    std::vector<EventNode*> children;
  };
  MoreLinks* More();

  // The grouper gives nodes their group first and writes the stats after, in
  // memory order.
  friend class EventGrouper;
  // SpreadGroupId, where `join(node)` gives each newly reached node the group.
  template <typename Join>
  void Spread(int64_t group_id, GroupMetadataMap* group_metadata_map,
              std::vector<EventNode*>* scratch, Join join);
  // Writes group_id_ as the event's group_id stat. A stat the event holds is
  // replaced by a copy of its own on an arena, where it may be shared.
  void WriteGroupIdStat();
  // The same, but an event without a group_id stat on an arena points at
  // `*shared`, made first when it is null or was made for another arena or
  // group_id metadata id (planes whose ids agree share it). Only events of
  // one group may pass the same `shared`.
  void WriteGroupIdStat(XStat** shared);

  // Sets the value of this event's stat of `stat_type` through `set`.
  template <typename Setter>
  void SetStat(int64_t stat_type, Setter set);

  const XPlaneVisitor* plane_;
  XEvent* event_;
  uint64_t start_ps_;
  uint64_t end_ps_;
  int64_t group_id_ = 0;
  // Nodes are counted in 32 bits: four billion events would not fit in
  // memory beside their space anyway.
  uint32_t index_;
  bool is_root_ = false;
  bool has_group_id_ = false;
  // Whether the event holds a stat of the plane's correlation_id or group_id
  // metadata; grouping adds no correlation id, and sets this group_id flag
  // when it adds that stat.
  bool holds_correlation_id_ = false;
  bool holds_group_id_ = false;
  EventNode* first_parent_ = nullptr;
  EventNode* first_child_ = nullptr;
  // The next child of this node's first parent.
  EventNode* next_sibling_ = nullptr;
  std::unique_ptr<MoreLinks> more_;
};

// The predicate FindParent uses to find a root above a root.
bool IsTopRoot(const EventNode& node);

// Nodes by event type; each list is in creation order. The grouper owns the
// nodes.
using EventNodeMap = std::map<int64_t, std::vector<EventNode*>>;

using XPlaneVisitorFactory = std::function<XPlaneVisitor(const XPlane*)>;

// The visitor factory of grouping: event types by FindHostEventType, stat
// types by FindStatType.
XPlaneVisitor CreateTypedXPlaneVisitor(const XPlane* plane);

// The transient grouping state of one space: fill it once with AddSpace, then
// LinkEvents, then AssignGroups. It points into the space, which must outlive
// it and keep its lines and events meanwhile. Not thread-safe.
class EventGrouper {
 public:
  EventGrouper() = default;
  EventGrouper(const EventGrouper&) = delete;
  EventGrouper& operator=(const EventGrouper&) = delete;

  // AddPlane for every plane of `space`, in space order.
  void AddSpace(const XPlaneVisitorFactory& visitor_factory, XSpace* space);
  // Gives the plane the stat metadata "group_id" and "step_name" (when it
  // lacks them), then keeps a visitor built by `visitor_factory` for it.
  void AddPlane(const XPlaneVisitorFactory& visitor_factory, XPlane* plane);
  // Nests the events of every line, then joins them across threads by
  // `rules`.
  void LinkEvents(const std::vector<CrossThreadLinkRule>& rules);
  // Starts a group at every root not below another root, in order of start
  // time, numbering groups 0, 1, 2, ...
  void AssignGroups();

  const GroupMetadataMap& GetGroupMetadataMap() const { return group_metadata_map_; }
  const EventNodeMap& GetEventNodeMap() const { return event_node_map_; }
  const std::vector<EventNode*>& GetRootEvents() const { return root_events_; }

 private:
  void LinkWithinLines(XPlane* plane, const XPlaneVisitor& visitor);
  // Writes the group_id stat of every node of a group from `first_group` on,
  // and the step_name of each group's root, `roots[id - first_group]`.
  void WriteGroupStats(int64_t first_group, const std::vector<EventNode*>& roots);
  // The list of `type` in event_node_map_, found without a tree lookup for
  // the few types a space holds.
  std::vector<EventNode*>* NodeListOfType(int64_t type);
  void LinkAcrossThreads(const std::vector<CrossThreadLinkRule>& rules);
  void LinkAcrossThreads(const CrossThreadLinkRule& rule);
  const std::vector<EventNode*>* NodesOfType(int64_t type) const;

  // Owns every node; nodes never move. LinkEvents makes a line's nodes in
  // one block sized for all events of the space, not a few at a time.
  class NodeStore {
   public:
    NodeStore() = default;
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;
    ~NodeStore();
    // Room for at least `count` more nodes before the next allocation.
    void Reserve(size_t count);
    EventNode* New(const XPlaneVisitor* plane, XLine* line, XEvent* event);
    size_t size() const { return size_; }
    // Calls `f(EventNode*)` for every node, in creation order.
    template <typename F>
    void ForEach(F&& f) {
      for (Block& block : blocks_) {
        for (size_t i = 0; i < block.used; ++i) f(block.at(i));
      }
    }

   private:
    // Freed by the store.
    struct Block {
      void* memory = nullptr;
      size_t capacity = 0;
      size_t used = 0;
      EventNode* at(size_t i) { return static_cast<EventNode*>(memory) + i; }
    };
    std::vector<Block> blocks_;
    size_t size_ = 0;
  };
  NodeStore nodes_;
  EventNodeMap event_node_map_;
  // Elements of a deque never move, so nodes may point at the visitors.
  std::deque<std::pair<XPlane*, XPlaneVisitor>> planes_;
  std::vector<EventNode*> root_events_;
  std::vector<std::pair<int64_t, std::vector<EventNode*>*>> recent_types_;
  GroupMetadataMap group_metadata_map_;
  int64_t next_group_id_ = 0;
  bool linked_across_threads_ = false;
};

// The whole grouping pass over `space`: AddSpace with CreateTypedXPlaneVisitor,
// LinkEvents with MakeCrossThreadLinkRules, AssignGroups.
void GroupEvents(XSpace* space, EventGrouper* grouper);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_GROUP_EVENTS_H_
