#include "trace/core/lib/profiler_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "testing/stderr_capture.h"
#include "trace/core/lib/profiler_lock.h"
#include "trace/core/protobuf/profiler_options.pb.h"

namespace zentrik {
namespace trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// Tags of the fakes that fail to start, throw in Start or in CollectData.
char fail_start, throw_in_start, throw_in_collect;
// Every call the fakes see, in order: "A.Start", "B.Collect", ...
std::vector<std::string> journal;
std::vector<uint64_t> start_times;

void Note(char tag, const std::string& call) {
  journal.push_back(std::string(1, tag) + "." + call);
}

bool LockIsFree() { return AcquireProfilerLock() && (ReleaseProfilerLock(), true); }

class FakeProfiler : public ProfilerInterface {
 public:
  explicit FakeProfiler(char tag) : tag_(tag) {}
  ~FakeProfiler() override { Note(tag_, "Destroyed"); }

  Status Start(uint64_t start_time_ns) override {
    Note(tag_, "Start");
    start_times.push_back(start_time_ns);
    if (tag_ == throw_in_start) throw std::runtime_error("start threw");
    return tag_ == fail_start ? errors::Internal("no device") : Status();
  }
  Status Stop() override { return Note(tag_, "Stop"), Status(); }
  // Adds a plane named by the tag; notes whether the session still holds the
  // profiler lock while collecting.
  Status CollectData(XSpace* space) override {
    Note(tag_, LockIsFree() ? "Collect(lock free)" : "Collect(lock held)");
    if (tag_ == throw_in_collect) throw std::bad_alloc();
    space->add_planes()->set_name(std::string(1, tag_));
    return Status();
  }

 private:
  const char tag_;
};

template <char kTag>
std::unique_ptr<ProfilerInterface> Fake(const ProfileOptions&) {
  Note(kTag, "Create");
  return std::make_unique<FakeProfiler>(kTag);
}

// Host and device levels 0: the built-in tracers decline.
ProfileOptions Options(uint32_t version) {
  ProfileOptions options;
  options.set_version(version);
  return options;
}

std::unique_ptr<ProfilerSession> Session(const std::vector<ProfilerFactory>& factories) {
  return ProfilerSession::CreateWithFactories(ProfileOptions(), factories);
}

class ProfilerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fail_start = throw_in_start = throw_in_collect = 0;
    journal.clear();
    start_times.clear();
  }
};

TEST_F(ProfilerSessionTest, OnlyOneOfConcurrentSessionsRunsAndTheOthersRefuse) {
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<ProfilerSession>> sessions(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&sessions, i] { sessions[i] = Session({&Fake<'A'>}); });
  }
  for (std::thread& thread : threads) thread.join();
  int running = 0;
  for (auto& session : sessions) {
    if (session->Status().ok()) {
      ++running;
      continue;
    }
    EXPECT_EQ(session->Status().ToString(), "Unavailable: Another profiler session is active.");
    XSpace space;
    EXPECT_EQ(session->CollectData(&space).ToString(), session->Status().ToString());
    EXPECT_THAT(space.planes(), IsEmpty());
    session.reset();  // must not free the running session's lock
  }
  EXPECT_EQ(running, 1);
  EXPECT_EQ(journal.size(), 2u);  // only the running session built and started a profiler
  EXPECT_FALSE(LockIsFree());
}

