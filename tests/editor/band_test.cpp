// Editing on the band as a user does it: a clip's edges dragged to trim it,
// "Split" and the S key cutting the selected clip at the playhead, Delete,
// Ctrl+wheel zooming around the pointer, numbers typed into the clip
// controls, the wheel on the position; and what the band draws along clips
// (fades, loop boundaries, waveform, pictures) once the strip cache has them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "media/strip_cache.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "project/timeline_map.h"
#include "records_equal.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

// The editable tables of a project, to compare before and after an undo.
struct Tables {
  std::vector<Clip> clips;
  std::vector<Title> titles;
};

Tables tables_of(const Project& p) {
  return Tables{std::vector<Clip>(p.clips, p.clips + p.clip_count),
                std::vector<Title>(p.titles, p.titles + p.title_count)};
}

bool same_tables(const Tables& a, const Tables& b) {
  if (a.clips.size() != b.clips.size() || a.titles.size() != b.titles.size()) return false;
  for (size_t i = 0; i < a.clips.size(); ++i)
    if (!kelvra_test::same_clip(a.clips[i], b.clips[i]) || a.clips[i].json_index != b.clips[i].json_index) return false;
  for (size_t i = 0; i < a.titles.size(); ++i)
    if (!kelvra_test::same_title(a.titles[i], b.titles[i])) return false;
  return true;
}

class Band : public ::testing::Test {
 protected:
  void open(const std::string& json) {
    editor.reset();
    SDL_SetModState(KMOD_NONE);
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  }
  void TearDown() override {
    SDL_SetModState(KMOD_NONE);
    editor.reset();
  }
  int x_of(double t) {
    return app->clip_lanes.x + static_cast<int>(std::lround((t - app->timeline_scroll) * app->pixels_per_second));
  }
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
  // Puts the playhead at t with a press on the ruler (which drops the selection).
  void playhead_to(double t) {
    editor->click(Rect{x_of(t), app->clip_lanes.y + 5, 1, 1});
    ASSERT_NEAR(app->timeline_playhead, t, 0.013);
  }
  void select(double t, int lane) {
    editor->click(Rect{x_of(t), y_of(lane), 1, 1});
    editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  }
  // Undoes the last step and checks that it restored `before` exactly, then redoes it.
  void expect_one_step(const Tables& before, uint64_t steps_before) {
    EXPECT_EQ(app->history.undo_count, steps_before + 1);
    const Tables after = tables_of(app->project);
    editor->key(SDLK_z, KMOD_LCTRL);
    EXPECT_TRUE(same_tables(tables_of(app->project), before));
    editor->key(SDLK_y, KMOD_LCTRL);
    EXPECT_TRUE(same_tables(tables_of(app->project), after));
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// Source "a" is 10 s long (its file is not needed to edit).
constexpr char kTwoClips[] = R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}],
  "clips": [{"id": "c1", "name": "One", "sourceId": "a", "in": 2, "out": 5, "at": 1, "lane": 0},
            {"id": "c2", "name": "Two", "sourceId": "a", "in": 0.5, "out": 1.5, "at": 6, "lane": 1,
             "mode": "loop", "loops": 3}]})";

