// The timeline audio mix: 48,000 frames per second, 2 channels, signed 16
// bits, in chunks of at most 1600 frames. Clip sound is read from decoded
// sources (WavePcm) with the clips' gains, fades and loop passes; clips that
// carry music add the synthesized score. The transport's source, sample and
// score modes have their own mix. Used by the preview and the export; runs on
// whichever thread calls it and allocates nothing.
#pragma once

#include <cstdint>

struct Clip;
struct Project;
struct Score;
struct WavePcm;

constexpr uint32_t MIX_RATE = 48000;
constexpr uint64_t MIX_MAX_CHUNK = 1600;  // frames; longer chunks carry no score

// The PCM's value of `channel` (0 or 1) at `time` seconds, linearly
// interpolated, in 16-bit units; 0 outside the PCM. A mono PCM feeds both
// channels; channels beyond the first two are never heard.
double audio_mix_sample(const WavePcm* pcm, double time, uint32_t channel);

// The sum over the audible (non-music) clips of `source` sounding at timeline
// time t of sample x gain x fades; 0 without PCM, samples or such clips.
double kelvra_audio_source_sample(const Project* project, const WavePcm* pcm, uint64_t source, double t,
                                  uint32_t channel);

// Writes `frames` interleaved stereo frames of the timeline from `start`
// seconds: the clips of `source` (read from `pcm`, which may be null; pass -1
// for none) and, for chunks of at most 1600 frames, the music clips.
void kelvra_audio_timeline_mix(const Project* project, const WavePcm* pcm, uint64_t source, double start,
                               int16_t* out, uint64_t frames);

// The export's mix: `frames` (at most MIX_MAX_CHUNK) stereo frames from
// `start` of the music clips and of every source j below `table_count` whose
// table[j] holds samples. With one source it equals kelvra_audio_timeline_mix
// of that source sample for sample.
void kelvra_audio_export_mix(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                             int16_t* out, uint64_t frames);
// The same mix before rounding and clipping to 16 bits, in 16-bit units (NaN
// reads as 0): what loudness is measured on and gain applied to.
void kelvra_audio_export_mix_wide(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                                  double* out, uint64_t frames);
// The music clips of `project` over `frames` (at most MIX_MAX_CHUNK) stereo
// frames from `start`, written into `acc` (2 x frames floats, cleared first).
void audio_mix_music(const Project* project, double start, uint64_t frames, float* acc);
// The preview's other mixes, `frames` interleaved stereo frames from `start`:
// the score alone with its metronome (silence for chunks over 1600 frames),
// a sample range played from its start (looping over its passes with its
// gain and fades, silent after its length or without sound), and a whole
// source as it is.
void audio_mix_score(const Score* score, double start, int16_t* out, uint64_t frames);
void audio_mix_range(const Clip* range, const WavePcm* pcm, double start, int16_t* out, uint64_t frames);
void audio_mix_source(const WavePcm* pcm, double start, int16_t* out, uint64_t frames);

// The source whose audio the timeline needs at time t: that of the first clip
// (in table order) sounding at t, else of the clip starting soonest within
// `lookahead` seconds (the later one in the table on equal starts), else -1.
uint64_t kelvra_audio_timeline_source(const Project* project, double t, double lookahead);
