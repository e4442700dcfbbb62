// The preview audio output: the default sound device at 48 kHz stereo, kept
// fed from the UI thread with three 1/30 s buffers of the transport's mix.
// The timeline's mix (every audible clip and the music clips, as the export
// mixes them) is made ahead on the sound stream's own thread.
// Its play position is the transport's clock while it plays, and it holds a
// (re)started playback until the sound, and for sample and timeline playback
// the first picture, are ready.
#pragma once

#include <cstdint>

struct AudioOutput;
struct KelvraApp;

constexpr uint32_t AUDIO_BUFFERS = 3;
constexpr uint32_t AUDIO_BUFFER_FRAMES = 1600;  // 1/30 s

struct WavePcm;

// Writes `frames` interleaved stereo frames for the transport's source, sample
// or score mode from `start` seconds (source time, elapsed sample time or
// score time). Silence in any other mode, without PCM in the source and
// sample modes, and for score chunks longer than 1600 frames.
void kelvra_audio_mix(const KelvraApp* app, const WavePcm* pcm, double start, int16_t* out, uint64_t frames);

// The record only; the device opens on first use. Null when memory runs out.
AudioOutput* kelvra_audio_create();
// Stops and closes the device; null allowed.
void kelvra_audio_destroy(AudioOutput* output);
// Keeps the device fed or stopped according to the transport; once per frame.
void kelvra_audio_update(KelvraApp* app);
// The device's position in the transport's time base, never past the sound
// already written; false unless a stream of the current mode and seek plays.
bool kelvra_audio_position(const KelvraApp* app, double* seconds);

// What the output is doing, for tests.
struct AudioOutputState {
  double start_time;
  double write_time;
  uint8_t started;
  uint8_t open_failed;
  uint8_t device_open;
};
AudioOutputState kelvra_audio_state(const AudioOutput* output);
// The timeline's sound stream, null before the first timeline playback.
struct SoundStream;
SoundStream* kelvra_audio_stream(const AudioOutput* output);
