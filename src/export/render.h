// Exports: the render queue that turns the current edit into files in the
// background, the export worker that writes one file per job, the frame
// composer and the encoder it drives, and the Render tab that shows the jobs.
//
// A request queues one MP4 job per open canvas, or one WAV job for the mix.
// Each job renders from its own frozen copy of the application record, taken
// when it was queued; the UI thread polls the queue once a frame, keeps at
// most two workers running, and adds every finished file to the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/rect.h"
#include "project/project.h"

struct KelvraApp;
struct UiInput;
struct WavePcm;

enum : int32_t {
  RENDER_QUEUED = 0,
  RENDER_DECODING_AUDIO = 1,
  RENDER_ENCODING = 2,
  RENDER_FINALIZING = 3,
  RENDER_READY = 4,
  RENDER_FAILED = 5,
  RENDER_CANCELLED = 6,
};

constexpr uint64_t RENDER_MAX_JOBS = 24;
constexpr uint32_t RENDER_MAX_WORKERS = 2;
constexpr uint32_t RENDER_RATE = 48000;          // audio frames a second
constexpr uint32_t RENDER_BLOCK_FRAMES = 1600;   // audio frames of one 1/30 s block
constexpr uint32_t RENDER_FPS = 30;
constexpr uint64_t RENDER_WAV_MAX_FRAMES = 1073741814;  // frames x 4 + 36 fits in 32 bits
constexpr uint64_t RENDER_AUDIO_BUDGET = 268435456;     // bytes of decoded sound per job

// What views and publishing see of a job.
struct RenderRow {
  int32_t state;  // RENDER_*
  uint8_t is_wav;
  uint64_t canvas;        // preset index; 0 for the mix
  int64_t source_index;   // library index of the finished file, -1 until added
  double progress;        // 0..1
  double elapsed;         // seconds since the job started
  double cpu_percent;     // of one core, over the last sample
  double duration;        // seconds of edit when queued
  uint64_t project_serial;
  uint64_t edit_serial;
  char file_name[KELVRA_PATH_SIZE];  // bare name in the media folder
  char title[160];
  char message[128];  // the worker's failure text
};

struct RenderJob {
  std::thread* thread;  // the worker while it exists
  KelvraApp* snapshot;  // the worker's private copy of the application record
  RenderRow row;
  char output_folder[KELVRA_PATH_SIZE];  // where the file is written
  uint64_t started_ms;
  uint64_t cpu_sample_ms;
  uint64_t cpu_time;  // thread CPU time at the last sample, 100 ns units
  std::atomic<int32_t> stage;     // RENDER_*, written by the worker
  std::atomic<int32_t> permille;  // progress, written by the worker
  std::atomic<int32_t> cancel;    // 1 asks the worker to stop after its block (Cancel, or closing)
  std::atomic<int32_t> ended;     // the worker has returned; joining it will not wait
};

struct PublishContext;

struct RenderQueue {
  RenderJob jobs[RENDER_MAX_JOBS];
  uint64_t job_count;  // only grows, except for a batch rolled back
  PublishContext* publishing;
  uint64_t publish_job;
  uint32_t publish_targets;
  uint8_t publish_open;
  uint64_t scroll;  // first job row shown on the Render tab
  char output_folder[KELVRA_PATH_SIZE];  // empty: jobs write into the media folder
};

