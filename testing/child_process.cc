#include "testing/child_process.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

extern char** environ;

namespace zentrik {
namespace testing {
namespace {

constexpr char kScenarioVariable[] = "ZENTRIK_TEST_SCENARIO";

std::map<std::string, ScenarioFunction>& Scenarios() {
  static auto* scenarios = new std::map<std::string, ScenarioFunction>;
  return *scenarios;
}

std::vector<std::string> ChildEnvironment(const EnvOverrides& overrides) {
  std::map<std::string, std::string> vars;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* eq = strchr(*entry, '=');
    if (eq == nullptr) continue;
    vars[std::string(*entry, eq - *entry)] = eq + 1;
  }
  for (const auto& [name, value] : overrides) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : vars) result.push_back(name + "=" + value);
  return result;
}

// The whole contents of `file`, which is then closed.
std::string ReadAndClose(FILE* file) {
  std::string text;
  rewind(file);
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, n);
  fclose(file);
  return text;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const EnvOverrides& env) {
  ChildResult result;
  const std::vector<std::string> env_strings = ChildEnvironment(env);
  std::vector<char*> child_argv;
  for (const std::string& arg : argv) child_argv.push_back(const_cast<char*>(arg.c_str()));
  child_argv.push_back(nullptr);
  std::vector<char*> child_env;
  for (const std::string& var : env_strings) child_env.push_back(const_cast<char*>(var.c_str()));
  child_env.push_back(nullptr);

  // The child writes into unlinked files, read once it ended: unlike pipes,
  // they never fill up and block it.
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  if (out == nullptr || err == nullptr) return result;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    close(fileno(out));
    close(fileno(err));
    execve(child_argv[0], child_argv.data(), child_env.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = ReadAndClose(out);
  result.err = ReadAndClose(err);
  return result;
}

ChildResult WaitForChild(pid_t pid, int limit_ms) {
  ChildResult result;
  int status = 0;
  const timespec one_ms{0, 1000000};
  for (int waited_ms = 0;; ++waited_ms) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) break;
    if (ended < 0 && errno != EINTR) return result;
    if (waited_ms >= limit_ms) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.hung = true;
      break;
    }
    nanosleep(&one_ms, nullptr);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

ChildResult RunScenario(const std::string& name, const EnvOverrides& env) {
  EnvOverrides all = env;
  all.emplace_back(kScenarioVariable, name);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return ChildResult{};
  self[n] = '\0';
  return RunChild({self}, all);
}

bool BecomeNobody() {
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

bool MaybeRunScenario(int* exit_code) {
  const char* name = getenv(kScenarioVariable);
  if (name == nullptr) return false;
  const auto it = Scenarios().find(name);
  if (it == Scenarios().end()) {
    fprintf(stderr, "unknown scenario %s\n", name);
    *exit_code = 126;
    return true;
  }
  // Children of the scenario are ordinary processes again.
  unsetenv(kScenarioVariable);
  *exit_code = it->second();
  return true;
}

ScenarioRegistrar::ScenarioRegistrar(const char* name, ScenarioFunction function) {
  Scenarios()[name] = function;
}

}  // namespace testing
}  // namespace zentrik
