// The editor's life: start-up in a fixed order, the paced frame loop, and
// shutdown in a fixed order.
//
// Index:
//   [start]    kelvra_open_active, creating the shell and the workers
//   [cursor]   kelvra_cursor_for
//   [loop]     one pass per frame
//   [stop]     shutdown, kelvra_run
#include "app/run.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "app/file_commands.h"
#include "app/history.h"
#include "app/meters.h"
#include "app/workspace.h"
#include "editor/editor.h"
#include "export/render.h"
#include "media/audio_output.h"
#include "media/video.h"
#include "media/wave.h"
#include "music/audio_editor.h"
#include "platform/clock.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

const char kStartFailure[] = "Kelvra could not initialize or present the native workspace.";

// ------------------------------------------------------------------- [start]

// The first line of the media folder's ".active-project", cut at the line end.
bool active_project_name(const char* folder, char* name) {
  char path[KELVRA_PATH_SIZE];
  if (!kelvra_path(folder, ".active-project", path)) return false;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  const size_t got = std::fread(name, 1, KELVRA_PATH_SIZE - 1, file);
  std::fclose(file);
  name[got] = '\0';
  name[std::strcspn(name, "\r\n")] = '\0';
  return true;
}

bool create_shell(KelvraApp* app) {
  const UiWindowConfig config = {"Zarnel Kelvra", 1334, 872, 30, 0, 1, 1, 1, 1, 1};
  app->window = ui_window_create(&config);
  app->painter = app->window != nullptr ? kelvra_painter_create(app->window) : nullptr;
  app->source_video = kelvra_video_create();
  app->program_video = kelvra_video_create();
  app->lookahead_video = kelvra_video_create();
  app->wave = kelvra_wave_create();
  app->audio_out = kelvra_audio_create();
  app->render_queue = kelvra_render_create();
  return app->window != nullptr && app->painter != nullptr && app->source_video != nullptr &&
         app->program_video != nullptr && app->wave != nullptr;
}

}  // namespace

void kelvra_open_active(KelvraApp* app) {
  if (!kelvra_media_folder(app->media_folder)) return;
  ui_set_dialog_folder(app->media_folder);
  char name[KELVRA_PATH_SIZE] = "";
  const char* chosen = std::getenv("ZARNELK_START_PROJECT");
  if (chosen != nullptr && std::strlen(chosen) < KELVRA_PATH_SIZE)
    std::snprintf(name, sizeof name, "%s", chosen);
  else if (!active_project_name(app->media_folder, name))
    name[0] = '\0';
  char path[KELVRA_PATH_SIZE];
  bool opened = kelvra_path(app->media_folder, name, path) && kelvra_project_open(&app->project, path);
  if (!opened) opened = kelvra_path(app->media_folder, "project.json", path) && kelvra_project_open(&app->project, path);
  if (!opened) return;
  app->layout_mode = app->project.layout;
  kelvra_select(app, 0);
  kelvra_project_title(app, path);
}

// ------------------------------------------------------------------ [cursor]

uint32_t kelvra_cursor_for(const KelvraApp* app, int32_t x, int32_t y) {
  UiInput at{};
  at.x = x;
  at.y = y;
  if (app->active_tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE &&
      static_cast<uint64_t>(app->selected_source) < app->project.source_count && kelvra_hit(app->clip_name_field, &at))
    return UI_CURSOR_IBEAM;
  const uint32_t kind = app->drag_kind != 0 ? app->drag_kind : kelvra_sample_handle(app, &at);
  switch (kind) {
    case 3: return UI_CURSOR_CROSS;
    case 5:
    case 6: return UI_CURSOR_SIZEWE;
    case 4:
    case 7:
    case 13: return UI_CURSOR_SIZEALL;
    default: return UI_CURSOR_ARROW;
  }
}

// -------------------------------------------------------------------- [loop]

