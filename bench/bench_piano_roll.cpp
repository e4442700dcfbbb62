// The Audio tab at the score's limits: 4096 notes in 128 regions, all on the
// two rolls in view at 1334 x 872 and within the beats the grid shows.
// - draw: one drawing of the tab;
// - drag: one frame of a scroll-bar thumb drag or of zooming, its input and
//   the drawing it needs.
#include <benchmark/benchmark.h>

#include "editor/app.h"
#include "editor/piano_roll.h"
#include "editor/workspace.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "project/score.h"

namespace {

KelvraApp* crowded_roll_app() {
  KelvraApp* app = kelvra_app_create();
  app->client_width = 1334;
  app->client_height = 872;
  app->active_tab = KELVRA_TAB_AUDIO;
  kelvra_layout(app);
  Score& score = app->project.score;
  kelvra_score_defaults(&score);
  score.rolls = 2;
  for (uint64_t r = 0; r < SCORE_MAX_REGIONS; ++r) {
    ScoreRegion& region = score.regions[score.region_count++];
    region.roll = static_cast<uint8_t>(r % 2);
    region.start = static_cast<double>(r / 2 % 16) * 2;
    region.end = region.start + 8;
    region.low = 53;
    region.high = 76;
    region.volume = 1;
    region.instrument_count = 1;
  }
  for (uint64_t i = 0; i < SCORE_MAX_NOTES; ++i) {
    ScoreNote& note = score.notes[score.note_count++];
    note.region = static_cast<uint16_t>(i % SCORE_MAX_REGIONS);
    const ScoreRegion& region = score.regions[note.region];
    note.roll = region.roll;
    note.beat = region.start + static_cast<double>(i % 31) * 0.25;
    note.length = 0.5;
    note.velocity = 0.8f;
    note.key = static_cast<uint8_t>(53 + i % 24);
  }
  audio_editor_reset(app);
  app->roll.selected_region = 3;
  app->painter = kelvra_painter_create(nullptr);
  kelvra_painter_offscreen(app->painter, 1334, 872);
  return app;
}

void free_app(KelvraApp* app) {
  kelvra_painter_destroy(app->painter);
  kelvra_app_free(app);
}

void BM_DrawPianoRoll(benchmark::State& state) {
  KelvraApp* app = crowded_roll_app();
  for (auto _ : state) {
    kelvra_painter_begin(app->painter, 1334, 872);
    audio_draw(app);
    kelvra_painter_end(app->painter);
  }
  free_app(app);
}
BENCHMARK(BM_DrawPianoRoll)->Unit(benchmark::kMillisecond);

// Arg 0: the scroll bar's thumb dragged a few pixels a frame, back and forth;
// arg 1: a zoom button pressed every frame, in then out.
void BM_PianoRollDragFrame(benchmark::State& state) {
  KelvraApp* app = crowded_roll_app();
  RollLayout layout;
  audio_layout(&layout, app);
  const bool zoom = state.range(0) != 0;
  UiInput event{};
  event.y = layout.scroll_track.y + 5;
  event.x = layout.scroll_track.x + 10;
  if (!zoom) {
    event.pointer = UI_POINTER_PRESS;
    audio_editor_input(app, &event);
  }
  int64_t step = 0;
  for (auto _ : state) {
    if (zoom) {
      const Rect button = step++ % 14 < 7 ? layout.zoom_in : layout.zoom_out;
      event = UiInput{};
      event.pointer = UI_POINTER_PRESS;
      event.x = button.x + 5;
      event.y = button.y + 5;
    } else {
      event.pointer = UI_POINTER_MOVE;
      event.x = layout.scroll_track.x + 10 + static_cast<int32_t>(step++ % 200);
    }
    audio_editor_input(app, &event);
    kelvra_painter_begin(app->painter, 1334, 872);
    audio_draw(app);
    kelvra_painter_end(app->painter);
  }
  free_app(app);
}
BENCHMARK(BM_PianoRollDragFrame)->ArgName("zoom")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
