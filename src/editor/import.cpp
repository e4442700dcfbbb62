// Importing media files: their names in the media folder, the worker thread
// that checks and copies them one after another, and the editor's side that
// queues them, shows the progress and adds what arrived to the library.
//
// Index:
//   [names]    import_file_name, import_candidate
//   [record]   the worker record and who owns each field
//   [thread]   checking a file, copying it, moving it into place
//   [editor]   kelvra_import_path, _button, _chosen, _cancel, _poll, _busy, _destroy
#include "editor/import.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/utf8.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "media/video.h"
#include "media/worker.h"
#include "platform/files.h"
#include "platform/media.h"
#include "platform/ui.h"

// ------------------------------------------------------------------- [names]

namespace {

// The length of the well-formed UTF-8 character at `p` in a NUL-ended
// name, 0 when there is none.
uint32_t utf8_length(const unsigned char* p) {
  return static_cast<uint32_t>(utf8_char_length(p, UINT64_MAX));
}

// Room kept at the end of a name for " (999)".
constexpr size_t kNumberRoom = 6;
// An extension longer than this is part of the stem when a name is cut.
constexpr size_t kLongestExtension = 16;

// The start of the extension (its dot), or the end of the name when it has none.
size_t extension_at(const char* name) {
  const char* dot = std::strrchr(name, '.');
  const size_t length = std::strlen(name);
  if (dot == nullptr || dot == name || length - static_cast<size_t>(dot - name) > kLongestExtension) return length;
  return static_cast<size_t>(dot - name);
}

// The name of the atomic writer's temporaries, which start-up sweeps away.
bool temporary_like(const char* name) {
  if (std::strncmp(name, "zke", 3) != 0 || std::strlen(name) != 9) return false;
  for (int i = 3; i < 9; ++i)
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'z') || (name[i] >= 'A' && name[i] <= 'Z')))
      return false;
  return true;
}

}  // namespace

bool import_file_name(const char* path, char* out) {
  out[0] = '\0';
  if (path == nullptr) return false;
  const char* slash = std::strrchr(path, '/');
  const unsigned char* at = reinterpret_cast<const unsigned char*>(slash != nullptr ? slash + 1 : path);
  char clean[KELVRA_PATH_SIZE];
  size_t length = 0;
  while (*at != 0 && length + 4 < sizeof clean) {
    const uint32_t n = utf8_length(at);
    if (n == 0 || *at < 0x20 || *at == 0x7F || *at == '\\' || *at == ':') {
      clean[length++] = '_';
      at += 1;
      continue;
    }
    std::memcpy(clean + length, at, n);
    length += n;
    at += n;
  }
  clean[length] = '\0';
  if (length == 0) return false;
  if (std::strcmp(clean, ".") == 0 || std::strcmp(clean, "..") == 0 || temporary_like(clean)) {
    std::memmove(clean + 1, clean, length + 1);
    clean[0] = '_';
    ++length;
  }
  // Cut the stem (on a character boundary) so that the name and " (999)" fit.
  const size_t most = KELVRA_NAME_SIZE - 1 - kNumberRoom;
  if (length > most) {
    const size_t extension = extension_at(clean);
    const size_t extension_length = length - extension;
    size_t stem = most - extension_length;
    while (stem > 0 && (static_cast<unsigned char>(clean[stem]) & 0xC0) == 0x80) --stem;
    std::memmove(clean + stem, clean + extension, extension_length + 1);
  }
  std::memcpy(out, clean, std::strlen(clean) + 1);  // at most KELVRA_NAME_SIZE - 1 - kNumberRoom bytes now
  return true;
}

void import_candidate(const char* name, uint32_t attempt, char* out) {
  if (attempt <= 1) {
    std::snprintf(out, KELVRA_NAME_SIZE, "%s", name);
    return;
  }
  const size_t extension = extension_at(name);
  std::snprintf(out, KELVRA_NAME_SIZE, "%.*s (%u)%s", static_cast<int>(extension), name, attempt, name + extension);
}

// ------------------------------------------------------------------ [record]

