// Editing the timeline as a user does: presses, drags and wheel steps pushed
// into the editor's window over the clip lanes, the clip controls and the
// toolbar; then the clips, the undo history and the selection are checked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "platform/ui.h"
#include "sdl_events.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

class TimelineEditing : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two clips of source a: 0..2 s on lane 0 and 3..4 s on lane 2 (no media files needed).
    kelvra_test::write_file(dir.file("project.json"),
                            R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}, {"id": "b", "file": "b.mp4"}],
                                "clips": [{"id": "c1", "name": "One", "sourceId": "a", "out": 2, "lane": 0},
                                          {"id": "c2", "name": "Two", "sourceId": "a", "in": 1, "out": 2, "at": 3, "lane": 2}]})");
    editor = std::make_unique<RunningEditor>(dir.path());
    ASSERT_TRUE(editor->started);
    app = editor->app;
    editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  }
  // Client x of timeline time t; client y of the middle of lane `lane`.
  int x_of(double t) { return app->clip_lanes.x + static_cast<int>(std::lround(t * app->pixels_per_second)); }
  int y_of(int lane) { return app->clip_lanes.y + 18 + (3 - lane) * 22 + 10; }
  void drag(int x0, int y0, int x1, int y1) {
    editor->button(true, x0, y0);
    editor->step();
    editor->motion(x0 + (x1 - x0) / 2, y0 + (y1 - y0) / 2);
    editor->motion(x1, y1);
    editor->step();
    editor->button(false, x1, y1);
    editor->step();
  }
  Rect control(uint32_t which) { return app->clip_controls[which]; }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

TEST_F(TimelineEditing, PressSelectsMovesAndScrubs) {
  const uint64_t steps = app->history.undo_count;
  drag(x_of(1.0), y_of(0), x_of(5.5), y_of(3));  // clip One: to 4.5 s on the top lane
  EXPECT_EQ(app->selected_clip, 0);
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);  // selecting a clip loads it into the sampler
  EXPECT_NEAR(app->project.clips[0].at, 4.5, 0.011);
  EXPECT_EQ(app->project.clips[0].lane, 3u);
  EXPECT_EQ(app->history.undo_count, steps + 1);  // one drag, one step
  EXPECT_NEAR(app->project.timeline_end, 6.5, 0.011);
  editor->key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(app->project.clips[0].at, 0.0);
  EXPECT_EQ(app->project.clips[0].lane, 0u);

  // A click on the selected clip without a move deselects it; another selects it.
  ASSERT_EQ(app->selected_clip, 0);  // undo restored the selection too
  editor->click(Rect{x_of(1.0), y_of(0), 1, 1});
  EXPECT_EQ(app->selected_clip, -1);
  editor->click(Rect{x_of(1.0), y_of(0), 1, 1});
  EXPECT_EQ(app->selected_clip, 0);

  // Empty lane space drops the clip and scrubs the playhead, never past the
  // end; with a clip selected on the Sampling tab, the tab stays.
  drag(x_of(1.0), y_of(1), x_of(2.5), y_of(1));
  EXPECT_EQ(app->selected_clip, -1);
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
  EXPECT_NEAR(app->timeline_playhead, 2.5, 0.03);
  drag(x_of(1.0), y_of(1), x_of(20), y_of(1));
  EXPECT_EQ(app->active_tab, KELVRA_TAB_TIMELINE);
  EXPECT_EQ(app->timeline_playhead, app->project.timeline_end);
  EXPECT_EQ(app->history.undo_count, steps);  // scrubbing is no edit (the undone step went to redo)
}

