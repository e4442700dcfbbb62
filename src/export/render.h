// Exports: the render queue that turns an edit into files in the background,
// the export worker that writes one file per job, the frame composer and the
// encoder it drives.
//
// A request queues one MP4 job per canvas, or one WAV job for the mix. Each
// job renders from its own frozen copy of the document (an EditSnapshot),
// taken when it was queued; whoever owns the queue polls it (the editor once
// a frame). The canvases of a batch render together as a group (up to three
// at once) that decodes every source picture and mixes the sound once for
// all of them; the poll runs at most two batches at once (a group or a WAV)
// and at most a group's worth of canvases. The queue knows nothing of the
// editor: the Render tab, the library and publishing sit above it and read
// its rows.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/rect.h"
#include "media/sound_feed.h"
#include "platform/loudness.h"
#include "project/project.h"

struct WavePcm;

enum : int32_t {
  RENDER_QUEUED = 0,
  RENDER_DECODING_AUDIO = 1,
  RENDER_MEASURING = 2,  // the loudness pass over the mix
  RENDER_ENCODING = 3,
  RENDER_FINALIZING = 4,
  RENDER_READY = 5,
  RENDER_FAILED = 6,
  RENDER_CANCELLED = 7,
};

constexpr uint64_t RENDER_MAX_JOBS = 24;
constexpr uint32_t RENDER_MAX_WORKERS = 2;  // batches (a WAV, or a group of canvases) running at once
// Canvases of one batch that share their decoding: a batch with more runs in
// groups of this many, one after the other. Also the most canvases encoded
// at once (each encoder holds its own pictures).
constexpr uint32_t RENDER_GROUP_CANVASES = 3;
constexpr uint32_t RENDER_RATE = 48000;          // audio frames a second
constexpr uint32_t RENDER_BLOCK_FRAMES = 1600;   // audio frames of one 1/30 s block
constexpr uint32_t RENDER_FPS = 30;
constexpr uint64_t RENDER_WAV_MAX_FRAMES = 1073741814;  // frames x 4 + 36 fits in 32 bits
constexpr char RENDER_FILE_PREFIX[] = "kelvra-render-";  // every exported file's name starts so

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
  char file_name[KELVRA_NAME_SIZE];  // bare name in the media folder
  char title[160];
  char message[128];  // the worker's failure text
  double loudness_target;     // LUFS the sound is brought to; 0 for the mix as it is
  LoudnessFigures loudness;   // of the sound written so far (an MP4's as its AAC decodes)
  uint8_t loudness_measured;  // `loudness` holds figures
  uint8_t limited_by_peaks;   // the target was out of reach: the sound stops where its peaks allow
  // Processor time the job has used, of every thread working for it (its
  // worker, composer and encoder threads) and its share of its group's decoding.
  double cpu_seconds;
};

// The document as a job renders it: the project without its file text and
// JSON tree (so it shares no memory with the live one), each clip placed as
// on the job's canvas, and the folder its sources are read from.
struct EditSnapshot {
  Project project;
  char media_folder[KELVRA_PATH_SIZE];
};

struct RenderGroup;

struct RenderJob {
  // --- set when queued, then read by the worker; the UI thread does not
  // change them while a worker exists
  EditSnapshot* snapshot;                // the worker's private copy of the document; freed once collected
  char output_folder[KELVRA_PATH_SIZE];  // where the file is written
  // The canvases of the batch that share this job's decoding (null for a
  // WAV); shared by their jobs and freed with the last of them.
  RenderGroup* group;
  char thread_name[16];  // the worker's; every thread it starts (composer, encoder) inherits it

  // --- UI thread only
  std::thread* thread;    // the worker while it exists
  RenderRow row;          // the row as last collected; the worker writes only row.message
  uint64_t started_ms;
  uint64_t cpu_sample_ms;
  uint64_t cpu_time;      // the workers' CPU time at the last sample, 100 ns units
  uint64_t shared_time;   // the group's shared threads' CPU time at the last sample

