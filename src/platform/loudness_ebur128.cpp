// The loudness meter on libebur128. Integrated loudness and loudness range use
// the library's histogram mode, so asking for them mid-stream costs the same
// at any length; true peak is the library's 4x over-sampled estimate.
#include <ebur128.h>

#include <cmath>
#include <cstdlib>

#include "platform/loudness.h"

struct LoudnessMeter {
  ebur128_state* state;
  bool true_peak;
  double scratch[2 * 1024];
};

namespace {

constexpr int kMode = EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM;

double to_db(double amplitude) { return amplitude > 0 ? 20.0 * std::log10(amplitude) : -HUGE_VAL; }

}  // namespace

LoudnessMeter* loudness_meter_create(uint32_t rate, bool true_peak) {
  auto* meter = static_cast<LoudnessMeter*>(std::calloc(1, sizeof(LoudnessMeter)));
  if (meter == nullptr) return nullptr;
  meter->true_peak = true_peak;
  meter->state = ebur128_init(2, rate, kMode | (true_peak ? EBUR128_MODE_TRUE_PEAK : 0));
  if (meter->state == nullptr) {
    std::free(meter);
    return nullptr;
  }
  return meter;
}

void loudness_meter_destroy(LoudnessMeter* meter) {
  if (meter == nullptr) return;
  ebur128_destroy(&meter->state);
  std::free(meter);
}

bool loudness_meter_add(LoudnessMeter* meter, const double* frames, uint64_t count, double full_scale) {
  if (full_scale == 1.0) return ebur128_add_frames_double(meter->state, frames, count) == EBUR128_SUCCESS;
  const double scale = 1.0 / full_scale;
  constexpr uint64_t kChunk = sizeof meter->scratch / sizeof meter->scratch[0] / 2;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = count - done < kChunk ? count - done : kChunk;
    for (uint64_t i = 0; i < 2 * n; ++i) meter->scratch[i] = frames[2 * done + i] * scale;
    if (ebur128_add_frames_double(meter->state, meter->scratch, n) != EBUR128_SUCCESS) return false;
    done += n;
  }
  return true;
}

bool loudness_meter_add_pcm(LoudnessMeter* meter, const int16_t* frames, uint64_t count) {
  return ebur128_add_frames_short(meter->state, frames, count) == EBUR128_SUCCESS;
}

bool loudness_meter_figures(LoudnessMeter* meter, LoudnessFigures* out) {
  return loudness_meter_figures_of(&meter, 1, out);
}

bool loudness_meter_figures_of(LoudnessMeter* const* meters, size_t count, LoudnessFigures* out) {
  ebur128_state* states[8];
  if (count == 0 || count > 8) return false;
  double peak = 0;
  bool peaks = true;
  for (size_t i = 0; i < count; ++i) {
    states[i] = meters[i]->state;
    peaks = peaks && meters[i]->true_peak;
    for (unsigned channel = 0; channel < 2 && peaks; ++channel) {
      double channel_peak = 0;
      if (ebur128_true_peak(states[i], channel, &channel_peak) != EBUR128_SUCCESS) return false;
      if (channel_peak > peak) peak = channel_peak;
    }
  }
  if (ebur128_loudness_global_multiple(states, count, &out->integrated) != EBUR128_SUCCESS) return false;
  if (ebur128_loudness_range_multiple(states, count, &out->range) != EBUR128_SUCCESS) return false;
  out->true_peak = peaks ? to_db(peak) : NAN;
  return true;
}
