// Piano-roll view state, its reset, and the geometry shared by drawing and
// input: the rectangles and the mapping of pixels to beats, keys and tempi.
#include "editor/piano_roll.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "editor/app.h"

void audio_editor_reset(KelvraApp* app) {
  RollView* view = &app->roll;
  std::memset(view, 0, sizeof *view);
  view->selected_region = -1;
  view->duplicate_region = -1;
  view->beat_width = 36;
  const Score& score = app->project.score;
  int highest[KELVRA_ROLL_COUNT];
  std::fill(std::begin(highest), std::end(highest), -1);
  for (uint64_t i = 0; i < score.note_count; ++i) {
    const ScoreNote& note = score.notes[i];
    if (note.roll < KELVRA_ROLL_COUNT) highest[note.roll] = std::max<int>(highest[note.roll], note.key);
  }
  for (uint32_t roll = 0; roll < KELVRA_ROLL_COUNT; ++roll)
    view->roll_top_keys[roll] = static_cast<uint8_t>(highest[roll] < 0 ? 76 : std::clamp(highest[roll] + 3, 23, 127));
}

void audio_layout(RollLayout* out, const KelvraApp* app) {
  const Rect panel = app->main_panel;
  const int32_t px = panel.x;
  const int32_t py = panel.y;
  const int32_t pw = panel.width;
  const int32_t ph = panel.height;
  out->rolls = Rect{px + 7, py + 78, pw - 14, ph - 104};
  out->scroll_track = Rect{px + 72, py + 37, pw - 78, 12};
  out->ruler = Rect{px + 72, py + 53, pw - 78, 22};
  out->add_roll = Rect{px + 7, py + ph - 26, 81, 22};
  out->to_timeline = Rect{px + 93, py + ph - 26, 81, 22};
  out->play = Rect{px + 7, py + 6, 57, 24};
  out->metronome = Rect{px + 68, py + 6, 66, 24};
  out->position = Rect{px + 139, py + 6, 56, 24};
  out->tempo = Rect{px + 200, py + 6, 68, 24};
  out->tempo_slider = Rect{px + 273, py + 6, 109, 24};
  out->mode = Rect{px + 387, py + 6, 67, 24};
  out->duplicate = Rect{px + 459, py + 6, 75, 24};
  out->instrument = Rect{px + 539, py + 6, 132, 24};
  out->zoom_out = Rect{px + pw - 68, py + 6, 28, 24};
  out->zoom_in = Rect{px + pw - 36, py + 6, 28, 24};
  out->grid_x = px + 72;
  out->grid_width = pw - 78;
}

double audio_scroll_limit(const KelvraApp* app, const RollLayout* layout) {
  const double end = std::max(kelvra_score_end(&app->project.score) + 16.0, 64.0);
  return std::max(end - layout->grid_width / app->roll.beat_width, 0.0);
}

int32_t audio_roll_height() { return 236; }

double audio_beat_at(const KelvraApp* app, const RollLayout* layout, int32_t x) {
  const double beat = std::floor(((x - layout->grid_x) / app->roll.beat_width + app->roll.roll_scroll) * 4 + 0.0001) / 4;
  return std::clamp(beat, 0.0, 14399.75);
}

uint8_t audio_key_at(const KelvraApp* app, uint64_t roll, int32_t y) {
  const int top = roll < KELVRA_ROLL_COUNT ? app->roll.roll_top_keys[roll] : 76;
  return static_cast<uint8_t>(std::clamp(top - y / 9, 0, 127));
}

double audio_tempo_at(const RollLayout* layout, int32_t x) {
  const Rect slider = layout->tempo_slider;
  const double f = std::clamp(static_cast<double>(x - slider.x - 4) / (slider.width - 8), 0.0, 1.0);
  return std::round(f * 380 + 20);
}
