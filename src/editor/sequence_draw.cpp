// The timeline band under the main panel, drawn on every tab: the toolbar
// (layout buttons on the Sampling tab, the edit and play buttons on the
// Timeline tab), the ruler with its grid, the four clip lanes and the titles
// row, the playhead, the scroll bar and the selected clip's controls. It
// changes no state; every rectangle comes from the layout.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "editor/render_tab.h"
#include "editor/workspace.h"
#include "export/render.h"
#include "platform/painter.h"

namespace {

constexpr uint32_t kSnapLine = 0x7FD3FF;  // the line at the point a dragged clip snapped to


constexpr uint32_t kLanes = 0x141A16;
constexpr uint32_t kRuler = 0x1A241E;
constexpr uint32_t kLabelBox = 0x252F28;
constexpr uint32_t kSeparator = 0x33423A;
constexpr uint32_t kSecondLine = 0x3E4B40;
constexpr uint32_t kEighthLine = 0x243127;
constexpr uint32_t kClip = 0x335A47;
constexpr uint32_t kClipEdge = 0x648F74;
constexpr uint32_t kSelectedClip = 0x6B562A;
constexpr uint32_t kMissingClip = 0x5A2D2D;  // a clip whose source file is not there
constexpr uint32_t kMissingEdge = 0xA04848;
constexpr uint32_t kStartMark = 0xB29B55;
constexpr uint32_t kMusicClip = 0x2C4566;  // a clip that plays the score
constexpr uint32_t kMusicEdge = 0x6289BA;
constexpr uint32_t kTitle = 0x5A4461;
constexpr uint32_t kTitleEdge = 0x7C6590;
constexpr uint32_t kScrollTrack = 0x131714;
constexpr uint32_t kScrollThumb = 0x3B4540;

constexpr const char* kLayoutNames[3] = {"Split", "Source", "Editor"};
constexpr const char* kRowLabels[5] = {"4", "3", "2", "1", "T"};

void draw_toolbar(KelvraApp* app) {
  const Rect toolbar = app->timeline_toolbar;
  kelvra_text(app->painter, Rect{toolbar.x + 8, toolbar.y, 90, 30}, "Timeline", PALETTE_SECONDARY_TEXT, false);
  if (app->active_tab == KELVRA_TAB_SAMPLING) {
    for (uint32_t mode = 0; mode < 3; ++mode)
      kelvra_box(app, app->layout_buttons[mode], kLayoutNames[mode], mode == app->layout_mode);
  } else if (app->active_tab == KELVRA_TAB_TIMELINE) {
    kelvra_box(app, app->split_button, "Split", false);
    kelvra_box(app, app->duplicate_button, "Duplicate", false);
    kelvra_box(app, app->remove_button, "Remove", false);
    kelvra_box(app, app->timeline_play_button, app->playing ? "Ⅱ Pause" : "▶ Play", app->playing != 0);
    kelvra_box(app, app->export_button, "Export", kelvra_export_ready(app));
    kelvra_box(app, app->canvases_button, "Canvases", false);
    kelvra_box(app, app->follow_button, "Follow", app->follow_playhead != 0);
    kelvra_box(app, app->snap_button, "Snap", app->project.snap_off == 0);
  }
}

// Grid lines at least 5 px apart and second labels at least 40 px apart,
// whatever the zoom; steps are counted in eighths of a second.
int64_t grid_step(double pps, double least) {
  static constexpr int64_t kSteps[] = {1, 2, 4, 8, 16, 40, 80, 120, 240, 480, 960, 2400, 4800, 9600, 28800};
  for (int64_t step : kSteps)
    if (step / 8.0 * pps >= least) return step;
  return kSteps[std::size(kSteps) - 1];
}

void draw_grid(KelvraApp* app, Rect lanes, double scroll, double pps) {
  const int64_t line_step = grid_step(pps, 5);
  const int64_t label_step = std::max<int64_t>(grid_step(pps, 40), 8);
  const int64_t first = static_cast<int64_t>(std::floor(scroll * 8 / line_step)) * line_step;
  const int64_t last = first + static_cast<int64_t>(lanes.width / pps * 8) + 3 * line_step;
  for (int64_t k = first; k < last; k += line_step) {
    const int32_t offset = kelvra_round((k / 8.0 - scroll) * pps);
    if (offset < 0 || offset >= lanes.width) continue;
    if (k % label_step == 0) continue;  // drawn with the labels below
    kelvra_fill(app, Rect{lanes.x + offset, lanes.y + (k % 8 == 0 ? 16 : 18), 1, lanes.height - (k % 8 == 0 ? 16 : 18)},
                k % 8 == 0 ? kSecondLine : kEighthLine);
  }
  const int64_t first_label = static_cast<int64_t>(std::floor(scroll * 8 / label_step)) * label_step;
  for (int64_t k = first_label; k < last + label_step; k += label_step) {
    const int32_t offset = kelvra_round((k / 8.0 - scroll) * pps);
    if (offset < 0 || offset >= lanes.width) continue;
    kelvra_fill(app, Rect{lanes.x + offset, lanes.y + 16, 1, lanes.height - 16}, kSecondLine);
    if (lanes.x + offset + 10 < lanes.x + lanes.width) {
      char label[24];
      std::snprintf(label, sizeof label, "%llds", static_cast<long long>(k / 8));
      kelvra_text(app->painter, Rect{lanes.x + offset + 6, lanes.y + 1, std::min(lanes.width - offset - 6, 32), 14},
                  label, PALETTE_SECONDARY_TEXT, false);
    }
  }
}

// The pixel span [left, right) of an item from `at` over `length` seconds on
// the lanes, cut to the lanes' width; empty when it is out of view.
struct ItemSpan {
  int32_t x;  // the item's start, maybe left of the lanes
  int32_t left;
  int32_t right;
};

ItemSpan item_span(const KelvraApp* app, double at, double length) {
  const Rect lanes = app->clip_lanes;
  const double pps = app->pixels_per_second;
  const int32_t x = lanes.x + kelvra_round((at - app->timeline_scroll) * pps);
  const int32_t width = std::max(kelvra_round(length * pps), 3);
  return ItemSpan{x, std::max(x, lanes.x), std::min(x + width, lanes.x + lanes.width)};
}

// Pixel columns of one row covered by the items drawn after the one being
// looked at; a name wholly under later items is not laid out at all.
struct RowCover {
  static constexpr int32_t kWords = 128;  // 8192 columns, wider than any screen
  uint64_t bits[kWords];
  int32_t origin;

