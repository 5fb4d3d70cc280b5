// The device tracer's walk over a completed activity buffer, then the export
// of what it kept into device and host planes. A stand-in library hands out
// the records: input byte 0 (mod 16) counts the step bytes that follow, each
// choosing one answer of ActivityGetNextRecord (the next record, the end, a
// pointer the walk must refuse, or an error code); once they run out the
// library walks on record by record. The rest of the input is the buffer.
// Nothing may crash, the walk ends well or with its one error, and the planes
// hold only well-formed UTF-8 and serialize.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tools/fuzz/fuzz_checks.h"
#include "trace/core/internal/zra/device_planes.h"
#include "trace/core/internal/zra/dravik_activity_records.h"
#include "trace/core/internal/zra/dravik_tracer.h"
#include "trace/core/internal/zra/host_events.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::FuzzCheck;

uint32_t Kind(const uint8_t* record) {
  uint32_t kind;
  std::memcpy(&kind, record, sizeof(kind));
  return kind;
}

class FuzzedLibrary : public DravikInterface {
 public:
  FuzzedLibrary(const uint8_t* steps, size_t count, const std::string* names)
      : steps_(steps), count_(count), names_(names) {}

  int32_t ActivityGetNextRecord(uint8_t* buffer, size_t valid_size, uint8_t** record) override {
    const uintptr_t begin = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t previous = reinterpret_cast<uintptr_t>(*record);
    const uint8_t step = next_ < count_ ? steps_[next_++] : 0;
    uintptr_t at;
    switch (step % 8) {
      case 3:  // the end, as after a buffer's last record
        return DRAVIK_ERROR_MAX_LIMIT_REACHED;
      case 4:  // no record, or a failed call
        if (step & 8) return DRAVIK_ERROR_UNKNOWN;
        at = 0;
        break;
      case 5:  // backwards, or no progress
        at = previous == 0 ? begin - 8 : previous - (step & 8 ? 0 : 8);
        break;
      case 6:  // past the end
        at = begin + valid_size - 3 + step / 8;
        break;
      case 7:  // misaligned
        at = (previous == 0 ? begin : previous) + 1 + step / 8 % 7;
        break;
      default:  // the next record at its layout's size
        at = previous == 0 ? begin : previous + ActivityRecordSize(Kind(*record));
        if (at >= begin + valid_size) return DRAVIK_ERROR_MAX_LIMIT_REACHED;
    }
    *record = reinterpret_cast<uint8_t*>(at);
    // The library writes a whole kernel's name pointer: a nonzero field
    // becomes the input's text from the offset it chooses to the end.
    if (at < begin || at > begin + valid_size ||
        begin + valid_size - at < sizeof(dravikActivityKernel) ||
        Kind(*record) != DRAVIK_ACTIVITY_TYPE_KERNEL) {
      return 0;
    }
    uint64_t field;
    std::memcpy(&field, *record + DRAVIK_KERNEL_OFFSET_NAME, sizeof(field));
    const char* name = field == 0 ? nullptr : names_->c_str() + field % (names_->size() + 1);
    std::memcpy(*record + DRAVIK_KERNEL_OFFSET_NAME, &name, sizeof(name));
    return 0;
  }

 private:
  const uint8_t* steps_;
  size_t count_, next_ = 0;
  const std::string* names_;
};

void CheckPlaneTexts(const XPlane& plane) {
  auto check = [](const std::string& text) { FuzzCheck(IsValidUtf8(text), "ill-formed UTF-8"); };
  auto check_stats = [&](const auto& stats) {
    for (const XStat& stat : stats) check(stat.str_value());
  };
  check(plane.name());
  check_stats(plane.stats());
  for (const XLine& line : plane.lines()) {
    check(line.name());
    check(line.display_name());
    for (const XEvent& event : line.events()) check_stats(event.stats());
  }
  for (const auto& [id, metadata] : plane.event_metadata()) {
    check(metadata.name());
    check(metadata.display_name());
    check_stats(metadata.stats());
  }
  for (const auto& [id, metadata] : plane.stat_metadata()) check(metadata.name());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zentrik::trace;
  static const bool quiet = setenv("ZENTRIK_CPP_MIN_LOG_LEVEL", "3", 0) == 0;
  (void)quiet;
  if (size == 0 || size < 1u + data[0] % 16) return 0;
  const size_t steps = data[0] % 16, valid_size = size - 1 - steps;
  if (valid_size == 0) return 0;
  const std::string names(reinterpret_cast<const char*>(data + 1 + steps), valid_size);
  // Exactly the buffer's bytes, so that a read past them is caught.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[valid_size]);
  std::memcpy(buffer.get(), data + 1 + steps, valid_size);

  FuzzedLibrary library(data + 1, steps, &names);
  DravikTracer tracer(&library);
  DravikTracerOptions options;
  options.enable_callback = false;
  options.activities = {DRAVIK_ACTIVITY_TYPE_KERNEL, DRAVIK_ACTIVITY_TYPE_MEMCPY,
                        DRAVIK_ACTIVITY_TYPE_OVERHEAD};
  DravikTracerCollectorImpl collector(0);
  tracer.Enable(options, &collector);
  const Status status = tracer.ProcessActivityBuffer(buffer.get(), valid_size);
  tracer.Disable();
  FuzzCheck(status.ok() || status.error_message() == "Parse dravik activity buffer error.",
            "walk ended with " + status.ToString());

  CorrelationIndex correlations;
  BuildCorrelationIndex(&collector, &correlations);
  XSpace space;
  XPlaneBuilder host(space.add_planes());
  const DeviceExportInputs inputs{0, &correlations, &collector.attributes_by_device, false};
  for (auto& [id, list] : collector.events_by_device) {
    XPlaneBuilder device(space.add_planes());
    ExportToXSpace(&list, inputs, &device, &host);
  }
  for (const XPlane& plane : space.planes()) CheckPlaneTexts(plane);
  std::string bytes;
  FuzzCheck(space.SerializeToString(&bytes), "XSpace does not serialize");
  return 0;
}
