// The band's strips: a table of files filled by one background thread.
//
// The main thread owns the index from path to slot and appends new slots; a
// slot's path is written before the slot is queued under the lock, and its
// data before its state turns ready (release), so the thread and the readers
// see them whole. Published data never changes until the cache is destroyed.
#include "media/strip_cache.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/limits.h"
#include "media/video.h"
#include "media/wave.h"
#include "media/worker.h"

namespace {

enum : uint32_t {
  SLOT_QUEUED = 0,
  SLOT_READY = 1,
  SLOT_FAILED = 2,
};

constexpr uint32_t kIndexSize = 2048;  // a power of two, well above STRIP_MAX_FILES
constexpr uint64_t kPcmBudget = 64ull << 20;  // samples decoded at most to make the fine peaks
constexpr double kThumbSpacing = 0.5;  // seconds between pictures of a short source

struct StripSlot {
  char path[KELVRA_PATH_SIZE];
  uint64_t hash;
  std::atomic<uint32_t> state;
  StripData data;
  uint8_t* peaks;
  uint8_t* thumbs;
};

}  // namespace

struct StripCache {
  WorkerThread worker;
  StripSlot slots[STRIP_MAX_FILES];
  uint32_t slot_count = 0;        // main thread only
  int32_t index[kIndexSize];      // main thread only: slot + 1 by hash, 0 for none
  // --- protected by worker.lock
  uint32_t queue[STRIP_MAX_FILES];
  uint32_t queue_head = 0;
  uint32_t queue_count = 0;
  // --- the thread's
  int64_t taken = -1;
  std::atomic<uint64_t> serial{0};
};

namespace {

uint64_t path_hash(const char* path) {
  uint64_t hash = 1469598103934665603ull;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p != 0; ++p)
    hash = (hash ^ *p) * 1099511628211ull;
  return hash;
}

bool stopping(StripCache* cache) {
  std::lock_guard<std::mutex> hold(cache->worker.lock);
  return cache->worker.stop_requested;
}

// Peaks from decoded samples: the loudest value of any channel in each step.
void peaks_from_pcm(StripSlot* slot, const WavePcm& pcm) {
  const uint64_t per_step = std::max<uint64_t>(static_cast<uint64_t>(pcm.rate / STRIP_PEAKS_PER_SECOND), 1);
  const uint64_t count = (pcm.frames + per_step - 1) / per_step;
  if (count == 0 || count > UINT32_MAX) return;
  slot->peaks = static_cast<uint8_t*>(std::malloc(count));
  if (slot->peaks == nullptr) return;
  for (uint64_t step = 0; step < count; ++step) {
    const uint64_t first = step * per_step * pcm.channels;
    const uint64_t last = std::min((step + 1) * per_step, pcm.frames) * pcm.channels;
    int32_t loudest = 0;
    for (uint64_t i = first; i < last; ++i) loudest = std::max(loudest, std::abs(static_cast<int32_t>(pcm.samples[i])));
    slot->peaks[step] = static_cast<uint8_t>(std::min(loudest >> 7, 255));
  }
  slot->data.peak_count = static_cast<uint32_t>(count);
  slot->data.peak_step = static_cast<double>(per_step) / pcm.rate;
}

void decode_sound(StripCache* cache, StripSlot* slot) {
  uint16_t coarse[WAVE_PEAKS] = {};
  WavePcm pcm{};
  double duration = 0;
  if (!audio_wave_decode(nullptr, 0, slot->path, coarse, &pcm, &duration, kPcmBudget)) return;
  slot->data.duration = std::max(slot->data.duration, duration);
  if (pcm.samples != nullptr && pcm.rate > 0 && pcm.channels > 0) {
    peaks_from_pcm(slot, pcm);
  } else if (duration > 0 && !stopping(cache)) {
    // Too long to keep its samples: the coarse envelope stretched over it.
    slot->peaks = static_cast<uint8_t*>(std::malloc(WAVE_PEAKS));
    if (slot->peaks != nullptr) {
      for (uint32_t i = 0; i < WAVE_PEAKS; ++i) slot->peaks[i] = static_cast<uint8_t>(std::min(coarse[i] >> 7, 255));
      slot->data.peak_count = WAVE_PEAKS;
      slot->data.peak_step = duration / WAVE_PEAKS;
    }
  }
  std::free(pcm.samples);
}