  bool covered(int32_t from, int32_t to) const {
    for (int32_t c = std::max(from - origin, 0), last = std::min(to - origin, kWords * 64); c < last;) {
      const int32_t end = std::min(last, (c | 63) + 1);
      if ((bits[c >> 6] & mask(c, end)) != mask(c, end)) return false;
      c = end;
    }
    return true;
  }
  void cover(int32_t from, int32_t to) {
    for (int32_t c = std::max(from - origin, 0), last = std::min(to - origin, kWords * 64); c < last;) {
      const int32_t end = std::min(last, (c | 63) + 1);
      bits[c >> 6] |= mask(c, end);
      c = end;
    }
  }
  bool open(int32_t c) const {
    const int32_t bit = c - origin;
    return bit < 0 || bit >= kWords * 64 || (bits[bit >> 6] & (uint64_t{1} << (bit & 63))) == 0;
  }
  // The first and one past the last column of [from, to) that nothing covers
  // yet; an empty range when all are covered.
  ItemSpan open_part(int32_t from, int32_t to) const {
    int32_t first = from;
    while (first < to && !open(first)) ++first;
    int32_t last = to;
    while (last > first && !open(last - 1)) --last;
    return ItemSpan{first, first, last};
  }
  // The bits of columns c..end (exclusive) within c's word.
  static uint64_t mask(int32_t c, int32_t end) {
    const int32_t count = end - c;
    return (count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1) << (c & 63);
  }
};

// One clip or title box over `span` on the row at y, with its name unless hidden.
void draw_item(KelvraApp* app, ItemSpan span, int32_t y, const char* name, uint32_t body, uint32_t edge,
               bool start_mark, bool named, uint64_t clip = KELVRA_NONE, ItemSpan open = ItemSpan{}) {
  const Rect lanes = app->clip_lanes;
  const int32_t left = span.left;
  const int32_t right = span.right;
  if (right <= left) return;
  kelvra_fill(app, Rect{left, y, right - left, 20}, body);
  kelvra_fill(app, Rect{left, y, right - left, 1}, edge);
  // Pictures and waveform only where later items leave the clip in view.
  if (clip != KELVRA_NONE && open.right > open.left)
    kelvra_band_decorate(app, clip, span.x, std::max(left, open.left), std::min(right, open.right), y);
  if (start_mark && span.x >= lanes.x) kelvra_fill(app, Rect{span.x, y + 1, 2, 17}, kStartMark);
  if (named) kelvra_text(app->painter, Rect{left + 4, y, right - left - 7, 18}, name, PALETTE_PRIMARY_TEXT, false);
}

void draw_controls(KelvraApp* app) {
  const Project& project = app->project;
  const Rect* controls = app->clip_controls;
  const bool selected = static_cast<uint64_t>(app->selected_clip) < project.clip_count;
  const Clip* clip = selected ? &project.clips[app->selected_clip] : nullptr;
  kelvra_box(app, controls[SEQUENCE_CUT], "✂", clip != nullptr && !clip->loop);
  kelvra_box(app, controls[SEQUENCE_LOOP], "⟳", clip != nullptr && clip->loop);
  kelvra_box(app, controls[SEQUENCE_FEWER], "−", false);
  char text[56];
  std::snprintf(text, sizeof text, "%u×", clip != nullptr ? clip->loops : 1u);
  kelvra_box(app, controls[SEQUENCE_LOOPS], text, clip != nullptr && clip->loop);
  kelvra_box(app, controls[SEQUENCE_MORE], "+", false);
  const Rect slider = controls[SEQUENCE_POSITION];
  std::snprintf(text, sizeof text, "At %.2f", clip != nullptr ? clip->at : 0.0);
  kelvra_box(app, slider, text, false);
  const double span = std::max(app->clip_lanes.width / app->pixels_per_second, project.timeline_end);
  const int32_t bar = clip != nullptr && span > 0 ? kelvra_round(slider.width * clip->at / span) : 0;
  kelvra_fill(app, Rect{slider.x, slider.y + slider.height - 3, bar, 2}, PALETTE_SELECTED);
  const double fade_in = clip != nullptr ? clip->fade_in : 0.0;
  const double fade_out = clip != nullptr ? clip->fade_out : 0.0;
  const double decibels = clip != nullptr ? 20 * std::log10(std::max(clip->gain, 0.01)) : 0.0;
  std::snprintf(text, sizeof text, "%.2f", fade_in);
  kelvra_dial(app, controls[SEQUENCE_FADE_IN], fade_in / 5, text);
  std::snprintf(text, sizeof text, "%.2f", fade_out);
  kelvra_dial(app, controls[SEQUENCE_FADE_OUT], fade_out / 5, text);
  std::snprintf(text, sizeof text, "%.1f", decibels);  // decibels; the knob's name says so
  kelvra_dial(app, controls[SEQUENCE_GAIN], (decibels + 10) / 20, text);
  kelvra_box(app, controls[SEQUENCE_VIDEO], "▣", clip != nullptr && clip->video);
  kelvra_box(app, controls[SEQUENCE_AUDIO], "♪", clip != nullptr && clip->audio);
}

}  // namespace

