// The transport's own arithmetic: what play/pause does in each mode, and how
// a tick moves the playheads (here the start is released by hand, as the
// audio output does once sound and picture are ready).
#include <gtest/gtest.h>

#include <cmath>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/piano_roll.h"
#include "editor/workspace.h"
#include "platform/clock.h"
#include "sound_fixture.h"

namespace {

using kelvra_test::AppPtr;

AppPtr laid_out() {
  AppPtr app = kelvra_test::app_of_size(1334, 872);
  audio_editor_reset(app.get());
  return app;
}

// One tick after `seconds` of wall clock, with the start already released.
void tick_after(KelvraApp* app, double seconds) {
  app->start_pending = 0;
  app->tick_time_ms = ui_time_ms() - static_cast<uint64_t>(seconds * 1000);
  kelvra_tick(app);
}

TEST(Transport, PlayPauseByMode) {
  AppPtr app = laid_out();
  KelvraApp* a = app.get();
  const uint64_t seeks = a->seek_serial;
  kelvra_toggle(a, TRANSPORT_TIMELINE);  // an empty timeline does not play but restarts the clock
  EXPECT_EQ(a->playing, 0);
  EXPECT_EQ(a->seek_serial, seeks + 1);
  kelvra_toggle(a, TRANSPORT_SCORE);  // an empty score without its metronome neither
  EXPECT_EQ(a->playing, 0);
  a->project.score.metronome = 1;  // with it, it plays for ever
  kelvra_toggle(a, TRANSPORT_SCORE);
  EXPECT_EQ(a->playing, 1);
  tick_after(a, 100);
  EXPECT_EQ(a->playing, 1);
  EXPECT_NEAR(a->roll.score_playhead, 100, 0.1);
  kelvra_toggle(a, TRANSPORT_SCORE);  // the same mode again pauses
  EXPECT_EQ(a->playing, 0);
  EXPECT_EQ(a->start_pending, 0);

  // A source played to its end stops there; played again it rewinds.
  kelvra_test::add_source(a, 2.0);
  kelvra_select(a, 0);
  kelvra_toggle(a, TRANSPORT_SOURCE);
  tick_after(a, 3);
  EXPECT_EQ(a->source_playhead, 2.0);
  EXPECT_EQ(a->playing, 0);
  kelvra_toggle(a, TRANSPORT_SOURCE);
  EXPECT_EQ(a->source_playhead, 0.0);
  EXPECT_EQ(a->playing, 1);
  kelvra_toggle(a, TRANSPORT_SAMPLE);  // another mode while playing: switches without a pause
  EXPECT_EQ(a->playing, 1);
  EXPECT_EQ(a->transport_mode, TRANSPORT_SAMPLE);
}

TEST(Transport, SampleLoopsCountInTheElapsedTime) {
  AppPtr app = laid_out();
  KelvraApp* a = app.get();
  kelvra_test::add_source(a, 10.0);
  Source& source = a->project.sources[0];
  source.in = 3;
  source.out = 5;  // 2 s a pass
  source.loop = 1;
  source.loops = 3;
  kelvra_select(a, 0);
  kelvra_toggle(a, TRANSPORT_SAMPLE);
  tick_after(a, 2.5);
  EXPECT_NEAR(a->sample_elapsed, 2.5, 0.05);
  EXPECT_NEAR(a->sample_media_time, 3.5, 0.05);  // wrapped back to in
  tick_after(a, 4);
  EXPECT_EQ(a->sample_elapsed, 6.0);  // three passes
  EXPECT_EQ(a->sample_media_time, 5.0);  // the end shows out
  EXPECT_EQ(a->playing, 0);
}

TEST(Transport, FollowKeepsThePlayheadInView) {
  AppPtr app = laid_out();
  KelvraApp* a = app.get();
  // Timeline: centred on the playhead, never past the end.
  kelvra_test::add_source(a, 100);
  kelvra_test::add_clip(a, 0, 0, 100, 0);
  kelvra_sequence_end(a);
  const double visible = a->clip_lanes.width / a->pixels_per_second;
  kelvra_toggle(a, TRANSPORT_TIMELINE);
  tick_after(a, 40);
  EXPECT_NEAR(a->timeline_scroll, a->timeline_playhead - visible / 2, 1e-9);
  tick_after(a, 58);
  EXPECT_NEAR(a->timeline_scroll, 100 - visible, 1e-9);

  // Score: pages forward past 82 % of the visible beats, to 18 %.
  Score& score = a->project.score;
  kelvra_test::add_region(&score, 0, 400, SCORE_PIANO);
  kelvra_test::add_note(&score, 399, 1, 60, 0);
  RollLayout layout;
  audio_layout(&layout, a);
  const double beats = layout.grid_width / a->roll.beat_width;
  kelvra_toggle(a, TRANSPORT_SCORE);
  a->roll.score_playhead = 0.8 * beats * 60 / 120;  // 120 beats a minute
  tick_after(a, 0);
  EXPECT_EQ(a->roll.roll_scroll, 0.0);
  tick_after(a, 0.05 * beats * 60 / 120);
  const double beat = a->roll.score_playhead * 120 / 60;
  EXPECT_NEAR(a->roll.roll_scroll, beat - 0.18 * beats, 1e-6);
  a->follow_playhead = 0;
  const double kept = a->roll.roll_scroll;
  tick_after(a, 20);
  EXPECT_EQ(a->roll.roll_scroll, kept);
}

}  // namespace