// Scales the decoder's picture to cover one small picture, cut to its shape.
void shrink(const VideoDecoder& decoder, uint8_t* out) {
  const double w = decoder.width;
  const double h = decoder.height;
  const double scale = std::max(STRIP_THUMB_WIDTH / w, STRIP_THUMB_HEIGHT / h);
  const double left = (w - STRIP_THUMB_WIDTH / scale) / 2;
  const double top = (h - STRIP_THUMB_HEIGHT / scale) / 2;
  const uint64_t stride = static_cast<uint64_t>(decoder.width) * 4;
  for (uint32_t y = 0; y < STRIP_THUMB_HEIGHT; ++y) {
    for (uint32_t x = 0; x < STRIP_THUMB_WIDTH; ++x) {
      uint32_t sum[3] = {};
      for (uint32_t sy = 0; sy < 2; ++sy) {
        for (uint32_t sx = 0; sx < 2; ++sx) {
          const uint32_t px = std::min(static_cast<uint32_t>(left + (x + 0.25 + 0.5 * sx) / scale), decoder.width - 1);
          const uint32_t py = std::min(static_cast<uint32_t>(top + (y + 0.25 + 0.5 * sy) / scale), decoder.height - 1);
          const uint8_t* p = decoder.pixels + py * stride + px * 4ull;
          for (int c = 0; c < 3; ++c) sum[c] += p[c];
        }
      }
      uint8_t* q = out + (static_cast<uint64_t>(y) * STRIP_THUMB_WIDTH + x) * 4;
      for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>(sum[c] / 4);
      q[3] = 255;
    }
  }
}

void decode_pictures(StripCache* cache, StripSlot* slot) {
  VideoDecoder decoder{};
  if (!video_decode_open(&decoder, slot->path, 1)) return;
  const double duration = decoder.duration;
  const uint32_t count =
      duration > 0 ? std::clamp(static_cast<uint32_t>(std::ceil(duration / kThumbSpacing)), 1u, STRIP_MAX_THUMBS) : 1;
  const uint64_t size = static_cast<uint64_t>(STRIP_THUMB_WIDTH) * STRIP_THUMB_HEIGHT * 4;
  slot->thumbs = static_cast<uint8_t*>(std::malloc(size * count));
  uint32_t made = 0;
  if (slot->thumbs != nullptr) {
    const double step = duration > 0 ? duration / count : 1.0;
    for (; made < count && !stopping(cache); ++made) {
      if (!video_decode_frame(&decoder, made * step) || decoder.pixels == nullptr || decoder.width == 0 ||
          decoder.height == 0)
        break;
      shrink(decoder, slot->thumbs + size * made);
    }
    slot->data.thumb_step = step;
  }
  slot->data.thumb_count = made;
  slot->data.duration = std::max(slot->data.duration, duration);
  video_decode_close(&decoder);
}

struct StripJob {
  StripCache* cache;

  void take_locked() {
    cache->taken = -1;
    if (cache->queue_count == 0) return;
    cache->taken = cache->queue[cache->queue_head];
    cache->queue_head = (cache->queue_head + 1) % STRIP_MAX_FILES;
    cache->queue_count -= 1;
  }
  bool run() {
    if (cache->taken < 0) return false;
    StripSlot* slot = &cache->slots[cache->taken];
    decode_pictures(cache, slot);
    if (!stopping(cache)) decode_sound(cache, slot);
    slot->data.peaks = slot->peaks;
    slot->data.thumbs = slot->thumbs;
    const bool any = slot->data.peak_count > 0 || slot->data.thumb_count > 0;
    slot->state.store(any ? SLOT_READY : SLOT_FAILED, std::memory_order_release);
    cache->serial.fetch_add(1, std::memory_order_release);
    return true;
  }
  void publish_locked() {
    if (cache->queue_count > 0) cache->worker.woken = true;  // the next file waits
  }
};