TEST_F(Band, EdgesTrimTheRangeNeverPastTheSource) {
  open(kTwoClips);
  const struct {
    const char* what;
    int clip;
    double from;  // the edge's timeline time
    double to;    // where the pointer goes (negative: left of the lanes)
    double in, out, at;
  } cases[] = {
      {"right edge out", 0, 4.0, 7.0, 2, 8, 1},
      {"right edge past the source's end", 0, 4.0, 30.0, 2, 10, 1},
      {"right edge in, not past the start", 0, 4.0, 0.5, 2, 2 + BAND_MIN_PASS, 1},
      {"left edge in", 0, 1.0, 2.0, 3, 5, 2},
      {"left edge past the source's start", 0, 1.0, -1.0, 1, 5, 0},
      {"a looped clip's end moves by whole passes' share", 1, 9.0, 10.5, 0.5, 2.0, 6},
      {"a looped clip's start", 1, 6.0, 7.5, 1.0, 1.5, 7.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    open(kTwoClips);
    const int lane = c.clip == 0 ? 0 : 1;
    const Tables before = tables_of(app->project);
    const uint64_t steps = app->history.undo_count;
    const int to_x = c.to < 0 ? app->clip_lanes.x - 30 : x_of(c.to);
    SDL_SetModState(KMOD_LSHIFT);  // no snapping here
    drag(x_of(c.from), y_of(lane), to_x, y_of(lane));
    SDL_SetModState(KMOD_NONE);
    const Clip& clip = app->project.clips[c.clip];
    EXPECT_EQ(app->selected_clip, c.clip);
    EXPECT_NEAR(clip.in, c.in, 1e-9);
    EXPECT_NEAR(clip.out, c.out, 1e-9);
    EXPECT_NEAR(clip.at, c.at, 1e-9);
    expect_one_step(before, steps);
  }
}

TEST_F(Band, TrimSnapsToAnotherClipsEdge) {
  open(kTwoClips);
  // The end of One (4 s) dragged to 5.9 s lands on Two's start at 6 s.
  drag(x_of(4.0), y_of(0), x_of(5.9), y_of(0));
  EXPECT_NEAR(app->project.clips[0].out, 7.0, 1e-9);
  EXPECT_NEAR(app->project.clips[0].at + kelvra_clip_length(&app->project.clips[0]), 6.0, 1e-9);
}

// Split makes clips that show and fade exactly as the one clip did, at
// every time: each timeline time is shown by the one piece covering it, at
// the same source time and opacity.
TEST_F(Band, SplitPlaysAsTheOneClipDid) {
  const struct {
    const char* what;
    const char* clip;  // one clip of source a on lane 0
    double cut;
    uint64_t pieces;
  } cases[] = {
      {"a cut clip with fades", R"("in": 2, "out": 6, "at": 1, "fadeIn": 0.5, "fadeOut": 1)", 3.0, 2},
      {"inside a middle pass of a loop", R"("in": 1, "out": 3, "at": 0, "mode": "loop", "loops": 4, "fadeIn": 0.4,
         "fadeOut": 0.6)", 3.0, 4},
      {"on a loop boundary", R"("in": 1, "out": 3, "at": 0, "mode": "loop", "loops": 4)", 4.0, 2},
      {"inside the first pass", R"("in": 1, "out": 3, "at": 0.5, "mode": "loop", "loops": 3, "gain": 0.5)", 1.5, 3},
      {"inside the last pass", R"("in": 1, "out": 3, "at": 0, "mode": "loop", "loops": 2, "fadeOut": 0.5)", 2.5, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    open(std::string(R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}], "clips": [{"id": "x", "sourceId": "a", )") +
         c.clip + ", \"custom\": [1, 2]}]}");
    const Clip original = app->project.clips[0];
    const Tables before = tables_of(app->project);
    playhead_to(c.cut);
    select(c.cut, 0);
    ASSERT_EQ(app->selected_clip, 0);
    const uint64_t steps = app->history.undo_count;
    editor->key(SDLK_s);
    ASSERT_EQ(app->project.clip_count, c.pieces) << editor->status();
    for (uint64_t i = 0; i < app->project.clip_count; ++i) {
      const Clip& piece = app->project.clips[i];
      EXPECT_EQ(piece.gain, original.gain);
      EXPECT_EQ(piece.json_index, original.json_index);  // the file's own members stay with every piece
      EXPECT_EQ(piece.source, original.source);
    }
    EXPECT_NE(std::strcmp(app->project.clips[0].id, app->project.clips[1].id), 0);
    for (double t = original.at - 0.5; t < original.at + kelvra_clip_length(&original) + 0.5; t += 0.01) {
      const Clip* shown = kelvra_video_at(&app->project, t);
      const bool covered = original.at <= t && t < original.at + kelvra_clip_length(&original);
      ASSERT_EQ(shown != nullptr, covered) << t;
      if (shown == nullptr) continue;
      ASSERT_NEAR(kelvra_layer_time(shown, t), kelvra_layer_time(&original, t), 1e-9) << t;
      ASSERT_NEAR(kelvra_layer_opacity(shown, t), kelvra_layer_opacity(&original, t), 1e-9) << t;
    }
    expect_one_step(before, steps);
  }
}

TEST_F(Band, SplitRefusesTheInsideOfAFadeAndAPlayheadOffTheClip) {
  open(R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}],
           "clips": [{"id": "x", "sourceId": "a", "in": 0, "out": 4, "fadeIn": 1.5}]})");
  const Tables before = tables_of(app->project);
  playhead_to(1.0);
  select(2.0, 0);
  const uint64_t steps = app->history.undo_count;
  editor->key(SDLK_s);
  EXPECT_EQ(editor->status(), "The playhead is inside the clip's fade, so it was not split.");
  playhead_to(3.0);
  editor->key(SDLK_s);  // the press on the ruler dropped the selection
  EXPECT_EQ(editor->status(), "Select a clip to split it at the playhead.");
  EXPECT_TRUE(same_tables(tables_of(app->project), before));
  EXPECT_EQ(app->history.undo_count, steps);
}