struct ImportWorker {
  // Its lock guards every field below but the first two and the last.
  WorkerThread thread;
  char folder[KELVRA_PATH_SIZE] = {};  // the media folder; fixed after create
  // --- protected by thread.lock
  char queue[IMPORT_QUEUE][KELVRA_PATH_SIZE] = {};
  uint32_t queue_head = 0;
  uint32_t queue_count = 0;
  // Names a copy never takes: every file the library names, present or not.
  char reserved[PROJECT_MAX_ROWS][KELVRA_NAME_SIZE] = {};
  uint64_t reserved_count = 0;
  ImportResult results[IMPORT_QUEUE] = {};
  uint32_t result_head = 0;
  uint32_t result_count = 0;
  uint8_t busy = 0;    // a file is being checked or copied
  uint8_t cancel = 0;  // the file in progress is given up
  char current[KELVRA_NAME_SIZE] = {};
  uint64_t done = 0;   // bytes of the current copy written
  uint64_t size = 0;   // bytes it has
  // --- UI thread only
  int32_t shown_percent = -1;  // the progress the status line shows
};

namespace {

constexpr uint64_t kPiece = 1u << 20;  // one read and write of a copy

// ------------------------------------------------------------------ [thread]

bool stopping_locked(const ImportWorker* worker) { return worker->cancel || worker->thread.stop_requested; }

bool stopping(ImportWorker* worker) {
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return stopping_locked(worker);
}

// Whether the media layer reads a picture or sound out of `path`; what it found.
bool readable_media(const char* path, ImportResult* result) {
  VideoDecoder decoder{};
  if (video_decode_open(&decoder, path, 1)) {
    result->video = video_decode_frame(&decoder, 0.0);
    result->duration = decoder.duration;
  }
  video_decode_close(&decoder);
  MediaReader* reader = nullptr;
  if (media_reader_open(&reader, path, MEDIA_AUDIO, 1) == MEDIA_OK) {
    uint64_t ticks = 0;
    if (!(result->duration > 0) && media_reader_duration(reader, &ticks))
      result->duration = static_cast<double>(ticks) / MEDIA_TICKS_PER_SECOND;
    for (int reads = 0; reads < 64 && !result->audio; ++reads) {
      MediaSample sample;
      if (media_reader_read(reader, &sample) != MEDIA_OK) break;
      if (sample.have && sample.frames > 0) result->audio = 1;
      if (sample.end_of_stream) break;
    }
    media_reader_close(reader);
  }
  if (!(result->duration > 0) || result->duration > PROJECT_NUMBER_LIMIT) result->duration = 0;
  return result->video || result->audio;
}

// Whether the file is in the media folder itself under a name the library can hold.
bool in_media_folder(const ImportWorker* worker, const char* path, const char* name) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || std::strcmp(slash + 1, name) != 0) return false;
  char folder[KELVRA_PATH_SIZE];
  std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - path), path);
  char here[PATH_MAX];
  char media[PATH_MAX];
  return ::realpath(slash == path ? "/" : folder, here) != nullptr && ::realpath(worker->folder, media) != nullptr &&
         std::strcmp(here, media) == 0;
}

bool reserved_locked(const ImportWorker* worker, const char* name) {
  for (uint64_t i = 0; i < worker->reserved_count; ++i)
    if (std::strcmp(worker->reserved[i], name) == 0) return true;
  return false;
}

// Moves the finished copy to the first free name; IMPORT_DONE with the name in the result.
uint32_t move_into_place(ImportWorker* worker, SysCopy* copy, ImportResult* result) {
  for (uint32_t attempt = 1; attempt <= 999; ++attempt) {
    char candidate[KELVRA_NAME_SIZE];
    import_candidate(result->shown, attempt, candidate);
    {
      std::lock_guard<std::mutex> hold(worker->thread.lock);
      if (reserved_locked(worker, candidate)) continue;
    }
    char target[KELVRA_PATH_SIZE];
    if (!kelvra_path(worker->folder, candidate, target)) continue;
    const uint32_t moved = sys_move_new(copy->temporary, target);
    if (moved == SYS_MOVE_TAKEN) continue;
    if (moved != SYS_MOVE_DONE) {
      result->error = errno;
      return IMPORT_FAILED;
    }
    copy->temporary[0] = '\0';
    std::snprintf(result->name, sizeof result->name, "%s", candidate);
    return IMPORT_DONE;
  }
  result->error = EEXIST;
  return IMPORT_FAILED;
}

