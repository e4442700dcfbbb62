// Input dispatch: only the close request while a file dialog is open; else
// the clip-name field first, the close request and the global shortcuts,
// then the pointer router that hit-tests the workspace rectangles in a fixed
// order, and the drags that follow a press.
//
// Index:
//   (top)      Space, drag thresholds, toolbar, strip and control presses
//   [keys]     kelvra_input
//   [press]    kelvra_press
//   [handles]  kelvra_hit, kelvra_sample_handle
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "editor/app.h"
#include "editor/band.h"
#include "editor/clip_name.h"
#include "editor/editor.h"
#include "editor/file_commands.h"
#include "editor/history.h"
#include "editor/library.h"
#include "editor/piano_roll.h"
#include "editor/render_tab.h"
#include "editor/text_tab.h"
#include "export/render.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace {

constexpr uint32_t key_letter(char letter) { return UI_KEY_A + static_cast<uint32_t>(letter - 'A'); }

void request_close(KelvraApp* app) {
  if (app->dirty) {
    const uint32_t answer = ui_ask_save("Close project", "Discard the unsaved project edits?");
    if (answer == UI_SAVE_QUESTION_SAVE) kelvra_save_then_close(app);
    if (answer != UI_SAVE_QUESTION_DISCARD) return;
  }
  ui_window_request_close(app->window);
}

// Space plays or pauses what the tab shows: the selected clip's range on the
// Sampling tab when that clip belongs to the selected source, else the
// transport's current mode.
void space(KelvraApp* app) {
  const uint32_t tab = app->active_tab;
  if (tab != KELVRA_TAB_SAMPLING && tab != KELVRA_TAB_TIMELINE && tab != KELVRA_TAB_AUDIO) return;
  const Project& project = app->project;
  const bool clip_of_source = static_cast<uint64_t>(app->selected_source) < project.source_count &&
                              static_cast<uint64_t>(app->selected_clip) < project.clip_count &&
                              project.clips[app->selected_clip].source == app->selected_source;
  if (tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE && clip_of_source)
    kelvra_toggle(app, TRANSPORT_SAMPLE);
  else
    kelvra_toggle(app, app->transport_mode);
}

// The first move of a drag past its threshold opens the drag's undo step;
// false while the move does not count (yet) or the step was refused.
bool drag_started(KelvraApp* app, const UiInput* event) {
  if (app->drag_started) return true;
  const uint32_t kind = app->drag_kind;
  const bool sampling = kind >= KELVRA_DRAG_NEW_RANGE && kind <= KELVRA_DRAG_RANGE_OUT;
  const bool moving = kind == KELVRA_DRAG_CLIP_MOVE || kind == KELVRA_DRAG_INSET_MOVE || kind >= KELVRA_DRAG_TITLE_MOVE;
  const int32_t dx = std::abs(event->x - app->press_x);
  const int32_t dy = std::abs(event->y - app->press_y);
  if (sampling && dx <= 1) return false;
  if (moving && dx <= 1 && dy <= 1) return false;
  if (!kelvra_history_begin(app)) return false;
  app->drag_started = 1;
  app->pending_deselect = 0;
  if (sampling) app->range_click_ms = 0;
  return true;
}

