// Loudness of exports: the project's target, the measuring pass over the mix,
// the peak limiter, and the sound stream the export worker writes from, which
// meters every block it hands out.
//
//   [target]   kelvra_loudness_target, kelvra_loudness_parse, kelvra_loudness_label, kelvra_render_row_loudness
//   [limiter]  kelvra_limiter_create, kelvra_limiter_destroy, kelvra_limiter_process
//   [measure]  kelvra_loudness_measure, kelvra_loudness_measure_limited
//   [sound]    kelvra_render_sound_open, kelvra_render_sound_block, kelvra_render_sound_report,
//              kelvra_render_sound_close
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/app.h"
#include "export/render.h"
#include "media/audio_mix.h"
#include "media/sound_feed.h"
#include "platform/media.h"

// -------------------------------------------------------------------- [target]

double kelvra_loudness_target(const Project* project) {
  if (project->loudness_off) return 0.0;
  return project->loudness_target != 0.0 ? project->loudness_target : LOUDNESS_PLATFORM_TARGET;
}

bool kelvra_loudness_parse(const char* text, double* target) {
  if (std::strcmp(text, "off") == 0) {
    *target = 0.0;
    return true;
  }
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= LOUDNESS_LOWEST_TARGET && value <= LOUDNESS_HIGHEST_TARGET))
    return false;
  *target = value;
  return true;
}

void kelvra_loudness_label(double target, char* out, uint64_t size) {
  if (target == 0.0)
    std::snprintf(out, size, "off");
  else
    std::snprintf(out, size, "%g LUFS", target);
}

void kelvra_render_row_loudness(const RenderRow* row, char* out, uint64_t size) {
  if (!row->loudness_measured) {
    std::snprintf(out, size, "%s", "");
    return;
  }
  const LoudnessFigures& figures = row->loudness;
  char integrated[32];
  char peak[32];
  if (std::isfinite(figures.integrated))
    std::snprintf(integrated, sizeof integrated, "%.1f LUFS", figures.integrated);
  else
    std::snprintf(integrated, sizeof integrated, "-inf LUFS");
  if (std::isfinite(figures.true_peak))
    std::snprintf(peak, sizeof peak, "%.1f dBTP", figures.true_peak);
  else
    std::snprintf(peak, sizeof peak, "-inf dBTP");
  std::snprintf(out, size, "%s  ·  LRA %.1f LU  ·  %s", integrated, figures.range, peak);
}

// ------------------------------------------------------------------- [limiter]

namespace {

constexpr double kMarginDb = 0.1;  // the limiter's ceiling sits this far under the target's

double db_to_gain(double db) { return std::pow(10.0, db / 20.0); }

uint64_t ring(int64_t frame) { return static_cast<uint64_t>(frame) & (LIMITER_RING - 1); }

// The gain frame m may have: the ceiling over the largest peak of it and its
// neighbours, whose over-sampled spans reach into its own.
double need(const PeakLimiter* limiter, int64_t m) {
  double peak = limiter->peak[ring(m)];
  if (m > 0) peak = std::max(peak, limiter->peak[ring(m - 1)]);
  peak = std::max(peak, limiter->peak[ring(m + 1)]);
  return peak > limiter->ceiling ? limiter->ceiling / peak : 1.0;
}

// Takes frame n in: the gain of frame m = n - LIMITER_DETECTION follows from
// the peaks around it, and frame n - LIMITER_DELAY goes out.
void step(PeakLimiter* limiter, int64_t n, double* out) {
  const int64_t m = n - static_cast<int64_t>(LIMITER_DETECTION);
  const double gain_needed = m >= 0 ? need(limiter, m) : 1.0;
  // The least need over the look-ahead window ending at m.
  uint32_t& head = limiter->minimum_head;
  uint32_t& count = limiter->minimum_count;
  while (count > 0 && limiter->minimum_at[head] <= m - static_cast<int64_t>(LIMITER_LOOKAHEAD)) {
    head = (head + 1) % LIMITER_LOOKAHEAD;
    --count;
  }
  while (count > 0 && limiter->minimum_gain[(head + count - 1) % LIMITER_LOOKAHEAD] >= gain_needed) --count;
  limiter->minimum_gain[(head + count) % LIMITER_LOOKAHEAD] = gain_needed;
  limiter->minimum_at[(head + count) % LIMITER_LOOKAHEAD] = m;
  ++count;
  const double held = limiter->minimum_gain[head];
  // Down at once, back up slowly; then averaged over the look-ahead so that
  // the gain glides down and has arrived when the peak leaves.
  double& envelope = limiter->envelope;
  envelope = held < envelope ? held : envelope + (held - envelope) * limiter->release;
  double& slot = limiter->smoothing[static_cast<uint64_t>(n) % LIMITER_LOOKAHEAD];
  limiter->smoothing_sum += envelope - slot;
  slot = envelope;
  const double gain = std::min(1.0, limiter->smoothing_sum / LIMITER_LOOKAHEAD);
  const int64_t k = n - static_cast<int64_t>(LIMITER_DELAY);
  out[0] = k >= 0 ? limiter->input[2 * ring(k)] * gain : 0.0;
  out[1] = k >= 0 ? limiter->input[2 * ring(k) + 1] * gain : 0.0;
}

}  // namespace

