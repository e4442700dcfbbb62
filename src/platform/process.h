// Running helper programs without a shell.
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