// A pointer move while the left button is held: the drag in progress.
void drag(KelvraApp* app, const UiInput* event) {
  const uint32_t kind = app->drag_kind;
  // Scrubbing and the scroll bar are no edits; the slider opened its step at the press.
  const bool edits = kind != KELVRA_DRAG_NONE && kind != KELVRA_DRAG_TIMELINE_SCRUB &&
                     kind != KELVRA_DRAG_SCROLL_BAR && kind != KELVRA_DRAG_POSITION;
  if (edits && !drag_started(app, event)) return;
  if (kind == KELVRA_DRAG_TITLE_MOVE) {
    kelvra_text_drag(app, event);
    return;
  }
  if (kind > KELVRA_DRAG_TITLE_MOVE) {
    kelvra_band_drag(app, event);
    return;
  }
  if (kind == KELVRA_DRAG_TIMELINE_SCRUB || kind == KELVRA_DRAG_CLIP_MOVE)
    kelvra_sequence_drag(app, event);
  else if ((kind >= KELVRA_DRAG_FADE_IN && kind <= KELVRA_DRAG_SCROLL_BAR) || kind > KELVRA_DRAG_INSET_MOVE)
    sequence_clip_controls_drag(app, event);
  else if (kind >= KELVRA_DRAG_NEW_RANGE && kind <= KELVRA_DRAG_RANGE_OUT)
    kelvra_sample_drag(app, event->x);
  else if (kind == KELVRA_DRAG_INSET_MOVE)
    kelvra_monitor_drag(app, event);
}

// The timeline band's toolbar: the edit and play buttons on the Timeline tab,
// the layout buttons on the Sampling tab (whose presses cover the gaps).
void toolbar_press(KelvraApp* app, const UiInput* event) {
  const Rect bar = app->timeline_toolbar;
  const int32_t v = event->x - (bar.x + bar.width / 2);
  if (app->active_tab == KELVRA_TAB_TIMELINE) {
    const bool clip = static_cast<uint64_t>(app->selected_clip) < app->project.clip_count;
    // The buttons take presses over the toolbar's whole height.
    const auto under = [event](Rect button) { return event->x >= button.x && event->x - button.x < button.width; };
    if (under(app->timeline_play_button)) {
      kelvra_toggle(app, TRANSPORT_TIMELINE);
    } else if (under(app->snap_button)) {
      if (kelvra_history_begin(app)) app->project.snap_off = !app->project.snap_off;
    } else if (event->x >= app->follow_button.x) {  // "Follow", to the toolbar's right edge
      if (kelvra_history_begin(app)) app->follow_playhead = !app->follow_playhead;
    } else if (under(app->split_button)) {
      kelvra_band_split(app);
    } else if (clip && under(app->duplicate_button)) {
      sequence_duplicate(app);
      kelvra_sequence_end(app);
    } else if (clip && under(app->remove_button)) {
      sequence_remove(app);
      kelvra_sequence_end(app);
    } else if (clip && v >= -72 && v <= -69) {  // the gap between the two
      kelvra_sequence_end(app);
    }
    return;
  }
  if (app->active_tab != KELVRA_TAB_SAMPLING || v < -76 || v > 77) return;
  const uint32_t choice = v < -31 ? KELVRA_LAYOUT_SPLIT : v <= 26 ? KELVRA_LAYOUT_SOURCE : KELVRA_LAYOUT_EDIT;
  if (choice == app->layout_mode || !kelvra_history_begin(app)) return;
  app->layout_mode = choice;
  app->playing = 0;
  const bool clip = static_cast<uint64_t>(app->selected_clip) < app->project.clip_count;
  app->transport_mode = choice == KELVRA_LAYOUT_SOURCE                  ? TRANSPORT_SOURCE
                        : clip || choice == KELVRA_LAYOUT_EDIT          ? TRANSPORT_SAMPLE
                                                                        : TRANSPORT_SOURCE;
}

// A press on the strip: mark a new range, or take one of the range's handles.
void strip_press(KelvraApp* app, const UiInput* event, const SampleRange& range) {
  const double t = sample_position(app, event->x);
  const uint32_t handle = kelvra_sample_handle(app, event);
  app->drag_kind = handle;
  app->press_x = event->x;
  app->press_y = event->y;
  if (handle == KELVRA_DRAG_RANGE_BODY) {
    const uint64_t now = ui_time_ms();
    if (app->range_click_ms != 0 && now - app->range_click_ms <= 419) {
      app->range_click_ms = 0;
      app->drag_kind = KELVRA_DRAG_NONE;
      kelvra_place(app);
      return;
    }
    app->range_click_ms = now;
  } else {
    app->range_click_ms = 0;
  }
  if (handle == KELVRA_DRAG_NONE && !kelvra_has_sample(app)) {
    app->playing = 0;
    app->sample_media_time = t;
    app->sample_elapsed = t;
    app->transport_mode = TRANSPORT_SAMPLE;
    app->drag_kind = KELVRA_DRAG_NEW_RANGE;
    kelvra_seek(app);
  }
  app->drag_anchor = t;
  app->drag_start_in = range.in;
  app->drag_start_out = range.out;
}

