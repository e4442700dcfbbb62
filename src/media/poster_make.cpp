// Making one poster: a picture out of the video fitted whole into the poster
// (the rest letterboxed), or, for a file without pictures, the waveform of
// its sound, one bar a pixel column.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "media/poster.h"
#include "media/video.h"
#include "platform/media.h"

namespace {

constexpr uint64_t kPosterBytes = static_cast<uint64_t>(POSTER_WIDTH) * POSTER_HEIGHT * 4;
// A sound longer than this is sampled at each column's time instead of read whole.
constexpr double kReadWholeSound = 90.0;
// What one column's look at a long sound reads.
constexpr double kColumnLook = 0.25;

void put(uint8_t* pixel, uint32_t rgb) {
  pixel[0] = static_cast<uint8_t>(rgb);
  pixel[1] = static_cast<uint8_t>(rgb >> 8);
  pixel[2] = static_cast<uint8_t>(rgb >> 16);
  pixel[3] = 0xFF;
}

void fill(uint8_t* pixels, uint32_t rgb) {
  for (uint64_t i = 0; i < kPosterBytes; i += 4) put(pixels + i, rgb);
}

// Fits a width x height picture whole into the poster: each poster pixel is
// the average of the picture pixels it covers (a larger picture), or the one
// under it (a smaller one).
void fit_picture(const uint8_t* picture, uint32_t width, uint32_t height, uint8_t* pixels) {
  fill(pixels, POSTER_LETTERBOX);
  const double scale = std::min(static_cast<double>(POSTER_WIDTH) / width, static_cast<double>(POSTER_HEIGHT) / height);
  const uint32_t w = std::clamp<uint32_t>(static_cast<uint32_t>(std::lround(width * scale)), 1, POSTER_WIDTH);
  const uint32_t h = std::clamp<uint32_t>(static_cast<uint32_t>(std::lround(height * scale)), 1, POSTER_HEIGHT);
  const uint32_t left = (POSTER_WIDTH - w) / 2;
  const uint32_t top = (POSTER_HEIGHT - h) / 2;
  for (uint32_t y = 0; y < h; ++y) {
    const uint32_t y0 = static_cast<uint32_t>(static_cast<uint64_t>(y) * height / h);
    const uint32_t y1 = std::max(y0 + 1, static_cast<uint32_t>(static_cast<uint64_t>(y + 1) * height / h));
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t x0 = static_cast<uint32_t>(static_cast<uint64_t>(x) * width / w);
      const uint32_t x1 = std::max(x0 + 1, static_cast<uint32_t>(static_cast<uint64_t>(x + 1) * width / w));
      uint64_t sum[3] = {0, 0, 0};
      for (uint32_t sy = y0; sy < y1; ++sy) {
        const uint8_t* row = picture + (static_cast<uint64_t>(sy) * width + x0) * 4;
        for (uint32_t sx = x0; sx < x1; ++sx, row += 4) {
          sum[0] += row[0];
          sum[1] += row[1];
          sum[2] += row[2];
        }
      }
      const uint64_t count = static_cast<uint64_t>(y1 - y0) * (x1 - x0);
      uint8_t* out = pixels + (static_cast<uint64_t>(top + y) * POSTER_WIDTH + left + x) * 4;
      out[0] = static_cast<uint8_t>(sum[0] / count);
      out[1] = static_cast<uint8_t>(sum[1] / count);
      out[2] = static_cast<uint8_t>(sum[2] / count);
      out[3] = 0xFF;
    }
  }
}

// A picture some way into the video (its opening is often black), else its first.
bool video_poster(const char* path, uint8_t* pixels) {
  VideoDecoder decoder{};
  if (!video_decode_open(&decoder, path, 1)) return false;
  const double at = decoder.duration > 0 ? std::min(decoder.duration * 0.1, 3.0) : 0.0;
  bool decoded = video_decode_frame(&decoder, at);
  if (!decoded && at > 0) {
    video_decode_close(&decoder);
    decoded = video_decode_open(&decoder, path, 1) && video_decode_frame(&decoder, 0.0);
  }
  if (decoded) fit_picture(decoder.pixels, decoder.width, decoder.height, pixels);
  video_decode_close(&decoder);
  return decoded;
}

