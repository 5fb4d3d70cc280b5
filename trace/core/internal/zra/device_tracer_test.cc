// The device tracer against the simulator's full variant: what each call answers in each state,
// with its log lines, and what each environment switch makes it ask the device libraries for.
#include "trace/core/internal/zra/device_tracer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/platform/env.h"
#include "testing/call_journal.h"
#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/internal/zra/dravik_wrapper.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/lib/tracer.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"

namespace zentrik {
namespace trace {
namespace {

constexpr char kSource[] = "trace/core/internal/zra/device_tracer";

// Two device tracers over the one API tracer, and the space they collect into.
struct Tracers {
  DeviceTracer first{DravikTracer::GetDravikTracerSingleton(), GetDravikInterface()};
  DeviceTracer second{DravikTracer::GetDravikTracerSingleton(), GetDravikInterface()};
  XSpace space;
};

std::string PlaneNames(const XSpace& space) {
  std::string names;
  for (const XPlane& plane : space.planes()) names += " " + plane.name();
  return names;
}

// One call in a session's life, in order: its result (the status text, then the planes after a
// collection) and the log lines of the device tracer.
struct Step {
  const char* call;
  std::string (*run)(Tracers&);
  const char* result;
  std::vector<std::string> log;
};
const Step kSteps[] = {
    {"collect before start", [](Tracers& t) { return t.first.CollectData(&t.space).ToString(); },
     "Failed precondition: No trace data collected, session wasn't started",
     {"INFO No trace data collected, session wasn't started"}},
    {"stop before start", [](Tracers& t) { return t.first.Stop().ToString(); },
     "Internal: Device tracer already be stopped.", {}},
    {"start whose PMU set-up fails",
     [](Tracers& t) {
       setenv("ZENTRIK_TRACE_PMU", "TRUE", 1);
       zra_sim::FailNext("dravikGetDeviceChipId", 1, 3);
       const Status status = t.first.Start(1000);
       unsetenv("ZENTRIK_TRACE_PMU");
       return status.ToString();
     },
     "Internal: dravik call error 3",
     {"ERROR function dravik_interface->GetDeviceChipId(device_id, &chip_type) failed with error 3",
      "INFO Device tracer failed to start."}},
    {"collect after the failed start",
     [](Tracers& t) { return t.first.CollectData(&t.space).ToString(); },
     "Failed precondition: Cannot collect, session failed to start",
     {"INFO Cannot collect,session failed to start"}},
    {"stop after the failed start", [](Tracers& t) { return t.first.Stop().ToString(); },
     "Internal: Device tracer already be stopped.", {}},
    {"start", [](Tracers& t) { return t.first.Start(1000).ToString(); }, "OK",
     {"INFO Device tracer started."}},
    {"start while running", [](Tracers& t) { return t.first.Start(2000).ToString(); }, "OK",
     {"WARNING device tracer has started , not need to start again!!!"}},
    {"another tracer starts", [](Tracers& t) { return t.second.Start(3000).ToString(); },
     "Unavailable: Another profile session running.", {"INFO Device tracer failed to start."}},
    {"collect while running", [](Tracers& t) { return t.first.CollectData(&t.space).ToString(); },
     "Failed precondition: Cannot collect trace before stopping",
     {"INFO Cannot collect trace before stopping"}},
    {"stop", [](Tracers& t) { return t.first.Stop().ToString(); }, "OK", {}},
    {"stop again", [](Tracers& t) { return t.first.Stop().ToString(); },
     "Internal: Device tracer already be stopped.", {}},
    // Nothing was recorded: the host plane is still added.
    {"collect after stop",
     [](Tracers& t) {
       const std::string status = t.first.CollectData(&t.space).ToString();
       return status + PlaneNames(t.space);
     },
     "OK /host:CPU", {}},
    {"start after stop", [](Tracers& t) { return t.first.Start(4000).ToString(); }, "OK",
     {"INFO Device tracer started."}},
    {"stop the restarted", [](Tracers& t) { return t.first.Stop().ToString(); }, "OK", {}},
};

// Prints each step's result and log lines, one line per step.
ZENTRIK_CHILD_SCENARIO(DeviceTracerSteps) {
  zra_sim::Reset();
  Tracers tracers;
  for (const Step& step : kSteps) {
    testing::StderrCapture capture;
    std::string line = step.run(tracers);
    for (const std::string& log : testing::LogLinesFrom(capture.Stop(), kSource)) {
      line += " | " + log;
    }
    printf("%s\n", line.c_str());
  }
  return 0;
}

TEST(DeviceTracerTest, EveryStateAnswersWithItsStatusAndLogLines) {
  const testing::ChildResult child =
      testing::RunScenario("DeviceTracerSteps", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  size_t begin = 0;
  for (const Step& step : kSteps) {
    const size_t end = child.out.find('\n', begin);
    ASSERT_NE(end, std::string::npos) << "no line for " << step.call;
    std::string expected = step.result;
    for (const std::string& log : step.log) expected += " | " + log;
    EXPECT_EQ(child.out.substr(begin, end - begin), expected) << step.call;
    begin = end + 1;
  }
}

constexpr const char* kSwitches[] = {
    "ZENTRIK_ENABLE_ACTIVITY", "ZENTRIK_ENABLE_CALLBACK", "ZENTRIK_TRACE_HALVO",
    "ZENTRIK_TRACE_TAMSEL",    "ZENTRIK_TRACE_GORVIN",    "ZENTRIK_TRACE_VORUND",
    "ZENTRIK_TRACE_PMU",       "ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS",
    "ZENTRIK_TRACE_ALL"};

// Each start reads the switches anew; text that is no boolean keeps a switch's default.
TEST(DeviceTracerTest, EnvironmentSwitchesChooseWhatIsTraced) {
  const std::string subscribe = "dravikSubscribe(&,&) ";
  const std::string vorund = "dravikEnableCallback(1,S,6,83..76)x23+1571 ";
  // Without every callback traced, TAMSEL and HALVO go off and GORVIN keeps 310 ids off.
  const std::string narrow = "dravikEnableDomain(0,S,1) dravikEnableDomain(0,S,0) "
                             "dravikEnableCallback(0,S,3,0..565)x310+93786 ";
  const std::string api = subscribe + "dravikEnableDomain(1,S,1) dravikEnableDomain(1,S,0) "
                                      "dravikEnableDomain(1,S,3) " + vorund + narrow;
  const std::string activity =
      "dravikActivityRegisterCallbacks(&,&) dravikActivityEnable(1) dravikActivityEnable(9) "
      "dravikActivityEnable(10) dravikActivityEnable(11) dravikActivityEnable(15) "
      "dravikActivityEnable(14)";
  // The interface's initialisation reveals the hidden counter: the simulator then reports 18,
  // tp_core__dram_read_cycles first and tp_core__hidden_cycles last. The 14 traced ones are
  // enabled in that order, tp_core__dram_write_cycles last.
  const auto id = [](const char* name) { return zra_sim::CounterId(name); };
  uint64_t traced_sum = 0;
  for (const char* name :
       {"tp_core__write_bytes", "tp_core__read_bytes", "tp_core__tlb_write_access",
        "tp_core__tlb_read_access", "tp_core__tlb_write_miss", "tp_core__tlb_read_miss",
        "tp_core__lt_cycles", "tp_core__alu_cycles", "tp_core__dram_read_cycles",
        "tp_core__dram_write_cycles", "tp_core__csimd_pre_cycles", "tp_core__csimd_post_cycles",
        "tp_memcore__write_bytes", "tp_memcore__read_bytes"}) {
    traced_sum += id(name);
  }
  const uint64_t supported_sum = traced_sum + id("tp_core__ecc_errors") +
                                 id("tp_core__idle_cycles") + id("tp_memcore__stall_cycles") +
                                 id("tp_core__hidden_cycles");
  const std::string first = std::to_string(id("tp_core__dram_read_cycles"));
  const std::string pmu = "dravikGetDeviceChipId(0) dravikPmuGetCounterSupported(8240,null) "
                          "dravikPmuGetCounterSupported(8240,&) dravikPmuGetCounterName(" +
                          first + ".." + std::to_string(id("tp_core__hidden_cycles")) + ")x18+" +
                          std::to_string(supported_sum) + " dravikPmuSetFlushMode(1) "
                          "dravikPmuEnableCounter(0," + first + ".." +
                          std::to_string(id("tp_core__dram_write_cycles")) + ",1)x14+" +
                          std::to_string(traced_sum) + " ";
  const struct {
    std::vector<std::pair<const char*, const char*>> environment;
    std::string journal;  // of the start
  } rows[] = {
      {{}, api + activity},
      {{{"ZENTRIK_TRACE_ALL", "true"}},
       subscribe +
           "dravikEnableDomain(1,S,1) dravikEnableDomain(1,S,0) dravikEnableDomain(1,S,3) " +
           vorund + "dravikEnableDomain(1,S,6) dravikEnableDomain(1,S,3) " + activity +
           " dravikActivityEnable(7)"},
      {{{"ZENTRIK_TRACE_ALL", "yes"}}, api + activity},
      {{{"ZENTRIK_ENABLE_CALLBACK", "false"}}, activity},
      // The interface looks the request up at its first use, after asking for the version.
      {{{"ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS", "1"}},
       api + "dravikGetLibVersion() dravikActivityEnableLatencyTimestamps(1) " + activity},
      // Without activities there are no latency timestamps either.
      {{{"ZENTRIK_ENABLE_ACTIVITY", "0"}, {"ZENTRIK_ENABLE_ACTIVITY_LATENCY_TIMESTAMPS", "true"}},
       api.substr(0, api.size() - 1)},
      {{{"ZENTRIK_TRACE_TAMSEL", "false"}, {"ZENTRIK_TRACE_HALVO", "FALSE"}},
       subscribe + "dravikEnableDomain(1,S,3) " + vorund + narrow + activity},
      {{{"ZENTRIK_TRACE_GORVIN", "false"}, {"ZENTRIK_TRACE_VORUND", "False"}},
       subscribe + "dravikEnableDomain(1,S,1) dravikEnableDomain(1,S,0) " + narrow + activity},
      {{{"ZENTRIK_TRACE_PMU", "yes"}}, api + activity},
      {{{"ZENTRIK_TRACE_PMU", "TRUE"}}, pmu + api + activity},
  };
  DravikTracer* api_tracer = DravikTracer::GetDravikTracerSingleton();
  for (const auto& row : rows) {
    std::string label;
    for (const char* name : kSwitches) unsetenv(name);
    for (const auto& [name, value] : row.environment) {
      setenv(name, value, 1);
      label += std::string(name) + "=" + value + " ";
    }
    zra_sim::Reset();
    DeviceTracer tracer(api_tracer, GetDravikInterface());
    zra_sim::SetJournal(true);
    ASSERT_TRUE(tracer.Start(0).ok()) << label;
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), row.journal) << label;
    ASSERT_TRUE(tracer.Stop().ok()) << label;
  }
  for (const char* name : kSwitches) unsetenv(name);
}

// The session's factory makes a device tracer only when device tracing is asked for and no
// other session traces devices.
TEST(DeviceTracerTest, FactoryRefusesWhileAnotherSessionTraces) {
  zra_sim::Reset();
  const struct {
    const char* row;
    int32_t level;
    bool other_session;
    bool created;
    std::vector<std::string> log;
  } rows[] = {
      {"level 0", 0, false, false, {}},
      {"level 1", 1, false, true, {}},
      {"another session", 1, true, false,
       {"WARNING DravikTracer initialization failed. Device tracer will be disabled."}},
  };
  for (const auto& row : rows) {
    DeviceTracer other(DravikTracer::GetDravikTracerSingleton(), GetDravikInterface());
    if (row.other_session) {
      ASSERT_TRUE(other.Start(0).ok()) << row.row;
    }
    ProfileOptions options;
    options.set_device_tracer_level(row.level);
    testing::StderrCapture capture;
    const bool created = CreateDeviceTracer(options) != nullptr;
    EXPECT_EQ(testing::LogLinesFrom(capture.Stop(), kSource), row.log) << row.row;
    EXPECT_EQ(created, row.created) << row.row;
  }
  EXPECT_TRUE(DravikTracer::GetDravikTracerSingleton()->IsAvailable());
}

// Each tracer takes its own level from the session's options: the host tracer records TraceMe
// activities up to the host level, the device tracer exists only for a device level. Asked of the
// factories and through a Tracer, which fills the options; a swap anywhere fails a row.
TEST(DeviceTracerTest, HostAndDeviceTracersTakeTheirOwnLevels) {
  zra_sim::Reset();
  const struct {
    uint32_t host, device;
    int32_t threshold;  // the recorder's while the session runs; -1: no host tracer
  } rows[] = {{3, 0, 3}, {0, 1, -1}, {2, 1, 2}, {1, 3, 1}};
  for (const auto& row : rows) {
    const std::string label =
        "host " + std::to_string(row.host) + ", device " + std::to_string(row.device);
    ProfileOptions options;
    options.set_host_tracer_level(row.host);
    options.set_device_tracer_level(row.device);
    options.set_version(1);
    testing::StderrCapture capture;  // the device tracer's INFO lines
    const std::unique_ptr<ProfilerInterface> host = CreateHostTracer(options);
    EXPECT_EQ(host != nullptr, row.host != 0) << label;
    if (host != nullptr) {
      ASSERT_TRUE(host->Start(EnvTime::NowNanos()).ok()) << label;
      EXPECT_EQ(TraceMeRecorder::threshold.load(), row.threshold) << label;
      ASSERT_TRUE(host->Stop().ok()) << label;
    }
    EXPECT_EQ(CreateDeviceTracer(options) != nullptr, row.device != 0) << label;

    TracerOptions tracer_options;
    tracer_options.host_tracer_level = static_cast<int32_t>(row.host);
    tracer_options.device_tracer_level = static_cast<int32_t>(row.device);
    Tracer tracer(tracer_options, "unused");
    ASSERT_TRUE(tracer.Start()) << label;
    EXPECT_EQ(TraceMeRecorder::threshold.load(), row.threshold) << label;
    EXPECT_EQ(DravikTracer::GetDravikTracerSingleton()->IsAvailable(), row.device == 0) << label;
    std::string collected;
    EXPECT_TRUE(tracer.Stop(&collected)) << label;
    capture.Stop();
  }
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
