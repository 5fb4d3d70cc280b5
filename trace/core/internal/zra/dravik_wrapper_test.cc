// The process-wide interface is made once per process, so each case runs in
// a child process against one simulator variant folder.
#include "trace/core/internal/zra/dravik_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "tools/zra_sim/zra_sim_control.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAreArray;
using ::zentrik::testing::LogLinesFrom;

// What the child sees of the interface, one line per question.
ZENTRIK_CHILD_SCENARIO(InterfaceObservations) {
  DravikInterface* dravik = GetDravikInterface();
  std::printf("same=%d loaded=%d init_failed=%d timestamp=%d\n", GetDravikInterface() == dravik,
              dravik->IsLoaded(), dravik->InitFailed(), dravik->GetTimestamp() != 0);
  const char* hidden = std::getenv("DRAVIK_PMU_ENABLE_HIDDEN_COUNTER");
  zra_sim::FailNext("morvelGetCardNameStringByDevId", 1, 0);  // a null name
  morvelCoreCountInfo cores{MORVEL_RECORD_VERSION, 0};
  std::printf("hidden=%s card=[%s] error=[%s] cores=%d disable=%d\n", hidden ? hidden : "unset",
              dravik->DevGetCardNameStringByDevId(0).c_str(),
              dravik->DevGetErrorString(12345).c_str(), dravik->DevGetCoreCount(&cores, 0),
              dravik->ActivityDisable(DRAVIK_ACTIVITY_TYPE_KERNEL));
  for (int call = 0; call < 2; ++call) {
    zra_sim::SetJournal(true);
    std::printf("latency=%d", dravik->ActivityEnableLatencyTimestamps(1));
    for (const std::string& entry : zra_sim::TakeJournal()) std::printf(" %s", entry.c_str());
    std::printf("\n");
  }
  return 0;
}

constexpr char kNullObject[] =
    "same=1 loaded=0 init_failed=1 timestamp=0\n"
    "hidden=unset card=[] error=[MORVEL_SUCCESS] cores=0 disable=0\n"
    "latency=0\nlatency=0\n";
const std::string kLoadedOut =
    "same=1 loaded=1 init_failed=0 timestamp=1\nhidden=true card=[] error=[] cores=0 disable=0\n";
const std::string kFullOut = kLoadedOut +
    "latency=0 dravikGetLibVersion() dravikActivityEnableLatencyTimestamps(1)\n"
    "latency=0 dravikActivityEnableLatencyTimestamps(1)\n";
constexpr char kLoaded[] = "INFO Load dravik library and symbols successfully.";
constexpr char kNotLoaded[] = "INFO Load dravik library and symbols failed.";
constexpr char kInitOk[] = "INFO Initialize dravik successfully.";
constexpr char kMorvelOk[] = "INFO Initialize morvel successfully.";
constexpr char kVersion[] = "INFO DRAVIK version is 3.1.0";

