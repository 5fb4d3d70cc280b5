// The API tracer, its activity buffers, the collector and device facts against the simulator's
// full variant (reset for each test); the device tracer's PMU set-up over a fake interface.
#include "trace/core/internal/zra/dravik_tracer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "testing/call_journal.h"
#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/internal/zra/device_attributes.h"
#include "trace/core/internal/zra/device_tracer.h"
#include "trace/core/internal/zra/dravik_tracer_collector.h"
#include "trace/core/internal/zra/dravik_wrapper.h"
#include "trace/core/lib/annotation_stack.h"

// The replacement below pairs malloc with free, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool fail_next_allocation = false;  // this thread's next allocation fails
}  // namespace

void* operator new(std::size_t size) {
  if (fail_next_allocation) {
    fail_next_allocation = false;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace zentrik {
namespace trace {
namespace {

using ::testing::Contains;
using ::zentrik::testing::LogLinesFrom;
constexpr char kSource[] = "trace/core/internal/zra/dravik_tracer";
constexpr uint64_t kNo = kDravikNoValue64;

class DravikTracerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zra_sim::Reset();
    options_.activities = {1, 9, 10, 11, 15, 14};
    // A test that stops inside a launch leaves its entry time on this thread;
    // the next test starts with no open call.
    ThreadAnnotationStack::GetThreadState().first_stack.clear();
  }
  void Start() {
    collector_ = std::make_unique<DravikTracerCollectorImpl>(0);
    tracer_->Enable(options_, collector_.get());
  }
  void Stop() {
    zra_sim::FlushActivity();
    tracer_->Disable();
  }
  // Stored records of `source`, per type.
  std::multimap<int32_t, const DravikTracerEvent*> Events(int32_t source) {
    std::multimap<int32_t, const DravikTracerEvent*> events;
    for (auto& [device, list] : collector_->events_by_device) {
      for (auto& event : list.events) {
        if (event->source == source) events.emplace(event->type, event.get());
      }
    }
    return events;
  }
  // PMU tracing of two counters, set up as the device tracer does.
  void TracePmu() {
    DravikInterface* dravik = GetDravikInterface();
    options_.trace_pmu = true;
    options_.pmu_counter_ids = {zra_sim::CounterId("tp_core__lt_cycles"),
                                zra_sim::CounterId("tp_memcore__read_bytes")};
    dravik->PmuSetFlushMode(DRAVIK_PMU_EXPLICIT_FLUSH);
    for (uint64_t id : options_.pmu_counter_ids) dravik->PmuEnableCounter(0, id, true);
  }
  // The counters stored for a default launch must be exactly what its kernel added.
  void ExpectExactDeltas(uint64_t correlation_id) {
    const KernelPmuCounters pmu = collector_->FindKernelPmuCounters(correlation_id);
    const zra_sim::Kernel k;
    auto delta = [&k](const char* name) {
      return zra_sim::CounterDelta(name, k.grid_x, k.grid_y, k.grid_z, k.duration_ns);
    };
    EXPECT_TRUE(pmu.valid) << correlation_id;
    EXPECT_EQ(pmu.counters[6], delta("tp_core__lt_cycles"));
    EXPECT_EQ(pmu.counters[14], delta("tp_memcore__read_bytes"));
    EXPECT_EQ(pmu.counters[0], kNo);  // not traced
  }

  DravikTracer* tracer_ = DravikTracer::GetDravikTracerSingleton();
  DravikTracerOptions options_;
  std::unique_ptr<DravikTracerCollectorImpl> collector_;
};

// A failure at any step is logged, the session still stops and the next one records each call
// and activity once; without a failure, Disable undoes what Enable did.
TEST_F(DravikTracerTest, EnableDisableAndAFailureAtEachStep) {
  const std::string undone =
      "dravikEnableDomain(0,S,1) dravikEnableDomain(0,S,0) dravikEnableDomain(0,S,3) "
      "dravikEnableDomain(0,S,6) dravikUnsubscribe(S) dravikActivityDisable(1) "
      "dravikActivityDisable(9) dravikActivityDisable(10) dravikActivityDisable(11) "
      "dravikActivityDisable(15) dravikActivityDisable(14) "
      "dravikActivityRegisterCallbacks(null,null) ";
  const struct {
    const char* function;  // null: no failure
    bool at_disable;
    std::string call;  // as the error line names it
  } cases[] = {
      {nullptr, false, ""},
      {"dravikEnableDomain", true, "EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)"},
      {"dravikActivityEnable", false, "ActivityEnable(activity)"},
      {"dravikActivityDisable", true, "ActivityDisable(activity)"},
      {"dravikActivityRegisterCallbacks", true, "ActivityRegisterCallbacks( nullptr, nullptr)"},
  };
  for (const auto& c : cases) {
    testing::StderrCapture capture;
    for (bool failing : {true, false}) {
      if (failing && c.function && !c.at_disable) zra_sim::FailNext(c.function, 1, 7);
      Start();
      zra_sim::LaunchKernel({});
      zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
      zra_sim::FlushActivity();
      if (failing && c.function && c.at_disable) zra_sim::FailNext(c.function, 1, 7);
      zra_sim::SetJournal(true);
      tracer_->Disable();
      EXPECT_TRUE(tracer_->IsAvailable()) << c.call;
      std::string journal;  // subscribers as S
      for (const std::string& entry : zra_sim::TakeJournal()) journal += entry + " ";
      journal = std::regex_replace(journal, std::regex("S\\d+"), "S");
      const bool withdrawn = journal.find("dravikUnsubscribe(S) ") != std::string::npos &&
                             journal.find("RegisterCallbacks(null,null)") != std::string::npos;
      EXPECT_TRUE(failing && c.function ? withdrawn : journal == undone) << c.call << journal;
    }
    const auto lines = LogLinesFrom(capture.Stop(), kSource);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "ERROR function dravik_interface_->" + c.call + " failed with error 7"),
              c.function ? 1 : 0) << c.call;
    EXPECT_EQ(Events(kApiCallback).size(), 2u) << c.call;
    EXPECT_EQ(Events(kActivity).size(), 2u) << c.call;
  }
}

// Callback data laid out as the library passes it.
std::vector<uint8_t> Data(uint32_t site, const char* name, uint64_t correlation_id) {
  std::vector<uint8_t> bytes(48);
  std::memcpy(&bytes[DRAVIK_CB_DATA_OFFSET_SITE], &site, sizeof(site));
  std::memcpy(&bytes[DRAVIK_CB_DATA_OFFSET_FUNCTION_NAME], &name, sizeof(name));
  std::memcpy(&bytes[DRAVIK_CB_DATA_OFFSET_CORRELATION_ID], &correlation_id, 8);
  return bytes;
}

TEST_F(DravikTracerTest, HandlesHandMadeCallbackData) {
  options_.enable_activity = false;
  Start();
  const struct {
    std::vector<uint8_t> data;  // empty: null data
    std::string status;
  } calls[] = {
      {{}, "Invalid argument: Null callback data."},
      {Data(0, nullptr, 0x100000002), "OK"},  // a null name counts as empty
      {Data(1, nullptr, 0x100000002), "OK"},
      {Data(0, "qx\xffRun", 3), "OK"},  // ill-formed UTF-8 is replaced
      {Data(1, "qx\xffRun", 3), "OK"},
      {Data(2, "qxRun", 4), "Invalid argument: Unknown callbackSite"},  // neither entry nor exit
  };
  for (const auto& call : calls) {
    const void* data = call.data.empty() ? nullptr : call.data.data();
    EXPECT_EQ(tracer_->HandleApiCallback(6, 47, data).ToString(), call.status);
  }
  Stop();
  const auto events = Events(kApiCallback);
  std::set<std::string> names;
  for (const auto& [type, e] : events) names.insert(e->name + "#" + std::to_string(e->correlation_id));
  EXPECT_EQ(names, (std::set<std::string>{"#2", "qx\xEF\xBF\xBDRun#3"}));
}

// A child that fork() made while a thread of the parent was inside a traced
// launch (holding the launch gate) neither waits for the gate nor records into
// the parent's session; the parent's launch is recorded as usual.
TEST_F(DravikTracerTest, ForkedChildLeavesTheParentsSessionAlone) {
  constexpr int kChildLimitMs = 20000;  // Only a hung child reaches it.
  options_.enable_activity = false;
  TracePmu();
  Start();
  const auto launch = [this](uint32_t site, uint64_t id) {
    tracer_->HandleApiCallback(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxInvokeKernel,
                               Data(site, "qxInvokeKernel", id).data());
  };
  std::atomic<bool> entered{false};
  std::atomic<bool> forked{false};
  std::thread holder([&] {
    launch(0, 1);
    entered = true;
    while (!forked) std::this_thread::yield();
    launch(1, 1);
  });
  while (!entered) std::this_thread::yield();
  const size_t before = Events(kApiCallback).size();
  const pid_t pid = fork();
  if (pid == 0) {
    launch(0, 2);
    launch(1, 2);
    _exit(Events(kApiCallback).size() == before ? 0 : 1);
  }
  forked = true;
  holder.join();
  ASSERT_GT(pid, 0);
  const testing::ChildResult child = testing::WaitForChild(pid, kChildLimitMs);
  EXPECT_FALSE(child.hung) << "the child waited for a gate held by a thread of the parent";
  EXPECT_EQ(child.exit_code, 0) << "the child recorded into the parent's session";
  Stop();
  std::set<uint64_t> ids;
  for (const auto& [type, event] : Events(kApiCallback)) ids.insert(event->correlation_id);
  EXPECT_EQ(ids, std::set<uint64_t>{1});
}

TEST_F(DravikTracerTest, PmuEdgeCases) {
  options_.enable_activity = false;
  TracePmu();
  Start();
  testing::StderrCapture capture;
  auto launch_around = [](auto inside) {
    return zra_sim::TracedCall(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxInvokeKernel,
                               "qxInvokeKernel", inside);
  };
  // A start value that could not be read leaves its counter without value.
  zra_sim::FailNext("dravikPmuGetCounterValue", 1, 7);
  const KernelPmuCounters no_start = collector_->FindKernelPmuCounters(zra_sim::LaunchKernel({}));
  EXPECT_TRUE(no_start.valid);
  EXPECT_EQ(no_start.counters[6], kNo);
  EXPECT_EQ(no_start.counters[14], kNo);
  ExpectExactDeltas(zra_sim::LaunchKernel({}));  // start values do not go stale
  // A failed read at exit loses the counters, not the call's record.
  zra_sim::FailNext("dravikPmuGetCounterName", 1, 7);
  EXPECT_FALSE(collector_->FindKernelPmuCounters(zra_sim::LaunchKernel({})).valid);
  // A launch inside this thread's own launch skips its counters, not waits.
  uint64_t inner = 0;
  const uint64_t outer = launch_around([&] { inner = zra_sim::LaunchKernel({}); });
  EXPECT_FALSE(collector_->FindKernelPmuCounters(inner).valid);
  EXPECT_TRUE(collector_->FindKernelPmuCounters(outer).valid);
  EXPECT_THAT(LogLinesFrom(capture.Stop(), kSource),
              Contains("ERROR function dravik_interface_->PmuGetCounterName(id, &name) failed "
                       "with error 7"));
  EXPECT_EQ(Events(kApiCallback).size(), 5u);
  // Stopped between a launch's entry and exit: later launches neither wait nor see stale values.
  launch_around([this] { tracer_->Disable(); });
  Start();
  uint64_t other = 0;
  std::thread([&other] { other = zra_sim::LaunchKernel({}); }).join();
  ExpectExactDeltas(other);
  ExpectExactDeltas(zra_sim::LaunchKernel({}));
  Stop();
}

// One PMU-traced launch straight through the hook, with `inside` run between its entry and exit
// after its own kernel: its counters are stored only when no other launch can have added to them
// and its exit finds its entry time, its call is recorded whenever its entry time is known, and
// the gate opens whatever happened.
TEST_F(DravikTracerTest, LaunchStoresCountersOnlyWhenNothingElseRan) {
  TracePmu();
  constexpr uint32_t kLaunch = DRAVIK_CBID_VORUND_qxInvokeKernel;
  const auto exit = [](DravikQxApiHook* hook, uint32_t cbid, const char* name, uint64_t id) {
    return hook->OnApiExit(DRAVIK_CB_DOMAIN_VORUND_API, cbid, Data(1, name, id).data(), 1);
  };
  const struct {
    const char* row;
    std::function<void(DravikQxApiHook*, KernelLaunchGate*)> inside;
    bool stored;
    std::set<std::string> records;
  } rows[] = {
      {"alone", [](auto*, auto*) {}, true, {"qxInvokeKernel"}},
      {"the session ended and another launch ran",
       [](auto*, KernelLaunchGate* gate) {
         gate->EndSession();
         zra_sim::LaunchKernel({});
       },
       false,
       {"qxInvokeKernel"}},
      {"a launch from before the session ended",
       [&exit](DravikQxApiHook* hook, auto*) {
         std::thread([&] {
           zra_sim::LaunchKernel({});
           exit(hook, kLaunch, "qxInvokeKernel", 99);
         }).join();
       },
       false,
       {"qxInvokeKernel"}},
      {"an exit without entry took the launch's entry time",
       [&exit](DravikQxApiHook* hook, auto*) { exit(hook, 47, "qxMalloc", 5); },
       false,
       {"qxMalloc"}},
  };
  for (const auto& row : rows) {
    collector_ = std::make_unique<DravikTracerCollectorImpl>(0);
    KernelLaunchGate gate;
    DravikQxApiHookWithHostEvent hook(&options_, collector_.get(), GetDravikInterface(), &gate,
                                      gate.session());
    hook.OnApiEnter(DRAVIK_CB_DOMAIN_VORUND_API, kLaunch, nullptr);
    zra_sim::LaunchKernel({});  // no subscriber: the hook sees only what the test hands it
    row.inside(&hook, &gate);
    exit(&hook, kLaunch, "qxInvokeKernel", 7);
    if (row.stored) {
      ExpectExactDeltas(7);
    } else {
      EXPECT_FALSE(collector_->FindKernelPmuCounters(7).valid) << row.row;
    }
    std::set<std::string> records;
    for (const auto& [type, event] : Events(kApiCallback)) records.insert(event->name);
    EXPECT_EQ(records, row.records) << row.row;
    EXPECT_FALSE(gate.Held()) << row.row;
  }
}

// Launch exits that find their thread's entry times gone, after `launches` nested launches
// entered and as many exits without entry took their times: they ask the library for nothing,
// record nothing and store no counters, so a later kernel with their correlation id finds none.
// Only the exit of the launch that took the gate opens it; another thread's launch then goes
// through with its own counters.
TEST_F(DravikTracerTest, LaunchExitWithoutEntryTimeOnlyOpensTheGate) {
  TracePmu();
  constexpr uint32_t kLaunch = DRAVIK_CBID_VORUND_qxInvokeKernel;
  const auto call = [](DravikQxApiHook* hook, uint32_t site, uint32_t cbid, const char* name,
                       uint64_t id) {
    const auto data = Data(site, name, id);
    return site == 0 ? hook->OnApiEnter(DRAVIK_CB_DOMAIN_VORUND_API, cbid, data.data())
                     : hook->OnApiExit(DRAVIK_CB_DOMAIN_VORUND_API, cbid, data.data(), 1);
  };
  const struct {
    const char* row;
    int launches;
  } rows[] = {
      {"one launch", 1},
      {"a launch inside the thread's own launch", 2},
      {"no launch entered in the session", 0},
  };
  for (const auto& row : rows) {
    collector_ = std::make_unique<DravikTracerCollectorImpl>(0);
    KernelLaunchGate gate;
    DravikQxApiHookWithHostEvent hook(&options_, collector_.get(), GetDravikInterface(), &gate,
                                      gate.session());
    for (int i = 0; i < row.launches; ++i) {
      call(&hook, 0, kLaunch, "qxInvokeKernel", 7);
      zra_sim::LaunchKernel({});  // no subscriber: the hook sees only what the test hands it
    }
    for (int i = 0; i < row.launches; ++i) call(&hook, 1, 47, "qxMalloc", 5);
    zra_sim::SetJournal(true);
    for (int i = std::max(row.launches, 1); i > 0; --i) {
      EXPECT_EQ(call(&hook, 1, kLaunch, "qxInvokeKernel", 7).ToString(),
                "Unavailable: The correlationData stack is empty.")
          << row.row;
      // The outermost launch took the gate; it stays shut until that one's exit.
      EXPECT_EQ(gate.Held(), i > 1) << row.row << ", exits left " << i - 1;
    }
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), "") << row.row;
    zra_sim::SetJournal(false);
    EXPECT_FALSE(collector_->FindKernelPmuCounters(7).valid) << row.row;
    if (gate.Held()) continue;  // another launch would wait for ever
    std::thread([&] {
      call(&hook, 0, kLaunch, "qxInvokeKernel", 8);
      zra_sim::LaunchKernel({});
      call(&hook, 1, kLaunch, "qxInvokeKernel", 8);
    }).join();
    ExpectExactDeltas(8);
    std::multiset<std::string> records;
    for (const auto& [type, event] : Events(kApiCallback)) {
      records.insert(event->name + "#" + std::to_string(event->correlation_id));
    }
    std::multiset<std::string> expected{"qxInvokeKernel#8"};
    for (int i = 0; i < row.launches; ++i) expected.insert("qxMalloc#5");
    EXPECT_EQ(records, expected) << row.row;
  }
}

