// Crash recovery: the recovery folder and its file names, the writer thread,
// the per-frame hand-over of copies, removing copies, and the start-up offer.
//
// Index:
//   [names]   kelvra_recovery_folder, kelvra_recovery_path
//   [writer]  kelvra_recovery_create, kelvra_recovery_destroy, the thread
//   [copies]  kelvra_recovery_poll, kelvra_recovery_write_now, kelvra_recovery_discard
//   [offer]   kelvra_recovery_offer
#include "editor/recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/file_commands.h"
#include "editor/history.h"
#include "editor/piano_roll.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "project/text_buffer.h"

// Three buffers change hands and keep their memory: the UI thread builds into
// `building`, swaps it with `waiting`, and the writer swaps `waiting` with
// `writing`.
struct RecoveryWriter {
  // --- fixed after create
  std::thread thread;
  std::mutex lock;
  std::condition_variable changed;

  // --- UI thread only
  TextBuffer building;
  uint64_t interval_ms;
  uint64_t copied_serial;  // the edit the last copy handed over holds
  uint64_t copied_ms;      // when it was handed over; 0 for never
  bool failure_shown;      // the status line told of the failure now standing

  // --- under `lock`
  TextBuffer waiting;
  char waiting_path[KELVRA_PATH_SIZE];
  bool has_waiting;
  bool busy;    // the writer is between taking a text and finishing its file
  bool stop;
  bool failed;  // the last copy could not be written

  // --- writer thread only
  TextBuffer writing;
};

// ------------------------------------------------------------------- [names]

namespace {

constexpr char kFolderName[] = "zarnel-kelvra";
constexpr size_t kLongestName = 180;  // escaped path bytes kept in a file name before the hash

uint64_t fnv1a(const char* text) {
  uint64_t hash = 1469598103934665603ull;
  for (const char* c = text; *c != '\0'; ++c) hash = (hash ^ static_cast<uint8_t>(*c)) * 1099511628211ull;
  return hash;
}

// The path with "%" and "/" written as %25 and %2F; a path too long for a file
// name keeps its start and gets a hash of the whole.
void escaped_name(const char* path, char* out, size_t size) {
  size_t length = 0;
  bool cut = false;
  for (const char* c = path; *c != '\0'; ++c) {
    const char* piece = *c == '/' ? "%2F" : *c == '%' ? "%25" : nullptr;
    const size_t piece_length = piece != nullptr ? 3 : 1;
    if (length + piece_length > kLongestName) {
      cut = true;
      break;
    }
    if (piece != nullptr)
      std::memcpy(out + length, piece, 3);
    else
      out[length] = *c;
    length += piece_length;
  }
  out[length] = '\0';
  if (cut) std::snprintf(out + length, size - length, "~%016llx", static_cast<unsigned long long>(fnv1a(path)));
}

bool make_folder(const char* folder) {
  char partial[KELVRA_PATH_SIZE];
  std::snprintf(partial, sizeof partial, "%s", folder);
  for (char* slash = std::strchr(partial + 1, '/');; slash = std::strchr(slash + 1, '/')) {
    if (slash != nullptr) *slash = '\0';
    if (::mkdir(partial, 0700) != 0 && errno != EEXIST) return false;
    if (slash == nullptr) return true;
    *slash = '/';
  }
}

}  // namespace

bool kelvra_recovery_folder(char* out) {
  const char* state = std::getenv("XDG_STATE_HOME");
  int length;
  if (state != nullptr && state[0] == '/') {
    length = std::snprintf(out, KELVRA_PATH_SIZE, "%s/%s", state, kFolderName);
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return false;
    length = std::snprintf(out, KELVRA_PATH_SIZE, "%s/.local/state/%s", home, kFolderName);
  }
  return length > 0 && length < static_cast<int>(KELVRA_PATH_SIZE);
}

bool kelvra_recovery_path(const char* project_path, const char* suffix, char* out) {
  char folder[KELVRA_PATH_SIZE];
  if (!kelvra_recovery_folder(folder)) return false;
  char name[kLongestName + 24];
  if (project_path == nullptr || project_path[0] == '\0')
    std::snprintf(name, sizeof name, "untitled");
  else
    escaped_name(project_path, name, sizeof name);
  const int length = std::snprintf(out, KELVRA_PATH_SIZE, "%s/%s%s.pjn", folder, name, suffix);
  return length > 0 && length < static_cast<int>(KELVRA_PATH_SIZE);
}

// ------------------------------------------------------------------ [writer]