  // --- shared through atomics: the worker writes, the UI thread reads
  // (`cancel` the other way round). row.message is written by the worker
  // before `ended`, and read only after it.
  std::atomic<int32_t> stage;     // RENDER_*
  std::atomic<int32_t> permille;  // progress
  std::atomic<int32_t> cancel;    // 1 asks the worker to stop after its block (Cancel, or closing)
  std::atomic<int32_t> ended;     // the worker has returned; joining it will not wait
  // The written sound's figures in hundredths (LUFS, LU, dBTP), published
  // about once a second; RENDER_NO_FIGURE until measured.
  std::atomic<int32_t> integrated;
  std::atomic<int32_t> range;
  std::atomic<int32_t> true_peak;
  std::atomic<int32_t> peak_limited;  // 1 once the worker settled short of the target
  // The worker's threads' CPU time (100 ns units) as it ended, taken before
  // they went; set before `ended`.
  std::atomic<uint64_t> cpu_total;
};

// The rows in list order, each pointing at its job's record. A worker writes
// into its record until it is collected, so records never move: a row leaving
// the list rotates the pointers instead.
struct RenderJobList {
  RenderJob* slot[RENDER_MAX_JOBS];
  RenderJob& operator[](uint64_t i) { return *slot[i]; }
  const RenderJob& operator[](uint64_t i) const { return *slot[i]; }
};

// Owned and used by one thread (the editor's UI thread, or kelvra-render's main).
struct RenderQueue {
  RenderJobList jobs;
  uint64_t job_count;  // finished rows leave the list when a new batch needs their room
  char output_folder[KELVRA_PATH_SIZE];  // empty: jobs write into the media folder
  uint32_t serial;  // jobs queued so far: names their threads
  RenderJob records[RENDER_MAX_JOBS];  // where `jobs` point
};

// What a batch renders: one MP4 per canvas of `canvases` (bit k for preset
// k), or with `wav` the mix, of `project` as it is now.
struct RenderRequest {
  const Project* project;
  const char* media_folder;  // where the sources are, and the files go unless the queue says otherwise
  uint32_t canvases;
  bool wav;
  uint64_t project_serial;   // tags the rows carry, so that a row's WAV mix of the same edit is found
  uint64_t edit_serial;
};

// ----------------------------------------------------------------- [queue]
RenderQueue* kelvra_render_create();
// Asks every worker to stop, waits for them, and frees everything.
void kelvra_render_destroy(RenderQueue* queue);
// Queues the request's jobs, the whole batch or nothing; the oldest finished
// rows leave the list when it is full (all but the row `keep` names, whose
// index after is written back; may be null), and stale partial files are
// swept from the output folder first.
bool render_queue_batch(RenderQueue* queue, const RenderRequest* request, uint64_t* keep = nullptr);
// Takes a finished, failed or cancelled row off the list; the rows after it move up.
void render_queue_remove_row(RenderQueue* queue, uint64_t row);
// Removes the partial files that killed exports left in `folder`: this
// program's, regular, owned by this user and older than an hour.
uint32_t kelvra_render_remove_partials(const char* folder);
// Collects ended workers, samples CPU use and starts queued jobs; whether a
// row changed its state.
bool render_queue_poll(RenderQueue* queue);
// Fills `rows` (24) with one row a job; the number of jobs.
uint64_t render_queue_rows(const RenderQueue* queue, RenderRow* rows);
// Stops a queued or running job: a queued one ends Cancelled at once, a
// running one after its current block (removing its partial file). False
// when the job has already ended.
bool render_queue_cancel(RenderQueue* queue, uint64_t row);
// The finished WAV mix of the same edit as `row` (the row itself for a mix); false when there is none.
bool render_queue_wav(const RenderQueue* queue, uint64_t row, RenderRow* out);
// Whether a timeline of `seconds` can be exported: it has a length, up to four hours.
bool render_length_ok(double seconds);
// The two lines a row shows: what it renders, and its state or message.
void kelvra_render_row_title(const RenderRow* row, char* out, uint64_t size);
void kelvra_render_row_status(const RenderRow* row, char* out, uint64_t size);
const char* kelvra_render_state_label(int32_t state);

