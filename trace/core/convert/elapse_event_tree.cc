#include "trace/core/convert/elapse_event_tree.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// What sorting and searching need of one new event, kept apart from the event
// so that sorts move 32 bytes instead of whole events.
struct EventKey {
  int64_t line_id;
  int64_t start_ns;
  int64_t end_ns;
  uint32_t index;  // Relative to the first new event.
};

bool KeyContains(const EventKey& outer, const EventKey& inner) {
  return outer.start_ns <= inner.start_ns && inner.end_ns <= outer.end_ns;
}

constexpr uint32_t kNoParent = std::numeric_limits<uint32_t>::max();

// The nesting of one thread's correlated events. Nodes are the thread's keys
// in start order (longer first at equal starts); a node's parent is the
// innermost earlier node that encloses it.
//
// Because nodes arrive in start order, siblings (and top-level nodes) never
// enclose one another, so among them both starts and ends strictly increase:
// the siblings enclosing any interval form one contiguous run, found by two
// binary searches.
class HostEventTree {
 public:
  HostEventTree(std::vector<ElapseEvent>* events, size_t first) : events_(*events), first_(first) {}

  // Links the nodes [begin, end), all of one thread, into parents and
  // children. Keeps only the innermost enclosing nodes on an explicit stack,
  // so each insertion costs amortised O(1) and no recursion happens.
  void BuildHostEventTree(const EventKey* begin, const EventKey* end);

  // Copies the device events of each runtime event [begin, end) (one thread,
  // start order) onto the first top-level node that encloses it and on every
  // node below that encloses it too.
  void AttachUncorrelatedHostEvents(const EventKey* begin, const EventKey* end);

 private:
  ElapseEvent& EventOf(const EventKey& key) { return events_[first_ + key.index]; }
  ElapseEvent& NodeEvent(uint32_t node) { return EventOf(nodes_[node]); }

  // Lays out the children of every node in start order (children_ from
  // child_begin_[node] to child_begin_[node + 1]).
  void IndexChildren();

  // The nodes of [first, last) (siblings or top-level nodes, in start order)
  // that enclose `key`: one contiguous run.
  std::pair<const uint32_t*, const uint32_t*> Enclosing(const uint32_t* first, const uint32_t* last,
                                                        const EventKey& key) const;

  // Copies the runtime event's device events onto `top`, which encloses it,
  // and onto every node below `top` that encloses it, walking with a stack.
  void AttachDeviceEvents(uint32_t top, const EventKey& runtime);

  std::vector<ElapseEvent>& events_;
  const size_t first_;
  const EventKey* nodes_ = nullptr;
  uint32_t node_count_ = 0;
  std::vector<uint32_t> parents_;
  std::vector<uint32_t> roots_;
  std::vector<uint32_t> child_begin_;
  std::vector<uint32_t> children_;
  std::vector<uint32_t> pending_;
};

void HostEventTree::BuildHostEventTree(const EventKey* begin, const EventKey* end) {
  nodes_ = begin;
  node_count_ = static_cast<uint32_t>(end - begin);
  parents_.assign(node_count_, kNoParent);
  roots_.clear();
  children_.clear();
  child_begin_.clear();
  // The path from the newest top-level node down to the newest node: only its
  // members can still enclose a later node, innermost last.
  std::vector<uint32_t> open;
  for (uint32_t node = 0; node < node_count_; ++node) {
    while (!open.empty() && !KeyContains(nodes_[open.back()], nodes_[node])) open.pop_back();
    if (open.empty()) {
      roots_.push_back(node);
    } else {
      const uint32_t parent = open.back();
      parents_[node] = parent;
      ElapseEvent& child_event = NodeEvent(node);
      ElapseEvent& parent_event = NodeEvent(parent);
      child_event.parent_id = parent_event.id;
      parent_event.child_ids.push_back(child_event.id);
    }
    open.push_back(node);
  }
}

void HostEventTree::IndexChildren() {
  child_begin_.assign(node_count_ + 1, 0);
  for (uint32_t node = 0; node < node_count_; ++node) {
    if (parents_[node] != kNoParent) ++child_begin_[parents_[node] + 1];
  }
  for (uint32_t node = 0; node < node_count_; ++node) child_begin_[node + 1] += child_begin_[node];
  children_.resize(child_begin_[node_count_]);
  std::vector<uint32_t> filled(child_begin_.begin(), child_begin_.end() - 1);
  for (uint32_t node = 0; node < node_count_; ++node) {
    if (parents_[node] != kNoParent) children_[filled[parents_[node]]++] = node;
  }
}

