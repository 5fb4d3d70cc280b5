// Smoke tests of the device simulator, through its libraries as the device
// tracer loads them (dlopen by file name, dlsym by function name).
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "tools/zra_sim/zra_sim_control.h"
#include "trace/core/internal/zra/dravik_api.h"

namespace {

void* Symbol(const char* library, const char* name) {
  void* handle = dlopen(library, RTLD_NOW);
  return handle == nullptr ? nullptr : dlsym(handle, name);
}
#define FN(library, name) reinterpret_cast<name##_fn>(Symbol("lib" library ".so", #name))

struct Callback {
  uint32_t domain, cbid, site;
  std::string name;
  uint64_t correlation;
};
// One record as text: kind, device, queue, grid x or bytes, kernel name,
// and whether submitted <= start < end holds.
struct Record {
  uint64_t correlation;
  std::string text;
};
struct Layout {
  uint32_t kind;
  const char* label;
  size_t correlation, submitted, start, end, device, queue, detail;
};
constexpr Layout kLayouts[] = {
    {DRAVIK_ACTIVITY_TYPE_KERNEL, "kernel", DRAVIK_KERNEL_OFFSET_CORRELATION_ID,
     DRAVIK_KERNEL_OFFSET_SUBMITTED, DRAVIK_KERNEL_OFFSET_START, DRAVIK_KERNEL_OFFSET_END,
     DRAVIK_KERNEL_OFFSET_DEVICE_ID, DRAVIK_KERNEL_OFFSET_QUEUE_ID, DRAVIK_KERNEL_OFFSET_GRID_X},
    {DRAVIK_ACTIVITY_TYPE_MEMCPY, "memcpy", DRAVIK_MEMCPY_OFFSET_CORRELATION_ID,
     DRAVIK_MEMCPY_OFFSET_SUBMITTED, DRAVIK_MEMCPY_OFFSET_START, DRAVIK_MEMCPY_OFFSET_END,
     DRAVIK_MEMCPY_OFFSET_DEVICE_ID, DRAVIK_MEMCPY_OFFSET_QUEUE_ID, DRAVIK_MEMCPY_OFFSET_BYTES},
};

// What the client callbacks saw; guarded by mu.
std::mutex mu;
std::vector<Callback> callbacks;
std::vector<Record> records;
std::vector<std::string> walk_results;
int delivered = 0;

template <typename T>
T At(const uint8_t* record, size_t offset) {
  T value;
  memcpy(&value, record + offset, sizeof(value));
  return value;
}

void OnApi(void*, uint32_t domain, uint32_t cbid, const void* data) {
  const uint8_t* d = static_cast<const uint8_t*>(data);
  const char* name = At<const char*>(d, DRAVIK_CB_DATA_OFFSET_FUNCTION_NAME);
  std::lock_guard<std::mutex> lock(mu);
  callbacks.push_back({domain, cbid, At<uint32_t>(d, DRAVIK_CB_DATA_OFFSET_SITE),
                       name == nullptr ? "(null)" : name,
                       At<uint64_t>(d, DRAVIK_CB_DATA_OFFSET_CORRELATION_ID)});
}

void Request(uint8_t** buffer, size_t* size, size_t* max_records) {
  void* block = nullptr;
  *buffer = posix_memalign(&block, 8, *size) == 0 ? static_cast<uint8_t*>(block) : nullptr;
  *max_records = 0;
}

Record Describe(const uint8_t* r) {
  uint32_t kind = At<uint32_t>(r, 0);
  for (const Layout& l : kLayouts) {
    if (l.kind != kind) continue;
    uint64_t submitted = At<uint64_t>(r, l.submitted), start = At<uint64_t>(r, l.start);
    std::string text =
        std::string(l.label) + " device " + std::to_string(At<uint32_t>(r, l.device)) + " queue " +
        std::to_string(At<uint32_t>(r, l.queue)) + " " + std::to_string(At<uint32_t>(r, l.detail));
    if (kind == DRAVIK_ACTIVITY_TYPE_MEMCPY) {
      text += " kind " + std::to_string(At<uint32_t>(r, DRAVIK_MEMCPY_OFFSET_COPY_KIND));
    } else {
      text += std::string(" ") + At<const char*>(r, DRAVIK_KERNEL_OFFSET_NAME);
    }
    if (!(submitted <= start && start < At<uint64_t>(r, l.end))) text += " times out of order";
    return {At<uint64_t>(r, l.correlation), text};
  }
  return {0, "kind " + std::to_string(kind)};
}

// Walks the buffer into `records`; the walk's last result goes to walk_results.
void Complete(uint8_t* buffer, size_t, size_t valid) {
  static auto next = FN("dravik", dravikActivityGetNextRecord);
  std::vector<Record> seen;
  uint8_t* r = nullptr;
  int32_t result;
  while ((result = next(buffer, valid, &r)) == 0 && r != nullptr && r < buffer + valid) {
    seen.push_back(Describe(r));
  }
  char last[64];
  snprintf(last, sizeof(last), "%d/%s", result,
           r == nullptr ? "null" : (r >= buffer + valid ? "past" : "in"));
  free(buffer);
  std::lock_guard<std::mutex> lock(mu);
  records.insert(records.end(), seen.begin(), seen.end());
  walk_results.push_back(last);
  ++delivered;
}

class ZraSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Symbol("libdravik.so", "dravikInit"), nullptr) << "no simulator on LD_LIBRARY_PATH";
    zra_sim::Reset();
    std::lock_guard<std::mutex> lock(mu);
    callbacks.clear();
    records.clear();
    walk_results.clear();
    delivered = 0;
  }
  void StartActivity(std::vector<uint32_t> kinds) {
    ASSERT_EQ(FN("dravik", dravikActivityRegisterCallbacks)(Request, Complete), 0);
    for (uint32_t kind : kinds) ASSERT_EQ(FN("dravik", dravikActivityEnable)(kind), 0);
  }
  void Withdraw() { ASSERT_EQ(FN("dravik", dravikActivityRegisterCallbacks)(nullptr, nullptr), 0); }
};