// Launches on a device other than 0 set its counters up at the first one; a device whose set-up
// or reads fail is logged once in a session, and tried again in the next.
TEST_F(DravikTracerTest, SecondDeviceCountersAndFailuresOncePerSession) {
  options_.enable_activity = false;
  TracePmu();
  const auto device_tracer_error = [](const char* call) {
    return "ERROR function dravik_interface->" + std::string(call) + " failed with error 7";
  };
  const auto hook_error = [](const char* call) {
    return "ERROR function dravik_interface_->" + std::string(call) + " failed with error 7";
  };
  const struct {
    const char* function;  // null: no failure
    int count;
    std::vector<std::string> lines;  // of both sources, ERROR only
  } rows[] = {
      {nullptr, 0, {}},
      {"dravikGetDeviceChipId", 1, {device_tracer_error("GetDeviceChipId(device_id, &chip_type)")}},
      {"dravikPmuEnableCounter", 1, {device_tracer_error("PmuEnableCounter(device_id, id, true)")}},
      {"dravikPmuFlushData", 6, {hook_error("PmuFlushData(device_id)")}},
      {"dravikPmuSetFlushMode", 1,
       {device_tracer_error("PmuSetFlushMode(DRAVIK_PMU_EXPLICIT_FLUSH)")}},
  };
  const uint64_t lt = zra_sim::CounterDelta("tp_core__lt_cycles", 1, 1, 1, 1000);
  zra_sim::SetCurrentDevice(1);
  for (const auto& row : rows) {
    for (bool failing : {true, false}) {
      testing::StderrCapture capture;
      Start();
      if (failing && row.function) zra_sim::FailNext(row.function, row.count, 7);
      std::vector<uint64_t> launches;
      for (int i = 0; i < 3; ++i) launches.push_back(zra_sim::LaunchKernel({}));
      Stop();
      const std::string err = capture.Stop();
      std::vector<std::string> lines;
      for (const char* source : {kSource, "trace/core/internal/zra/device_tracer"}) {
        for (const std::string& line : LogLinesFrom(err, source)) {
          if (line.rfind("ERROR", 0) == 0) lines.push_back(line);
        }
      }
      const bool counted = !(failing && row.function);
      const char* name = counted ? "no failure" : row.function;
      EXPECT_EQ(lines, counted ? std::vector<std::string>() : row.lines) << name;
      for (uint64_t launch : launches) {
        const KernelPmuCounters pmu = collector_->FindKernelPmuCounters(launch);
        EXPECT_EQ(pmu.valid, counted) << name;
        EXPECT_EQ(pmu.counters[6], counted ? lt : kNo) << name;
      }
    }
  }
  zra_sim::SetCurrentDevice(0);
}

