// Editing the timeline with the pointer: presses and drags on the clip lanes
// (selecting, moving and scrubbing), the clip controls under them (mode, loop
// count, position slider, fade and gain knobs, switches, scroll bar) with
// their drags and wheel steps, and Duplicate and Remove.
//
// Index:
//   [lanes]     kelvra_sequence_press, kelvra_sequence_drag
//   [controls]  sequence_clip_controls_press, _drag, _wheel
//   [clips]     sequence_duplicate, sequence_remove
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace {

// Rounds half away from zero to steps of 1 / `per`.
double round_to(double value, double per) { return std::round(value * per) / per; }

double pointer_time(const KelvraApp* app, int32_t x) {
  return std::max((x - app->clip_lanes.x) / app->pixels_per_second + app->timeline_scroll, 0.0);
}

// The lane under a pointer `dy` pixels below the top of the lanes (3 at the top).
int32_t lane_at(int32_t dy) { return 3 - (dy - 18) / 22; }

Clip* selected(KelvraApp* app) {
  return static_cast<uint64_t>(app->selected_clip) < app->project.clip_count ? &app->project.clips[app->selected_clip]
                                                                               : nullptr;
}

double gain_decibels(double gain) { return 20 * std::log10(std::max(gain, 0.01)); }
double gain_of(double decibels) { return std::pow(10.0, std::round(decibels * 4) / 80); }

void new_clip_id(KelvraApp* app, Clip* clip) {
  app->clip_serial += 1;
  std::snprintf(clip->id, sizeof clip->id, "v3-%llu-%llu", static_cast<unsigned long long>(ui_time_ms()),
                static_cast<unsigned long long>(app->clip_serial));
}

constexpr double kSnapPixels = 8.0;

// Moves `clip` so that its start or end lies on the nearest beat of the score
// or edge of another clip, when one is within 8 pixels; records the point.
void snap_clip(KelvraApp* app, Clip* clip) {
  const Project& project = app->project;
  const double length = kelvra_clip_length(clip);
  const double reach = kSnapPixels / app->pixels_per_second;
  const double beat = 60.0 / kelvra_score_bpm(&project.score);
  double best_shift = 0;
  double best_point = -1;
  double best_distance = reach;
  const auto consider = [&](double edge, double point) {
    const double distance = std::fabs(point - edge);
    if (distance <= best_distance && clip->at + (point - edge) >= 0) {
      best_distance = distance;
      best_shift = point - edge;
      best_point = point;
    }
  };
  for (const double edge : {clip->at, clip->at + length}) {
    consider(edge, std::round(edge / beat) * beat);
    for (uint64_t i = 0; i < project.clip_count; ++i) {
      const Clip& other = project.clips[i];
      if (&other == clip) continue;
      consider(edge, other.at);
      consider(edge, other.at + kelvra_clip_length(&other));
    }
  }
  if (best_point < 0) return;
  clip->at = std::max(clip->at + best_shift, 0.0);
  app->snap_time = best_point;
}

}  // namespace

// ------------------------------------------------------------------- [lanes]

void kelvra_sequence_press(KelvraApp* app, const UiInput* event) {
  const Rect lanes = app->clip_lanes;
  const Project& project = app->project;
  const int32_t dy = event->y - lanes.y;
  const double t = pointer_time(app, event->x);
  if (dy > 17 && dy < 106) {
    const uint32_t lane = static_cast<uint32_t>(lane_at(dy));
    for (uint64_t i = project.clip_count; i-- > 0;) {
      const Clip& clip = project.clips[i];
      if (clip.lane != lane || !(clip.at <= t && t < clip.at + kelvra_clip_length(&clip))) continue;
      if (static_cast<int64_t>(i) == app->selected_clip)
        app->pending_deselect = 1;  // a release without a drag deselects it
      else
        kelvra_select_clip(app, i);
      app->drag_kind = KELVRA_DRAG_CLIP_MOVE;
      app->press_x = event->x;
      app->press_y = event->y;
      app->drag_anchor = t - project.clips[i].at;
      return;
    }
  }
  const bool had_clip = static_cast<uint64_t>(app->selected_clip) < project.clip_count;
  if (had_clip) kelvra_clear_clip(app);
  // Below the ruler on the Sampling tab a press only drops the clip.
  if (!had_clip || !(dy > 17 && app->active_tab == KELVRA_TAB_SAMPLING)) kelvra_change_tab(app, KELVRA_TAB_TIMELINE);
  app->drag_kind = KELVRA_DRAG_TIMELINE_SCRUB;
  app->timeline_playhead = t;  // past the end too: the next clip may be placed after a gap
  kelvra_seek(app);
}

