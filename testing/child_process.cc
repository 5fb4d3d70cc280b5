#include "testing/child_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// Reads both pipes until the child closes them, without risking a deadlock
// when one of them fills.
void DrainPipes(int out_fd, int err_fd, std::string* out, std::string* err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
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

  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    execve(child_argv[0], child_argv.data(), child_env.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  DrainPipes(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
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