// Start all at one time, stop all, collect all while the lock is held,
// release it, post-process; a profiler failing to start or throwing while
// collecting spares the others.
TEST_F(ProfilerSessionTest, CollectsInOrderThenReleasesAndPostProcesses) {
  fail_start = throw_in_collect = 'C';
  testing::StderrCapture capture;
  std::unique_ptr<ProfilerSession> session = Session({&Fake<'B'>, &Fake<'A'>, &Fake<'C'>});
  XSpace space;
  ASSERT_TRUE(session->CollectData(&space).ok());
  const std::string log = capture.Stop();
  EXPECT_THAT(log, HasSubstr("] Encountered error while starting profiler: Internal: no device\n"));
  EXPECT_THAT(log,
              HasSubstr("] Encountered error while collecting profiler data: std::bad_alloc\n"));
  EXPECT_THAT(journal, ElementsAre("B.Create", "A.Create", "C.Create", "B.Start", "A.Start",
                                   "C.Start", "B.Stop", "A.Stop", "C.Stop", "B.Collect(lock held)",
                                   "A.Collect(lock held)", "C.Collect(lock held)"));
  EXPECT_THAT(start_times, ElementsAre(start_times[0], start_times[0], start_times[0]));
  EXPECT_TRUE(LockIsFree());

  std::vector<std::string> planes;
  for (const XPlane& plane : space.planes()) planes.push_back(plane.name());
  EXPECT_THAT(planes, ::testing::IsSupersetOf({"A", "B"}));
}

// An exception while the session is built must not keep the process-wide
// lock: the profilers already there are stopped and destroyed, the lock is
// released and the session reports the failure.
TEST_F(ProfilerSessionTest, FailedConstructionReleasesTheLock) {
  throw_in_start = 'B';
  testing::StderrCapture capture;
  std::unique_ptr<ProfilerSession> session = Session({&Fake<'A'>, &Fake<'B'>});
  EXPECT_THAT(capture.Stop(), HasSubstr("] Profiler session failed to start: "));
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->Status().code(), error::INTERNAL);
  EXPECT_THAT(session->Status().error_message(), StartsWith("Profiler session failed to start: "));
  EXPECT_THAT(journal, ElementsAre("A.Create", "B.Create", "A.Start", "B.Start", "A.Stop", "B.Stop",
                                   "A.Destroyed", "B.Destroyed"));
  EXPECT_TRUE(LockIsFree());
}

// A profiler that only remembers which factory made it.
struct TaggedProfiler : ProfilerInterface {
  explicit TaggedProfiler(int tag) : tag(tag) {}
  Status Start(uint64_t) override { return Status(); }
  Status Stop() override { return Status(); }
  Status CollectData(XSpace*) override { return Status(); }
  const int tag;
};

// The registry is process-wide: these factories answer only to options
// carrying their version, so they never add profilers elsewhere.
template <int kTag, uint32_t kVersion>
std::unique_ptr<ProfilerInterface> TaggedFactory(const ProfileOptions& options) {
  if (options.version() != kVersion) return nullptr;
  return std::make_unique<TaggedProfiler>(kTag);
}

// Registration and creation run concurrently; then the profilers come after
// those already in the list, in registration order, duplicates called again,
// and factories that decline (other versions) skipped.
TEST(ProfilerFactoryTest, AppendsInRegistrationOrderAlsoWhileRegistering) {
  constexpr uint32_t kVersion = 103;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) RegisterProfilerFactory(&TaggedFactory<7, kVersion>);
    });
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        std::vector<std::unique_ptr<ProfilerInterface>> profilers;
        CreateProfilers(Options(kVersion), &profilers);
        EXPECT_LE(profilers.size(), 200u);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  RegisterProfilerFactory(&TaggedFactory<2, kVersion + 1>);
  RegisterProfilerFactory(&TaggedFactory<3, kVersion>);
  ::zentrik::testing::StderrCapture capture;
  RegisterProfilerFactory(nullptr);
  EXPECT_THAT(capture.Stop(), HasSubstr("Ignoring a null profiler factory."));
  std::vector<std::unique_ptr<ProfilerInterface>> profilers;
  profilers.push_back(std::make_unique<TaggedProfiler>(0));
  CreateProfilers(Options(kVersion), &profilers);
  std::vector<int> tags;
  for (const auto& p : profilers) tags.push_back(static_cast<const TaggedProfiler&>(*p).tag);
  std::vector<int> expected(202, 7);
  expected.front() = 0, expected.back() = 3;
  EXPECT_EQ(tags, expected);
}

