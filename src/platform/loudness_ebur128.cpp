// The loudness meter: integrated loudness and loudness range from libebur128
// in its histogram mode (so asking mid-stream costs the same at any length);
// true peak as the largest magnitude of the sound resampled to 192 kHz by
// FFmpeg's resampler, the estimate players and FFmpeg's own meter report.
#include <ebur128.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <cstdlib>

#include "platform/loudness.h"

namespace {

constexpr int kMode = EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM;
constexpr uint32_t kPeakRate = 192000;
constexpr uint64_t kChunk = 1024;  // frames converted at a time
constexpr uint64_t kPeakRoom = 8 * kChunk + 256;  // resampled frames one chunk can give, with the filter's tail

double to_db(double amplitude) { return amplitude > 0 ? 20.0 * std::log10(amplitude) : -HUGE_VAL; }

}  // namespace

struct LoudnessMeter {
  ebur128_state* state;
  SwrContext* resampler;  // none without true peaks
  double peak;         // largest resampled magnitude so far, full scale 1
  double sample_peak;  // largest sample magnitude so far, full scale 1
  double scratch[2 * kChunk];
  double resampled[2 * kPeakRoom];
};

namespace {

// Resamples `count` (at most kChunk) frames and keeps the largest magnitude;
// null input drains what the resampler still holds.
bool track_peak(LoudnessMeter* meter, const double* frames, uint64_t count) {
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(frames)};
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(meter->resampled)};
  const int made = swr_convert(meter->resampler, out, static_cast<int>(kPeakRoom), frames != nullptr ? in : nullptr,
                               static_cast<int>(count));
  if (made < 0) return false;
  for (int i = 0; i < 2 * made; ++i) meter->peak = std::fmax(meter->peak, std::fabs(meter->resampled[i]));
  return true;
}

bool add_normalised(LoudnessMeter* meter, const double* frames, uint64_t count) {
  if (ebur128_add_frames_double(meter->state, frames, count) != EBUR128_SUCCESS) return false;
  return meter->resampler == nullptr || track_peak(meter, frames, count);
}

}  // namespace

LoudnessMeter* loudness_meter_create(uint32_t rate, bool true_peak) {
  auto* meter = static_cast<LoudnessMeter*>(std::calloc(1, sizeof(LoudnessMeter)));
  if (meter == nullptr) return nullptr;
  meter->state = ebur128_init(2, rate, kMode);
  bool ok = meter->state != nullptr;
  if (ok && true_peak) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    ok = swr_alloc_set_opts2(&meter->resampler, &stereo, AV_SAMPLE_FMT_DBL, kPeakRate, &stereo, AV_SAMPLE_FMT_DBL,
                             static_cast<int>(rate), 0, nullptr) >= 0 &&
         swr_init(meter->resampler) >= 0;
  }
  if (!ok) {
    loudness_meter_destroy(meter);
    return nullptr;
  }
  return meter;
}

void loudness_meter_destroy(LoudnessMeter* meter) {
  if (meter == nullptr) return;
  if (meter->state != nullptr) ebur128_destroy(&meter->state);
  swr_free(&meter->resampler);
  std::free(meter);
}

namespace {

// Adds frames of any sample type, scaled to full scale 1, a chunk at a time,
// keeping the largest sample magnitude (NaN, as fmax has it, is passed over).
// A maximum comes out the same in any order, so each channel keeps its own.
template <typename Sample>
bool add_scaled(LoudnessMeter* meter, const Sample* frames, uint64_t count, double scale) {
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = count - done < kChunk ? count - done : kChunk;
    double left = meter->sample_peak;
    double right = meter->sample_peak;
    for (uint64_t i = 0; i < n; ++i) {
      const double l = frames[2 * (done + i)] * scale;
      const double r = frames[2 * (done + i) + 1] * scale;
      meter->scratch[2 * i] = l;
      meter->scratch[2 * i + 1] = r;
      left = std::fabs(l) > left ? std::fabs(l) : left;
      right = std::fabs(r) > right ? std::fabs(r) : right;
    }
    meter->sample_peak = left > right ? left : right;
    if (!add_normalised(meter, meter->scratch, n)) return false;
    done += n;
  }
  return true;
}

}  // namespace

bool loudness_meter_add(LoudnessMeter* meter, const double* frames, uint64_t count, double full_scale) {
  return add_scaled(meter, frames, count, 1.0 / full_scale);
}

bool loudness_meter_add_pcm(LoudnessMeter* meter, const int16_t* frames, uint64_t count) {
  return add_scaled(meter, frames, count, 1.0 / 32768.0);
}

// ------------------------------------------------------------- peak finder

struct PeakFinder {
  SwrContext* resampler;
  int64_t lag;       // over-sampled frames from an input frame to its own over-sampled frame
  int64_t made;      // over-sampled frames produced so far
  int64_t finished;  // input frames whose peak has been handed out
  double current;    // largest magnitude so far of frame `finished`, full scale 1
  double resampled[2 * (4 * 256 + 1024)];
};