// Threads whose first launches reach a device other than 0 at once: the device is set up once in
// each session and every launch carries its own kernel's counters. Run under ThreadSanitizer too.
TEST_F(DravikTracerTest, ThreadsReachingANewDeviceAtOnceSetItUpOnce) {
  options_.enable_activity = false;
  TracePmu();
  constexpr int kThreads = 6;
  const zra_sim::Kernel k;
  const uint64_t lt =
      zra_sim::CounterDelta("tp_core__lt_cycles", k.grid_x, k.grid_y, k.grid_z, k.duration_ns);
  zra_sim::SetJournal(true);
  for (int session = 0; session < 10; ++session) {
    testing::StderrCapture capture;
    Start();
    std::atomic<int> ready{0};
    std::vector<std::vector<uint64_t>> launches(kThreads);
    std::vector<std::thread> threads;
    for (std::vector<uint64_t>& mine : launches) {
      threads.emplace_back([&ready, &mine] {
        zra_sim::SetCurrentDevice(1);
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int i = 0; i < 3; ++i) mine.push_back(zra_sim::LaunchKernel({}));
      });
    }
    for (std::thread& thread : threads) thread.join();
    Stop();
    EXPECT_EQ(capture.Stop().find(": ERROR:"), std::string::npos) << session;
    const std::vector<std::string> journal = zra_sim::TakeJournal();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "dravikGetDeviceChipId(1)"), 1) << session;
    for (const std::vector<uint64_t>& mine : launches) {
      for (uint64_t launch : mine) {
        const KernelPmuCounters pmu = collector_->FindKernelPmuCounters(launch);
        EXPECT_TRUE(pmu.valid) << session;
        EXPECT_EQ(pmu.counters[6], lt) << session;
      }
    }
  }
  zra_sim::SetJournal(false);
}

