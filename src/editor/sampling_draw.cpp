// The Sampling tab: the SOURCE monitor with its seek bar, the SAMPLE monitor,
// the strip with the waveform, the ranges of clips already cut and the active
// range with its handles, and the row of controls under the strip.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/clip_name.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/painter.h"

namespace {

constexpr uint32_t kStrip = 0x182420;
constexpr uint32_t kCentreLine = 0x3B594B;
constexpr uint32_t kWaveBar = 0x83B89C;
constexpr uint32_t kOtherRange = 0x233B54;
constexpr uint32_t kActiveRange = 0x3F2427;
constexpr uint32_t kRangeEdge = 0xCE555E;
constexpr uint32_t kGrip = 0xFF959B;

void caption(KelvraApp* app, Rect rect, const char* text) {
  kelvra_text(app->painter, rect, text, PALETTE_SECONDARY_TEXT, false);
}

void draw_source_column(KelvraApp* app, const char* path, bool have_path, double duration) {
  const Rect view = app->source_view;
  const Rect bar = app->source_seek_bar;
  caption(app, Rect{view.x + 4, view.y - 27, 100, 25}, "SOURCE");
  kelvra_fill(app, view, PALETTE_PICTURE);
  if (have_path) kelvra_video_paint(app->source_video, path, app->painter, view, false);
  const bool playing = app->playing && app->transport_mode == TRANSPORT_SOURCE;
  kelvra_box(app, app->source_play_button, playing ? "Ⅱ" : "▶", playing);
  kelvra_fill(app, Rect{bar.x, bar.y + 11, bar.width, 4}, PALETTE_BORDER);
  const double f = duration > 0 ? std::clamp(app->source_playhead / duration, 0.0, 1.0) : 0.0;
  kelvra_fill(app, Rect{bar.x + kelvra_round((bar.width - 8) * f), bar.y + 6, 8, 14}, PALETTE_SELECTED);
  const unsigned at = static_cast<unsigned>(std::max(app->source_playhead, 0.0));
  const unsigned total = static_cast<unsigned>(std::max(duration, 0.0));
  char time[48];
  std::snprintf(time, sizeof time, "%u:%02u / %u:%02u", at / 60, at % 60, total / 60, total % 60);
  kelvra_text(app->painter, Rect{view.x + view.width - 86, bar.y, 82, 24}, time, PALETTE_PRIMARY_TEXT, false);
}

void draw_sample_monitor(KelvraApp* app, const char* path, bool have_path, const SampleRange& range, bool has) {
  const Rect view = app->sample_view;
  caption(app, Rect{view.x + 4, view.y - 27, 80, 25}, "SAMPLE");
  kelvra_box(app, app->before_button, "Before", false);
  const bool playing = app->playing && app->transport_mode == TRANSPORT_SAMPLE;
  kelvra_box(app, app->after_button, playing ? "Ⅱ" : "After", playing);
  kelvra_fill(app, view, PALETTE_PICTURE);
  if (has && !range.video) {
    kelvra_text(app->painter, view, "Audio only", PALETTE_SECONDARY_TEXT, true);
    return;
  }
  if (!have_path) return;
  double shown = 0;
  if (kelvra_video_position(app->program_video, path, &shown) && std::fabs(shown - app->sample_media_time) <= 0.16) {
    kelvra_video_paint(app->program_video, path, app->painter, view, false);
    return;
  }
  if (playing && !app->start_pending) {
    const TexturePlacement whole{0, 0, 1};
    if (!kelvra_video_hold(app->program_video, path, range.in, range.out, app->painter, view, whole, false))
      kelvra_video_hold(app->lookahead_video, path, range.in, range.out, app->painter, view, whole, false);
  }
}

void draw_waveform(KelvraApp* app, const char* path) {
  const Rect strip = app->sample_strip;
  uint16_t peaks[WAVE_PEAKS];
  if (strip.width <= 0 || !kelvra_wave_read(app->wave, path, peaks, nullptr)) return;
  const int32_t h = strip.height;
  const int32_t middle = strip.y + h / 2;
  kelvra_fill(app, Rect{strip.x, middle, strip.width, 1}, kCentreLine);
  for (int32_t i = 0; i < strip.width; ++i) {
    const uint64_t bin = static_cast<uint64_t>(i) * WAVE_PEAKS / static_cast<uint64_t>(strip.width);
    const int32_t p = kelvra_round(peaks[bin] / 32768.0 * (h / 2 - 1));
    if (p > 0) kelvra_fill(app, Rect{strip.x + i, middle - p, 1, 2 * p + 1}, kWaveBar);
  }
}

void draw_controls(KelvraApp* app, const SampleRange& range, bool has) {
  const Rect* row = app->sample_controls;
  kelvra_text(app->painter, row[SAMPLE_CONTROL_IN_LABEL], "In", PALETTE_SECONDARY_TEXT, false);
  char value[32];
  std::snprintf(value, sizeof value, "%.2f", has ? range.in : 0.0);
  kelvra_box(app, row[SAMPLE_CONTROL_IN], value, false);
  kelvra_text(app->painter, row[SAMPLE_CONTROL_OUT_LABEL], "Out", PALETTE_SECONDARY_TEXT, false);
  std::snprintf(value, sizeof value, "%.2f", has ? range.out : 0.0);
  kelvra_box(app, row[SAMPLE_CONTROL_OUT], value, false);
  kelvra_box(app, row[SAMPLE_CONTROL_VIDEO], "Video", range.video != 0);
  kelvra_box(app, row[SAMPLE_CONTROL_AUDIO], "Audio", range.audio != 0);
  kelvra_box(app, row[SAMPLE_CONTROL_CUT], "✂", !range.loop);
  kelvra_box(app, row[SAMPLE_CONTROL_LOOP], "⟳", range.loop != 0);
  kelvra_name_draw(app);
  kelvra_box(app, app->place_button, "+ Timeline", false);
}

}  // namespace