// The row under the strip: Video, Audio and the cut/loop switch.
bool controls_press(KelvraApp* app, const UiInput* event, SampleRange range) {
  const Rect* row = app->sample_controls;
  if (kelvra_hit(row[SAMPLE_CONTROL_VIDEO], event)) {
    if (!range.video && kelvra_switch_refused(app, range.source, range.music, true)) return true;
    range.video = !range.video;
  } else if (kelvra_hit(row[SAMPLE_CONTROL_AUDIO], event)) {
    if (!range.audio && kelvra_switch_refused(app, range.source, range.music, false)) return true;
    range.audio = !range.audio;
  } else if (kelvra_hit(row[SAMPLE_CONTROL_MODE], event)) {
    const uint8_t wanted = event->x >= row[SAMPLE_CONTROL_LOOP].x;
    if (wanted == range.loop) return true;
    range.loop = wanted;
  } else {
    return false;
  }
  if (kelvra_history_begin(app)) kelvra_sample_apply(app, &range);
  return true;
}

// Presses on the Sampling tab's monitors, seek bar, strip and controls.
void sampling_press(KelvraApp* app, const UiInput* event) {
  SampleRange range;
  kelvra_sample_range(&range, app);
  if (app->layout_mode != KELVRA_LAYOUT_EDIT) {
    const Rect bar = app->source_seek_bar;
    if (bar.width > 8 && kelvra_hit(bar, event)) {
      app->drag_kind = KELVRA_DRAG_SOURCE_SCRUB;
      kelvra_source_seek(app, event->x);
      return;
    }
    if (kelvra_hit(app->source_view, event) || kelvra_hit(app->source_play_button, event)) {
      kelvra_toggle(app, TRANSPORT_SOURCE);
      return;
    }
    if (app->layout_mode == KELVRA_LAYOUT_SOURCE) return;
  }
  if (kelvra_hit(app->sample_view, event)) {
    kelvra_toggle(app, TRANSPORT_SAMPLE);
    return;
  }
  if (kelvra_hit(app->sample_strip, event)) {
    if (app->project.sources[app->selected_source].duration > 0) strip_press(app, event, range);
    return;
  }
  if (kelvra_hit(app->place_button, event)) {
    kelvra_place(app);
    return;
  }
  if (controls_press(app, event, range)) return;
  // The pair above the monitor takes presses across its whole width: the
  // right 47 pixels are "After" (the sample), the rest "Before" (the source
  // itself from the range's start).
  const Rect after = app->after_button;
  const Rect before = app->before_button;
  const int32_t right = after.x + after.width;
  if (kelvra_hit(Rect{before.x, before.y, right - before.x, before.height}, event)) {
    if (event->x >= right - 47) {
      kelvra_toggle(app, TRANSPORT_SAMPLE);
    } else {
      if (!(app->playing && app->transport_mode == TRANSPORT_SOURCE)) app->source_playhead = range.in;
      kelvra_toggle(app, TRANSPORT_SOURCE);
    }
  }
}

}  // namespace

// -------------------------------------------------------------------- [keys]