// A record the walk cannot trust ends its buffer and the records before it
// stay; a buffer completed after the session stopped is dropped with a warning.
TEST_F(DravikTracerTest, WalkFaultsAndLateBuffers) {
  options_.enable_callback = false;
  for (auto fault : {zra_sim::WalkFault::kNullRecord, zra_sim::WalkFault::kNoProgress,
                     zra_sim::WalkFault::kPastEnd, zra_sim::WalkFault::kMisaligned}) {
    Start();
    zra_sim::SetWalkFault(fault, 2);
    for (int i = 0; i < 5; ++i) zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
    Stop();
    const size_t kept = Events(kActivity).size();
    // A misaligned record lies inside the buffer and is read byte-wise.
    EXPECT_EQ(kept == 2u || (fault == zra_sim::WalkFault::kMisaligned && kept <= 5), true)
        << static_cast<int>(fault) << " kept " << kept;
  }
  Start();
  zra_sim::HoldBuffers(true);
  zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
  tracer_->Disable();
  testing::StderrCapture capture;
  EXPECT_GE(zra_sim::DeliverHeldBuffers(), 1);
  EXPECT_THAT(LogLinesFrom(capture.Stop(), kSource),
              Contains("WARNING DRAVIK activity buffer is freed after flush."));
  EXPECT_TRUE(Events(kActivity).empty());
}

// Application threads launch while sessions stop and two library threads complete small
// buffers; run under ThreadSanitizer: no callback may outlive what Disable lets go, and every
// stored counter set is exactly its own kernel's, however the stop cut into the launches. The
// threads launch only once a session has started, so no launch from before it is in flight.
TEST_F(DravikTracerTest, LaunchesWhileSessionsStop) {
  TracePmu();
  zra_sim::SetWorkerCount(2);
  zra_sim::SetBufferSize(1024);
  std::atomic<bool> done{false}, launching{false};
  std::atomic<int> busy{0}, launched{0};
  std::vector<std::thread> threads(4);
  for (std::thread& thread : threads) {
    thread = std::thread([&] {
      while (!done.load()) {
        ++busy;
        if (launching.load()) {
          zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_DTOH, 8 + zra_sim::LaunchKernel({}));
          ++launched;
        }
        --busy;
        std::this_thread::yield();
      }
    });
  }
  size_t counted = 0;
  for (int session = 0; session < 40; ++session) {
    Start();
    launched.store(0);
    launching.store(true);
    while (launched.load() < 40) std::this_thread::yield();
    Stop();
    launching.store(false);
    while (busy.load() != 0) std::this_thread::yield();
    for (const auto& [type, event] : Events(kApiCallback)) {
      EXPECT_TRUE(event->name == "qxInvokeKernel" || event->name == "qxMemcpyDtoH") << event->name;
      if (event->name != "qxInvokeKernel" ||
          !collector_->FindKernelPmuCounters(event->correlation_id).valid) {
        continue;
      }
      ++counted;
      ExpectExactDeltas(event->correlation_id);
    }
  }
  done.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_GT(counted, 0u);
}

// Supports ids 1-4; id 3 has no name. A failed count query leaves garbage, as
// the library may; `count` replaces the count it reports.
class FakePmu : public DravikInterface {
 public:
  bool fail_count_query = false;
  int32_t list_query_result = 0;  // of the query that fills the list
  uint64_t count = 4;
  std::string journal;

  int32_t GetDeviceChipId(uint32_t, uint64_t* chip) override { return *chip = 42, 0; }
  int32_t PmuGetCounterSupported(uint64_t, uint64_t* ids, uint64_t* count) override {
    if (ids == nullptr)
      return fail_count_query ? (*count = 0xA5A5A5A5A5A5A5A5, 7) : (*count = this->count, 0);
    if (list_query_result != 0) return list_query_result;
    for (uint64_t i = 0; i < *count && i < 4; ++i) ids[i] = i + 1;
    *count = 6;  // more than the room it was given: the caller must clamp
    return 0;
  }
  int32_t PmuGetCounterName(uint64_t id, const char** name) override {
    static const std::map<uint64_t, const char*> names = {
        {1, "tp_core__lt_cycles"}, {2, "other"}, {3, nullptr}, {4, "tp_memcore__read_bytes"}};
    return *name = names.at(id), 0;
  }
  int32_t PmuSetFlushMode(uint32_t mode) override {
    return journal += "flush" + std::to_string(mode) + " ", 0;
  }
  int32_t PmuEnableCounter(uint32_t device, uint64_t id, bool) override {
    return journal += "enable" + std::to_string(device) + ":" + std::to_string(id) + " ", 0;
  }
};

// Two starts in a row: each enables the traced counters once. A count query
// that fails or reports more counters than any device has ends the set-up
// before anything is enabled.
TEST(DeviceTracerTest, PmuSetUpSelectsTracedCountersOnce) {
  const std::string query =
      "ERROR function dravik_interface->PmuGetCounterSupported( chip_type, "
      "nullptr, &size)";
  const struct {
    bool fail_count_query;
    uint64_t count;
    uint32_t device;
    std::string status, journal, error;
    int32_t list_query_result = 0;
  } cases[] = {
      {false, 4, 0, "OK", "flush1 enable0:1 enable0:4 flush1 enable0:1 enable0:4 ", ""},
      {false, 4, 1, "OK", "flush1 enable1:1 enable1:4 flush1 enable1:1 enable1:4 ", ""},
      {false, 0, 0, "OK", "flush1 flush1 ", ""},
      {true, 4, 0, "Internal: dravik call error 7", "", query + " failed with error 7"},
      {false, 4097, 0, "Internal: dravik call error: 4097 counters", "",
       query + " reported 4097 counters, more than 4096"},
      {false, 4, 0, "Internal: dravik call error 8", "",
       "ERROR function dravik_interface->PmuGetCounterSupported( chip_type, "
       "pmu_counter_supported.data(), &size) failed with error 8",
       8},
  };
  for (const auto& c : cases) {
    FakePmu dravik;
    dravik.fail_count_query = c.fail_count_query;
    dravik.count = c.count;
    dravik.list_query_result = c.list_query_result;
    std::vector<uint64_t> ids = {99};
    testing::StderrCapture capture;
    for (int start = 0; start < 2; ++start) {
      EXPECT_EQ(SetUpPmuCounters(&dravik, &ids, c.device).ToString(), c.status) << c.error;
    }
    const auto lines = LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer");
    EXPECT_EQ(ids, c.status == "OK" && c.count != 0 ? std::vector<uint64_t>({1, 4})
                                                    : std::vector<uint64_t>())
        << c.error;
    EXPECT_EQ(dravik.journal, c.journal) << c.error;
    EXPECT_EQ(lines,
              c.error.empty() ? std::vector<std::string>() : std::vector<std::string>(2, c.error));
  }
}

