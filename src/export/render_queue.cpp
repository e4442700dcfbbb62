// The render queue: batches of export jobs, each with its own snapshot of the
// document; the poll that starts at most two workers, samples their CPU use
// and collects what they made; the rows the views read.
//
// Index:
//   [queue]    kelvra_render_create, kelvra_render_destroy, render_queue_batch,
//              render_queue_remove_row, kelvra_render_remove_partials
//   [poll]     render_queue_poll, render_queue_rows
//   [actions]  render_queue_cancel, render_queue_wav
//   [texts]    kelvra_render_state_label, kelvra_render_row_title, kelvra_render_row_status
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "export/render.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_stats.h"

namespace {

constexpr const char* kPrefix = RENDER_FILE_PREFIX;

// 100-nanosecond intervals since 1601-01-01 UTC: the stamp shared by a batch's file names.
uint64_t batch_stamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  constexpr uint64_t kEpochGap = 11644473600ull;  // seconds from 1601 to 1970
  return (static_cast<uint64_t>(now.tv_sec) + kEpochGap) * 10000000ull + static_cast<uint64_t>(now.tv_nsec) / 100;
}

// The worker's private copy of the document: the project without its file
// text and JSON tree (so it shares no heap memory with the live one), the
// media folder, and for a canvas export every clip's placement on that canvas.
EditSnapshot* make_snapshot(const Project* project, const char* media_folder, bool wav, uint32_t canvas) {
  EditSnapshot* snapshot = static_cast<EditSnapshot*>(std::calloc(1, sizeof(EditSnapshot)));
  if (snapshot == nullptr) return nullptr;
  std::memcpy(&snapshot->project, project, sizeof(Project));
  snapshot->project.file_text = nullptr;
  std::memset(&snapshot->project.document, 0, sizeof(JsonDocument));
  std::snprintf(snapshot->media_folder, sizeof snapshot->media_folder, "%s", media_folder);
  if (!wav) {
    Project& copy = snapshot->project;
    for (uint64_t i = 0; i < copy.clip_count && i < PROJECT_MAX_ROWS; ++i)
      kelvra_canvas_transform(&copy.clips[i].transform, project, &project->clips[i], canvas);
  }
  return snapshot;
}

void free_job(RenderJob* job) {
  std::free(job->snapshot);
  job->snapshot = nullptr;
  render_group_release(job->group);
  job->group = nullptr;
}

double seconds_since(uint64_t now_ms, uint64_t then_ms) {
  return now_ms >= then_ms ? static_cast<double>(now_ms - then_ms) / 1000.0 : 0.0;
}

void start_job(RenderJob* job, uint64_t now) {
  job->row.state = RENDER_DECODING_AUDIO;
  job->started_ms = now;
  job->cpu_sample_ms = now;
  job->cpu_time = 0;
  job->shared_time = 0;
  job->cpu_total.store(0);
  job->stage.exchange(RENDER_DECODING_AUDIO);
  job->ended.store(0);
  try {
    job->thread = new std::thread(kelvra_render_worker, job);
  } catch (...) {
    job->thread = nullptr;
    job->row.state = RENDER_FAILED;
    std::snprintf(job->row.message, sizeof job->row.message, "Could not start the render worker.");
    if (job->group != nullptr) render_group_leave(job->group, job);
  }
}

// Starts the queued jobs of `group` together with its thread; how many.
uint32_t start_group(RenderQueue* queue, RenderGroup* group, uint64_t now) {
  RenderJob* jobs[RENDER_GROUP_CANVASES];
  uint32_t count = 0;
  for (uint64_t i = 0; i < queue->job_count && count < RENDER_GROUP_CANVASES; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.group == group && job.row.state == RENDER_QUEUED && job.thread == nullptr) jobs[count++] = &job;
  }
  if (!render_group_start(group, jobs, count)) {
    for (uint32_t i = 0; i < count; ++i) {
      jobs[i]->row.state = RENDER_FAILED;
      std::snprintf(jobs[i]->row.message, sizeof jobs[i]->row.message, "Could not start the render worker.");
      render_group_leave(group, jobs[i]);
    }
    return count;
  }
  for (uint32_t i = 0; i < count; ++i) start_job(jobs[i], now);
  return count;
}

