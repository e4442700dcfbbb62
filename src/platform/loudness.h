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
  double sample_peak; // dBFS, the largest sample; -HUGE_VAL for digital silence
};

// A meter for interleaved stereo at `rate` frames a second, with or without
// the true peak (which costs about three times the rest); null when out of memory.
LoudnessMeter* loudness_meter_create(uint32_t rate, bool true_peak);
void loudness_meter_destroy(LoudnessMeter* meter);
// Adds `count` interleaved stereo frames whose full scale is `full_scale`
// (32768 for 16-bit units, 1 for normalised samples).
bool loudness_meter_add(LoudnessMeter* meter, const double* frames, uint64_t count, double full_scale);
bool loudness_meter_add_pcm(LoudnessMeter* meter, const int16_t* frames, uint64_t count);
// The sound has ended: the resampler's last frames count towards the true peak.
bool loudness_meter_finish(LoudnessMeter* meter);
// The figures of everything added so far.
bool loudness_meter_figures(LoudnessMeter* meter, LoudnessFigures* out);
// The figures of one signal whose consecutive parts went to `meters`.
bool loudness_meter_figures_of(LoudnessMeter* const* meters, size_t count, LoudnessFigures* out);

// The meter's true-peak estimate frame by frame, for a limiter: stereo
// over-sampled 4x by the same resampler, and for every input frame the
// largest over-sampled magnitude of either channel within half a frame of it.
struct PeakFinder;
constexpr uint32_t PEAK_FINDER_MOST_LAG = 40;  // frames a peak may lag its input, at most
PeakFinder* peak_finder_create(uint32_t rate);
void peak_finder_destroy(PeakFinder* finder);
// Takes `count` (at most 4096) interleaved stereo frames in 16-bit units and
// writes the peaks (16-bit units) of the frames now complete to `peaks` (room
// for count + PEAK_FINDER_MOST_LAG), in frame order from the first; their
// number. All frames taken but the last PEAK_FINDER_MOST_LAG - 2 at most are
// complete. -1 on failure.
int64_t peak_finder_run(PeakFinder* finder, const double* frames, uint64_t count, double* peaks);
