// Atomic file replacement on POSIX: mkstemp in the target's folder ("zke"
// prefix), write everything, fsync, close, rename, fsync of the folder.
// A failed fsync means the save failed; it is never retried before a rename.
// Also the non-blocking open of regular files and the stale-temporary sweep.
//
// Index:
//   [paths]    sys_full_path, following symbolic links to the file they name
//   [read]     sys_open_regular, sys_read_exactly
//   [sweep]    sys_remove_stale_temporaries, sys_remove_stale_files
//   [write]    sys_file_write_atomic
//   [copy]     sys_copy_begin, _step, _flush, _abort, sys_move_new
#include "platform/files.h"

#include "base/limits.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kPathSize = KELVRA_PATH_SIZE;
// One write call moves at most this much; larger data is written in pieces.
constexpr size_t kChunk = 1u << 30;

const SysFileCalls kRealCalls = {::write, ::fsync, ::close, ::rename};
const SysFileCalls* g_calls = &kRealCalls;

}  // namespace

// ------------------------------------------------------------------- [paths]

bool sys_file_readable(const char* path) {
  struct stat info;
  return path != nullptr && ::stat(path, &info) == 0 && S_ISREG(info.st_mode) && ::access(path, R_OK) == 0;
}

uint32_t sys_folder_state(const char* path) {
  struct stat info;
  if (path == nullptr) return SYS_FOLDER_MISSING;
  if (::stat(path, &info) != 0) return errno == EACCES ? SYS_FOLDER_CLOSED : SYS_FOLDER_MISSING;
  if (!S_ISDIR(info.st_mode)) return SYS_FOLDER_NOT_A_FOLDER;
  return ::access(path, R_OK | X_OK) == 0 ? SYS_FOLDER_OPEN : SYS_FOLDER_CLOSED;
}

bool sys_full_path(const char* path, char* out) {
  if (path == nullptr || path[0] == '\0') return false;
  int length;
  if (path[0] == '/') {
    length = std::snprintf(out, kPathSize, "%s", path);
  } else {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
    length = std::snprintf(out, kPathSize, "%s/%s", cwd, path);
  }
  return length >= 1 && length <= static_cast<int>(kPathSize) - 1 && out[length - 1] != '/';
}

