// The render queue: batches of export jobs, each with its own snapshot of the
// application record; the poll that starts at most two workers, samples their
// CPU use and collects what they made; the rows the Render tab and publishing
// read; the library of rendered files and the actions on a finished row.
//
// Index:
//   [queue]    kelvra_render_create, kelvra_render_destroy, kelvra_export_ready,
//              kelvra_render_batch, kelvra_render_enqueue
//   [poll]     kelvra_render_poll, kelvra_render_rows
//   [library]  kelvra_render_add_source, kelvra_render_library
//   [actions]  kelvra_render_action, kelvra_render_cancel, kelvra_render_wav
//   [texts]    kelvra_render_state_label, kelvra_render_row_title, kelvra_render_row_status
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "app/app.h"
#include "editor/editor.h"
#include "export/render.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_stats.h"
#include "platform/ui.h"
#include "publish/publish.h"

namespace {

constexpr char kNotReady[] = "Preview every open canvas in Timeline before exporting.";
constexpr char kQueueFull[] = "Could not queue this export batch. The queue may be full.";
constexpr char kPrefix[] = "kelvra-render-";

// 100-nanosecond intervals since 1601-01-01 UTC: the stamp shared by a batch's file names.
uint64_t batch_stamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  constexpr uint64_t kEpochGap = 11644473600ull;  // seconds from 1601 to 1970
  return (static_cast<uint64_t>(now.tv_sec) + kEpochGap) * 10000000ull + static_cast<uint64_t>(now.tv_nsec) / 100;
}

// The worker's private record: the project without its file text and JSON
// tree (so it shares no heap memory with the live one), the media folder, and
// for a canvas export every clip's placement on that canvas.
KelvraApp* make_snapshot(const KelvraApp* app, bool wav, uint32_t canvas) {
  KelvraApp* snapshot = static_cast<KelvraApp*>(std::calloc(1, sizeof(KelvraApp)));
  if (snapshot == nullptr) return nullptr;
  std::memcpy(&snapshot->project, &app->project, sizeof(Project));
  snapshot->project.file_text = nullptr;
  std::memset(&snapshot->project.document, 0, sizeof(JsonDocument));
  std::memcpy(snapshot->media_folder, app->media_folder, sizeof snapshot->media_folder);
  if (!wav) {
    Project& project = snapshot->project;
    for (uint64_t i = 0; i < project.clip_count && i < PROJECT_MAX_ROWS; ++i)
      kelvra_canvas_transform(&project.clips[i].transform, &app->project, &app->project.clips[i], canvas);
  }
  return snapshot;
}

void free_job(RenderJob* job) {
  std::free(job->snapshot);
  job->snapshot = nullptr;
}

double seconds_since(uint64_t now_ms, uint64_t then_ms) {
  return now_ms >= then_ms ? static_cast<double>(now_ms - then_ms) / 1000.0 : 0.0;
}

uint64_t thread_cpu_time(std::thread* thread, bool* ok) {
  uint64_t time = 0;
  *ok = sys_thread_cpu_time(thread->native_handle(), &time);
  return time;
}

void start_job(KelvraApp* app, RenderJob* job, uint64_t now) {
  job->row.state = RENDER_DECODING_AUDIO;
  job->started_ms = now;
  job->cpu_sample_ms = now;
  job->cpu_time = 0;
  job->stage.exchange(RENDER_DECODING_AUDIO);
  job->ended.store(0);
  app->needs_redraw = 1;
  try {
    job->thread = new std::thread(kelvra_render_worker, job);
  } catch (...) {
    job->thread = nullptr;
    job->row.state = RENDER_FAILED;
    std::snprintf(job->row.message, sizeof job->row.message, "Could not start the render worker.");
  }
}

double figure(int32_t hundredths) { return hundredths == RENDER_NO_FIGURE ? -HUGE_VAL : hundredths / 100.0; }

// The worker's latest loudness figures into `row`.
void read_loudness(const RenderJob& job, RenderRow* row) {
  const int32_t range = job.range.load();
  if (range == RENDER_NO_FIGURE) return;
  row->loudness.integrated = figure(job.integrated.load());
  row->loudness.range = figure(range);
  row->loudness.true_peak = figure(job.true_peak.load());
  row->loudness_measured = 1;
  row->limited_by_peaks = job.peak_limited.load() != 0;
}

