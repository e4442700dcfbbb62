// The editor's life: start-up in a fixed order, the paced frame loop, and
// shutdown in a fixed order.
//
// Index:
//   [start]    kelvra_start, kelvra_open_active, creating the shell and the workers
//   [cursor]   kelvra_cursor_for
//   [loop]     kelvra_frame: one pass per frame, in named steps
//   [stop]     kelvra_shutdown, kelvra_run
#include "app/run.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "app/command_line.h"
#include "editor/app.h"
#include "editor/audio_output.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "editor/file_commands.h"
#include "editor/history.h"
#include "editor/import.h"
#include "editor/library.h"
#include "editor/meters.h"
#include "editor/piano_roll.h"
#include "editor/recovery.h"
#include "editor/render_tab.h"
#include "editor/workspace.h"
#include "export/render.h"
#include "media/poster.h"
#include "media/strip_cache.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/painter.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "publish/publish.h"

namespace {

const char kStartFailure[] = "Kelvra could not initialize or present the native workspace.";

// ------------------------------------------------------------------- [start]

// The first line of the media folder's ".active-project", cut at the line end.
// Only a regular file is read: a FIFO there must not hold up start-up.
bool active_project_name(const char* folder, char* name) {
  char path[KELVRA_PATH_SIZE];
  if (!kelvra_path(folder, ".active-project", path)) return false;
  uint64_t size = 0;
  const int fd = sys_open_regular(path, &size);
  if (fd < 0) return false;
  const uint64_t wanted = size < KELVRA_PATH_SIZE - 1 ? size : KELVRA_PATH_SIZE - 1;
  const bool read = sys_read_exactly(fd, name, wanted);
  ::close(fd);
  if (!read) return false;
  name[wanted] = '\0';
  name[std::strcspn(name, "\r\n")] = '\0';
  return true;
}

// A media folder that cannot be used leaves the editor on an empty project: the status line says why.
void report_media_folder(KelvraApp* app) {
  if (app->media_folder[0] == '\0') {
    kelvra_status(app, "No media folder: set ZARNELK_MEDIA to one. Nothing was opened.");
    return;
  }
  const char* problem = nullptr;
  switch (sys_folder_state(app->media_folder)) {
    case SYS_FOLDER_MISSING: problem = "does not exist"; break;
    case SYS_FOLDER_NOT_A_FOLDER: problem = "is not a folder"; break;
    case SYS_FOLDER_CLOSED: problem = "cannot be read"; break;
    default: return;
  }
  char message[sizeof app->status];
  std::snprintf(message, sizeof message, "The media folder %.120s %s. Nothing was opened.", app->media_folder,
                problem);
  kelvra_status(app, message);
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

namespace {
void show_first_frame(KelvraApp* app);
}  // namespace

bool kelvra_start(KelvraApp* app) {
  kelvra_start_folder();  // before the workers start: it may set the environment the lookup reads
  // SDL turns SIGTERM into a close request, which asks about unsaved edits
  // and so would hold up a logout: these handlers take its place.
  sys_catch_termination();
  http_global_init();  // before any publishing worker can make a request
  if (!create_shell(app)) return false;
  app->strips = strip_cache_create();
  app->recovery = kelvra_recovery_create();
  char posters[KELVRA_PATH_SIZE];
  app->posters = kelvra_poster_create(kelvra_poster_folder(posters, sizeof posters) ? posters : nullptr);
  kelvra_status(app, "");
  kelvra_open_active(app);
  report_media_folder(app);
  kelvra_start_report(app);
  show_first_frame(app);  // a question about unsaved edits is asked over the editor, not an empty window
  kelvra_recovery_offer(app);
  kelvra_render_library(app);
  audio_editor_reset(app);
  return true;
}

void kelvra_open_active(KelvraApp* app) {
  if (!kelvra_media_folder(app->media_folder)) return;
  ui_set_dialog_folder(app->media_folder);
  sys_remove_stale_temporaries(app->media_folder, SYS_STALE_TEMPORARY_SECONDS);
  kelvra_render_remove_partials(app->media_folder);
  char name[KELVRA_PATH_SIZE] = "";
  const char* chosen = std::getenv("ZARNELK_START_PROJECT");
  if (chosen != nullptr && std::strlen(chosen) < KELVRA_NAME_SIZE)
    std::snprintf(name, sizeof name, "%s", chosen);
  else if (!active_project_name(app->media_folder, name))
    name[0] = '\0';
  char path[KELVRA_PATH_SIZE];
  bool opened = kelvra_path(app->media_folder, name, path) && kelvra_project_open(&app->project, path);
  if (!opened) opened = kelvra_path(app->media_folder, "project.json", path) && kelvra_project_open(&app->project, path);
  if (!opened) return;
  if (!sys_full_path(path, app->project_path)) app->project_path[0] = '\0';
  app->layout_mode = app->project.layout;
  kelvra_check_sources(app);
  kelvra_select(app, 0);
  kelvra_project_title(app, path);
  kelvra_report_lost_clips(app);
}

// ------------------------------------------------------------------ [cursor]

uint32_t kelvra_cursor_for(const KelvraApp* app, int32_t x, int32_t y) {
  UiInput at{};
  at.x = x;
  at.y = y;
  if (app->active_tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE &&
      static_cast<uint64_t>(app->selected_source) < app->project.source_count && kelvra_hit(app->clip_name_field, &at))
    return UI_CURSOR_IBEAM;
  uint32_t kind = app->drag_kind != KELVRA_DRAG_NONE ? app->drag_kind : kelvra_sample_handle(app, &at);
  if (kind == KELVRA_DRAG_NONE) kind = kelvra_band_handle(app, &at);
  switch (kind) {
    case KELVRA_DRAG_NEW_RANGE: return UI_CURSOR_CROSS;
    case KELVRA_DRAG_RANGE_IN:
    case KELVRA_DRAG_RANGE_OUT:
    case KELVRA_DRAG_TRIM_IN:
    case KELVRA_DRAG_TRIM_OUT:
    case KELVRA_DRAG_TITLE_START:
    case KELVRA_DRAG_TITLE_END: return UI_CURSOR_SIZEWE;
    case KELVRA_DRAG_RANGE_BODY:
    case KELVRA_DRAG_CLIP_MOVE:
    case KELVRA_DRAG_INSET_MOVE:
    case KELVRA_DRAG_TITLE_MOVE:
    case KELVRA_DRAG_TITLE_SHIFT: return UI_CURSOR_SIZEALL;
    default: return UI_CURSOR_ARROW;
  }
}

// -------------------------------------------------------------------- [loop]

namespace {

void drain_input(KelvraApp* app) {
  UiInput event;
  while (ui_window_next_input(app->window, &event)) kelvra_input(app, &event);
}

// While minimized nothing is laid out, ticked, fed or drawn, and the transport
// does not count the time.
void nap_minimized(KelvraApp* app) {
  ui_sleep_ms(50);
  app->tick_time_ms = ui_time_ms();
}

// Stores the client size; false when there is nothing to lay out or draw.
bool take_client_size(KelvraApp* app) {
  uint32_t width = 0;
  uint32_t height = 0;
  if (!ui_window_client_size(app->window, &width, &height) || width == 0 || height == 0) return false;
  if (width != app->client_width || height != app->client_height) app->needs_redraw = 1;
  app->client_width = width;
  app->client_height = height;
  return true;
}

void choose_cursor(KelvraApp* app) {
  int32_t x = 0;
  int32_t y = 0;
  const bool over = ui_window_hover(app->window, &x, &y);
  kelvra_hover(app, over, x, y);
  if (ui_window_pointer(app->window, &x, &y)) ui_window_use_cursor(app->window, kelvra_cursor_for(app, x, y));
}

// The workers' serials, read under their locks.
FrameSerials read_serials(KelvraApp* app) {
  FrameSerials serials{};
  kelvra_video_size(app->source_video, nullptr, nullptr, &serials.source);
  kelvra_video_size(app->program_video, nullptr, nullptr, &serials.program);
  kelvra_wave_read(app->wave, nullptr, nullptr, &serials.wave);
  if (app->active_tab == KELVRA_TAB_TIMELINE) {
    for (VideoWorker* lane : app->lane_videos) {
      uint64_t serial = 0;
      kelvra_video_size(lane, nullptr, nullptr, &serial);
      serials.lane_sum += serial;
    }
  }
  return serials;
}

// Something changed since the last drawn frame, or 250 ms have passed.
bool should_draw(const FrameMemory* memory, const FrameSerials& now, bool changed, uint64_t now_ms) {
  return changed || !memory->drawn_once || now.source != memory->drawn.source ||
         now.program != memory->drawn.program || now.wave != memory->drawn.wave ||
         now.lane_sum != memory->lane_sum || now_ms - memory->drawn_ms > 250;
}

void wake_window(void* window) { ui_window_wake(static_cast<UiWindow*>(window)); }

// While the transport stands still, a picture that a worker publishes (the
// one a seek or a press on the band asked for) ends the frame wait, so it is
// on screen as soon as it is decoded rather than at the next frame. Playback
// keeps to the frames.
void wake_on_pictures(KelvraApp* app) {
  if (app->playing) return;
  kelvra_video_wake_on_publish(app->source_video, wake_window, app->window);
  kelvra_video_wake_on_publish(app->program_video, wake_window, app->window);
  if (app->active_tab == KELVRA_TAB_TIMELINE)
    for (VideoWorker* lane : app->lane_videos) kelvra_video_wake_on_publish(lane, wake_window, app->window);
}

bool draw(KelvraApp* app) {
  if (!kelvra_painter_begin(app->painter, app->client_width, app->client_height)) return false;
  kelvra_draw(app);
  return true;
}

bool present(KelvraApp* app) { return kelvra_painter_end(app->painter); }

void show_first_frame(KelvraApp* app) {
  if (!take_client_size(app)) return;
  kelvra_layout(app);
  if (draw(app)) present(app);
}

// A termination request: the open dialog's program ends, a whole recovery
// copy of unsaved edits is written, and nothing is asked.
uint32_t end_on_request(KelvraApp* app) {
  kelvra_file_dialog_end(app);
  if (!kelvra_recovery_write_now(app))
    std::fprintf(stderr, "kelvra: the recovery copy of the unsaved edits could not be written.\n");
  return KELVRA_FRAME_ENDED;
}

}  // namespace

uint32_t kelvra_frame(KelvraApp* app, FrameMemory* memory) {
  const uint64_t started_ns = ui_time_ns();
  if (!ui_window_poll_events()) {
    // A clean exit: the edits were saved, or the user chose to discard them.
    kelvra_recovery_discard(app, nullptr);
    return KELVRA_FRAME_QUIT;
  }
  if (sys_termination_signal() != 0) return end_on_request(app);
  drain_input(app);
  // A dialog or menu that the input opened returns at once on a termination request.
  if (sys_termination_signal() != 0) return end_on_request(app);
  kelvra_file_dialog_poll(app);
  kelvra_library_poll(app);
  kelvra_band_poll(app);
  kelvra_render_poll(app);
  kelvra_recovery_poll(app);
  if (!ui_window_is_visible(app->window)) {
    nap_minimized(app);
    return KELVRA_FRAME_NEXT;
  }
  if (!take_client_size(app)) {
    ui_sleep_ms(10);  // a short nap keeps a window without a size from spinning a core
    return KELVRA_FRAME_NEXT;
  }
  kelvra_layout(app);
  choose_cursor(app);
  const bool ticked = kelvra_tick(app);
  kelvra_audio_update(app);
  const uint64_t now_ms = ui_time_ms();
  const bool meters = kelvra_meters_poll(app, now_ms);
  const FrameSerials serials = read_serials(app);
  if (should_draw(memory, serials, ticked || meters, now_ms)) {
    if (!draw(app) || !present(app)) return KELVRA_FRAME_FAILED;
    app->needs_redraw = 0;
    memory->drawn_ms = now_ms;
    memory->drawn_once = true;
    memory->drawn = serials;
    memory->frames_drawn += 1;
  }
  kelvra_request_pictures(app);
  wake_on_pictures(app);
  memory->work_ns = ui_time_ns() - started_ns;
  if (!ui_window_wait_frame(app->window)) return KELVRA_FRAME_FAILED;
  memory->lane_sum = serials.lane_sum;
  return KELVRA_FRAME_NEXT;
}

// -------------------------------------------------------------------- [stop]

void kelvra_shutdown(KelvraApp* app) {
  kelvra_file_dialog_end(app);
  kelvra_recovery_destroy(app->recovery);
  app->recovery = nullptr;
  kelvra_import_destroy(app);
  kelvra_poster_destroy(app->posters);
  app->posters = nullptr;
  kelvra_video_destroy(app->source_video);
  kelvra_video_destroy(app->program_video);
  kelvra_video_destroy(app->lookahead_video);
  for (VideoWorker*& lane : app->lane_videos) {
    kelvra_video_destroy(lane);
    lane = nullptr;
  }
  kelvra_audio_destroy(app->audio_out);
  kelvra_render_destroy(app->render_queue);
  kelvra_publish_destroy(app->publishing);
  app->publishing = nullptr;
  kelvra_wave_destroy(app->wave);
  strip_cache_destroy(app->strips);
  app->strips = nullptr;
  kelvra_history_clear(app);
  kelvra_project_close(&app->project);
  kelvra_painter_destroy(app->painter);
  ui_window_destroy(app->window);
  kelvra_app_free(app);
  sys_release_termination();
}

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
  bool ok = kelvra_start(app);
  int exit_code = 0;
  if (ok) {
    FrameMemory memory{};
    uint32_t result;
    while ((result = kelvra_frame(app, &memory)) == KELVRA_FRAME_NEXT) {
    }
    ok = result == KELVRA_FRAME_QUIT || result == KELVRA_FRAME_ENDED;
    if (result == KELVRA_FRAME_ENDED) exit_code = 128 + sys_termination_signal();
  }
  kelvra_shutdown(app);
  if (!ok) {
    std::fprintf(stderr, "kelvra: %s\n", kStartFailure);
    return ui_report_error(kStartFailure);
  }
  return exit_code;
}