void kelvra_draw_sequence(KelvraApp* app) {
  const int32_t W = app->layout_width;
  const int32_t V = app->timeline_top;
  const Rect lanes = app->clip_lanes;
  const double pps = app->pixels_per_second;
  const double scroll = app->timeline_scroll;
  const Project& project = app->project;

  kelvra_fill(app, Rect{177, V, W - 179, 193}, PALETTE_BAR);
  draw_toolbar(app);
  kelvra_fill(app, Rect{178, lanes.y, W - 182, lanes.height}, kLanes);
  kelvra_fill(app, Rect{lanes.x, lanes.y, lanes.width, 16}, kRuler);
  for (int32_t i = 0; i < 5; ++i) {
    const int32_t y = lanes.y + 18 + 22 * i;
    kelvra_fill(app, Rect{179, y, 33, 21}, kLabelBox);
    kelvra_text(app->painter, Rect{182, y, 26, 21}, kRowLabels[i], PALETTE_SECONDARY_TEXT, false);
    kelvra_fill(app, Rect{212, y, lanes.width, 1}, kSeparator);
  }
  draw_grid(app, lanes, scroll, pps);

  // Clips on their lane rows and titles on the last row, later ones on top.
  // Walking them from the top down finds the names that nothing later hides.
  const uint64_t clip_count = std::min(project.clip_count, PROJECT_MAX_ROWS);
  const uint64_t title_count = std::min(project.title_count, PROJECT_MAX_ROWS);
  ItemSpan spans[2 * PROJECT_MAX_ROWS];
  bool named[2 * PROJECT_MAX_ROWS];
  ItemSpan open[2 * PROJECT_MAX_ROWS];
  RowCover cover[5];
  for (RowCover& row : cover) {
    std::fill(std::begin(row.bits), std::end(row.bits), 0);
    row.origin = lanes.x;
  }
  const auto row_of = [&](uint64_t item) {
    return item < clip_count ? 3 - std::min<uint32_t>(project.clips[item].lane, 3) : 4u;
  };
  for (uint64_t item = clip_count + title_count; item-- > 0;) {
    if (item < clip_count) {
      const Clip& clip = project.clips[item];
      spans[item] = item_span(app, clip.at, kelvra_clip_length(&clip));
    } else {
      const Title& title = project.titles[item - clip_count];
      spans[item] = item_span(app, title.at, title.duration);
    }
    RowCover& row = cover[row_of(item)];
    const ItemSpan span = spans[item];
    named[item] = span.right > span.left && !row.covered(span.left + 4, span.right - 3);
    open[item] = row.open_part(span.left, span.right);
    if (span.right > span.left) row.cover(span.left, span.right);
  }
  for (uint64_t item = 0; item < clip_count + title_count; ++item) {
    const int32_t y = lanes.y + 19 + 22 * static_cast<int32_t>(row_of(item));  // the titles' row is lanes.y + 107
    if (item < clip_count) {
      const Clip& clip = project.clips[item];
      const bool selected = static_cast<int64_t>(item) == app->selected_clip;
      const bool missing = !clip.music && (static_cast<uint64_t>(clip.source) >= project.source_count ||
                                           app->source_missing[clip.source]);
      char music_name[sizeof clip.name + 4];
      if (clip.music) std::snprintf(music_name, sizeof music_name, "♪ %s", clip.name);
      draw_item(app, spans[item], y, clip.music ? music_name : clip.name,
                selected ? kSelectedClip : missing ? kMissingClip : clip.music ? kMusicClip : kClip,
                selected ? PALETTE_SELECTED : missing ? kMissingEdge : clip.music ? kMusicEdge : kClipEdge, true,
                named[item], item, open[item]);
    } else {
      const bool chosen = static_cast<int64_t>(item - clip_count) == app->selected_title;
      draw_item(app, spans[item], y, project.titles[item - clip_count].text, kTitle,
                chosen ? PALETTE_SELECTED : kTitleEdge, false, named[item]);
    }
  }

  // The point a dragged clip snapped to.
  const bool snapping = app->drag_kind == KELVRA_DRAG_CLIP_MOVE || app->drag_kind == KELVRA_DRAG_TRIM_IN ||
                        app->drag_kind == KELVRA_DRAG_TRIM_OUT;
  if (snapping && app->snap_time >= 0) {
    const int32_t x = kelvra_round((app->snap_time - scroll) * pps);
    if (x >= 0 && x < lanes.width) kelvra_fill(app, Rect{lanes.x + x, lanes.y + 16, 1, lanes.height - 16}, kSnapLine);
  }

  const int32_t playhead = kelvra_round((app->timeline_playhead - scroll) * pps);
  if (playhead >= 0 && playhead < lanes.width) {
    kelvra_fill(app, Rect{lanes.x + playhead, lanes.y + 16, 1, lanes.height - 16}, PALETTE_SELECTED);
    for (int32_t j = 0; j < 5; ++j)
      kelvra_fill(app, Rect{lanes.x + playhead - 4 + j, lanes.y + 15 + j, 9 - 2 * j, 1}, PALETTE_SELECTED);
  }

  const Rect track = app->clip_controls[SEQUENCE_SCROLL];
  kelvra_fill(app, track, kScrollTrack);
  const double visible = lanes.width / pps;
  const double span = std::max(project.timeline_end + 1, visible);
  kelvra_fill(app,
              Rect{track.x + static_cast<int32_t>(scroll / span * lanes.width), track.y + 1,
                   static_cast<int32_t>(visible / span * lanes.width), 4},
              kScrollThumb);
  if (project.clip_count > 0) draw_controls(app);
  kelvra_band_overlay(app);
}