void kelvra_sequence_drag(KelvraApp* app, const UiInput* event) {
  const double t = pointer_time(app, event->x);
  if (app->drag_kind == KELVRA_DRAG_TIMELINE_SCRUB) {
    app->timeline_playhead = std::min(app->project.timeline_end, t);
    kelvra_seek(app);
    return;
  }
  Clip* clip = selected(app);
  if (app->drag_kind != KELVRA_DRAG_CLIP_MOVE || clip == nullptr) return;
  clip->at = round_to(std::max(t - app->drag_anchor, 0.0), 100);
  app->snap_time = -1;
  if (!app->project.snap_off && !event->shift) snap_clip(app, clip);
  clip->lane = static_cast<uint32_t>(std::clamp(lane_at(event->y - app->clip_lanes.y), 0, 3));
  kelvra_sequence_end(app);
  app->dirty = 1;
}

// ---------------------------------------------------------------- [controls]

namespace {

void scroll_bar_drag(KelvraApp* app, int32_t x) {
  const Rect lanes = app->clip_lanes;
  const double visible = lanes.width / app->pixels_per_second;
  const double span = std::max(app->project.timeline_end + 1, visible);
  app->timeline_scroll = std::max(
      std::min(static_cast<double>(x - lanes.x) / lanes.width * span - 0.5 * visible, span - visible), 0.0);
}

void slider_drag(KelvraApp* app, int32_t x) {
  Clip* clip = selected(app);
  if (clip == nullptr) return;
  const double fraction = std::clamp((x - 371) / 146.0, 0.0, 1.0);
  clip->at = round_to(fraction * app->drag_start_out, 100);
  kelvra_sequence_end(app);
}

}  // namespace

bool sequence_clip_controls_press(KelvraApp* app, const UiInput* event) {
  const Rect* controls = app->clip_controls;
  if (kelvra_hit(controls[SEQUENCE_SCROLL], event)) {
    app->drag_kind = KELVRA_DRAG_SCROLL_BAR;
    scroll_bar_drag(app, event->x);
    return true;
  }
  Clip* clip = selected(app);
  if (clip == nullptr) return false;
  const struct {
    uint32_t control;
    uint32_t drag;
  } knobs[] = {{SEQUENCE_FADE_IN, KELVRA_DRAG_FADE_IN}, {SEQUENCE_FADE_OUT, KELVRA_DRAG_FADE_OUT},
               {SEQUENCE_GAIN, KELVRA_DRAG_GAIN}};
  for (const auto& knob : knobs) {
    if (!kelvra_hit(controls[knob.control], event)) continue;
    app->drag_kind = knob.drag;
    app->drag_anchor = event->y;
    app->drag_start_in = knob.drag == KELVRA_DRAG_FADE_IN    ? clip->fade_in
                         : knob.drag == KELVRA_DRAG_FADE_OUT ? clip->fade_out
                                                             : gain_decibels(clip->gain);
    return true;  // the first move opens the step
  }
  if (kelvra_hit(controls[SEQUENCE_POSITION], event)) {
    if (!kelvra_history_begin(app)) return true;
    clip = selected(app);
    app->drag_kind = KELVRA_DRAG_POSITION;
    app->drag_started = 1;
    app->drag_start_out = std::max(app->clip_lanes.width / app->pixels_per_second, app->project.timeline_end);
    slider_drag(app, event->x);
    return true;
  }
  for (uint32_t control :
       {SEQUENCE_CUT, SEQUENCE_LOOP, SEQUENCE_FEWER, SEQUENCE_MORE, SEQUENCE_VIDEO, SEQUENCE_AUDIO}) {
    if (!kelvra_hit(controls[control], event)) continue;
    const bool video = control == SEQUENCE_VIDEO;
    if ((video || control == SEQUENCE_AUDIO) && !(video ? clip->video : clip->audio) &&
        kelvra_switch_refused(app, clip->source, clip->music, video))
      return true;
    if (!kelvra_history_begin(app)) return true;
    clip = selected(app);
    switch (control) {
      case SEQUENCE_CUT: clip->loop = 0; break;
      case SEQUENCE_LOOP: clip->loop = 1; break;
      case SEQUENCE_FEWER:
        if (clip->loops > 1) clip->loops -= 1;
        break;
      case SEQUENCE_MORE:
        if (clip->loops <= 100) {
          clip->loops += 1;
          clip->loop = 1;
        }
        break;
      case SEQUENCE_VIDEO: clip->video = !clip->video; break;
      default: clip->audio = !clip->audio; break;
    }
    kelvra_sequence_end(app);
    return true;
  }
  return false;
}

