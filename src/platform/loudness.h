// Loudness metering after ITU-R BS.1770 / EBU R 128 on libebur128: integrated
// loudness, loudness range and true peak of 48 kHz stereo sound.
#pragma once

#include <cstddef>
#include <cstdint>

struct LoudnessMeter;

struct LoudnessFigures {
  double integrated;  // LUFS; -HUGE_VAL when nothing rose above the absolute gate
  double range;       // LU
  double true_peak;   // dBTP; -HUGE_VAL for digital silence, NaN when not measured
};

// A meter for interleaved stereo at `rate` frames a second, with or without
// the true peak (which costs about three times the rest); null when out of memory.
LoudnessMeter* loudness_meter_create(uint32_t rate, bool true_peak);
void loudness_meter_destroy(LoudnessMeter* meter);
// Adds `count` interleaved stereo frames whose full scale is `full_scale`
// (32768 for 16-bit units, 1 for normalised samples).
bool loudness_meter_add(LoudnessMeter* meter, const double* frames, uint64_t count, double full_scale);
bool loudness_meter_add_pcm(LoudnessMeter* meter, const int16_t* frames, uint64_t count);
// The figures of everything added so far.
bool loudness_meter_figures(LoudnessMeter* meter, LoudnessFigures* out);
// The figures of one signal whose consecutive parts went to `meters`.
bool loudness_meter_figures_of(LoudnessMeter* const* meters, size_t count, LoudnessFigures* out);
