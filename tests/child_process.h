// Tests that run the editor as a child process: this test program started
// again with one test filtered and an environment of the test's making, stand-in
// helper programs put first on PATH, and waiting on files and exits with a
// deadline, so that an editor that hangs fails its test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace kelvra_test {

// Writes an executable shell script `name` into `folder`.
inline void write_program(const std::string& folder, const std::string& name, const std::string& body) {
  const std::string path = folder + "/" + name;
  write_file(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

// Starts this test program running only `test` (Suite.Name), its standard
// output and error going to `log`. The environment is this process's, less
// the variables whose names `drop` lists (NAME or NAME= prefixes), plus `set`
// ("NAME=value" entries). The child's pid, or 0 when it could not start.
inline pid_t start_test_child(const std::string& test, const std::vector<std::string>& set,
                              const std::vector<std::string>& drop, const std::string& log) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::string> strings = set;
  std::vector<char*> env;
  for (std::string& s : strings) env.push_back(s.data());
  for (char** e = environ; *e != nullptr; ++e) {
    bool dropped = false;
    for (const std::string& d : drop) dropped = dropped || std::strncmp(*e, d.c_str(), d.size()) == 0;
    for (const std::string& s : set) dropped = dropped || std::strncmp(*e, s.c_str(), s.find('=') + 1) == 0;
    if (!dropped) env.push_back(*e);
  }
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=" + test;
  char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t child = 0;
  const int started = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  return started == 0 ? child : 0;
}

// Waits up to `seconds` for `child` to end; false (and the child killed and
// reaped) when it is still running then. `status` gets its wait status.
inline bool wait_for_exit(pid_t child, double seconds, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(child, status, WNOHANG) == child) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, status, 0);
  return false;
}

// Waits up to `seconds` for `path` to exist while `child` runs; false when
// the time passes or the child ends first.
inline bool wait_for_file(const std::string& path, pid_t child, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    siginfo_t info{};
    if (child > 0 && ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child)
      return false;  // ended; left for wait_for_exit to reap
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Whether process `pid` still runs (a zombie does not count).
inline bool process_runs(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return false;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace kelvra_test
