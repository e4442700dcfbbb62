// Sound decoding: a whole source decoded into one block of 16-bit PCM with a
// 512-bin peak envelope, by one background worker that holds the result for
// one source at a time; the export calls the same routine directly.
#pragma once

#include <cstdint>

struct WaveWorker;

constexpr uint32_t WAVE_PEAKS = 512;
constexpr uint64_t WAVE_PREVIEW_BUDGET = 33554432;  // bytes of PCM kept for the preview

// A decoded PCM block: interleaved signed 16-bit samples, `channels` values a
// frame. A plain value record; whoever holds it owns the samples.
struct WavePcm {
  int16_t* samples;   // null when not kept
  uint64_t frames;
  uint32_t rate;      // 8000..192000 frames per second
  uint32_t channels;  // 1..16
};

enum : uint32_t {
  WAVE_PENDING = 0,    // nothing published for this path yet
  WAVE_READY = 1,      // PCM, peaks and duration are available
  WAVE_FAILED = 2,     // decoding failed (also what a null worker reports)
  WAVE_TOO_LARGE = 3,  // peaks and duration available, the PCM did not fit the budget
};

// Decodes `path`. With a worker, gives up as soon as a newer request or a stop
// arrives. `peaks` (512 values, cleared by the caller) is raised in place when
// given. On success `out` holds the samples (the caller owns them) or none.
bool audio_wave_decode(WaveWorker* worker, uint64_t serial, const char* path, uint16_t* peaks, WavePcm* out,
                       double* duration, uint64_t budget);

WaveWorker* kelvra_wave_create();
void kelvra_wave_destroy(WaveWorker* worker);
void kelvra_wave_request(WaveWorker* worker, const char* path);
uint32_t kelvra_wave_state(WaveWorker* worker, const char* path, double* duration);
// True with the worker's lock held when samples are published for `path`;
// kelvra_wave_release must follow on the same thread.
bool kelvra_wave_acquire(WaveWorker* worker, const char* path, WavePcm* out);
void kelvra_wave_release(WaveWorker* worker);
uint64_t kelvra_wave_bytes(WaveWorker* worker);
bool kelvra_wave_read(WaveWorker* worker, const char* path, uint16_t* peaks, uint64_t* serial);

// True when a newer request or a stop makes the decode of `serial` pointless
// (takes the worker's lock briefly).
bool wave_worker_superseded(WaveWorker* worker, uint64_t serial);
