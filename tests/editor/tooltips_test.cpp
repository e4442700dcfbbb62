// The clip controls that show only an icon or a dial name themselves while
// the pointer rests on them, in a box drawn above the control.
#include <gtest/gtest.h>

#include <string>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

TEST(Tooltips, IconsAndKnobsNameThemselves) {
  TempDir dir;
  auto editor = kelvra_test::start_on_project(
      dir.path(), R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}],
                     "clips": [{"id": "c1", "name": "One", "sourceId": "a", "out": 2}]})");
  ASSERT_NE(editor, nullptr);
  KelvraApp* app = editor->app;
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  struct Row {
    uint32_t control;
    const char* starts;
  } rows[] = {{SEQUENCE_CUT, "Cut"},         {SEQUENCE_LOOP, "Loop"},       {SEQUENCE_FADE_IN, "Fade in"},
              {SEQUENCE_FADE_OUT, "Fade out"}, {SEQUENCE_GAIN, "Gain"},      {SEQUENCE_VIDEO, "Video"},
              {SEQUENCE_AUDIO, "Audio"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.starts);
    const Rect c = app->clip_controls[row.control];
    editor->motion(c.x + c.width / 2, c.y + c.height / 2);
    editor->step();
    ASSERT_EQ(app->hover_control, row.control + 1);
    const char* text = kelvra_tooltip_text(app->hover_control);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).rfind(row.starts, 0), 0u) << text;
    // The box above the control: its border, then its fill.
    EXPECT_EQ(editor->pixel(c.x + c.width / 2, c.y - 26), PALETTE_BORDER);
  }
  // Away from the controls the name goes.
  editor->motion(5, 5);
  editor->step();
  EXPECT_EQ(app->hover_control, 0u);
  EXPECT_NE(editor->pixel(app->clip_controls[SEQUENCE_AUDIO].x + 10, app->clip_controls[SEQUENCE_AUDIO].y - 26),
            PALETTE_BORDER);
}

}  // namespace
