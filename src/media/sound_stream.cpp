// The timeline's sound mixed ahead on its own thread.
//
// The UI thread and the mix thread share the ring and the request under the
// worker's lock. Every start, change and stop bumps `generation`, so that a
// block the thread was mixing when the request came is thrown away instead
// of landing in the ring. The thread plans and opens sources without the
// lock: a slow disk never holds up the frame.
//
// Index:
//   [copies]  the project copies the thread mixes and their comparison
//   [thread]  the mix thread's loop
//   [api]     create, destroy, start, stop, change, take
#include "media/sound_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "media/audio_mix.h"
#include "media/sound_feed.h"
#include "media/worker.h"
#include "project/project.h"

namespace {

enum : uint8_t {
  kRequestNone = 0,
  kRequestStart = 1,
  kRequestChange = 2,
  kRequestStop = 3,
};

constexpr uint32_t kBlockSamples = SOUND_STREAM_FRAMES * 2;
constexpr uint32_t kStopGraceMs = 1000;

}  // namespace

struct SoundStream {
  WorkerThread worker;

  // --- UI thread only
  Project* sent = nullptr;  // the copy last handed to the thread

  // --- under worker.lock
  Project* pending = nullptr;  // a copy waiting for the thread
  char pending_folder[KELVRA_PATH_SIZE] = "";
  uint8_t request = kRequestNone;
  uint64_t generation = 0;
  uint64_t base_frame = 0;  // the first frame of block 0 since the last start
  uint64_t taken = 0;       // blocks taken since the last start
  uint64_t filled = 0;      // blocks mixed since the last start (filled - taken are ready)
  uint8_t running = 0;      // a start is in force
  int16_t ring[SOUND_STREAM_BLOCKS][kBlockSamples] = {};
  char message[128] = "";
  uint8_t message_new = 0;
  uint64_t feed_bytes = 0;
  uint64_t mixed = 0;

  // --- mix thread only
  Project* project = nullptr;
  SoundPlan plan{};
  SoundFeed feed{};
  uint8_t feed_open = 0;
  uint64_t lost_told = 0;
  double wide[kBlockSamples] = {};
  int16_t block[kBlockSamples] = {};
};

// ------------------------------------------------------------------ [copies]

