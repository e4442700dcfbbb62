// The sound decoding worker: one thread that decodes the latest requested
// source and publishes its PCM, peaks and duration under the worker's lock.
// A newer request makes a decode in progress give up at its next block.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/limits.h"
#include "media/wave.h"
#include "media/worker.h"

struct WaveWorker {
  // Fixed after create; its lock guards every field below.
  WorkerThread thread;
  // --- protected by thread.lock
  char requested_path[KELVRA_PATH_SIZE] = {};
  char wave_path[KELVRA_PATH_SIZE] = {};
  uint16_t peaks[WAVE_PEAKS] = {};
  WavePcm pcm = {};  // samples owned by the worker
  uint32_t wave_state = WAVE_PENDING;
  double duration = 0;
  uint64_t request_serial = 0;
  uint64_t result_serial = 0;
};

namespace {

// One decode at a time: the worker thread's own state.
struct WaveJob {
  WaveWorker* worker;
  uint64_t serial;
  char path[KELVRA_PATH_SIZE];
  uint16_t peaks[WAVE_PEAKS];
  WavePcm pcm;
  double duration;
  bool decoded;

  void take_locked() {
    serial = worker->request_serial;
    std::memcpy(path, worker->requested_path, sizeof path);
  }

  bool run() {
    std::memset(peaks, 0, sizeof peaks);
    pcm = WavePcm{};
    duration = 0;
    decoded = audio_wave_decode(worker, serial, path, peaks, &pcm, &duration, WAVE_PREVIEW_BUDGET);
    return true;
  }

  // Publishes the result, failures included, unless a newer request or a stop came.
  void publish_locked() {
    if (worker->request_serial != serial || worker->thread.stop_requested) {
      std::free(pcm.samples);
      return;
    }
    std::memcpy(worker->peaks, peaks, sizeof peaks);
    std::free(worker->pcm.samples);
    worker->pcm = pcm;
    worker->wave_state = !decoded ? WAVE_FAILED : pcm.samples != nullptr ? WAVE_READY : WAVE_TOO_LARGE;
    worker->duration = duration;
    std::memcpy(worker->wave_path, path, sizeof path);
    worker->result_serial += 1;
  }
};

void wave_thread(void* owner) {
  WaveJob job{};
  job.worker = static_cast<WaveWorker*>(owner);
  worker_serve(&job.worker->thread, job);
}

void free_worker(void* owner) {
  WaveWorker* worker = static_cast<WaveWorker*>(owner);
  std::free(worker->pcm.samples);
  delete worker;
}

}  // namespace

bool wave_worker_superseded(WaveWorker* worker, uint64_t serial) {
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return worker->thread.stop_requested || worker->request_serial != serial;
}

WaveWorker* kelvra_wave_create() {
  WaveWorker* worker = new (std::nothrow) WaveWorker();
  if (worker == nullptr) return nullptr;
  if (!worker_start(&worker->thread, wave_thread, worker, free_worker)) {
    delete worker;
    return nullptr;
  }
  return worker;
}

void kelvra_wave_destroy(WaveWorker* worker) {
  if (worker != nullptr && worker_stop(&worker->thread, WORKER_STOP_GRACE_MS)) free_worker(worker);
}

void kelvra_wave_request(WaveWorker* worker, const char* path) {
  if (worker == nullptr || path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof worker->requested_path)
    return;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (std::strcmp(path, worker->requested_path) == 0) return;
  std::snprintf(worker->requested_path, sizeof worker->requested_path, "%s", path);
  worker->request_serial += 1;
  // A request for the published file only cancels the decode in progress.
  if (std::strcmp(path, worker->wave_path) != 0) worker_wake_locked(&worker->thread);
}

uint32_t kelvra_wave_state(WaveWorker* worker, const char* path, double* duration) {
  if (worker == nullptr) return WAVE_FAILED;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (path == nullptr || std::strcmp(path, worker->wave_path) != 0) return WAVE_PENDING;
  if (duration != nullptr) *duration = worker->duration;
  return worker->wave_state;
}

bool kelvra_wave_acquire(WaveWorker* worker, const char* path, WavePcm* out) {
  if (worker == nullptr || path == nullptr) return false;
  worker->thread.lock.lock();
  if (std::strcmp(path, worker->wave_path) != 0 || worker->pcm.samples == nullptr) {
    worker->thread.lock.unlock();
    return false;
  }
  *out = worker->pcm;
  return true;  // the lock stays held until kelvra_wave_release
}

void kelvra_wave_release(WaveWorker* worker) {
  if (worker != nullptr) worker->thread.lock.unlock();
}

uint64_t kelvra_wave_bytes(WaveWorker* worker) {
  if (worker == nullptr) return 0;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  return static_cast<uint64_t>(worker->pcm.channels) * worker->pcm.frames * 2;
}

bool kelvra_wave_read(WaveWorker* worker, const char* path, uint16_t* peaks, uint64_t* serial) {
  if (worker == nullptr) return false;
  std::lock_guard<std::mutex> hold(worker->thread.lock);
  if (serial != nullptr) *serial = worker->result_serial;
  if (path == nullptr || peaks == nullptr || std::strcmp(path, worker->wave_path) != 0 ||
      worker->wave_state == WAVE_FAILED)
    return false;
  std::memcpy(peaks, worker->peaks, sizeof worker->peaks);
  return true;
}
