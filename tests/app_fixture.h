// Applications for tests. AppPtr holds a record from kelvra_app_create and
// frees it with what it owns. RunningEditor is the whole editor started in a
// media folder of the test's own and stepped one frame at a time, with real
// SDL events pushed into its offscreen window, as a user would drive it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/run.h"
#include "editor/app.h"
#include "editor/history.h"
#include "editor/workspace.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"
#include "sdl_events.h"
#include "test_util.h"

namespace kelvra_test {

struct AppDeleter {
  void operator()(KelvraApp* app) const {
    kelvra_painter_destroy(app->painter);
    ui_window_destroy(app->window);
    kelvra_history_clear(app);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
  }
};
using AppPtr = std::unique_ptr<KelvraApp, AppDeleter>;

inline AppPtr new_app() { return AppPtr(kelvra_app_create()); }

// A record laid out for a client of width x height in layout `mode`.
inline AppPtr app_of_size(uint32_t width, uint32_t height, uint32_t mode = KELVRA_LAYOUT_SPLIT) {
  AppPtr app = new_app();
  app->client_width = width;
  app->client_height = height;
  app->layout_mode = mode;
  kelvra_layout(app.get());
  return app;
}

// ---------------------------------------------------------------- projects

inline uint64_t add_source(KelvraApp* app, double duration = 10) {
  Project& p = app->project;
  Source& s = p.sources[p.source_count];
  s = Source{};
  s.out = duration;
  s.duration = duration;
  s.loops = 1;
  s.video = 1;
  s.audio = 1;
  return p.source_count++;
}

// Appends an audible, visible clip of `source` showing in..out at `at`; returns it for further changes.
inline Clip& add_clip(KelvraApp* app, int64_t source, double in, double out, double at, uint32_t lane = 0) {
  Project& p = app->project;
  Clip& c = p.clips[p.clip_count++];
  c = Clip{};
  c.source = source;
  c.json_index = KELVRA_NONE;
  c.in = in;
  c.out = out;
  c.at = at;
  c.gain = 1;
  c.lane = lane;
  c.loops = 1;
  c.video = 1;
  c.audio = 1;
  return c;
}

// 0xRRGGBB of the pixel at (x, y) of what `painter` drew last.
inline uint32_t painted_pixel(Painter* painter, int x, int y) {
  uint32_t stride = 0;
  const uint8_t* data = kelvra_painter_pixels(painter, nullptr, nullptr, &stride);
  const uint8_t* p = data + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

class RunningEditor {
 public:
  // Starts the editor on `media_folder`, opening `start_project` there when given.
  explicit RunningEditor(const std::string& media_folder, const char* start_project = nullptr)
      : media_("ZARNELK_MEDIA", media_folder.c_str()), start_("ZARNELK_START_PROJECT", start_project) {
    app = kelvra_app_create();
    started = app != nullptr && kelvra_start(app);
    if (started) window_id = SDL_GetWindowID(ui_window_sdl(app->window));
  }
  ~RunningEditor() {
    if (app != nullptr) kelvra_shutdown(app);
  }
  RunningEditor(const RunningEditor&) = delete;
  RunningEditor& operator=(const RunningEditor&) = delete;

  // Runs `frames` passes of the frame loop; the result of the last.
  uint32_t step(int frames = 1) {
    uint32_t result = KELVRA_FRAME_NEXT;
    for (int i = 0; i < frames && result == KELVRA_FRAME_NEXT; ++i) result = kelvra_frame(app, &memory);
    return result;
  }

  void button(bool down, int x, int y, uint8_t which = SDL_BUTTON_LEFT) { push_button(window_id, which, down, x, y); }
  void motion(int x, int y) { push_motion(window_id, x, y); }
  void text(const char* typed) { push_text(window_id, typed); }
  // A press and a release at the centre of `rect`, then one frame.
  uint32_t click(Rect rect) {
    const int x = rect.x + rect.width / 2;
    const int y = rect.y + rect.height / 2;
    button(true, x, y);
    button(false, x, y);
    return step();
  }
  // A key press with its modifiers, then one frame.
  uint32_t key(SDL_Keycode sym, uint16_t mod = KMOD_NONE) {
    push_key(window_id, sym, mod);
    return step();
  }
  uint32_t close_button() {
    push_close(window_id);
    return step();
  }
  uint32_t pixel(int x, int y) { return painted_pixel(app->painter, x, y); }
  std::string status() const { return app->status; }

  KelvraApp* app = nullptr;
  FrameMemory memory{};
  bool started = false;
  uint32_t window_id = 0;

 private:
  ScopedEnv media_;
  ScopedEnv start_;
};

// Writes `json` as project.json of `folder` and starts the editor there, one
// frame run; null when the editor did not start.
inline std::unique_ptr<RunningEditor> start_on_project(const std::string& folder, const std::string& json) {
  write_file(folder + "/project.json", json);
  auto editor = std::make_unique<RunningEditor>(folder);
  if (!editor->started) return nullptr;
  editor->step();
  return editor;
}

}  // namespace kelvra_test
