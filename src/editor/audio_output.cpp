// The preview audio output. Each frame the update decides whether a stream
// may run (the transport plays, its start is not held for sound or picture),
// restarts it after any seek or mode change, and refills the buffers the
// device has finished with the mix of the next 1/30 s. The timeline's mix is
// made ahead on the sound stream's thread; this only moves its blocks on.
//
// Index:
//   [record]   the output record, create, destroy, position
//   [start]    what the stream plays and whether its start may go ahead
//   [timeline] timeline playback from the sound stream
//   [update]   kelvra_audio_update
#include "editor/audio_output.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "editor/app.h"
#include "editor/editor.h"
#include "media/audio_mix.h"
#include "media/sound_stream.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "project/timeline_map.h"

// ------------------------------------------------------------------ [record]

struct AudioOutput {
  UiAudio* device;  // null until opened
  SoundStream* stream;  // the timeline's mix; made on first timeline playback
  uint64_t mixed_seek_serial;  // the seek the stream was started for
  uint8_t mixing;              // the stream runs for the current timeline playback
  uint8_t stream_failed;
  int16_t buffers[AUDIO_BUFFERS][AUDIO_BUFFER_FRAMES * 2];
  double start_time;  // playback time at which the stream started, in the started mode's time base
  double write_time;  // playback time of the next buffer to write
  uint64_t started_seek_serial;
  uint32_t started_mode;
  uint32_t next_buffer;  // the buffer the next fill uses
  uint8_t started;
  uint8_t open_failed;  // silent until playback stops
};

namespace {

constexpr uint32_t kBufferBytes = AUDIO_BUFFER_FRAMES * 4;
constexpr double kBufferSeconds = 1.0 / 30.0;
constexpr double kBytesPerSecond = 192000.0;

const char kBuffering[] = "Buffering preview audio...";

}  // namespace

void kelvra_audio_mix(const KelvraApp* app, const WavePcm* pcm, double start, int16_t* out, uint64_t frames) {
  switch (app->transport_mode) {
    case TRANSPORT_SCORE:
      audio_mix_score(&app->project.score, start, out, frames);
      return;
    case TRANSPORT_SOURCE:
      audio_mix_source(pcm, start, out, frames);
      return;
    case TRANSPORT_SAMPLE: {
      SampleRange range;
      kelvra_sample_range(&range, app);
      audio_mix_range(&range, pcm, start, out, frames);
      return;
    }
    default:  // the timeline is mixed ahead by the sound stream
      std::memset(out, 0, sizeof(int16_t) * 2 * frames);
      return;
  }
}

AudioOutput* kelvra_audio_create() { return new (std::nothrow) AudioOutput{}; }

void kelvra_audio_destroy(AudioOutput* output) {
  if (output == nullptr) return;
  if (output->device != nullptr) {
    ui_audio_reset(output->device);
    ui_audio_close(output->device);
  }
  sound_stream_destroy(output->stream);
  delete output;
}

bool kelvra_audio_position(const KelvraApp* app, double* seconds) {
  const AudioOutput* output = app->audio_out;
  if (output == nullptr || !output->started || output->device == nullptr ||
      output->started_mode != app->transport_mode || output->started_seek_serial != app->seek_serial)
    return false;
  const double played = static_cast<double>(ui_audio_played(output->device)) / kBytesPerSecond;
  const double position = output->start_time + played;
  *seconds = position < output->write_time ? position : output->write_time;
  return true;
}

AudioOutputState kelvra_audio_state(const AudioOutput* output) {
  if (output == nullptr) return AudioOutputState{};
  return AudioOutputState{output->start_time, output->write_time, output->started, output->open_failed,
                          static_cast<uint8_t>(output->device != nullptr)};
}

SoundStream* kelvra_audio_stream(const AudioOutput* output) { return output == nullptr ? nullptr : output->stream; }

// ------------------------------------------------------------------- [start]

namespace {

void stop_stream(AudioOutput* output) {
  if (output->started && output->device != nullptr) ui_audio_reset(output->device);
  output->started = 0;
}

// The file extensions whose sources are taken to carry pictures.
bool video_extension(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr || std::strchr(dot, '/') != nullptr) return false;
  char lower[8] = "";
  size_t i = 0;
  for (; dot[i] != '\0' && i + 1 < sizeof lower; ++i)
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(dot[i])));
  if (dot[i] != '\0') return false;
  lower[i] = '\0';
  for (const char* known : {".mp4", ".mov", ".m4v", ".wmv", ".avi", ".mkv", ".webm"})
    if (std::strcmp(lower, known) == 0) return true;
  return false;
}