PeakLimiter* kelvra_limiter_create(double ceiling_dbtp) {
  auto* limiter = static_cast<PeakLimiter*>(std::calloc(1, sizeof(PeakLimiter)));
  if (limiter == nullptr) return nullptr;
  limiter->finder = peak_finder_create(RENDER_RATE);
  if (limiter->finder == nullptr) {
    std::free(limiter);
    return nullptr;
  }
  limiter->ceiling = 32768.0 * db_to_gain(ceiling_dbtp - kMarginDb);
  limiter->release = 1.0 - std::exp(-1.0 / (0.1 * RENDER_RATE));
  limiter->envelope = 1.0;
  std::fill(limiter->smoothing, limiter->smoothing + LIMITER_LOOKAHEAD, 1.0);
  limiter->smoothing_sum = LIMITER_LOOKAHEAD;
  return limiter;
}

void kelvra_limiter_destroy(PeakLimiter* limiter) {
  if (limiter == nullptr) return;
  peak_finder_destroy(limiter->finder);
  std::free(limiter);
}

bool kelvra_limiter_process(PeakLimiter* limiter, const double* in, double* out, uint64_t frames) {
  static_assert(LIMITER_RING >= LIMITER_PIECE + LIMITER_DELAY + 2, "the ring holds a piece and the delay");
  for (uint64_t done = 0; done < frames;) {
    const uint64_t n = std::min<uint64_t>(frames - done, LIMITER_PIECE);
    const double* piece = in + 2 * done;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t at = ring(limiter->pushed + static_cast<int64_t>(i));
      limiter->input[2 * at] = piece[2 * i];
      limiter->input[2 * at + 1] = piece[2 * i + 1];
    }
    const int64_t found = peak_finder_run(limiter->finder, piece, n, limiter->found_peaks);
    if (found < 0) return false;
    for (int64_t i = 0; i < found; ++i) limiter->peak[ring(limiter->found++)] = limiter->found_peaks[i];
    // The finder trails by less than the detection delay, so the peaks
    // around each frame m a step needs are known by now.
    for (uint64_t i = 0; i < n; ++i) step(limiter, limiter->pushed++, out + 2 * (done + i));
    done += n;
  }
  return true;
}

// ------------------------------------------------------------------- [measure]