std::pair<const uint32_t*, const uint32_t*> HostEventTree::Enclosing(const uint32_t* first,
                                                                     const uint32_t* last,
                                                                     const EventKey& key) const {
  const uint32_t* run_begin = std::partition_point(
      first, last, [&](uint32_t node) { return nodes_[node].end_ns < key.end_ns; });
  const uint32_t* run_end = std::partition_point(
      run_begin, last, [&](uint32_t node) { return nodes_[node].start_ns <= key.start_ns; });
  return {run_begin, run_end};
}

void HostEventTree::AttachDeviceEvents(uint32_t top, const EventKey& runtime) {
  const std::vector<ElapseDeviceEvent>& device_events = EventOf(runtime).device_events;
  pending_.assign(1, top);
  while (!pending_.empty()) {
    const uint32_t node = pending_.back();
    pending_.pop_back();
    std::vector<ElapseDeviceEvent>& target = NodeEvent(node).device_events;
    target.insert(target.end(), device_events.begin(), device_events.end());
    const uint32_t* kids = children_.data();
    auto [run_begin, run_end] =
        Enclosing(kids + child_begin_[node], kids + child_begin_[node + 1], runtime);
    pending_.insert(pending_.end(), run_begin, run_end);
  }
}

void HostEventTree::AttachUncorrelatedHostEvents(const EventKey* begin, const EventKey* end) {
  if (begin == end || roots_.empty()) return;
  IndexChildren();
  for (const EventKey* runtime = begin; runtime != end; ++runtime) {
    // Only the first top-level node that encloses the call receives it. Every
    // top-level node is searched, not just those after the previous call's,
    // so a call that overlaps its neighbour still finds its enclosing node.
    auto [run_begin, run_end] = Enclosing(roots_.data(), roots_.data() + roots_.size(), *runtime);
    if (run_begin != run_end) AttachDeviceEvents(*run_begin, *runtime);
  }
}

// Keys of the new events that `select` accepts, ordered by thread, start, then
// end descending (the enclosing event first), then position.
template <typename Select>
std::vector<EventKey> SortedKeys(const std::vector<ElapseEvent>& events, size_t first,
                                 Select select) {
  std::vector<EventKey> keys;
  keys.reserve(std::count_if(events.begin() + first, events.end(), select));
  for (size_t i = first; i < events.size(); ++i) {
    const ElapseEvent& event = events[i];
    if (select(event)) {
      keys.push_back(
          {event.line_id, event.start_ns, event.end_ns, static_cast<uint32_t>(i - first)});
    }
  }
  std::sort(keys.begin(), keys.end(), [](const EventKey& a, const EventKey& b) {
    if (a.line_id != b.line_id) return a.line_id < b.line_id;
    if (a.start_ns != b.start_ns) return a.start_ns < b.start_ns;
    if (a.end_ns != b.end_ns) return a.end_ns > b.end_ns;
    return a.index < b.index;
  });
  return keys;
}

// End of the run of keys of the same thread as *begin.
const EventKey* LineEnd(const EventKey* begin, const EventKey* end) {
  return std::find_if(begin, end,
                      [&](const EventKey& key) { return key.line_id != begin->line_id; });
}

}  // namespace

void ConvertHostEvents(size_t first, std::vector<ElapseEvent>* events) {
  if (events->empty()) {
    LOG(WARNING) << "Host events is empty";
    return;
  }
  const std::vector<EventKey> correlated = SortedKeys(
      *events, first, [](const ElapseEvent& event) { return event.traceme_correlation_id != -1; });
  const std::vector<EventKey> runtime = SortedKeys(*events, first, [](const ElapseEvent& event) {
    return event.traceme_correlation_id == -1 && !event.device_events.empty();
  });

  HostEventTree tree(events, first);
  const EventKey* runtime_it = runtime.data();
  const EventKey* const runtime_end = runtime_it + runtime.size();
  const EventKey* const correlated_end = correlated.data() + correlated.size();
  for (const EventKey* line = correlated.data(); line != correlated_end;) {
    const EventKey* line_end = LineEnd(line, correlated_end);
    tree.BuildHostEventTree(line, line_end);
    // Runtime events of threads without correlated events have nowhere to go.
    while (runtime_it != runtime_end && runtime_it->line_id < line->line_id) ++runtime_it;
    if (runtime_it != runtime_end && runtime_it->line_id == line->line_id) {
      const EventKey* runtime_line_end = LineEnd(runtime_it, runtime_end);
      tree.AttachUncorrelatedHostEvents(runtime_it, runtime_line_end);
      runtime_it = runtime_line_end;
    }
    line = line_end;
  }
}

}  // namespace trace
}  // namespace zentrik
