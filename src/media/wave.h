// The audio decoding worker: decodes a source into 16-bit PCM with a
// 512-bin peak envelope on its own thread.
#pragma once

#include <cstdint>

struct WaveWorker;

// A decoded PCM block: interleaved signed 16-bit samples, `channels` values a
// frame. A plain value record; whoever holds it owns the samples.
struct WavePcm {
  int16_t* samples;   // null when not kept
  uint64_t frames;
  uint32_t rate;      // 8000..192000 frames per second
  uint32_t channels;  // 1..16
};

constexpr uint32_t WAVE_PEAKS = 512;

WaveWorker* kelvra_wave_create();
void kelvra_wave_destroy(WaveWorker* worker);
uint64_t kelvra_wave_bytes(WaveWorker* worker);
bool kelvra_wave_read(WaveWorker* worker, const char* path, uint16_t* peaks, uint64_t* serial);