// -------------------------------------------------------------- [loudness]
// Exports bring their sound to a loudness target: -14 LUFS for YouTube,
// Instagram, LinkedIn and SoundCloud, -16 LUFS for everywhere else, with true
// peaks at most -1 dBTP. A first pass measures the mix alone; the render then
// applies one constant gain, and a look-ahead limiter holds the peaks that
// gain would push past the ceiling. When the gain takes the peaks near the
// ceiling, passes through the limiter settle the gain so that what the
// limiter takes off does not leave the sound short of the target, as long as
// the limiter takes at most 2 LU off the loudness the gain alone would give:
// a limiter that catches short peaks costs little loudness, and one that
// costs more is pressing down the sound that carries the loudness. Where the
// target needs more, the sound stops at the gain where the limiter costs
// 2 LU, short of the target, and the row says "limited by peaks". An MP4's
// limiter starts 0.7 dB lower, room for what AAC adds to the peaks, and
// trial passes also encode and decode the sound as the file will hold it,
// moving the ceiling until its decoded true peak is at most -1.1 dBTP.
constexpr double LOUDNESS_PLATFORM_TARGET = -14.0;
constexpr double LOUDNESS_OTHER_TARGET = -16.0;
constexpr double LOUDNESS_LOWEST_TARGET = -40.0;
constexpr double LOUDNESS_HIGHEST_TARGET = -5.0;
constexpr double LOUDNESS_CEILING = -1.0;  // dBTP
constexpr int32_t RENDER_NO_FIGURE = INT32_MIN;

// The project's export target in LUFS; 0 when exports keep the mix's own loudness.
double kelvra_loudness_target(const Project* project);
// Reads "off" or a target in LUFS (-40..-5); false for anything else.
bool kelvra_loudness_parse(const char* text, double* target);
// The text of a target for buttons and the command line: "-14 LUFS", "off".
void kelvra_loudness_label(double target, char* out, uint64_t size);
// "-14.2 LUFS  ·  LRA 3.1 LU  ·  -1.0 dBTP" for a row with figures, with
// ", limited by peaks" after the LUFS when the target was out of reach; else "".
void kelvra_render_row_loudness(const RenderRow* row, char* out, uint64_t size);

// A true-peak-safe look-ahead limiter for 48 kHz stereo in 16-bit units.
// Peaks are found as the meter finds them (over-sampled 4x by the same
// resampler), the gain reaches what a peak needs by the time the peak
// leaves, and returns to unity over about 100 ms. Output lags input by
// LIMITER_DELAY frames.
constexpr uint32_t LIMITER_LOOKAHEAD = 240;  // 5 ms
constexpr uint32_t LIMITER_DETECTION = PEAK_FINDER_MOST_LAG;  // frames a peak is waited for
constexpr uint32_t LIMITER_DELAY = LIMITER_DETECTION + LIMITER_LOOKAHEAD - 1;
constexpr uint32_t LIMITER_PIECE = 256;  // frames taken in at a time
constexpr uint32_t LIMITER_RING = 1024;  // frames kept; a power of two above LIMITER_PIECE + LIMITER_DELAY
struct PeakLimiter {
  PeakFinder* finder;
  double ceiling;  // 16-bit units
  double release;  // share of the distance back to the held gain covered per frame
  double input[2 * LIMITER_RING];
  double peak[LIMITER_RING];  // each frame's over-sampled peak, once found
  int64_t found;              // frames with their peak found
  int64_t pushed;             // frames taken in
  // Required gains over the look-ahead, as a queue of rising minima.
  double minimum_gain[LIMITER_LOOKAHEAD];
  int64_t minimum_at[LIMITER_LOOKAHEAD];
  uint32_t minimum_head;
  uint32_t minimum_count;
  double envelope;
  double smoothing[LIMITER_LOOKAHEAD];  // the last envelope values, averaged into the gain
  double smoothing_sum;
  double found_peaks[LIMITER_PIECE + PEAK_FINDER_MOST_LAG];
};
// A limiter holding true peaks to `ceiling_dbtp`; null when out of memory.
PeakLimiter* kelvra_limiter_create(double ceiling_dbtp);
void kelvra_limiter_destroy(PeakLimiter* limiter);
// Takes `frames` stereo frames and gives as
// many, each the one LIMITER_DELAY frames earlier (silence before the first)
// with its gain applied; false when the peaks could not be found.
bool kelvra_limiter_process(PeakLimiter* limiter, const double* in, double* out, uint64_t frames);