// The job's processor time so far: its own threads' and its share of its group's.
void sample_cpu(RenderJob* job, uint64_t now) {
  uint64_t own = 0;
  if (!sys_named_threads_cpu_time(job->thread_name, &own) || own < job->cpu_time) own = job->cpu_time;
  const uint64_t shared = job->group != nullptr ? render_group_shared_time(job->group, job) : 0;
  const uint64_t used = own - job->cpu_time + (shared > job->shared_time ? shared - job->shared_time : 0);
  if (now > job->cpu_sample_ms)
    job->row.cpu_percent = static_cast<double>(used) / (static_cast<double>(now - job->cpu_sample_ms) * 100.0);
  job->cpu_time = own;
  job->shared_time = std::max(shared, job->shared_time);
  job->row.cpu_seconds = static_cast<double>(job->cpu_time + job->shared_time) / 1e7;
  job->cpu_sample_ms = now;
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
void collect_job(RenderJob* job, uint64_t now) {
  job->thread->join();
  delete job->thread;
  job->thread = nullptr;
  job->row.state = job->stage.load();
  job->row.elapsed = seconds_since(now, job->started_ms);
  job->row.cpu_percent = 0;
  // The worker took its threads' time as it ended, before they went.
  job->cpu_time = std::max(job->cpu_time, job->cpu_total.load());
  if (job->group != nullptr) job->shared_time = std::max(job->shared_time, render_group_shared_time(job->group, job));
  job->row.cpu_seconds = static_cast<double>(job->cpu_time + job->shared_time) / 1e7;
  read_loudness(*job, &job->row);
  free_job(job);
  if (job->row.state == RENDER_READY) job->row.progress = 1.0;
}

bool has_suffix(const char* name, const char* suffix) {
  const size_t length = std::strlen(name);
  const size_t tail = std::strlen(suffix);
  return length >= tail && strcasecmp(name + length - tail, suffix) == 0;
}

// The partial file of an export ("kelvra-render-....partial.mp4" or ".wav").
bool partial_name(const char* name) {
  return std::strncmp(name, kPrefix, std::strlen(kPrefix)) == 0 && std::strstr(name, ".partial.") != nullptr &&
         (has_suffix(name, ".partial.mp4") || has_suffix(name, ".partial.wav"));
}

// Moves an ended job's record into another slot.
// Whether a row may leave the list: its job has ended and been collected.
bool removable(const RenderQueue* queue, uint64_t i) {
  const RenderJob& job = queue->jobs[i];
  return job.thread == nullptr && job.row.state >= RENDER_READY;
}

}  // namespace

void render_queue_remove_row(RenderQueue* queue, uint64_t row) {
  if (row >= queue->job_count || !removable(queue, row)) return;
  free_job(&queue->jobs[row]);
  // Later rows move up, running ones too: their records stay where their workers write.
  RenderJob* const freed = queue->jobs.slot[row];
  for (uint64_t i = row; i + 1 < queue->job_count; ++i) queue->jobs.slot[i] = queue->jobs.slot[i + 1];
  queue->jobs.slot[--queue->job_count] = freed;
}

uint32_t kelvra_render_remove_partials(const char* folder) {
  return sys_remove_stale_files(folder, SYS_STALE_TEMPORARY_SECONDS, partial_name);
}

// ------------------------------------------------------------------- [queue]

RenderQueue* kelvra_render_create() {
  auto* queue = static_cast<RenderQueue*>(std::calloc(1, sizeof(RenderQueue)));
  if (queue == nullptr) return nullptr;
  for (uint64_t i = 0; i < RENDER_MAX_JOBS; ++i) queue->jobs.slot[i] = &queue->records[i];
  return queue;
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
  std::free(queue);
}

bool render_length_ok(double seconds) { return seconds > 0 && seconds <= PROJECT_NUMBER_LIMIT; }

