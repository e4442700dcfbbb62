// Drawing the Audio tab: the toolbar, the beat scroll bar, the bar ruler,
// the roll bands with their keys, grid, notes and region outlines, and the
// playhead. It changes no state; every rectangle comes from audio_layout.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/piano_roll.h"
#include "editor/workspace.h"
#include "platform/painter.h"

namespace {

constexpr uint32_t kSliderTrack = 0x404C44;
constexpr uint32_t kSliderFill = 0xA88E4D;
constexpr uint32_t kScrollTrack = 0x101813;
constexpr uint32_t kScrollThumb = 0x53655A;
constexpr uint32_t kRuler = 0x18231D;
constexpr uint32_t kBarTick = 0x607366;
constexpr uint32_t kRollsArea = 0x19221D;
constexpr uint32_t kBlackLabel = 0x303A35;
constexpr uint32_t kWhiteLabel = 0x53605A;
constexpr uint32_t kBlackRow = 0x19211D;
constexpr uint32_t kWhiteRow = 0x202A25;
constexpr uint32_t kBarLine = 0x607366;
constexpr uint32_t kBeatLine = 0x34483C;
constexpr uint32_t kQuarterLine = 0x29362E;
constexpr uint32_t kNote = 0x78B696;
constexpr uint32_t kSelectedNote = 0xE4C77C;
constexpr uint32_t kRegion = 0x86A092;
constexpr int32_t kHeader = 19;
constexpr int32_t kRow = 9;
constexpr int32_t kKeys = 24;

bool black_key(int key) {
  const int k = key % 12;
  return k == 1 || k == 3 || k == 6 || k == 8 || k == 10;
}

// Notes are 7-pixel bars with their corner pixels cut, gathered into one
// fill per run of notes of the same colour (a drawn rounded shape each costs
// ten times as much, and a score has thousands of notes).
struct NoteBars {
  static constexpr uint64_t kCapacity = 3 * 256;
  Rect rects[kCapacity];
  uint64_t count = 0;
  uint32_t rgb = 0;

