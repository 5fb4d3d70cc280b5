// The API tracer, its hooks and the activity buffers against the simulator's
// full variant. Every test starts from a reset simulator.
#include "trace/core/internal/zra/dravik_tracer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "tools/zra_sim/zra_sim_control.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::zentrik::testing::LogLinesFrom;
constexpr char kSource[] = "trace/core/internal/zra/dravik_tracer";
constexpr uint32_t kInvoke = DRAVIK_CBID_VORUND_qxInvokeKernel;
constexpr uint64_t kNo = kDravikNoValue64;

// The journal as one line, subscribers as S, buffer walks left out.
std::string Journal() {
  std::string out;
  for (const std::string& entry : zra_sim::TakeJournal()) {
    if (entry.find("GetNextRecord") == std::string::npos) {
      out += std::regex_replace(entry, std::regex("S\\d+"), "S") + " ";
    }
  }
  return out;
}

class DravikTracerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zra_sim::Reset();
    options_.activities = {1, 9, 10, 11, 15, 14};
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

// A failure at any step is logged; the session still stops completely, and
// the next one records every call and activity exactly once. Without a
// failure, Disable undoes what Enable did.
TEST_F(DravikTracerTest, EnableDisableAndAFailureAtEachStep) {
  const std::string undone =
      "dravikEnableDomain(0,S,1) dravikEnableDomain(0,S,0) dravikEnableDomain(0,S,3) "
      "dravikEnableDomain(0,S,6) dravikUnsubscribe(S) dravikActivityDisable(1) "
      "dravikActivityDisable(9) dravikActivityDisable(10) dravikActivityDisable(11) "
      "dravikActivityDisable(15) dravikActivityDisable(14) dravikActivityRegisterCallbacks(null,null) ";
  const struct {
    const char* function;  // null: no failure
    bool at_disable;
    std::string call;  // as the error line names it
  } cases[] = {
      {nullptr, false, ""},
      {"dravikSubscribe", false, "Subscribe(&subscriber_, (dravik_CallbackFunc)ApiCallback, this)"},
      {"dravikEnableDomain", true, "EnableDomain( 0, subscriber_, DRAVIK_CB_DOMAIN_TAMSEL_API)"},
      {"dravikUnsubscribe", true, "Unsubscribe(subscriber_)"},
      {"dravikActivityEnable", false, "ActivityEnable(activity)"},
      {"dravikActivityDisable", true, "ActivityDisable(activity)"},
      {"dravikActivityRegisterCallbacks", true, "ActivityRegisterCallbacks( nullptr, nullptr)"},
  };
  for (const auto& c : cases) {
    const std::string label = c.function ? c.function + std::string(c.at_disable ? " off" : "") : "";
    testing::StderrCapture capture;
    for (bool failing_session : {true, false}) {
      if (failing_session && c.function && !c.at_disable) zra_sim::FailNext(c.function, 1, 7);
      Start();
      zra_sim::LaunchKernel({});
      zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
      zra_sim::FlushActivity();
      if (failing_session && c.function && c.at_disable) zra_sim::FailNext(c.function, 1, 7);
      zra_sim::SetJournal(true);
      tracer_->Disable();
      EXPECT_TRUE(tracer_->IsAvailable()) << label;
      EXPECT_EQ(failing_session && c.function ? undone : Journal(), undone) << label;
    }
    const auto lines = LogLinesFrom(capture.Stop(), kSource);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "ERROR function dravik_interface_->" + c.call + " failed with error 7"),
              c.function ? 1 : 0) << label;
    EXPECT_EQ(Events(kApiCallback).size(), 2u) << label;
    EXPECT_EQ(Events(kActivity).size(), 2u) << label;
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
      {Data(1, "outer", 1), "Unavailable: The correlationData stack is empty."},
      {Data(0, "outer", 1), "OK"},
      {Data(0, nullptr, 0x100000002), "OK"},  // a null name counts as empty
      {Data(1, nullptr, 0x100000002), "OK"},
      {Data(1, "outer", 1), "OK"},
  };
  for (const auto& call : calls) {
    const void* data = call.data.empty() ? nullptr : call.data.data();
    EXPECT_EQ(tracer_->HandleApiCallback(6, 47, data).ToString(), call.status);
  }
  Stop();
  const auto events = Events(kApiCallback);
  ASSERT_EQ(events.size(), 2u);
  const DravikTracerEvent& inner = *events.begin()->second;
  const DravikTracerEvent& outer = *std::next(events.begin())->second;
  EXPECT_EQ(inner.name + "/" + outer.name + "/" + std::to_string(inner.correlation_id), "/outer/2");
}