// A tracer of its own: the process's one would keep pointing at this test's
// fake after it is gone.
TEST(DeviceTracerTest, DestroyedWhileRunningStopsTheApiTracer) {
  FakePmu dravik;
  DravikTracer tracer(&dravik);
  auto device = std::make_unique<DeviceTracer>(&tracer, &dravik);
  ASSERT_TRUE(device->Start(1).ok());
  EXPECT_FALSE(tracer.IsAvailable());
  device.reset();
  EXPECT_TRUE(tracer.IsAvailable());
}

TEST_F(DravikTracerTest, DeviceFactsCombineBandwidthAndKeepInitialValuesOnFailure) {
  zra_sim::SetDevices({{100, 0x2030, 8, 1500, 12, 125, 2, "ZRA-S60"}});
  DravikTracerCollectorImpl collector(0);
  for (uint32_t device : {kDravikNoId32, 0u, 0u}) {  // none: an API record
    auto record = NewDravikTracerEvent(kKernel, kActivity);
    record->device_id = device;
    collector.AddEvent(std::move(record));
  }
  unsetenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK");
  std::map<uint32_t, DeviceAttributes> attributes;
  CollectDeviceAttributes(collector, &attributes, GetDravikInterface());
  EXPECT_EQ(getenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK"), nullptr);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(std::make_tuple(attributes[0].device_type, attributes[0].frequency,
                            attributes[0].cores_used, attributes[0].top_bandwidth),
            std::make_tuple(100u, 1500u, 8u, 13.25));  // DDR 12 and 125
  // Failed queries leave garbage behind, the user's own switch is restored.
  for (const char* query : {"dravikGetDeviceType", "morvelGetFrequencyInfo", "morvelGetCoreCount",
                            "morvelGetDDRInfo"}) {
    zra_sim::FailNext(query, 1, MORVEL_ERROR_UNKNOWN);
  }
  setenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK", "user", 1);
  testing::StderrCapture capture;
  const DeviceAttributes a = GetDeviceAttributes(0, GetDravikInterface());
  const auto lines = testing::LogLinesFrom(capture.Stop(), "trace/core/internal/zra/device_tracer");
  EXPECT_STREQ(getenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK"), "user");
  EXPECT_EQ(std::make_tuple(a.device_type, a.frequency, a.core_count, a.top_bandwidth),
            std::make_tuple(kDravikNoId32, 0u, 0u, 0.0));
  const std::string morvel = " failed, error is MORVEL_ERROR_UNKNOWN";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       // The interface leaves the result text unread.
                       "ERROR Device Id = 0, get device type failed, error is ",
                       "ERROR Device Id = 0, get device frequency" + morvel,
                       "ERROR Device id = 0, get device core count" + morvel,
                       "ERROR Device id = 0, get device top bandwidth" + morvel}));
}

// The device's 32-bit words at every digit count they can have, up to all ones: type, frequency
// and core count taken whole, the bandwidth's decimal part read as tenths while it has one digit
// and as hundredths from two digits on, however many it has.
TEST_F(DravikTracerTest, DeviceFactsAtEveryDigitCount) {
  const struct {
    uint32_t word, integral, decimal;
    double bandwidth;
  } rows[] = {
      {0, 12, 0, 12},
      {1, 12, 1, 12.1},
      {12, 12, 9, 12.9},
      {123, 12, 10, 12.1},
      {1234, 12, 12, 12.12},
      {12345, 12, 99, 12.99},
      {123456, 12, 100, 13},
      {1234567, 12, 125, 13.25},
      {12345678, 12, 1234, 24.34},
      {123456789, 12, 12345, 135.45},
      {1234567890, 12, 123456, 1246.56},
      {4294967295, 12, 1234567, 12357.67},
      {1, 12, 12345678, 123468.78},
      {1, 12, 123456789, 1234579.89},
      {1, 12, 1234567890, 12345690.9},
      {1, 12, 4294967295, 42949684.95},
      {1, 1, 5, 1.5},
      {1, 1234567890, 5, 1234567890.5},
      {1, 4294967295, 5, 4294967295.5},
      {1, 4294967295, 4294967295, 4337916967.95},
  };
  for (const auto& row : rows) {
    zra_sim::SetDevices(
        {{row.word, 0x2030, row.word, row.word, row.integral, row.decimal, 2, "ZRA"}});
    const DeviceAttributes a = GetDeviceAttributes(0, GetDravikInterface());
    const std::string label = std::to_string(row.word) + " and DDR " +
                              std::to_string(row.integral) + " " + std::to_string(row.decimal);
    EXPECT_EQ(a.device_type, row.word) << label;
    EXPECT_EQ(a.frequency, row.word) << label;
    EXPECT_EQ(a.core_count, row.word) << label;
    EXPECT_EQ(a.cores_used, row.word) << label;
    EXPECT_DOUBLE_EQ(a.top_bandwidth, row.bandwidth) << label;
  }
}

std::unique_ptr<DravikTracerEvent> Record(uint32_t device_id, uint64_t start) {
  auto event = NewDravikTracerEvent(kKernel, kActivity);
  event->device_id = device_id;
  event->start_time_ns = start;
  return event;
}

// (device, start) of every stored record, devices in iteration order.
std::vector<std::pair<uint32_t, uint64_t>> Stored(DravikTracerCollectorImpl& collector) {
  std::vector<std::pair<uint32_t, uint64_t>> stored;
  for (auto& [device, list] : collector.events_by_device) {
    for (auto& event : list.events) stored.emplace_back(device, event->start_time_ns);
  }
  return stored;
}

