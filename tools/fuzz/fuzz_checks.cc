#include "tools/fuzz/fuzz_checks.h"

#include <json/value.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "graph/protobuf/event.pb.h"
#include "testing/event_file.h"
#include "testing/profile_files.h"
#include "testing/strict_json.h"
#include "testing/temp_dir.h"

namespace zentrik {
namespace testing {

void FuzzCheck(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

void CheckElapseEventLinks(const std::vector<trace::ElapseEvent>& events, size_t first) {
  std::unordered_map<int64_t, const trace::ElapseEvent*> by_id;
  for (size_t i = first; i < events.size(); ++i) {
    FuzzCheck(by_id.emplace(events[i].id, &events[i]).second, "duplicate event id");
  }
  for (size_t i = first; i < events.size(); ++i) {
    const trace::ElapseEvent& event = events[i];
    if (event.parent_id != -1) {
      auto parent = by_id.find(event.parent_id);
      FuzzCheck(parent != by_id.end(), "parent outside the call's events");
      const std::vector<int64_t>& siblings = parent->second->child_ids;
      FuzzCheck(std::find(siblings.begin(), siblings.end(), event.id) != siblings.end(),
                "parent does not list the child");
    }
    for (int64_t child : event.child_ids) {
      auto found = by_id.find(child);
      FuzzCheck(found != by_id.end() && found->second->parent_id == event.id,
                "child does not name the parent");
    }
  }
}

void CheckGzippedJsonFile(const std::string& path) {
  const std::string compressed = ReadFileOrEmpty(path);
  if (compressed.empty()) return;
  std::string text;
  FuzzCheck(Gunzip(compressed, &text), "not one gzip stream: " + path);
  if (text.empty()) return;  // The memory profile of a space without host plane.
  Json::Value root;
  std::string errors;
  FuzzCheck(ParseStrictJson(text, &root, &errors), path + ": " + errors);
}

void CheckEventFile(const std::string& path) {
  std::vector<std::string> records;
  std::string error;
  FuzzCheck(ReadEventRecords(ReadFileOrEmpty(path), &records, &error), path + ": " + error);
  FuzzCheck(records.size() == 1, "not one record: " + path);
  Event event;
  FuzzCheck(event.ParseFromString(records[0]) && event.what_case() == Event::kGraphDef,
            "no graph event");
}

}  // namespace testing
}  // namespace zentrik
