// A background worker thread for the request-then-publish pattern shared by
// the decoding workers (and meant for the export and publishing workers): the
// main thread writes a request under the worker's lock and wakes the thread;
// the thread takes the newest request under the lock, works without it, and
// publishes the result under it. Nothing calls back into the editor.
//
// Stopping is bounded. A thread that has not ended within the grace time (a
// decoder stuck inside a library call) is left to end on its own; it then
// frees its owner's record itself, so quitting never waits on it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct WorkerThread {
  // Guards stop_requested and the owner's request and result fields.
  std::mutex lock;
  // --- protected by lock
  bool stop_requested = false;
  bool woken = false;  // a wake not yet taken by the thread
  // --- internal to worker.cpp
  std::condition_variable wake_changed;
  std::mutex end_lock;
  std::condition_variable ended_changed;
  bool ended = false;      // protected by end_lock: the thread has returned from its body
  bool abandoned = false;  // protected by end_lock: the stopper stopped waiting
  void (*free_owner)(void* owner) = nullptr;
  void* owner = nullptr;
  std::thread thread;
};

// How long a stop waits for the thread before leaving it to end on its own.
constexpr uint32_t WORKER_STOP_GRACE_MS = 1000;

// Starts the thread running body(owner). `free_owner` releases the record that
// holds `worker` when the thread outlives worker_stop. False when no thread
// could be started (nothing runs then).
bool worker_start(WorkerThread* worker, void (*body)(void* owner), void* owner, void (*free_owner)(void* owner));
// Wakes the thread; call after changing the request under the lock, or with it held.
void worker_wake_locked(WorkerThread* worker);
// Asks the thread to stop and waits up to `grace_ms` for it. True when it
// ended: the caller frees the owner. False when it is still running: it was
// detached and frees the owner itself when it ends; the caller must not touch
// the owner again.
bool worker_stop(WorkerThread* worker, uint32_t grace_ms);

// The thread's loop: waits for a wake, calls job.take_locked() with the lock
// held (the newest request is copied there), job.run() without it, and, when
// run() returned true, job.publish_locked() with the lock held. Returns once a
// stop is requested.
template <typename Job>
void worker_serve(WorkerThread* worker, Job& job) {
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(worker->lock);
      worker->wake_changed.wait(hold, [worker] { return worker->woken || worker->stop_requested; });
      worker->woken = false;
      if (worker->stop_requested) return;
      job.take_locked();
    }
    if (!job.run()) continue;
    std::lock_guard<std::mutex> hold(worker->lock);
    job.publish_locked();
  }
}
