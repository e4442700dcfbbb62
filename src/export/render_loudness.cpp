// Loudness of exports: the project's target, the measuring pass over the mix,
// the peak limiter, and the sound stream the export worker writes from, which
// meters every block it hands out.
//
//   [target]   kelvra_loudness_target, kelvra_loudness_parse, kelvra_loudness_label, kelvra_render_row_loudness
//   [limiter]  kelvra_limiter_reset, kelvra_limiter_push
//   [measure]  kelvra_loudness_measure
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

constexpr uint32_t kTaps = 2 * LIMITER_HALF_TAPS;
constexpr double kMarginDb = 0.1;  // the limiter's ceiling sits this far under the target's

// Windowed-sinc coefficients for the points 1/4, 2/4 and 3/4 of the way from
// frame m to m+1, over the frames m-7 .. m+8.
struct Interpolator {
  double phase[3][kTaps];
  Interpolator() {
    const double reach = LIMITER_HALF_TAPS + 0.5;
    for (int k = 0; k < 3; ++k) {
      const double f = (k + 1) / 4.0;
      for (uint32_t i = 0; i < kTaps; ++i) {
        const double u = static_cast<double>(i) - (LIMITER_HALF_TAPS - 1) - f;
        const double sinc = std::sin(M_PI * u) / (M_PI * u);
        const double window = 0.5 * (1.0 + std::cos(M_PI * u / reach));
        phase[k][i] = sinc * window;
      }
    }
  }
};

const Interpolator kInterpolator;

double db_to_gain(double db) { return std::pow(10.0, db / 20.0); }

uint64_t ring(int64_t frame) { return static_cast<uint64_t>(frame) & (LIMITER_RING - 1); }

// The largest magnitude on either channel from frame m to m+1, over-sampled 4x.
double peak_between(const PeakLimiter* limiter, int64_t m) {
  double peak = 0;
  for (uint32_t c = 0; c < 2; ++c) {
    double taps[kTaps];
    for (uint32_t i = 0; i < kTaps; ++i)
      taps[i] = limiter->input[2 * ring(m - (LIMITER_HALF_TAPS - 1) + static_cast<int64_t>(i)) + c];
    peak = std::max({peak, std::fabs(taps[LIMITER_HALF_TAPS - 1]), std::fabs(taps[LIMITER_HALF_TAPS])});
    for (const double* coefficients : kInterpolator.phase) {
      double value = 0;
      for (uint32_t i = 0; i < kTaps; ++i) value += taps[i] * coefficients[i];
      peak = std::max(peak, std::fabs(value));
    }
  }
  return peak;
}

}  // namespace

void kelvra_limiter_reset(PeakLimiter* limiter, double ceiling_dbtp) {
  std::memset(limiter, 0, sizeof *limiter);
  limiter->ceiling = 32768.0 * db_to_gain(ceiling_dbtp - kMarginDb);
  limiter->release = 1.0 - std::exp(-1.0 / (0.1 * RENDER_RATE));
  limiter->envelope = 1.0;
  std::fill(limiter->smoothing, limiter->smoothing + LIMITER_LOOKAHEAD, 1.0);
  limiter->smoothing_sum = LIMITER_LOOKAHEAD;
}

