#ifndef ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_TO_ZENTRIK_OVERVIEW_H_
#define ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_TO_ZENTRIK_OVERVIEW_H_

#include <cstdint>
#include <map>

#include "trace/core/convert/step_events.h"
#include "trace/core/protobuf/pmu.pb.h"
#include "trace/core/protobuf/zentrik_overview.pb.h"

namespace zentrik {
namespace trace {

// The step overview of a run: one record per step (its span, launch and
// execution summaries, launch latencies, batch size and kernel counters),
// statistics over all steps and the summed counters. Never fails; logs a
// WARNING per overlapping host launch and an INFO line per launch that does
// not begin before its kernel. Thread-safe.
ZentrikOverviewInfo ConvertStepEventsToZentrikOverview(const StepEvents& step_events);

// The counters of all records summed (an unknown counter stays unknown), the
// last record's device facts, count 1 and the derived figures.
PmuInfo SumStepRecordsPmuInfo(const std::map<int64_t, ZentrikStepRecord>& records);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_CONVERT_STEP_EVENTS_TO_ZENTRIK_OVERVIEW_H_