// Two threads launch kernels and copies on their own devices with buffers
// small enough to need many, completed by two workers: every call comes back
// as an entry and an exit callback and as one record with its fields.
TEST_F(ZraSimTest, EveryCallReturnsAsCallbacksAndRecords) {
  dravik_SubscriberHandle sub;
  ASSERT_EQ(FN("dravik", dravikSubscribe)(&sub, OnApi, nullptr), 0);
  ASSERT_EQ(FN("dravik", dravikEnableDomain)(1, sub, DRAVIK_CB_DOMAIN_VORUND_API), 0);
  zra_sim::SetBufferSize(512);
  zra_sim::SetWorkerCount(2);
  StartActivity({DRAVIK_ACTIVITY_TYPE_KERNEL, DRAVIK_ACTIVITY_TYPE_MEMCPY});
  constexpr int kCalls = 200;
  std::map<uint64_t, std::string> expected;
  std::mutex expected_mu;
  auto work = [&](uint32_t device) {
    zra_sim::SetCurrentDevice(device);
    for (int i = 0; i < kCalls; ++i) {
      std::string name = "k" + std::to_string(device) + "_" + std::to_string(i) + "(float*)";
      zra_sim::Kernel k;
      k.queue = 7;
      k.name = name.c_str();
      k.grid_x = i + 1;
      uint64_t kc = zra_sim::LaunchKernel(k);
      uint64_t mc = zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_DTOH, 64 * i, 7);
      std::lock_guard<std::mutex> lock(expected_mu);
      std::string where = " device " + std::to_string(device) + " queue 7";
      expected[kc] = "kernel" + where + " " + std::to_string(i + 1) + " " + name;
      expected[mc] = "memcpy" + where + " " + std::to_string(64 * i) + " kind 2";
    }
  };
  std::thread t0(work, 0), t1(work, 1);
  t0.join();
  t1.join();
  Withdraw();
  ASSERT_EQ(FN("dravik", dravikUnsubscribe)(sub), 0);

  std::lock_guard<std::mutex> lock(mu);
  EXPECT_GT(delivered, 10);
  std::map<uint64_t, std::string> got;
  for (const Record& r : records) got[r.correlation] = r.text;
  EXPECT_EQ(records.size(), expected.size());
  EXPECT_EQ(got, expected);
  std::map<uint64_t, std::string> sites;
  for (const Callback& c : callbacks) sites[c.correlation] += std::to_string(c.site);
  EXPECT_EQ(sites.size(), expected.size());
  for (const auto& [correlation, s] : sites) EXPECT_EQ(s, "01") << correlation;
}