TEST(DravikWrapperTest, CreatesTheInterfaceOfEachVariantAndScenario) {
  const struct {
    const char* variant;
    testing::EnvOverrides env;
    std::vector<std::string> loader;  // from the platform's loader
    std::vector<std::string> lines;            // this unit's, after the library loads
    std::string out;
  } cases[] = {
      {"full", {}, {}, {kLoaded, kInitOk, kMorvelOk, kVersion}, kFullOut},
      {"no_vorund", {}, {"WARNING LoadLibrary: libvorund.so failed"}, {kNotLoaded}, kNullObject},
      {"no_required", {}, {"WARNING GetSymbol: dravikSubscribe from library failed."},
       {kNotLoaded}, kNullObject},
      {"empty", {},
       {"WARNING LoadLibrary: libdravik.so failed", "WARNING LoadLibrary: libvorund.so failed",
        "WARNING LoadLibrary: libmorvel.so failed"}, {kNotLoaded}, kNullObject},
      // Missing optional functions are never called through a null pointer.
      {"no_optional", {},
       {"WARNING GetSymbol: morvelGetCoreCount from library failed.",
        "WARNING GetSymbol: dravikActivityDisable from library failed.",
        "WARNING GetSymbol: dravikActivityEnableLatencyTimestamps from library failed."},
       {kLoaded, kInitOk, kMorvelOk, kVersion},
       std::regex_replace(kLoadedOut, std::regex("cores=0"), "cores=-1") +
           "latency=-1 dravikGetLibVersion()\nlatency=0\n"},
      // Library texts may be null: the line ends after its label.
      {"full", {{"ZRA_SIM_DRAVIK_INIT_RESULT", "42"}, {"ZRA_SIM_MORVEL_INIT_RESULT", "77"}}, {},
       {kLoaded, "WARNING Initialize dravik failed.", "WARNING error code is 42, error msg is ",
        "WARNING Initialize morvel failed.", "WARNING error msg is ", kVersion},
       std::regex_replace(kFullOut, std::regex("init_failed=0"), "init_failed=1")},
      // Version 3.0.0 has no latency timestamps: nothing is looked up.
      {"full", {{"ZRA_SIM_VERSION", "3.0.0"}}, {},
       {kLoaded, kInitOk, kMorvelOk, "INFO DRAVIK version is 3.0.0"},
       kLoadedOut + "latency=0 dravikGetLibVersion()\nlatency=0\n"},
  };
  const std::string here = std::getenv("LD_LIBRARY_PATH");  // the full variant's folder
  const std::string variants = here.substr(0, here.rfind('/') + 1);
  for (const auto& c : cases) {
    testing::EnvOverrides env = c.env;
    env.push_back({"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"});
    env.push_back({"LD_LIBRARY_PATH", variants + c.variant});
    const auto result = testing::RunScenario("InterfaceObservations", env);
    const std::string label = std::string(c.variant) + (c.env.empty() ? "" : " " + c.env[0].first);
    ASSERT_EQ(result.exit_code, 0) << label << result.err;
    EXPECT_THAT(LogLinesFrom(result.err, "common/platform/env"), ElementsAreArray(c.loader))
        << label;
    std::vector<std::string> lines =
        LogLinesFrom(result.err, "trace/core/internal/zra/dravik_wrapper");
    while (!lines.empty() && lines.front().find(" library from lib") != std::string::npos) {
      lines.erase(lines.begin());
    }
    EXPECT_THAT(lines, ElementsAreArray(c.lines)) << label;
    EXPECT_EQ(result.out, c.out.empty() ? result.out : c.out) << label;
  }
}