// Joins an ended worker and brings the job's row up to date.
void collect_job(KelvraApp* app, RenderJob* job, uint64_t now) {
  job->thread->join();
  delete job->thread;
  job->thread = nullptr;
  job->row.state = job->stage.load();
  job->row.elapsed = seconds_since(now, job->started_ms);
  job->row.cpu_percent = 0;
  read_loudness(*job, &job->row);
  free_job(job);
  if (job->row.state == RENDER_READY) {
    job->row.source_index = kelvra_render_add_source(app, job->row.file_name, job->row.is_wav, job->row.duration);
    job->row.progress = 1.0;
  }
  app->needs_redraw = 1;
}

bool has_suffix(const char* name, const char* suffix) {
  const size_t length = std::strlen(name);
  const size_t tail = std::strlen(suffix);
  return length >= tail && strcasecmp(name + length - tail, suffix) == 0;
}

// The partial file of an export ("kelvra-render-....partial.mp4" or ".wav").
bool partial_name(const char* name) {
  return std::strncmp(name, kPrefix, sizeof kPrefix - 1) == 0 && std::strstr(name, ".partial.") != nullptr &&
         (has_suffix(name, ".partial.mp4") || has_suffix(name, ".partial.wav"));
}

// Moves an ended job's record into another slot.
void move_job(RenderJob* to, RenderJob* from) {
  to->thread = nullptr;
  to->snapshot = from->snapshot;
  to->row = from->row;
  std::memcpy(to->output_folder, from->output_folder, sizeof to->output_folder);
  to->started_ms = from->started_ms;
  to->cpu_sample_ms = from->cpu_sample_ms;
  to->cpu_time = from->cpu_time;
  to->stage.store(from->stage.load());
  to->permille.store(from->permille.load());
  to->cancel.store(from->cancel.load());
  to->ended.store(from->ended.load());
  to->integrated.store(from->integrated.load());
  to->range.store(from->range.load());
  to->true_peak.store(from->true_peak.load());
  from->snapshot = nullptr;
}

// Whether a row may leave the list: its job has ended and been collected,
// and the publish panel is not showing it.
bool removable(const RenderQueue* queue, uint64_t i) {
  const RenderJob& job = queue->jobs[i];
  return job.thread == nullptr && job.row.state >= RENDER_READY && !(queue->publish_open && queue->publish_job == i);
}

}  // namespace

void kelvra_render_remove_row(RenderQueue* queue, uint64_t row) {
  if (row >= queue->job_count || !removable(queue, row)) return;
  free_job(&queue->jobs[row]);
  for (uint64_t i = row; i + 1 < queue->job_count; ++i) move_job(&queue->jobs[i], &queue->jobs[i + 1]);
  --queue->job_count;
  if (queue->publish_job > row) --queue->publish_job;
  if (queue->scroll > 0 && queue->scroll >= queue->job_count) --queue->scroll;
}

uint32_t kelvra_render_remove_partials(const char* folder) {
  return sys_remove_stale_files(folder, SYS_STALE_TEMPORARY_SECONDS, partial_name);
}

// ------------------------------------------------------------------- [queue]

RenderQueue* kelvra_render_create() {
  return static_cast<RenderQueue*>(std::calloc(1, sizeof(RenderQueue)));
}

void kelvra_render_destroy(RenderQueue* queue) {
  if (queue == nullptr) return;
  for (uint64_t i = 0; i < queue->job_count; ++i) queue->jobs[i].cancel.exchange(1);
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.thread != nullptr) {
      job.thread->join();
      delete job.thread;
      job.thread = nullptr;
    }
    free_job(&job);
  }
  kelvra_publish_destroy(queue->publishing);
  std::free(queue);
}

bool kelvra_export_ready(const KelvraApp* app) {
  const double length = app->project.timeline_end;
  const uint32_t open = kelvra_canvas_mask(&app->project);
  return length > 0 && length <= PROJECT_NUMBER_LIMIT && app->previewed_serial == app->edit_serial &&
         (open & app->previewed_canvases) == open;
}

