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

// Splits metadata into pair texts at commas outside quotes and brackets;
// texts shorter than two characters are dropped.
std::vector<std::string_view> SplitPairTexts(std::string_view metadata) {
  std::vector<std::string_view> pairs;
  std::string open;  // Used as a stack of open quotes and brackets.
  size_t segment_start = 0;
  auto add_segment = [&](size_t end) {
    if (end - segment_start >= 2)
      pairs.push_back(metadata.substr(segment_start, end - segment_start));
  };
  for (size_t i = 0; i < metadata.size(); ++i) {
    const char c = metadata[i];
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
  return pairs;
}

std::string WithoutSpaces(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (c != ' ') result.push_back(c);
  }
  return result;
}

}  // namespace

std::string RemoveAllSpaces(const std::string& text) { return WithoutSpaces(text); }

Annotation ParseAnnotation(const std::string& annotation) {
  const auto [name, metadata] = SplitNameAndMetadata(annotation);
  Annotation result;
  result.name = WithoutSpaces(name);
  for (std::string_view pair : SplitPairTexts(metadata)) {
    const size_t separator = pair.find(kKeyValueSeparator);
    if (separator == std::string_view::npos) continue;
    std::string key = WithoutSpaces(pair.substr(0, separator));
    std::string value = WithoutSpaces(pair.substr(separator + 1));
    if (key.empty() || value.empty()) {
      LOG(WARNING) << "Instrumentation attribute [" << metadata
                   << "] found empty key or empty value, drop the empty pair";
      continue;
    }
    result.metadata.emplace_back(std::move(key), std::move(value));
  }
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

bool SetAnnotationStackDelimiter(const std::string& value) {
  if (value.empty()) return false;
  StackDelimiter& delimiter = GetStackDelimiter();
  std::lock_guard<std::mutex> lock(delimiter.mutex);
  delimiter.value = value;
  return true;
}

}  // namespace trace
}  // namespace zentrik
