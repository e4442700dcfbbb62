// Video workers: one thread each, woken by requests for a file at a media
// time, publishing the decoded picture under the worker's lock. The UI thread
// never waits for a decode; it posts requests and draws what is published.
//
// Index:
//   [record]   the worker record and who owns each field
//   [thread]   the decode loop and publishing
//   [requests] create, destroy, request
//   [frames]   paint, compose, hold and the frame queries
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "media/video.h"
#include "media/worker.h"

// ------------------------------------------------------------------ [record]

struct VideoWorker {
  // Fixed after create; its lock guards every field below.
  WorkerThread thread;
  // --- protected by thread.lock
  char requested_path[KELVRA_PATH_SIZE] = {};
  char frame_path[KELVRA_PATH_SIZE] = {};
  double requested_time = 0;
  double frame_duration = 0;
  double frame_time = 0;
  uint64_t request_serial = 0;
  uint64_t frame_serial = 0;
  uint8_t* pixels = nullptr;  // frame_width x frame_height x 4 bytes, rows packed
  uint64_t pixels_capacity = 0;  // bytes allocated at pixels
  uint32_t frame_width = 0;
  uint32_t frame_height = 0;
  void (*wake)(void* context) = nullptr;  // called once after the next publish, then cleared
  void* wake_context = nullptr;
};

namespace {

constexpr double kPublishWindow = 0.1;  // a newer request this close still takes the decoded picture
constexpr double kRequestStep = 0.014;  // requests closer than this to the pending one change nothing

// ------------------------------------------------------------------ [thread]

// One request at a time: the worker thread's own state.
struct VideoJob {
  VideoWorker* worker;
  VideoDecoder decoder;
  uint64_t serial;
  double time;
  char path[KELVRA_PATH_SIZE];
  // The next picture to publish, copied without the lock; publishing trades
  // it for the published buffer under the lock, so the views never wait for
  // a picture being copied.
  uint8_t* spare;
  uint64_t spare_capacity;

  void take_locked() {
    serial = worker->request_serial;
    time = worker->requested_time;
    std::memcpy(path, worker->requested_path, sizeof path);
  }

  bool run() {
    if (std::strcmp(path, decoder.path) != 0 && !video_decode_open(&decoder, path)) return false;
    if (!video_decode_frame(&decoder, time)) return false;
    const uint64_t bytes = static_cast<uint64_t>(decoder.width) * decoder.height * 4;
    if (bytes > spare_capacity) {
      std::free(spare);
      spare = static_cast<uint8_t*>(std::malloc(bytes));
      spare_capacity = spare != nullptr ? bytes : 0;
      if (spare == nullptr) return false;  // the old picture stays
    }
    std::memcpy(spare, decoder.pixels, bytes);
    return true;
  }

  // Publishes the copied picture unless a newer request for something else superseded it.
  void publish_locked() {
    const bool current = worker->request_serial == serial ||
                         (std::strcmp(worker->requested_path, decoder.path) == 0 &&
                          std::fabs(worker->requested_time - decoder.last_frame_time) <= kPublishWindow);
    if (!current) return;
    uint8_t* published = worker->pixels;
    const uint64_t published_capacity = worker->pixels_capacity;
    worker->pixels = spare;
    worker->pixels_capacity = spare_capacity;
    spare = published;
    spare_capacity = published_capacity;
    std::snprintf(worker->frame_path, sizeof worker->frame_path, "%s", decoder.path);
    worker->frame_serial += 1;
    worker->frame_width = decoder.width;
    worker->frame_height = decoder.height;
    worker->frame_duration = decoder.duration;
    worker->frame_time = decoder.last_frame_time;
    // Under the lock and never once a stop was asked, so the waker's owner
    // (stopped before it goes) is never called after it is gone.
    if (worker->wake != nullptr && !worker->thread.stop_requested) worker->wake(worker->wake_context);
    worker->wake = nullptr;
  }
};

void video_thread(void* owner) {
  VideoJob job{};
  job.worker = static_cast<VideoWorker*>(owner);
  worker_serve(&job.worker->thread, job);
  video_decode_close(&job.decoder);
  std::free(job.spare);
}

void free_worker(void* owner) {
  VideoWorker* worker = static_cast<VideoWorker*>(owner);
  std::free(worker->pixels);
  delete worker;
}

}  // namespace

// ---------------------------------------------------------------- [requests]

