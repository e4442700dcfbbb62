// The output canvases on the Timeline tab: the preview grid that shows every
// open canvas at the playhead, the record of which canvases were seen since
// the last edit (an export waits for all of them), and the "Export" and
// "Canvases" buttons of the toolbar.
//
// Index:
//   [grid]   kelvra_preview_cell
//   [draw]   kelvra_draw_canvases
//   [press]  kelvra_canvas_press
#include <bit>
#include <cstdio>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "media/titles.h"
#include "media/video.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "project/timeline_map.h"

namespace {

constexpr uint32_t kCanvasBackground = 0x090B0A;
constexpr int32_t kLabelStrip = 19;

// Whether the timeline has any clip that could show a picture.
bool has_picture(const KelvraApp* app) {
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.clip_count; ++i) {
    const Clip& clip = project.clips[i];
    if (clip.video && static_cast<uint64_t>(clip.source) < project.source_count) return true;
  }
  return false;
}

TexturePlacement placement_of(const Transform& transform) {
  return TexturePlacement{transform.x, transform.y, transform.scale};
}

// The worker that the picture choice keeps on stack layer `layer` (0 the top).
VideoWorker* layer_worker(const KelvraApp* app, uint64_t layer) {
  return layer == 0 ? app->program_video : app->lane_videos[layer - 1];
}

// Draws the stack into one canvas; true when a layer's frame was composed.
bool compose_canvas(KelvraApp* app, const uint64_t* stack, uint64_t count, uint32_t canvas, Rect picture) {
  const double t = app->timeline_playhead;
  const Clip* clips = app->project.clips;
  bool composed = false;
  char path[KELVRA_PATH_SIZE];
  for (uint64_t j = count; j-- > 0;) {
    const Clip* layer = &clips[stack[j]];
    if (!kelvra_clip_path(app, layer, path)) continue;
    Transform transform;
    kelvra_canvas_transform(&transform, &app->project, layer, canvas);
    composed |= kelvra_video_compose(layer_worker(app, j), path, kelvra_layer_time(layer, t), app->painter, picture,
                                     placement_of(transform), kelvra_layer_opacity(layer, t));
  }
  if (composed || count == 0 || !app->playing || app->start_pending) return composed;
  // While the decoders catch up, the bottom layer's last frame stands in.
  const uint64_t bottom = count - 1;
  const Clip* layer = &clips[stack[bottom]];
  if (kelvra_clip_path(app, layer, path)) {
    Transform transform;
    kelvra_canvas_transform(&transform, &app->project, layer, canvas);
    if (!kelvra_video_hold(layer_worker(app, bottom), path, layer->in, layer->out, app->painter, picture,
                           placement_of(transform), true))
      kelvra_video_hold(app->lookahead_video, path, layer->in, layer->out, app->painter, picture,
                        placement_of(transform), true);
  }
  return false;
}

}  // namespace

// -------------------------------------------------------------------- [grid]

Rect* kelvra_preview_cell(Rect* out, const KelvraApp* app, uint32_t index) {
  *out = Rect{};
  const uint32_t open = kelvra_canvas_mask(&app->project) & ((1u << KELVRA_CANVAS_COUNT) - 1);
  if (index >= KELVRA_CANVAS_COUNT || (open & (1u << index)) == 0) return out;
  const int32_t n = std::popcount(open);
  const int32_t columns = n <= 2 ? n : n <= 6 ? 3 : 4;
  const int32_t rows = (n + columns - 1) / columns;
  const int32_t k = std::popcount(open & ((1u << index) - 1));
  const Rect area = app->monitor_area;
  out->x = area.x + (k % columns) * area.width / columns + 2;
  out->y = area.y + (k / columns) * area.height / rows + 1;
  out->width = area.width / columns - 4;
  out->height = area.height / rows - 2;
  return out;
}

Rect* kelvra_primary_picture(Rect* out, const KelvraApp* app) {
  Rect cell;
  kelvra_preview_cell(&cell, app, kelvra_canvas_index(kelvra_canvas_id(&app->project)));
  if (cell.width <= 0 || cell.height <= kLabelStrip) {
    *out = Rect{};
    return out;
  }
  kelvra_canvas_rect(out, &app->project, Rect{cell.x, cell.y + kLabelStrip, cell.width, cell.height - kLabelStrip});
  return out;
}

// -------------------------------------------------------------------- [draw]

void kelvra_draw_canvases(KelvraApp* app) {
  if (app->previewed_serial != app->edit_serial) {
    app->previewed_canvases = 0;
    app->previewed_serial = app->edit_serial;
  }
  uint64_t stack[KELVRA_STACK_MAX];
  const uint64_t count = kelvra_video_stack(&app->project, app->timeline_playhead, stack);
  const bool silent_gap = count == 0 && app->playing && app->timeline_playhead > 0 && !has_picture(app);
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    Rect cell;
    kelvra_preview_cell(&cell, app, i);
    if (cell.width < 32 || cell.height < 42) continue;
    const CanvasPreset& preset = kelvra_canvases[i];
    Rect picture;
    kelvra_canvas_fit(&picture, &preset, Rect{cell.x, cell.y + kLabelStrip, cell.width, cell.height - kLabelStrip});
    kelvra_shape(app->painter, picture, 0, kCanvasBackground);
    const bool composed = count > 0 && compose_canvas(app, stack, count, i, picture);
    kelvra_draw_titles(app->painter, &app->project, app->timeline_playhead, picture);
    if (composed || (count == 0 && silent_gap)) app->previewed_canvases |= 1u << i;
    char label[96];
    std::snprintf(label, sizeof label, "%s  %u × %u", preset.label, preset.width, preset.height);
    kelvra_text(app->painter, Rect{cell.x + 4, cell.y, cell.width - 8, 18}, label, PALETTE_SECONDARY_TEXT, true);
  }
}

bool kelvra_compose_primary(KelvraApp* app, Rect picture) {
  uint64_t stack[KELVRA_STACK_MAX];
  const uint64_t count = kelvra_video_stack(&app->project, app->timeline_playhead, stack);
  return count > 0 &&
         compose_canvas(app, stack, count, kelvra_canvas_index(kelvra_canvas_id(&app->project)), picture);
}

// ------------------------------------------------------------------- [press]

bool kelvra_canvas_press(KelvraApp* app, const UiInput* event) {
  if (app->active_tab != KELVRA_TAB_TIMELINE || event->pointer != UI_POINTER_PRESS) return false;
  if (kelvra_hit(app->export_button, event)) {
    kelvra_render_enqueue(app, false);
    return true;
  }
  if (!kelvra_hit(app->canvases_button, event)) return false;
  const uint32_t open = kelvra_canvas_mask(&app->project);
  char texts[KELVRA_CANVAS_COUNT][96];
  UiMenuEntry entries[KELVRA_CANVAS_COUNT];
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    const CanvasPreset& preset = kelvra_canvases[i];
    std::snprintf(texts[i], sizeof texts[i], "%s%s  %u × %u", (open >> i) & 1 ? "✓ " : "    ", preset.label,
                  preset.width, preset.height);
    entries[i] = UiMenuEntry{texts[i], i + 1};
  }
  const uint64_t chosen = ui_popup_menu(app->window, event->x, event->y, entries, KELVRA_CANVAS_COUNT);
  if (chosen < 1 || chosen > KELVRA_CANVAS_COUNT) return true;
  const uint32_t bit = 1u << (chosen - 1);
  if (open == bit || !kelvra_history_begin(app)) return true;  // the last open canvas stays open
  app->previewed_canvases = 0;
  app->project.canvas_mask = open ^ bit;
  return true;
}