// The export's sound block by block: the mix, and with a target its gain and
// limiter. A WAV's blocks are metered as they are handed out; an MP4's meter
// is given to its encoder, which meters the sound as it decodes again.
struct RenderSound {
  SoundFeed feed;   // the sources' sound, read in windows
  uint64_t frames;  // the export's length
  uint64_t mixed;   // frames of the mix taken in
  uint64_t delivered;  // frames handed out
  double gain;      // linear
  PeakLimiter* limiter;  // none when the sound keeps its level
  LoudnessMeter* meter;
  uint64_t skip;   // limiter output still to drop: the silence before the first frame
  uint64_t ready;  // frames waiting in `out`
  uint8_t failed;  // the limiter could not find the peaks
  uint8_t lossy;   // the sound goes to AAC
  int16_t out[2 * (2 * RENDER_BLOCK_FRAMES + LIMITER_DELAY)];
  double wide[2 * RENDER_BLOCK_FRAMES];
  double limited[2 * RENDER_BLOCK_FRAMES];
};
// Measures the mix (the job's RENDER_MEASURING stage, up to `share` permille
// of its progress) when `target` is not 0, settles the gain, and prepares the
// blocks; a MEDIA_* status. `sound` must be zeroed.
int32_t kelvra_render_sound_open(RenderSound* sound, RenderJob* job, const SoundPlan* plan, uint64_t frames,
                                 double target, int32_t share);
// The next `n` frames (at most RENDER_BLOCK_FRAMES) of the sound, in order;
// false when the sound can no longer be made.
bool kelvra_render_sound_block(RenderSound* sound, int16_t* out, uint64_t n);
// Publishes the written sound's figures to the job.
void kelvra_render_sound_report(RenderSound* sound, RenderJob* job);
// The file's sound is complete (an MP4's encoder finished): the meter takes
// its end and the final figures are published.
void kelvra_render_sound_written(RenderSound* sound, RenderJob* job);
void kelvra_render_sound_close(RenderSound* sound);
// Measures the integrated loudness and loudness range of `frames` of the
// export mix from the start (no true peak: the limiter finds those), a long
// mix in two halves on two threads; false when cancelled (`cancel` set) or
// out of memory. `permille` (may be null) counts up to `share`.
bool kelvra_loudness_measure(const SoundPlan* plan, uint64_t frames, const std::atomic<int32_t>* cancel,
                             std::atomic<int32_t>* permille, int32_t share, LoudnessFigures* out);
// The same through a limiter to `ceiling_dbtp` at `gain` (linear), without
// progress. With `decoded_peak` (null for none), the limited sound also goes
// through a trial of an MP4's sound encoder, as the render would hand it over,
// and the true peak of its decoded sound (dBTP) is written there.
bool kelvra_loudness_measure_limited(const SoundPlan* plan, uint64_t frames, double gain,
                                     double ceiling_dbtp, const std::atomic<int32_t>* cancel, LoudnessFigures* out,
                                     double* decoded_peak);

// ---------------------------------------------------------------- [worker]
// The thread body of one job: renders it and reports through its atomics.
void kelvra_render_worker(RenderJob* job);
// Renders the job's file; MEDIA_OK when the final file exists.
int32_t render_file(RenderJob* job);
// Moves a finished partial file to its final name, never over an existing
// file, flushed to disk; a MEDIA_* status.
int32_t render_move_into_place(const char* from, const char* to);
// The status that tells a failed system call's error number.
int32_t render_status_of_errno(int error);
// The row's text for a failed export: the cause where the status tells one
// (a full disk, a read-only folder), and the status's code.
void kelvra_render_failure_text(int32_t status, char* out, uint64_t size);

