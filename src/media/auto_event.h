// An auto-reset event: signal wakes one wait, and the signal is consumed by it.
#pragma once

#include <condition_variable>
#include <mutex>

struct AutoEvent {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

inline void auto_event_signal(AutoEvent* event) {
  {
    std::lock_guard<std::mutex> hold(event->mutex);
    event->signalled = true;
  }
  event->changed.notify_one();
}

inline void auto_event_wait(AutoEvent* event) {
  std::unique_lock<std::mutex> hold(event->mutex);
  event->changed.wait(hold, [event] { return event->signalled; });
  event->signalled = false;
}
