// The timeline audio mix and the transport-mode mix.
//
// Sections: [samples] interpolated PCM reads and output rounding, [timeline]
// clip sound and music clips, [transport] source, sample and score modes,
// [look-ahead] the source the timeline preview needs.
#include "media/audio_mix.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/sound_feed.h"
#include "media/wave.h"
#include "music/synth.h"
#include "project/project.h"
#include "project/timeline_map.h"

namespace {

constexpr double RATE = MIX_RATE;
constexpr double TIME_GUARD = 1e-8;   // seconds: a time this close before a pass end counts as the end
constexpr double FRAME_GUARD = 1e-7;  // frames: a frame position this close above a whole frame counts as it

bool has_samples(const WavePcm* pcm) {
  return pcm != nullptr && pcm->samples != nullptr && pcm->frames > 0 && pcm->channels > 0;
}

// Rounded half away from zero and clamped to 16 bits; a value that is not a
// number is silence.
int16_t mix_round(double value) {
  if (std::isnan(value)) return 0;
  return static_cast<int16_t>(std::round(std::clamp(value, -32768.0, 32767.0)));
}

// The frame of a pass boundary `offset` seconds after the window start,
// limited to 0..frames.
uint64_t pass_frame(double offset, uint64_t frames) {
  const double f = std::ceil(offset * RATE - FRAME_GUARD);
  if (!(f > 0.0)) return 0;
  if (f >= static_cast<double>(frames)) return frames;
  return static_cast<uint64_t>(f);
}

}  // namespace

// --------------------------------------------------------------- [samples]

double audio_mix_sample(const WavePcm* pcm, double time, uint32_t channel) {
  if (!has_samples(pcm)) return 0.0;
  const double x = time * pcm->rate;
  if (!(x >= 0.0) || x >= static_cast<double>(pcm->frames)) return 0.0;
  const uint64_t d = static_cast<uint64_t>(x);
  const uint64_t d2 = d + 1 < pcm->frames ? d + 1 : d;
  const uint32_t c = pcm->channels >= 2 && channel < pcm->channels ? channel : 0;
  const double s0 = pcm->samples[d * pcm->channels + c];
  const double s1 = pcm->samples[d2 * pcm->channels + c];
  return s0 + (s1 - s0) * (x - static_cast<double>(d));
}

// -------------------------------------------------------------- [timeline]

namespace {

// Whether a clip sounds its source (not the score).
bool source_clip(const Clip& clip, uint64_t source) {
  return static_cast<uint64_t>(clip.source) == source && clip.audio && !clip.music;
}

// The gain (with fades) and the source time of a clip at timeline time t;
// false when the clip is not sounding then.
bool clip_sound(const Clip& clip, double t, double* gain, double* media) {
  const double c = t - clip.at;
  const double length = kelvra_clip_length(&clip);
  if (!(c >= 0.0 && c < length)) return false;
  const double pass = clip.out - clip.in;
  const double fade_in = std::min(clip.fade_in, pass / 2);
  const double fade_out = std::min(pass / 2, clip.fade_out);
  double g = clip.gain;
  if (fade_in > 0.0) g *= std::min(c / fade_in, 1.0);
  if (fade_out > 0.0) g *= std::min((length - c) / fade_out, 1.0);
  *gain = g;
  // Inside the first pass the remainder is c itself; only later passes wrap.
  *media = c < pass ? clip.in + c : kelvra_media_time(clip.in, clip.out, c);
  return true;
}

}  // namespace

double kelvra_audio_source_sample(const Project* document, const WavePcm* pcm, uint64_t source, double t,
                                  uint32_t channel) {
  const Project& project = *document;
  if (!has_samples(pcm) || source >= project.source_count) return 0.0;
  const uint64_t clip_count = std::min(project.clip_count, PROJECT_MAX_ROWS);
  double sum = 0.0;
  for (uint64_t i = 0; i < clip_count; ++i) {
    const Clip& clip = project.clips[i];
    double g;
    double media;
    if (source_clip(clip, source) && clip_sound(clip, t, &g, &media)) sum += audio_mix_sample(pcm, media, channel) * g;
  }
  return sum;
}

