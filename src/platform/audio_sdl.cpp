// The preview sound device on SDL2's audio queue.
//
// Provides: the default output device at 48 kHz stereo signed 16-bit (SDL
// converts when the hardware differs), queueing, the bytes still queued, the
// bytes played since the last reset, and a reset that drops the queue.
// Cannot: report what the hardware itself still buffers after SDL took the
// bytes (at most one device period, 512 frames here), so the played count
// runs that much ahead of what is heard.
#include <SDL2/SDL.h>

#include <new>

#include "platform/audio.h"

struct UiAudio {
  SDL_AudioDeviceID device;
  uint64_t queued_total;  // bytes queued since the open or the last reset
};

namespace {

constexpr int kRate = 48000;
constexpr Uint16 kPeriod = 512;  // frames the device takes at a time

}  // namespace

UiAudio* ui_audio_open(uint32_t* error) {
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    *error = UI_AUDIO_NO_DRIVER;
    return nullptr;
  }
  SDL_AudioSpec want{};
  want.freq = kRate;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = kPeriod;
  SDL_AudioSpec have{};
  const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (device == 0) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    *error = UI_AUDIO_BAD_DEVICE;
    return nullptr;
  }
  UiAudio* audio = new (std::nothrow) UiAudio{device, 0};
  if (audio == nullptr) {
    SDL_CloseAudioDevice(device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    *error = UI_AUDIO_NO_MEMORY;
    return nullptr;
  }
  SDL_PauseAudioDevice(device, 0);
  return audio;
}

void ui_audio_close(UiAudio* audio) {
  if (audio == nullptr) return;
  SDL_CloseAudioDevice(audio->device);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  delete audio;
}

bool ui_audio_queue(UiAudio* audio, const void* data, uint32_t bytes, uint32_t* error) {
  if (SDL_QueueAudio(audio->device, data, bytes) != 0) {
    *error = UI_AUDIO_REFUSED;
    return false;
  }
  audio->queued_total += bytes;
  return true;
}

uint64_t ui_audio_queued(UiAudio* audio) { return SDL_GetQueuedAudioSize(audio->device); }

uint64_t ui_audio_played(UiAudio* audio) {
  const uint64_t waiting = SDL_GetQueuedAudioSize(audio->device);
  return waiting < audio->queued_total ? audio->queued_total - waiting : 0;
}

void ui_audio_reset(UiAudio* audio) {
  SDL_ClearQueuedAudio(audio->device);
  audio->queued_total = 0;
}
