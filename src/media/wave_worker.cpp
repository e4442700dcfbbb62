// The sound decoding worker: one thread that decodes the latest requested
// source and publishes its PCM, peaks and duration under the worker's lock.
// A newer request makes a decode in progress give up at its next block.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "media/auto_event.h"
#include "media/wave.h"

struct WaveWorker {
  // Fixed after create.
  AutoEvent wake_event;
  std::thread thread;
  std::mutex lock;
  // --- protected by lock
  char requested_path[260] = {};
  char wave_path[260] = {};
  uint16_t peaks[WAVE_PEAKS] = {};
  WavePcm pcm = {};  // samples owned by the worker
  uint32_t wave_state = WAVE_PENDING;
  double duration = 0;
  uint64_t request_serial = 0;
  uint64_t result_serial = 0;
  bool stop_requested = false;
};

namespace {

void wave_thread(WaveWorker* worker) {
  for (;;) {
    auto_event_wait(&worker->wake_event);
    uint64_t serial;
    char path[260];
    {
      std::lock_guard<std::mutex> hold(worker->lock);
      if (worker->stop_requested) break;
      serial = worker->request_serial;
      std::memcpy(path, worker->requested_path, sizeof path);
    }
    uint16_t peaks[WAVE_PEAKS] = {};
    WavePcm pcm{};
    double duration = 0;
    const bool decoded = audio_wave_decode(worker, serial, path, peaks, &pcm, &duration, WAVE_PREVIEW_BUDGET);
    bool published = false;
    {
      std::lock_guard<std::mutex> hold(worker->lock);
      if (worker->request_serial == serial && !worker->stop_requested) {
        std::memcpy(worker->peaks, peaks, sizeof peaks);
        std::free(worker->pcm.samples);
        worker->pcm = pcm;
        worker->wave_state = !decoded ? WAVE_FAILED : pcm.samples != nullptr ? WAVE_READY : WAVE_TOO_LARGE;
        worker->duration = duration;
        std::memcpy(worker->wave_path, path, sizeof path);
        worker->result_serial += 1;
        published = true;
      }
    }
    if (!published) std::free(pcm.samples);
  }
}

}  // namespace

bool wave_worker_superseded(WaveWorker* worker, uint64_t serial) {
  std::lock_guard<std::mutex> hold(worker->lock);
  return worker->stop_requested || worker->request_serial != serial;
}

WaveWorker* kelvra_wave_create() {
  WaveWorker* worker = new (std::nothrow) WaveWorker();
  if (worker == nullptr) return nullptr;
  try {
    worker->thread = std::thread(wave_thread, worker);
  } catch (...) {
    delete worker;
    return nullptr;
  }
  return worker;
}

void kelvra_wave_destroy(WaveWorker* worker) {
  if (worker == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(worker->lock);
    worker->stop_requested = true;
  }
  auto_event_signal(&worker->wake_event);
  worker->thread.join();
  std::free(worker->pcm.samples);
  delete worker;
}

void kelvra_wave_request(WaveWorker* worker, const char* path) {
  if (worker == nullptr || path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof worker->requested_path)
    return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(worker->lock);
    if (std::strcmp(path, worker->requested_path) == 0) return;
    std::snprintf(worker->requested_path, sizeof worker->requested_path, "%s", path);
    worker->request_serial += 1;
    wake = std::strcmp(path, worker->wave_path) != 0;
  }
  if (wake) auto_event_signal(&worker->wake_event);
}

uint32_t kelvra_wave_state(WaveWorker* worker, const char* path, double* duration) {
  if (worker == nullptr) return WAVE_FAILED;
  std::lock_guard<std::mutex> hold(worker->lock);
  if (path == nullptr || std::strcmp(path, worker->wave_path) != 0) return WAVE_PENDING;
  if (duration != nullptr) *duration = worker->duration;
  return worker->wave_state;
}

bool kelvra_wave_acquire(WaveWorker* worker, const char* path, WavePcm* out) {
  if (worker == nullptr || path == nullptr) return false;
  worker->lock.lock();
  if (std::strcmp(path, worker->wave_path) != 0 || worker->pcm.samples == nullptr) {
    worker->lock.unlock();
    return false;
  }
  *out = worker->pcm;
  return true;  // the lock stays held until kelvra_wave_release
}

void kelvra_wave_release(WaveWorker* worker) {
  if (worker != nullptr) worker->lock.unlock();
}

uint64_t kelvra_wave_bytes(WaveWorker* worker) {
  if (worker == nullptr) return 0;
  std::lock_guard<std::mutex> hold(worker->lock);
  return static_cast<uint64_t>(worker->pcm.channels) * worker->pcm.frames * 2;
}

bool kelvra_wave_read(WaveWorker* worker, const char* path, uint16_t* peaks, uint64_t* serial) {
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->lock);
  if (serial != nullptr) *serial = worker->result_serial;
  if (path == nullptr || peaks == nullptr || std::strcmp(path, worker->wave_path) != 0 ||
      worker->wave_state == WAVE_FAILED)
    return false;
  std::memcpy(peaks, worker->peaks, sizeof worker->peaks);
  return true;
}
