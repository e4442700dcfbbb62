// Titles written on the Text tab as a user writes them: "+ Title" at the
// playhead, its text typed in place, its colours from the colour chooser (a
// stand-in zenity), its box dragged on the primary canvas and its span on the
// band's titles row, Delete; each one undo step that restores the project
// exactly; the saved file keeps every member the file carried; and the dark
// outline that makes white text readable on white.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "child_process.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "json/json.h"
#include "media/titles.h"
#include "platform/clock.h"
#include "project/project.h"
#include "records_equal.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

constexpr char kProject[] = R"({"schemaVersion": 1, "extra": {"keep": [1, 2]},
  "sources": [{"id": "a", "file": "a.mp4", "duration": 10}],
  "clips": [{"id": "c1", "name": "One", "sourceId": "a", "out": 6}],
  "texts": [{"text": "Kept", "at": 0, "duration": 8, "x": 0.2, "y": 0.2, "font": "Serif",
             "style": {"background": "#102030", "shadow": 2}}],
  "primaryCanvas": "hd", "canvasSizes": ["hd"]})";

class Titles : public ::testing::Test {
 protected:
  void open(const std::string& json) {
    editor.reset();
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
  }
  void SetUp() override { open(kProject); }
  void TearDown() override { editor.reset(); }

  int x_of(double t) {
    return app->clip_lanes.x + static_cast<int>(std::lround((t - app->timeline_scroll) * app->pixels_per_second));
  }
  int titles_row() { return app->clip_lanes.y + 107 + 10; }
  void drag(int x0, int y0, int x1, int y1) {
    editor->button(true, x0, y0);
    editor->step();
    editor->motion(x0 + (x1 - x0) / 2, y0 + (y1 - y0) / 2);
    editor->motion(x1, y1);
    editor->step();
    editor->button(false, x1, y1);
    editor->step();
  }
  void text_tab() {
    editor->click(app->tab_buttons[KELVRA_TAB_TEXT]);
    ASSERT_EQ(app->active_tab, KELVRA_TAB_TEXT);
    editor->step();  // laid out
  }
  std::vector<Title> titles() { return {app->project.titles, app->project.titles + app->project.title_count}; }
  // The last edit was one undo step; undoing it restores `before` exactly, and redo the edit.
  void expect_one_step(const std::vector<Title>& before, uint64_t steps) {
    ASSERT_EQ(app->history.undo_count, steps + 1);
    const std::vector<Title> after = titles();
    editor->key(SDLK_z, KMOD_LCTRL);
    EXPECT_TRUE(same(titles(), before));
    editor->key(SDLK_y, KMOD_LCTRL);
    EXPECT_TRUE(same(titles(), after));
  }
  static bool same(const std::vector<Title>& a, const std::vector<Title>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!kelvra_test::same_title(a[i], b[i]) || a[i].json_index != b[i].json_index) return false;
    return true;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

TEST_F(Titles, AddTypePlaceAndSpanEachOneStep) {
  editor->click(Rect{x_of(1.0), app->clip_lanes.y + 5, 1, 1});  // the playhead to 1 s
  text_tab();
  // "+ Title": a new title at the playhead, its text ready to be typed over.
  std::vector<Title> before = titles();
  uint64_t steps = app->history.undo_count;
  editor->click(app->title_buttons[TEXT_ADD]);
  ASSERT_EQ(app->project.title_count, 2u);
  EXPECT_EQ(app->selected_title, 1);
  EXPECT_NEAR(app->project.titles[1].at, 1.0, 0.013);
  EXPECT_TRUE(app->name_editing && app->name_for_title);
  expect_one_step(before, steps);
  // The redo ended the typing; a double-click on the box starts it again.
  Title& title = app->project.titles[1];
  const Rect box = kelvra_title_box(&title, app->title_canvas);
  editor->click(box);
  editor->click(box);
  ASSERT_TRUE(app->name_editing && app->name_for_title);
  before = titles();
  steps = app->history.undo_count;
  editor->text("Héllo, ");
  editor->text("world");  // typed one character at a time; the é is not ASCII and is not typed
  editor->key(SDLK_RETURN);
  EXPECT_STREQ(title.text, "Hllo, world");
  EXPECT_FALSE(app->name_editing);
  expect_one_step(before, steps);
  // A text never passes 159 bytes.
  editor->click(box);
  editor->click(box);
  editor->key(SDLK_END);
  for (int i = 0; i < 20; ++i) editor->text("0123456789");
  editor->key(SDLK_RETURN);
  EXPECT_EQ(std::strlen(title.text), 159u);

  // The box dragged on the canvas: a quarter of the canvas right, a tenth up.
  app->needs_redraw = 1;
  editor->step();
  const Rect canvas = app->title_canvas;
  const Rect now = kelvra_title_box(&title, canvas);
  before = titles();
  steps = app->history.undo_count;
  const int cx = now.x + now.width / 2;
  const int cy = now.y + now.height / 2;
  drag(cx, cy, cx + canvas.width / 4, cy - canvas.height / 10);
  EXPECT_NEAR(title.x, 0.75, 0.002);
  EXPECT_NEAR(title.y, 0.72, 0.002);
  expect_one_step(before, steps);

  // Its span on the band's titles row: the end out to 5 s, the start back to 0.5 s.
  ASSERT_NEAR(title.at + title.duration, 4.0, 0.013);
  before = titles();
  steps = app->history.undo_count;
  drag(x_of(title.at + title.duration), titles_row(), x_of(5.0), titles_row());
  EXPECT_NEAR(title.at + title.duration, 5.0, 1e-9);
  expect_one_step(before, steps);
  before = titles();
  steps = app->history.undo_count;
  drag(x_of(title.at), titles_row(), x_of(0.5), titles_row());
  EXPECT_NEAR(title.at, 0.5, 1e-9);
  EXPECT_NEAR(title.at + title.duration, 5.0, 1e-9);
  expect_one_step(before, steps);
}

TEST_F(Titles, ColoursFromTheChooserNoBoxAndDelete) {
  TempDir bin;
  kelvra_test::write_program(bin.path(), "zenity", "echo 'rgb(255,0,0)'\n");
  ScopedEnv path("PATH", (bin.path() + ":/usr/bin:/bin").c_str());
  text_tab();
  editor->click(Rect{app->layout_width - 185, 106, 158, 21});  // "Kept" in the list
  ASSERT_EQ(app->selected_title, 0);
  Title& kept = app->project.titles[0];
  for (uint32_t button : {TEXT_COLOR, TEXT_BOX_COLOR}) {
    const std::vector<Title> before = titles();
    const uint64_t steps = app->history.undo_count;
    editor->click(app->title_buttons[button]);
    for (int i = 0; i < 500 && app->file_dialog != KELVRA_DIALOG_NONE; ++i) {
      editor->step();
      ui_sleep_ms(10);
    }
    ASSERT_EQ(app->file_dialog, static_cast<uint32_t>(KELVRA_DIALOG_NONE));
    EXPECT_STREQ(button == TEXT_COLOR ? kept.color : kept.background, "#ff0000");
    expect_one_step(before, steps);
  }
  std::vector<Title> before = titles();
  uint64_t steps = app->history.undo_count;
  editor->click(app->title_buttons[TEXT_NO_BOX]);
  EXPECT_STREQ(kept.background, "");
  expect_one_step(before, steps);
  before = titles();
  steps = app->history.undo_count;
  editor->key(SDLK_DELETE);
  EXPECT_EQ(app->project.title_count, 0u);
  EXPECT_EQ(app->selected_title, -1);
  EXPECT_EQ(app->project.clip_count, 1u);  // the clip stays
  expect_one_step(before, steps);
}

// An edited title is saved under "texts" with every member the file gave it;
// a new one joins it; the file's other members stay.
TEST_F(Titles, SavedFileKeepsEveryMember) {
  text_tab();
  Title& kept = app->project.titles[0];
  const Rect box = kelvra_title_box(&kept, app->title_canvas);
  drag(box.x + 20, box.y + 10, box.x + 20 + app->title_canvas.width / 10, box.y + 10);
  ASSERT_NEAR(kept.x, 0.3, 0.002);
  editor->click(app->title_buttons[TEXT_ADD]);
  editor->text("New");
  editor->key(SDLK_RETURN);
  const std::string path = dir.file("saved.pjn");
  ASSERT_EQ(kelvra_project_save(&app->project, path.c_str(), app->layout_mode), static_cast<uint32_t>(PROJECT_SAVED));
  const std::string text = kelvra_test::read_file(path);
  for (const char* member : {"\"font\": \"Serif\"", "\"shadow\": 2", "\"extra\": {\"keep\": [1, 2]}",
                             "\"background\": \"#102030\""})
    EXPECT_NE(text.find(member), std::string::npos) << member << "\n" << text;
  auto again = std::make_unique<Project>();
  ASSERT_TRUE(kelvra_project_open(again.get(), path.c_str()));
  ASSERT_EQ(again->title_count, 2u);
  EXPECT_TRUE(kelvra_test::same_title(again->titles[0], app->project.titles[0]));
  EXPECT_TRUE(kelvra_test::same_title(again->titles[1], app->project.titles[1]));
  EXPECT_STREQ(again->titles[1].text, "New");
  kelvra_project_close(again.get());
}

// White text on a white box: only the dark outline around the glyphs makes
// it readable, in the Text tab's canvas as in the previews and the export.
TEST_F(Titles, WhiteOnWhiteReadsByItsOutline) {
  open(R"({"texts": [{"text": "WWWW", "duration": 5, "x": 0.5, "y": 0.5,
                      "style": {"background": "#ffffff", "color": "#ffffff"}}],
           "primaryCanvas": "hd", "canvasSizes": ["hd"]})");
  text_tab();
  app->needs_redraw = 1;
  editor->step();
  const Rect box = kelvra_title_box(&app->project.titles[0], app->title_canvas);
  int dark = 0;
  int white = 0;
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      const uint32_t p = editor->pixel(x, y);
      dark += (p & 0xFF) < 0x60 && ((p >> 8) & 0xFF) < 0x60;
      white += p == 0xFFFFFFu;
    }
  }
  EXPECT_GT(dark, 40);
  EXPECT_GT(white, box.width * box.height / 2);  // the box itself
}

}  // namespace
