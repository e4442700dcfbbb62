// The Sampling tab driven as a user drives it: a media folder with real
// files, SDL events pushed into the offscreen window, one frame loop pass per
// step; then the document, the status line, the pixels and the sound the
// audio device received are checked.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/run.h"
#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/audio_output.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// A media folder holding links to the fixtures and a project listing them.
class SamplingTab : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"coded.mp4", "coded-with-sound.mp4", "chirp-stereo.wav", "coded.webm", "cover.mp3"})
      ASSERT_EQ(::symlink(fixture(name).c_str(), dir.file(name).c_str()), 0);
    write_file(dir.file("project.json"),
               R"({"sources": [{"id": "v", "file": "coded-with-sound.mp4", "title": "Coded"},
                               {"id": "t", "file": "chirp-stereo.wav", "title": "Chirp"},
                               {"id": "gone", "file": "missing.mp4", "title": "Gone"},
                               {"id": "w", "file": "coded.webm", "title": "Silent"},
                               {"id": "c", "file": "cover.mp3", "title": "Cover"}],
                   "layout": "split"})");
  }

  // Starts the editor on the folder (after any environment the test set),
  // runs its first frame and, when `source` is given, selects that source.
  RunningEditor& start(int64_t source = -1) {
    editor_ = std::make_unique<RunningEditor>(dir.path());
    EXPECT_TRUE(editor_->started);
    if (editor_->started) {
      editor_->step();
      if (source >= 0) select(*editor_, static_cast<uint64_t>(source));
    }
    return *editor_;
  }

  // Steps frames until `done` holds, at most `frames` of them.
  template <typename Condition>
  static bool step_until(RunningEditor& editor, Condition done, int frames = 300) {
    for (int i = 0; i < frames; ++i) {
      if (done()) return true;
      editor.step();
    }
    return done();
  }
  // Selects library source `index` with a click on its card and waits for its duration.
  static void select(RunningEditor& editor, uint64_t index) {
    editor.click(editor.app->library_cards[index]);
    ASSERT_EQ(editor.app->selected_source, static_cast<int64_t>(index));
    step_until(editor, [&] { return editor.app->project.sources[index].duration > 0; });
  }
  // A press at x0, moves to x1 in steps of 2 px, and a release, one frame each.
  static void drag(RunningEditor& editor, int x0, int x1, int y) {
    editor.button(true, x0, y);
    editor.step();
    const int step = x1 > x0 ? 2 : -2;
    for (int x = x0 + step; step > 0 ? x <= x1 : x >= x1; x += step) editor.motion(x, y);
    editor.step();
    editor.button(false, x1, y);
    editor.step();
  }
  // The client x of source time t on the strip.
  static int strip_x(RunningEditor& editor, double t) {
    const Rect strip = editor.app->sample_strip;
    const double duration = editor.app->project.sources[editor.app->selected_source].duration;
    return strip.x + static_cast<int>(std::lround(t / duration * strip.width));
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor_;
};

TEST_F(SamplingTab, SpacePlaysTheSourceEscapeStopsIt) {
  RunningEditor& editor = start(0);
  ASSERT_TRUE(editor.started);
  editor.app->layout_mode = KELVRA_LAYOUT_SOURCE;  // the source column only
  editor.step();
  EXPECT_EQ(editor.app->transport_mode, TRANSPORT_SOURCE);
  editor.key(SDLK_SPACE);  // the typed space follows the key press
  editor.text(" ");
  editor.step();
  ASSERT_EQ(editor.app->playing, 1);
  ASSERT_TRUE(step_until(editor, [&] { return editor.app->source_playhead > 0.5; }));
  // The playhead follows time, and the picture of the source is on screen.
  const double shown = editor.app->source_playhead;
  EXPECT_LT(shown, 3.0);
  const Rect view = editor.app->source_view;
  EXPECT_NE(editor.pixel(view.x + view.width / 2, view.y + view.height / 2), PALETTE_PICTURE);
  editor.text(" ");  // pause
  editor.step();
  EXPECT_EQ(editor.app->playing, 0);
  const double paused = editor.app->source_playhead;
  editor.step(5);
  EXPECT_EQ(editor.app->source_playhead, paused);
  editor.text(" ");  // play on from there
  editor.step();
  EXPECT_EQ(editor.app->playing, 1);
  editor.key(SDLK_ESCAPE);
  EXPECT_EQ(editor.app->playing, 0);
  EXPECT_EQ(editor.app->start_pending, 0);
}

