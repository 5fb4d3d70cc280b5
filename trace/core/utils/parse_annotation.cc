#include "trace/core/utils/parse_annotation.h"

#include <algorithm>
#include <mutex>
#include <string_view>

#include "common/platform/env.h"
#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kMetadataMarker = '#';
constexpr char kKeyValueSeparator = '=';
constexpr std::string_view kDefaultStackDelimiter = "::";

// The delimiter is replaced while other threads may be parsing: readers copy
// it under the mutex.
struct StackDelimiter {
  std::mutex mutex;
  std::string value{kDefaultStackDelimiter};  // Guarded by mutex.
};

StackDelimiter& GetStackDelimiter() {
  static StackDelimiter* delimiter = new StackDelimiter;
  return *delimiter;
}

// Splits an annotation into its name part and its metadata part.
std::pair<std::string_view, std::string_view> SplitNameAndMetadata(std::string_view annotation) {
  if (annotation.empty() || annotation.back() != kMetadataMarker) return {annotation, {}};
  std::string_view rest = annotation.substr(0, annotation.size() - 1);
  const size_t first = rest.find(kMetadataMarker);
  if (first == std::string_view::npos) return {rest, {}};
  std::string_view metadata = rest.substr(first + 1);
  // Anything after a second marker is dropped.
  metadata = metadata.substr(0, metadata.find(kMetadataMarker));
  return {rest.substr(0, first), metadata};
}

bool IsOpening(char c) { return c == '(' || c == '[' || c == '{'; }

char OpeningOf(char closing) {
  switch (closing) {
    case ')':
      return '(';
    case ']':
      return '[';
    default:
      return '{';
  }
}

// The characters SplitPairTexts acts on; all others are skipped at one test.
struct PairSyntax {
  bool special[256] = {};
  constexpr PairSyntax() {
    for (const char c : {'"', '\'', '(', '[', '{', ')', ']', '}', ','}) {
      special[static_cast<unsigned char>(c)] = true;
    }
  }
};
constexpr PairSyntax kPairSyntax;

// Calls `add(pair_text)` for every piece of metadata between commas outside
// quotes and brackets; pieces shorter than two characters are skipped.
template <typename AddPair>
void SplitPairTexts(std::string_view metadata, AddPair add) {
  std::string open;  // Used as a stack of open quotes and brackets.
  size_t segment_start = 0;
  auto add_segment = [&](size_t end) {
    if (end - segment_start >= 2) add(metadata.substr(segment_start, end - segment_start));
  };
  for (size_t i = 0; i < metadata.size(); ++i) {
    const char c = metadata[i];
    if (!kPairSyntax.special[static_cast<unsigned char>(c)]) continue;
    if (c == '"' || c == '\'') {
      if (!open.empty() && open.back() == c) {
        open.pop_back();
      } else {
        open.push_back(c);
      }
    } else if (IsOpening(c)) {
      open.push_back(c);
    } else if (c == ')' || c == ']' || c == '}') {
      if (!open.empty() && open.back() == OpeningOf(c)) open.pop_back();
    } else if (c == ',' && open.empty()) {
      add_segment(i);
      segment_start = i + 1;
    }
  }
  add_segment(metadata.size());
}

std::string WithoutSpaces(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (c != ' ') result.push_back(c);
  }
  return result;
}

// `text` without spaces: itself when it holds none, else a copy appended to
// `scratch`, whose capacity was reserved so that views into it stay valid.
std::string_view WithoutSpaces(std::string_view text, std::string* scratch) {
  if (text.find(' ') == std::string_view::npos) return text;
  const size_t start = scratch->size();
  for (const char c : text) {
    if (c != ' ') scratch->push_back(c);
  }
  return std::string_view(*scratch).substr(start);
}

}  // namespace

std::string RemoveAllSpaces(const std::string& text) { return WithoutSpaces(text); }

void ParseAnnotation(std::string_view annotation, std::string* scratch, AnnotationView* result,
                     bool warn) {
  // Named parts, not a structured binding: the lambda below captures one.
  const std::pair<std::string_view, std::string_view> parts = SplitNameAndMetadata(annotation);
  const std::string_view name = parts.first;
  const std::string_view metadata = parts.second;
  // Space-free copies never outgrow the annotation.
  scratch->clear();
  scratch->reserve(annotation.size());
  // Most annotations hold no space: one search spares one per part.
  const bool spaced = annotation.find(' ') != std::string_view::npos;
  auto without_spaces = [&](std::string_view text) {
    return spaced ? WithoutSpaces(text, scratch) : text;
  };
  result->name = without_spaces(name);
  result->metadata.clear();
  SplitPairTexts(metadata, [&](std::string_view pair) {
    const size_t separator = pair.find(kKeyValueSeparator);
    if (separator == std::string_view::npos) return;
    const std::string_view key = without_spaces(pair.substr(0, separator));
    const std::string_view value = without_spaces(pair.substr(separator + 1));
    if (key.empty() || value.empty()) {
      if (warn) {
        LOG(WARNING) << "Instrumentation attribute [" << metadata
                     << "] found empty key or empty value, drop the empty pair";
      }
      return;
    }
    result->metadata.emplace_back(key, value);
  });
}

Annotation ParseAnnotation(const std::string& annotation) {
  std::string scratch;
  AnnotationView view;
  ParseAnnotation(annotation, &scratch, &view);
  Annotation result;
  result.name = std::string(view.name);
  result.metadata.reserve(view.metadata.size());
  for (const auto& [key, value] : view.metadata) result.metadata.emplace_back(key, value);
  return result;
}

std::vector<Annotation> ParseAnnotationStack(const std::string& stack) {
  std::vector<Annotation> annotations;
  for (const std::string& piece : StrSplit(stack, GetAnnotationStackDelimiter())) {
    annotations.push_back(ParseAnnotation(piece));
  }
  return annotations;
}

std::string GetAnnotationStackDelimiter() {
  StackDelimiter& delimiter = GetStackDelimiter();
  std::lock_guard<std::mutex> lock(delimiter.mutex);
  return delimiter.value;
}

std::mutex& AnnotationStackDelimiterMutex() { return GetStackDelimiter().mutex; }

bool SetAnnotationStackDelimiter(const std::string& value) {
  if (value.empty()) return false;
  StackDelimiter& delimiter = GetStackDelimiter();
  std::lock_guard<std::mutex> lock(delimiter.mutex);
  delimiter.value = value;
  return true;
}

}  // namespace trace
}  // namespace zentrik