TEST_F(Band, DeleteRemovesTheSelectedClip) {
  open(kTwoClips);
  select(3.0, 0);
  const Tables before = tables_of(app->project);
  const uint64_t steps = app->history.undo_count;
  editor->key(SDLK_DELETE);
  ASSERT_EQ(app->project.clip_count, 1u);
  EXPECT_STREQ(app->project.clips[0].id, "c2");
  EXPECT_EQ(app->selected_clip, -1);
  expect_one_step(before, steps);
}

TEST_F(Band, CtrlWheelZoomsAroundThePointer) {
  open(kTwoClips);
  const int x = x_of(5.0);
  const int y = y_of(2);
  const double under = app->timeline_scroll + (x - app->clip_lanes.x) / app->pixels_per_second;
  SDL_SetModState(KMOD_LCTRL);
  kelvra_test::push_wheel(editor->window_id, 3, x, y);
  editor->step();
  EXPECT_NEAR(app->pixels_per_second, 40 * std::pow(1.25, 3), 1e-9);
  EXPECT_NEAR(app->timeline_scroll + (x - app->clip_lanes.x) / app->pixels_per_second, under, 1e-9);
  for (int i = 0; i < 40; ++i) kelvra_test::push_wheel(editor->window_id, 1, x, y);
  editor->step();
  EXPECT_EQ(app->pixels_per_second, BAND_MAX_PPS);
  // The scroll bar's thumb covers the visible part of the edit.
  app->needs_redraw = 1;
  editor->step();
  const Rect track = app->clip_controls[SEQUENCE_SCROLL];
  int thumb = 0;
  for (int px = track.x; px < track.x + track.width; ++px) thumb += editor->pixel(px, track.y + 2) == 0x3B4540u;
  const double visible = app->clip_lanes.width / app->pixels_per_second;
  const double span = std::max(app->project.timeline_end + 1, visible);
  EXPECT_LT(thumb, track.width / 2);
  EXPECT_NEAR(thumb, visible / span * track.width, 2);
  for (int i = 0; i < 80; ++i) kelvra_test::push_wheel(editor->window_id, -1, x, y);
  editor->step();
  SDL_SetModState(KMOD_NONE);
  EXPECT_EQ(app->pixels_per_second, BAND_MIN_PPS);
  EXPECT_EQ(app->timeline_scroll, 0.0);
  // The zoom is no edit, and the layout keeps it from frame to frame.
  EXPECT_EQ(app->history.undo_count, 0u);
  editor->step(2);
  EXPECT_EQ(app->pixels_per_second, BAND_MIN_PPS);
}