namespace {

// A copy of the project that shares no heap memory with it; null when memory runs out.
Project* copy_project(const Project* project, Project* into) {
  if (into == nullptr) into = static_cast<Project*>(std::malloc(sizeof(Project)));
  if (into == nullptr) return nullptr;
  std::memcpy(into, project, sizeof(Project));
  into->file_text = nullptr;
  std::memset(&into->document, 0, sizeof(JsonDocument));
  return into;
}

// Whether the mix of `a` and `b` may differ: their clips, their sources'
// files or their scores differ.
bool mix_differs(const Project& a, const Project& b) {
  if (a.clip_count != b.clip_count || a.source_count != b.source_count) return true;
  const uint64_t clips = std::min(a.clip_count, PROJECT_MAX_ROWS);
  if (std::memcmp(a.clips, b.clips, clips * sizeof(Clip)) != 0) return true;
  for (uint64_t i = 0; i < std::min(a.source_count, PROJECT_MAX_ROWS); ++i)
    if (std::strcmp(a.sources[i].file, b.sources[i].file) != 0) return true;
  const Score& s = a.score;
  const Score& t = b.score;
  if (s.bpm != t.bpm || s.master != t.master || s.rolls != t.rolls || s.region_count != t.region_count ||
      s.note_count != t.note_count)
    return true;
  return std::memcmp(s.regions, t.regions, std::min(s.region_count, SCORE_MAX_REGIONS) * sizeof(ScoreRegion)) != 0 ||
         std::memcmp(s.notes, t.notes, std::min(s.note_count, SCORE_MAX_NOTES) * sizeof(ScoreNote)) != 0;
}

// Whether every clip reads the same source (or none) in both: a feed's
// windows, kept by clip, then still read the right files.
bool same_sources(const Project& a, const Project& b) {
  if (a.clip_count != b.clip_count) return false;
  for (uint64_t i = 0; i < std::min(a.clip_count, PROJECT_MAX_ROWS); ++i) {
    const Clip& x = a.clips[i];
    const Clip& y = b.clips[i];
    const bool hx = x.audio && !x.music;
    const bool hy = y.audio && !y.music;
    if (hx != hy || (hx && x.source != y.source)) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ [thread]

namespace {

void close_feed(SoundStream* stream) {
  if (stream->feed_open) audio_feed_close(&stream->feed);
  stream->feed_open = 0;
}

// Plans the thread's project from `folder` and opens a feed over it; the
// plan's message, if any, in `message`.
void open_feed(SoundStream* stream, const char* folder, char* message) {
  close_feed(stream);
  message[0] = '\0';
  if (!audio_plan_open_playable(&stream->plan, stream->project, folder, message) && message[0] == '\0')
    std::snprintf(message, 128, "Some source sound could not be read.");
  audio_feed_open(&stream->feed, &stream->plan);
  stream->feed.keep_going = 1;
  stream->feed_open = 1;
  stream->lost_told = 0;
}

// Takes a request under the lock and carries it out without it.
void serve_request(SoundStream* stream, std::unique_lock<std::mutex>* hold) {
  const uint8_t request = stream->request;
  stream->request = kRequestNone;
  Project* incoming = stream->pending;
  stream->pending = nullptr;
  char folder[KELVRA_PATH_SIZE];
  std::memcpy(folder, stream->pending_folder, sizeof folder);
  hold->unlock();

  char message[128] = "";
  if (request == kRequestStop) {
    close_feed(stream);
    std::free(incoming);
  } else if (incoming != nullptr) {
    const bool keep = request == kRequestChange && stream->feed_open && stream->project != nullptr &&
                      same_sources(*stream->project, *incoming);
    if (keep) {
      std::memcpy(stream->project, incoming, sizeof(Project));  // the plan and feed point at this copy
      std::free(incoming);
    } else {
      close_feed(stream);
      std::free(stream->project);
      stream->project = incoming;
      open_feed(stream, folder, message);
    }
  }

  hold->lock();
  if (message[0] != '\0') {
    std::memcpy(stream->message, message, sizeof message);
    stream->message_new = 1;
  }
}

// Mixes the next block without the lock; it lands in the ring only when no
// request came meanwhile.
void mix_block(SoundStream* stream, std::unique_lock<std::mutex>* hold) {
  const uint64_t generation = stream->generation;
  const uint64_t index = stream->filled;
  const uint64_t frame = stream->base_frame + index * SOUND_STREAM_FRAMES;
  hold->unlock();

  const double start = static_cast<double>(frame) / MIX_RATE;
  if (!stream->feed_open || !audio_feed_mix_wide(&stream->feed, start, stream->wide, SOUND_STREAM_FRAMES))
    std::memset(stream->wide, 0, sizeof stream->wide);
  // Rounded as the export rounds its mix.
  for (uint32_t i = 0; i < kBlockSamples; ++i) {
    const double v = stream->wide[i];
    stream->block[i] = std::isnan(v) ? 0 : static_cast<int16_t>(std::round(std::clamp(v, -32768.0, 32767.0)));
  }
  char message[128] = "";
  if (stream->feed_open && stream->feed.lost_count > stream->lost_told) {
    stream->lost_told = stream->feed.lost_count;
    for (uint64_t s = 0; s < PROJECT_MAX_ROWS; ++s)
      if (stream->feed.lost[s] && s < stream->project->source_count) {
        std::snprintf(message, sizeof message, "Source file missing: %.99s", stream->project->sources[s].file);
        break;
      }
  }

  hold->lock();
  stream->mixed += 1;
  stream->feed_bytes = stream->feed_open ? stream->feed.bytes : 0;
  if (message[0] != '\0') {
    std::memcpy(stream->message, message, sizeof message);
    stream->message_new = 1;
  }
  if (generation != stream->generation || index != stream->filled) return;
  std::memcpy(stream->ring[index % SOUND_STREAM_BLOCKS], stream->block, sizeof stream->block);
  stream->filled = index + 1;
}

void run(void* owner) {
  SoundStream* stream = static_cast<SoundStream*>(owner);
  WorkerThread* worker = &stream->worker;
  std::unique_lock<std::mutex> hold(worker->lock);
  for (;;) {
    worker->wake_changed.wait(hold, [stream, worker] {
      return worker->stop_requested || stream->request != kRequestNone ||
             (stream->running && stream->filled - stream->taken < SOUND_STREAM_BLOCKS);
    });
    if (worker->stop_requested) break;
    if (stream->request != kRequestNone) {
      serve_request(stream, &hold);
      continue;
    }
    mix_block(stream, &hold);
  }
  hold.unlock();
  close_feed(stream);
}

void free_stream(void* owner) {
  SoundStream* stream = static_cast<SoundStream*>(owner);
  std::free(stream->sent);
  std::free(stream->pending);
  std::free(stream->project);
  delete stream;
}

}  // namespace

// --------------------------------------------------------------------- [api]

SoundStream* sound_stream_create() {
  SoundStream* stream = new (std::nothrow) SoundStream;
  if (stream == nullptr) return nullptr;
  if (!worker_start(&stream->worker, run, stream, free_stream)) {
    delete stream;
    return nullptr;
  }
  return stream;
}

void sound_stream_destroy(SoundStream* stream) {
  if (stream == nullptr) return;
  if (worker_stop(&stream->worker, kStopGraceMs)) free_stream(stream);
}

namespace {

// Two copies of `project`: the UI's record of what it handed over, and the
// thread's; null when memory ran out.
Project* copies(SoundStream* stream, const Project* project) {
  Project* sent = copy_project(project, stream->sent);
  if (sent == nullptr) return nullptr;
  stream->sent = sent;
  return copy_project(sent, nullptr);
}

// Under the lock: the copy goes to the thread with `request`, and whatever
// the thread is mixing now is thrown away.
void hand_over_locked(SoundStream* stream, Project* copy, uint8_t request) {
  std::free(stream->pending);
  stream->pending = copy;
  // A change before the thread took the start is still that start.
  if (!(request == kRequestChange && stream->request == kRequestStart)) stream->request = request;
  stream->generation += 1;
  stream->worker.wake_changed.notify_one();
}

}  // namespace

void sound_stream_start(SoundStream* stream, const Project* project, const char* folder, double start) {
  if (stream == nullptr) return;
  Project* copy = copies(stream, project);
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  stream->taken = 0;
  stream->filled = 0;
  stream->message_new = 0;
  if (copy == nullptr) {
    stream->running = 0;
    stream->request = kRequestStop;
    stream->generation += 1;
    std::snprintf(stream->message, sizeof stream->message, "Not enough memory to mix the preview sound.");
    stream->message_new = 1;
    stream->worker.wake_changed.notify_one();
    return;
  }
  std::snprintf(stream->pending_folder, sizeof stream->pending_folder, "%s", folder);
  const double frame = std::round(std::max(start, 0.0) * MIX_RATE);
  stream->base_frame = static_cast<uint64_t>(std::min(frame, 1e15));
  stream->running = 1;
  hand_over_locked(stream, copy, kRequestStart);
}

void sound_stream_stop(SoundStream* stream) {
  if (stream == nullptr) return;
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  if (!stream->running && stream->request == kRequestNone) return;
  stream->running = 0;
  stream->request = kRequestStop;
  stream->generation += 1;
  stream->taken = 0;
  stream->filled = 0;
  stream->worker.wake_changed.notify_one();
}

bool sound_stream_differs(const SoundStream* stream, const Project* project) {
  return stream != nullptr && (stream->sent == nullptr || mix_differs(*stream->sent, *project));
}

void sound_stream_change(SoundStream* stream, const Project* project) {
  if (stream == nullptr) return;
  Project* copy = copies(stream, project);
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  if (copy == nullptr || !stream->running) {
    std::free(copy);
    return;
  }
  stream->filled = stream->taken;  // what is not taken yet is mixed again
  hand_over_locked(stream, copy, kRequestChange);
}

uint32_t sound_stream_ready(SoundStream* stream) {
  if (stream == nullptr) return 0;
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  return static_cast<uint32_t>(stream->filled - stream->taken);
}

bool sound_stream_take(SoundStream* stream, int16_t* out, double* start) {
  if (stream == nullptr) return false;
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  if (!stream->running || stream->filled == stream->taken) return false;
  const uint64_t index = stream->taken++;
  std::memcpy(out, stream->ring[index % SOUND_STREAM_BLOCKS], sizeof stream->ring[0]);
  *start = static_cast<double>(stream->base_frame + index * SOUND_STREAM_FRAMES) / MIX_RATE;
  stream->worker.wake_changed.notify_one();
  return true;
}

bool sound_stream_message(SoundStream* stream, char* out) {
  if (stream == nullptr) return false;
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  if (!stream->message_new) return false;
  stream->message_new = 0;
  std::memcpy(out, stream->message, sizeof stream->message);
  return true;
}

SoundStreamState sound_stream_state(SoundStream* stream) {
  if (stream == nullptr) return SoundStreamState{};
  std::lock_guard<std::mutex> hold(stream->worker.lock);
  return SoundStreamState{stream->feed_bytes, stream->mixed, stream->running};
}
