// Loudness of exports: the project's target, the measuring pass over the mix,
// the peak limiter, the passes that settle the gain (for an MP4 through a
// trial of its sound encoder), and the sound stream the export worker writes
// from, which meters a WAV's blocks as it hands them out.
//
//   [target]   kelvra_loudness_target, kelvra_loudness_parse, kelvra_loudness_label, kelvra_render_row_loudness
//   [limiter]  kelvra_limiter_create, kelvra_limiter_destroy, kelvra_limiter_process
//   [measure]  kelvra_loudness_measure, kelvra_loudness_measure_limited
//   [sound]    kelvra_render_sound_open, kelvra_render_sound_block, kelvra_render_sound_report,
//              kelvra_render_sound_written, kelvra_render_sound_close
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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
  std::snprintf(out, size, "%s%s  ·  LRA %.1f LU  ·  %s", integrated, row->limited_by_peaks ? ", limited by peaks" : "",
                figures.range, peak);
}

// ------------------------------------------------------------------- [limiter]

namespace {

constexpr double kMarginDb = 0.1;  // the limiter's ceiling sits this far under the target's

double db_to_gain(double db) { return std::pow(10.0, db / 20.0); }

// A sample as a 16-bit file holds it.
int16_t to_pcm(double value) { return static_cast<int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0))); }

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
  MediaWriter* trial;  // the encoder the limited sound also goes through; none for none
  uint64_t limited_out;  // frames the limiter has given
  bool ok;
};

// Hands the limiter's newest `n` frames to the span's trial encoder as the
// render hands them to a file's: rounded to 16 bits, from the end of the
// limiter's delay to the export's length.
bool feed_trial(MeasureSpan* span, const double* limited, uint64_t n) {
  const uint64_t first = span->limited_out;
  span->limited_out += n;
  const uint64_t from = std::max<uint64_t>(first, LIMITER_DELAY);
  const uint64_t to = std::min<uint64_t>(span->limited_out, span->to + LIMITER_DELAY);
  if (span->trial == nullptr || from >= to) return true;
  int16_t pcm[2 * RENDER_BLOCK_FRAMES];
  for (uint64_t k = from; k < to; ++k) {
    pcm[2 * (k - from)] = to_pcm(limited[2 * (k - first)]);
    pcm[2 * (k - from) + 1] = to_pcm(limited[2 * (k - first) + 1]);
  }
  const auto time = static_cast<int64_t>((from - LIMITER_DELAY) * MEDIA_TICKS_PER_SECOND / RENDER_RATE);
  return media_writer_audio(span->trial, pcm, to - from, time, 0) == MEDIA_OK;
}

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
      span->ok = span->ok && kelvra_limiter_process(span->limiter, wide, limited, n) && feed_trial(span, limited, n);
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
               feed_trial(span, limited, LIMITER_DELAY) &&
               loudness_meter_add(span->meter, limited, LIMITER_DELAY, 32768.0);
  }
}

// Measures the mix from the start, or at `gain` through a limiter to
// `ceiling` (dBTP) when `limited`; with `decoded` (a true-peak meter) the
// limited sound also goes through a trial of the MP4's sound encoder, in one
// run, and its decoded sound into `decoded`.
bool measure(const SoundPlan* plan, uint64_t frames, double gain, bool limited,
             double ceiling, LoudnessMeter* decoded, const std::atomic<int32_t>* cancel,
             std::atomic<int32_t>* permille, int32_t share, LoudnessFigures* out) {
  const uint64_t middle = frames >= kSplitFrames && decoded == nullptr ? frames / 2 / kHop * kHop : frames;
  MeasureSpan spans[2] = {
      {plan, 0, middle, gain, nullptr, nullptr, cancel, permille, share, nullptr, 0, false},
      {plan, middle, frames, gain, nullptr, nullptr, cancel, nullptr, share, nullptr, 0, false}};
  const size_t count = middle < frames ? 2 : 1;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    spans[i].meter = loudness_meter_create(RENDER_RATE, false);
    if (limited) spans[i].limiter = kelvra_limiter_create(ceiling);
    ok = ok && spans[i].meter != nullptr && (!limited || spans[i].limiter != nullptr);
  }
  if (ok && limited && decoded != nullptr) {
    MediaWriterConfig config{};
    kelvra_encoder_sound(&config);
    config.decoded = decoded;
    ok = media_writer_open_trial(&spans[0].trial, &config) == MEDIA_OK;
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
    if (ok && spans[0].trial != nullptr)
      ok = media_writer_finalize(spans[0].trial) == MEDIA_OK && loudness_meter_finish(decoded);
  }
  for (MeasureSpan& span : spans) {
    loudness_meter_destroy(span.meter);
    kelvra_limiter_destroy(span.limiter);
    media_writer_close(span.trial);
  }
  return ok;
}

}  // namespace