// Each runtime call reports its callback id and writes its record kind;
// allocations write none.
TEST_F(ZraSimTest, RuntimeCallsReportTheirIdsAndKinds) {
  dravik_SubscriberHandle sub;
  ASSERT_EQ(FN("dravik", dravikSubscribe)(&sub, OnApi, nullptr), 0);
  ASSERT_EQ(FN("dravik", dravikEnableDomain)(1, sub, DRAVIK_CB_DOMAIN_VORUND_API), 0);
  StartActivity({1, 9, 10, 11, 14, 15});
  zra_sim::Memset(64, 7, 2, true);
  zra_sim::MemcpyPeer(0, 1, 128);
  zra_sim::NotifierPlace(3);
  zra_sim::NotifierWait(3);
  zra_sim::AtomicOperation(DRAVIK_ATOMIC_REQUEST, 2, 9);
  zra_sim::Free(zra_sim::Malloc(16));
  Withdraw();
  ASSERT_EQ(FN("dravik", dravikUnsubscribe)(sub), 0);
  std::string seen;
  for (const Callback& c : callbacks) seen += std::to_string(c.cbid) + " ";
  for (const Record& r : records) seen += "/ " + r.text + " ";
  EXPECT_EQ(seen,
            "66 66 70 70 75 75 76 76 78 78 47 47 48 48 / kind 10 / kind 11 / kind 15 / kind 15 / "
            "kind 14 ");
}

// Entry and exit in nesting order; domain switches clear earlier id switches;
// only switched-on ids arrive.
TEST_F(ZraSimTest, CallbacksFollowSitesAndSwitches) {
  dravik_SubscriberHandle sub;
  ASSERT_EQ(FN("dravik", dravikSubscribe)(&sub, OnApi, nullptr), 0);
  auto domain = FN("dravik", dravikEnableDomain);
  auto id = FN("dravik", dravikEnableCallback);
  zra_sim::SetJournal(true);
  ASSERT_EQ(id(1, sub, DRAVIK_CB_DOMAIN_GORVIN_API, 2), 0);
  ASSERT_EQ(domain(1, sub, DRAVIK_CB_DOMAIN_GORVIN_API), 0);  // forgets id 2's switch
  ASSERT_EQ(id(0, sub, DRAVIK_CB_DOMAIN_GORVIN_API, 4), 0);
  ASSERT_EQ(id(1, sub, DRAVIK_CB_DOMAIN_VORUND_API, DRAVIK_CBID_VORUND_qxInvokeKernel), 0);
  EXPECT_EQ(domain(1, sub, 2), DRAVIK_ERROR_INVALID_PARAMETER);
  EXPECT_THAT(
      zra_sim::TakeJournal(),
      ::testing::ElementsAre("dravikEnableCallback(1,S1,3,2)", "dravikEnableDomain(1,S1,3)",
                             "dravikEnableCallback(0,S1,3,4)", "dravikEnableCallback(1,S1,6,91)",
                             "dravikEnableDomain(1,S1,2)"));
  zra_sim::ForceCorrelationId(100);
  zra_sim::TracedCall(DRAVIK_CB_DOMAIN_GORVIN_API, 2, "_ZN6gorvin4Conv7ForwardEv", [] {
    zra_sim::TracedCall(DRAVIK_CB_DOMAIN_GORVIN_API, 4, "skipped");
    zra_sim::LaunchKernel({});
    zra_sim::Memset(8, 0);  // not switched on
  });
  zra_sim::SendRawCallback(DRAVIK_CB_DOMAIN_GORVIN_API, 1, 7, nullptr, 5);
  ASSERT_EQ(FN("dravik", dravikUnsubscribe)(sub), 0);
  zra_sim::TracedCall(DRAVIK_CB_DOMAIN_GORVIN_API, 2, "after unsubscribe");
  std::vector<std::string> seen;
  for (const Callback& c : callbacks) {
    seen.push_back(std::to_string(c.correlation) + " " + std::to_string(c.site) + " " + c.name);
  }
  EXPECT_THAT(seen, ::testing::ElementsAre("100 0 _ZN6gorvin4Conv7ForwardEv",
                                           "102 0 qxInvokeKernel", "102 1 qxInvokeKernel",
                                           "100 1 _ZN6gorvin4Conv7ForwardEv", "5 7 (null)"));
}