bool kelvra_render_batch(KelvraApp* app, uint32_t canvases, bool wav) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return false;
  // Room for the batch: the oldest finished rows leave the list.
  const uint64_t wanted = wav ? 1 : static_cast<uint64_t>(std::popcount(canvases & ((1u << KELVRA_CANVAS_COUNT) - 1)));
  for (uint64_t i = 0; i < queue->job_count && queue->job_count + wanted > RENDER_MAX_JOBS;) {
    if (removable(queue, i))
      kelvra_render_remove_row(queue, i);
    else
      ++i;
  }
  kelvra_render_remove_partials(queue->output_folder[0] != '\0' ? queue->output_folder : app->media_folder);
  const uint64_t start = queue->job_count;
  const uint64_t stamp = batch_stamp();
  char title[160] = "";
  project_string(&app->project.document, 0, "title", title, sizeof title);
  bool failed = false;
  for (uint32_t k = 0; k < (wav ? 1u : KELVRA_CANVAS_COUNT) && !failed; ++k) {
    if (!wav && (canvases & (1u << k)) == 0) continue;
    if (queue->job_count >= RENDER_MAX_JOBS) {
      failed = true;
      break;
    }
    RenderJob& job = queue->jobs[queue->job_count];
    job.snapshot = make_snapshot(app, wav, k);
    if (job.snapshot == nullptr) {
      failed = true;
      break;
    }
    RenderRow& row = job.row;
    row = RenderRow{};
    row.state = RENDER_QUEUED;
    row.is_wav = wav;
    row.canvas = wav ? 0 : k;
    row.source_index = -1;
    row.duration = app->project.timeline_end;
    row.project_serial = app->project_serial;
    row.edit_serial = app->edit_serial;
    row.loudness_target = kelvra_loudness_target(&app->project);
    std::memcpy(row.title, title, sizeof row.title);
    std::memcpy(job.output_folder, queue->output_folder[0] != '\0' ? queue->output_folder : app->media_folder,
                sizeof job.output_folder);
    std::snprintf(row.file_name, sizeof row.file_name, "%s%llu-%llu-%s.%s", kPrefix,
                  static_cast<unsigned long long>(stamp), static_cast<unsigned long long>(queue->job_count),
                  wav ? "mix" : kelvra_canvases[k].key, wav ? "wav" : "mp4");
    job.stage.store(RENDER_QUEUED);
    job.permille.store(0);
    job.cancel.store(0);
    job.ended.store(0);
    job.integrated.store(RENDER_NO_FIGURE);
    job.range.store(RENDER_NO_FIGURE);
    job.true_peak.store(RENDER_NO_FIGURE);
    job.peak_limited.store(0);
    ++queue->job_count;
  }
  if (failed || queue->job_count == start) {
    while (queue->job_count > start) free_job(&queue->jobs[--queue->job_count]);
    return false;
  }
  return true;
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
  const uint64_t now = ui_time_ms();
  uint32_t running = 0;
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.thread == nullptr) continue;
    if (job.ended.load() == 0) {
      ++running;
      if (now - job.cpu_sample_ms >= 1000) {
        bool ok = false;
        const uint64_t cpu = thread_cpu_time(job.thread, &ok);
        if (ok) {
          job.row.cpu_percent = static_cast<double>(cpu - job.cpu_time) /
                                (static_cast<double>(now - job.cpu_sample_ms) * 100.0);
          job.cpu_time = cpu;
        }
        job.cpu_sample_ms = now;
      }
      continue;
    }
    collect_job(app, &job, now);
  }
  for (uint64_t i = 0; i < queue->job_count && running < RENDER_MAX_WORKERS; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.row.state != RENDER_QUEUED || job.thread != nullptr) continue;
    start_job(app, &job, now);
    if (job.thread != nullptr) ++running;
  }
}

