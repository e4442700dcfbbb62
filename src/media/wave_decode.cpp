// Decoding a whole source into 16-bit PCM and its peak envelope.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "media/wave.h"
#include "platform/media.h"

namespace {

// Raises the peak bins under the frames of one decoded block.
void raise_peaks(uint16_t* peaks, const int16_t* pcm, uint64_t frames, uint32_t channels, double start, uint32_t rate,
                 double duration) {
  const double bins_per_second = WAVE_PEAKS / duration;
  for (uint64_t i = 0; i < frames; ++i) {
    double position = (start + static_cast<double>(i) / rate) * bins_per_second;
    const uint32_t bin = position <= 0 ? 0 : position >= WAVE_PEAKS - 1 ? WAVE_PEAKS - 1 : static_cast<uint32_t>(position);
    const int16_t* frame = pcm + i * channels;
    uint16_t highest = peaks[bin];
    for (uint32_t c = 0; c < channels; ++c) {
      const int value = frame[c];
      const uint16_t magnitude = static_cast<uint16_t>(value < 0 ? -value : value);
      if (magnitude > highest) highest = magnitude;
    }
    peaks[bin] = highest;
  }
}

}  // namespace

bool audio_wave_decode(WaveWorker* worker, uint64_t serial, const char* path, uint16_t* peaks, WavePcm* out,
                       double* duration, uint64_t budget) {
  *out = WavePcm{};
  MediaReader* reader = nullptr;
  if (media_reader_open(&reader, path, MEDIA_AUDIO) != MEDIA_OK) return false;
  uint64_t ticks = 0;
  if (!media_reader_duration(reader, &ticks)) {
    *duration = 0;
    media_reader_close(reader);
    return false;
  }
  const double seconds = static_cast<double>(ticks) / MEDIA_TICKS_PER_SECOND;
  *duration = seconds;
  const MediaFormat format = media_reader_format(reader);
  if (!(seconds > 0) || format.bits != 16 || format.channels < 1 || format.channels > 16 || format.rate < 8000 ||
      format.rate > 192000) {
    media_reader_close(reader);
    return false;
  }
  const uint32_t channels = format.channels;
  const uint64_t frames = static_cast<uint64_t>(std::ceil(format.rate * seconds));
  int16_t* samples = nullptr;
  if (channels * frames * 2 <= budget) samples = static_cast<int16_t*>(std::calloc(frames * channels, sizeof(int16_t)));

  bool ok = true;
  if (samples != nullptr || peaks != nullptr) {
    bool decoded = false;
    for (;;) {
      if (worker != nullptr && wave_worker_superseded(worker, serial)) {
        ok = false;
        break;
      }
      MediaSample sample;
      if (media_reader_read(reader, &sample) != MEDIA_OK) {
        // A file damaged part-way keeps what decoded before the damage.
        ok = decoded;
        break;
      }
      if (sample.have && sample.frames > 0) {
        decoded = true;
        const double start = static_cast<double>(sample.time) / MEDIA_TICKS_PER_SECOND;
        const int64_t first = std::llround(start * format.rate);
        const uint64_t at = first > 0 ? static_cast<uint64_t>(first) : 0;
        if (samples != nullptr && at < frames) {
          const uint64_t count = sample.frames < frames - at ? sample.frames : frames - at;
          std::memcpy(samples + at * channels, sample.pcm, count * channels * sizeof(int16_t));
        }
        if (peaks != nullptr) raise_peaks(peaks, sample.pcm, sample.frames, channels, start, format.rate, seconds);
      }
      if (sample.end_of_stream) break;
    }
  }
  media_reader_close(reader);
  if (ok && worker != nullptr && wave_worker_superseded(worker, serial)) ok = false;
  if (!ok) {
    std::free(samples);
    return false;
  }
  out->samples = samples;
  out->frames = samples != nullptr ? frames : 0;
  out->rate = format.rate;
  out->channels = channels;
  return true;
}