// Whether the first picture of a (re)started sample or timeline playback is
// on screen, so that the sound may start with it.
bool picture_ready(KelvraApp* app, uint64_t now) {
  const uint32_t mode = app->transport_mode;
  if (app->program_video == nullptr || now >= app->start_deadline_ms) return true;
  if (mode == TRANSPORT_SOURCE || mode == TRANSPORT_SCORE) return true;
  const Project& project = app->project;
  char path[KELVRA_PATH_SIZE];
  double expected = 0;
  if (mode == TRANSPORT_SAMPLE) {
    if (static_cast<uint64_t>(app->selected_source) >= project.source_count) return true;
    SampleRange range;
    kelvra_sample_range(&range, app);
    if (!range.video) return true;
    if (!kelvra_path(app->media_folder, project.sources[app->selected_source].file, path)) return true;
    expected = app->sample_media_time;
  } else {
    const Clip* top = kelvra_active_video(app);
    if (top == nullptr) return true;
    if (static_cast<uint64_t>(top->source) >= project.source_count ||
        !kelvra_path(app->media_folder, project.sources[top->source].file, path))
      return true;
    expected = kelvra_layer_time(top, app->timeline_playhead);
  }
  double shown = 0;
  if (kelvra_video_position(app->program_video, path, &shown) && shown - expected <= 0.075 &&
      expected - shown <= 0.075)
    return true;
  // A sample of a file without pictures has nothing to wait for.
  return mode == TRANSPORT_SAMPLE && !kelvra_video_position(app->source_video, path, nullptr) &&
         !video_extension(path);
}

}  // namespace

// ---------------------------------------------------------------- [timeline]

namespace {

void stop_mixing(AudioOutput* output) {
  if (output->mixing) sound_stream_stop(output->stream);
  output->mixing = 0;
}

// Opens the device once; false (and silent until playback stops) when it cannot.
bool open_device(KelvraApp* app, AudioOutput* output) {
  if (output->device != nullptr) return true;
  uint32_t error = 0;
  output->device = ui_audio_open(&error);
  if (output->device != nullptr) return true;
  char message[96];
  std::snprintf(message, sizeof message, "Audio output could not open (error %u).", error);
  kelvra_status(app, message);
  output->open_failed = 1;
  return false;
}

// Timeline playback: the stream mixes from the playhead of each seek and
// follows every edit; its blocks go to the device as it frees its buffers.
// A (re)started playback waits for the first buffers and the first picture.
void timeline_update(KelvraApp* app, AudioOutput* output) {
  if (output->stream == nullptr && !output->stream_failed) {
    output->stream = sound_stream_create();
    if (output->stream == nullptr) {
      output->stream_failed = 1;
      kelvra_status(app, "The preview sound could not start; the timeline plays without it.");
    }
  }
  if (output->stream == nullptr) {  // plays on the wall clock
    app->start_pending = 0;
    return;
  }
  if (!output->mixing || output->mixed_seek_serial != app->seek_serial) {
    stop_stream(output);
    sound_stream_start(output->stream, &app->project, app->media_folder, app->timeline_playhead);
    output->mixing = 1;
    output->mixed_seek_serial = app->seek_serial;
  } else if (sound_stream_differs(output->stream, &app->project)) {
    sound_stream_change(output->stream, &app->project);
  }
  char message[128];
  if (sound_stream_message(output->stream, message)) kelvra_status(app, message);

  if (app->start_pending) {
    const uint64_t now = ui_time_ms();
    if (sound_stream_ready(output->stream) < AUDIO_BUFFERS) {
      if (now >= app->start_deadline_ms && std::strcmp(app->status, kBuffering) != 0) kelvra_status(app, kBuffering);
      return;
    }
    if (!picture_ready(app, now)) return;
    app->start_pending = 0;
    app->tick_time_ms = now;
    if (std::strcmp(app->status, kBuffering) == 0) kelvra_status(app, "");
  }
  if (output->open_failed || !open_device(app, output)) return;

  const uint64_t queued = ui_audio_queued(output->device);
  const uint64_t held = (queued + kBufferBytes - 1) / kBufferBytes;
  for (uint64_t i = held; i < AUDIO_BUFFERS; ++i) {
    int16_t* buffer = output->buffers[output->next_buffer];
    double time = 0;
    if (!sound_stream_take(output->stream, buffer, &time)) break;  // the device plays on what it has
    if (!output->started) {
      output->started = 1;
      output->start_time = time;
      output->started_seek_serial = app->seek_serial;
      output->started_mode = TRANSPORT_TIMELINE;
    }
    uint32_t error = 0;
    if (!ui_audio_queue(output->device, buffer, kBufferBytes, &error)) {
      char text[96];
      std::snprintf(text, sizeof text, "The audio device rejected the preview audio (error %u).", error);
      kelvra_status(app, text);
      stop_stream(output);
      output->open_failed = 1;
      break;
    }
    output->next_buffer = (output->next_buffer + 1) % AUDIO_BUFFERS;
    output->write_time = time + kBufferSeconds;
  }
}

}  // namespace

