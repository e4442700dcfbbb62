// Running helper programs without a shell, and the termination requests the
// session sends (SIGTERM, SIGHUP).
#pragma once

#include <cstddef>

// Runs argv[0] (searched in PATH) with stdin and stderr on /dev/null and waits
// for it. Its standard output (up to out_size - 1 bytes) goes to `out` when
// `out` is given. False when the program could not be started.
bool sys_run(const char* const* argv, char* out, size_t out_size, int* exit_code);
// Starts a program that may keep running (a browser, a file manager): waits up
// to `wait_ms` for it to end and reports its exit code; a program still
// running then counts as started (exit code 0) and is reaped later.
bool sys_launch(const char* const* argv, unsigned wait_ms, int* exit_code);

// A helper program running beside the caller with its standard output on a
// pipe (a desktop dialog): started, checked without waiting, or stopped.
struct SysChild {
  int pid;     // 0: none
  int out_fd;  // read end of its standard output, non-blocking
};
// Starts argv[0] (searched in PATH) as sys_run does, without waiting for it.
// False when the program could not be started.
bool sys_child_start(const char* const* argv, SysChild* child);
// Appends what the child printed since the last call to `out` (from *length,
// at most out_size - 1 bytes, always terminated) without waiting. True once
// the child has ended: its exit code (-1 when a signal ended it) is set and
// the record is cleared.
bool sys_child_finished(SysChild* child, char* out, size_t out_size, size_t* length, int* exit_code);
// Ends a child that is still running (SIGTERM, then SIGKILL when it lingers),
// reaps it and clears the record.
void sys_child_stop(SysChild* child);

// The children of this process that the helpers above did not start (those a
// library started, such as the process that shows a message box), up to
// `capacity` of them; their count.
size_t sys_other_children(int* pids, size_t capacity);
// Ends (SIGKILL) every child that sys_other_children lists now and that is
// not among `spared`.
void sys_end_other_children(const int* spared, size_t spared_count);

// Termination requests. The handlers of SIGTERM and SIGHUP only note the
// signal; the frame loop and the modal loops read it and end. Catching
// replaces the handlers that were there until sys_release_termination.
void sys_catch_termination();
void sys_release_termination();
// The signal that asked the program to end, or 0.
int sys_termination_signal();