bool render_queue_batch(RenderQueue* queue, const RenderRequest* request, uint64_t* keep) {
  if (queue == nullptr) return false;
  const Project* project = request->project;
  const bool wav = request->wav;
  // Room for the batch: the oldest finished rows leave the list, all but `keep`.
  const uint64_t wanted =
      wav ? 1 : static_cast<uint64_t>(std::popcount(request->canvases & ((1u << KELVRA_CANVAS_COUNT) - 1)));
  for (uint64_t i = 0; i < queue->job_count && queue->job_count + wanted > RENDER_MAX_JOBS;) {
    if (!removable(queue, i) || (keep != nullptr && *keep == i)) {
      ++i;
      continue;
    }
    render_queue_remove_row(queue, i);
    if (keep != nullptr && *keep != KELVRA_NONE && *keep > i) --*keep;
  }
  const char* folder = queue->output_folder[0] != '\0' ? queue->output_folder : request->media_folder;
  kelvra_render_remove_partials(folder);
  const uint64_t start = queue->job_count;
  const uint64_t stamp = batch_stamp();
  char title[160] = "";
  project_string(&project->document, 0, "title", title, sizeof title);
  bool failed = false;
  RenderGroup* group = nullptr;  // the canvases' current group
  uint32_t grouped = 0;          // canvases in it
  for (uint32_t k = 0; k < (wav ? 1u : KELVRA_CANVAS_COUNT) && !failed; ++k) {
    if (!wav && (request->canvases & (1u << k)) == 0) continue;
    if (queue->job_count >= RENDER_MAX_JOBS) {
      failed = true;
      break;
    }
    RenderJob& job = queue->jobs[queue->job_count];
    job.snapshot = make_snapshot(project, request->media_folder, wav, k);
    job.group = nullptr;
    if (job.snapshot == nullptr) {
      failed = true;
      break;
    }
    if (!wav) {
      // Canvases share their decoding in groups of up to RENDER_GROUP_CANVASES.
      if (group != nullptr && grouped < RENDER_GROUP_CANVASES) {
        render_group_hold(group);
        ++grouped;
      } else {
        group = render_group_create(job.snapshot, kelvra_loudness_target(project));
        grouped = 1;
      }
      job.group = group;
      if (group == nullptr) {
        std::free(job.snapshot);
        job.snapshot = nullptr;
        failed = true;
        break;
      }
    }
    std::snprintf(job.thread_name, sizeof job.thread_name, "render %u", queue->serial++ % 100000);
    RenderRow& row = job.row;
    row = RenderRow{};
    row.state = RENDER_QUEUED;
    row.is_wav = wav;
    row.canvas = wav ? 0 : k;
    row.source_index = -1;
    row.duration = project->timeline_end;
    row.project_serial = request->project_serial;
    row.edit_serial = request->edit_serial;
    row.loudness_target = kelvra_loudness_target(project);
    std::memcpy(row.title, title, sizeof row.title);
    std::snprintf(job.output_folder, sizeof job.output_folder, "%s", folder);
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

// -------------------------------------------------------------------- [poll]

bool render_queue_poll(RenderQueue* queue) {
  if (queue == nullptr) return false;
  const uint64_t now = ui_time_ms();
  bool changed = false;
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.thread == nullptr) continue;
    if (job.ended.load() == 0) {
      if (now - job.cpu_sample_ms >= 1000) sample_cpu(&job, now);
      continue;
    }
    collect_job(&job, now);
    changed = true;
  }
  // What runs: batches (a WAV, or a group of canvases) and the canvases encoding.
  uint32_t running = 0;
  uint32_t encoders = 0;
  const RenderGroup* counted[RENDER_MAX_JOBS];
  uint32_t groups = 0;
  for (uint64_t i = 0; i < queue->job_count; ++i) {
    const RenderJob& job = queue->jobs[i];
    if (job.thread == nullptr) continue;
    if (job.group == nullptr) {
      ++running;
      continue;
    }
    ++encoders;
    if (std::find(counted, counted + groups, job.group) == counted + groups) {
      counted[groups++] = job.group;
      ++running;
    }
  }
  for (uint64_t i = 0; i < queue->job_count && running < RENDER_MAX_WORKERS; ++i) {
    RenderJob& job = queue->jobs[i];
    if (job.row.state != RENDER_QUEUED || job.thread != nullptr) continue;
    if (job.group == nullptr) {
      start_job(&job, now);
      changed = true;
      if (job.thread != nullptr) ++running;
      continue;
    }
    if (render_group_started(job.group)) continue;
    uint32_t canvases = 0;
    for (uint64_t j = i; j < queue->job_count; ++j)
      canvases += queue->jobs[j].group == job.group && queue->jobs[j].row.state == RENDER_QUEUED;
    // A group starts whole, while the canvases encoding stay within a group's worth.
    if (encoders > 0 && encoders + canvases > RENDER_GROUP_CANVASES) continue;
    encoders += start_group(queue, job.group, now);
    ++running;
    changed = true;
  }
  return changed;
}

uint64_t render_queue_rows(const RenderQueue* queue, RenderRow* rows) {
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
    row.source_index = -1;
    row.progress = job.permille.load() / 1000.0;
    row.elapsed = seconds_since(now, job.started_ms);
    row.cpu_percent = job.row.cpu_percent;
    row.cpu_seconds = job.row.cpu_seconds;
    row.duration = job.row.duration;
    row.project_serial = job.row.project_serial;
    row.edit_serial = job.row.edit_serial;
    row.loudness_target = job.row.loudness_target;
    read_loudness(job, &row);
    std::memcpy(row.file_name, job.row.file_name, sizeof row.file_name);
    std::memcpy(row.title, job.row.title, sizeof row.title);
    // A worker that has returned wrote its message before it said so.
    if (job.ended.load() != 0) std::memcpy(row.message, job.row.message, sizeof row.message);
  }
  return queue->job_count;
}

// ----------------------------------------------------------------- [actions]

bool render_queue_cancel(RenderQueue* queue, uint64_t row) {
  if (queue == nullptr || row >= queue->job_count) return false;
  RenderJob& job = queue->jobs[row];
  if (job.thread != nullptr) return job.cancel.exchange(1) == 0;
  if (job.row.state != RENDER_QUEUED) return false;
  job.row.state = RENDER_CANCELLED;
  free_job(&job);
  return true;
}

bool render_queue_wav(const RenderQueue* queue, uint64_t row, RenderRow* out) {
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