  void add(KelvraApp* app, Rect bar, uint32_t colour) {
    if (colour != rgb || count + 3 > kCapacity) flush(app);
    rgb = colour;
    if (bar.width < 3) {
      rects[count++] = bar;
      return;
    }
    rects[count++] = Rect{bar.x + 1, bar.y, bar.width - 2, bar.height};
    rects[count++] = Rect{bar.x, bar.y + 1, 1, bar.height - 2};
    rects[count++] = Rect{bar.x + bar.width - 1, bar.y + 1, 1, bar.height - 2};
  }
  void flush(KelvraApp* app) {
    kelvra_fill_rects(app->painter, rects, count, rgb);
    count = 0;
  }
};

int32_t beat_x(const KelvraApp* app, const RollLayout& layout, double beat) {
  return layout.grid_x + kelvra_round((beat - app->roll.roll_scroll) * app->roll.beat_width);
}

// A one-pixel outline over beats start..end and keys low..high of the band
// whose first key row is at `rows_y`, clipped to the grid and to `bottom`.
void outline(KelvraApp* app, const RollLayout& layout, double start, double end, int low, int high, int top_key,
             int32_t rows_y, int32_t bottom, uint32_t rgb) {
  const int32_t x0 = std::max(beat_x(app, layout, start), layout.grid_x);
  const int32_t x1 = std::min(beat_x(app, layout, end), layout.grid_x + layout.grid_width);
  const int32_t y0 = std::max(rows_y + (top_key - high) * kRow, rows_y);
  const int32_t y1 = std::min(rows_y + (top_key - low) * kRow + kRow, bottom);
  if (x0 >= x1 || y0 >= y1) return;
  kelvra_fill(app, Rect{x0, y0, x1 - x0, 1}, rgb);
  kelvra_fill(app, Rect{x0, y1 - 1, x1 - x0, 1}, rgb);
  kelvra_fill(app, Rect{x0, y0, 1, y1 - y0}, rgb);
  kelvra_fill(app, Rect{x1 - 1, y0, 1, y1 - y0}, rgb);
}

void draw_toolbar(KelvraApp* app, const RollLayout& layout, double beats) {
  const Score& score = app->project.score;
  const RollView& view = app->roll;
  const bool playing = app->playing && app->transport_mode == TRANSPORT_SCORE;
  kelvra_box(app, layout.play, playing ? "Pause" : "Play", playing);
  kelvra_box(app, layout.metronome, "Click", score.metronome != 0);  // the metronome
  char text[64];
  const uint64_t whole = static_cast<uint64_t>(std::max(std::floor(beats), 0.0));
  std::snprintf(text, sizeof text, "%03u:%02u", static_cast<unsigned>(whole / 4 + 1), static_cast<unsigned>(whole % 4 + 1));
  kelvra_box(app, layout.position, text, false);
  const double tempo = kelvra_score_bpm(&score);
  std::snprintf(text, sizeof text, "%.0f BPM", tempo);
  kelvra_box(app, layout.tempo, text, false);
  const Rect slider = layout.tempo_slider;
  kelvra_fill(app, Rect{slider.x, slider.y + 11, slider.width, 4}, kSliderTrack);
  const int32_t f = kelvra_round((slider.width - 8) * (tempo - 20) / 380);
  kelvra_fill(app, Rect{slider.x, slider.y + 11, f + 4, 4}, kSliderFill);
  kelvra_shape(app->painter, Rect{slider.x + f, slider.y + 6, 8, 14}, 2, PALETTE_SELECTED);
  kelvra_box(app, layout.mode, view.notes_mode ? "Notes" : "Regions", view.notes_mode != 0);
  kelvra_box(app, layout.duplicate, "Duplicate", view.duplicate_region >= 0);
  const bool selected = view.selected_region >= 0 && static_cast<uint64_t>(view.selected_region) < score.region_count;
  if (selected) {
    const ScoreRegion& region = score.regions[view.selected_region];
    const uint32_t playing_instrument = region.instruments[std::min<uint32_t>(region.active, 3)];
    std::snprintf(text, sizeof text, "%s  ▾", kelvra_score_name(playing_instrument));
  }
  kelvra_box(app, layout.instrument, selected ? text : "Instrument", selected);
  kelvra_box(app, layout.zoom_out, "−", false);
  kelvra_box(app, layout.zoom_in, "+", false);
  kelvra_box(app, layout.add_roll, "+ Piano roll", false);
  kelvra_box(app, layout.to_timeline, "+ Timeline", false);
}

void draw_scroll_and_ruler(KelvraApp* app, const RollLayout& layout) {
  const RollView& view = app->roll;
  const double visible = layout.grid_width / view.beat_width;
  const double limit = audio_scroll_limit(app, &layout);
  const Rect track = layout.scroll_track;
  kelvra_shape(app->painter, track, 3, kScrollTrack);
  const double total = limit + visible;
  const int32_t thumb_x = track.x + kelvra_round(view.roll_scroll / total * track.width);
  const int32_t thumb_width = std::max(kelvra_round(visible / total * track.width), 1);
  kelvra_shape(app->painter, Rect{thumb_x, track.y + 1, thumb_width, 10}, 3, kScrollThumb);
  kelvra_fill(app, Rect{thumb_x + thumb_width - 7, track.y + 3, 2, 6}, PALETTE_SECONDARY_TEXT);

  const Rect ruler = layout.ruler;
  kelvra_fill(app, ruler, kRuler);
  const int64_t first = static_cast<int64_t>(std::floor(view.roll_scroll / 4));
  const int64_t last = first + static_cast<int64_t>(std::ceil(visible / 4)) + 1;
  const int32_t right = layout.grid_x + layout.grid_width;
  for (int64_t i = first; i <= last; ++i) {
    const int32_t x = beat_x(app, layout, 4.0 * static_cast<double>(i));
    if (x < layout.grid_x || x + 20 >= right) continue;
    char number[24];
    std::snprintf(number, sizeof number, "%lld", static_cast<long long>(i + 1));
    kelvra_text(app->painter, Rect{x + 5, ruler.y + 1, 31, 16}, number, PALETTE_SECONDARY_TEXT, false);
    kelvra_fill(app, Rect{x, ruler.y + 17, 1, 5}, kBarTick);
  }
}

}  // namespace