// --------------------------------------------------------------- [encoder]
struct MediaWriter;
struct MediaWriterConfig;
struct RenderEncoder {
  MediaWriter* writer;  // none when closed
  uint32_t video_stream;
  uint32_t audio_stream;
};
// Opens an MP4 at `path` for the preset's size: H.264 at width x height x 4
// bits a second, 30 frames a second, AAC 48 kHz stereo at 192 kbit/s. With
// `decoded` (may be null) its AAC is decoded again into that meter. The
// picture encoder runs `threads` threads, or with 0 as many as the machine has
// cores. With `shared_sound` (may be null) the file's sound is that sound
// writer's packets (media_writer_sound_packet) and it encodes none itself.
int32_t kelvra_encoder_open(RenderEncoder* encoder, const char* path, const CanvasPreset* preset,
                            LoudnessMeter* decoded, uint32_t threads, const MediaWriter* shared_sound);
// The sound settings of every export MP4, for its writer and for trials of its sound.
void kelvra_encoder_sound(MediaWriterConfig* config);
// One picture (NV12) or block of sound (16-bit stereo) with its time and duration in 100 ns units.
int32_t kelvra_encoder_sample(RenderEncoder* encoder, uint32_t stream, const void* bytes, uint64_t length,
                              int64_t time, int64_t duration);
// Completes the file; MEDIA_E_POINTER when nothing is open. The writer is closed in any case.
int32_t kelvra_encoder_finish(RenderEncoder* encoder);

// --------------------------------------------------------------- [picture]
struct RenderPicture;
RenderPicture* kelvra_render_picture_create(const EditSnapshot* snapshot, const CanvasPreset* preset);
void kelvra_render_picture_destroy(RenderPicture* picture);
// The canvas at timeline time `t`: rows of B, G, R, X bytes, `stride` apart,
// valid until the next call; null on failure, with `message` (128 bytes)
// written when a source could not be decoded.
const uint8_t* kelvra_render_compose(RenderPicture* picture, double t, char* message, uint32_t* stride);
// One decoded layer of the stack at a time: the clip it shows and its picture
// (B, G, R, X rows, width x 4 bytes apart).
struct RenderLayer {
  uint64_t clip;
  const uint8_t* pixels;
  uint32_t width;
  uint32_t height;
};
// The canvas at `t` from layers decoded elsewhere (the stack at `t`, top
// first), placed as the picture's snapshot places them on its canvas; valid
// until the next call, null on failure.
const uint8_t* kelvra_render_compose_layers(RenderPicture* picture, double t, const RenderLayer* layers,
                                            uint64_t count, uint32_t* stride);

// ----------------------------------------------------------------- [group]
// The canvases of one batch render together: one thread of the group
// decodes the picture of every layer and mixes (and measures) the sound once
// a block for all of them, and each canvas's worker composes its own picture
// from those on a composer thread, converts it and encodes it with the sound
// into its own file. A canvas that is cancelled or whose file fails leaves
// the group; the others go on.

// A group rendering `snapshot` (copied) with the loudness `target` (0 for
// none), held by one job; null when out of memory.
RenderGroup* render_group_create(const EditSnapshot* snapshot, double target);
// One more job holds the group.
void render_group_hold(RenderGroup* group);
// A job lets go of the group; the last one waits for its thread and frees it.
void render_group_release(RenderGroup* group);
bool render_group_started(const RenderGroup* group);
// Starts the group's thread for `jobs` (at most RENDER_GROUP_CANVASES, their
// workers about to start); false when it could not start.
bool render_group_start(RenderGroup* group, RenderJob* const* jobs, uint32_t count);
// The job's canvas leaves the group (its worker could not start).
void render_group_leave(RenderGroup* group, const RenderJob* job);
// Brings the group's shared processor time up to date, split evenly among
// the canvases still rendering, and gives `job`'s share so far (100 ns units).
uint64_t render_group_shared_time(RenderGroup* group, const RenderJob* job);
// The worker body of a job of a group: renders its canvas's file; MEDIA_OK
// when the final file exists.
int32_t render_group_file(RenderJob* job);

