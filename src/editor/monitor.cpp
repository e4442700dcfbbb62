// The Timeline tab's monitor: the canvas previews, the list of clips under
// the playhead, the play button and progress, and the picture-in-picture
// inset of the top clip (the "Inset" button, the wheel that sizes it and the
// drag that moves it). Also the Text tab that lists the titles.
//
// Index:
//   [geometry]  kelvra_monitor_area, kelvra_inset_control, kelvra_inset_clip, kelvra_inset_bounds
//   [press]     kelvra_monitor_press, kelvra_monitor_drag
//   [draw]      kelvra_draw_monitor, kelvra_draw_other
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/text_tab.h"
#include "editor/workspace.h"
#include "media/titles.h"
#include "media/video.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "project/timeline_map.h"

namespace {

constexpr double kWheelStep = 0.04;
constexpr double kInsetLargest = 0.98;
constexpr double kSmallest = 0.1;
constexpr double kOffsetLimit = 3.0;

bool is_inset(const Clip& clip) { return clip.transform.scale > 0 && clip.transform.scale < 1; }

}  // namespace

// ---------------------------------------------------------------- [geometry]

Rect* kelvra_monitor_area(Rect* out, const KelvraApp* app) {
  *out = Rect{185, 77, app->layout_width - 348, app->timeline_top - 117};
  return out;
}

Rect* kelvra_inset_control(Rect* out, const KelvraApp* app) {
  *out = Rect{app->layout_width - 221, app->timeline_top - 33, 56, 24};
  return out;
}

int64_t kelvra_inset_clip(const KelvraApp* app) {
  const uint32_t primary = kelvra_canvas_index(kelvra_canvas_id(&app->project));
  if ((kelvra_canvas_mask(&app->project) & (1u << primary)) == 0) return -1;
  uint64_t stack[KELVRA_STACK_MAX];
  if (kelvra_video_stack(&app->project, app->timeline_playhead, stack) < 2) return -1;
  return static_cast<int64_t>(stack[0]);
}

Rect* kelvra_inset_bounds(Rect* out, const KelvraApp* app, Rect canvas, const Transform* transform) {
  double cover_width = canvas.width;
  double cover_height = canvas.height;
  uint32_t vw = 0;
  uint32_t vh = 0;
  if (kelvra_video_dimensions(app->program_video, &vw, &vh)) {
    const double m = std::max(static_cast<double>(canvas.height) / vh, static_cast<double>(canvas.width) / vw);
    cover_width = vw * m;
    cover_height = vh * m;
  }
  out->width = kelvra_round(cover_width * transform->scale);
  out->height = kelvra_round(cover_height * transform->scale);
  out->x = canvas.x + kelvra_round((canvas.width - out->width) * 0.5 + canvas.width * transform->x);
  out->y = canvas.y + kelvra_round((canvas.height - out->height) * 0.5 + canvas.height * transform->y);
  return out;
}

// ------------------------------------------------------------------- [press]