void serve(void* owner) {
  StripCache* cache = static_cast<StripCache*>(owner);
  StripJob job{cache};
  worker_serve(&cache->worker, job);
}

void free_cache(void* owner) {
  StripCache* cache = static_cast<StripCache*>(owner);
  for (uint32_t i = 0; i < cache->slot_count; ++i) {
    std::free(cache->slots[i].peaks);
    std::free(cache->slots[i].thumbs);
  }
  delete cache;
}

}  // namespace

StripCache* strip_cache_create() {
  StripCache* cache = new (std::nothrow) StripCache;
  if (cache == nullptr) return nullptr;
  std::memset(cache->index, 0, sizeof cache->index);
  if (!worker_start(&cache->worker, serve, cache, free_cache)) {
    delete cache;
    return nullptr;
  }
  return cache;
}

void strip_cache_destroy(StripCache* cache) {
  if (cache == nullptr) return;
  if (worker_stop(&cache->worker, WORKER_STOP_GRACE_MS)) free_cache(cache);
}

const StripData* strip_cache_get(StripCache* cache, const char* path) {
  if (cache == nullptr || path == nullptr || path[0] == '\0' || std::strlen(path) >= KELVRA_PATH_SIZE) return nullptr;
  const uint64_t hash = path_hash(path);
  uint32_t at = static_cast<uint32_t>(hash) & (kIndexSize - 1);
  for (; cache->index[at] != 0; at = (at + 1) & (kIndexSize - 1)) {
    StripSlot* slot = &cache->slots[cache->index[at] - 1];
    if (slot->hash != hash || std::strcmp(slot->path, path) != 0) continue;
    return slot->state.load(std::memory_order_acquire) == SLOT_READY ? &slot->data : nullptr;
  }
  if (cache->slot_count >= STRIP_MAX_FILES) return nullptr;
  const uint32_t number = cache->slot_count++;
  StripSlot* slot = &cache->slots[number];
  std::memcpy(slot->path, path, std::strlen(path) + 1);
  slot->hash = hash;
  slot->state.store(SLOT_QUEUED, std::memory_order_relaxed);
  slot->data = StripData{};
  slot->peaks = nullptr;
  slot->thumbs = nullptr;
  cache->index[at] = static_cast<int32_t>(number + 1);
  std::lock_guard<std::mutex> hold(cache->worker.lock);
  cache->queue[(cache->queue_head + cache->queue_count) % STRIP_MAX_FILES] = number;
  cache->queue_count += 1;
  worker_wake_locked(&cache->worker);
  return nullptr;
}

uint64_t strip_cache_serial(StripCache* cache) {
  return cache != nullptr ? cache->serial.load(std::memory_order_acquire) : 0;
}

const uint8_t* strip_thumb_at(const StripData* data, double t) {
  if (data == nullptr || data->thumb_count == 0 || data->thumbs == nullptr) return nullptr;
  const double position = data->thumb_step > 0 ? t / data->thumb_step : 0;
  const uint32_t i = static_cast<uint32_t>(std::clamp(position, 0.0, static_cast<double>(data->thumb_count - 1)));
  return data->thumbs + static_cast<uint64_t>(i) * STRIP_THUMB_WIDTH * STRIP_THUMB_HEIGHT * 4;
}

uint32_t strip_peak_between(const StripData* data, double from, double to) {
  if (data == nullptr || data->peak_count == 0 || !(data->peak_step > 0)) return 0;
  const double last = data->peak_count - 1.0;
  const uint32_t first = static_cast<uint32_t>(std::clamp(from / data->peak_step, 0.0, last));
  const uint32_t end = static_cast<uint32_t>(std::clamp(to / data->peak_step, 0.0, last));
  uint32_t loudest = 0;
  for (uint32_t i = first; i <= end; ++i) loudest = std::max<uint32_t>(loudest, data->peaks[i]);
  return loudest;
}
