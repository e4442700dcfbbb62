// Helper programs started with posix_spawnp (no shell, no inherited stdin,
// no descriptor but 0-2, none of the program's secrets in their
// environment), and the termination signals.
//
// Index:
//   [children]  the list of running children, spawning
//   [run]       sys_run, sys_launch
//   [beside]    sys_child_start, sys_child_finished, sys_child_stop
//   [others]    children a library started
//   [signals]   SIGTERM and SIGHUP
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

extern char** environ;

// ---------------------------------------------------------------- [children]

namespace {

// Every child the helpers started and have not reaped yet, and among them
// those that outlived sys_launch's wait, reaped whenever another starts. A
// sign-in opens the browser from its worker thread while the UI thread may
// start a file manager: the lists are shared under their lock.
constexpr int kPending = 16;
constexpr int kStarted = 64;
pid_t g_pending[kPending];
pid_t g_started[kStarted];
std::mutex g_children_lock;

void note_started_locked(pid_t pid) {
  for (pid_t& slot : g_started) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
}

void note_reaped_locked(pid_t pid) {
  for (pid_t& slot : g_started) {
    if (slot == pid) slot = 0;
  }
}

void note_reaped(pid_t pid) {
  std::lock_guard<std::mutex> held(g_children_lock);
  note_reaped_locked(pid);
}

void reap_pending() {
  std::lock_guard<std::mutex> held(g_children_lock);
  for (pid_t& pid : g_pending) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) {
      note_reaped_locked(pid);
      pid = 0;
    }
  }
}

// A ZARNELK_..._SECRET or ZARNELK_..._TOKEN entry: a client secret or an
// access token, which a browser or file manager has no use for.
bool secret_entry(const char* entry) {
  if (std::strncmp(entry, "ZARNELK_", 8) != 0) return false;
  const char* equals = std::strchr(entry, '=');
  if (equals == nullptr) return false;
  const size_t length = static_cast<size_t>(equals - entry);
  const auto ends_with = [&](const char* tail) {
    const size_t tail_length = std::strlen(tail);
    return length > 8 + tail_length && std::strncmp(equals - tail_length, tail, tail_length) == 0;
  };
  return ends_with("_SECRET") || ends_with("_TOKEN");
}

bool spawn(const char* const* argv, int out_fd, pid_t* pid) {
  std::vector<char*> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    if (!secret_entry(*entry)) environment.push_back(*entry);
  environment.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // Whatever another thread opened without close-on-exec (a library's
  // socket, a connection of an upload) stays with this process.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The list is held across the start so that no scan for other children
  // meets the new one before it is noted.
  std::lock_guard<std::mutex> held(g_children_lock);
  int result = posix_spawnp(pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result == 0) note_started_locked(*pid);
  return result == 0;
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

// --------------------------------------------------------------------- [run]

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
  note_reaped(pid);
  if (exit_code != nullptr) *exit_code = exit_code_of(status);
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
      note_reaped(pid);
      if (exit_code != nullptr) *exit_code = exit_code_of(status);
      return true;
    }
    if (waited >= wait_ms) break;
    usleep(10000);
  }
  std::lock_guard<std::mutex> held(g_children_lock);
  for (pid_t& slot : g_pending) {
    if (slot == 0) {
      slot = pid;
      break;
    }
  }
  if (exit_code != nullptr) *exit_code = 0;
  return true;
}

// ------------------------------------------------------------------ [beside]

bool sys_child_start(const char* const* argv, SysChild* child) {
  *child = SysChild{};
  reap_pending();
  int pipe_fds[2] = {-1, -1};
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  // Only our end waits for nothing; the child writes to a blocking pipe.
  fcntl(pipe_fds[0], F_SETFL, fcntl(pipe_fds[0], F_GETFL) | O_NONBLOCK);
  pid_t pid = 0;
  const bool started = spawn(argv, pipe_fds[1], &pid);
  close(pipe_fds[1]);
  if (!started) {
    close(pipe_fds[0]);
    return false;
  }
  child->pid = pid;
  child->out_fd = pipe_fds[0];
  return true;
}