namespace {

// A mix long enough that losing the few 400 ms gating blocks across the
// middle changes nothing measurable is measured in two halves at once.
constexpr uint64_t kSplitFrames = 60 * RENDER_RATE;
constexpr uint64_t kHop = 4800;  // the meter's 100 ms step: the halves meet on it

struct MeasureSpan {
  const SoundPlan* plan;
  uint64_t from;
  uint64_t to;
  double gain;           // linear, applied before the limiter
  PeakLimiter* limiter;  // none to measure the mix as it is
  LoudnessMeter* meter;
  const std::atomic<int32_t>* cancel;
  std::atomic<int32_t>* permille;  // null for a half that does not report
  int32_t share;
  bool ok;
};

// Meters the span's mix, or with a limiter the mix at the span's gain through
// it (and the limiter's tail after the span's end).
void measure_span(MeasureSpan* span) {
  double wide[2 * RENDER_BLOCK_FRAMES];
  double limited[2 * RENDER_BLOCK_FRAMES];
  const double length = static_cast<double>(span->to - span->from);
  span->ok = true;
  SoundFeed feed;
  audio_feed_open(&feed, span->plan);
  for (uint64_t done = span->from; done < span->to && span->ok; done += RENDER_BLOCK_FRAMES) {
    if (span->cancel != nullptr && span->cancel->load(std::memory_order_relaxed) != 0) span->ok = false;
    const uint64_t n = std::min<uint64_t>(span->to - done, RENDER_BLOCK_FRAMES);
    span->ok = span->ok && audio_feed_mix_wide(&feed, static_cast<double>(done) / RENDER_RATE, wide, n);
    const double* metered = wide;
    if (span->limiter != nullptr) {
      for (uint64_t i = 0; i < 2 * n; ++i) wide[i] *= span->gain;
      span->ok = span->ok && kelvra_limiter_process(span->limiter, wide, limited, n);
      metered = limited;
    }
    span->ok = span->ok && loudness_meter_add(span->meter, metered, n, 32768.0);
    if (span->permille != nullptr)
      span->permille->store(static_cast<int32_t>(static_cast<double>(done + n - span->from) / length * span->share));
  }
  audio_feed_close(&feed);
  if (span->limiter != nullptr && span->ok) {
    std::fill(wide, wide + 2 * LIMITER_DELAY, 0.0);
    span->ok = kelvra_limiter_process(span->limiter, wide, limited, LIMITER_DELAY) &&
               loudness_meter_add(span->meter, limited, LIMITER_DELAY, 32768.0);
  }
}

// Measures the mix from the start, at `gain` through a limiter when `limited`.
bool measure(const SoundPlan* plan, uint64_t frames, double gain, bool limited,
             const std::atomic<int32_t>* cancel, std::atomic<int32_t>* permille, int32_t share,
             LoudnessFigures* out) {
  const uint64_t middle = frames >= kSplitFrames ? frames / 2 / kHop * kHop : frames;
  MeasureSpan spans[2] = {{plan, 0, middle, gain, nullptr, nullptr, cancel, permille, share, false},
                          {plan, middle, frames, gain, nullptr, nullptr, cancel, nullptr, share, false}};
  const size_t count = middle < frames ? 2 : 1;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    spans[i].meter = loudness_meter_create(RENDER_RATE, false);
    if (limited) spans[i].limiter = kelvra_limiter_create(LOUDNESS_CEILING);
    ok = ok && spans[i].meter != nullptr && (!limited || spans[i].limiter != nullptr);
  }
  if (ok) {
    std::thread second;
    if (count == 2) {
      try {
        second = std::thread(measure_span, &spans[1]);
      } catch (...) {
        measure_span(&spans[1]);  // no thread to be had: one after the other
      }
    }
    measure_span(&spans[0]);
    if (second.joinable()) second.join();
    LoudnessMeter* meters[2] = {spans[0].meter, spans[1].meter};
    ok = spans[0].ok && (count == 1 || spans[1].ok) && loudness_meter_figures_of(meters, count, out);
  }
  for (MeasureSpan& span : spans) {
    loudness_meter_destroy(span.meter);
    kelvra_limiter_destroy(span.limiter);
  }
  return ok;
}

}  // namespace

bool kelvra_loudness_measure(const SoundPlan* plan, uint64_t frames, const std::atomic<int32_t>* cancel,
                             std::atomic<int32_t>* permille, int32_t share, LoudnessFigures* out) {
  return measure(plan, frames, 1.0, false, cancel, permille, share, out);
}

bool kelvra_loudness_measure_limited(const SoundPlan* plan, uint64_t frames, double gain,
                                     const std::atomic<int32_t>* cancel, LoudnessFigures* out) {
  return measure(plan, frames, gain, true, cancel, nullptr, 0, out);
}

// --------------------------------------------------------------------- [sound]

namespace {

int16_t to_pcm(double value) { return static_cast<int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0))); }

int32_t hundredths(double value) {
  if (!std::isfinite(value)) return RENDER_NO_FIGURE;
  return static_cast<int32_t>(std::lround(std::clamp(value, -20000.0, 20000.0) * 100.0));
}

// Appends `n` frames of `frames` to the frames ready, after the ones to drop.
void emit(RenderSound* sound, const double* frames, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (sound->skip > 0) {
      --sound->skip;  // the limiter's silence before the first frame
      continue;
    }
    sound->out[2 * sound->ready] = to_pcm(frames[2 * i]);
    sound->out[2 * sound->ready + 1] = to_pcm(frames[2 * i + 1]);
    ++sound->ready;
  }
}

// Takes the next block of the mix into `out`, or past the end the frames the limiter still holds.
void take_mix(RenderSound* sound) {
  double* wide = sound->wide;
  uint64_t n;
  if (sound->mixed >= sound->frames) {
    n = LIMITER_DELAY;
    std::fill(wide, wide + 2 * n, 0.0);
  } else {
    n = std::min<uint64_t>(sound->frames - sound->mixed, RENDER_BLOCK_FRAMES);
    if (!audio_feed_mix_wide(&sound->feed, static_cast<double>(sound->mixed) / RENDER_RATE, wide, n)) {
      sound->failed = 1;  // out of memory for the sources' sound
      std::fill(wide, wide + 2 * n, 0.0);
    }
    sound->mixed += n;
    for (uint64_t i = 0; i < 2 * n; ++i) wide[i] *= sound->gain;
  }
  if (sound->limiter != nullptr && !kelvra_limiter_process(sound->limiter, wide, sound->limited, n)) {
    // Without peaks no gain can be trusted: the rest is silence, and the job fails.
    sound->failed = 1;
    std::fill(sound->limited, sound->limited + 2 * n, 0.0);
  }
  emit(sound, sound->limiter != nullptr ? sound->limited : wide, n);
}