std::vector<std::string> seen_options;  // host/device/version as each factory saw them

std::unique_ptr<ProfilerInterface> OptionsRecorder(const ProfileOptions& options) {
  seen_options.push_back(std::to_string(options.host_tracer_level()) + "/" +
                         std::to_string(options.device_tracer_level()) + "/" +
                         std::to_string(options.version()));
  return nullptr;
}

// Options of version 0 were never set: the profilers see the defaults
// (host level 2, device level 1, version 1) whatever the levels say.
TEST(ProfilerSessionOptionsTest, UnsetOptionsAreReplacedByDefaults) {
  const std::tuple<uint32_t, uint32_t, uint32_t, const char*> cases[] = {{0, 7, 0, "2/1/1"},
                                                                         {3, 0, 0, "2/1/1"},
                                                                         {0, 0, 0, "2/1/1"},
                                                                         {0, 0, 1, "0/0/1"},
                                                                         {3, 2, 4, "3/2/4"}};
  for (const auto& [host, device, version, seen] : cases) {
    ProfileOptions options;
    options.set_host_tracer_level(host);
    options.set_device_tracer_level(device);
    options.set_version(version);
    seen_options.clear();
    ProfilerSession::CreateWithFactories(options, {&OptionsRecorder});
    EXPECT_EQ(seen_options, std::vector<std::string>{seen})
        << host << "/" << device << "/" << version;
  }
}

// A session's host tracer starts before its device tracer: the built-in
// factories lead the registry in that order.
TEST(ProfilerFactoryTest, BuiltinTracersComeFirstHostBeforeDevice) {
  std::vector<ProfilerFactory> expected;
  if (&CreateHostTracer != nullptr) expected.push_back(&CreateHostTracer);
  if (&CreateDeviceTracer != nullptr) expected.push_back(&CreateDeviceTracer);
  std::lock_guard<std::mutex> lock(ProfilerFactoryMutex());
  const std::vector<ProfilerFactory>& factories = GetProfilerFactories();
  ASSERT_GE(factories.size(), expected.size());
  EXPECT_EQ(std::vector<ProfilerFactory>(factories.begin(), factories.begin() + expected.size()),
            expected);
}

// The guard gives the lock back on every way out, once; a refused guard never
// frees the holder's lock, and a move hands the lock over.
TEST(ProfilerLockTest, GuardReleasesOnEveryWayOutOnce) {
  {
    ProfilerLock lock = ProfilerLock::TryAcquire();
    EXPECT_TRUE(lock.Active());
    EXPECT_FALSE(ProfilerLock::TryAcquire().Active());
  }
  EXPECT_THROW(
      {
        ProfilerLock lock = ProfilerLock::TryAcquire();
        ASSERT_TRUE(lock.Active());
        throw std::runtime_error("construction failed");
      },
      std::runtime_error);
  ProfilerLock first = ProfilerLock::TryAcquire();
  ASSERT_TRUE(first.Active());
  { ProfilerLock refused = ProfilerLock::TryAcquire(); }
  EXPECT_FALSE(LockIsFree());
  ProfilerLock moved;
  moved = std::move(first);
  EXPECT_FALSE(first.Active());
  EXPECT_TRUE(moved.Active());
  EXPECT_FALSE(LockIsFree());
  moved.Release();
  ASSERT_TRUE(AcquireProfilerLock());  // Held by someone else now: a second Release leaves it.
  moved.Release();
  EXPECT_FALSE(LockIsFree());
  ReleaseProfilerLock();
  ProfilerLock held = ProfilerLock::TryAcquire();
  ASSERT_TRUE(held.Active());
  held = ProfilerLock();  // Replacing a holding guard gives its lock back.
  EXPECT_TRUE(LockIsFree());
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
