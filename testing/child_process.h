#ifndef ZENTRIK_TESTING_CHILD_PROCESS_H_
#define ZENTRIK_TESTING_CHILD_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zentrik {
namespace testing {

struct ChildResult {
  int exit_code = -1;   // -1 when the child did not exit normally.
  int term_signal = 0;  // The signal that ended the child, else 0.
  std::string out;      // Everything the child wrote to stdout.
  std::string err;      // Everything the child wrote to stderr.
  bool hung = false;    // The child outlived its limit and was killed.
};

// Environment changes for a child: a value sets the variable, nullopt unsets it.
using EnvOverrides = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs argv[0] with the current environment changed by `env`, waits for it and
// returns what it printed.
ChildResult RunChild(const std::vector<std::string>& argv, const EnvOverrides& env = {});

// Waits for the forked child `pid` for at most about `limit_ms` milliseconds
// and returns how it ended (out and err stay empty). A child still running then
// is killed with SIGKILL and reported hung, so a test that forks fails instead
// of waiting forever.
ChildResult WaitForChild(pid_t pid, int limit_ms);

// Runs the scenario registered under `name` (ZENTRIK_CHILD_SCENARIO) in a fresh
// copy of the current test program. Settings that a process reads once (log
// levels) are tested this way.
ChildResult RunScenario(const std::string& name, const EnvOverrides& env = {});

// Makes this process uid and gid 65534 with no supplementary group (root's
// would still open what those ids may not); false when that is refused, as it
// is to a process that is not root.
bool BecomeNobody();

// Runs the scenario named by ZENTRIK_TEST_SCENARIO, if any; returns false when
// this process is not a scenario child. Called by the test main.
bool MaybeRunScenario(int* exit_code);

using ScenarioFunction = int (*)();
struct ScenarioRegistrar {
  ScenarioRegistrar(const char* name, ScenarioFunction function);
};

}  // namespace testing
}  // namespace zentrik

// ZENTRIK_CHILD_SCENARIO(Name) { ...; return exit_code; }
#define ZENTRIK_CHILD_SCENARIO(name)                                                               \
  static int name##_Scenario();                                                                    \
  static ::zentrik::testing::ScenarioRegistrar name##_scenario_registrar(#name, &name##_Scenario); \
  static int name##_Scenario()

#endif  // ZENTRIK_TESTING_CHILD_PROCESS_H_