// Peaks this far under the ceiling after the gain leave the limiter idle,
// whatever lies between the samples of natural sound.
constexpr double kLimitedHeadroomDb = 3.0;
constexpr int kMostCorrections = 3;
constexpr double kMostMakeUpDb = 20.0;  // beyond the first pass's gain

// What the limiter takes off loud peaks is loudness lost: measures the mix
// through it at `gain_db` and corrects the gain until the result is within
// 0.1 LU of the target (a secant step once two passes are known), up to three
// passes. A MEDIA_* status.
int32_t settle_gain(RenderJob* job, const SoundPlan* plan, uint64_t frames, double target, double* gain_db) {
  const double first = *gain_db;
  double last_gain = 0;
  double last_loudness = 0;
  for (int pass = 0; pass < kMostCorrections; ++pass) {
    LoudnessFigures limited{};
    if (!kelvra_loudness_measure_limited(plan, frames, db_to_gain(*gain_db), &job->cancel, &limited))
      return job->cancel.load() != 0 ? MEDIA_E_CANCELLED : MEDIA_E_OUTOFMEMORY;
    if (!std::isfinite(limited.integrated)) return MEDIA_OK;
    const double shortfall = target - limited.integrated;
    if (std::fabs(shortfall) <= 0.1) return MEDIA_OK;
    // Loudness rises more slowly than the gain once the limiter works.
    double slope = 1.0;
    if (pass > 0 && *gain_db != last_gain)
      slope = std::clamp((limited.integrated - last_loudness) / (*gain_db - last_gain), 0.1, 1.0);
    last_gain = *gain_db;
    last_loudness = limited.integrated;
    *gain_db = std::clamp(*gain_db + shortfall / slope, first - kMostMakeUpDb, first + kMostMakeUpDb);
  }
  return MEDIA_OK;
}

}  // namespace

int32_t kelvra_render_sound_open(RenderSound* sound, RenderJob* job, const SoundPlan* plan, uint64_t frames,
                                 double target, int32_t share) {
  audio_feed_open(&sound->feed, plan);
  sound->frames = frames;
  sound->gain = 1.0;
  sound->meter = loudness_meter_create(RENDER_RATE, true);
  if (sound->meter == nullptr) return MEDIA_E_OUTOFMEMORY;
  if (target == 0.0) return MEDIA_OK;
  job->stage.exchange(RENDER_MEASURING);
  LoudnessFigures mix{};
  if (!kelvra_loudness_measure(plan, frames, &job->cancel, &job->permille, share, &mix))
    return job->cancel.load() != 0 ? MEDIA_E_CANCELLED : MEDIA_E_OUTOFMEMORY;
  // A mix with nothing above the meter's gate keeps its level.
  if (!std::isfinite(mix.integrated)) return MEDIA_OK;
  double gain_db = target - mix.integrated;
  if (mix.sample_peak + gain_db > LOUDNESS_CEILING - kLimitedHeadroomDb) {
    const int32_t settled = settle_gain(job, plan, frames, target, &gain_db);
    if (settled != MEDIA_OK) return settled;
  }
  sound->gain = db_to_gain(gain_db);
  // The limiter finds the true peaks itself and leaves alone what stays
  // under its ceiling, so a mix that needs none comes out as gain alone.
  sound->limiter = kelvra_limiter_create(LOUDNESS_CEILING);
  if (sound->limiter == nullptr) return MEDIA_E_OUTOFMEMORY;
  sound->skip = LIMITER_DELAY;
  return MEDIA_OK;
}

bool kelvra_render_sound_block(RenderSound* sound, int16_t* out, uint64_t n) {
  while (sound->ready < n) take_mix(sound);
  std::memcpy(out, sound->out, n * 4);
  sound->ready -= n;
  std::memmove(sound->out, sound->out + 2 * n, sound->ready * 4);
  loudness_meter_add_pcm(sound->meter, out, n);
  sound->delivered += n;
  if (sound->delivered == sound->frames) loudness_meter_finish(sound->meter);
  return !sound->failed;
}

void kelvra_render_sound_report(RenderSound* sound, RenderJob* job) {
  LoudnessFigures figures{};
  if (sound->meter == nullptr || !loudness_meter_figures(sound->meter, &figures)) return;
  job->integrated.store(hundredths(figures.integrated));
  job->range.store(hundredths(figures.range));
  job->true_peak.store(hundredths(figures.true_peak));
}

void kelvra_render_sound_close(RenderSound* sound) {
  audio_feed_close(&sound->feed);
  loudness_meter_destroy(sound->meter);
  sound->meter = nullptr;
  kelvra_limiter_destroy(sound->limiter);
  sound->limiter = nullptr;
}