// Order per device, devices ascending; a record whose list cannot be made is dropped and counted.
TEST(DravikTracerCollectorTest, KeepsOrderAndDropsWhenMemoryRunsOut) {
  DravikTracerCollectorImpl collector(5);
  auto record = Record(1, 1);
  fail_next_allocation = true;
  collector.AddEvent(std::move(record));
  uint64_t start = 0;  // the first an API record
  for (uint32_t d : {kDravikNoId32, 2u, 0u, 2u, 0u}) collector.AddEvent(Record(d, ++start));
  collector.AddEvent(nullptr);
  collector.OnTracingStopped();
  EXPECT_EQ(collector.dropped_events(), 1u);
  EXPECT_EQ(Stored(collector), (std::vector<std::pair<uint32_t, uint64_t>>{
                                   {0, 3}, {0, 5}, {2, 2}, {2, 4}, {kDravikNoId32, 1}}));
}

// Run under ThreadSanitizer: first records of new devices race with appends.
TEST(DravikTracerCollectorTest, EightProducersOnThreeDevices) {
  constexpr uint32_t kThreads = 8, kEach = 20000;
  DravikTracerCollectorImpl collector(0);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&collector, t] {
      for (uint32_t i = 1; i <= kEach; ++i) collector.AddEvent(Record((t + i) % 3, t << 20 | i));
    });
  }
  for (auto& thread : threads) thread.join();
  // Each device holds its records, each producer's in its order.
  std::vector<uint64_t> last(kThreads * 3, 0);
  const auto stored = Stored(collector);
  for (auto& [device, event] : stored) {
    const uint64_t t = event >> 20, i = event & 0xFFFFF;
    EXPECT_EQ((t + i) % 3, device);
    EXPECT_GT(i, last[t * 3 + device]);
    last[t * 3 + device] = i;
  }
  EXPECT_EQ(stored.size(), size_t{kThreads} * kEach);
}

// What the library is asked for when a session starts and stops, with the default switches and
// with every callback traced.
TEST_F(DravikTracerTest, EnableAndDisableCallJournals) {
  const std::string subscribe =
      "dravikSubscribe(&,&) dravikEnableDomain(1,S,1) dravikEnableDomain(1,S,0) "
      "dravikEnableDomain(1,S,3) dravikEnableCallback(1,S,6,83..76)x23+1571 ";
  const std::string activity =
      "dravikActivityRegisterCallbacks(&,&) dravikActivityEnable(1) dravikActivityEnable(9) "
      "dravikActivityEnable(10) dravikActivityEnable(11) dravikActivityEnable(15) "
      "dravikActivityEnable(14)";
  const std::string disable =
      "dravikEnableDomain(0,S,1) dravikEnableDomain(0,S,0) dravikEnableDomain(0,S,3) "
      "dravikEnableDomain(0,S,6) dravikUnsubscribe(S) dravikActivityDisable(1) "
      "dravikActivityDisable(9) dravikActivityDisable(10) dravikActivityDisable(11) "
      "dravikActivityDisable(15) dravikActivityDisable(14) "
      "dravikActivityRegisterCallbacks(null,null)";
  const struct {
    bool trace_all;
    std::string enable;
  } rows[] = {
      // TAMSEL and HALVO end up off, GORVIN on but for its 310 listed ids.
      {false, subscribe + "dravikEnableDomain(0,S,1) dravikEnableDomain(0,S,0) "
                          "dravikEnableCallback(0,S,3,0..565)x310+93786 " + activity},
      // Every VORUND and GORVIN callback on, nothing switched off.
      {true, subscribe + "dravikEnableDomain(1,S,6) dravikEnableDomain(1,S,3) " + activity},
  };
  for (const auto& row : rows) {
    options_.trace_all = row.trace_all;
    zra_sim::SetJournal(true);
    Start();
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), row.enable) << row.trace_all;
    EXPECT_FALSE(tracer_->IsAvailable());
    EXPECT_EQ(tracer_->EnableApiTracing(), Status());  // already on: no call
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), "") << row.trace_all;
    tracer_->Disable();
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), disable) << row.trace_all;
    EXPECT_TRUE(tracer_->IsAvailable());
  }
}

// The library calls around one traced call, in order: a PMU-traced kernel launch reads the
// counters at entry and, after its queue is synchronised, at exit.
TEST_F(DravikTracerTest, CallOrderAroundOneTracedCall) {
  const std::string lt = std::to_string(zra_sim::CounterId("tp_core__lt_cycles"));
  const std::string rd = std::to_string(zra_sim::CounterId("tp_memcore__read_bytes"));
  const std::string cluster_count = "qxCtxGetCurrent() qxGetCtxConfigParam_pt(4294967296,1) ";
  const struct {
    const char* row;
    bool trace_pmu;
    uint64_t (*call)();
    std::string journal;
  } rows[] = {
      {"PMU-traced launch", true, [] { return zra_sim::LaunchKernel({}); },
       "dravikGetTimestamp() qxCtxGetDevice() dravikPmuFlushData(0) dravikPmuGetCounterValue(0," +
           lt + ") dravikPmuGetCounterValue(0," + rd + ") " + cluster_count +
           "qxCtxGetDevice() qxQueueSync(1) dravikPmuFlushData(0) dravikPmuGetCounterValue(0," +
           lt + ") dravikPmuGetCounterName(" + lt + ") dravikPmuGetCounterValue(0," + rd +
           ") dravikPmuGetCounterName(" + rd + ") dravikGetTimestamp()"},
      {"launch without PMU", false, [] { return zra_sim::LaunchKernel({}); },
       "dravikGetTimestamp() " + cluster_count + "dravikGetTimestamp()"},
      {"PMU on, a copy", true, [] { return zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_DTOH, 8); },
       "dravikGetTimestamp() dravikGetTimestamp()"},
  };
  for (const auto& row : rows) {
    SetUp();
    options_.enable_activity = false;
    TracePmu();
    options_.trace_pmu = row.trace_pmu;
    Start();
    zra_sim::SetJournal(true);
    row.call();
    EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()), row.journal) << row.row;
    zra_sim::SetJournal(false);
    Stop();
  }
}

// The counters stored for a launch: a counter that decreased gives the wrapped difference, and
// of two launches with one correlation id the first one's counters stay.
TEST_F(DravikTracerTest, StoredLaunchCounters) {
  const char* lt = "tp_core__lt_cycles";
  const auto delta = [lt](uint32_t grid_x) {
    return zra_sim::CounterDelta(lt, grid_x, 1, 1, 1000);
  };
  const struct {
    const char* row;
    uint64_t (*launches)();  // returns the correlation id to look up
    uint64_t lt_cycles;
  } rows[] = {
      {"one launch", [] { return zra_sim::LaunchKernel({1, "k", 3}); }, delta(3)},
      {"counter decreased",
       [] {
         zra_sim::SetCounter(0, "tp_core__lt_cycles", 100);
         return zra_sim::TracedCall(DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxInvokeKernel,
                                    "qxInvokeKernel",
                                    [] { zra_sim::SetCounter(0, "tp_core__lt_cycles", 5); });
       },
       uint64_t{5} - 100},
      {"first of one correlation",
       [] {
         zra_sim::ForceCorrelationId(500);
         zra_sim::LaunchKernel({1, "first", 2});
         zra_sim::ForceCorrelationId(500);
         return zra_sim::LaunchKernel({1, "second", 7});
       },
       delta(2)},
      // A name the tracer does not know fills no slot.
      {"counter renamed after the set-up",
       [] {
         zra_sim::RenameCounter("tp_core__lt_cycles", "tp_core__renamed_cycles");
         return zra_sim::LaunchKernel({});
       },
       kNo},
  };
  for (const auto& row : rows) {
    SetUp();
    options_.enable_activity = false;
    TracePmu();
    Start();
    const uint64_t correlation_id = row.launches();
    Stop();
    const KernelPmuCounters pmu = collector_->FindKernelPmuCounters(correlation_id);
    EXPECT_TRUE(pmu.valid) << row.row;
    EXPECT_EQ(pmu.counters[6], row.lt_cycles) << row.row;
    EXPECT_EQ(pmu.counters[0], kNo) << row.row;  // not traced
  }
}