namespace {

constexpr int kMaxLinks = 40;  // as many links as the kernel follows in one lookup

// The folder part of `path` (an absolute path): "/" for a file at the root.
void folder_of(const char* path, char* folder, size_t size) {
  std::snprintf(folder, size, "%s", path);
  char* slash = std::strrchr(folder, '/');
  if (slash == folder)
    slash[1] = '\0';
  else
    *slash = '\0';
}

// Follows `target` (an absolute path) through symbolic links to the path of
// the file they name, which may not exist yet. False for a loop of links or a
// path that grows too long.
bool follow_links(char* target, size_t size) {
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat info;
    if (::lstat(target, &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    char named[PATH_MAX];
    const ssize_t length = ::readlink(target, named, sizeof named - 1);
    if (length <= 0) return false;
    named[length] = '\0';
    char next[PATH_MAX];
    int written;
    if (named[0] == '/') {
      written = std::snprintf(next, sizeof next, "%s", named);
    } else {
      char folder[PATH_MAX];
      folder_of(target, folder, sizeof folder);
      written = std::snprintf(next, sizeof next, "%s/%s", std::strcmp(folder, "/") == 0 ? "" : folder, named);
    }
    if (written < 0 || static_cast<size_t>(written) >= size || next[written - 1] == '/') return false;
    std::memcpy(target, next, static_cast<size_t>(written) + 1);
  }
  return false;
}

// Permissions a new file gets: what the target has now, else 0666 less the umask.
mode_t target_mode(const char* path) {
  struct stat info;
  if (::stat(path, &info) == 0) return info.st_mode & 07777;
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool write_all(int fd, const unsigned char* data, uint64_t length) {
  while (length > 0) {
    size_t piece = length < kChunk ? static_cast<size_t>(length) : kChunk;
    ssize_t written = g_calls->write(fd, data, piece);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<uint64_t>(written);
  }
  return true;
}

bool sync_folder(const char* folder) {
  int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result = g_calls->fsync(fd);
  // File systems that cannot flush a folder say so with EINVAL; the rename stands.
  bool ok = result == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

}  // namespace

// -------------------------------------------------------------------- [read]

int sys_open_regular(const char* path, uint64_t* size) {
  if (path == nullptr) return -1;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
    ::close(fd);
    return -1;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

bool sys_read_exactly(int fd, void* data, uint64_t length) {
  unsigned char* at = static_cast<unsigned char*>(data);
  while (length > 0) {
    const size_t piece = length < kChunk ? static_cast<size_t>(length) : kChunk;
    const ssize_t got = ::read(fd, at, piece);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

// ------------------------------------------------------------------- [sweep]

namespace {

// "zke" and the six characters mkstemp puts in place of XXXXXX.
bool temporary_name(const char* name) {
  if (std::strncmp(name, "zke", 3) != 0 || std::strlen(name) != 9) return false;
  for (int i = 3; i < 9; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

}  // namespace

uint32_t sys_remove_stale_temporaries(const char* folder, uint64_t max_age_seconds) {
  return sys_remove_stale_files(folder, max_age_seconds, temporary_name);
}

uint32_t sys_remove_stale_files(const char* folder, uint64_t max_age_seconds, bool (*ours)(const char* name)) {
  if (folder == nullptr) return 0;
  DIR* listing = ::opendir(folder);
  if (listing == nullptr) return 0;
  const time_t now = std::time(nullptr);
  uint32_t removed = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (!ours(entry->d_name)) continue;
    struct stat info;
    if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
    if (info.st_mtime > now || static_cast<uint64_t>(now - info.st_mtime) <= max_age_seconds) continue;
    if (::unlinkat(::dirfd(listing), entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(listing);
  return removed;
}

// ------------------------------------------------------------------- [write]

void sys_file_set_calls(const SysFileCalls* calls) { g_calls = calls != nullptr ? calls : &kRealCalls; }

const SysFileCalls* sys_file_real_calls() { return &kRealCalls; }

namespace {

// A file the user may not change: without the owner's write permission when
// it is ours, else not writable for us.
bool read_only(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) return false;
  if (info.st_uid == ::geteuid()) return (info.st_mode & S_IWUSR) == 0;
  return ::access(path, W_OK) != 0 && errno == EACCES;
}

}  // namespace

uint32_t sys_file_write_atomic(const char* path, const void* data, uint64_t length) {
  if (path == nullptr || (data == nullptr && length != 0)) return SYS_WRITE_FAILED;
  char target[PATH_MAX];
  if (!sys_full_path(path, target) || !follow_links(target, sizeof target)) return SYS_WRITE_FAILED;
  if (read_only(target)) return SYS_WRITE_READ_ONLY;
  char folder[PATH_MAX];
  folder_of(target, folder, sizeof folder);
  sys_remove_stale_temporaries(folder, SYS_STALE_TEMPORARY_SECONDS);

  char temporary[PATH_MAX];
  const int length_needed =
      std::snprintf(temporary, sizeof temporary, "%s/zkeXXXXXX", std::strcmp(folder, "/") == 0 ? "" : folder);
  if (length_needed < 0 || static_cast<size_t>(length_needed) >= sizeof temporary) return SYS_WRITE_FAILED;
  int fd = ::mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return SYS_WRITE_FAILED;

  bool ok = ::fchmod(fd, target_mode(target)) == 0 && write_all(fd, static_cast<const unsigned char*>(data), length);
  ok = ok && g_calls->fsync(fd) == 0;
  ok = g_calls->close(fd) == 0 && ok;
  ok = ok && g_calls->rename(temporary, target) == 0;
  if (!ok) {
    ::unlink(temporary);
    return SYS_WRITE_FAILED;
  }
  return sync_folder(folder) ? SYS_WRITE_DONE : SYS_WRITE_NOT_FLUSHED;
}

// -------------------------------------------------------------------- [copy]

namespace {

uint32_t copy_failure(int error) { return error == ENOSPC || error == EDQUOT ? SYS_COPY_NO_SPACE : SYS_COPY_FAILED; }

}  // namespace

bool sys_copy_begin(SysCopy* copy, const char* from, const char* folder) {
  *copy = SysCopy{};
  copy->from = -1;
  copy->to = -1;
  if (from == nullptr || folder == nullptr) return false;
  const int length = std::snprintf(copy->temporary, sizeof copy->temporary, "%s/zkeXXXXXX",
                                   std::strcmp(folder, "/") == 0 ? "" : folder);
  if (length < 0 || static_cast<size_t>(length) >= sizeof copy->temporary) return false;
  copy->from = sys_open_regular(from, &copy->size);
  if (copy->from < 0) return false;
  // The source was opened without waiting; it is read with waiting.
  const int flags = ::fcntl(copy->from, F_GETFL);
  if (flags != -1) ::fcntl(copy->from, F_SETFL, flags & ~O_NONBLOCK);
  copy->to = ::mkostemp(copy->temporary, O_CLOEXEC);
  if (copy->to < 0) {
    const int error = errno;
    ::close(copy->from);
    copy->from = -1;
    copy->temporary[0] = '\0';
    errno = error;
    return false;
  }
  // mkostemp makes the file private; a media file is for everyone to read.
  // (The umask cannot be read safely off the main thread, so it is not asked.)
  ::fchmod(copy->to, 0644);
  return true;
}

uint32_t sys_copy_step(SysCopy* copy, void* buffer, uint64_t capacity) {
  if (copy->from < 0 || copy->to < 0 || buffer == nullptr || capacity == 0) return SYS_COPY_FAILED;
  ssize_t got;
  do {
    got = ::read(copy->from, buffer, capacity < kChunk ? static_cast<size_t>(capacity) : kChunk);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return SYS_COPY_SOURCE_FAILED;
  if (got == 0) return SYS_COPY_DONE;
  if (!write_all(copy->to, static_cast<const unsigned char*>(buffer), static_cast<uint64_t>(got)))
    return copy_failure(errno);
  copy->done += static_cast<uint64_t>(got);
  return SYS_COPY_MORE;
}

uint32_t sys_copy_flush(SysCopy* copy) {
  if (copy->to < 0) return SYS_COPY_FAILED;
  uint32_t result = SYS_COPY_DONE;
  if (g_calls->fsync(copy->to) != 0) result = copy_failure(errno);
  if (g_calls->close(copy->to) != 0 && result == SYS_COPY_DONE) result = copy_failure(errno);
  copy->to = -1;
  if (copy->from >= 0) ::close(copy->from);
  copy->from = -1;
  return result;
}

void sys_copy_abort(SysCopy* copy) {
  if (copy->from >= 0) ::close(copy->from);
  if (copy->to >= 0) ::close(copy->to);
  copy->from = -1;
  copy->to = -1;
  if (copy->temporary[0] != '\0') ::unlink(copy->temporary);
  copy->temporary[0] = '\0';
}

uint32_t sys_move_new(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return SYS_MOVE_FAILED;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return SYS_MOVE_TAKEN;
    if (errno != EINVAL && errno != ENOSYS) return SYS_MOVE_FAILED;
    // A file system without the no-replace rename: a hard link fails on an
    // existing name just the same.
    if (::link(from, to) != 0) return errno == EEXIST ? SYS_MOVE_TAKEN : SYS_MOVE_FAILED;
    ::unlink(from);
  }
  char target[PATH_MAX];
  if (sys_full_path(to, target)) {
    char folder[PATH_MAX];
    folder_of(target, folder, sizeof folder);
    sync_folder(folder);
  }
  return SYS_MOVE_DONE;
}