namespace {

// What the frame loop needs of one clip, computed once per chunk with the
// same expressions as clip_sound.
struct MixClip {
  double at;
  double in;
  double out;
  double pass;
  double length;
  double fade_in;
  double fade_out;
  double gain;
};

// The clips of `source` that may sound between times first and last (in
// table order) into `out` (PROJECT_MAX_ROWS entries); returns their number.
// A clip is left out only when it starts after `last` or has ended by `first`:
// the time since its start only grows from frame to frame.
uint64_t source_clips(const Project& project, uint64_t source, double first, double last, MixClip* out) {
  const uint64_t clip_count = std::min(project.clip_count, PROJECT_MAX_ROWS);
  uint64_t count = 0;
  for (uint64_t i = 0; i < clip_count; ++i) {
    const Clip& clip = project.clips[i];
    const double length = kelvra_clip_length(&clip);
    if (!source_clip(clip, source) || clip.at > last || first - clip.at >= length) continue;
    const double pass = clip.out - clip.in;
    out[count++] = MixClip{clip.at,
                           clip.in,
                           clip.out,
                           pass,
                           length,
                           std::min(clip.fade_in, pass / 2),
                           std::min(pass / 2, clip.fade_out),
                           clip.gain};
  }
  return count;
}

// audio_mix_sample of channels 0 and 1 at one time.
void sample_pair(const WavePcm* pcm, double time, double* left, double* right) {
  const double x = time * pcm->rate;
  if (!(x >= 0.0) || x >= static_cast<double>(pcm->frames)) {
    *left = *right = 0.0;
    return;
  }
  const uint64_t d = static_cast<uint64_t>(x);
  const uint64_t d2 = d + 1 < pcm->frames ? d + 1 : d;
  const double f = x - static_cast<double>(d);
  const int16_t* a = pcm->samples + d * pcm->channels;
  const int16_t* b = pcm->samples + d2 * pcm->channels;
  const uint32_t c = pcm->channels >= 2 ? 1 : 0;
  *left = a[0] + (static_cast<double>(b[0]) - a[0]) * f;
  *right = a[c] + (static_cast<double>(b[c]) - a[c]) * f;
}

// Both channels of kelvra_audio_source_sample at time t over the clips in
// `clips`: the same sums in the same order, with one walk of the clips.
void source_frame(const WavePcm* pcm, const MixClip* clips, uint64_t count, double t, double* left,
                  double* right) {
  double sum_left = 0.0;
  double sum_right = 0.0;
  for (uint64_t k = 0; k < count; ++k) {
    const MixClip& clip = clips[k];
    const double c = t - clip.at;
    if (!(c >= 0.0 && c < clip.length)) continue;
    double g = clip.gain;
    if (clip.fade_in > 0.0) g *= std::min(c / clip.fade_in, 1.0);
    if (clip.fade_out > 0.0) g *= std::min((clip.length - c) / clip.fade_out, 1.0);
    const double media = c < clip.pass ? clip.in + c : kelvra_media_time(clip.in, clip.out, c);
    double l;
    double r;
    sample_pair(pcm, media, &l, &r);
    sum_left += l * g;
    sum_right += r * g;
  }
  *left = sum_left;
  *right = sum_right;
}

}  // namespace

