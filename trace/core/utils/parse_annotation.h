#ifndef ZENTRIK_TRACE_CORE_UTILS_PARSE_ANNOTATION_H_
#define ZENTRIK_TRACE_CORE_UTILS_PARSE_ANNOTATION_H_

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zentrik {
namespace trace {

// One parsed annotation: name#key=value,...# gives the name and its pairs,
// every space removed; keys and values are never empty.
struct Annotation {
  std::string name;
  std::vector<std::pair<std::string, std::string>> metadata;
};

// Parses one annotation. Never fails: malformed text gives fewer or emptier
// fields; a pair with an empty key or value is dropped with a WARNING.
// Thread-safe; linear in the input length.
Annotation ParseAnnotation(const std::string& annotation);

// The same parse as views, for callers that parse many annotations: parts
// without spaces are views of `annotation`, the others views of `*scratch`,
// which is overwritten. Both must outlive the views and stay unchanged while
// they are used. Reusing `scratch` and `result` allocates nothing once their
// capacity suffices. Without `warn` a dropped pair logs nothing, for a text
// parsed a second time.
struct AnnotationView {
  std::string_view name;
  std::vector<std::pair<std::string_view, std::string_view>> metadata;
};
void ParseAnnotation(std::string_view annotation, std::string* scratch, AnnotationView* result,
                     bool warn = true);

// Splits `stack` at the annotation-stack delimiter in force (empty pieces
// skipped) and parses every piece, outermost first. Thread-safe.
std::vector<Annotation> ParseAnnotationStack(const std::string& stack);

// A copy of `text` without its space characters (0x20 only).
std::string RemoveAllSpaces(const std::string& text);

// The separator of annotation stacks, "::" until replaced. Replacing it is
// thread-safe against concurrent parsing; an empty delimiter is refused
// (returns false, nothing changes).
std::string GetAnnotationStackDelimiter();
bool SetAnnotationStackDelimiter(const std::string& delimiter);
// The lock that guards the delimiter; held across fork() by the fork handlers.
std::mutex& AnnotationStackDelimiterMutex();

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_UTILS_PARSE_ANNOTATION_H_