// ------------------------------------------------------------------ [update]

void kelvra_audio_update(KelvraApp* app) {
  AudioOutput* output = app->audio_out;
  if (output == nullptr) return;
  if (!app->playing) {
    stop_stream(output);
    stop_mixing(output);
    output->open_failed = 0;
    app->start_pending = 0;
    return;
  }
  const uint32_t mode = app->transport_mode;
  if (output->started && (output->started_mode != mode || output->started_seek_serial != app->seek_serial))
    stop_stream(output);
  if (mode == TRANSPORT_TIMELINE) {
    timeline_update(app, output);
    return;
  }
  stop_mixing(output);

  // What plays from when, and whose decoded sound the mix needs.
  const Project& project = app->project;
  uint64_t source = KELVRA_NONE;
  double start = 0;
  switch (mode) {
    case TRANSPORT_SOURCE:
      source = static_cast<uint64_t>(app->selected_source);
      start = app->source_playhead;
      break;
    case TRANSPORT_SAMPLE: {
      source = static_cast<uint64_t>(app->selected_source);
      start = app->sample_elapsed;
      SampleRange range;
      kelvra_sample_range(&range, app);
      if (!range.audio) source = KELVRA_NONE;
      break;
    }
    default:
      start = app->roll.score_playhead;
      break;
  }

  WaveWorker* wave = app->wave;
  WavePcm pcm{};
  bool acquired = false;
  uint32_t state = WAVE_FAILED;
  char path[KELVRA_PATH_SIZE];
  const bool have_source = source < project.source_count;
  if (have_source && kelvra_path(app->media_folder, project.sources[source].file, path)) {
    kelvra_wave_request(wave, path);
    state = kelvra_wave_state(wave, path, nullptr);
    if (state == WAVE_READY) {
      acquired = kelvra_wave_acquire(wave, path, &pcm);
      if (!acquired) state = WAVE_PENDING;  // replaced between the two calls: wait for the next frame
    }
    if (state == WAVE_PENDING && app->start_pending) {
      if (std::strcmp(app->status, kBuffering) != 0) kelvra_status(app, kBuffering);
      stop_stream(output);
      return;
    }
  }

  if (app->start_pending) {
    const uint64_t now = ui_time_ms();
    if (!picture_ready(app, now)) {
      if (acquired) kelvra_wave_release(wave);
      return;
    }
    app->start_pending = 0;
    app->tick_time_ms = now;
    if (have_source && state != WAVE_READY)
      kelvra_status(app, state == WAVE_TOO_LARGE ? "Source audio exceeds the preview PCM buffer."
                                                 : "Could not decode audio from this source.");
    else if (std::strcmp(app->status, kBuffering) == 0)
      kelvra_status(app, "");
  }

  // Source and sample playback without sound run on the wall clock.
  if (!acquired && (mode == TRANSPORT_SOURCE || mode == TRANSPORT_SAMPLE)) {
    stop_stream(output);
    return;
  }
  const WavePcm* sound = acquired ? &pcm : nullptr;
  if (output->open_failed) {
    if (acquired) kelvra_wave_release(wave);
    return;
  }
  if (output->device == nullptr) {
    uint32_t error = 0;
    output->device = ui_audio_open(&error);
    if (output->device == nullptr) {
      char message[96];
      std::snprintf(message, sizeof message, "Audio output could not open (error %u).", error);
      kelvra_status(app, message);
      output->open_failed = 1;
      if (acquired) kelvra_wave_release(wave);
      return;
    }
  }
  if (!output->started) {
    output->started = 1;
    output->start_time = start;
    output->write_time = start;
    output->started_seek_serial = app->seek_serial;
    output->started_mode = mode;
  }

  // Top up the buffers the device has finished with.
  const uint64_t queued = ui_audio_queued(output->device);
  const uint64_t held = (queued + kBufferBytes - 1) / kBufferBytes;
  for (uint64_t i = held; i < AUDIO_BUFFERS; ++i) {
    int16_t* buffer = output->buffers[output->next_buffer];
    kelvra_audio_mix(app, sound, output->write_time, buffer, AUDIO_BUFFER_FRAMES);
    uint32_t error = 0;
    if (!ui_audio_queue(output->device, buffer, kBufferBytes, &error)) {
      char message[96];
      std::snprintf(message, sizeof message, "The audio device rejected the preview audio (error %u).", error);
      kelvra_status(app, message);
      stop_stream(output);
      output->open_failed = 1;
      break;
    }
    output->next_buffer = (output->next_buffer + 1) % AUDIO_BUFFERS;
    output->write_time += kBufferSeconds;
  }
  if (acquired) kelvra_wave_release(wave);
}
