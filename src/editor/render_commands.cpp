// The editor's side of exports: queuing batches of the open project from the
// Timeline and Render tabs, polling the queue once a frame and adding what it
// finished to the library, the library of earlier renders, and the actions on
// a finished row. The queue itself (export/) knows nothing of the editor.
//
// Index:
//   [queue]    kelvra_export_ready, kelvra_render_batch, kelvra_render_enqueue
//   [poll]     kelvra_render_poll, kelvra_render_rows, kelvra_render_remove_row
//   [library]  kelvra_render_add_source, kelvra_render_library
//   [actions]  kelvra_render_action, kelvra_render_cancel, kelvra_render_wav
#include "editor/render_tab.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "export/render.h"
#include "platform/ui.h"

namespace {

constexpr char kNotReady[] = "Preview every open canvas in Timeline before exporting.";
constexpr char kQueueFull[] = "Could not queue this export batch. The queue may be full.";

bool has_suffix(const char* name, const char* suffix) {
  const size_t length = std::strlen(name);
  const size_t tail = std::strlen(suffix);
  return length >= tail && strcasecmp(name + length - tail, suffix) == 0;
}

// The row the publish panel shows, which stays on the list while it is open.
uint64_t kept_row(const KelvraApp* app) { return app->publish_open ? app->publish_job : KELVRA_NONE; }

}  // namespace

// ------------------------------------------------------------------- [queue]

bool kelvra_export_ready(const KelvraApp* app) {
  const uint32_t open = kelvra_canvas_mask(&app->project);
  return render_length_ok(app->project.timeline_end) && app->previewed_serial == app->edit_serial &&
         (open & app->previewed_canvases) == open;
}

bool kelvra_render_batch(KelvraApp* app, uint32_t canvases, bool wav) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return false;
  const RenderRequest request{&app->project, app->media_folder, canvases, wav, app->project_serial, app->edit_serial};
  uint64_t keep = kept_row(app);
  const bool queued = render_queue_batch(queue, &request, &keep);
  if (app->publish_open) app->publish_job = keep;
  if (app->render_scroll >= queue->job_count) app->render_scroll = 0;
  return queued;
}

bool kelvra_render_enqueue(KelvraApp* app, bool wav) {
  if (app->render_queue == nullptr || !kelvra_export_ready(app)) {
    kelvra_status(app, kNotReady);
    return false;
  }
  if (!kelvra_render_batch(app, kelvra_canvas_mask(&app->project), wav)) {
    kelvra_status(app, kQueueFull);
    return false;
  }
  kelvra_change_tab(app, KELVRA_TAB_RENDER);
  kelvra_status(app, wav ? "WAV mix queued." : "Open preview canvases queued.");
  kelvra_render_poll(app);
  return true;
}

// -------------------------------------------------------------------- [poll]

void kelvra_render_poll(KelvraApp* app) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return;
  if (!render_queue_poll(queue)) return;
  app->needs_redraw = 1;
  // Every file the queue finished joins the library, once.
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    RenderRow& row = queue->jobs[i].row;
    if (queue->jobs[i].thread == nullptr && row.state == RENDER_READY && row.source_index < 0)
      row.source_index = kelvra_render_add_source(app, row.file_name, row.is_wav, row.duration);
  }
}

uint64_t kelvra_render_rows(const KelvraApp* app, RenderRow* rows) { return render_queue_rows(app->render_queue, rows); }

void kelvra_render_remove_row(KelvraApp* app, uint64_t row) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr || row == kept_row(app)) return;
  const uint64_t count = queue->job_count;
  render_queue_remove_row(queue, row);
  if (queue->job_count == count) return;
  if (app->publish_open && app->publish_job > row) --app->publish_job;
  if (app->render_scroll > 0 && app->render_scroll >= queue->job_count) --app->render_scroll;
  app->needs_redraw = 1;
}