TEST_F(DravikTracerTest, PmuEdgeCases) {
  options_.enable_activity = false;
  TracePmu();
  Start();
  testing::StderrCapture capture;
  auto launch_around = [](auto inside) {
    return zra_sim::TracedCall(DRAVIK_CB_DOMAIN_VORUND_API, kInvoke, "qxInvokeKernel", inside);
  };
  // A counter that decreased gives the wrapped difference.
  zra_sim::SetCounter(0, "tp_core__lt_cycles", 100);
  const uint64_t wrapped = launch_around([] { zra_sim::SetCounter(0, "tp_core__lt_cycles", 5); });
  EXPECT_EQ(collector_->FindKernelPmuCounters(wrapped).counters[6], uint64_t{5} - 100);
  // A start value that could not be read leaves its counter without value.
  zra_sim::FailNext("dravikPmuGetCounterValue", 1, 7);
  const KernelPmuCounters no_start = collector_->FindKernelPmuCounters(zra_sim::LaunchKernel({}));
  EXPECT_TRUE(no_start.valid);
  EXPECT_EQ(no_start.counters[6], kNo);
  EXPECT_EQ(no_start.counters[14], kNo);
  ExpectExactDeltas(zra_sim::LaunchKernel({}));  // start values do not go stale
  EXPECT_EQ(Events(kApiCallback).rbegin()->second->cluster_count, 2u);
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
  EXPECT_EQ(Events(kApiCallback).size(), 6u);
  // The session stops between a launch's entry and its exit: the next
  // session's launches, on any thread, neither wait nor see stale values.
  launch_around([this] { tracer_->Disable(); });
  Start();
  uint64_t other = 0;
  std::thread([&other] { other = zra_sim::LaunchKernel({}); }).join();
  ExpectExactDeltas(other);
  ExpectExactDeltas(zra_sim::LaunchKernel({}));
  Stop();
}

TEST_F(DravikTracerTest, ParsesRecordsOfEachLayout) {
  options_.enable_callback = false;
  options_.trace_pmu = true;  // kernels without stored counters get none
  options_.activities.push_back(DRAVIK_ACTIVITY_TYPE_OVERHEAD);
  Start();
  zra_sim::Kernel kernel;
  kernel.name = nullptr;
  const uint64_t kernel_id = zra_sim::LaunchKernel(kernel);
  zra_sim::MemcpyPeer(0, 1, 16);
  zra_sim::AtomicOperation(2, 3, 9);  // an operation means nothing for request type 2
  const dravikActivityOverhead overhead{
      DRAVIK_ACTIVITY_TYPE_OVERHEAD, 1, 10, 20, DRAVIK_OBJECT_KIND_THREAD, 0, {77ull << 32}};
  ASSERT_TRUE(zra_sim::InjectRecord(&overhead, sizeof(overhead)));
  const dravikActivityApi api{DRAVIK_ACTIVITY_TYPE_VORUND_API, 47, 1, 1, 2, 0, 0};
  ASSERT_TRUE(zra_sim::InjectRecord(&api, sizeof(api)));  // not a kind kept
  Stop();
  auto events = Events(kActivity);
  int thread_77 = 0;  // the library adds buffer flushes of its own threads
  for (auto [it, end] = events.equal_range(kOverhead); it != end; ++it) {
    thread_77 += it->second->thread_id == 77 && it->second->correlation_id == kDravikNoId32;
  }
  EXPECT_EQ(thread_77, 1);
  events.erase(kOverhead);
  ASSERT_EQ(events.size(), 3u);  // the other kinds: the integration test's queue names
  const auto& k = *events.find(kKernel)->second;
  EXPECT_EQ(k.name + " " + std::to_string(k.correlation_id), "ZRA_kernel " + std::to_string(kernel_id));
  EXPECT_EQ(k.pmu.valid || k.pmu.counters[0] != kNo, false);
  EXPECT_EQ(events.find(kMemcpyPeer)->second->memcpy_peer.dst_device, 1u);
  EXPECT_EQ(events.find(kAtomicOperation)->second->atomic.atomic_operation, 0u);
}

// A record the walk cannot trust ends its buffer and the records before it
// stay; an empty buffer is not walked; a buffer completed after the session
// stopped is dropped with a warning.
TEST_F(DravikTracerTest, WalkFaultsEmptyAndLateBuffers) {
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
  zra_sim::SetJournal(true);
  zra_sim::CompleteEmptyBuffer();
  EXPECT_THAT(zra_sim::TakeJournal(), Not(Contains(HasSubstr("GetNextRecord"))));
  zra_sim::HoldBuffers(true);
  zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 64);
  tracer_->Disable();
  testing::StderrCapture capture;
  EXPECT_GE(zra_sim::DeliverHeldBuffers(), 1);
  EXPECT_THAT(LogLinesFrom(capture.Stop(), kSource),
              Contains("WARNING DRAVIK activity buffer is freed after flush."));
  EXPECT_TRUE(Events(kActivity).empty());
}

// Application threads keep launching while sessions start and stop, and two
// library threads complete small buffers; run under ThreadSanitizer. No
// callback may outlive what Disable lets go.
TEST_F(DravikTracerTest, LaunchesWhileSessionsStop) {
  TracePmu();
  zra_sim::SetWorkerCount(2);
  zra_sim::SetBufferSize(1024);
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&done] {
      while (!done.load()) zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_DTOH, 8 + zra_sim::LaunchKernel({}));
    });
  }
  for (int session = 0; session < 20; ++session) {
    Start();
    std::this_thread::yield();
    Stop();
    for (const auto& [type, event] : Events(kApiCallback)) {
      EXPECT_TRUE(event->name == "qxInvokeKernel" || event->name == "qxMemcpyDtoH") << event->name;
    }
  }
  done.store(true);
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
