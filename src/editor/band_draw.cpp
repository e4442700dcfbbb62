// What the band draws along a clip, over its body and under its name: the
// pictures of a video, the waveform of a sound, the boundaries of its loop
// passes and its fades; and the field of a number being typed. Pictures and
// peaks come from the strip cache, never decoded here.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "media/strip_cache.h"
#include "platform/painter.h"
#include "project/timeline_map.h"

namespace {

constexpr uint32_t kWave = 0x9DE6B8;
constexpr uint32_t kLoopLine = 0xE7EFEA;
constexpr uint32_t kFadeShade = 0x0C100E;
constexpr uint32_t kFadeLine = 0xF1CE72;
constexpr int32_t kRow = 19;  // the body's height below its top edge
constexpr int32_t kMaxColumns = 8192;

// Reused by every clip of every frame (the main thread's only).
Rect g_rects[kMaxColumns];
Rect g_lines[kMaxColumns];

void pictures(KelvraApp* app, const Clip& clip, const StripData* data, int32_t x, int32_t left, int32_t right,
              int32_t y) {
  const int32_t w = static_cast<int32_t>(STRIP_THUMB_WIDTH);
  const double pps = app->pixels_per_second;
  int32_t tile = x;
  if (tile < left) tile += (left - x + w - 1) / w * w;
  for (; tile + w <= right; tile += w) {
    const double t = clip.at + (tile + w / 2 - x) / pps;
    const uint8_t* picture = strip_thumb_at(data, kelvra_layer_time(&clip, t));
    kelvra_picture_compose(app->painter, picture, STRIP_THUMB_WIDTH, STRIP_THUMB_HEIGHT,
                           Rect{tile, y + 1, w, static_cast<int32_t>(STRIP_THUMB_HEIGHT)}, TexturePlacement{}, 1.0,
                           false);
  }
}

void waveform(KelvraApp* app, const Clip& clip, const StripData* data, int32_t x, int32_t left, int32_t right,
              int32_t y, bool under_pictures) {
  const double pps = app->pixels_per_second;
  const int32_t reach = under_pictures ? 7 : 9;
  const int32_t middle = under_pictures ? y + kRow : y + 10;
  uint64_t count = 0;
  for (int32_t c = left; c < right && count < kMaxColumns; ++c) {
    const double from = kelvra_layer_time(&clip, clip.at + (c - x) / pps);
    const double to = std::min(from + 1 / pps, clip.out);
    const int32_t h = static_cast<int32_t>(strip_peak_between(data, from, to)) * reach / 255;
    if (h < 1) continue;
    g_rects[count++] = under_pictures ? Rect{c, middle - h, 1, h} : Rect{c, middle - h, 1, 2 * h};
  }
  kelvra_fill_rects(app->painter, g_rects, count, kWave);
}

void loop_lines(KelvraApp* app, const Clip& clip, int32_t x, int32_t left, int32_t right, int32_t y) {
  const double pass = (clip.out - clip.in) * app->pixels_per_second;
  if (!clip.loop || clip.loops < 2 || pass < 3) return;
  uint64_t count = 0;
  for (uint32_t k = 1; k < clip.loops; ++k) {
    const int32_t line = x + kelvra_round(k * pass);
    if (line >= left && line < right) g_rects[count++] = Rect{line, y + 1, 1, kRow};
  }
  kelvra_fill_rects(app->painter, g_rects, count, kLoopLine);
}

// A fade over `width` pixels from column `from`: the part of the body above
// its ramp is shaded, the ramp drawn as a line; `rising` for a fade-in.
void fade(KelvraApp* app, int32_t from, int32_t width, int32_t left, int32_t right, int32_t y, bool rising) {
  if (width < 2) return;
  uint64_t count = 0;
  for (int32_t c = std::max(from, left); c < std::min(from + width, right) && count < kMaxColumns; ++c) {
    const double along = static_cast<double>(c - from) / width;
    const int32_t h = kelvra_round((rising ? along : 1 - along) * (kRow - 1));
    g_rects[count] = Rect{c, y + 1, 1, kRow - 1 - h};
    g_lines[count++] = Rect{c, y + kRow - 1 - h, 1, 1};
  }
  kelvra_fill_rects(app->painter, g_rects, count, kFadeShade);
  kelvra_fill_rects(app->painter, g_lines, count, kFadeLine);
}

}  // namespace

void kelvra_band_decorate(KelvraApp* app, uint64_t index, int32_t x, int32_t left, int32_t right, int32_t y) {
  const Project& project = app->project;
  if (index >= project.clip_count || right - left < 2) return;
  const Clip& clip = project.clips[index];
  const double pps = app->pixels_per_second;
  const StripData* data = nullptr;
  char path[KELVRA_PATH_SIZE];
  if (app->strips != nullptr && !clip.music && kelvra_clip_path(app, &clip, path))
    data = strip_cache_get(app->strips, path);
  const bool shown = data != nullptr && clip.video && data->thumb_count > 0;
  if (shown) pictures(app, clip, data, x, left, right, y);
  if (data != nullptr && clip.audio && data->peak_count > 0) waveform(app, clip, data, x, left, right, y, shown);
  loop_lines(app, clip, x, left, right, y);
  const double half = (clip.out - clip.in) / 2;
  const int32_t end = x + kelvra_round(kelvra_clip_length(&clip) * pps);
  const int32_t fade_in = kelvra_round(std::min(clip.fade_in, half) * pps);
  const int32_t fade_out = kelvra_round(std::min(clip.fade_out, half) * pps);
  fade(app, x, fade_in, left, right, y, true);
  fade(app, end - fade_out, fade_out, left, right, y, false);
}

void kelvra_band_overlay(KelvraApp* app) {
  if (app->number_control == 0 || app->number_control > SEQUENCE_CONTROLS) return;
  const Rect f = app->clip_controls[app->number_control - 1];
  kelvra_shape(app->painter, f, 3.0f, PALETTE_SELECTED);
  kelvra_shape(app->painter, Rect{f.x + 1, f.y + 1, f.width - 2, f.height - 2}, 2.0f, PALETTE_PICTURE);
  if (app->number_fresh) kelvra_fill(app, Rect{f.x + 3, f.y + 4, f.width - 6, f.height - 8}, PALETTE_ACTIVE_BUTTON);
  char shown[sizeof app->number_text + 4];
  std::snprintf(shown, sizeof shown, app->number_fresh ? "%s" : "%s│", app->number_text);
  kelvra_text(app->painter, Rect{f.x + 2, f.y, f.width - 4, f.height}, shown, PALETTE_PRIMARY_TEXT, true);
}

void kelvra_band_poll(KelvraApp* app) {
  const uint64_t serial = strip_cache_serial(app->strips);
  if (serial == app->strips_seen) return;
  app->strips_seen = serial;
  app->needs_redraw = 1;
}