TEST_F(Band, NumbersAreTypedAndTheWheelStepsThePosition) {
  open(kTwoClips);
  select(3.0, 0);
  ASSERT_EQ(app->selected_clip, 0);
  Clip& one = app->project.clips[0];
  const struct {
    uint32_t control;
    const char* typed;
    double expected;
    double Clip::*field;
  } cases[] = {
      {SEQUENCE_FADE_IN, "1.25", 1.25, &Clip::fade_in},
      {SEQUENCE_FADE_OUT, "9", 5.0, &Clip::fade_out},  // clamped to the knob's reach
      {SEQUENCE_POSITION, "3,5", 3.5, &Clip::at},
      {SEQUENCE_GAIN, "-6", std::pow(10.0, -6.0 / 20), &Clip::gain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    const uint64_t steps = app->history.undo_count;
    const Rect r = app->clip_controls[c.control];
    editor->click(r);
    editor->click(r);  // a double-click opens the field showing the value
    ASSERT_EQ(app->number_control, c.control + 1);
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.2f",
                  c.control == SEQUENCE_GAIN ? 20 * std::log10(one.gain) : one.*c.field);
    EXPECT_STREQ(app->number_text, shown);
    const uint64_t opened = app->history.undo_count;
    editor->text(c.typed);
    editor->key(SDLK_RETURN);
    EXPECT_EQ(app->number_control, 0u);
    EXPECT_NEAR(one.*c.field, c.expected, 1e-9);
    EXPECT_EQ(app->history.undo_count, opened + 1);
    EXPECT_GE(opened, steps);
  }
  // Loop count: typed 4 makes a looped clip of four passes.
  const Rect loops = app->clip_controls[SEQUENCE_LOOPS];
  editor->click(loops);
  editor->click(loops);
  editor->text("4");
  editor->key(SDLK_RETURN);
  EXPECT_EQ(one.loops, 4u);
  EXPECT_EQ(one.loop, 1);
  // Text that is no number changes nothing; Escape closes without storing.
  const Rect fade = app->clip_controls[SEQUENCE_FADE_IN];
  const double fade_in = one.fade_in;
  const uint64_t steps = app->history.undo_count;
  editor->click(fade);
  editor->click(fade);
  editor->text("-.");
  editor->key(SDLK_RETURN);
  EXPECT_EQ(one.fade_in, fade_in);
  EXPECT_EQ(editor->status(), "Type a number, such as 2.5; nothing was changed.");
  editor->click(fade);
  editor->click(fade);
  editor->text("2");
  editor->key(SDLK_ESCAPE);
  EXPECT_EQ(one.fade_in, fade_in);
  EXPECT_EQ(app->history.undo_count, steps);
  // The wheel on the position steps it by 0.1 s, one undo step each.
  const Rect position = app->clip_controls[SEQUENCE_POSITION];
  const double at = one.at;
  kelvra_test::push_wheel(editor->window_id, 1, position.x + 5, position.y + 5);
  editor->step();
  EXPECT_NEAR(one.at, at + 0.1, 1e-9);
  kelvra_test::push_wheel(editor->window_id, -1, position.x + 5, position.y + 5);
  kelvra_test::push_wheel(editor->window_id, -1, position.x + 5, position.y + 5);
  editor->step();
  EXPECT_NEAR(one.at, at - 0.1, 1e-9);
  EXPECT_EQ(app->history.undo_count, steps + 3);
}

// With the media in place, the band draws a video clip's pictures and its
// sound's waveform, a loop's pass boundaries and the shade of a fade.
TEST_F(Band, ClipsShowPicturesWaveformLoopsAndFades) {
  const std::string coded = std::string(KELVRA_FIXTURES) + "/coded-with-sound.mp4";
  ASSERT_EQ(::symlink(coded.c_str(), dir.file("coded-with-sound.mp4").c_str()), 0);
  open(R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
           "clips": [{"id": "v", "sourceId": "c", "in": 0, "out": 2, "mode": "loop", "loops": 2, "fadeIn": 1,
                      "lane": 0},
                     {"id": "s", "sourceId": "c", "in": 0, "out": 4, "video": false, "lane": 2}]})");
  char path[KELVRA_PATH_SIZE];
  ASSERT_TRUE(kelvra_path(app->media_folder, "coded-with-sound.mp4", path));
  for (int i = 0; i < 1000 && strip_cache_get(app->strips, path) == nullptr; ++i) {
    editor->step();
    ui_sleep_ms(10);
  }
  const StripData* data = strip_cache_get(app->strips, path);
  ASSERT_NE(data, nullptr);
  EXPECT_GT(data->thumb_count, 0u);
  EXPECT_GT(data->peak_count, 0u);
  app->needs_redraw = 1;
  editor->step();
  const int top0 = app->clip_lanes.y + 19 + 3 * 22;  // lane 0's row
  const int top2 = app->clip_lanes.y + 19 + 1 * 22;  // lane 2's row
  // Pictures: the source's blue (128) over the lane 0 clip past its fade.
  const uint32_t picture = editor->pixel(x_of(1.6), top0 + 6);
  EXPECT_GT(picture & 0xFF, 100u) << std::hex << picture;
  // The waveform of the sound-only clip: its colour around the row's middle.
  int wave = 0;
  for (int x = x_of(0.5); x < x_of(3.5); ++x) wave += editor->pixel(x, top2 + 10) == 0x9DE6B8u;
  EXPECT_GT(wave, 50);
  // The boundary between the two passes at 2 s.
  EXPECT_EQ(editor->pixel(x_of(2.0), top0 + 10), 0xE7EFEAu);
  // The fade-in shades the top of the body near the clip's start.
  EXPECT_EQ(editor->pixel(x_of(0.1), top0 + 3), 0x0C100Eu);
}

}  // namespace
