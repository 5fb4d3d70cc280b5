#ifndef ZENTRIK_TRACE_CORE_UTILS_SORTED_KEYS_H_
#define ZENTRIK_TRACE_CORE_UTILS_SORTED_KEYS_H_

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zentrik {
namespace trace {

// The keys of an int64-keyed map in ascending order. Protobuf maps iterate in
// no fixed order; walking metadata by key instead makes the outcome of
// repeated names (which entry wins) the same on every run.
template <typename Map>
std::vector<int64_t> SortedKeys(const Map& map) {
  std::vector<int64_t> keys;
  keys.reserve(map.size());
  for (const auto& entry : map) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_SORTED_KEYS_H_
