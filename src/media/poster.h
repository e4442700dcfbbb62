// Library posters: one small picture per source file, made by one background
// worker: a picture out of the video, or the waveform of a sound, fitted into
// POSTER_WIDTH x POSTER_HEIGHT. Each poster is kept in a cache folder on disk,
// keyed by the file's full path, size and modification time, so that a file
// is decoded once; later runs read the poster back. A cache that cannot be
// written only costs the decoding again: the poster is still shown.
//
// The UI thread asks with kelvra_poster_get and draws what is ready; it never
// waits for a decode. What it asked for last is made first.
#pragma once

#include <cstdint>

constexpr uint32_t POSTER_WIDTH = 159;
constexpr uint32_t POSTER_HEIGHT = 80;
// Posters held in memory at once; past that the one asked for least recently is forgotten.
constexpr uint32_t POSTER_ENTRIES = 512;

enum : uint32_t {
  POSTER_PENDING = 0,  // not made yet
  POSTER_READY = 1,    // the picture is there
  POSTER_MISSING = 2,  // no file at that path, also when it went while its poster was made
  POSTER_FAILED = 3,   // the file (or what is there: a folder, a device) holds no picture or sound the decoders read
};

// Colours of a drawn poster (0xRRGGBB): the letterbox around a picture, and
// a waveform's background, centre line and bars.
constexpr uint32_t POSTER_LETTERBOX = 0x101311;
constexpr uint32_t POSTER_WAVE_BACKGROUND = 0x182420;
constexpr uint32_t POSTER_WAVE_CENTRE = 0x3B594B;
constexpr uint32_t POSTER_WAVE_BARS = 0x83B89C;

struct PosterWorker;

// Starts the worker. `cache_folder` (made when missing) keeps the posters;
// null or empty keeps none. Null when no thread could be started.
PosterWorker* kelvra_poster_create(const char* cache_folder);
// Stops the worker (a decode in progress is given up); accepts null.
void kelvra_poster_destroy(PosterWorker* worker);
// The state of the poster of `path` (a full path), asking for it when it is
// not known; with POSTER_READY, `pixels` gets its picture: rows of
// POSTER_WIDTH x 4 bytes B, G, R, X, which stay unchanged until
// POSTER_ENTRIES other paths have been asked for since. `sound` (may be null)
// tells a waveform from a picture.
uint32_t kelvra_poster_get(PosterWorker* worker, const char* path, const uint8_t** pixels, bool* sound);
// Grows by one whenever a poster is published: a frame that drew posters is outdated.
uint64_t kelvra_poster_serial(PosterWorker* worker);
// Whether the cache folder could not be made or written (the posters are still made).
bool kelvra_poster_cache_failed(PosterWorker* worker);

// What the worker did, for tests and benchmarks.
struct PosterCounts {
  uint64_t decoded;       // posters made by decoding a file
  uint64_t loaded;        // posters read from the cache
  uint64_t cached;        // posters written to the cache
  uint64_t pending;       // asked for and not made yet
};
PosterCounts kelvra_poster_counts(PosterWorker* worker);

// The user's poster cache: $XDG_CACHE_HOME/zarnel-kelvra/posters, else
// $HOME/.cache/zarnel-kelvra/posters; false when neither is set (absolute).
bool kelvra_poster_folder(char* out, uint64_t size);

// Makes the poster of `path` now, on the calling thread, into `pixels`
// (POSTER_WIDTH x POSTER_HEIGHT x 4 bytes); POSTER_READY, _MISSING or _FAILED.
uint32_t poster_make(const char* path, uint8_t* pixels, bool* sound);