VideoWorker* kelvra_video_create() {
  VideoWorker* worker = new (std::nothrow) VideoWorker();
  if (worker == nullptr) return nullptr;
  if (!worker_start(&worker->thread, video_thread, worker, free_worker)) {
    delete worker;
    return nullptr;
  }
  return worker;
}

void kelvra_video_destroy(VideoWorker* worker) {
  if (worker != nullptr && worker_stop(&worker->thread, WORKER_STOP_GRACE_MS)) free_worker(worker);
}

void kelvra_video_request(VideoWorker* worker, const char* path, double time) {
  if (worker == nullptr || path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof worker->requested_path)
    return;
  {
    std::lock_guard<std::mutex> hold(worker->thread.lock);
    if (std::strcmp(path, worker->requested_path) == 0 && std::fabs(time - worker->requested_time) < kRequestStep)
      return;
    std::snprintf(worker->requested_path, sizeof worker->requested_path, "%s", path);
    worker->requested_time = time;
    worker->request_serial += 1;
    worker_wake_locked(&worker->thread);
  }
}

void kelvra_video_wake_on_publish(VideoWorker* worker, void (*wake)(void* context), void* context) {
  if (worker == nullptr) return;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  worker->wake = wake;
  worker->wake_context = context;
}

// ------------------------------------------------------------------ [frames]

namespace {

bool frame_of_locked(const VideoWorker* worker, const char* path) {
  return path != nullptr && worker->pixels != nullptr && worker->frame_serial > 0 &&
         std::strcmp(worker->frame_path, path) == 0;
}

void draw_locked(VideoWorker* worker, Painter* painter, Rect rect, TexturePlacement placement, double opacity,
                 bool cover) {
  // Drawn from the published pixels while the lock keeps them still.
  kelvra_picture_compose(painter, worker->pixels, worker->frame_width, worker->frame_height, rect, placement, opacity,
                         cover);
}

}  // namespace

bool kelvra_video_paint(VideoWorker* worker, const char* path, Painter* painter, Rect rect, bool cover) {
  if (worker == nullptr || rect.width <= 0 || rect.height <= 0) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (!frame_of_locked(worker, path)) return false;
  draw_locked(worker, painter, rect, TexturePlacement{0, 0, 1}, 1.0, cover);
  return true;
}

bool kelvra_video_compose(VideoWorker* worker, const char* path, double time, Painter* painter, Rect rect,
                          TexturePlacement placement, double opacity) {
  if (worker == nullptr || rect.width <= 0 || rect.height <= 0 || !(opacity > 0)) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (!frame_of_locked(worker, path) || !(std::fabs(worker->frame_time - time) <= 0.16)) return false;
  draw_locked(worker, painter, rect, placement, opacity, true);
  return true;
}

bool kelvra_video_hold(VideoWorker* worker, const char* path, double start, double end, Painter* painter, Rect rect,
                       TexturePlacement placement, bool cover) {
  if (worker == nullptr || rect.width <= 0 || rect.height <= 0) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (!frame_of_locked(worker, path) || worker->frame_time < start - 0.034 || worker->frame_time > end + 0.034)
    return false;
  draw_locked(worker, painter, rect, placement, 1.0, cover);
  return true;
}

bool kelvra_video_position(VideoWorker* worker, const char* path, double* time) {
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (!frame_of_locked(worker, path)) return false;
  if (time != nullptr) *time = worker->frame_time;
  return true;
}

bool kelvra_video_dimensions(VideoWorker* worker, uint32_t* width, uint32_t* height) {
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (width != nullptr) *width = worker->frame_width;
  if (height != nullptr) *height = worker->frame_height;
  return worker->frame_width != 0 && worker->frame_height != 0;
}

uint64_t kelvra_video_size(VideoWorker* worker, const char* path, double* duration, uint64_t* serial) {
  if (worker == nullptr) return 0;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (path != nullptr && duration != nullptr && std::strcmp(path, worker->frame_path) == 0)
    *duration = worker->frame_duration;
  if (serial != nullptr) *serial = worker->frame_serial;
  return static_cast<uint64_t>(worker->frame_width) * worker->frame_height * 4;
}

VideoWorkerCounts kelvra_video_counts(VideoWorker* worker) {
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return VideoWorkerCounts{worker->request_serial, worker->frame_serial, worker->frame_time};
}