namespace {

void write_copies(RecoveryWriter* writer) {
  char path[KELVRA_PATH_SIZE];
  std::unique_lock<std::mutex> held(writer->lock);
  for (;;) {
    writer->changed.wait(held, [writer] { return writer->stop || writer->has_waiting; });
    if (!writer->has_waiting) return;  // stopping with nothing left to write
    std::swap(writer->waiting, writer->writing);
    std::memcpy(path, writer->waiting_path, sizeof path);
    writer->has_waiting = false;
    writer->busy = true;
    held.unlock();
    char folder[KELVRA_PATH_SIZE];
    const uint32_t result = kelvra_recovery_folder(folder) && make_folder(folder)
                                ? kelvra_project_write_text(&writer->writing, path)
                                : PROJECT_SAVE_FAILED;
    held.lock();
    writer->failed = result != PROJECT_SAVED && result != PROJECT_SAVED_NOT_FLUSHED;
    writer->busy = false;
    writer->changed.notify_all();
  }
}

uint64_t interval_from_environment() {
  const char* text = std::getenv("ZARNELK_RECOVERY_SECONDS");
  if (text == nullptr || text[0] == '\0') return RECOVERY_INTERVAL_MS;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (*end != '\0' || !(seconds >= 0 && seconds <= 86400)) return RECOVERY_INTERVAL_MS;
  return static_cast<uint64_t>(seconds * 1000);
}

}  // namespace

RecoveryWriter* kelvra_recovery_create() {
  auto* writer = new (std::nothrow) RecoveryWriter();
  if (writer == nullptr) return nullptr;
  writer->interval_ms = interval_from_environment();
  try {
    writer->thread = std::thread(write_copies, writer);
  } catch (...) {
    delete writer;
    return nullptr;
  }
  return writer;
}

void kelvra_recovery_destroy(RecoveryWriter* writer) {
  if (writer == nullptr) return;
  {
    std::lock_guard<std::mutex> held(writer->lock);
    writer->stop = true;
  }
  writer->changed.notify_all();
  writer->thread.join();
  text_buffer_free(&writer->building);
  text_buffer_free(&writer->waiting);
  text_buffer_free(&writer->writing);
  delete writer;
}

// ------------------------------------------------------------------ [copies]

namespace {

// Hands the project's current text to the writer as the next copy, to be
// written to `path`; false when the text could not be built.
bool hand_over(KelvraApp* app, RecoveryWriter* writer, const char* path) {
  writer->copied_serial = app->edit_serial;
  writer->copied_ms = ui_time_ms();
  if (!project_rebuild_text(&app->project, app->layout_mode, &writer->building)) return false;
  {
    std::lock_guard<std::mutex> held(writer->lock);
    // Told once for a run of failed copies; a copy that succeeds ends the run.
    if (writer->failed && !writer->failure_shown)
      kelvra_status(app, "The recovery copy of the unsaved edits could not be written.");
    writer->failure_shown = writer->failed;
    std::swap(writer->building, writer->waiting);
    std::memcpy(writer->waiting_path, path, KELVRA_PATH_SIZE);
    writer->has_waiting = true;
  }
  writer->changed.notify_all();
  return true;
}

}  // namespace

void kelvra_recovery_poll(KelvraApp* app) {
  RecoveryWriter* writer = app->recovery;
  if (writer == nullptr || !app->dirty || app->edit_serial == writer->copied_serial) return;
  if (writer->copied_ms != 0 && ui_time_ms() - writer->copied_ms < writer->interval_ms) return;
  char path[KELVRA_PATH_SIZE];
  if (kelvra_recovery_path(app->project_path, "", path)) hand_over(app, writer, path);
}

bool kelvra_recovery_write_now(KelvraApp* app) {
  if (!app->dirty) return true;
  char path[KELVRA_PATH_SIZE];
  if (!kelvra_recovery_path(app->project_path, "", path)) return false;
  RecoveryWriter* writer = app->recovery;
  if (writer == nullptr) {
    // No writer thread: the copy is written here, the same way.
    TextBuffer text{};
    char folder[KELVRA_PATH_SIZE];
    bool written = project_build_text(&app->project, app->layout_mode, &text) && kelvra_recovery_folder(folder) &&
                   make_folder(folder);
    if (written) {
      const uint32_t result = kelvra_project_write_text(&text, path);
      written = result == PROJECT_SAVED || result == PROJECT_SAVED_NOT_FLUSHED;
    }
    text_buffer_free(&text);
    return written;
  }
  bool current;
  {
    std::lock_guard<std::mutex> held(writer->lock);
    current = app->edit_serial == writer->copied_serial && !writer->failed;
  }
  if (!current && !hand_over(app, writer, path)) return false;
  std::unique_lock<std::mutex> held(writer->lock);
  writer->changed.wait(held, [writer] { return !writer->has_waiting && !writer->busy; });
  return !writer->failed;
}