// A launch whose exit comes from a thread_local destructor that runs after the tracer's own
// per-thread state of that thread was made: its counters are read against the start values of
// its entry and the gate opens.
struct ExitAtThreadEnd {
  std::function<void()> exit;
  ~ExitAtThreadEnd() {
    if (exit) exit();
  }
};

TEST_F(DravikTracerTest, LaunchExitFromAThreadLocalDestructorStoresItsCounters) {
  TracePmu();
  constexpr uint32_t kLaunch = DRAVIK_CBID_VORUND_qxInvokeKernel;
  collector_ = std::make_unique<DravikTracerCollectorImpl>(0);
  KernelLaunchGate gate;
  DravikQxApiHookWithHostEvent hook(&options_, collector_.get(), GetDravikInterface(), &gate,
                                    gate.session());
  std::thread([&] {
    thread_local ExitAtThreadEnd at_end;
    at_end.exit = [&hook] {
      hook.OnApiExit(DRAVIK_CB_DOMAIN_VORUND_API, kLaunch, Data(1, "qxInvokeKernel", 7).data(), 1);
    };
    hook.OnApiEnter(DRAVIK_CB_DOMAIN_VORUND_API, kLaunch, nullptr);
    zra_sim::LaunchKernel({});  // no subscriber: the hook sees only what the test hands it
  }).join();
  ExpectExactDeltas(7);
  EXPECT_FALSE(gate.Held());
}

// The first switch the library refuses ends the API tracer's start: it is logged, nothing after
// it is asked for, and the stop removes the subscriber only when there is one.
TEST_F(DravikTracerTest, ApiTracingStopsAtTheFirstRefusedSwitch) {
  const struct {
    bool tamsel, halvo, gorvin, vorund;
    const char* function;
    std::string last_call;  // the refused one, subscribers as S
    std::string error;      // as the error line names the call
  } rows[] = {
      {true, true, true, true, "dravikSubscribe", "dravikSubscribe(&,&)",
       "Subscribe(&subscriber_, (dravik_CallbackFunc)ApiCallback, this)"},
      {true, true, true, true, "dravikEnableDomain", "dravikEnableDomain(1,S,1)",
       "EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)"},
      {false, true, true, true, "dravikEnableDomain", "dravikEnableDomain(1,S,0)",
       "EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_HALVO_API)"},
      {false, false, true, true, "dravikEnableDomain", "dravikEnableDomain(1,S,3)",
       "EnableDomain( 1, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API)"},
      {false, false, false, true, "dravikEnableCallback", "dravikEnableCallback(1,S,6,83)",
       "EnableCallback( 1, subscriber_, DRAVIK_CB_DOMAIN_VORUND_API, default_enabled_vorund_cbid)"},
      {false, false, false, false, "dravikEnableDomain", "dravikEnableDomain(0,S,1)",
       "EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)"},
      {false, false, false, false, "dravikEnableCallback", "dravikEnableCallback(0,S,3,0)",
       "EnableCallback( 0, subscriber_, DRAVIK_CB_DOMAIN_GORVIN_API, "
       "default_disabled_gorvin_cbid)"},
  };
  const auto journal = [] {
    std::vector<std::string> entries;
    for (const std::string& entry : zra_sim::TakeJournal()) {
      entries.push_back(std::regex_replace(entry, std::regex("S\\d+"), "S"));
    }
    return entries;
  };
  for (const auto& row : rows) {
    SetUp();
    options_.enable_activity = false;
    options_.trace_tamsel = row.tamsel;
    options_.trace_halvo = row.halvo;
    options_.trace_gorvin = row.gorvin;
    options_.trace_vorund = row.vorund;
    zra_sim::FailNext(row.function, 1, 7);
    zra_sim::SetJournal(true);
    testing::StderrCapture capture;
    Start();
    const std::vector<std::string> started = journal();
    tracer_->Disable();
    const std::vector<std::string> stopped = journal();
    EXPECT_EQ(LogLinesFrom(capture.Stop(), kSource),
              std::vector<std::string>{"ERROR function dravik_interface_->" + row.error +
                                       " failed with error 7"})
        << row.error;
    ASSERT_FALSE(started.empty()) << row.error;
    EXPECT_EQ(started.back(), row.last_call) << row.error;
    const bool subscribed = std::string(row.function) != "dravikSubscribe";
    EXPECT_EQ(std::count(stopped.begin(), stopped.end(), "dravikUnsubscribe(S)"),
              subscribed ? 1 : 0)
        << row.error;
    EXPECT_TRUE(tracer_->IsAvailable()) << row.error;
  }
}

// A launch whose context cannot be read is recorded with 0 clusters, and the failure is logged.
TEST_F(DravikTracerTest, LaunchWithUnreadableContextHasNoClusters) {
  const struct {
    const char* function;  // null: no failure
    uint64_t clusters;
    std::vector<std::string> lines;
  } rows[] = {
      {nullptr, 2, {}},
      {"qxCtxGetCurrent", 0, {"ERROR Get current context failed, ret is 7"}},
      {"qxGetCtxConfigParam_pt", 0, {"ERROR Get current context config failed, ret is 7"}},
  };
  for (const auto& row : rows) {
    const char* name = row.function ? row.function : "no failure";
    SetUp();
    options_.enable_activity = false;
    Start();
    testing::StderrCapture capture;
    if (row.function) zra_sim::FailNext(row.function, 1, 7);
    zra_sim::LaunchKernel({});
    const auto lines = LogLinesFrom(capture.Stop(), kSource);
    Stop();
    EXPECT_EQ(lines, row.lines) << name;
    const auto events = Events(kApiCallback);
    ASSERT_EQ(events.size(), 1u) << name;
    EXPECT_EQ(events.begin()->second->name, "qxInvokeKernel") << name;
    EXPECT_EQ(events.begin()->second->cluster_count, row.clusters) << name;
  }
}