namespace {

// Score windows rendered during one chunk, so that clips playing the same
// stretch (duplicates, the same pass of copies on other lanes) share one
// rendering. A window is reused only for the very same start and length, so
// the mix is exactly what rendering it again would give.
constexpr uint32_t kSharedWindows = 4;

struct ScoreWindows {
  float samples[kSharedWindows][2 * MIX_MAX_CHUNK];
  double start[kSharedWindows];
  uint64_t frames[kSharedWindows];
  uint32_t count;
  uint32_t next;  // the slot the next new window replaces once all are used
};

const float* score_window(const Score* score, ScoreWindows* windows, double start, uint64_t frames) {
  for (uint32_t k = 0; k < windows->count; ++k)
    if (windows->frames[k] == frames && std::memcmp(&windows->start[k], &start, sizeof start) == 0)
      return windows->samples[k];
  const uint32_t slot = windows->count < kSharedWindows ? windows->count++ : windows->next;
  windows->next = (slot + 1) % kSharedWindows;
  float* samples = windows->samples[slot];
  std::memset(samples, 0, sizeof(float) * 2 * frames);
  kelvra_synth_mix(score, start, samples, frames);
  windows->start[slot] = start;
  windows->frames[slot] = frames;
  return samples;
}

// Adds the music clips that overlap [x, x + frames / 48000) into `acc`
// (frames <= MIX_MAX_CHUNK stereo floats), one loop pass at a time.
void mix_music_clips(const Project& project, double x, uint64_t frames, float* acc, ScoreWindows* windows) {
  const double window_end = x + static_cast<double>(frames) / RATE;
  const uint64_t clip_count = std::min(project.clip_count, PROJECT_MAX_ROWS);
  windows->count = 0;
  windows->next = 0;
  for (uint64_t i = 0; i < clip_count; ++i) {
    const Clip& clip = project.clips[i];
    const double pass = clip.out - clip.in;
    if (!clip.audio || !clip.music || !(pass > 0.0)) continue;
    const double end = clip.at + kelvra_clip_length(&clip);
    if (!(clip.at < window_end && end > x)) continue;
    const double fade_in = std::min(clip.fade_in, pass / 2);
    const double fade_out = std::min(pass / 2, clip.fade_out);
    double h = std::max(clip.at, x);
    const double l = std::min(window_end, end);
    while (h < l - TIME_GUARD) {
      double t = std::fmod(h - clip.at, pass);
      if (pass - t < TIME_GUARD) t = 0.0;  // a hair before a wrap counts as the wrap
      const double u = std::min(h + pass - t, l);
      const uint64_t j0 = pass_frame(h - x, frames);
      const uint64_t j1 = pass_frame(u - x, frames);
      if (j0 < j1) {
        const float* synth = score_window(&project.score, windows,
                                          clip.in + t + (x + static_cast<double>(j0) / RATE - h), j1 - j0);
        for (uint64_t j = j0; j < j1; ++j) {
          const double tau = x + static_cast<double>(j) / RATE;
          double e = clip.gain;
          if (fade_in > 0.0) e *= std::min(std::max(tau - clip.at, 0.0) / fade_in, 1.0);
          if (fade_out > 0.0) e *= std::min(std::max(end - tau, 0.0) / fade_out, 1.0);
          const float g = static_cast<float>(e);
          acc[2 * j] += g * synth[2 * (j - j0)];
          acc[2 * j + 1] += g * synth[2 * (j - j0) + 1];
        }
      }
      if (!(u > h)) break;  // a pass too short to move time on at this magnitude
      h = u;
    }
  }
}

}  // namespace

void audio_mix_music(const Project* project, double start, uint64_t frames, float* acc) {
  frames = std::min(frames, MIX_MAX_CHUNK);
  std::memset(acc, 0, sizeof(float) * 2 * frames);
  ScoreWindows windows;
  mix_music_clips(*project, start, frames, acc, &windows);
}

void kelvra_audio_timeline_mix(const Project* project, const WavePcm* pcm, uint64_t source, double start,
                               int16_t* out, uint64_t frames) {
  float acc[2 * MIX_MAX_CHUNK];
  const bool music = frames <= MIX_MAX_CHUNK;
  if (music) {
    std::memset(acc, 0, sizeof(float) * 2 * frames);
    ScoreWindows windows;
    mix_music_clips(*project, start, frames, acc, &windows);
  }
  if (frames == 0) return;
  MixClip clips[PROJECT_MAX_ROWS];
  uint64_t clip_count = 0;
  if (has_samples(pcm) && source < project->source_count) {
    clip_count = source_clips(*project, source, start, start + static_cast<double>(frames - 1) / RATE, clips);
  }
  for (uint64_t i = 0; i < frames; ++i) {
    double left;
    double right;
    source_frame(pcm, clips, clip_count, start + static_cast<double>(i) / RATE, &left, &right);
    if (music) {
      left += acc[2 * i];
      right += acc[2 * i + 1];
    }
    out[2 * i] = mix_round(left);
    out[2 * i + 1] = mix_round(right);
  }
}