void kelvra_recovery_discard(KelvraApp* app, const char* project_path) {
  RecoveryWriter* writer = app->recovery;
  if (project_path == nullptr) project_path = app->project_path;
  std::unique_lock<std::mutex> held;
  if (writer != nullptr) {
    held = std::unique_lock<std::mutex>(writer->lock);
    writer->has_waiting = false;
    writer->changed.wait(held, [writer] { return !writer->busy; });
    writer->copied_serial = app->edit_serial;
  }
  for (const char* suffix : {"", ".declined"}) {
    char copy[KELVRA_PATH_SIZE];
    if (kelvra_recovery_path(project_path, suffix, copy)) ::unlink(copy);
  }
}

// ------------------------------------------------------------------- [offer]

namespace {

bool newer(const struct stat& a, const struct stat& b) {
  if (a.st_mtim.tv_sec != b.st_mtim.tv_sec) return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
  return a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Takes `candidate` (opened from a copy) as the open project with its edits unsaved.
void restore(KelvraApp* app, Project* candidate) {
  kelvra_project_close(&app->project);
  std::memcpy(&app->project, candidate, sizeof(Project));
  kelvra_history_clear(app);
  app->layout_mode = app->project.layout;
  app->project_serial += 1;
  app->previewed_canvases = 0;
  app->selected_source = -1;
  app->selected_clip = -1;
  app->history.next_serial += 1;
  app->edit_serial = app->history.next_serial;
  app->saved_serial = 0;
  app->dirty = 1;
  if (app->recovery != nullptr) app->recovery->copied_serial = app->edit_serial;  // the copy holds this state
  audio_editor_reset(app);
  kelvra_check_sources(app);
  kelvra_select(app, 0);
  if (app->project_path[0] != '\0') kelvra_project_title(app, app->project_path);
}

}  // namespace

void kelvra_recovery_offer(KelvraApp* app) {
  char copy[KELVRA_PATH_SIZE];
  if (!kelvra_recovery_path(app->project_path, "", copy)) return;
  struct stat copy_info{};
  if (::stat(copy, &copy_info) != 0 || !S_ISREG(copy_info.st_mode)) return;
  struct stat project_info{};
  if (app->project_path[0] != '\0' && ::stat(app->project_path, &project_info) == 0 && !newer(copy_info, project_info))
    return;
  const char* name = app->project_path[0] != '\0' ? base_name(app->project_path) : "an untitled project";
  auto* candidate = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  if (candidate == nullptr) return;
  char message[KELVRA_PATH_SIZE + 200];
  if (!kelvra_project_open(candidate, copy)) {
    std::free(candidate);
    char aside[KELVRA_PATH_SIZE];
    const bool moved = kelvra_recovery_path(app->project_path, ".corrupt", aside) && ::rename(copy, aside) == 0;
    std::snprintf(message, 200, "The recovery copy of %.80s could not be read%s", name,
                  moved ? "; it was set aside." : " and was left in place.");
    kelvra_status(app, message);
    return;
  }
  char when[32] = "";
  struct tm local{};
  const time_t seconds = copy_info.st_mtim.tv_sec;
  if (localtime_r(&seconds, &local) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(message, sizeof message,
                "Kelvra found edits of %s from %s that were not saved. Restore them?\n\n"
                "Declining keeps them aside until the project is saved.",
                name, when);
  const bool restore_them = ui_confirm("Restore unsaved edits", message);
  if (sys_termination_signal() != 0) {
    // The question was cut short by a termination request: nothing was answered, the copy stays.
    kelvra_project_close(candidate);
    std::free(candidate);
    return;
  }
  if (restore_them) {
    restore(app, candidate);
    std::free(candidate);
    std::snprintf(message, 200, "Restored the unsaved edits from %s.", when);
    kelvra_status(app, message);
    return;
  }
  kelvra_project_close(candidate);
  std::free(candidate);
  char declined[KELVRA_PATH_SIZE];
  if (kelvra_recovery_path(app->project_path, ".declined", declined)) ::rename(copy, declined);
}