bool kelvra_loudness_measure(const SoundPlan* plan, uint64_t frames, const std::atomic<int32_t>* cancel,
                             std::atomic<int32_t>* permille, int32_t share, LoudnessFigures* out) {
  return measure(plan, frames, 1.0, false, LOUDNESS_CEILING, nullptr, cancel, permille, share, out);
}

bool kelvra_loudness_measure_limited(const SoundPlan* plan, uint64_t frames, double gain,
                                     double ceiling_dbtp, const std::atomic<int32_t>* cancel, LoudnessFigures* out,
                                     double* decoded_peak) {
  LoudnessMeter* decoded = nullptr;
  if (decoded_peak != nullptr) {
    decoded = loudness_meter_create(RENDER_RATE, true);
    if (decoded == nullptr) return false;
  }
  bool ok = measure(plan, frames, gain, true, ceiling_dbtp, decoded, cancel, nullptr, 0, out);
  if (ok && decoded != nullptr) {
    LoudnessFigures figures{};
    ok = loudness_meter_figures(decoded, &figures);
    *decoded_peak = figures.true_peak;
  }
  loudness_meter_destroy(decoded);
  return ok;
}

// --------------------------------------------------------------------- [sound]

namespace {

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
// The most loudness the limiter may take off: the gain stops where what the
// limiter holds down costs this much of what the gain alone would give.
constexpr double kMostLossLu = 2.0;
constexpr double kToleranceLu = 0.1;  // of the target, or of the most loss
constexpr int kMostPasses = 4;        // through the limiter, to settle the gain for one ceiling
constexpr int kMostTrials = 3;        // through the MP4's encoder, to settle its ceiling
// An MP4's decoded sound is held to the limiter's own ceiling, a tenth under
// -1 dBTP, so that a meter reading a little differently still finds -1.
constexpr double kDecodedGoal = LOUDNESS_CEILING - kMarginDb;
// The limiter's ceiling for an MP4 starts this far under -1 dBTP: room for
// what AAC adds to the peaks of most sound (0.4 to 0.6 dB; noise bursts get
// up to 3 dB, which the trials find).
constexpr double kEncoderMarginDb = 0.7;
// Peaks further than this under the goal after the gain are not tried
// through the encoder: AAC does not add that much.
constexpr double kEncoderReachDb = 6.0;

// What settling knows of the mix and the target.
struct Settling {
  RenderJob* job;
  const SoundPlan* plan;
  uint64_t frames;
  double target;
  LoudnessFigures mix;
};

// A gain and what the limiter makes of it.
struct Pass {
  double gain_db;
  double loudness;  // LUFS of the limited sound
  double loss;      // LU the limiter took off
  double excess;    // how far past the nearer of its limits (the target, the most loss); 0 or less within both
};

// One pass through the limiter to `ceiling` at `gain_db`; with
// `decoded_peak`, through the MP4's encoder too. A MEDIA_* status.
int32_t run_pass(const Settling& s, double gain_db, double ceiling, Pass* out, double* decoded_peak) {
  LoudnessFigures through{};
  if (!kelvra_loudness_measure_limited(s.plan, s.frames, db_to_gain(gain_db), ceiling,
                                       &s.job->cancel, &through, decoded_peak))
    return s.job->cancel.load() != 0 ? MEDIA_E_CANCELLED : MEDIA_E_OUTOFMEMORY;
  const double loss = s.mix.integrated + gain_db - through.integrated;
  out->gain_db = gain_db;
  out->loudness = through.integrated;
  out->loss = loss;
  // Nothing left above the gate reads as far too much gain.
  out->excess = std::isfinite(loss) ? std::max(through.integrated - s.target, loss - kMostLossLu) : HUGE_VAL;
  return MEDIA_OK;
}

// The loudest gain for the limiter's `ceiling` within both limits: the
// limited loudness at most the target, and the loudness the limiter takes off
// at most kMostLossLu. Both rise with the gain, so the gain sought is where
// the first of them reaches its limit. It lies between a gain that leaves the
// limiter idle (losing nothing, short of the target) and the target's gain
// plus kMostLossLu (there either the target is reached or the loss is past
// its limit). Passes from `start` close in on it: each limit's own secant
// step (the loss rises with the gain at a rate s from 0 to 1, the loudness at
// 1 - s), the nearer of the two taken. The first step assumes whichever s
// moves least, which never oversteps; a step that leaves the bracket halves
// it instead. The outcome is the loudest pass within the limits, else the
// idle gain.
int32_t find_gain(const Settling& s, double start, double ceiling, int passes, Pass* chosen) {
  const double first = s.target - s.mix.integrated;
  double low = std::min(ceiling - kLimitedHeadroomDb - s.mix.sample_peak, first);
  double high = first + kMostLossLu;
  *chosen = Pass{low, s.mix.integrated + low, 0, std::max(low - first, -kMostLossLu)};
  bool found = false;
  double g = std::clamp(start, low, high);
  Pass last{NAN, NAN, NAN, NAN};
  for (int pass = 0; pass < passes; ++pass) {
    Pass now{};
    const int32_t result = run_pass(s, g, ceiling, &now, nullptr);
    if (result != MEDIA_OK) return result;
    if (now.excess <= kToleranceLu && (!found || now.gain_db > chosen->gain_db)) {
      *chosen = now;
      found = true;
    }
    if (std::fabs(now.excess) <= kToleranceLu) break;
    if (now.excess > 0) high = std::min(high, g);
    else low = std::max(low, g);
    g = NAN;
    if (std::isfinite(now.excess)) {
      double to_target = s.target - now.loudness;  // the gain each limit allows, at the slope that moves least
      double to_loss = kMostLossLu - now.loss;
      if (std::isfinite(last.loss) && now.gain_db != last.gain_db) {
        const double rate = std::clamp((now.loss - last.loss) / (now.gain_db - last.gain_db), 0.0, 0.95);
        to_target /= 1.0 - rate;
        to_loss = rate > 0.001 ? to_loss / rate : to_loss > 0 ? HUGE_VAL : -HUGE_VAL;
      }
      g = now.gain_db + std::min(to_target, to_loss);
    }
    last = now;
    if (!(g > low && g < high)) g = (low + high) / 2;
  }
  return MEDIA_OK;
}

// Settles an MP4's ceiling: the chosen gain goes through a trial of the
// encoder, and the ceiling moves by what the decoded true peak passes the
// goal (or, while the limiter holds the sound short of its target, by the
// room left under it), the gain settled again for each new ceiling. The
// decoded peak follows the ceiling down more slowly than the ceiling moves
// (by two thirds of it, at first guess; then as the last two trials show),
// so a step down is the more for it; a step up assumes they move alike. The
// outcome is the loudest trial whose decoded peak kept the goal; when none
// did, the last gain is lowered by what its peak passed, unverified.
int32_t settle_encoded(const Settling& s, Pass* chosen, double* ceiling) {
  Pass best{};
  double best_ceiling = *ceiling;
  bool kept = false;
  double over = 0;
  double last_ceiling = NAN;
  double last_peak = NAN;
  for (int trial = 0; trial < kMostTrials; ++trial) {
    Pass now{};
    double peak = NAN;
    const int32_t result = run_pass(s, chosen->gain_db, *ceiling, &now, &peak);
    if (result != MEDIA_OK) return result;
    over = std::isfinite(peak) ? peak - kDecodedGoal : -HUGE_VAL;
    if (over <= 0) {
      if (!kept || now.loudness > best.loudness) {
        best = now;
        best_ceiling = *ceiling;
        kept = true;
      }
      // More room helps only a sound the limiter holds short of its target.
      const bool idle = s.mix.integrated + now.gain_db - now.loudness < 0.05;
      if (over >= -0.3 || *ceiling >= LOUDNESS_CEILING || idle || now.loudness >= s.target - kToleranceLu) break;
    }
    if (trial + 1 == kMostTrials) break;
    double follows = 1.0;
    if (over > 0) {
      follows = 2.0 / 3.0;
      if (std::isfinite(last_peak) && *ceiling != last_ceiling)
        follows = std::clamp((peak - last_peak) / (*ceiling - last_ceiling), 0.4, 1.0);
    }
    last_ceiling = *ceiling;
    last_peak = peak;
    *ceiling = std::min(LOUDNESS_CEILING, *ceiling - (over + 0.1) / follows);
    if (s.mix.sample_peak + chosen->gain_db > *ceiling - kLimitedHeadroomDb) {
      const int32_t settled = find_gain(s, chosen->gain_db, *ceiling, kMostPasses - 1, chosen);
      if (settled != MEDIA_OK) return settled;
    }
  }
  if (kept) {
    *chosen = best;
    *ceiling = best_ceiling;
  } else {
    chosen->gain_db -= over + 0.1;
    chosen->loudness -= over + 0.1;
  }
  return MEDIA_OK;
}

}  // namespace