// Callbacks from the library that run out of memory drop their record with a warning instead of
// unwinding into the library; the buffer is still freed (the sanitizer build checks).
TEST_F(DravikTracerTest, CallbacksOutOfMemoryDropTheirRecord) {
  // Each runs one callback, its first allocation failing when asked.
  const auto completed_buffer = [](bool out_of_memory) {
    void* block = nullptr;
    ASSERT_EQ(posix_memalign(&block, 8, 256), 0);
    std::memset(block, 0, 256);
    const uint32_t kind = DRAVIK_ACTIVITY_TYPE_MEMCPY;
    std::memcpy(block, &kind, sizeof(kind));
    fail_next_allocation = out_of_memory;
    FreeDravikActivityBuffer(static_cast<uint8_t*>(block), 256,
                             (sizeof(dravikActivityMemcpy) + 7) / 8 * 8);
  };
  const auto api_call = [this](bool out_of_memory) {
    const auto enter = Data(0, "qxMalloc", 5), exit = Data(1, "qxMalloc", 5);
    DravikTracer::ApiCallback(tracer_, DRAVIK_CB_DOMAIN_VORUND_API, 47, enter.data());
    fail_next_allocation = out_of_memory;
    DravikTracer::ApiCallback(tracer_, DRAVIK_CB_DOMAIN_VORUND_API, 47, exit.data());
  };
  const struct {
    const char* row;
    std::function<void(bool)> run;
    bool out_of_memory;
    int32_t source;
    const char* warning;  // null: none
  } rows[] = {
      {"buffer", completed_buffer, false, kActivity, nullptr},
      {"buffer", completed_buffer, true, kActivity,
       "WARNING Dropped the rest of a Dravik activity buffer: it ran out of memory."},
      {"API call", api_call, false, kApiCallback, nullptr},
      {"API call", api_call, true, kApiCallback,
       "WARNING Dropped a device API callback: it ran out of memory."},
  };
  for (const auto& row : rows) {
    SetUp();
    Start();
    testing::StderrCapture capture;
    row.run(row.out_of_memory);
    fail_next_allocation = false;
    const auto lines = LogLinesFrom(capture.Stop(), kSource);
    Stop();
    EXPECT_EQ(lines, row.warning ? std::vector<std::string>{row.warning}
                                 : std::vector<std::string>())
        << row.row;
    EXPECT_EQ(Events(row.source).size(), row.out_of_memory ? 0u : 1u) << row.row;
  }
}

// Buffer callbacks and steps called without what they need answer without touching anything.
TEST_F(DravikTracerTest, BufferCallbacksAndStepsWithoutTheirInputs) {
  uint8_t* buffer = reinterpret_cast<uint8_t*>(&buffer);
  size_t records = 5;
  testing::StderrCapture capture;
  AllocDravikActivityBuffer(nullptr, nullptr, &records);  // nowhere to put a buffer
  AllocDravikActivityBuffer(&buffer, nullptr, &records);  // no size asked for
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(records, 5u);
  EXPECT_EQ(LogLinesFrom(capture.Stop(), kSource),
            std::vector<std::string>{
                "WARNING Dravik buffer not allocated. activity records will be dropped"});
  // Without a session, steps refuse; with one, a null buffer is refused.
  EXPECT_EQ(tracer_->EnableApiTracing().ToString(),
            "Failed precondition: No device tracing session.");
  EXPECT_EQ(tracer_->EnableActivityTracing().ToString(),
            "Failed precondition: No device tracing session.");
  Start();
  EXPECT_EQ(tracer_->ProcessActivityBuffer(nullptr, 64).ToString(),
            "Failed precondition: No device tracing session for the activity buffer.");
  Stop();
  // No activity kinds: activity tracing is on without asking the library for anything.
  options_.enable_callback = false;
  options_.activities.clear();
  zra_sim::SetJournal(true);
  Start();
  EXPECT_FALSE(tracer_->IsAvailable());
  tracer_->Disable();
  EXPECT_EQ(testing::SummarizeJournal(zra_sim::TakeJournal()),
            "dravikActivityRegisterCallbacks(null,null)");
  EXPECT_TRUE(tracer_->IsAvailable());
}

// A refused switch of latency timestamps is logged; the session records as usual.
TEST_F(DravikTracerTest, RefusedLatencyTimestampsAreLogged) {
  options_.activity_latency_timestamps = true;
  zra_sim::FailNext("dravikActivityEnableLatencyTimestamps", 1, 7);
  testing::StderrCapture capture;
  Start();
  zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
  Stop();
  EXPECT_THAT(LogLinesFrom(capture.Stop(), kSource),
              Contains("ERROR DRAVIK activity enable latency timestamps failed, ret is 7"));
  EXPECT_EQ(Events(kActivity).size(), 1u);
  EXPECT_EQ(Events(kApiCallback).size(), 1u);
}


// One session at log level 0: the tracer's INFO lines, buffer addresses replaced by X and a
// non-zero valid size by N.
ZENTRIK_CHILD_SCENARIO(SessionInfoLines) {
  zra_sim::Reset();
  DravikTracerOptions options;
  options.activities = {DRAVIK_ACTIVITY_TYPE_KERNEL, DRAVIK_ACTIVITY_TYPE_OVERHEAD};
  DravikTracerCollectorImpl collector(0);
  DravikTracer* tracer = DravikTracer::GetDravikTracerSingleton();
  testing::StderrCapture capture;
  tracer->Enable(options, &collector);
  zra_sim::LaunchKernel({});
  zra_sim::FlushActivity();
  tracer->Disable();
  for (const std::string& line : LogLinesFrom(capture.Stop(), kSource)) {
    const std::string no_address =
        std::regex_replace(line, std::regex("buffer=[0-9a-f]+"), "buffer=X");
    const std::string no_size =
        std::regex_replace(no_address, std::regex("valid_size=[1-9]\\d*"), "valid_size=N");
    printf("%s\n", no_size.c_str());
  }
  return 0;
}

TEST(DravikTracerLogTest, InfoLinesOfOneSession) {
  const testing::ChildResult child =
      testing::RunScenario("SessionInfoLines", {{"ZENTRIK_CPP_MIN_LOG_LEVEL", "0"}});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  const std::string enabling = "INFO Enabling activity tracing for";
  const std::string disabling = "INFO Disabling activity tracing for";
  EXPECT_EQ(child.out,
            "INFO Enable dravik subscriber\n"
            "INFO Registering DRAVIK activity callbacks\n" +
                enabling + " 2 activities\n" +
                enabling + ": DRAVIK_ACTIVITY_TYPE_KERNEL\n" +
                enabling + ": DRAVIK_ACTIVITY_TYPE_OVERHEAD\n"
                "INFO Allocated Dravik buffer, buffer=X size=65536\n"
                "INFO current kernel ,corr_id = 1, cluster_count_ctx_used = 2\n"
                "INFO On qxapi exit, cbid = 1, there is no annotation index for it.\n"
                "INFO Freeing Dravik buffer, buffer=X size=65536 valid_size=N\n"
                "INFO Disable subscriber\n" +
                disabling + " 2 activities\n" +
                disabling + ": DRAVIK_ACTIVITY_TYPE_KERNEL\n" +
                disabling + ": DRAVIK_ACTIVITY_TYPE_OVERHEAD\n");
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