void audio_draw_roll(KelvraApp* app, const RollLayout* layout, uint64_t roll, int32_t y) {
  const Rect area = layout->rolls;
  const int32_t bottom = std::min(y + 235, area.y + area.height);
  if (y + kHeader >= bottom) return;
  const RollView& view = app->roll;
  const Score& score = app->project.score;
  const int top_key = roll < KELVRA_ROLL_COUNT ? view.roll_top_keys[roll] : 76;
  const int32_t rows_y = y + kHeader;
  const int32_t grid_x = layout->grid_x;
  const int32_t grid_right = grid_x + layout->grid_width;
  char text[32];
  std::snprintf(text, sizeof text, "Roll %llu", static_cast<unsigned long long>(roll + 1));
  kelvra_text(app->painter, Rect{area.x + 4, y, 60, 18}, text, PALETTE_SECONDARY_TEXT, false);

  for (int32_t i = 0; i < kKeys && rows_y + i * kRow < bottom; ++i) {
    const int key = top_key - i;
    const int32_t row_y = rows_y + i * kRow;
    const int32_t height = std::min(kRow, bottom - row_y);
    const bool black = key >= 0 && black_key(key);
    kelvra_fill(app, Rect{area.x, row_y, 63, height - 1}, black ? kBlackLabel : kWhiteLabel);
    kelvra_fill(app, Rect{grid_x, row_y, layout->grid_width, height - 1}, black ? kBlackRow : kWhiteRow);
    if (key >= 0 && key % 12 == 0 && height == kRow) {
      std::snprintf(text, sizeof text, "C%d", key / 12 - 1);
      kelvra_text(app->painter, Rect{area.x + 4, row_y, 58, kRow}, text, PALETTE_PRIMARY_TEXT, false);
    }
  }

  const double width = view.beat_width;
  const int64_t first = static_cast<int64_t>(std::floor(4 * view.roll_scroll));
  const int64_t last = first + static_cast<int64_t>(std::ceil(4 * layout->grid_width / width)) + 1;
  for (int64_t j = first; j <= last; ++j) {
    const int32_t x = beat_x(app, *layout, static_cast<double>(j) / 4);
    if (x < grid_x || x >= grid_right) continue;
    const uint32_t rgb = j % 16 == 0 ? kBarLine : j % 4 == 0 ? kBeatLine : kQuarterLine;
    kelvra_fill(app, Rect{x, rows_y, 1, bottom - rows_y}, rgb);
  }

  NoteBars bars;
  for (uint64_t i = 0; i < score.note_count; ++i) {
    const ScoreNote& note = score.notes[i];
    if (note.roll != roll) continue;
    const int row = top_key - note.key;
    const int32_t row_y = rows_y + row * kRow;
    if (row < 0 || row_y + 8 >= bottom) continue;
    double start = 0;
    double end = 0;
    if (!kelvra_score_note_span(&score, note, &start, &end)) continue;
    const int32_t x0 = std::max(beat_x(app, *layout, start), grid_x);
    const int32_t x1 = std::min(beat_x(app, *layout, end), grid_right);
    if (x0 + 1 >= x1) continue;
    const bool selected = view.selected_region >= 0 && note.region == view.selected_region;
    bars.add(app, Rect{x0 + 1, row_y + 1, x1 - x0 - 1, 7}, selected ? kSelectedNote : kNote);
  }
  bars.flush(app);

  for (uint64_t i = 0; i < score.region_count; ++i) {
    const ScoreRegion& region = score.regions[i];
    if (region.roll != roll) continue;
    const bool selected = static_cast<int64_t>(i) == view.selected_region;
    double end = region.end;
    if (selected && view.roll_drag == ROLL_DRAG_REGION_END) end = std::max(view.drag_beat, region.start + 0.25);
    outline(app, *layout, region.start, end, region.low, region.high, top_key, rows_y, bottom,
            selected ? PALETTE_SELECTED : kRegion);
  }
  if (view.roll_drag == ROLL_DRAG_NEW_REGION && view.drag_roll == roll) {
    outline(app, *layout, std::min(view.drag_anchor_beat, view.drag_beat),
            std::max(view.drag_anchor_beat, view.drag_beat) + 0.25, std::min(view.drag_anchor_key, view.drag_key),
            std::max(view.drag_anchor_key, view.drag_key), top_key, rows_y, bottom, PALETTE_SELECTED);
  }
}

void audio_draw(KelvraApp* app) {
  RollLayout layout;
  audio_layout(&layout, app);
  const Rect area = layout.rolls;
  if (layout.grid_width < 1 || area.height < 1) return;
  const Score& score = app->project.score;
  const RollView& view = app->roll;
  const double beats = view.score_playhead * kelvra_score_bpm(&score) / 60;
  draw_toolbar(app, layout, beats);
  draw_scroll_and_ruler(app, layout);

  kelvra_fill(app, area, kRollsArea);
  const uint64_t shown = score.rolls + (view.roll_drag == ROLL_DRAG_NEW_REGION && view.drag_roll == score.rolls ? 1 : 0);
  for (uint64_t roll = view.first_roll; roll < shown; ++roll) {
    const int32_t y = area.y + static_cast<int32_t>(roll - view.first_roll) * audio_roll_height();
    if (y >= area.y + area.height) break;
    audio_draw_roll(app, &layout, roll, y);
  }

  const int32_t x = beat_x(app, layout, beats);
  if (x >= layout.grid_x && x < layout.grid_x + layout.grid_width) {
    const int32_t top = layout.ruler.y + 16;
    kelvra_fill(app, Rect{x, top, 1, area.y + area.height - top}, PALETTE_SELECTED);
  }
}