void kelvra_audio_export_mix_wide(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                                  double* out, uint64_t frames) {
  audio_mix_project_wide(project, table, table_count, start, out, frames);
}

void kelvra_audio_export_mix(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                             int16_t* out, uint64_t frames) {
  frames = std::min(frames, MIX_MAX_CHUNK);
  double wide[2 * MIX_MAX_CHUNK];
  kelvra_audio_export_mix_wide(project, table, table_count, start, wide, frames);
  for (uint64_t i = 0; i < 2 * frames; ++i) out[i] = mix_round(wide[i]);
}

// ------------------------------------------------------------- [transport]

void audio_mix_score(const Score* score, double x, int16_t* out, uint64_t frames) {
  if (frames > MIX_MAX_CHUNK) {
    std::memset(out, 0, sizeof(int16_t) * 2 * frames);
    return;
  }
  float acc[2 * MIX_MAX_CHUNK];
  std::memset(acc, 0, sizeof(float) * 2 * frames);
  kelvra_synth_mix(score, x, acc, frames);
  if (score->metronome) {
    for (uint64_t i = 0; i < frames; ++i) {
      const float click = static_cast<float>(kelvra_synth_click(score, x + static_cast<double>(i) / RATE));
      acc[2 * i] += click;
      acc[2 * i + 1] += click;
    }
  }
  for (uint64_t i = 0; i < 2 * frames; ++i) out[i] = mix_round(acc[i]);
}

void audio_mix_range(const Clip* range, const WavePcm* pcm, double x, int16_t* out, uint64_t frames) {
  const double length = kelvra_clip_length(range);
  const double pass = range->out - range->in;
  const double fade_in = std::min(range->fade_in, pass / 2);
  const double fade_out = std::min(range->fade_out, pass / 2);
  const bool audible = has_samples(pcm) && range->audio;
  for (uint64_t i = 0; i < frames; ++i) {
    const double tau = x + static_cast<double>(i) / RATE;
    if (!audible || !(tau < length)) {
      out[2 * i] = out[2 * i + 1] = 0;
      continue;
    }
    double g = range->gain;
    if (fade_in > 0.0) g *= std::min(tau / fade_in, 1.0);
    if (fade_out > 0.0) g *= std::min((length - tau) / fade_out, 1.0);
    const double media = kelvra_media_time(range->in, range->out, tau);
    for (uint32_t k = 0; k < 2; ++k) out[2 * i + k] = mix_round(audio_mix_sample(pcm, media, k) * g);
  }
}

void audio_mix_source(const WavePcm* pcm, double start, int16_t* out, uint64_t frames) {
  for (uint64_t i = 0; i < frames; ++i) {
    const double t = start + static_cast<double>(i) / RATE;
    for (uint32_t k = 0; k < 2; ++k) out[2 * i + k] = has_samples(pcm) ? mix_round(audio_mix_sample(pcm, t, k)) : 0;
  }
}

// ------------------------------------------------------------ [look-ahead]

uint64_t kelvra_audio_timeline_source(const Project* document, double t, double lookahead) {
  const Project& project = *document;
  const uint64_t clip_count = std::min(project.clip_count, PROJECT_MAX_ROWS);
  double window_end = t + lookahead;
  uint64_t result = KELVRA_NONE;
  for (uint64_t i = 0; i < clip_count; ++i) {
    const Clip& clip = project.clips[i];
    if (!clip.audio || clip.music || static_cast<uint64_t>(clip.source) >= project.source_count) continue;
    if (t >= clip.at + kelvra_clip_length(&clip) || clip.at > window_end) continue;
    result = static_cast<uint64_t>(clip.source);
    if (clip.at <= t) return result;  // sounding now
    window_end = clip.at;             // later candidates must start no later
  }
  return result;
}
