// Helper programs started with posix_spawnp (no shell, no inherited stdin).
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

extern char** environ;

namespace {

// Children that outlived sys_launch's wait, reaped whenever another starts.
// A sign-in opens the browser from its worker thread while the UI thread may
// start a file manager: the list is shared under its lock.
constexpr int kPending = 16;
pid_t g_pending[kPending];
std::mutex g_pending_lock;

void reap_pending() {
  std::lock_guard<std::mutex> held(g_pending_lock);
  for (pid_t& pid : g_pending) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = 0;
  }
}

bool spawn(const char* const* argv, int out_fd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  int result = posix_spawnp(pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

}  // namespace

bool sys_run(const char* const* argv, char* out, size_t out_size, int* exit_code) {
  reap_pending();
  int pipe_fds[2] = {-1, -1};
  if (out != nullptr && pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  pid_t pid = 0;
  bool started = spawn(argv, pipe_fds[1], &pid);
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  size_t length = 0;
  if (out != nullptr) {
    if (started) {
      char chunk[512];
      for (;;) {
        ssize_t got = read(pipe_fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size_t take = static_cast<size_t>(got);
        if (out_size > 0 && length + take > out_size - 1) take = out_size - 1 - length;
        std::memcpy(out + length, chunk, take);
        length += take;
      }
    }
    close(pipe_fds[0]);
    if (out_size > 0) out[length] = '\0';
  }
  if (!started) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool sys_launch(const char* const* argv, unsigned wait_ms, int* exit_code) {
  reap_pending();
  pid_t pid = 0;
  if (!spawn(argv, -1, &pid)) return false;
  for (unsigned waited = 0;; waited += 10) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    if (waited >= wait_ms) break;
    usleep(10000);
  }
  std::lock_guard<std::mutex> held(g_pending_lock);
  for (pid_t& slot : g_pending) {
    if (slot == 0) {
      slot = pid;
      break;
    }
  }
  if (exit_code != nullptr) *exit_code = 0;
  return true;
}