TEST_F(TimelineEditing, ClipControlsAndTheirWheel) {
  editor->click(Rect{x_of(3.5), y_of(2), 1, 1});  // select Two
  ASSERT_EQ(app->selected_clip, 1);
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  Clip& two = app->project.clips[1];
  editor->click(control(SEQUENCE_MORE));
  EXPECT_EQ(two.loops, 2u);
  EXPECT_EQ(two.loop, 1);
  EXPECT_NEAR(app->project.timeline_end, 5.0, 1e-9);  // two passes of 1 s from 3 s
  editor->click(control(SEQUENCE_CUT));
  EXPECT_EQ(two.loop, 0);
  editor->click(control(SEQUENCE_VIDEO));
  EXPECT_EQ(two.video, 0);
  // The gain knob dragged 30 px up from 0 dB gives 6 dB.
  const Rect gain = control(SEQUENCE_GAIN);
  drag(gain.x + 10, gain.y + 20, gain.x + 10, gain.y - 10);
  EXPECT_NEAR(two.gain, std::pow(10.0, 6.0 / 20), 1e-9);
  // One wheel step on the fade-in knob adds 0.05 s; on the loop count it adds a pass.
  const Rect fade = control(SEQUENCE_FADE_IN);
  kelvra_test::push_wheel(editor->window_id, 1, fade.x + 5, fade.y + 5);
  editor->step();
  EXPECT_NEAR(two.fade_in, 0.05, 1e-12);
  const Rect loops = control(SEQUENCE_LOOPS);
  kelvra_test::push_wheel(editor->window_id, 1, loops.x + 5, loops.y + 5);
  editor->step();
  EXPECT_EQ(two.loops, 3u);
  EXPECT_EQ(two.loop, 1);
  // The position slider at its right end puts the clip at the end of its span.
  const double span = std::max(app->clip_lanes.width / app->pixels_per_second, app->project.timeline_end);
  const Rect slider = control(SEQUENCE_POSITION);
  editor->click(Rect{371 + 146, slider.y, 1, slider.height});
  EXPECT_NEAR(two.at, std::round(span * 100) / 100, 1e-9);
}

TEST_F(TimelineEditing, DuplicateRemoveFollowAndPlay) {
  editor->click(Rect{x_of(0.5), y_of(0), 1, 1});  // select One
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  ASSERT_EQ(app->selected_clip, 0);
  editor->click(app->duplicate_button);
  ASSERT_EQ(app->project.clip_count, 3u);
  EXPECT_EQ(app->selected_clip, 2);
  EXPECT_EQ(app->project.clips[2].at, 2.0);  // right after the original
  EXPECT_STREQ(app->project.clips[2].name, "One");
  EXPECT_STRNE(app->project.clips[2].id, "c1");
  editor->click(app->remove_button);
  EXPECT_EQ(app->project.clip_count, 2u);
  EXPECT_EQ(app->selected_clip, -1);
  EXPECT_STREQ(app->project.clips[1].id, "c2");
  const uint8_t follow = app->follow_playhead;
  editor->click(app->follow_button);
  EXPECT_NE(app->follow_playhead, follow);
  editor->click(app->timeline_play_button);
  EXPECT_EQ(app->playing, 1);
  EXPECT_EQ(app->transport_mode, TRANSPORT_TIMELINE);
  editor->click(app->timeline_play_button);
  EXPECT_EQ(app->playing, 0);
}

// A clip whose source file is not in the media folder is drawn in the
// missing colours; once the file is there and the project is opened again,
// in the usual ones.
TEST_F(TimelineEditing, ClipsWithoutTheirFileAreDrawnMissing) {
  editor->step();
  const int x = x_of(1.0);
  const int y = y_of(0) + 5;
  EXPECT_EQ(editor->pixel(x, y), 0x5A2D2Du);
  kelvra_test::write_file(dir.file("a.mp4"), "not really a video");
  static std::string reopened;
  reopened = dir.file("project.json");
  static const UiDialogHooks hooks = {nullptr, [](bool, const char*, char* path) {
                                        std::snprintf(path, 260, "%s", reopened.c_str());
                                        return true;
                                      },
                                      nullptr};
  ui_set_dialog_hooks(&hooks);
  editor->key(SDLK_o, KMOD_CTRL);  // open it again
  ui_set_dialog_hooks(nullptr);
  ASSERT_EQ(editor->status(), "Project opened.");
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  EXPECT_EQ(editor->pixel(x, y), 0x335A47u);
}