namespace {

// Reads what the pipe holds now.
void take_output(int fd, char* out, size_t out_size, size_t* length) {
  char chunk[512];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size_t take = static_cast<size_t>(got);
    if (*length + take > out_size - 1) take = out_size - 1 - *length;
    std::memcpy(out + *length, chunk, take);
    *length += take;
  }
  out[*length] = '\0';
}

}  // namespace

bool sys_child_finished(SysChild* child, char* out, size_t out_size, size_t* length, int* exit_code) {
  if (child->pid <= 0 || out_size == 0) return true;
  int status = 0;
  const pid_t done = waitpid(child->pid, &status, WNOHANG);
  take_output(child->out_fd, out, out_size, length);
  if (done != child->pid) return false;
  note_reaped(child->pid);
  close(child->out_fd);
  *child = SysChild{};
  if (exit_code != nullptr) *exit_code = exit_code_of(status);
  return true;
}

void sys_child_stop(SysChild* child) {
  if (child->pid <= 0) return;
  kill(child->pid, SIGTERM);
  bool reaped = false;
  for (int waited = 0; waited < 50 && !reaped; ++waited) {
    reaped = waitpid(child->pid, nullptr, WNOHANG) == child->pid;
    if (!reaped) usleep(10000);
  }
  if (!reaped) {
    kill(child->pid, SIGKILL);
    while (waitpid(child->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  note_reaped(child->pid);
  close(child->out_fd);
  *child = SysChild{};
}

// ------------------------------------------------------------------ [others]

namespace {

// The parent of process `pid` from /proc; 0 when it cannot be read.
pid_t parent_of(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[512];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  // "pid (name) state ppid ...": the name may hold anything, so the last ')' ends it.
  const char* close_paren = std::strrchr(text, ')');
  char state = 0;
  int parent = 0;
  if (close_paren == nullptr || std::sscanf(close_paren + 1, " %c %d", &state, &parent) != 2) return 0;
  return parent;
}

}  // namespace

size_t sys_other_children(int* pids, size_t capacity) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = getpid();
  size_t count = 0;
  std::lock_guard<std::mutex> held(g_children_lock);
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || parent_of(static_cast<pid_t>(pid)) != self) continue;
    bool ours = false;
    for (pid_t started : g_started) ours = ours || started == pid;
    if (!ours && count < capacity) pids[count++] = static_cast<int>(pid);
  }
  closedir(proc);
  return count;
}

void sys_end_other_children(const int* spared, size_t spared_count) {
  int now[64];
  const size_t count = sys_other_children(now, 64);
  for (size_t i = 0; i < count; ++i) {
    bool keep = false;
    for (size_t j = 0; j < spared_count; ++j) keep = keep || spared[j] == now[i];
    if (!keep) kill(now[i], SIGKILL);
  }
}

// ----------------------------------------------------------------- [signals]

namespace {

// Read by the UI thread and by a message box's watcher: an atomic that needs
// no lock, which a signal handler may also write.
std::atomic<int> g_termination{0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction g_previous_term;
struct sigaction g_previous_hup;
bool g_caught = false;

void note_termination(int signal_number) { g_termination = signal_number; }

}  // namespace

void sys_catch_termination() {
  if (g_caught) return;
  g_termination = 0;
  struct sigaction action{};
  action.sa_handler = note_termination;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &g_previous_term);
  sigaction(SIGHUP, &action, &g_previous_hup);
  g_caught = true;
}

void sys_release_termination() {
  if (!g_caught) return;
  sigaction(SIGTERM, &g_previous_term, nullptr);
  sigaction(SIGHUP, &g_previous_hup, nullptr);
  g_caught = false;
  g_termination = 0;
}

int sys_termination_signal() { return g_termination.load(); }