void sample_marker(KelvraApp* app, double in, double out, double duration, bool active) {
  const Rect strip = app->sample_strip;
  const double w = strip.width;
  const int32_t left = static_cast<int32_t>(std::floor(std::min(duration, in) / duration * w));
  const int32_t right = static_cast<int32_t>(std::ceil(std::min(duration, out) / duration * w));
  if (left >= right) return;
  kelvra_fill(app, Rect{strip.x + left, strip.y + 1, right - left, strip.height - 2},
              active ? kActiveRange : kOtherRange);
  if (!active) return;
  kelvra_fill(app, Rect{strip.x + left, strip.y, 2, strip.height}, kRangeEdge);
  kelvra_fill(app, Rect{strip.x + right - 2, strip.y, 2, strip.height}, kRangeEdge);
  const int32_t centre = strip.y + strip.height / 2;
  for (int32_t dy : {-3, 0, 3}) {
    kelvra_fill(app, Rect{strip.x + left - 2, centre + dy, 6, 1}, kGrip);
    kelvra_fill(app, Rect{strip.x + right - 4, centre + dy, 6, 1}, kGrip);
  }
}

void kelvra_draw_sampling(KelvraApp* app) {
  const Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) >= project.source_count) return;
  const Source& source = project.sources[app->selected_source];
  SampleRange range;
  kelvra_sample_range(&range, app);
  const bool has = kelvra_has_sample(app);
  char path[KELVRA_PATH_SIZE];
  const bool have_path = kelvra_path(app->media_folder, source.file, path);
  const double duration = source.duration;
  if (app->layout_mode != KELVRA_LAYOUT_EDIT) draw_source_column(app, path, have_path, duration);
  if (app->layout_mode == KELVRA_LAYOUT_SOURCE) return;
  draw_sample_monitor(app, path, have_path, range, has);

  const Rect strip = app->sample_strip;
  kelvra_fill(app, strip, kStrip);
  if (duration > 0) {
    for (uint64_t i = 0; i < project.clip_count; ++i) {
      const Clip& clip = project.clips[i];
      if (clip.source == app->selected_source && static_cast<int64_t>(i) != app->selected_clip)
        sample_marker(app, clip.in, clip.out, duration, false);
    }
    if (has) sample_marker(app, range.in, range.out, duration, true);
  }
  if (have_path) draw_waveform(app, path);
  if (duration > 0) {
    const double f = std::clamp(app->sample_media_time / duration, 0.0, 1.0);
    kelvra_fill(app, Rect{strip.x + kelvra_round((strip.width - 1) * f), strip.y, 1, 5}, PALETTE_SELECTED);
  }
  draw_controls(app, range, has);
}
