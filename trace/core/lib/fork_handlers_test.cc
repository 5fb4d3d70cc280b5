// fork() while other threads record, register new threads and start and stop
// sessions: every child must finish, see nothing of the parent's session and
// record a session of its own. A child that hangs is killed and fails the test.
#include "trace/core/lib/fork_handlers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/log_lines.h"
#include "testing/stderr_capture.h"
#include "trace/core/internal/cpu/traceme_recorder.h"
#include "trace/core/lib/annotation_stack.h"
#include "trace/core/lib/profiler_factory.h"
#include "trace/core/protobuf/profiler_options.pb.h"
#include "trace/core/protobuf/xplane.pb.h"
#include "trace/core/utils/parse_annotation.h"
#include "trace/core/utils/xplane_schema.h"
#include "zentrik/trace/trace_me.h"
#include "zentrik/trace/tracer.h"

namespace zentrik {
namespace trace {
namespace {

constexpr int kForks = 30;
constexpr int kWorkers = 4;
constexpr int kPerFork = 8;
// Far beyond what a child needs; only a hung child reaches it.
constexpr int kChildLimitMs = 20000;
constexpr char kUntouched[] = "untouched";
// The sanitizers of this toolchain do not keep their allocators whole across
// fork(): a child of a process whose threads allocate can hang in the
// sanitizer's allocator (and ThreadSanitizer cannot follow a thread started
// in the child at all). Under them the children end at once, and only the
// parent's side runs: the fork handlers racing with its recording threads.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kChildChecks = false;
#else
constexpr bool kChildChecks = true;
#endif
constexpr char kInheritedWarning[] =
    "WARNING Profiler session was started before fork(): this process collects nothing of it.";

std::unique_ptr<TracerInterface> HostTracer() {
  return std::unique_ptr<TracerInterface>(CreateTracer({2, 0}, "unused"));
}

// The names of the host events in serialized XSpace bytes, sorted.
std::vector<std::string> HostEventNames(const std::string& bytes) {
  std::vector<std::string> names;
  XSpace space;
  if (!space.ParseFromString(bytes)) return {"<not an XSpace>"};
  for (const XPlane& plane : space.planes()) {
    if (plane.name() != kHostPlaneName) continue;
    for (const XLine& line : plane.lines()) {
      for (const XEvent& event : line.events()) {
        const auto it = plane.event_metadata().find(event.metadata_id());
        names.push_back(it == plane.event_metadata().end() ? "?" : it->second.name());
      }
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Why a child failed, by its exit code.
const char* const kChildFailures[] = {
    "",
    "recording is on in the child before it started a session",
    "threads of the parent are still registered in the child",
    "the child could not start a session",
    "the parent's tracer delivered something in the child",
    "the parent's tracer freed the child's profiler lock",
    "the child's session could not be stopped",
    "the child's trace is not just its own events",
};

// What a child checks; its exit code, 0 when all is well. `inherited` is the
// tracer the parent had started, or null. A child that hangs fails too.
int CheckChild(TracerInterface* inherited, bool restart_inherited) {
  if (TraceMe::Active(kCritical)) return 1;
  if (TraceMeRecorder::Get()->RegisteredThreadCount() > 1) return 2;
  // Both take locks that a thread of the parent kept taking.
  SetAnnotationStackDelimiter("::");
  AnnotationRegistry::GetOrRegister("child-annotation");
  std::unique_ptr<TracerInterface> fresh;
  TracerInterface* own = restart_inherited ? inherited : (fresh = HostTracer()).get();
  if (!own->Start()) return 3;
  if (inherited != nullptr && !restart_inherited) {
    // Stopping the parent's tracer leaves the child's session alone.
    std::string untouched = kUntouched;
    if (inherited->Stop(&untouched) || untouched != kUntouched) return 4;
    if (HostTracer()->Start()) return 5;
  }
  { TraceMe on_forking_thread("child-main"); }
  // A thread the child creates registers with the recorder.
  std::thread([] { TraceMe on_new_thread("child-thread"); }).join();
  std::string bytes;
  if (!own->Stop(&bytes)) return 6;
  const std::vector<std::string> expected = {"child-main", "child-thread"};
  if (HostEventNames(bytes) != expected) return 7;
  return 0;
}

// Until told to stop: records, and makes short-lived threads that record
// (each registers with the recorder and leaves it at exit). Paced by the
// forks: at most kPerFork rounds each, begun as the fork is made, so a
// session holds a bounded number of 64 KiB thread blocks.
void RecordAndSpawn(const std::atomic<bool>* done, const std::atomic<int>* forks) {
  for (int round = 0; !done->load();) {
    if (round >= (forks->load() + 1) * kPerFork) {
      std::this_thread::yield();
      continue;
    }
    { TraceMe worker("parent-worker"); }
    std::thread([] { TraceMe short_lived("parent-thread"); }).join();
    ++round;
  }
}

// Each takes one of the process-wide locks that a child's session and
// annotations need. One thread apiece calls it over and over, so that forks
// find the lock held (a thread taking several would mostly wait for the ones
// the fork holds).
void (*const kLockTakers[])() = {
    [] { AnnotationRegistry::GetOrRegister("parent-annotation"); },
    [] { SetAnnotationStackDelimiter("::"); },
    [] {
      std::vector<std::unique_ptr<ProfilerInterface>> none;  // Levels 0: no profiler.
      CreateProfilers(ProfileOptions(), &none);
    },
};

void Repeat(const std::atomic<bool>* done, void (*take_lock)()) {
  while (!done->load()) take_lock();
}

// Until told to stop: starts and stops sessions, so that forks find the
// recorder's and the registry's locks held.
void ChurnSessions(const std::atomic<bool>* done) {
  while (!done->load()) {
    std::unique_ptr<TracerInterface> tracer = HostTracer();
    std::string bytes;
    if (tracer->Start()) tracer->Stop(&bytes);
  }
}

TEST(ForkTest, ChildrenNeverHangAndRecordOnlyTheirOwnSession) {
  const struct {
    const char* name;
    bool parent_session;     // The forking thread has a tracer started.
    bool churn;              // Another thread starts and stops sessions.
    bool restart_inherited;  // The child restarts the parent's tracer.
    int inherited_warnings;  // WARNINGs the children log about the parent's session.
  } cases[] = {
      {"parent session running", true, false, false, kForks},
      {"sessions starting and stopping", false, true, false, 0},
      {"inherited tracer restarted", true, false, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TracerInterface> parent_tracer;
    if (c.parent_session) {
      parent_tracer = HostTracer();
      ASSERT_TRUE(parent_tracer->Start());
    }
    std::atomic<bool> done{false};
    std::atomic<int> forks{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) threads.emplace_back(RecordAndSpawn, &done, &forks);
    for (auto* take_lock : kLockTakers) threads.emplace_back(Repeat, &done, take_lock);
    if (c.churn) threads.emplace_back(ChurnSessions, &done);

    testing::StderrCapture capture;
    testing::ChildResult child;
    child.exit_code = 0;
    while (forks < kForks && !child.hung && child.exit_code == 0) {
      // The forking thread has parent events queued when it forks.
      { TraceMe before_fork("parent-main"); }
      fflush(nullptr);
      ++forks;  // The workers begin another round.
      const pid_t pid = fork();
      if (pid == 0) _exit(kChildChecks ? CheckChild(parent_tracer.get(), c.restart_inherited) : 0);
      if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        break;
      }
      child = testing::WaitForChild(pid, kChildLimitMs);
    }
    done = true;
    for (std::thread& thread : threads) thread.join();
    const std::string log = capture.Stop();

    const int last = forks - 1;  // The loop stops at the first child that failed.
    if (child.hung) {
      ADD_FAILURE() << "child " << last << " hung";
      continue;
    }
    EXPECT_EQ(child.term_signal, 0) << "child " << last;
    EXPECT_EQ(child.exit_code, 0)
        << "child " << last << ": "
        << (child.exit_code > 0 && child.exit_code < 8 ? kChildFailures[child.exit_code] : "?");
    if (child.term_signal != 0 || child.exit_code != 0) continue;
    const std::vector<std::string> lines =
        testing::LogLinesFrom(log, "trace/core/lib/profiler_session");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kInheritedWarning),
              kChildChecks ? c.inherited_warnings : 0);
    if (parent_tracer != nullptr) {
      // The parent's own session went on through every fork.
      std::string bytes;
      ASSERT_TRUE(parent_tracer->Stop(&bytes));
      const std::vector<std::string> names = HostEventNames(bytes);
      EXPECT_EQ(std::count(names.begin(), names.end(), "parent-main"), kForks);
      EXPECT_NE(std::find(names.begin(), names.end(), "parent-thread"), names.end());
    }
  }
}

// Forks, as a factory that starts a helper process might; makes no profiler.
std::unique_ptr<ProfilerInterface> ForkingFactory(const ProfileOptions&) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return nullptr;
}

TEST(ForkTest, ProfilerFactoryMayFork) {
  // The factory stays registered, so the session runs in a child of its own.
  const pid_t pid = fork();
  if (pid == 0) {
    RegisterProfilerFactory(&ForkingFactory);
    std::unique_ptr<TracerInterface> tracer = HostTracer();
    std::string bytes;
    const bool started = tracer->Start();
    { TraceMe event("after-factory"); }
    const bool stopped = started && tracer->Stop(&bytes);
    _exit(stopped && HostEventNames(bytes) == std::vector<std::string>{"after-factory"} ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  const testing::ChildResult child = testing::WaitForChild(pid, kChildLimitMs);
  EXPECT_FALSE(child.hung) << "fork() inside a profiler factory waited for the factory registry";
  EXPECT_EQ(child.term_signal, 0);
  EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