namespace {

// What the loop remembers between passes to decide whether to draw.
struct FrameMemory {
  uint64_t source_serial;
  uint64_t program_serial;
  uint64_t wave_serial;
  uint64_t lane_sum;
  uint64_t drawn_ms;
  bool drawn_once;
};

// Runs passes until the window closes (true) or presenting fails (false).
bool frame_loop(KelvraApp* app) {
  FrameMemory memory{};
  for (;;) {
    if (!ui_window_poll_events()) return true;
    UiInput event;
    while (ui_window_next_input(app->window, &event)) kelvra_input(app, &event);
    kelvra_render_poll(app);
    if (!ui_window_is_visible(app->window)) {
      ui_sleep_ms(50);
      app->tick_time_ms = ui_time_ms();
      continue;
    }
    uint32_t width = 0;
    uint32_t height = 0;
    if (!ui_window_client_size(app->window, &width, &height) || width == 0 || height == 0) {
      // Nothing to lay out or draw; a short nap keeps this pass from spinning a core.
      ui_sleep_ms(10);
      continue;
    }
    if (width != app->client_width || height != app->client_height) app->needs_redraw = 1;
    app->client_width = width;
    app->client_height = height;
    kelvra_layout(app);
    int32_t px = 0;
    int32_t py = 0;
    if (ui_window_pointer(app->window, &px, &py)) ui_window_use_cursor(app->window, kelvra_cursor_for(app, px, py));
    const bool ticked = kelvra_tick(app);
    kelvra_audio_update(app);
    const uint64_t now = ui_time_ms();
    const bool meters = kelvra_meters_poll(app, now);

    uint64_t source_serial = 0;
    uint64_t program_serial = 0;
    uint64_t wave_serial = 0;
    uint64_t lane_sum = 0;
    kelvra_video_size(app->source_video, nullptr, nullptr, &source_serial);
    kelvra_video_size(app->program_video, nullptr, nullptr, &program_serial);
    kelvra_wave_read(app->wave, nullptr, nullptr, &wave_serial);
    if (app->active_tab == KELVRA_TAB_TIMELINE) {
      for (VideoWorker* lane : app->lane_videos) {
        uint64_t serial = 0;
        kelvra_video_size(lane, nullptr, nullptr, &serial);
        lane_sum += serial;
      }
    }
    const bool draw = ticked || meters || source_serial != memory.source_serial ||
                      program_serial != memory.program_serial || lane_sum != memory.lane_sum ||
                      wave_serial != memory.wave_serial || !memory.drawn_once || now - memory.drawn_ms > 250;
    if (draw) {
      if (!kelvra_painter_begin(app->painter, width, height)) return false;
      kelvra_draw(app);
      if (!kelvra_painter_end(app->painter)) return false;
      app->needs_redraw = 0;
      memory.drawn_ms = now;
      memory.drawn_once = true;
      memory.source_serial = source_serial;
      memory.program_serial = program_serial;
      memory.wave_serial = wave_serial;
    }
    if (!ui_window_wait_frame(app->window)) return false;
    memory.lane_sum = lane_sum;
  }
}

// -------------------------------------------------------------------- [stop]

void shutdown(KelvraApp* app) {
  kelvra_video_destroy(app->source_video);
  kelvra_video_destroy(app->program_video);
  kelvra_video_destroy(app->lookahead_video);
  for (VideoWorker*& lane : app->lane_videos) {
    kelvra_video_destroy(lane);
    lane = nullptr;
  }
  kelvra_audio_destroy(app->audio_out);
  kelvra_render_destroy(app->render_queue);
  kelvra_wave_destroy(app->wave);
  kelvra_history_clear(app);
  kelvra_project_close(&app->project);
  kelvra_painter_destroy(app->painter);
  ui_window_destroy(app->window);
  kelvra_app_free(app);
}

}  // namespace

int kelvra_run() {
  std::signal(SIGPIPE, SIG_IGN);
  KelvraApp* app = kelvra_app_create();
  if (app == nullptr) return 1;
  if (!ui_display_available()) {
    std::fprintf(stderr,
                 "kelvra: no display could be opened. Run it in a desktop session (DISPLAY or WAYLAND_DISPLAY set), "
                 "or set SDL_VIDEODRIVER=offscreen to run it without a screen.\n");
    kelvra_app_free(app);
    return 1;
  }
  bool ok = create_shell(app);
  if (ok) {
    kelvra_open_active(app);
    kelvra_render_library(app);
    audio_editor_reset(app);
    kelvra_status(app, "");
    ok = frame_loop(app);
  }
  shutdown(app);
  if (!ok) {
    std::fprintf(stderr, "kelvra: %s\n", kStartFailure);
    return ui_report_error(kStartFailure);
  }
  return 0;
}
