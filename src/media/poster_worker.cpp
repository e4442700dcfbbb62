// The poster worker: a table of posters by path, filled by one thread that
// makes the most recently asked poster first, from the cache folder when a
// poster of the same file, size and modification time is there, else by
// decoding (and then writes it there).
//
// Index:
//   [record]   the worker record and who owns each field
//   [cache]    the folder, names, reading and writing posters
//   [thread]   choosing, making and publishing
//   [calls]    create, destroy, get and the queries
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/limits.h"
#include "media/poster.h"
#include "media/worker.h"
#include "platform/files.h"

// ------------------------------------------------------------------ [record]

namespace {

constexpr uint64_t kPosterBytes = static_cast<uint64_t>(POSTER_WIDTH) * POSTER_HEIGHT * 4;

struct PosterEntry {
  char path[KELVRA_PATH_SIZE];
  uint64_t hash;        // of the path, compared before the path
  uint64_t asked;       // the worker's tick when the UI thread last asked
  uint64_t generation;  // grows when the entry is given to another path
  uint8_t* pixels;      // kPosterBytes, made with the entry and kept when it is given away
  uint32_t state;       // POSTER_*
  uint8_t sound;
  uint8_t taken;        // the thread is making it
};

}  // namespace

struct PosterWorker {
  // Its lock guards every field below but the first two.
  WorkerThread thread;
  char cache_folder[KELVRA_PATH_SIZE] = {};  // fixed after create; empty: no cache
  // --- protected by thread.lock
  PosterEntry entries[POSTER_ENTRIES] = {};
  uint32_t used = 0;
  uint64_t tick = 0;
  uint64_t serial = 0;
  uint64_t pending = 0;  // entries PENDING and not taken
  bool cache_failed = false;
  PosterCounts counts = {};
};

// ------------------------------------------------------------------- [cache]

