// Audio output record. No device is opened: the output is silent, and the
// update never holds or clears a playback start.
#include <cstdlib>

#include "media/audio_output.h"

struct AudioOutput {
  unsigned char started;
};

AudioOutput* kelvra_audio_create() { return static_cast<AudioOutput*>(std::calloc(1, sizeof(AudioOutput))); }

void kelvra_audio_destroy(AudioOutput* output) { std::free(output); }

void kelvra_audio_update(KelvraApp*) {}