void kelvra_limiter_push(PeakLimiter* limiter, const double* in, double* out) {
  const int64_t n = static_cast<int64_t>(limiter->pushed++);
  limiter->input[2 * ring(n)] = in[0];
  limiter->input[2 * ring(n) + 1] = in[1];
  // The gain frame m needs so that neither of its neighbouring spans passes the ceiling.
  const int64_t m = n - LIMITER_HALF_TAPS;
  const double between = peak_between(limiter, m);
  const double peak = std::max(between, limiter->between);
  limiter->between = between;
  const double need = peak > limiter->ceiling ? limiter->ceiling / peak : 1.0;
  // The least need over the look-ahead window ending at m.
  uint32_t& head = limiter->minimum_head;
  uint32_t& count = limiter->minimum_count;
  while (count > 0 && limiter->minimum_at[head] <= m - static_cast<int64_t>(LIMITER_LOOKAHEAD)) {
    head = (head + 1) % LIMITER_LOOKAHEAD;
    --count;
  }
  while (count > 0 && limiter->minimum_gain[(head + count - 1) % LIMITER_LOOKAHEAD] >= need) --count;
  limiter->minimum_gain[(head + count) % LIMITER_LOOKAHEAD] = need;
  limiter->minimum_at[(head + count) % LIMITER_LOOKAHEAD] = m;
  ++count;
  const double held = limiter->minimum_gain[head];
  // Down at once, back up slowly; then averaged over the look-ahead so that
  // the gain glides down and has arrived when the peak leaves.
  double& envelope = limiter->envelope;
  envelope = held < envelope ? held : envelope + (held - envelope) * limiter->release;
  const int64_t k = m - static_cast<int64_t>(LIMITER_LOOKAHEAD) + 1;
  double& slot = limiter->smoothing[static_cast<uint64_t>(n) % LIMITER_LOOKAHEAD];
  limiter->smoothing_sum += envelope - slot;
  slot = envelope;
  const double gain = std::min(1.0, limiter->smoothing_sum / LIMITER_LOOKAHEAD);
  out[0] = limiter->input[2 * ring(k)] * gain;
  out[1] = limiter->input[2 * ring(k) + 1] * gain;
}

// ------------------------------------------------------------------- [measure]

namespace {

// A mix long enough that losing the few 400 ms gating blocks across the
// middle changes nothing measurable is measured in two halves at once.
constexpr uint64_t kSplitFrames = 60 * RENDER_RATE;
constexpr uint64_t kHop = 4800;  // the meter's 100 ms step: the halves meet on it

struct MeasureSpan {
  const KelvraApp* snapshot;
  const WavePcm* table;
  uint64_t from;
  uint64_t to;
  LoudnessMeter* meter;
  const std::atomic<int32_t>* cancel;
  std::atomic<int32_t>* permille;  // null for a half that does not report
  int32_t share;
  bool ok;
};

void measure_span(MeasureSpan* span) {
  double wide[2 * RENDER_BLOCK_FRAMES];
  const double length = static_cast<double>(span->to - span->from);
  span->ok = true;
  for (uint64_t done = span->from; done < span->to && span->ok; done += RENDER_BLOCK_FRAMES) {
    if (span->cancel != nullptr && span->cancel->load(std::memory_order_relaxed) != 0) span->ok = false;
    const uint64_t n = std::min<uint64_t>(span->to - done, RENDER_BLOCK_FRAMES);
    kelvra_audio_export_mix_wide(span->snapshot, span->table, PROJECT_MAX_ROWS,
                                 static_cast<double>(done) / RENDER_RATE, wide, n);
    span->ok = span->ok && loudness_meter_add(span->meter, wide, n, 32768.0);
    if (span->permille != nullptr)
      span->permille->store(static_cast<int32_t>(static_cast<double>(done + n - span->from) / length * span->share));
  }
}

}  // namespace

bool kelvra_loudness_measure(const KelvraApp* snapshot, const WavePcm* table, uint64_t frames,
                             const std::atomic<int32_t>* cancel, std::atomic<int32_t>* permille, int32_t share,
                             LoudnessFigures* out) {
  const uint64_t middle = frames >= kSplitFrames ? frames / 2 / kHop * kHop : frames;
  MeasureSpan spans[2] = {{snapshot, table, 0, middle, nullptr, cancel, permille, share, false},
                          {snapshot, table, middle, frames, nullptr, cancel, nullptr, share, false}};
  const size_t count = middle < frames ? 2 : 1;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    spans[i].meter = loudness_meter_create(RENDER_RATE, false);
    ok = ok && spans[i].meter != nullptr;
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
  for (MeasureSpan& span : spans) loudness_meter_destroy(span.meter);
  return ok;
}

// --------------------------------------------------------------------- [sound]

namespace {

int16_t to_pcm(double value) { return static_cast<int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0))); }

int32_t hundredths(double value) {
  if (!std::isfinite(value)) return RENDER_NO_FIGURE;
  return static_cast<int32_t>(std::lround(std::clamp(value, -20000.0, 20000.0) * 100.0));
}

