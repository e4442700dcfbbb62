// The audio decoding worker: decodes a source into 16-bit PCM with a
// 512-bin peak envelope on its own thread.
#pragma once

#include <cstdint>

struct WaveWorker;

constexpr uint32_t WAVE_PEAKS = 512;

WaveWorker* kelvra_wave_create();
void kelvra_wave_destroy(WaveWorker* worker);
uint64_t kelvra_wave_bytes(WaveWorker* worker);
bool kelvra_wave_read(WaveWorker* worker, const char* path, uint16_t* peaks, uint64_t* serial);