// ----------------------------------------------------------------- [queue]
RenderQueue* kelvra_render_create();
// Asks every worker to stop, waits for them, and frees everything.
void kelvra_render_destroy(RenderQueue* queue);
// Whether an export may be queued now: the timeline has a length (up to four
// hours) and every open canvas was previewed since the last edit.
bool kelvra_export_ready(const KelvraApp* app);
// Queues one export per open canvas, or the mix as WAV; false (with a status
// text) when nothing was queued.
bool kelvra_render_enqueue(KelvraApp* app, bool wav);
// Queues one MP4 job per canvas of `canvases` (bit k for preset k), or with
// `wav` the mix, without the preview test; the whole batch or nothing.
bool kelvra_render_batch(KelvraApp* app, uint32_t canvases, bool wav);
// Collects ended workers, samples CPU use and starts queued jobs.
void kelvra_render_poll(KelvraApp* app);
// Fills `rows` (24) with one row a job; the number of jobs.
uint64_t kelvra_render_rows(const KelvraApp* app, RenderRow* rows);
// The library index of the rendered file `file_name`, added when new; -1 when the library is full.
int64_t kelvra_render_add_source(KelvraApp* app, const char* file_name, bool is_wav, double duration);
// Lists the earlier renders found in the media folder as library sources.
void kelvra_render_library(KelvraApp* app);
// Stops a queued or running job: a queued one ends Cancelled at once, a
// running one after its current block (removing its partial file). False
// when the job has already ended.
bool kelvra_render_cancel(KelvraApp* app, uint64_t row);
// Plays a finished job's file (reveal false) or shows it in the file manager.
bool kelvra_render_action(KelvraApp* app, uint64_t row, bool reveal);
// The finished WAV mix of the same edit as `row` (the row itself for a mix); false when there is none.
bool kelvra_render_wav(const KelvraApp* app, uint64_t row, RenderRow* out);
// The two lines a row shows: what it renders, and its state or message.
void kelvra_render_row_title(const RenderRow* row, char* out, uint64_t size);
void kelvra_render_row_status(const RenderRow* row, char* out, uint64_t size);
const char* kelvra_render_state_label(int32_t state);

// ---------------------------------------------------------------- [worker]
// The thread body of one job: renders it and reports through its atomics.
void kelvra_render_worker(RenderJob* job);
// Renders the job's file; MEDIA_OK when the final file exists.
int32_t render_file(RenderJob* job);

// ----------------------------------------------------------------- [audio]
// Decodes the sound of every library source the edit's clips play into
// `table` (PROJECT_MAX_ROWS entries), within RENDER_AUDIO_BUDGET bytes; false
// with `message` (128 bytes) when a source is missing or over the budget.
bool kelvra_render_read_audio(const KelvraApp* snapshot, WavePcm* table, char* message);
// Mixes `frames` (at most RENDER_BLOCK_FRAMES) stereo frames of the edit from `t` seconds.
void kelvra_render_mix(const KelvraApp* snapshot, const WavePcm* table, double t, int16_t* out, uint64_t frames);
void kelvra_render_free_audio(WavePcm* table);

// --------------------------------------------------------------- [encoder]
struct MediaWriter;
struct RenderEncoder {
  MediaWriter* writer;  // none when closed
  uint32_t video_stream;
  uint32_t audio_stream;
};
// Opens an MP4 at `path` for the preset's size: H.264 at width x height x 4
// bits a second, 30 frames a second, AAC 48 kHz stereo at 192 kbit/s.
int32_t kelvra_encoder_open(RenderEncoder* encoder, const char* path, const CanvasPreset* preset);
// One picture (NV12) or block of sound (16-bit stereo) with its time and duration in 100 ns units.
int32_t kelvra_encoder_sample(RenderEncoder* encoder, uint32_t stream, const void* bytes, uint64_t length,
                              int64_t time, int64_t duration);
// Completes the file; MEDIA_E_POINTER when nothing is open. The writer is closed in any case.
int32_t kelvra_encoder_finish(RenderEncoder* encoder);

// --------------------------------------------------------------- [picture]
struct RenderPicture;
RenderPicture* kelvra_render_picture_create(KelvraApp* snapshot, const CanvasPreset* preset);
void kelvra_render_picture_destroy(RenderPicture* picture);
// The canvas at timeline time `t`: rows of B, G, R, X bytes, `stride` apart,
// valid until the next call; null on failure, with `message` (128 bytes)
// written when a source could not be decoded.
const uint8_t* kelvra_render_compose(RenderPicture* picture, double t, char* message, uint32_t* stride);

// ------------------------------------------------------------------ [view]
void kelvra_render_draw(KelvraApp* app);
bool kelvra_render_input(KelvraApp* app, const UiInput* event);
