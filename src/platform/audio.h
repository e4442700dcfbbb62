// The preview sound device: the system's default output, opened for 48,000
// frames a second of interleaved 16-bit stereo and fed by queueing. The
// device converts to whatever the hardware wants. Main thread only.
#pragma once

#include <cstdint>

struct UiAudio;

// Error codes in the style of the original wave-out results.
enum : uint32_t {
  UI_AUDIO_BAD_DEVICE = 2,   // no output device could be opened
  UI_AUDIO_NO_DRIVER = 6,    // the sound system could not start
  UI_AUDIO_NO_MEMORY = 7,
  UI_AUDIO_REFUSED = 11,     // the device refused queued sound
};

// Opens the default output and starts it; null with `error` set on failure.
UiAudio* ui_audio_open(uint32_t* error);
void ui_audio_close(UiAudio* audio);
// Queues `bytes` bytes of sound; false with `error` set when the device refuses them.
bool ui_audio_queue(UiAudio* audio, const void* data, uint32_t bytes, uint32_t* error);
// Bytes queued that the device has not taken yet.
uint64_t ui_audio_queued(UiAudio* audio);
// Bytes the device has played since it was opened or last reset.
uint64_t ui_audio_played(UiAudio* audio);
// Drops everything queued; the played count starts again from 0.
void ui_audio_reset(UiAudio* audio);