// Copies the checked file into the media folder.
uint32_t copy_in(ImportWorker* worker, const char* path, uint8_t* buffer, ImportResult* result) {
  SysCopy copy;
  if (!sys_copy_begin(&copy, path, worker->folder)) {
    result->error = errno;
    return errno == ENOSPC || errno == EDQUOT ? IMPORT_NO_SPACE : IMPORT_FAILED;
  }
  {
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    worker->size = copy.size;
  }
  uint32_t step = SYS_COPY_MORE;
  while (step == SYS_COPY_MORE) {
    if (stopping(worker)) {
      sys_copy_abort(&copy);
      return IMPORT_CANCELLED;
    }
    step = sys_copy_step(&copy, buffer, kPiece);
    result->error = errno;
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    worker->done = copy.done;
  }
  if (step == SYS_COPY_DONE) step = sys_copy_flush(&copy);
  if (step != SYS_COPY_DONE) {
    sys_copy_abort(&copy);
    return step == SYS_COPY_NO_SPACE ? IMPORT_NO_SPACE : step == SYS_COPY_SOURCE_FAILED ? IMPORT_UNREADABLE : IMPORT_FAILED;
  }
  const uint32_t outcome = move_into_place(worker, &copy, result);
  sys_copy_abort(&copy);  // removes the temporary file when it was not moved
  return outcome;
}

// Checks one file and, when it is media the library can use, copies it in.
void import_one(ImportWorker* worker, const char* path, uint8_t* buffer, ImportResult* result) {
  struct stat info;
  if (::stat(path, &info) != 0) {
    result->error = errno;
    result->outcome = IMPORT_UNREADABLE;
  } else if (S_ISDIR(info.st_mode)) {
    result->outcome = IMPORT_FOLDER;
  } else if (!S_ISREG(info.st_mode)) {
    result->outcome = IMPORT_NOT_MEDIA;
  } else if (info.st_size == 0) {
    result->outcome = IMPORT_EMPTY;
  } else if (::access(path, R_OK) != 0) {
    result->error = errno;
    result->outcome = IMPORT_UNREADABLE;
  } else if (!readable_media(path, result)) {
    result->outcome = IMPORT_NOT_MEDIA;
  } else if (stopping(worker)) {
    result->outcome = IMPORT_CANCELLED;
  } else if (in_media_folder(worker, path, result->shown)) {
    std::snprintf(result->name, sizeof result->name, "%s", result->shown);
    result->outcome = IMPORT_DONE;
  } else {
    result->outcome = copy_in(worker, path, buffer, result);
  }
}

void import_thread(void* owner) {
  ImportWorker* worker = static_cast<ImportWorker*>(owner);
  // The copy's buffer, and the path being imported after it.
  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(kPiece + KELVRA_PATH_SIZE));
  char* path = buffer != nullptr ? reinterpret_cast<char*>(buffer + kPiece) : nullptr;
  char lost[KELVRA_PATH_SIZE];
  if (path == nullptr) path = lost;
  for (;;) {
    ImportResult result{};
    {
      std::unique_lock<std::mutex> hold(worker->thread.lock);
      worker->thread.wake_changed.wait(
          hold, [worker] { return worker->thread.stop_requested || worker->queue_count > 0; });
      if (worker->thread.stop_requested) break;
      std::memcpy(path, worker->queue[worker->queue_head], KELVRA_PATH_SIZE);
      worker->queue_head = (worker->queue_head + 1) % IMPORT_QUEUE;
      worker->queue_count -= 1;
      worker->busy = 1;
      worker->cancel = 0;
      worker->done = 0;
      worker->size = 0;
      if (!import_file_name(path, result.shown)) std::snprintf(result.shown, sizeof result.shown, "(no name)");
      std::memcpy(worker->current, result.shown, sizeof worker->current);
    }
    if (buffer == nullptr) {
      result.outcome = IMPORT_FAILED;
      result.error = ENOMEM;
    } else {
      import_one(worker, path, buffer, &result);
    }
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    if (worker->result_count < IMPORT_QUEUE) {
      worker->results[(worker->result_head + worker->result_count) % IMPORT_QUEUE] = result;
      worker->result_count += 1;
    }
    worker->busy = 0;
  }
  std::free(buffer);
}

void free_worker(void* owner) { delete static_cast<ImportWorker*>(owner); }

// ------------------------------------------------------------------ [editor]

ImportWorker* worker_of(KelvraApp* app) {
  if (app->importer != nullptr) return app->importer;
  ImportWorker* worker = new (std::nothrow) ImportWorker();
  if (worker == nullptr) return nullptr;
  std::snprintf(worker->folder, sizeof worker->folder, "%s", app->media_folder);
  if (!worker_start(&worker->thread, import_thread, worker, free_worker)) {
    delete worker;
    return nullptr;
  }
  app->importer = worker;
  return worker;
}