bool kelvra_monitor_press(KelvraApp* app, const UiInput* event) {
  if (app->active_tab != KELVRA_TAB_TIMELINE) return false;
  const int64_t index = kelvra_inset_clip(app);
  if (index < 0) return false;
  Clip& clip = app->project.clips[index];
  Transform& transform = clip.transform;
  const bool press = event->pointer == UI_POINTER_PRESS;
  const bool on_button = press && kelvra_hit(app->inset_button, event);
  Rect picture;
  kelvra_primary_picture(&picture, app);
  if (!is_inset(clip)) {
    if (!on_button) return false;
    if (!kelvra_history_begin(app)) return true;
    double scale = 0.15;
    if (picture.width > 0 && picture.height > 0) {
      const Transform whole{0, 0, 1, 0};
      Rect full;
      kelvra_inset_bounds(&full, app, picture, &whole);
      scale = std::max(std::min(picture.height * 0.43 / std::max(full.height, 1),
                                picture.width * 0.36 / std::max(full.width, 1)),
                       kSmallest);
    }
    const Transform& memory = app->inset_memory;
    const bool remembered = std::strcmp(app->inset_memory_id, clip.id) == 0 && memory.scale > 0 && memory.scale < 1;
    transform = remembered ? Transform{memory.x, memory.y, memory.scale, 1} : Transform{0.25, -0.23, scale, 1};
    return true;
  }
  if (on_button) {
    if (!kelvra_history_begin(app)) return true;
    app->inset_memory = transform;
    std::snprintf(app->inset_memory_id, sizeof app->inset_memory_id, "%s", clip.id);
    transform = Transform{0, 0, 1, 1};
    return true;
  }
  Rect inset;
  kelvra_inset_bounds(&inset, app, picture, &transform);
  if (!kelvra_hit(picture, event) || !kelvra_hit(inset, event)) return false;
  if (event->pointer == UI_POINTER_WHEEL && event->wheel != 0) {
    const double step = event->wheel > 0 ? kWheelStep : -kWheelStep;
    const double scale = std::clamp(transform.scale + step, kSmallest, kInsetLargest);
    if (scale != transform.scale && kelvra_history_begin(app)) {
      transform.scale = scale;
      transform.edited = 1;
    }
    app->needs_redraw = 1;
    return true;
  }
  if (!press) return false;
  app->inset_clip_index = static_cast<uint64_t>(index);
  app->drag_kind = KELVRA_DRAG_INSET_MOVE;
  app->drag_start_in = transform.x;
  app->drag_start_out = transform.y;
  app->press_x = event->x;
  app->press_y = event->y;
  return true;
}

void kelvra_monitor_drag(KelvraApp* app, const UiInput* event) {
  if (app->inset_clip_index >= app->project.clip_count) return;
  Rect picture;
  kelvra_primary_picture(&picture, app);
  if (picture.width <= 0 || picture.height <= 0) return;
  Transform& transform = app->project.clips[app->inset_clip_index].transform;
  transform.x = std::clamp(static_cast<double>(event->x - app->press_x) / picture.width + app->drag_start_in,
                           -kOffsetLimit, kOffsetLimit);
  transform.y = std::clamp(static_cast<double>(event->y - app->press_y) / picture.height + app->drag_start_out,
                           -kOffsetLimit, kOffsetLimit);
  transform.edited = 1;
}

// -------------------------------------------------------------------- [draw]

void kelvra_draw_monitor(KelvraApp* app) {
  const Rect area = app->monitor_area;
  const Rect column{area.x + area.width + 3, area.y, 149, area.height};
  kelvra_fill(app, area, PALETTE_PICTURE);
  kelvra_fill(app, column, PALETTE_BAR);
  kelvra_draw_canvases(app);
  const int64_t inset = kelvra_inset_clip(app);
  if (inset >= 0) {
    const bool on = is_inset(app->project.clips[inset]);
    kelvra_box(app, app->inset_button, on ? "✓ Inset" : "Inset", on);
  }

  const Project& project = app->project;
  const double t = app->timeline_playhead;
  int32_t y = area.y + 2;
  for (uint64_t i = 0; i < project.clip_count && y < app->layout_height; ++i) {
    const Clip& clip = project.clips[i];
    if (!(clip.at <= t && t < clip.at + kelvra_clip_length(&clip))) continue;
    kelvra_text(app->painter, Rect{column.x + 5, y, 141, 24}, clip.name, PALETTE_PRIMARY_TEXT, false);
    y += 25;
  }

  const int32_t bottom = area.y + area.height;
  kelvra_box(app, Rect{area.x + 2, bottom + 7, 28, 24}, app->playing ? "Ⅱ" : "▶", app->playing != 0);
  const int32_t track = inset >= 0 ? area.width - 103 : area.width - 40;
  kelvra_fill(app, Rect{area.x + 35, bottom + 18, track, 4}, PALETTE_BORDER);
  const double end = project.timeline_end;
  const int32_t knob = end > 0 ? static_cast<int32_t>((track - 5) * std::clamp(t / end, 0.0, 1.0)) : 0;
  kelvra_shape(app->painter, Rect{area.x + 34 + knob, bottom + 13, 8, 14}, 3, PALETTE_SELECTED);
}

void kelvra_draw_other(KelvraApp* app) {
  if (app->active_tab != KELVRA_TAB_TEXT) return;  // the Render tab draws its own view
  kelvra_text_draw(app);
}