TEST_F(SamplingTab, MarkMoveAndTrimARangeOnTheStrip) {
  RunningEditor& editor = start(0);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  const Rect strip = app->sample_strip;
  const int y = strip.y + strip.height / 2;
  ASSERT_FALSE(kelvra_has_sample(app));
  const uint64_t steps = app->history.undo_count;

  drag(editor, strip_x(editor, 1.0), strip_x(editor, 2.5), y);  // a new range
  const Source& source = app->project.sources[0];
  ASSERT_TRUE(kelvra_has_sample(app));
  EXPECT_NEAR(source.in, 1.0, 0.03);
  EXPECT_NEAR(source.out, 2.5, 0.03);
  EXPECT_EQ(app->history.undo_count, steps + 1);  // one gesture, one step
  EXPECT_EQ(app->drag_kind, KELVRA_DRAG_NONE);

  // The handles under the pointer choose the cursor.
  EXPECT_EQ(kelvra_cursor_for(app, strip_x(editor, source.in), y), static_cast<uint32_t>(UI_CURSOR_SIZEWE));
  EXPECT_EQ(kelvra_cursor_for(app, strip_x(editor, 1.75), y), static_cast<uint32_t>(UI_CURSOR_SIZEALL));
  EXPECT_EQ(kelvra_cursor_for(app, strip_x(editor, 3.5), y), static_cast<uint32_t>(UI_CURSOR_ARROW));

  const double in = source.in;
  const double out = source.out;
  drag(editor, strip_x(editor, 1.75), strip_x(editor, 2.25), y);  // the body moves as a whole
  EXPECT_NEAR(source.in - in, 0.5, 0.03);
  EXPECT_NEAR((source.out - source.in) - (out - in), 0.0, 1e-9);
  drag(editor, strip_x(editor, source.out), strip_x(editor, 3.9) + 40, y);  // out past the end: clamped
  EXPECT_NEAR(source.out, source.duration, 1e-9);
  drag(editor, strip_x(editor, source.in), strip_x(editor, source.out) + 10, y);  // in past out
  EXPECT_NEAR(source.out - source.in, 0.05, 1e-9);
  EXPECT_EQ(app->history.undo_count, steps + 4);

  // A one-pixel move opens no step; undo restores each range exactly.
  editor.button(true, strip_x(editor, source.in), y);
  editor.motion(strip_x(editor, source.in) + 1, y);
  editor.button(false, strip_x(editor, source.in) + 1, y);
  editor.step();
  EXPECT_EQ(app->history.undo_count, steps + 4);
  editor.key(SDLK_z, KMOD_LCTRL);
  EXPECT_NEAR(source.out, source.duration, 1e-9);
  editor.key(SDLK_z, KMOD_LCTRL);
  editor.key(SDLK_z, KMOD_LCTRL);
  EXPECT_NEAR(source.in, in, 1e-12);
  EXPECT_NEAR(source.out, out, 1e-12);
  editor.key(SDLK_z, KMOD_LCTRL);
  EXPECT_FALSE(kelvra_has_sample(app));

  // The active range is drawn with its edges.
  editor.key(SDLK_y, KMOD_LCTRL);
  editor.step();
  EXPECT_EQ(editor.pixel(strip_x(editor, source.in) + 3, strip.y + 2), 0x3F2427u);
}

TEST_F(SamplingTab, ControlsUnderTheStripAndTheDoublePress) {
  RunningEditor& editor = start(0);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  const Rect strip = app->sample_strip;
  drag(editor, strip_x(editor, 0.5), strip_x(editor, 1.5), strip.y + 10);
  const uint64_t steps = app->history.undo_count;
  Rect video;
  kelvra_sample_control(&video, app, 138, 42);
  editor.click(video);
  EXPECT_EQ(app->project.sources[0].video, 0);
  EXPECT_EQ(app->history.undo_count, steps + 1);
  editor.step();
  const Rect view = app->sample_view;  // "Audio only" over the monitor background
  int text = 0;
  for (int x = view.x; x < view.x + view.width; ++x) text += editor.pixel(x, view.y + view.height / 2) != PALETTE_PICTURE;
  EXPECT_GT(text, 10);
  Rect mode;
  kelvra_sample_control(&mode, app, 268, 32);
  editor.click(mode);  // the loop half of the switch
  EXPECT_EQ(app->project.sources[0].loop, 1);
  editor.click(mode);  // unchanged: no step
  EXPECT_EQ(app->history.undo_count, steps + 2);

  // Two presses on the range body within 420 ms put it on the timeline.
  const int x = strip_x(editor, 1.0);
  editor.button(true, x, strip.y + 10);
  editor.button(false, x, strip.y + 10);
  editor.button(true, x, strip.y + 10);
  editor.button(false, x, strip.y + 10);
  editor.step();
  EXPECT_EQ(editor.status(), "Placed a source range on the timeline.");
  ASSERT_EQ(app->project.clip_count, 1u);
  const Clip& placed = app->project.clips[0];
  EXPECT_STREQ(placed.name, "Sample 1");
  EXPECT_NEAR(placed.in, 0.5, 0.03);
  EXPECT_NEAR(placed.out, 1.5, 0.03);
  EXPECT_EQ(placed.loop, 1);
  EXPECT_EQ(placed.video, 0);
  EXPECT_EQ(placed.at, 0.0);  // at the timeline playhead
  EXPECT_EQ(app->selected_clip, 0);
  EXPECT_EQ(std::string(placed.id).rfind("v3-", 0), 0u);
  EXPECT_DOUBLE_EQ(app->project.timeline_end, (placed.out - placed.in) * placed.loops);

  // The name typed for the next clip goes to it, and is used up.
  app->selected_clip = -1;
  editor.click(app->clip_name_field);
  editor.text("Intro");
  editor.key(SDLK_RETURN);
  editor.text("\n");
  editor.step();
  EXPECT_STREQ(app->pending_clip_name, "Intro");
  app->timeline_playhead = 4;
  editor.click(app->place_button);
  ASSERT_EQ(app->project.clip_count, 2u);
  EXPECT_STREQ(app->project.clips[1].name, "Intro");
  EXPECT_EQ(app->project.clips[1].at, 4.0);
  EXPECT_STREQ(app->pending_clip_name, "");
  editor.key(SDLK_z, KMOD_LCTRL);  // one undo step takes the clip away
  EXPECT_EQ(app->project.clip_count, 1u);

  // A full timeline takes no more clips, without a message.
  while (app->project.clip_count < PROJECT_MAX_ROWS) app->project.clips[app->project.clip_count++] = placed;
  kelvra_status(app, "");
  editor.click(app->place_button);
  EXPECT_EQ(app->project.clip_count, PROJECT_MAX_ROWS);
  EXPECT_EQ(editor.status(), "");
}

