#include "testing/xspace_reader.h"

#include <gtest/gtest.h>

#include "trace/core/utils/xplane_visitor.h"

namespace zentrik {
namespace testing {

std::vector<const trace::XEvent*> EventsNamed(const trace::XPlane& plane, const std::string& name) {
  std::vector<const trace::XEvent*> events;
  for (const trace::XLine& line : plane.lines()) {
    for (const trace::XEvent& event : line.events()) {
      auto it = plane.event_metadata().find(event.metadata_id());
      if (it != plane.event_metadata().end() && it->second.name() == name) events.push_back(&event);
    }
  }
  return events;
}

const trace::XEvent& EventNamed(const trace::XPlane& plane, const std::string& name) {
  std::vector<const trace::XEvent*> events = EventsNamed(plane, name);
  EXPECT_EQ(events.size(), 1u) << "events named " << name << " on " << plane.name();
  return events.size() == 1 ? *events.front() : trace::XEvent::default_instance();
}

std::multimap<std::string, std::string> StatTexts(const trace::XPlane& plane,
                                                  const trace::XEvent& event) {
  const trace::XPlaneVisitor visitor(&plane);
  std::multimap<std::string, std::string> texts;
  for (const trace::XStat& stat : event.stats()) {
    const trace::XStatVisitor stat_visitor(&visitor, &stat);
    texts.emplace(stat_visitor.Name(), stat_visitor.ToString());
  }
  return texts;
}

std::map<int64_t, std::string> StatMetadataNames(const trace::XPlane& plane) {
  std::map<int64_t, std::string> names;
  for (const auto& [id, metadata] : plane.stat_metadata()) names[id] = metadata.name();
  return names;
}

}  // namespace testing
}  // namespace zentrik