// The null object stands in for missing libraries: every operation succeeds and leaves its
// out-parameters as they were.
TEST(DravikWrapperTest, NullObjectSucceedsWithoutTouchingItsOutputs) {
  DravikInterface none;
  uint32_t u32 = 7;
  uint64_t u64 = 7, ids[1] = {7};
  size_t size = 7;
  const char* text = "unset";
  uint8_t* record = nullptr;
  dravik_SubscriberHandle subscriber = nullptr;
  morvelCoreCountInfo cores{7, 7};
  morvelFrequencyInfo frequency{};
  morvelDDRInfo ddr{};
  const std::string frequency_bytes(reinterpret_cast<const char*>(&frequency), sizeof(frequency));
  const std::string ddr_bytes(reinterpret_cast<const char*>(&ddr), sizeof(ddr));
  const std::pair<const char*, std::function<int32_t()>> calls[] = {
      {"Finalize", [&] { return none.Finalize(); }},
      {"QueueSync", [&] { return none.QueueSync(1); }},
      {"CtxGetDevice", [&] { return none.CtxGetDevice(&u32); }},
      {"GetCtxConfigParam", [&] { return none.GetCtxConfigParam(1, 1, &u64); }},
      {"CtxGetCurrent", [&] { return none.CtxGetCurrent(&u64); }},
      {"DevInit", [&] { return none.DevInit(0); }},
      {"DevGetCoreCount", [&] { return none.DevGetCoreCount(&cores, 0); }},
      {"DevGetFrequencyInfo", [&] { return none.DevGetFrequencyInfo(&frequency, 0); }},
      {"DevGetDDRInfo", [&] { return none.DevGetDDRInfo(&ddr, 0); }},
      {"GetDeviceType", [&] { return none.GetDeviceType(0, &u32); }},
      {"GetDeviceChipId", [&] { return none.GetDeviceChipId(0, &u64); }},
      {"PmuGetCounterSupported", [&] { return none.PmuGetCounterSupported(1, ids, &u64); }},
      {"PmuGetCounterName", [&] { return none.PmuGetCounterName(1, &text); }},
      {"PmuSetFlushMode", [&] { return none.PmuSetFlushMode(1); }},
      {"PmuEnableCounter", [&] { return none.PmuEnableCounter(0, 1, true); }},
      {"PmuFlushData", [&] { return none.PmuFlushData(0); }},
      {"PmuGetCounterValue", [&] { return none.PmuGetCounterValue(0, 1, &u64); }},
      {"ActivityEnable", [&] { return none.ActivityEnable(1); }},
      {"ActivityRegisterCallbacks",
       [&] { return none.ActivityRegisterCallbacks(nullptr, nullptr); }},
      {"ActivityGetNextRecord",
       [&] { return none.ActivityGetNextRecord(reinterpret_cast<uint8_t*>(&u64), size, &record); }},
      {"Subscribe", [&] { return none.Subscribe(&subscriber, nullptr, nullptr); }},
      {"Unsubscribe", [&] { return none.Unsubscribe(subscriber); }},
      {"EnableCallback", [&] { return none.EnableCallback(1, subscriber, 6, 47); }},
      {"EnableDomain", [&] { return none.EnableDomain(1, subscriber, 6); }},
      {"EnableAllDomains", [&] { return none.EnableAllDomains(1, subscriber); }},
      {"GetCallbackState", [&] { return none.GetCallbackState(&u32, subscriber, 6, 47); }},
      {"GetResultString", [&] { return none.GetResultString(1, &text); }},
  };
  none.Init();
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), 0) << name;
  EXPECT_EQ(std::make_tuple(u32, u64, ids[0], size, std::string(text), record, subscriber,
                            cores.version, cores.count),
            std::make_tuple(7u, 7u, 7u, 7u, std::string("unset"), nullptr, nullptr, 7u, 7u));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&frequency), sizeof(frequency)),
            frequency_bytes);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ddr), sizeof(ddr)), ddr_bytes);
  EXPECT_TRUE(none.InitFailed());
}

// Calls no session makes still reach the named library function with their arguments, and
// the version query's failure is logged once: the first request decides for the process.
ZENTRIK_CHILD_SCENARIO(RarelyUsedCalls) {
  DravikInterface* dravik = GetDravikInterface();
  zra_sim::SetJournal(true);
  uint32_t enabled = 0;
  zra_sim::FailNext("dravikGetLibVersion", 1, 9);
  for (const int32_t result :
       {dravik->DevInit(3), dravik->EnableAllDomains(1, nullptr),
        dravik->GetCallbackState(&enabled, nullptr, 6, 47), dravik->Finalize(),
        dravik->ActivityEnableLatencyTimestamps(1), dravik->ActivityEnableLatencyTimestamps(1)}) {
    std::printf("%d ", result);
  }
  for (const std::string& entry : zra_sim::TakeJournal()) std::printf("%s ", entry.c_str());
  return 0;
}

TEST(DravikWrapperTest, RarelyUsedCallsAndAFailedVersionQuery) {
  const auto result =
      testing::RunScenario("RarelyUsedCalls", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "1"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The simulator refuses the null subscriber; the second request asks for nothing.
  EXPECT_EQ(result.out,
            "0 1 1 0 9 0 morvelInit(3) dravikEnableAllDomains(1,S0) "
            "dravikGetCallbackState(S0,6,47) dravikGetLibVersion() ");
  EXPECT_THAT(LogLinesFrom(result.err, "trace/core/internal/zra/dravik_wrapper"),
              ElementsAreArray({"WARNING dravikFinalize is not implemented now.",
                                "ERROR DRAVIK get lib version failed, ret is 9"}));
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
