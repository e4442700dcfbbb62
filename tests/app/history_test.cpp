#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/history.h"

namespace {

using kelvra_test::AppPtr;
using kelvra_test::new_app;

// One edit as an editor makes it: open the step, then change the document.
void move_clip(KelvraApp* app, double at) {
  ASSERT_TRUE(kelvra_history_begin(app));
  app->project.clips[0].at = at;
}

AppPtr app_with_clip() {
  AppPtr app = new_app();
  Project& p = app->project;
  p.sources[p.source_count++] = Source{"src", "a.mp4", "A", 0, 4, 10, 1, 1, 1, 0, 0, 0};
  Clip clip{};
  clip.out = 2;
  clip.loops = 1;
  clip.source = 0;
  p.clips[p.clip_count++] = clip;
  return app;
}

TEST(AppState, StatusLineIsCutAndAsksForARedraw) {
  AppPtr app = new_app();
  app->needs_redraw = 0;
  const std::string long_text(300, 'x');
  EXPECT_EQ(kelvra_status(app.get(), long_text.c_str()), 300);
  EXPECT_EQ(std::strlen(app->status), 199u);
  EXPECT_EQ(app->needs_redraw, 1);
}

TEST(History, UndoRedoRestoreTheDocumentAndSerials) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  kelvra_history_step(a, false);  // nothing to undo: no message
  EXPECT_EQ(a->status[0], '\0');

  move_clip(a, 5);
  EXPECT_EQ(a->edit_serial, 1u);
  EXPECT_EQ(a->dirty, 1);
  a->project.score.bpm = 90;  // the score is part of the step
  a->roll.beat_width = 72;
  a->selected_clip = 0;

  kelvra_history_step(a, false);
  EXPECT_EQ(a->project.clips[0].at, 0.0);
  EXPECT_EQ(a->project.score.bpm, 120.0);
  EXPECT_EQ(a->roll.beat_width, 0.0);
  EXPECT_EQ(a->selected_clip, -1);
  EXPECT_EQ(a->edit_serial, 0u);
  EXPECT_EQ(a->dirty, 0);  // back at the saved state
  EXPECT_STREQ(a->status, "Undid the last edit.");
  EXPECT_EQ(a->project.timeline_end, 2.0);  // recomputed

  kelvra_history_step(a, true);
  EXPECT_EQ(a->project.clips[0].at, 5.0);
  EXPECT_EQ(a->project.score.bpm, 90.0);
  EXPECT_EQ(a->selected_clip, 0);
  EXPECT_EQ(a->edit_serial, 1u);
  EXPECT_EQ(a->dirty, 1);
  EXPECT_STREQ(a->status, "Redid the last edit.");
  EXPECT_EQ(a->project.timeline_end, 7.0);
}

TEST(History, SaveThenUndoAndRedoTrackTheDirtyMark) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  move_clip(a, 1);
  a->saved_serial = a->edit_serial;  // what Save does
  a->dirty = 0;
  move_clip(a, 2);
  EXPECT_EQ(a->dirty, 1);
  kelvra_history_step(a, false);
  EXPECT_EQ(a->dirty, 0);
  kelvra_history_step(a, false);  // before the saved state
  EXPECT_EQ(a->dirty, 1);
  kelvra_history_step(a, true);
  EXPECT_EQ(a->dirty, 0);
  kelvra_history_step(a, true);
  EXPECT_EQ(a->dirty, 1);
}

TEST(History, StacksHoldOneHundredStepsAndNewEditsEndRedo) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  for (int i = 1; i <= 101; ++i) move_clip(a, i);
  EXPECT_EQ(a->history.undo_count, 100u);
  EXPECT_EQ(a->history.next_serial, 101u);
  int undone = 0;
  while (a->history.undo_count > 0) {
    kelvra_history_step(a, false);
    ++undone;
  }
  EXPECT_EQ(undone, 100);
  EXPECT_EQ(a->project.clips[0].at, 1.0);  // the state before edit 2; edit 1 fell off the stack
  EXPECT_EQ(a->history.redo_count, 100u);

  kelvra_history_step(a, true);
  EXPECT_EQ(a->project.clips[0].at, 2.0);
  move_clip(a, 50);  // a new edit after an undo
  EXPECT_EQ(a->history.redo_count, 0u);
  kelvra_history_step(a, true);
  EXPECT_EQ(a->project.clips[0].at, 50.0);
  EXPECT_EQ(a->history.next_serial, 102u);  // serials only grow
}