// A walk visits records of every kind, known or not, then answers 9; each
// injected walk fault shows in what the walk returns.
TEST_F(ZraSimTest, RecordWalkEndsWithNoFurtherRecordAndInjectsFaults) {
  dravikActivityMemcpy copy{};
  copy.kind = DRAVIK_ACTIVITY_TYPE_MEMCPY;
  dravikActivityApi api{};
  api.kind = DRAVIK_ACTIVITY_TYPE_VORUND_API;
  uint64_t unknown = 99;
  struct Row {
    int fault;  // 0: none
    const char* walk_result;
    size_t records;
  } rows[] = {{0, "9/in", 3},
              {int(zra_sim::WalkFault::kNullRecord), "0/null", 1},
              {int(zra_sim::WalkFault::kPastEnd), "0/past", 1},
              {int(zra_sim::WalkFault::kMisaligned), "1/in", 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE("fault " + std::to_string(row.fault));
    SetUp();
    StartActivity({});
    if (row.fault != 0) zra_sim::SetWalkFault(zra_sim::WalkFault(row.fault), 1);
    ASSERT_TRUE(zra_sim::InjectRecord(&copy, sizeof(copy)));
    ASSERT_TRUE(zra_sim::InjectRecord(&unknown, sizeof(unknown)));
    ASSERT_TRUE(zra_sim::InjectRecord(&api, sizeof(api)));
    ASSERT_FALSE(zra_sim::InjectRecord(&copy, 12));  // shorter than its kind
    Withdraw();
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_THAT(walk_results, ::testing::ElementsAre(row.walk_result));
    EXPECT_EQ(records.size(), row.records);
  }
}

// Withdrawal returns after the partial and the empty buffer were delivered;
// a held buffer is delivered late, after withdrawal.
TEST_F(ZraSimTest, WithdrawalDeliversPartialBuffersUnlessHeld) {
  auto counts = [] {
    std::lock_guard<std::mutex> lock(mu);
    return std::to_string(delivered) + " buffers, " + std::to_string(records.size()) + " records";
  };
  StartActivity({DRAVIK_ACTIVITY_TYPE_KERNEL});
  zra_sim::LaunchKernel({});
  zra_sim::CompleteEmptyBuffer();
  Withdraw();
  EXPECT_EQ(counts(), "2 buffers, 1 records");
  StartActivity({});
  zra_sim::HoldBuffers(true);
  zra_sim::LaunchKernel({});
  Withdraw();
  EXPECT_EQ(counts(), "2 buffers, 1 records");
  EXPECT_EQ(zra_sim::DeliverHeldBuffers(), 1);
  EXPECT_EQ(counts(), "3 buffers, 2 records");
}

// Buffer callbacks of the flush test: each delivery holds its worker until two
// more buffers were asked for (or the launchers ran out of work), so the
// delivery queue is never empty while the launchers keep going.
struct FlushTraffic {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t requested = 0, delivered = 0, records = 0;
  bool launchers_done = false;
};
FlushTraffic* traffic = nullptr;

void CountingRequest(uint8_t** buffer, size_t* size, size_t* max_records) {
  Request(buffer, size, max_records);
  std::lock_guard<std::mutex> lock(traffic->mu);
  ++traffic->requested;
  traffic->cv.notify_all();
}

void CountingComplete(uint8_t* buffer, size_t, size_t valid) {
  static auto next = FN("dravik", dravikActivityGetNextRecord);
  uint64_t records = 0;
  for (uint8_t* r = nullptr; next(buffer, valid, &r) == 0;) ++records;
  free(buffer);
  std::unique_lock<std::mutex> lock(traffic->mu);
  traffic->cv.wait(lock, [] {
    return traffic->launchers_done || traffic->requested >= traffic->delivered + 3;
  });
  ++traffic->delivered;
  traffic->records += records;
  traffic->cv.notify_all();
}

// Eight threads launch until the flush returns or their work runs out. The
// flush must return with every record launched before it delivered, without
// waiting for the launchers to stop. The work is far more than a flush needs
// even on a loaded machine, where the flushing thread may wait long for a core.
TEST_F(ZraSimTest, FlushWaitsOnlyForBuffersCompletedBeforeIt) {
  FlushTraffic state;
  traffic = &state;
  constexpr int kThreads = 8, kLaunchesEach = 1000000;
  zra_sim::SetBufferSize(256);  // one or two kernel records a buffer
  ASSERT_EQ(FN("dravik", dravikActivityRegisterCallbacks)(CountingRequest, CountingComplete), 0);
  ASSERT_EQ(FN("dravik", dravikActivityEnable)(DRAVIK_ACTIVITY_TYPE_KERNEL), 0);
  std::atomic<bool> flushed{false};
  std::atomic<uint64_t> launched{0};
  std::atomic<int> out_of_work{0}, running{kThreads};
  std::vector<std::thread> launchers;
  for (int t = 0; t < kThreads; ++t) {
    launchers.emplace_back([&] {
      for (int i = 0; !flushed.load(); ++i) {
        if (i == kLaunchesEach) {
          out_of_work.fetch_add(1);
          break;
        }
        zra_sim::LaunchKernel({});
        launched.fetch_add(1);
      }
      // The last launcher out lets deliveries go on without new buffers.
      if (running.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> lock(state.mu);
        state.launchers_done = true;
        state.cv.notify_all();
      }
    });
  }
  {
    std::unique_lock<std::mutex> lock(state.mu);
    state.cv.wait(lock, [&] { return state.requested >= 8; });
  }
  const uint64_t launched_before = launched.load();
  zra_sim::FlushActivity();
  flushed.store(true);
  uint64_t records_at_flush;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    records_at_flush = state.records;
  }
  for (std::thread& t : launchers) t.join();
  Withdraw();
  EXPECT_EQ(out_of_work.load(), 0) << "the flush waited for the launchers to stop";
  EXPECT_GE(records_at_flush, launched_before);
  std::lock_guard<std::mutex> lock(state.mu);
  EXPECT_EQ(state.records, launched.load());  // withdrawal delivers the rest
  traffic = nullptr;
}

