// The export of a trace: ConvertXSpaceToProfileResponse on any parseable
// XSpace writes only strictly valid JSON, and ExportEvents on the same space
// links its events consistently both ways. With libFuzzer, a mutator that
// knows the XSpace shape makes the inputs: extreme times, missing metadata,
// duplicated planes, stats of the wrong type, deep nesting, odd plane names.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "tools/fuzz/fuzz_checks.h"
#include "trace/core/convert/export_to_tensorboard.h"
#include "trace/core/convert/xplane_to_profile_response.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "zentrik/trace/export_events.h"

namespace zentrik {
namespace trace {
namespace {

using ::zentrik::testing::FuzzCheck;

void CheckExport(const XSpace& space) {
  static testing::TempDir dir;
  const ProfileRequest request = PopulateProfileRequest(dir.path(), "run", "host");
  ProfileResponse response;
  ConvertXSpaceToProfileResponse(space, request, &response).ok();
  for (const char* file : {"/run/host.trace.json.gz", "/run/host.memory_profile.json.gz"}) {
    testing::CheckGzippedJsonFile(dir.path() + file);
    std::remove((dir.path() + file).c_str());
  }
  const std::string bytes = space.SerializeAsString();
  std::vector<ElapseEvent> events;
  if (!bytes.empty() && ExportEvents(&bytes, nullptr, &events)) {
    testing::CheckElapseEventLinks(events, 0);
  }
}

#ifdef ZENTRIK_LIBFUZZER
using Random = std::minstd_rand;

template <typename T>
T Extreme(Random& random) {
  const T values[] = {0,
                      1,
                      static_cast<T>(-1),
                      std::numeric_limits<T>::max(),
                      std::numeric_limits<T>::min(),
                      static_cast<T>(random())};
  return values[random() % 6];
}

XPlane* AnyPlane(XSpace* space, Random& random) {
  if (space->planes().empty() || random() % 8 == 0) {
    const char* names[] = {"/host:CPU",
                           "/device:ZRA:0",
                           "/device:ZRA:",
                           "/device:ZRA:-9",
                           "/device:ZRA:99999999999999999999",
                           "/device:ZRA:\xff"};
    space->add_planes()->set_name(names[random() % 6]);
  }
  return space->mutable_planes(random() % space->planes_size());
}

XEvent* AnyEvent(XPlane* plane, Random& random) {
  if (plane->lines().empty()) plane->add_lines()->set_id(random() % 4);
  XLine* line = plane->mutable_lines(random() % plane->lines_size());
  if (line->events().empty() || random() % 4 == 0) {
    XEvent* event = line->add_events();
    event->set_metadata_id(random() % 4);
    event->set_offset_ps(random() % 1000);
    event->set_duration_ps(random() % 1000);
  }
  return line->mutable_events(random() % line->events_size());
}

void SetAnyValue(XStat* stat, Random& random) {
  switch (random() % 6) {
    case 0:
      stat->set_double_value(Extreme<int64_t>(random) * 0.5);
      break;
    case 1:
      stat->set_uint64_value(Extreme<uint64_t>(random));
      break;
    case 2:
      stat->set_int64_value(Extreme<int64_t>(random));
      break;
    case 3:
      stat->set_str_value("op:Type#k=v#");
      break;
    case 4:
      stat->set_bytes_value(std::string("\0\xff", 2));
      break;
    default:
      stat->set_ref_value(random() % 8);
      break;
  }
}

void Mutate(XSpace* space, Random& random) {
  XPlane* plane = AnyPlane(space, random);
  switch (random() % 7) {
    case 0: {  // Extreme times.
      XEvent* event = AnyEvent(plane, random);
      event->set_offset_ps(Extreme<int64_t>(random));
      event->set_duration_ps(Extreme<int64_t>(random));
      plane->mutable_lines(0)->set_timestamp_ns(Extreme<int64_t>(random));
      break;
    }
    case 1:  // Metadata missing or present under a name.
      if (random() % 2 == 0) {
        plane->mutable_event_metadata()->clear();
      } else {
        (*plane->mutable_event_metadata())[random() % 4].set_name("a:b#x=1,y=2#");
        (*plane->mutable_stat_metadata())[random() % 8].set_name(
            random() % 2 ? "correlation_id" : "traceme_correlation_id");
      }
      break;
    case 2:  // A duplicated plane.
      space->add_planes()->CopyFrom(*plane);
      break;
    case 3: {  // A stat of any type, under any metadata id.
      XStat* stat = AnyEvent(plane, random)->add_stats();
      stat->set_metadata_id(random() % 8);
      SetAnyValue(stat, random);
      break;
    }
    case 4: {  // Deep nesting: events each inside the one before.
      XLine* line = plane->add_lines();
      const int depth = 1 + random() % 2000;
      for (int i = 0; i < depth; ++i) {
        XEvent* event = line->add_events();
        event->set_metadata_id(1);
        event->set_offset_ps(i);
        event->set_duration_ps(4000 - 2 * i);
      }
      break;
    }
    case 5:  // A count of occurrences instead of an offset.
      AnyEvent(plane, random)->set_num_occurrences(Extreme<int64_t>(random));
      break;
    default:
      plane->set_name(std::string(plane->name()) + static_cast<char>(random()));
      break;
  }
}
#endif  // ZENTRIK_LIBFUZZER

}  // namespace
}  // namespace trace
}  // namespace zentrik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zentrik::trace::XSpace space;
  if (!space.ParseFromArray(data, static_cast<int>(size))) return 0;
  zentrik::trace::CheckExport(space);
  return 0;
}

#ifdef ZENTRIK_LIBFUZZER
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  zentrik::trace::Random random(seed);
  zentrik::trace::XSpace space;
  // Now and then the bytes themselves, so that the wire format is fuzzed too.
  if (random() % 8 == 0 || !space.ParseFromArray(data, static_cast<int>(size))) {
    return LLVMFuzzerMutate(data, size, max_size);
  }
  zentrik::trace::Mutate(&space, random);
  const std::string bytes = space.SerializeAsString();
  if (bytes.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::copy(bytes.begin(), bytes.end(), data);
  return bytes.size();
}
#endif  // ZENTRIK_LIBFUZZER