TEST_F(SamplingTab, LayoutButtonsAndTheSeekBar) {
  RunningEditor& editor = start(0);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  const Rect bar = app->timeline_toolbar;
  const int centre = bar.x + bar.width / 2;
  editor.click(Rect{centre + 50, bar.y, 1, bar.height});  // "Editor"
  EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_EDIT);
  EXPECT_EQ(app->transport_mode, TRANSPORT_SAMPLE);
  editor.click(Rect{centre, bar.y, 1, bar.height});  // "Source"
  EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_SOURCE);
  editor.key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_EDIT);
  editor.click(Rect{centre - 60, bar.y, 1, bar.height});  // "Split"
  EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_SPLIT);

  // Scrubbing the seek bar moves the source playhead and the picture follows.
  const Rect seek = app->source_seek_bar;
  const int y = seek.y + seek.height / 2;
  editor.button(true, seek.x + 4, y);
  editor.motion(seek.x + 4 + (seek.width - 8) / 2, y);
  editor.step();
  const double duration = app->project.sources[0].duration;
  EXPECT_NEAR(app->source_playhead, duration / 2, duration / seek.width + 1e-9);
  EXPECT_EQ(app->transport_mode, TRANSPORT_SOURCE);
  editor.button(false, seek.x + 4 + (seek.width - 8) / 2, y);
  editor.step();
  EXPECT_EQ(app->history.undo_count, 2u);  // scrubbing is no edit
}

TEST_F(SamplingTab, MissingFileAndMissingDevice) {
  ScopedEnv no_device("SDL_AUDIODRIVER", "no-such-driver");
  RunningEditor& editor = start();
  ASSERT_TRUE(editor.started);
  editor.click(editor.app->library_cards[2]);  // a source whose file is gone
  editor.click(editor.app->sample_view);       // play the sample
  EXPECT_TRUE(step_until(editor, [&] { return editor.app->start_pending == 0; }));
  EXPECT_EQ(editor.status(), "Could not decode audio from this source.");
  editor.step(3);

  select(editor, 3);  // a video without sound plays on the wall clock
  editor.click(editor.app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return editor.app->source_playhead > 0.3; }));
  EXPECT_EQ(editor.status(), "Could not decode audio from this source.");
  editor.click(editor.app->source_view);

  select(editor, 1);  // a sound file: no device, so the wall clock runs it
  editor.click(editor.app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return editor.app->source_playhead > 0.3; }));
  EXPECT_EQ(editor.status(), "Audio output could not open (error 6).");
  EXPECT_EQ(editor.app->playing, 1);
  kelvra_status(editor.app, "");
  editor.step(5);
  EXPECT_EQ(editor.status(), "");  // once per play
}

// A sound file whose only picture is its cover art: the sound plays, the
// monitor shows no picture, and nothing complains.
TEST_F(SamplingTab, ASoundWithOnlyACoverPicturePlays) {
  RunningEditor& editor = start(4);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  EXPECT_NEAR(app->project.sources[4].duration, 2.0, 0.1);
  editor.click(app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return app->source_playhead > 0.3; }));
  EXPECT_EQ(editor.status(), "");
  const Rect view = app->source_view;
  EXPECT_EQ(editor.pixel(view.x + view.width / 2, view.y + view.height / 2), PALETTE_PICTURE);
}

