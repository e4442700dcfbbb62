// Atomic file replacement on POSIX: mkstemp in the target's folder ("zke"
// prefix), write everything, fsync, close, rename, fsync of the folder.
// A failed fsync means the save failed; it is never retried before a rename.
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kPathSize = 260;
// One write call moves at most this much; larger data is written in pieces.
constexpr size_t kChunk = 1u << 30;

const SysFileCalls kRealCalls = {::write, ::fsync, ::close, ::rename};
const SysFileCalls* g_calls = &kRealCalls;

}  // namespace

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

void sys_file_set_calls(const SysFileCalls* calls) { g_calls = calls != nullptr ? calls : &kRealCalls; }

const SysFileCalls* sys_file_real_calls() { return &kRealCalls; }

bool sys_file_write_atomic(const char* path, const void* data, uint64_t length) {
  if (path == nullptr || (data == nullptr && length != 0)) return false;
  char target[kPathSize];
  if (!sys_full_path(path, target)) return false;
  char folder[kPathSize];
  std::snprintf(folder, sizeof folder, "%s", target);
  char* slash = std::strrchr(folder, '/');
  if (slash == folder) slash[1] = '\0'; else *slash = '\0';

  char temporary[kPathSize + 16];
  int length_needed = std::snprintf(temporary, sizeof temporary, "%s/zkeXXXXXX", slash == folder ? "" : folder);
  if (length_needed < 0 || static_cast<size_t>(length_needed) >= sizeof temporary) return false;
  int fd = ::mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return false;

  bool ok = ::fchmod(fd, target_mode(target)) == 0 && write_all(fd, static_cast<const unsigned char*>(data), length);
  ok = ok && g_calls->fsync(fd) == 0;
  ok = g_calls->close(fd) == 0 && ok;
  ok = ok && g_calls->rename(temporary, target) == 0;
  if (!ok) {
    ::unlink(temporary);
    return false;
  }
  return sync_folder(folder);
}