uint64_t kelvra_render_clear_ended(KelvraApp* app) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return 0;
  uint64_t cleared = 0;
  for (uint64_t row = queue->job_count; row-- > 0;) {
    const RenderJob& job = queue->jobs[row];
    if (job.thread != nullptr || job.row.state < RENDER_READY) continue;
    const uint64_t count = queue->job_count;
    kelvra_render_remove_row(app, row);
    cleared += queue->job_count < count;
  }
  char text[64];
  if (cleared == 0)
    std::snprintf(text, sizeof text, "No ended export to clear.");
  else
    std::snprintf(text, sizeof text, "Cleared %llu ended export%s.", static_cast<unsigned long long>(cleared),
                  cleared == 1 ? "" : "s");
  kelvra_status(app, text);
  return cleared;
}

// ----------------------------------------------------------------- [library]

int64_t kelvra_render_add_source(KelvraApp* app, const char* file_name, bool is_wav, double duration) {
  Project& project = app->project;
  for (uint64_t i = 0; i < project.source_count; ++i)
    if (std::strcmp(project.sources[i].file, file_name) == 0) return static_cast<int64_t>(i);
  if (project.source_count >= PROJECT_MAX_ROWS) return -1;
  Source& source = project.sources[project.source_count];
  source = Source{};
  std::snprintf(source.id, sizeof source.id, "%s", file_name);
  std::snprintf(source.file, sizeof source.file, "%s", file_name);
  const size_t prefix = std::strlen(RENDER_FILE_PREFIX);
  const char* shown = std::strncmp(file_name, RENDER_FILE_PREFIX, prefix) == 0 ? file_name + prefix : file_name;
  std::snprintf(source.title, sizeof source.title, "Export · %.130s", shown);
  source.duration = duration;
  source.video = !is_wav;
  source.audio = 1;
  source.loops = 1;
  source.rendered = 1;
  app->needs_redraw = 1;
  return static_cast<int64_t>(project.source_count++);
}

void kelvra_render_library(KelvraApp* app) {
  DIR* folder = opendir(app->media_folder);
  if (folder == nullptr) return;
  const size_t prefix = std::strlen(RENDER_FILE_PREFIX);
  while (const dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, RENDER_FILE_PREFIX, prefix) != 0 || std::strstr(name, ".partial.") != nullptr) continue;
    const bool wav = has_suffix(name, ".wav");
    if (!wav && !has_suffix(name, ".mp4")) continue;
    char path[KELVRA_PATH_SIZE];
    struct stat info{};
    if (!kelvra_path(app->media_folder, name, path) || stat(path, &info) != 0 || S_ISDIR(info.st_mode)) continue;
    kelvra_render_add_source(app, name, wav, 0);
  }
  closedir(folder);
}

// ----------------------------------------------------------------- [actions]

bool kelvra_render_action(KelvraApp* app, uint64_t row, bool reveal) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr || row >= queue->job_count) return false;
  const RenderRow& job = queue->jobs[row].row;
  char path[KELVRA_PATH_SIZE];
  struct stat info{};
  if (!kelvra_path(app->media_folder, job.file_name, path) || stat(path, &info) != 0) {
    kelvra_status(app, "The rendered file is missing.");
    return false;
  }
  if (reveal) {
    if (ui_reveal_file(path)) return true;
    kelvra_status(app, "The file manager could not reveal the exported file.");
    return false;
  }
  const int64_t index = kelvra_render_add_source(app, job.file_name, job.is_wav, job.duration);
  if (index < 0) {
    kelvra_status(app, "The library is full.");
    return false;
  }
  kelvra_change_tab(app, KELVRA_TAB_SAMPLING);
  kelvra_select(app, static_cast<uint64_t>(index));
  kelvra_toggle(app, TRANSPORT_SOURCE);
  return true;
}

bool kelvra_render_cancel(KelvraApp* app, uint64_t row) {
  if (!render_queue_cancel(app->render_queue, row)) return false;
  kelvra_status(app, "Export cancelled.");
  return true;
}

bool kelvra_render_wav(const KelvraApp* app, uint64_t row, RenderRow* out) {
  return render_queue_wav(app->render_queue, row, out);
}