namespace {

constexpr char kMagic[8] = {'K', 'P', 'O', 'S', 'T', 'E', 'R', '1'};

// What a poster in the cache is of: the file's path, size and modification time.
struct PosterKey {
  uint64_t size;
  int64_t seconds;
  int64_t nanoseconds;
};

// The fixed head of a poster file; the path follows it, then the pixels of a ready poster.
struct CacheHead {
  char magic[8];
  uint32_t width;
  uint32_t height;
  uint32_t state;
  uint32_t sound;
  PosterKey key;
  uint32_t path_length;
  uint32_t unused;
};

uint64_t fnv(uint64_t hash, const void* data, uint64_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (uint64_t i = 0; i < length; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  return hash;
}

uint64_t path_hash(const char* path) { return fnv(14695981039346656037ull, path, std::strlen(path)); }

bool key_of(const char* path, PosterKey* key) {
  struct stat info;
  if (::stat(path, &info) != 0) return false;
  *key = PosterKey{static_cast<uint64_t>(info.st_size), static_cast<int64_t>(info.st_mtim.tv_sec),
                   static_cast<int64_t>(info.st_mtim.tv_nsec)};
  return true;
}

bool same_key(const PosterKey& a, const PosterKey& b) {
  return a.size == b.size && a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
}

// The cache file of `path` as it is now: its name is a hash of the key, and
// the file repeats the key, which reading checks.
bool cache_path(const char* folder, const char* path, const PosterKey& key, char* out) {
  uint64_t hash = path_hash(path);
  hash = fnv(hash, &key, sizeof key);
  const int length = std::snprintf(out, KELVRA_PATH_SIZE, "%s/%016llx.poster", folder, static_cast<unsigned long long>(hash));
  return length > 0 && length < static_cast<int>(KELVRA_PATH_SIZE);
}

// Makes the folder and those above it.
bool make_folders(const char* folder) {
  char partial[KELVRA_PATH_SIZE];
  if (std::snprintf(partial, sizeof partial, "%s", folder) >= static_cast<int>(sizeof partial)) return false;
  for (char* slash = std::strchr(partial + 1, '/');; slash = std::strchr(slash + 1, '/')) {
    if (slash != nullptr) *slash = '\0';
    if (::mkdir(partial, 0700) != 0 && errno != EEXIST) return false;
    if (slash == nullptr) break;
    *slash = '/';
  }
  struct stat info;
  return ::stat(folder, &info) == 0 && S_ISDIR(info.st_mode);
}

// Reads the poster of `path` with `key` from `file`; false when there is none,
// or what is there belongs to another file or is damaged.
bool cache_read(const char* file, const char* path, const PosterKey& key, uint8_t* pixels, uint32_t* state, bool* sound) {
  uint64_t size = 0;
  const int fd = sys_open_regular(file, &size);
  if (fd < 0) return false;
  CacheHead head{};
  const uint64_t path_length = std::strlen(path);
  bool ok = size >= sizeof head && sys_read_exactly(fd, &head, sizeof head) &&
            std::memcmp(head.magic, kMagic, sizeof kMagic) == 0 && head.width == POSTER_WIDTH &&
            head.height == POSTER_HEIGHT && same_key(head.key, key) && head.path_length == path_length &&
            (head.state == POSTER_READY || head.state == POSTER_FAILED) &&
            size == sizeof head + path_length + (head.state == POSTER_READY ? kPosterBytes : 0);
  if (ok) {
    char stored[KELVRA_PATH_SIZE];
    ok = path_length < sizeof stored && sys_read_exactly(fd, stored, path_length) &&
         std::memcmp(stored, path, path_length) == 0;
  }
  if (ok && head.state == POSTER_READY) ok = sys_read_exactly(fd, pixels, kPosterBytes);
  ::close(fd);
  if (!ok) return false;
  *state = head.state;
  *sound = head.sound != 0;
  return true;
}

// Writes a poster (or that the file has none) into the cache; false when it could not be written.
bool cache_write(const char* file, const char* path, const PosterKey& key, const uint8_t* pixels, uint32_t state,
                 bool sound, uint8_t* buffer) {
  CacheHead head{};
  std::memcpy(head.magic, kMagic, sizeof kMagic);
  head.width = POSTER_WIDTH;
  head.height = POSTER_HEIGHT;
  head.state = state;
  head.sound = sound ? 1 : 0;
  head.key = key;
  head.path_length = static_cast<uint32_t>(std::strlen(path));
  uint64_t length = 0;
  std::memcpy(buffer, &head, sizeof head);
  length += sizeof head;
  std::memcpy(buffer + length, path, head.path_length);
  length += head.path_length;
  if (state == POSTER_READY) {
    std::memcpy(buffer + length, pixels, kPosterBytes);
    length += kPosterBytes;
  }
  const uint32_t result = sys_file_write_atomic(file, buffer, length);
  return result == SYS_WRITE_DONE || result == SYS_WRITE_NOT_FLUSHED;
}

// ------------------------------------------------------------------ [thread]

// The thread's own buffers and cache state.
struct PosterJob {
  PosterWorker* worker;
  uint8_t* pixels;     // the poster being made
  uint8_t* file;       // a cache file being written
  bool folder_ready;   // the cache folder exists
  bool writes_failed;  // a write failed: no more are tried
  char path[KELVRA_PATH_SIZE];
  char cache_file[KELVRA_PATH_SIZE];
};

// The pending entry asked for most recently, taken for the thread; false when there is none.
bool take_locked(PosterWorker* worker, uint32_t* index, uint64_t* generation, char* path) {
  uint32_t best = POSTER_ENTRIES;
  for (uint32_t i = 0; i < worker->used; ++i) {
    const PosterEntry& entry = worker->entries[i];
    if (entry.state != POSTER_PENDING || entry.taken) continue;
    if (best == POSTER_ENTRIES || entry.asked > worker->entries[best].asked) best = i;
  }
  if (best == POSTER_ENTRIES) return false;
  PosterEntry& entry = worker->entries[best];
  entry.taken = 1;
  worker->pending -= 1;
  *index = best;
  *generation = entry.generation;
  std::memcpy(path, entry.path, KELVRA_PATH_SIZE);
  return true;
}

// Makes the poster of job->path into job->pixels, through the cache.
uint32_t make(PosterJob* job, bool* sound, bool* loaded, bool* written, bool* cache_failed) {
  *loaded = false;
  *written = false;
  PosterKey key{};
  if (!key_of(job->path, &key)) return POSTER_MISSING;
  const char* folder = job->worker->cache_folder;
  const bool cached = folder[0] != '\0' && cache_path(folder, job->path, key, job->cache_file);
  uint32_t state = POSTER_PENDING;
  if (cached && cache_read(job->cache_file, job->path, key, job->pixels, &state, sound)) {
    *loaded = true;
    return state;
  }
  state = poster_make(job->path, job->pixels, sound);
  // A file that went while it was decoded has no poster; one that changed
  // keeps the poster, which is not cached under the old key.
  PosterKey after{};
  if (!key_of(job->path, &after)) return POSTER_MISSING;
  if (!cached || state == POSTER_MISSING || !same_key(key, after) || job->writes_failed) return state;
  if (!job->folder_ready) job->folder_ready = make_folders(folder);
  if (job->folder_ready && cache_write(job->cache_file, job->path, key, job->pixels, state, *sound, job->file)) {
    *written = true;
  } else {
    job->writes_failed = true;
    *cache_failed = true;
  }
  return state;
}

void poster_thread(void* owner) {
  PosterJob job{};
  job.worker = static_cast<PosterWorker*>(owner);
  PosterWorker* worker = job.worker;
  job.pixels = static_cast<uint8_t*>(std::malloc(kPosterBytes));
  job.file = static_cast<uint8_t*>(std::malloc(sizeof(CacheHead) + KELVRA_PATH_SIZE + kPosterBytes));
  if (job.pixels == nullptr || job.file == nullptr) {
    std::free(job.pixels);
    std::free(job.file);
    return;
  }
  for (;;) {
    uint32_t index = 0;
    uint64_t generation = 0;
    {
      std::unique_lock<std::mutex> hold(worker->thread.lock);
      worker->thread.wake_changed.wait(hold, [worker] { return worker->thread.stop_requested || worker->pending > 0; });
      if (worker->thread.stop_requested) break;
      if (!take_locked(worker, &index, &generation, job.path)) {
        worker->pending = 0;
        continue;
      }
    }
    bool sound = false;
    bool loaded = false;
    bool written = false;
    bool cache_failed = false;
    const uint32_t state = make(&job, &sound, &loaded, &written, &cache_failed);
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    PosterCounts& counts = worker->counts;
    counts.loaded += loaded ? 1 : 0;
    counts.decoded += (loaded || state == POSTER_MISSING) ? 0 : 1;
    counts.cached += written ? 1 : 0;
    if (cache_failed) worker->cache_failed = true;
    PosterEntry& entry = worker->entries[index];
    if (entry.generation != generation) continue;  // given to another path meanwhile
    entry.taken = 0;
    entry.state = state;
    entry.sound = sound ? 1 : 0;
    if (state == POSTER_READY) std::memcpy(entry.pixels, job.pixels, kPosterBytes);
    worker->serial += 1;
  }
  std::free(job.pixels);
  std::free(job.file);
}

void free_worker(void* owner) {
  PosterWorker* worker = static_cast<PosterWorker*>(owner);
  for (PosterEntry& entry : worker->entries) std::free(entry.pixels);
  delete worker;
}

}  // namespace

// ------------------------------------------------------------------- [calls]

bool kelvra_poster_folder(char* out, uint64_t size) {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  int length;
  if (cache != nullptr && cache[0] == '/') {
    length = std::snprintf(out, size, "%s/zarnel-kelvra/posters", cache);
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return false;
    length = std::snprintf(out, size, "%s/.cache/zarnel-kelvra/posters", home);
  }
  return length > 0 && static_cast<uint64_t>(length) < size && static_cast<uint64_t>(length) < KELVRA_PATH_SIZE;
}

PosterWorker* kelvra_poster_create(const char* cache_folder) {
  PosterWorker* worker = new (std::nothrow) PosterWorker();
  if (worker == nullptr) return nullptr;
  if (cache_folder != nullptr && std::strlen(cache_folder) < sizeof worker->cache_folder - 32)
    std::snprintf(worker->cache_folder, sizeof worker->cache_folder, "%s", cache_folder);
  if (!worker_start(&worker->thread, poster_thread, worker, free_worker)) {
    delete worker;
    return nullptr;
  }
  return worker;
}

void kelvra_poster_destroy(PosterWorker* worker) {
  if (worker != nullptr && worker_stop(&worker->thread, WORKER_STOP_GRACE_MS)) free_worker(worker);
}

uint32_t kelvra_poster_get(PosterWorker* worker, const char* path, const uint8_t** pixels, bool* sound) {
  if (worker == nullptr || path == nullptr || path[0] == '\0' || std::strlen(path) >= KELVRA_PATH_SIZE)
    return POSTER_FAILED;
  const uint64_t hash = path_hash(path);
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  PosterEntry* entry = nullptr;
  for (uint32_t i = 0; i < worker->used && entry == nullptr; ++i) {
    PosterEntry& candidate = worker->entries[i];
    if (candidate.hash == hash && std::strcmp(candidate.path, path) == 0) entry = &candidate;
  }
  if (entry == nullptr) {
    // A new entry, or the one asked for least recently given to this path.
    if (worker->used < POSTER_ENTRIES) {
      entry = &worker->entries[worker->used++];
    } else {
      entry = &worker->entries[0];
      for (PosterEntry& candidate : worker->entries)
        if (candidate.asked < entry->asked) entry = &candidate;
    }
    if (entry->pixels == nullptr) entry->pixels = static_cast<uint8_t*>(std::malloc(kPosterBytes));
    if (entry->state != POSTER_PENDING || entry->taken || entry->generation == 0) worker->pending += 1;
    std::snprintf(entry->path, sizeof entry->path, "%s", path);
    entry->hash = hash;
    entry->generation += 1;
    entry->taken = 0;
    entry->sound = 0;
    entry->state = entry->pixels != nullptr ? POSTER_PENDING : POSTER_FAILED;
    if (entry->pixels == nullptr) worker->pending -= 1;
    worker_wake_locked(&worker->thread);
  }
  entry->asked = ++worker->tick;
  if (sound != nullptr) *sound = entry->sound != 0;
  if (pixels != nullptr) *pixels = entry->state == POSTER_READY ? entry->pixels : nullptr;
  return entry->state;
}

uint64_t kelvra_poster_serial(PosterWorker* worker) {
  if (worker == nullptr) return 0;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return worker->serial;
}

bool kelvra_poster_cache_failed(PosterWorker* worker) {
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return worker->cache_failed;
}

PosterCounts kelvra_poster_counts(PosterWorker* worker) {
  if (worker == nullptr) return PosterCounts{};
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  PosterCounts counts = worker->counts;
  counts.pending = worker->pending;
  for (uint32_t i = 0; i < worker->used; ++i) counts.pending += worker->entries[i].taken;
  return counts;
}
