// The preview audio device.
#pragma once

struct AudioOutput;
struct KelvraApp;

AudioOutput* kelvra_audio_create();
void kelvra_audio_destroy(AudioOutput* output);
// Keeps the device fed or stopped according to the transport; once per frame.
void kelvra_audio_update(KelvraApp* app);
