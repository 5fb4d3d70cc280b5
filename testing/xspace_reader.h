#ifndef ZENTRIK_TESTING_XSPACE_READER_H_
#define ZENTRIK_TESTING_XSPACE_READER_H_

// Reads what passes wrote into an XSpace, for assertions.

#include <map>
#include <string>
#include <vector>

#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace testing {

// The events of `plane` whose metadata is named `name`, in line and event order.
std::vector<const trace::XEvent*> EventsNamed(const trace::XPlane& plane, const std::string& name);
// The only such event; fails the test (and returns the default instance) otherwise.
const trace::XEvent& EventNamed(const trace::XPlane& plane, const std::string& name);
// The stats of `event` by metadata name, as the stat visitor's ToString gives them.
std::multimap<std::string, std::string> StatTexts(const trace::XPlane& plane,
                                                  const trace::XEvent& event);
// The plane's stat metadata names by id.
std::map<int64_t, std::string> StatMetadataNames(const trace::XPlane& plane);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_XSPACE_READER_H_