int32_t kelvra_render_sound_open(RenderSound* sound, RenderJob* job, const SoundPlan* plan, uint64_t frames,
                                 double target, int32_t share) {
  audio_feed_open(&sound->feed, plan);
  sound->frames = frames;
  sound->gain = 1.0;
  sound->lossy = !job->row.is_wav;
  sound->meter = loudness_meter_create(RENDER_RATE, true);
  if (sound->meter == nullptr) return MEDIA_E_OUTOFMEMORY;
  if (target == 0.0) return MEDIA_OK;
  job->stage.exchange(RENDER_MEASURING);
  LoudnessFigures mix{};
  if (!kelvra_loudness_measure(plan, frames, &job->cancel, &job->permille, share, &mix))
    return job->cancel.load() != 0 ? MEDIA_E_CANCELLED : MEDIA_E_OUTOFMEMORY;
  // A mix with nothing above the meter's gate keeps its level.
  if (!std::isfinite(mix.integrated)) return MEDIA_OK;
  const Settling settling{job, plan, frames, target, mix};
  Pass chosen{target - mix.integrated, target, 0, 0};
  double ceiling = sound->lossy ? LOUDNESS_CEILING - kEncoderMarginDb : LOUDNESS_CEILING;
  const double peak = mix.sample_peak + chosen.gain_db;
  int32_t settled = MEDIA_OK;
  if (peak > ceiling - kLimitedHeadroomDb) settled = find_gain(settling, chosen.gain_db, ceiling, kMostPasses, &chosen);
  if (settled == MEDIA_OK && sound->lossy && peak > kDecodedGoal - kEncoderReachDb)
    settled = settle_encoded(settling, &chosen, &ceiling);
  if (settled != MEDIA_OK) return settled;
  job->peak_limited.store(chosen.loudness < target - kToleranceLu ? 1 : 0);
  const double gain_db = chosen.gain_db;
  sound->gain = db_to_gain(gain_db);
  // The limiter finds the true peaks itself and leaves alone what stays
  // under its ceiling, so a mix that needs none comes out as gain alone.
  sound->limiter = kelvra_limiter_create(ceiling);
  if (sound->limiter == nullptr) return MEDIA_E_OUTOFMEMORY;
  sound->skip = LIMITER_DELAY;
  return MEDIA_OK;
}

bool kelvra_render_sound_block(RenderSound* sound, int16_t* out, uint64_t n) {
  while (sound->ready < n) take_mix(sound);
  std::memcpy(out, sound->out, n * 4);
  sound->ready -= n;
  std::memmove(sound->out, sound->out + 2 * n, sound->ready * 4);
  // A WAV holds these very samples; an MP4's encoder meters what it decodes again.
  if (!sound->lossy) loudness_meter_add_pcm(sound->meter, out, n);
  sound->delivered += n;
  return !sound->failed;
}

void kelvra_render_sound_written(RenderSound* sound, RenderJob* job) {
  if (sound->meter == nullptr) return;
  loudness_meter_finish(sound->meter);
  kelvra_render_sound_report(sound, job);
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