void sequence_clip_controls_drag(KelvraApp* app, const UiInput* event) {
  switch (app->drag_kind) {
    case KELVRA_DRAG_SCROLL_BAR: scroll_bar_drag(app, event->x); return;
    case KELVRA_DRAG_POSITION: slider_drag(app, event->x); return;
    default: break;
  }
  Clip* clip = selected(app);
  if (clip == nullptr) return;
  const double d = app->drag_anchor - event->y;  // upward is positive
  switch (app->drag_kind) {
    case KELVRA_DRAG_FADE_IN:
      clip->fade_in = round_to(std::clamp(d * 5 / 100 + app->drag_start_in, 0.0, 5.0), 100);
      break;
    case KELVRA_DRAG_FADE_OUT:
      clip->fade_out = round_to(std::clamp(d * 5 / 100 + app->drag_start_in, 0.0, 5.0), 100);
      break;
    case KELVRA_DRAG_GAIN:
      clip->gain = gain_of(std::clamp(d * 20 / 100 + app->drag_start_in, -10.0, 10.0));
      break;
    default:
      break;
  }
}

bool sequence_clip_controls_wheel(KelvraApp* app, const UiInput* event) {
  if (selected(app) == nullptr || event->wheel == 0) return false;
  const Rect* controls = app->clip_controls;
  uint32_t over = SEQUENCE_CONTROLS;
  for (uint32_t control : {SEQUENCE_LOOPS, SEQUENCE_FADE_IN, SEQUENCE_FADE_OUT, SEQUENCE_GAIN})
    if (kelvra_hit(controls[control], event)) over = control;
  if (over == SEQUENCE_CONTROLS) return false;
  if (!kelvra_history_begin(app)) return true;
  Clip* clip = selected(app);
  const double s = event->wheel > 0 ? 1 : -1;
  switch (over) {
    case SEQUENCE_LOOPS:
      clip->loops = static_cast<uint32_t>(std::clamp<int64_t>(static_cast<int64_t>(clip->loops) + (s > 0 ? 1 : -1), 1, 101));
      clip->loop = 1;
      kelvra_sequence_end(app);
      break;
    case SEQUENCE_FADE_IN: clip->fade_in = round_to(std::clamp(clip->fade_in + s * 0.05, 0.0, 5.0), 100); break;
    case SEQUENCE_FADE_OUT: clip->fade_out = round_to(std::clamp(clip->fade_out + s * 0.05, 0.0, 5.0), 100); break;
    default: clip->gain = gain_of(std::clamp(gain_decibels(clip->gain) + s * 0.25, -10.0, 10.0)); break;
  }
  return true;
}

// ------------------------------------------------------------------- [clips]

void sequence_duplicate(KelvraApp* app) {
  Project& project = app->project;
  if (selected(app) == nullptr || project.clip_count >= PROJECT_MAX_ROWS || !kelvra_history_begin(app)) return;
  const Clip& original = project.clips[app->selected_clip];
  Clip& copy = project.clips[project.clip_count];
  copy = original;
  new_clip_id(app, &copy);
  copy.at = original.at + kelvra_clip_length(&original);
  app->selected_clip = static_cast<int64_t>(project.clip_count);
  project.clip_count += 1;
}

void sequence_remove(KelvraApp* app) {
  Project& project = app->project;
  if (selected(app) == nullptr || !kelvra_history_begin(app)) return;
  const uint64_t index = static_cast<uint64_t>(app->selected_clip);
  std::memmove(&project.clips[index], &project.clips[index + 1], (project.clip_count - index - 1) * sizeof(Clip));
  project.clip_count -= 1;
  kelvra_clear_clip(app);
}