void emit(RenderSound* sound, const double* frame) {
  if (sound->skip > 0) {
    --sound->skip;  // the limiter's silence before the first frame
    return;
  }
  sound->out[2 * sound->ready] = to_pcm(frame[0]);
  sound->out[2 * sound->ready + 1] = to_pcm(frame[1]);
  ++sound->ready;
}

// Takes the next block of the mix into `out`, or past the end the frames the limiter still holds.
void take_mix(RenderSound* sound) {
  if (sound->mixed >= sound->frames) {
    const double silence[2] = {0.0, 0.0};
    double frame[2];
    for (uint32_t i = 0; i < LIMITER_DELAY; ++i) {
      kelvra_limiter_push(sound->limiter, silence, frame);
      emit(sound, frame);
    }
    return;
  }
  const uint64_t n = std::min<uint64_t>(sound->frames - sound->mixed, RENDER_BLOCK_FRAMES);
  kelvra_audio_export_mix_wide(sound->snapshot, sound->table, PROJECT_MAX_ROWS,
                               static_cast<double>(sound->mixed) / RENDER_RATE, sound->wide, n);
  sound->mixed += n;
  for (uint64_t i = 0; i < n; ++i) {
    double frame[2] = {sound->wide[2 * i] * sound->gain, sound->wide[2 * i + 1] * sound->gain};
    if (sound->limiter != nullptr) {
      const double in[2] = {frame[0], frame[1]};
      kelvra_limiter_push(sound->limiter, in, frame);
    }
    emit(sound, frame);
  }
}

}  // namespace

int32_t kelvra_render_sound_open(RenderSound* sound, RenderJob* job, const WavePcm* table, uint64_t frames,
                                 double target, int32_t share) {
  sound->snapshot = job->snapshot;
  sound->table = table;
  sound->frames = frames;
  sound->gain = 1.0;
  sound->meter = loudness_meter_create(RENDER_RATE, true);
  if (sound->meter == nullptr) return MEDIA_E_OUTOFMEMORY;
  if (target == 0.0) return MEDIA_OK;
  job->stage.exchange(RENDER_MEASURING);
  LoudnessFigures mix{};
  if (!kelvra_loudness_measure(job->snapshot, table, frames, &job->cancel, &job->permille, share, &mix))
    return job->cancel.load() != 0 ? MEDIA_E_CANCELLED : MEDIA_E_OUTOFMEMORY;
  // A mix with nothing above the meter's gate keeps its level.
  if (!std::isfinite(mix.integrated)) return MEDIA_OK;
  sound->gain = db_to_gain(target - mix.integrated);
  // The limiter finds the true peaks itself and leaves alone what stays
  // under its ceiling, so a mix that needs none comes out as gain alone.
  sound->limiter = static_cast<PeakLimiter*>(std::malloc(sizeof(PeakLimiter)));
  if (sound->limiter == nullptr) return MEDIA_E_OUTOFMEMORY;
  kelvra_limiter_reset(sound->limiter, LOUDNESS_CEILING);
  sound->skip = LIMITER_DELAY;
  return MEDIA_OK;
}

void kelvra_render_sound_block(RenderSound* sound, int16_t* out, uint64_t n) {
  while (sound->ready < n) take_mix(sound);
  std::memcpy(out, sound->out, n * 4);
  sound->ready -= n;
  std::memmove(sound->out, sound->out + 2 * n, sound->ready * 4);
  loudness_meter_add_pcm(sound->meter, out, n);
}

void kelvra_render_sound_report(RenderSound* sound, RenderJob* job) {
  LoudnessFigures figures{};
  if (sound->meter == nullptr || !loudness_meter_figures(sound->meter, &figures)) return;
  job->integrated.store(hundredths(figures.integrated));
  job->range.store(hundredths(figures.range));
  job->true_peak.store(hundredths(figures.true_peak));
}

void kelvra_render_sound_close(RenderSound* sound) {
  loudness_meter_destroy(sound->meter);
  sound->meter = nullptr;
  std::free(sound->limiter);
  sound->limiter = nullptr;
}
