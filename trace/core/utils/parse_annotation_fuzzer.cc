// The text parsers on arbitrary text: annotations and annotation stacks, op
// full names, and encoded TraceMe names as the host plane stores them. None
// may crash, and what they keep must hold the rules their callers rely on.
#include <cstdint>
#include <string>
#include <utility>

#include "tools/fuzz/fuzz_checks.h"
#include "trace/core/internal/cpu/host_tracer_utils.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/qx_op_utils.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::FuzzCheck;

void CheckAnnotation(const Annotation& annotation) {
  FuzzCheck(annotation.name.find(' ') == std::string::npos, "space in an annotation name");
  for (const auto& [key, value] : annotation.metadata) {
    FuzzCheck(!key.empty() && !value.empty(), "empty key or value kept");
  }
}

void CheckOpName(const std::string& text) {
  const QxOp op = ParseQxOpFullname(text, false);
  if (op.kind == QxOp::kParsed) {
    FuzzCheck(!op.name.empty() && !op.type.empty(), "empty part of a parsed op");
    FuzzCheck(HasNoHashMark(op.name) && HasNoHashMark(op.type), "'#' in a parsed op");
  } else {
    FuzzCheck(op.type.empty(), "type of an unparsed op");
  }
  QxOpEventName(text, false);
}

// An encoded name goes through the host plane conversion, which must store
// only well-formed UTF-8.
void CheckEncodedName(const std::string& text) {
  TraceMeRecorder::Events recorded(1);
  recorded[0].thread.tid = 1;
  recorded[0].thread.name = text.substr(0, 16);
  recorded[0].events.push_back({text, 10, 20});
  XPlane plane;
  ConvertRecordedEventsToHostPlane(0, std::move(recorded), &plane);
  for (const auto& [id, metadata] : plane.event_metadata()) {
    FuzzCheck(IsValidUtf8(metadata.name()), "ill-formed UTF-8 stored");
  }
  std::string bytes;
  FuzzCheck(plane.SerializeToString(&bytes), "host plane does not serialize");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zentrik::trace;
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckAnnotation(ParseAnnotation(text));
  for (const Annotation& annotation : ParseAnnotationStack(text)) CheckAnnotation(annotation);
  CheckOpName(text);
  CheckEncodedName(text);
  return 0;
}
