// Starting and stopping worker threads, with a bounded stop.
#include "media/worker.h"

#include <chrono>
#include <system_error>

namespace {

struct Start {
  WorkerThread* worker;
  void (*body)(void*);
};

// Runs the body, then tells a waiting stopper, or frees the owner when the
// stopper has given up waiting.
void run_thread(Start start) {
  WorkerThread* worker = start.worker;
  start.body(worker->owner);
  bool abandoned;
  {
    std::lock_guard<std::mutex> hold(worker->end_lock);
    worker->ended = true;
    abandoned = worker->abandoned;
    worker->ended_changed.notify_all();
  }
  if (abandoned) worker->free_owner(worker->owner);
}

}  // namespace

bool worker_start(WorkerThread* worker, void (*body)(void*), void* owner, void (*free_owner)(void*)) {
  worker->owner = owner;
  worker->free_owner = free_owner;
  try {
    worker->thread = std::thread(run_thread, Start{worker, body});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void worker_wake_locked(WorkerThread* worker) {
  worker->woken = true;
  worker->wake_changed.notify_one();
}

bool worker_stop(WorkerThread* worker, uint32_t grace_ms) {
  {
    std::lock_guard<std::mutex> hold(worker->lock);
    worker->stop_requested = true;
    worker->wake_changed.notify_one();
  }
  std::unique_lock<std::mutex> hold(worker->end_lock);
  if (!worker->ended_changed.wait_for(hold, std::chrono::milliseconds(grace_ms), [worker] { return worker->ended; })) {
    // Detached under the lock, so the thread cannot free the record before this returns.
    worker->abandoned = true;
    worker->thread.detach();
    return false;
  }
  hold.unlock();
  worker->thread.join();
  return true;
}