namespace {

constexpr uint64_t kFinderChunk = 256;  // input frames resampled at a time

SwrContext* peak_resampler(uint32_t rate) {
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  SwrContext* resampler = nullptr;
  if (swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_DBL, kPeakRate, &stereo, AV_SAMPLE_FMT_DBL,
                          static_cast<int>(rate), 0, nullptr) < 0 ||
      swr_init(resampler) < 0)
    swr_free(&resampler);
  return resampler;
}

// Where an impulse at input frame 0 comes out, in over-sampled frames, and
// how many input frames the output trails the input by in one run of kFinderChunk.
bool probe(uint32_t rate, int64_t* lag, int64_t* trail) {
  SwrContext* resampler = peak_resampler(rate);
  if (resampler == nullptr) return false;
  double in[2 * kFinderChunk] = {1.0, 1.0};
  double out[2 * (4 * kFinderChunk + 1024)];
  const uint8_t* in_planes[1] = {reinterpret_cast<const uint8_t*>(in)};
  uint8_t* out_planes[1] = {reinterpret_cast<uint8_t*>(out)};
  const int made = swr_convert(resampler, out_planes, 4 * kFinderChunk + 1024, in_planes, kFinderChunk);
  swr_free(&resampler);
  if (made <= 0) return false;
  *lag = 0;
  for (int j = 1; j < made; ++j)
    if (std::fabs(out[2 * j]) > std::fabs(out[2 * *lag])) *lag = j;
  // The frames whose neighbourhood has fully come out.
  const int64_t complete = (made - *lag - 2) / 4;
  *trail = static_cast<int64_t>(kFinderChunk) - complete;
  return true;
}

}  // namespace

PeakFinder* peak_finder_create(uint32_t rate) {
  int64_t lag = 0;
  int64_t trail = 0;
  if (!probe(rate, &lag, &trail) || trail < 0 || trail > static_cast<int64_t>(PEAK_FINDER_MOST_LAG) - 2)
    return nullptr;
  auto* finder = static_cast<PeakFinder*>(std::calloc(1, sizeof(PeakFinder)));
  if (finder == nullptr) return nullptr;
  finder->lag = lag;
  finder->resampler = peak_resampler(rate);
  if (finder->resampler == nullptr) {
    std::free(finder);
    return nullptr;
  }
  return finder;
}

void peak_finder_destroy(PeakFinder* finder) {
  if (finder == nullptr) return;
  swr_free(&finder->resampler);
  std::free(finder);
}

int64_t peak_finder_run(PeakFinder* finder, const double* frames, uint64_t count, double* peaks) {
  if (count > 4096) return -1;
  double normalised[2 * kFinderChunk];
  int64_t handed = 0;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = count - done < kFinderChunk ? count - done : kFinderChunk;
    for (uint64_t i = 0; i < 2 * n; ++i) normalised[i] = frames[2 * done + i] / 32768.0;
    done += n;
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(normalised)};
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(finder->resampled)};
    const int made = swr_convert(finder->resampler, out, 4 * kFinderChunk + 1024, in, static_cast<int>(n));
    if (made < 0) return -1;
    for (int j = 0; j < made; ++j) {
      // An over-sampled frame belongs to the input frame nearest to it; the
      // filter's run-in before the first input frame belongs to that frame.
      const int64_t position = finder->made++ - finder->lag;
      const int64_t frame = position >= -2 ? (position + 2) / 4 : 0;
      for (; finder->finished < frame; ++finder->finished) {
        peaks[handed++] = finder->current * 32768.0;
        finder->current = 0;
      }
      finder->current = std::fmax(finder->current, std::fmax(std::fabs(finder->resampled[2 * j]),
                                                             std::fabs(finder->resampled[2 * j + 1])));
    }
  }
  return handed;
}

// ------------------------------------------------------------------- meter

bool loudness_meter_finish(LoudnessMeter* meter) {
  return meter->resampler == nullptr || track_peak(meter, nullptr, 0);
}

bool loudness_meter_figures(LoudnessMeter* meter, LoudnessFigures* out) {
  return loudness_meter_figures_of(&meter, 1, out);
}

bool loudness_meter_figures_of(LoudnessMeter* const* meters, size_t count, LoudnessFigures* out) {
  ebur128_state* states[8];
  if (count == 0 || count > 8) return false;
  double peak = 0;
  double sample_peak = 0;
  bool peaks = true;
  for (size_t i = 0; i < count; ++i) {
    states[i] = meters[i]->state;
    peaks = peaks && meters[i]->resampler != nullptr;
    peak = std::fmax(peak, meters[i]->peak);
    sample_peak = std::fmax(sample_peak, meters[i]->sample_peak);
  }
  if (ebur128_loudness_global_multiple(states, count, &out->integrated) != EBUR128_SUCCESS) return false;
  if (ebur128_loudness_range_multiple(states, count, &out->range) != EBUR128_SUCCESS) return false;
  out->true_peak = peaks ? to_db(peak) : NAN;
  out->sample_peak = to_db(sample_peak);
  return true;
}
