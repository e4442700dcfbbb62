// Cuts on the beat: a clip dragged on the timeline snaps its start or end to
// the score's beats and to the other clips' edges within 8 pixels, Shift
// turns that off for the drag, a line shows the point, and the toolbar's
// "Snap" switch is one undo step saved with the project. Driven with real
// pointer events; 40 pixels a second, 120 beats a minute (a beat is 20 px).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "project/text_buffer.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

constexpr uint32_t kSnapLine = 0x7FD3FF;

// Clip "one" fills 0..2.1 s on lane 0; clip "two" (1.1 s) starts at 6 s on lane 1.
constexpr char kProject[] = R"({"sources": [{"id": "a", "file": "a.mp4"}],
  "clips": [{"id": "one", "sourceId": "a", "out": 2.1, "lane": 0},
            {"id": "two", "sourceId": "a", "out": 1.1, "at": 6, "lane": 1}]})";

class Snap : public ::testing::Test {
 protected:
  void SetUp() override {
    editor = kelvra_test::start_on_project(dir.path(), kProject);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
    ASSERT_EQ(app->pixels_per_second, 40);
  }
  void TearDown() override {
    SDL_SetModState(KMOD_NONE);
    editor.reset();
  }

  int x_of(double t) const { return app->clip_lanes.x + static_cast<int>(std::lround((t - app->timeline_scroll) * 40)); }
  int lane_y(int lane) const { return app->clip_lanes.y + 18 + 22 * (3 - lane) + 10; }

  // Presses clip "two" 0.5 s into it and moves the pointer so that its start
  // would be at `start` without snapping; returns with the button held.
  void drag_two_to(double start) {
    const int y = lane_y(1);
    editor->button(true, x_of(6.5), y);
    editor->step();
    editor->motion(x_of(6.5) - 4, y);
    editor->step();
    editor->motion(x_of(start + 0.5), y);
    editor->step();
  }
  void release(double start) {
    editor->button(false, x_of(start + 0.5), lane_y(1));
    editor->step();
  }
  const Clip& two() const { return app->project.clips[1]; }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

TEST_F(Snap, StartLandsOnTheBeatAndUndoRestores) {
  drag_two_to(3.0 + 5.0 / 40);  // 5 px past the beat at 3 s
  EXPECT_EQ(two().at, 3.0);
  // The line at the beat while the button is held.
  EXPECT_EQ(editor->pixel(x_of(3.0), lane_y(2)), kSnapLine);
  release(3.0 + 5.0 / 40);
  EXPECT_EQ(two().at, 3.0);
  EXPECT_NE(editor->pixel(x_of(3.0), lane_y(2)), kSnapLine);
  editor->key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(two().at, 6.0);
}

TEST_F(Snap, OtherClipsEdgesAndTheNearestPoint) {
  struct Case {
    double start;  // where the pointer alone would put the start
    double want;
  };
  const Case cases[] = {
      {2.1 + 5.0 / 40, 2.1},         // clip one's end, nearer than the beats at 2 and 2.5
      {4.0 - 7.0 / 40 - 1.1, 2.9},   // its end 7 px before the beat at 4 s
  };
  for (const Case& c : cases) {
    drag_two_to(c.start);
    release(c.start);
    EXPECT_NEAR(two().at, c.want, 1e-9) << c.start;
    editor->key(SDLK_z, KMOD_LCTRL);
    ASSERT_EQ(two().at, 6.0);
  }
}

TEST_F(Snap, ShiftAndTheSwitchTurnItOff) {
  SDL_SetModState(KMOD_LSHIFT);
  drag_two_to(3.0 + 5.0 / 40);
  EXPECT_NEAR(two().at, 3.13, 1e-9);  // where the pointer is, to the hundredth
  EXPECT_NE(editor->pixel(x_of(3.0), lane_y(2)), kSnapLine);
  release(3.0 + 5.0 / 40);
  SDL_SetModState(KMOD_NONE);
  editor->key(SDLK_z, KMOD_LCTRL);

  // The switch: one undo step, saved with the project, read back.
  // (Pressing a clip showed it on the Sampling tab; the switch is on the Timeline tab's toolbar.)
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  editor->click(app->snap_button);
  ASSERT_EQ(app->project.snap_off, 1);
  drag_two_to(3.0 + 5.0 / 40);
  release(3.0 + 5.0 / 40);
  EXPECT_NEAR(two().at, 3.13, 1e-9);
  TextBuffer text{};
  ASSERT_TRUE(project_build_text(&app->project, app->layout_mode, &text));
  const std::string saved(text.data, text.length);
  text_buffer_free(&text);
  EXPECT_NE(saved.find("\"snap\": false"), std::string::npos);
  Project reread{};
  ASSERT_TRUE(kelvra_project_open_bytes(&reread, saved.data(), saved.size()));
  EXPECT_EQ(reread.snap_off, 1);
  kelvra_project_close(&reread);
  // Undo takes back the drag, then the switch.
  for (int i = 0; i < 4 && app->project.snap_off != 0; ++i) editor->key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(app->project.snap_off, 0);
  EXPECT_EQ(two().at, 6.0);
  ASSERT_TRUE(project_build_text(&app->project, app->layout_mode, &text));
  EXPECT_EQ(std::string(text.data, text.length).find("\"snap\""), std::string::npos);
  text_buffer_free(&text);
}

}  // namespace