// Raises the column peaks under one block of sound that starts at `start` seconds.
void raise_columns(uint16_t* peaks, const MediaSample& sample, uint32_t channels, uint32_t rate, double start,
                   double duration) {
  const double columns_per_second = POSTER_WIDTH / duration;
  for (uint64_t i = 0; i < sample.frames; ++i) {
    const double position = (start + static_cast<double>(i) / rate) * columns_per_second;
    const uint32_t column =
        position <= 0 ? 0 : position >= POSTER_WIDTH - 1 ? POSTER_WIDTH - 1 : static_cast<uint32_t>(position);
    const int16_t* frame = sample.pcm + i * channels;
    for (uint32_t c = 0; c < channels; ++c) {
      const int value = frame[c];
      const uint16_t magnitude = static_cast<uint16_t>(value < 0 ? -value : value);
      peaks[column] = std::max(peaks[column], magnitude);
    }
  }
}

// The loudest value of each pixel column's stretch of the sound: read whole
// for a short sound, one look a column for a long one.
bool sound_peaks(const char* path, uint16_t* peaks) {
  MediaReader* reader = nullptr;
  if (media_reader_open(&reader, path, MEDIA_AUDIO, 1) != MEDIA_OK) return false;
  uint64_t ticks = 0;
  const MediaFormat format = media_reader_format(reader);
  const double duration = media_reader_duration(reader, &ticks) ? static_cast<double>(ticks) / MEDIA_TICKS_PER_SECOND : 0;
  if (!(duration > 0) || format.channels < 1 || format.rate < 1 || format.bits != 16) {
    media_reader_close(reader);
    return false;
  }
  bool any = false;
  if (duration <= kReadWholeSound) {
    for (;;) {
      MediaSample sample;
      if (media_reader_read(reader, &sample) != MEDIA_OK) break;  // damage part-way keeps what came before
      if (sample.have && sample.frames > 0) {
        any = true;
        raise_columns(peaks, sample, format.channels, format.rate,
                      static_cast<double>(sample.time) / MEDIA_TICKS_PER_SECOND, duration);
      }
      if (sample.end_of_stream) break;
    }
  } else {
    for (uint32_t column = 0; column < POSTER_WIDTH; ++column) {
      const double start = duration * column / POSTER_WIDTH;
      if (media_reader_seek(reader, static_cast<int64_t>(start * MEDIA_TICKS_PER_SECOND)) != MEDIA_OK) continue;
      double read = 0;
      for (int reads = 0; reads < 64 && read < kColumnLook; ++reads) {
        MediaSample sample;
        if (media_reader_read(reader, &sample) != MEDIA_OK) break;
        if (sample.have && sample.frames > 0) {
          any = true;
          uint16_t& peak = peaks[column];
          for (uint64_t i = 0; i < sample.frames * format.channels; ++i) {
            const int value = sample.pcm[i];
            peak = std::max(peak, static_cast<uint16_t>(value < 0 ? -value : value));
          }
          read += static_cast<double>(sample.frames) / format.rate;
        }
        if (sample.end_of_stream) break;
      }
    }
  }
  media_reader_close(reader);
  return any;
}

// The waveform as the sample strip draws it: a centre line and one bar a column.
void draw_wave(const uint16_t* peaks, uint8_t* pixels) {
  fill(pixels, POSTER_WAVE_BACKGROUND);
  const int32_t centre = POSTER_HEIGHT / 2;
  for (uint32_t x = 0; x < POSTER_WIDTH; ++x) put(pixels + (static_cast<uint64_t>(centre) * POSTER_WIDTH + x) * 4, POSTER_WAVE_CENTRE);
  for (uint32_t x = 0; x < POSTER_WIDTH; ++x) {
    const int32_t p = static_cast<int32_t>(std::lround(peaks[x] / 32768.0 * (centre - 1)));
    if (p <= 0) continue;
    for (int32_t y = centre - p; y <= centre + p; ++y)
      put(pixels + (static_cast<uint64_t>(y) * POSTER_WIDTH + x) * 4, POSTER_WAVE_BARS);
  }
}

}  // namespace

uint32_t poster_make(const char* path, uint8_t* pixels, bool* sound) {
  if (sound != nullptr) *sound = false;
  struct stat info;
  if (path == nullptr || ::stat(path, &info) != 0) return POSTER_MISSING;
  if (!S_ISREG(info.st_mode)) return POSTER_FAILED;  // a folder or a device is read as no media
  if (video_poster(path, pixels)) return POSTER_READY;
  uint16_t peaks[POSTER_WIDTH] = {};
  if (!sound_peaks(path, peaks)) return POSTER_FAILED;
  draw_wave(peaks, pixels);
  if (sound != nullptr) *sound = true;
  return POSTER_READY;
}
