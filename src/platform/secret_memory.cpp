// Secret blocks on anonymous mappings of their own: MADV_DONTDUMP keeps them
// out of core dumps, MADV_WIPEONFORK out of forked children, mlock out of
// swap (best effort: a low RLIMIT_MEMLOCK only loses that part).
#include "platform/secret_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

uint64_t rounded(uint64_t size) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

void* sys_secret_alloc(uint64_t size) {
  if (size == 0) return nullptr;
  const uint64_t length = rounded(size);
  void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
  if (madvise(pages, length, MADV_DONTDUMP) != 0) {
    munmap(pages, length);
    return nullptr;
  }
  madvise(pages, length, MADV_WIPEONFORK);
  mlock(pages, length);
  return pages;
}

void sys_secret_free(void* data, uint64_t size) {
  if (data == nullptr || size == 0) return;
  const uint64_t length = rounded(size);
  explicit_bzero(data, length);
  munlock(data, length);
  munmap(data, length);
}