// A press on empty lane space while the timeline plays moves the playhead
// there, and the sound the device receives (SDL's disk driver) starts again
// at the new playhead: the clip's chirp from 0 up to where the press came,
// then on from the press.
TEST(TimelineSound, ASeekWhilePlayingRestartsTheSoundAtTheNewPlayhead) {
  TempDir dir;
  const std::string chirp = std::string(KELVRA_FIXTURES) + "/chirp-stereo.wav";
  ASSERT_EQ(::symlink(chirp.c_str(), dir.file("chirp-stereo.wav").c_str()), 0);
  kelvra_test::write_file(dir.file("project.json"),
                          R"({"sources": [{"id": "t", "file": "chirp-stereo.wav"}],
                              "clips": [{"id": "c", "name": "Chirp", "sourceId": "t", "out": 2, "video": false}]})");
  const std::string path = dir.file("captured.raw");
  kelvra_test::ScopedEnv driver("SDL_AUDIODRIVER", "disk");
  kelvra_test::ScopedEnv file("SDL_DISKAUDIOFILE", path.c_str());
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  editor.click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  auto play_until = [&](double t) {
    for (int i = 0; i < 300 && app->playing && app->timeline_playhead <= t; ++i) editor.step();
    return app->playing && app->timeline_playhead > t;
  };
  editor.click(app->timeline_play_button);
  ASSERT_TRUE(play_until(0.3));
  const double before = app->timeline_playhead;
  const int x = app->clip_lanes.x + static_cast<int>(std::lround((1.2 - app->timeline_scroll) * app->pixels_per_second));
  const int y = app->clip_lanes.y + 18 + 2 * 22 + 10;  // lane 1, empty
  editor.button(true, x, y);
  editor.button(false, x, y);
  editor.step();
  const double jumped = app->timeline_playhead;
  ASSERT_NEAR(jumped, 1.2, 0.02);
  ASSERT_TRUE(play_until(jumped + 0.3));
  editor.click(app->timeline_play_button);
  ASSERT_EQ(app->playing, 0);
  const double paused = app->timeline_playhead;
  editor.step(6);

  const kelvra_test::Capture capture = kelvra_test::read_capture(path);
  size_t first = 0;
  while (first < capture.frames && capture.silent(first)) ++first;
  // From the first sound: the chirp from 0 (its first frame is silent) ...
  const int64_t begins = kelvra_test::chirp_frame_at(capture, first);
  ASSERT_GE(begins, 0);
  EXPECT_LE(begins, 1);
  // ... up to where the device was when the press came, at most the 0.1 s then queued further ...
  const auto before_seek = kelvra_test::follow(capture, first, kelvra_test::chirp(), static_cast<size_t>(begins), 40);
  ASSERT_TRUE(before_seek.broke) << "the sound went on to chirp frame " << before_seek.expected_end;
  const double seam = static_cast<double>(before_seek.expected_end) / 48000;
  EXPECT_GE(seam, before - 0.001);
  EXPECT_LE(seam, before + 0.11);
  // ... then, after any silence the device played while the queue was empty, the chirp from the new playhead to the pause.
  size_t next = before_seek.capture_end;
  while (next < capture.frames && capture.silent(next)) ++next;
  const int64_t resumes = kelvra_test::chirp_frame_at(capture, next);
  const auto playhead = static_cast<int64_t>(std::lround(jumped * 48000));
  EXPECT_GE(resumes, playhead);
  EXPECT_LE(resumes, playhead + 1);
  if (resumes < 0) return;
  const auto after_seek = kelvra_test::follow(capture, next, kelvra_test::chirp(), static_cast<size_t>(resumes), 40);
  EXPECT_FALSE(after_seek.broke) << "differs from chirp frame " << after_seek.expected_end;
  EXPECT_NEAR(static_cast<double>(after_seek.expected_end - resumes) / 48000, paused - jumped, 0.15);
}

}  // namespace
