// The pictures and the sound envelope that the band draws along its clips:
// for each source file, small pictures at even steps of its media time and
// the peaks of its sound, decoded once by one background thread and then
// kept in memory for the rest of the run. The main thread only looks up what
// is there; a lookup of a file not seen before queues it for the thread.
#pragma once

#include <cstdint>

struct StripCache;

constexpr uint32_t STRIP_THUMB_WIDTH = 32;
constexpr uint32_t STRIP_THUMB_HEIGHT = 18;
constexpr uint32_t STRIP_MAX_THUMBS = 96;
constexpr double STRIP_PEAKS_PER_SECOND = 200.0;
constexpr uint32_t STRIP_MAX_FILES = 512;

// What the thread made of one file; unchanged once published.
struct StripData {
  double duration;      // seconds; 0 when neither stream told
  const uint8_t* peaks;  // peak_count values 0..255, the loudest sample of each step
  uint32_t peak_count;
  double peak_step;      // seconds a peak covers
  const uint8_t* thumbs;  // thumb_count pictures of STRIP_THUMB_WIDTH x STRIP_THUMB_HEIGHT B, G, R, X pixels
  uint32_t thumb_count;
  double thumb_step;      // picture i shows media time i x thumb_step
};

StripCache* strip_cache_create();
// Stops the thread (waiting a bounded time) and frees everything; accepts null.
void strip_cache_destroy(StripCache* cache);
// The strips of the file at `path`, or null while they are being decoded, or
// when the file could not be read or the cache is full. The first lookup of
// a path queues it.
const StripData* strip_cache_get(StripCache* cache, const char* path);
// Grows each time the thread publishes a file's strips.
uint64_t strip_cache_serial(StripCache* cache);
// The picture that shows media time `t`, or null when there are none.
const uint8_t* strip_thumb_at(const StripData* data, double t);
// The loudest peak (0..255) between media times `from` and `to`.
uint32_t strip_peak_between(const StripData* data, double from, double to);
