// File system operations with platform semantics: atomic replacement of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Replaces the file at `path` with `length` bytes: a temporary file in the same
// folder, written and flushed to disk, renamed over the target, then the folder
// flushed. On any failure the target is untouched and no temporary file stays.
bool sys_file_write_atomic(const char* path, const void* data, uint64_t length);

// The full path of `path` (relative paths are joined to the working folder),
// written into a 260-byte buffer; false when it does not fit or names a folder.
bool sys_full_path(const char* path, char* out);

// The system calls the atomic writer goes through. Tests swap them to inject
// failures of a particular write, flush or rename; production never does.
struct SysFileCalls {
  ssize_t (*write)(int fd, const void* data, size_t length);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
};
// Installs `calls` (null restores the real ones).
void sys_file_set_calls(const SysFileCalls* calls);
const SysFileCalls* sys_file_real_calls();