// Files that go away or change under a playing editor: playback goes on with
// what was decoded, nothing crashes, and the document is unchanged.
TEST_F(SamplingTab, FilesRemovedOrReplacedWhilePlaying) {
  RunningEditor& editor = start(0);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.click(app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return app->source_playhead > 0.3; }));
  ASSERT_EQ(std::remove(dir.file("coded-with-sound.mp4").c_str()), 0);
  editor.step(10);
  EXPECT_EQ(app->playing, 1);
  ASSERT_EQ(::symlink(fixture("tone-stereo.wav").c_str(), dir.file("coded-with-sound.mp4").c_str()), 0);
  editor.key(SDLK_ESCAPE);
  select(editor, 1);
  editor.click(app->library_cards[0]);  // the replaced file, selected again
  editor.click(app->source_view);
  editor.step(20);
  EXPECT_EQ(app->project.source_count, 5u);
  EXPECT_STREQ(app->project.sources[0].file, "coded-with-sound.mp4");
  EXPECT_EQ(app->history.undo_count, 0u);
}

// Stretches of sound in a capture: [first, end) frame ranges separated by at
// least 50 ms of silence.
std::vector<std::pair<size_t, size_t>> sounding(const kelvra_test::Capture& capture) {
  std::vector<std::pair<size_t, size_t>> runs;
  size_t quiet = 0;
  for (size_t i = 0; i < capture.frames; ++i) {
    if (capture.silent(i)) {
      ++quiet;
      continue;
    }
    if (runs.empty() || quiet >= 2400)
      runs.emplace_back(i, i + 1);
    else
      runs.back().second = i + 1;
    quiet = 0;
  }
  return runs;
}

// The sound the device received, read back from SDL's disk driver: each
// stretch is the source from its playhead to the pause, sample for sample,
// and after a seek it starts at the new playhead.
TEST_F(SamplingTab, TheDeviceReceivesTheSourceAtThePlayhead) {
  const std::string path = dir.file("captured.raw");
  ScopedEnv driver("SDL_AUDIODRIVER", "disk");
  ScopedEnv file("SDL_DISKAUDIOFILE", path.c_str());
  RunningEditor& editor = start();
  ASSERT_TRUE(editor.started);
  select(editor, 1);  // the 2 s chirp
  KelvraApp* app = editor.app;
  app->layout_mode = KELVRA_LAYOUT_SOURCE;
  editor.step();
  editor.click(app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return app->source_playhead > 0.4; }));
  EXPECT_TRUE(kelvra_audio_state(app->audio_out).device_open);
  editor.click(app->source_view);  // pause
  ASSERT_EQ(app->playing, 0);
  const double first_pause = app->source_playhead;
  editor.step(6);
  // Seek to the middle, play from there, pause again.
  const Rect seek = app->source_seek_bar;
  editor.click(Rect{seek.x + 4 + (seek.width - 8) / 2, seek.y, 1, seek.height});
  const double resumed = app->source_playhead;
  ASSERT_NEAR(resumed, 1.0, 0.01);
  editor.click(app->source_view);
  ASSERT_TRUE(step_until(editor, [&] { return app->source_playhead > resumed + 0.3; }));
  editor.click(app->source_view);
  const double second_pause = app->source_playhead;
  editor.step(6);

  const kelvra_test::Capture capture = kelvra_test::read_capture(path);
  const auto runs = sounding(capture);
  ASSERT_EQ(runs.size(), 2u);
  const double playheads[2] = {0.0, resumed};
  const double pauses[2] = {first_pause, second_pause};
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const int64_t begins = kelvra_test::chirp_frame_at(capture, runs[k].first);
    const auto playhead = static_cast<int64_t>(std::lround(playheads[k] * 48000));
    // The stream starts at the playhead (whose frame may be silent: then the sound starts one later).
    EXPECT_GE(begins, playhead);
    EXPECT_LE(begins, playhead + 1);
    if (begins < 0) continue;
    // The source goes on from there, frame for frame, to the end of the stretch.
    const auto f = kelvra_test::follow(capture, runs[k].first, kelvra_test::chirp(), static_cast<size_t>(begins), 40);
    EXPECT_EQ(f.capture_end, runs[k].second) << "followed to chirp frame " << f.expected_end;
    // A pause stops the sound: at most the 0.1 s already queued plays on.
    const double length = static_cast<double>(runs[k].second - runs[k].first - f.inserted) / 48000;
    EXPECT_NEAR(length, pauses[k] - playheads[k], 0.15);
  }
}

}  // namespace