TEST(History, RestoreStopsPlaybackAndResetsTransientState) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  a->timeline_playhead = 1.5;
  a->transport_mode = TRANSPORT_SAMPLE;
  move_clip(a, 3);
  a->timeline_playhead = 4;
  a->playing = 1;
  a->drag_kind = KELVRA_DRAG_CLIP_MOVE;
  a->pending_deselect = 1;
  a->previewed_canvases = 3;
  a->roll.duplicate_region = 2;
  a->roll.roll_drag = ROLL_DRAG_NEW_REGION;
  const uint64_t seeks = a->seek_serial;

  a->active_tab = KELVRA_TAB_TIMELINE;
  kelvra_history_step(a, false);
  EXPECT_EQ(a->playing, 0);
  EXPECT_EQ(a->start_pending, 0);
  EXPECT_EQ(a->timeline_playhead, 1.5);
  EXPECT_EQ(a->transport_mode, TRANSPORT_TIMELINE);  // follows the tab, not the snapshot
  EXPECT_EQ(a->drag_kind, KELVRA_DRAG_NONE);
  EXPECT_EQ(a->pending_deselect, 0);
  EXPECT_EQ(a->previewed_canvases, 0u);
  EXPECT_EQ(a->roll.duplicate_region, -1);
  EXPECT_EQ(a->roll.roll_drag, ROLL_DRAG_NONE);
  EXPECT_EQ(a->seek_serial, seeks + 1);
  EXPECT_TRUE(std::isinf(a->lookahead_time));

  a->active_tab = KELVRA_TAB_AUDIO;
  a->transport_mode = TRANSPORT_SOURCE;  // captured by the redo below
  kelvra_history_step(a, true);
  EXPECT_EQ(a->transport_mode, TRANSPORT_SCORE);
  a->active_tab = KELVRA_TAB_SAMPLING;
  kelvra_history_step(a, false);
  EXPECT_EQ(a->transport_mode, TRANSPORT_SOURCE);  // the stored mode on the Sampling tab
}

TEST(History, RestoresTableSizes) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  ASSERT_TRUE(kelvra_history_begin(a));
  Project& p = a->project;
  for (int i = 0; i < 255; ++i) p.clips[p.clip_count++] = p.clips[0];
  p.sources[p.source_count++] = p.sources[0];
  kelvra_history_step(a, false);
  EXPECT_EQ(p.clip_count, 1u);
  EXPECT_EQ(p.source_count, 1u);
  kelvra_history_step(a, true);
  EXPECT_EQ(p.clip_count, 256u);
  EXPECT_EQ(p.source_count, 2u);
}

void* refuse(size_t) { return nullptr; }

TEST(History, OutOfMemoryRefusesTheEditAndKeepsTheStacks) {
  AppPtr app = app_with_clip();
  KelvraApp* a = app.get();
  move_clip(a, 3);
  history_set_allocator(refuse);
  EXPECT_FALSE(kelvra_history_begin(a));
  EXPECT_STREQ(a->status, "There is not enough memory to record this edit.");
  EXPECT_EQ(a->history.undo_count, 1u);
  EXPECT_EQ(a->edit_serial, 1u);
  kelvra_history_step(a, false);
  EXPECT_STREQ(a->status, "There is not enough memory to restore this edit.");
  EXPECT_EQ(a->history.undo_count, 1u);
  EXPECT_EQ(a->history.redo_count, 0u);
  EXPECT_EQ(a->project.clips[0].at, 3.0);
  history_set_allocator(nullptr);
  kelvra_history_step(a, false);
  EXPECT_EQ(a->project.clips[0].at, 0.0);
}

}  // namespace
