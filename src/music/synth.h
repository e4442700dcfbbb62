// The instrument synthesizer: renders any stretch of the score at 48,000
// frames per second straight from the note list (six instruments built from
// sine partials, a drum kit chosen by key), and the metronome click of score
// playback. No voice allocation and no state between calls: the same stretch
// always renders to the same samples.
#pragma once

#include <cstdint>

struct Score;

constexpr uint32_t SYNTH_RATE = 48000;       // frames per second
constexpr uint64_t SYNTH_MAX_VOICES = 96;    // notes that sound in one call
constexpr float SYNTH_NOTE_LEVEL = 5600.0f;  // peak of one note at full master, velocity and volume

// Adds `frames` stereo frames of the score, starting at `start` seconds of
// score time, into `buffer` (left, right pairs of floats in 16-bit sample
// units, cleared by the caller). Callers pass at most 1600 frames at a time;
// longer windows are rendered correctly as well.
void kelvra_synth_mix(const Score* score, double start, float* buffer, uint64_t frames);

// The metronome click at `time` seconds of score time, in 16-bit sample units:
// 26 ms at every beat, higher and louder on every fourth beat (beat 0, 4, 8 ...).
double kelvra_synth_click(const Score* score, double time);