// Explicit flush mode reads the snapshot of the last flush; a counter never
// enabled is an error that leaves garbage; each kernel adds CounterDelta.
TEST_F(ZraSimTest, PmuReadsSnapshotsOfEnabledCounters) {
  const char* name = "tp_core__alu_cycles";
  uint64_t id = zra_sim::CounterId(name), other = zra_sim::CounterId("tp_core__lt_cycles");
  auto read = [](uint64_t counter) {
    uint64_t value = 0;
    int32_t result = FN("dravik", dravikPmuGetCounterValue)(0, counter, &value);
    return std::to_string(result) + ":" + std::to_string(value);
  };
  ASSERT_EQ(FN("dravik", dravikPmuEnableCounter)(0, id, true), 0);
  ASSERT_EQ(FN("dravik", dravikPmuSetFlushMode)(DRAVIK_PMU_EXPLICIT_FLUSH), 0);
  zra_sim::SetCounter(0, name, 1000);
  ASSERT_EQ(FN("dravik", dravikPmuFlushData)(0), 0);
  zra_sim::Kernel k;
  k.grid_x = 4;
  k.duration_ns = 800;
  zra_sim::LaunchKernel(k);
  EXPECT_EQ(read(id), "0:1000");
  ASSERT_EQ(FN("dravik", dravikPmuFlushData)(0), 0);
  EXPECT_EQ(read(id), "0:" + std::to_string(1000 + zra_sim::CounterDelta(name, 4, 1, 1, 800)));
  EXPECT_EQ(read(other), "5:" + std::to_string(0xA5A5A5A5A5A5A5A5ull));
  // The frequency query needs its environment switch at call time.
  morvelFrequencyInfo info{MORVEL_RECORD_VERSION, 0, 0, 0};
  EXPECT_EQ(FN("morvel", morvelGetFrequencyInfo)(&info, 0), MORVEL_ERROR_NOT_PERMITTED);
  EXPECT_EQ(info.frequency, 0xA5A5A5A5u);
  setenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK", "1", 1);
  info.version = MORVEL_RECORD_VERSION;
  EXPECT_EQ(FN("morvel", morvelGetFrequencyInfo)(&info, 0), MORVEL_SUCCESS);
  unsetenv("MORVEL_DEBUG_SKIP_FREQUENCY_CHECK");
  EXPECT_EQ(info.frequency, 1500u);
}

// Prints which of the functions that variants leave out the libraries on
// LD_LIBRARY_PATH offer.
constexpr const char* kOptional[][2] = {{"vorund", "qxQueueSync"},
                                        {"dravik", "dravikSubscribe"},
                                        {"morvel", "morvelGetCoreCount"},
                                        {"dravik", "dravikActivityDisable"},
                                        {"dravik", "dravikActivityEnableLatencyTimestamps"}};
ZENTRIK_CHILD_SCENARIO(PrintFunctionsFound) {
  for (const auto& f : kOptional) {
    printf("%d", Symbol(("lib" + std::string(f[0]) + ".so").c_str(), f[1]) != nullptr);
  }
  return 0;
}

TEST(ZraSimVariantsTest, VariantsLackTheirFunctions) {
  struct Row {
    const char* variant;
    const char* found;  // per entry of kOptional
  } rows[] = {{"full", "11111"},
              {"no_vorund", "01111"},
              {"no_required", "10111"},
              {"no_optional", "11000"},
              {"empty", "00000"}};
  for (const Row& row : rows) {
    zentrik::testing::ChildResult child = zentrik::testing::RunScenario(
        "PrintFunctionsFound",
        {{"LD_LIBRARY_PATH", std::string(ZRA_SIM_VARIANTS_DIR) + "/" + row.variant}});
    EXPECT_EQ(child.out, row.found) << row.variant << ": " << child.err;
  }
}

}  // namespace