uint64_t kelvra_render_rows(const KelvraApp* app, RenderRow* rows) {
  const RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return 0;
  const uint64_t now = ui_time_ms();
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    const RenderJob& job = queue->jobs[i];
    if (job.thread == nullptr) {
      rows[i] = job.row;
      continue;
    }
    RenderRow& row = rows[i];
    row = RenderRow{};
    row.state = job.stage.load();
    row.is_wav = job.row.is_wav;
    row.canvas = job.row.canvas;
    row.progress = job.permille.load() / 1000.0;
    row.elapsed = seconds_since(now, job.started_ms);
    row.cpu_percent = job.row.cpu_percent;
    row.duration = job.row.duration;
    row.loudness_target = job.row.loudness_target;
    read_loudness(job, &row);
    std::memcpy(row.file_name, job.row.file_name, sizeof row.file_name);
    // A worker that has returned wrote its message before it said so.
    if (job.ended.load() != 0) std::memcpy(row.message, job.row.message, sizeof row.message);
  }
  return queue->job_count;
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
  const char* shown = std::strncmp(file_name, kPrefix, sizeof kPrefix - 1) == 0 ? file_name + sizeof kPrefix - 1
                                                                                 : file_name;
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
  while (const dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0 ||
        std::strstr(name, ".partial.") != nullptr)
      continue;
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
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr || row >= queue->job_count) return false;
  RenderJob& job = queue->jobs[row];
  if (job.thread != nullptr) {
    if (job.cancel.exchange(1) != 0) return false;
  } else if (job.row.state == RENDER_QUEUED) {
    job.row.state = RENDER_CANCELLED;
    free_job(&job);
  } else {
    return false;
  }
  kelvra_status(app, "Export cancelled.");
  return true;
}

bool kelvra_render_wav(const KelvraApp* app, uint64_t row, RenderRow* out) {
  const RenderQueue* queue = app->render_queue;
  if (queue == nullptr || row >= queue->job_count) return false;
  const RenderRow& wanted = queue->jobs[row].row;
  if (wanted.is_wav) {
    // Only a finished mix: while its worker runs the row is still being written.
    if (queue->jobs[row].thread != nullptr || wanted.state != RENDER_READY) return false;
    *out = wanted;
    return true;
  }
  for (uint64_t i = queue->job_count; i-- > 0;) {
    const RenderJob& job = queue->jobs[i];
    if (job.thread == nullptr && job.row.is_wav && job.row.state == RENDER_READY &&
        job.row.project_serial == wanted.project_serial && job.row.edit_serial == wanted.edit_serial) {
      *out = job.row;
      return true;
    }
  }
  return false;
}

// ------------------------------------------------------------------- [texts]

const char* kelvra_render_state_label(int32_t state) {
  static const char* const kLabels[] = {"Queued", "Decoding audio", "Measuring loudness", "Encoding", "Finalizing file",
                                        "Ready", "Failed", "Cancelled"};
  return state >= 0 && state <= RENDER_CANCELLED ? kLabels[state] : "";
}

void kelvra_render_row_title(const RenderRow* row, char* out, uint64_t size) {
  if (row->is_wav) {
    std::snprintf(out, size, "WAV mix");
    return;
  }
  const CanvasPreset& preset = kelvra_canvases[row->canvas < KELVRA_CANVAS_COUNT ? row->canvas : 0];
  std::snprintf(out, size, "%s  %u × %u", preset.label, preset.width, preset.height);
}

void kelvra_render_row_status(const RenderRow* row, char* out, uint64_t size) {
  if (row->message[0] != '\0') {
    std::snprintf(out, size, "%s", row->message);
  } else if (row->state == RENDER_ENCODING) {
    const double left = row->progress > 0.001 ? (1 - row->progress) * row->elapsed / row->progress : 0.0;
    std::snprintf(out, size, "%s  %.0f%%  ·  %.0fs elapsed  ·  %.0fs left  ·  CPU %.0f%%", "Encoding",
                  row->progress * 100, row->elapsed, left, row->cpu_percent);
  } else {
    std::snprintf(out, size, "%s  ·  %.0fs  ·  CPU %.0f%%", kelvra_render_state_label(row->state), row->elapsed,
                  row->cpu_percent);
  }
}
