#include "tests/host/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

void MakePipe(int fds[2]) {
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
}

// Reads both pipes to their end at once, so a child that fills one cannot
// block while the other is being drained.
void DrainPipes(const int outFd, const int errFd, ChildResult& result) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* const sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) throw std::runtime_error("poll failed");
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

int StatusOf(const pid_t pid) {
  int raw = 0;
  if (waitpid(pid, &raw, 0) != pid) throw std::runtime_error("waitpid failed");
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace

ChildResult RunInChild(const std::function<int()>& body) {
  int out[2];
  int err[2];
  MakePipe(out);
  MakePipe(err);
  // Whatever the test has buffered would otherwise be written twice, once by
  // each process.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    std::exit(body());
  }
  close(out[1]);
  close(err[1]);
  ChildResult result{};
  DrainPipes(out[0], err[0], result);
  result.status = StatusOf(pid);
  return result;
}

ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const char* const simulatedUser, const StdoutMode mode) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  static const char kVariable[] = "HALTCTL_SIMULATED_PLATFORM=";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kVariable, sizeof kVariable - 1) != 0) env.emplace_back(*e);
  }
  if (simulatedUser != nullptr) env.push_back(std::string(kVariable) + simulatedUser);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  MakePipe(out);
  MakePipe(err);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == kStdoutPipe) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  } else if (mode == kStdoutClosed) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addclose(&actions, err[1]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " + path);
  ChildResult result{};
  DrainPipes(out[0], err[0], result);
  result.status = StatusOf(pid);
  return result;
}
