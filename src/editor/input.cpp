// Input dispatch: the close request and the global shortcuts, then the
// pointer router that hit-tests the workspace rectangles in a fixed order.
//
// Index:
//   [keys]     kelvra_input
//   [press]    kelvra_press and its targets
//   [handles]  kelvra_hit, kelvra_sample_handle
#include <algorithm>
#include <cmath>

#include "app/app.h"
#include "app/file_commands.h"
#include "app/history.h"
#include "editor/editor.h"
#include "music/audio_editor.h"
#include "platform/ui.h"

namespace {

constexpr uint32_t key_letter(char letter) { return UI_KEY_A + static_cast<uint32_t>(letter - 'A'); }

void request_close(KelvraApp* app) {
  if (app->dirty && !ui_confirm("Close project", "Discard the unsaved project edits?")) return;
  ui_window_request_close(app->window);
}

}  // namespace

// -------------------------------------------------------------------- [keys]

void kelvra_input(KelvraApp* app, const UiInput* event) {
  if (event->close || (event->ctrl && event->key == key_letter('Q'))) {
    request_close(app);
    return;
  }
  if (event->key == UI_KEY_ESCAPE) kelvra_halt(app);
  if (event->ctrl) {
    if (event->key == key_letter('O')) kelvra_open_file(app);
    if (event->key == key_letter('S')) kelvra_save_file(app);
    if (event->key == key_letter('Z')) kelvra_history_step(app, event->shift != 0);
    if (event->key == key_letter('Y')) kelvra_history_step(app, true);
  }
  if (app->active_tab == KELVRA_TAB_AUDIO && audio_editor_input(app, event)) return;
  switch (event->pointer) {
    case UI_POINTER_PRESS:
      app->drag_started = 0;
      app->pending_deselect = 0;
      kelvra_press(app, event);
      break;
    case UI_POINTER_RELEASE:
      if (app->pending_deselect) kelvra_clear_clip(app);
      app->pending_deselect = 0;
      app->drag_kind = KELVRA_DRAG_NONE;
      break;
    default:
      break;
  }
  app->needs_redraw = 1;
}

// ------------------------------------------------------------------- [press]

void kelvra_press(KelvraApp* app, const UiInput* event) {
  if (kelvra_hit(app->open_button, event)) {
    kelvra_open_file(app);
    return;
  }
  if (kelvra_hit(app->save_button, event)) {
    kelvra_save_file(app);
    return;
  }
  if (kelvra_hit(app->undo_button, event)) {
    kelvra_history_step(app, false);
    return;
  }
  if (kelvra_hit(app->redo_button, event)) {
    kelvra_history_step(app, true);
    return;
  }
  if (kelvra_hit(app->library_rows, event)) {
    kelvra_change_tab(app, KELVRA_TAB_SAMPLING);
    kelvra_select(app, static_cast<uint64_t>((event->y - app->library_rows.y) / 106));
    return;
  }
  for (uint32_t tab = 0; tab < KELVRA_TAB_COUNT; ++tab) {
    if (kelvra_hit(app->tab_buttons[tab], event)) {
      kelvra_change_tab(app, tab);
      return;
    }
  }
}

// ----------------------------------------------------------------- [handles]

bool kelvra_hit(Rect rect, const UiInput* event) {
  return rect.width > 0 && rect.height > 0 && event->x >= rect.x && event->x - rect.x < rect.width &&
         event->y >= rect.y && event->y - rect.y < rect.height;
}

uint32_t kelvra_sample_handle(const KelvraApp* app, const UiInput* event) {
  if (app->active_tab != KELVRA_TAB_SAMPLING || app->layout_mode == KELVRA_LAYOUT_SOURCE || !kelvra_has_sample(app) ||
      !kelvra_hit(app->sample_strip, event))
    return KELVRA_DRAG_NONE;
  const double duration = app->project.sources[app->selected_source].duration;
  if (!(duration > 0)) return KELVRA_DRAG_NONE;
  SampleRange range;
  kelvra_sample_range(&range, app);
  const double t = sample_position(app, event->x);
  const double to_in = std::fabs(t - range.in);
  const double to_out = std::fabs(t - range.out);
  const double tolerance = 6 * duration / std::max(app->sample_strip.width, 1);
  if (std::min(to_in, to_out) <= tolerance) return to_out < to_in ? KELVRA_DRAG_RANGE_OUT : KELVRA_DRAG_RANGE_IN;
  return range.in < t && t < range.out ? KELVRA_DRAG_RANGE_BODY : KELVRA_DRAG_NONE;
}
