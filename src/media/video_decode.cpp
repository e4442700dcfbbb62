// The video decoder: opens a source, keeps it open between requests, and
// decodes the picture for a media time, reading forward while the target
// moves a little and seeking when it jumps.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media/video.h"
#include "platform/media.h"

namespace {

constexpr double kSeekBack = 0.07;     // a target this far behind the held picture seeks
constexpr double kSeekAhead = 0.42;    // and this far ahead
constexpr double kSamePicture = 0.024; // a target this close (or behind, up to kSeekBack) reuses the held picture
constexpr double kEarly = 0.025;       // without durations: a picture this much before the target is taken
constexpr double kEdge = 0.0005;       // stamps this close count as equal (some containers count milliseconds)

// Whether a picture from `stamp` that shows for `duration` seconds (0 when
// the file does not tell) is the one on screen at `target`: the last picture
// that starts at or before it.
bool showing(double stamp, double duration, double target) {
  if (duration > 0) return stamp + duration > target + kEdge;
  return stamp >= target - kEarly;
}
constexpr int kMaxReads = 480;
static_assert(VIDEO_MAX_SIDE == MEDIA_MAX_SIDE, "the reader refuses pictures the decoder would take");

}  // namespace

bool video_decode_open(VideoDecoder* decoder, const char* path, uint32_t threads) {
  video_decode_close(decoder);
  if (path == nullptr || std::strlen(path) >= sizeof decoder->path) return false;
  MediaReader* reader = nullptr;
  const int32_t status = media_reader_open(&reader, path, MEDIA_VIDEO, threads);
  if (status == MEDIA_E_NO_STREAM) {
    std::snprintf(decoder->path, sizeof decoder->path, "%s", path);
    decoder->no_pictures = 1;
    return false;
  }
  if (status != MEDIA_OK) return false;
  const MediaFormat format = media_reader_format(reader);
  if (format.width < 1 || format.height < 1 || format.width > VIDEO_MAX_SIDE || format.height > VIDEO_MAX_SIDE) {
    media_reader_close(reader);
    return false;
  }
  decoder->reader = reader;
  decoder->width = format.width;
  decoder->height = format.height;
  decoder->default_stride = static_cast<int32_t>(format.width * 4);
  uint64_t duration = 0;
  decoder->duration = media_reader_duration(reader, &duration) ? static_cast<double>(duration) / MEDIA_TICKS_PER_SECOND : 0;
  std::snprintf(decoder->path, sizeof decoder->path, "%s", path);
  decoder->last_frame_time = -1;
  return true;
}

void video_decode_close(VideoDecoder* decoder) {
  media_reader_close(decoder->reader);
  std::free(decoder->pixels);
  std::memset(decoder, 0, sizeof *decoder);
}

bool video_copy_pixels(MediaReader* reader, VideoDecoder* decoder) {
  const uint64_t bytes = static_cast<uint64_t>(decoder->width) * decoder->height * 4;
  if (decoder->capacity < bytes) {
    void* grown = std::realloc(decoder->pixels, bytes);
    if (grown == nullptr) return false;
    decoder->pixels = static_cast<uint8_t*>(grown);
    decoder->capacity = bytes;
  }
  return media_reader_copy_picture(reader, decoder->pixels, static_cast<int32_t>(decoder->width * 4)) == MEDIA_OK;
}

bool video_decode_frame(VideoDecoder* decoder, double time) {
  if (decoder->reader == nullptr) return false;
  double target = std::fmax(time, 0.0);
  // Past the end: the last picture, which shows until the very end.
  if (decoder->duration > 0.05) target = std::fmin(target, decoder->duration - 2 * kEdge);
  const double last = decoder->last_frame_time;
  if (last < 0 || target < last - kSeekBack || target > last + kSeekAhead) {
    const int64_t position = static_cast<int64_t>(target * MEDIA_TICKS_PER_SECOND);
    if (media_reader_seek(decoder->reader, position) != MEDIA_OK) return false;
  } else if (decoder->pixels != nullptr &&
             (decoder->last_frame_end > 0 ? target < decoder->last_frame_end - kEdge : target - last < kSamePicture)) {
    // The held picture is still on screen at the target, or the target is a
    // little behind it: reading on would only move further away.
    return true;
  }
  for (int reads = 0; reads < kMaxReads; ++reads) {
    MediaSample sample;
    if (media_reader_read(decoder->reader, &sample) != MEDIA_OK) return false;
    if (!sample.have) {
      if (sample.end_of_stream) return false;
      continue;
    }
    const double stamp = static_cast<double>(sample.time) / MEDIA_TICKS_PER_SECOND;
    const double duration = static_cast<double>(sample.duration) / MEDIA_TICKS_PER_SECOND;
    if (showing(stamp, duration, target) || sample.end_of_stream) {
      if (!video_copy_pixels(decoder->reader, decoder)) return false;
      decoder->last_frame_time = stamp;
      decoder->last_frame_end = duration > 0 && !sample.end_of_stream ? stamp + duration : 0;
      return true;
    }
    if (sample.end_of_stream) return false;
  }
  return false;
}