// Copies `text` into `out` of `size` bytes, cut on a character boundary.
void copy_text(char* out, size_t size, const char* text, size_t length) {
  if (length >= size) {
    length = size - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// A status text about the file `name`, cut to what the status line holds.
void say(KelvraApp* app, const char* format, const char* name) {
  char cut[121];
  copy_text(cut, sizeof cut, name, std::strlen(name));
  char text[sizeof app->status];
  std::snprintf(text, sizeof text, format, cut);
  kelvra_status(app, text);
}

// Adds the imported file to the library as one edit.
void join_library(KelvraApp* app, const ImportResult& result) {
  Project& project = app->project;
  for (uint64_t i = 0; i < project.source_count; ++i) {
    if (std::strcmp(project.sources[i].file, result.name) == 0) {
      say(app, "%s is already in the library.", result.name);
      return;
    }
  }
  if (project.source_count >= PROJECT_MAX_ROWS) {
    say(app, "%s was copied into the media folder, but the library is full.", result.name);
    return;
  }
  if (!kelvra_history_begin(app)) return;  // it said why
  Source& source = project.sources[project.source_count];
  source = Source{};
  std::snprintf(source.file, sizeof source.file, "%s", result.name);
  copy_text(source.title, sizeof source.title, result.name, extension_at(result.name));
  // An id of its own: the file's name, numbered when another source has it.
  for (uint32_t n = 1;; ++n) {
    char id[sizeof source.id];
    if (n == 1) {
      copy_text(id, sizeof id, result.name, std::strlen(result.name));
    } else {
      char number[16];
      const int digits = std::snprintf(number, sizeof number, "-%u", n);
      copy_text(id, sizeof id - static_cast<size_t>(digits), result.name, std::strlen(result.name));
      std::strcat(id, number);
    }
    bool taken = false;
    for (uint64_t i = 0; i < project.source_count && !taken; ++i) taken = std::strcmp(project.sources[i].id, id) == 0;
    if (!taken) {
      std::memcpy(source.id, id, sizeof id);
      break;
    }
  }
  source.duration = result.duration;
  source.loops = 1;
  source.video = result.video;
  source.audio = result.audio;
  source.imported = 1;
  project.source_count += 1;
  kelvra_check_sources(app);
  char text[sizeof app->status];
  if (std::strcmp(result.name, result.shown) == 0)
    std::snprintf(text, sizeof text, "Imported %.180s.", result.name);
  else
    std::snprintf(text, sizeof text, "Imported %.80s as %.80s: the name was taken.", result.shown, result.name);
  kelvra_status(app, text);
}

void report(KelvraApp* app, const ImportResult& result) {
  const char* name = result.shown;
  switch (result.outcome) {
    case IMPORT_DONE: join_library(app, result); break;
    case IMPORT_CANCELLED: say(app, "Import cancelled: %s was not added, and nothing of it was left.", name); break;
    case IMPORT_FOLDER: say(app, "%s is a folder: import the files inside it.", name); break;
    case IMPORT_EMPTY: say(app, "%s is empty: it was not imported.", name); break;
    case IMPORT_UNREADABLE: say(app, "%s cannot be read: it was not imported.", name); break;
    case IMPORT_NOT_MEDIA: say(app, "%s is not a video or sound file Kelvra can read: it was not imported.", name); break;
    case IMPORT_NO_SPACE: say(app, "The disk is full: %s was not imported, and nothing of it was left.", name); break;
    default: {
      char text[sizeof app->status];
      std::snprintf(text, sizeof text, "%.90s could not be copied into the media folder (%.50s).", name,
                    std::strerror(result.error));
      kelvra_status(app, text);
      break;
    }
  }
}

}  // namespace

void kelvra_import_path(KelvraApp* app, const char* path) {
  char shown[KELVRA_NAME_SIZE];
  if (!import_file_name(path, shown)) std::snprintf(shown, sizeof shown, "(no name)");
  if (app->media_folder[0] == '\0') {
    kelvra_status(app, "There is no media folder to import into: set ZARNELK_MEDIA to one.");
    return;
  }
  if (std::strlen(path) >= KELVRA_PATH_SIZE) {
    say(app, "The path of %s is too long: it was not imported.", shown);
    return;
  }
  ImportWorker* worker = worker_of(app);
  if (worker == nullptr) {
    kelvra_status(app, "There is not enough memory to import files.");
    return;
  }
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  const uint64_t coming = worker->queue_count + worker->busy + worker->result_count;
  if (app->project.source_count + coming >= PROJECT_MAX_ROWS) {
    say(app, "The library is full: %s was not imported.", shown);
    return;
  }
  if (worker->queue_count + worker->busy + worker->result_count >= IMPORT_QUEUE) {
    say(app, "Too many files wait to be imported: %s was not added to them.", shown);
    return;
  }
  const Project& project = app->project;
  worker->reserved_count = project.source_count;
  for (uint64_t i = 0; i < project.source_count; ++i)
    std::memcpy(worker->reserved[i], project.sources[i].file, KELVRA_NAME_SIZE);
  std::snprintf(worker->queue[(worker->queue_head + worker->queue_count) % IMPORT_QUEUE], KELVRA_PATH_SIZE, "%s", path);
  worker->queue_count += 1;
  worker_wake_locked(&worker->thread);
  app->needs_redraw = 1;
}

void kelvra_import_button(KelvraApp* app) {
  if (kelvra_import_busy(app, nullptr)) {
    kelvra_import_cancel(app);
    return;
  }
  if (app->file_dialog != KELVRA_DIALOG_NONE) return;
  UiDialogAnswer answer{};
  const uint32_t state = ui_files_dialog_begin(app->window, "Import media", &answer);
  if (state == UI_DIALOG_WAITING) {
    // As for Open and Save: the window takes no input but its close until the chooser answers.
    app->file_dialog = KELVRA_DIALOG_IMPORT;
    app->drag_kind = KELVRA_DRAG_NONE;
    app->pending_deselect = 0;
    return;
  }
  if (state == UI_DIALOG_CHOSEN) kelvra_import_chosen(app, &answer);
}

void kelvra_import_chosen(KelvraApp* app, const UiDialogAnswer* answer) {
  if (answer->files == nullptr) {
    if (answer->path[0] != '\0') kelvra_import_path(app, answer->path);
    return;
  }
  const char* path = answer->files;
  for (uint32_t i = 0; i < answer->file_count; ++i) {
    kelvra_import_path(app, path);
    path += std::strlen(path) + 1;
  }
}

void kelvra_import_cancel(KelvraApp* app) {
  ImportWorker* worker = app->importer;
  if (worker == nullptr) return;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  worker->cancel = worker->busy;
  worker->queue_count = 0;
  app->needs_redraw = 1;
}

void kelvra_import_poll(KelvraApp* app) {
  ImportWorker* worker = app->importer;
  if (worker == nullptr) return;
  for (;;) {
    ImportResult result{};
    bool busy;
    char current[KELVRA_NAME_SIZE];
    uint64_t done;
    uint64_t size;
    {
      std::lock_guard<std::mutex> hold(worker->thread.lock);
      busy = worker->busy != 0;
      std::memcpy(current, worker->current, sizeof current);
      done = worker->done;
      size = worker->size;
      if (worker->result_count > 0) {
        result = worker->results[worker->result_head];
        worker->result_head = (worker->result_head + 1) % IMPORT_QUEUE;
        worker->result_count -= 1;
      } else {
        result.outcome = UINT32_MAX;
      }
    }
    if (result.outcome != UINT32_MAX) {
      worker->shown_percent = -1;
      report(app, result);
      continue;
    }
    if (busy && size > 0) {
      const int32_t percent = static_cast<int32_t>(done * 100 / size);
      if (percent != worker->shown_percent) {
        worker->shown_percent = percent;
        char text[sizeof app->status];
        std::snprintf(text, sizeof text, "Importing %.120s: %d%%", current, percent);
        kelvra_status(app, text);
      }
    }
    return;
  }
}

bool kelvra_import_busy(KelvraApp* app, double* fraction) {
  ImportWorker* worker = app->importer;
  if (fraction != nullptr) *fraction = 0;
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (fraction != nullptr && worker->busy && worker->size > 0)
    *fraction = static_cast<double>(worker->done) / static_cast<double>(worker->size);
  return worker->busy || worker->queue_count > 0;
}

void kelvra_import_destroy(KelvraApp* app) {
  ImportWorker* worker = app->importer;
  app->importer = nullptr;
  if (worker == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    worker->cancel = 1;
    worker->queue_count = 0;
  }
  if (worker_stop(&worker->thread, WORKER_STOP_GRACE_MS)) free_worker(worker);
}
