// File system operations with platform semantics: atomic replacement of a
// file, reading regular files without blocking, and full paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum : uint32_t {
  SYS_WRITE_DONE = 0,         // the new file is in place and on disk
  SYS_WRITE_NOT_FLUSHED = 1,  // the new file is in place, but its folder could not be flushed to disk
  SYS_WRITE_FAILED = 2,       // nothing changed and no temporary file stays
  SYS_WRITE_READ_ONLY = 3,    // the target is read-only; nothing changed
};

// Replaces the file at `path` with `length` bytes: a temporary file in the
// same folder, written and flushed to disk, renamed over the target, then the
// folder flushed. A symbolic link is written through: the file it names is
// replaced and the link stays. Until the rename nothing visible changes; the
// rename is the point of no return, after which only the folder flush can
// fail (SYS_WRITE_NOT_FLUSHED). Temporary files of this writer older than an
// hour, left in that folder by a killed save, are removed first.
uint32_t sys_file_write_atomic(const char* path, const void* data, uint64_t length);

// Removes this writer's temporary files ("zke" and six letters or digits,
// regular, owned by this user) older than `max_age_seconds` from `folder`;
// the number removed.
uint32_t sys_remove_stale_temporaries(const char* folder, uint64_t max_age_seconds);
constexpr uint64_t SYS_STALE_TEMPORARY_SECONDS = 3600;
// The same sweep for the files whose names `ours` accepts.
uint32_t sys_remove_stale_files(const char* folder, uint64_t max_age_seconds, bool (*ours)(const char* name));

// Opens `path` for reading when it is a regular file, without waiting on a
// FIFO or a device; the descriptor and the file's size, or -1.
int sys_open_regular(const char* path, uint64_t* size);
// Reads exactly `length` bytes from `fd`; false on an error or a short file.
bool sys_read_exactly(int fd, void* data, uint64_t length);

// Whether `path` names a regular file that this user may read.
bool sys_file_readable(const char* path);

// What `path` is as a folder (a link is followed): one this user may list
// and read in, nothing at all, something that is no folder, or a folder
// (or a path through one) closed to this user.
enum : uint32_t {
  SYS_FOLDER_OPEN = 0,
  SYS_FOLDER_MISSING = 1,
  SYS_FOLDER_NOT_A_FOLDER = 2,
  SYS_FOLDER_CLOSED = 3,
};
uint32_t sys_folder_state(const char* path);

// The full path of `path` (relative paths are joined to the working folder),
// written into a KELVRA_PATH_SIZE buffer; false when it does not fit or names a folder.
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

// ----------------------------------------------------------------- copying
// A copy of a file into a folder, made in steps so that a long one can show
// its progress and be cancelled between them: the bytes go to a temporary
// file of the atomic writer's kind ("zke" and six characters) in the target
// folder, which is flushed to disk and then moved to its final name without
// replacing anything. Until that move no file of a final name exists, and a
// copy that fails or is cancelled leaves nothing behind. Writes and flushes
// go through the installed SysFileCalls.
struct SysCopy {
  int from;       // the source, -1 once closed
  int to;         // the temporary file, -1 once closed
  uint64_t size;  // bytes the source had when it was opened
  uint64_t done;  // bytes written so far
  char temporary[4096];
};

enum : uint32_t {
  SYS_COPY_MORE = 0,          // more to copy
  SYS_COPY_DONE = 1,          // every byte of the source is in the temporary file
  SYS_COPY_FAILED = 2,        // a write or flush failed; see errno
  SYS_COPY_NO_SPACE = 3,      // the disk (or the user's quota) is full
  SYS_COPY_SOURCE_FAILED = 4, // the source could not be read
};

// Opens `from` (a regular file, without waiting on a FIFO) and creates the
// temporary file in `folder`; false, with nothing made, when either fails.
bool sys_copy_begin(SysCopy* copy, const char* from, const char* folder);
// Copies the next piece of at most `capacity` bytes through `buffer`.
uint32_t sys_copy_step(SysCopy* copy, void* buffer, uint64_t capacity);
// Flushes the whole copy to disk and closes it; SYS_COPY_DONE or a failure.
uint32_t sys_copy_flush(SysCopy* copy);
// Closes what is open and removes the temporary file.
void sys_copy_abort(SysCopy* copy);

enum : uint32_t {
  SYS_MOVE_DONE = 0,
  SYS_MOVE_TAKEN = 1,   // a file of that name exists; nothing moved
  SYS_MOVE_FAILED = 2,
};
// Moves `from` to `to` in the same file system, never over an existing file;
// the folder is flushed after a move.
uint32_t sys_move_new(const char* from, const char* to);