void kelvra_input(KelvraApp* app, const UiInput* event) {
  if (event->drop != 0) {  // a dropped file is imported, also while a dialog is open
    kelvra_library_input(app, event);
    return;
  }
  if (app->file_dialog != KELVRA_DIALOG_NONE) {
    // While a file dialog is open the window takes no input but its close,
    // which ends the dialog and then closes as it always does.
    if (!event->close) return;
    kelvra_file_dialog_end(app);
  }
  if (event->pointer == UI_POINTER_PRESS && app->name_editing && !kelvra_hit(app->clip_name_field, event))
    kelvra_name_input(app, event);  // a press elsewhere ends the name's edit before the library sees it
  if (kelvra_library_input(app, event) || kelvra_name_input(app, event) || kelvra_number_input(app, event)) {
    app->needs_redraw = 1;
    return;
  }
  if (kelvra_render_input(app, event)) return;
  if (event->close || (event->ctrl && event->key == key_letter('Q'))) {
    request_close(app);
    return;
  }
  if (event->key == UI_KEY_ESCAPE) kelvra_halt(app);
  if (event->character == ' ') space(app);
  // The band's edit keys: Delete removes the selection, S splits the selected clip.
  if (!event->ctrl && app->active_tab != KELVRA_TAB_AUDIO) {
    if (event->key == UI_KEY_DELETE) kelvra_band_delete(app);
    if (event->key == key_letter('S')) kelvra_band_split(app);
  }
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
    case UI_POINTER_MOVE:
      if (app->drag_kind == KELVRA_DRAG_SOURCE_SCRUB) {
        kelvra_source_seek(app, event->x);
        return;
      }
      drag(app, event);
      break;
    case UI_POINTER_RELEASE:
      if (app->pending_deselect) kelvra_clear_clip(app);
      app->pending_deselect = 0;
      app->drag_kind = KELVRA_DRAG_NONE;
      app->snap_time = -1;
      break;
    case UI_POINTER_WHEEL:
      if (kelvra_band_zoom(app, event) || kelvra_monitor_press(app, event) || kelvra_band_wheel(app, event) ||
          sequence_clip_controls_wheel(app, event))
        break;
      if (kelvra_hit(app->clip_lanes, event)) {
        // Two seconds a notch at the default 40 px a second: the same distance on screen at any zoom.
        const double visible = app->clip_lanes.width / app->pixels_per_second;
        const double step = event->wheel / 60.0 * 40 / app->pixels_per_second;
        app->timeline_scroll =
            std::fmax(std::fmin(app->timeline_scroll - step, app->project.timeline_end - visible), 0.0);
      }
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
  if (kelvra_canvas_press(app, event)) return;
  if (kelvra_hit(app->clip_lanes, event)) {
    if (!kelvra_band_press(app, event)) kelvra_sequence_press(app, event);
    return;
  }
  if (kelvra_number_press(app, event) || sequence_clip_controls_press(app, event)) return;
  if (kelvra_hit(app->library_rows, event)) {
    kelvra_change_tab(app, KELVRA_TAB_SAMPLING);
    const int64_t source = kelvra_library_source_at(app, event->y);
    if (source >= 0) kelvra_select(app, static_cast<uint64_t>(source));
    return;
  }
  for (uint32_t tab = 0; tab < KELVRA_TAB_COUNT; ++tab) {
    if (kelvra_hit(app->tab_buttons[tab], event)) {
      kelvra_change_tab(app, tab);
      return;
    }
  }
  if (kelvra_hit(app->timeline_toolbar, event)) {
    toolbar_press(app, event);
    return;
  }
  if (kelvra_text_press(app, event) || kelvra_monitor_press(app, event)) return;
  if (app->active_tab == KELVRA_TAB_TIMELINE && kelvra_hit(app->main_panel, event)) {
    kelvra_toggle(app, TRANSPORT_TIMELINE);
    return;
  }
  if (app->active_tab != KELVRA_TAB_SAMPLING || static_cast<uint64_t>(app->selected_source) >= app->project.source_count)
    return;
  sampling_press(app, event);
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
