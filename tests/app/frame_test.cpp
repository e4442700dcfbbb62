// The editor as a user drives it: started on a media folder, real SDL events
// pushed into its offscreen window, one pass of the frame loop per step, then
// the document, the status line and the drawn pixels checked.
#include <gtest/gtest.h>

#include <string>

#include "app/run.h"
#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/history.h"
#include "platform/ui.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;
using kelvra_test::write_file;

const char kProject[] = R"({"sources": [{"id": "a", "file": "a.mp4", "title": "First"}, {"id": "b", "title": "Second"}],
                            "clips": [{"sourceId": "a", "out": 2}], "layout": "split"})";

// The interior colour of a button box at the centre of its rectangle's left part.
uint32_t button_interior(RunningEditor& editor, Rect r) { return editor.pixel(r.x + 3, r.y + 3); }

struct Dialogs {
  static inline bool answer = false;
  static inline int asked = 0;
  static inline int files_chosen = 0;
  static inline uint32_t window = 0;
  static inline Rect click_inside{};  // where the user clicks while the file dialog is up
  static bool confirm(const char*, const char*) {
    ++asked;
    return answer;
  }
  // The user clicks around in the dialog, then cancels it.
  static bool choose_file(bool, const char*, char*) {
    ++files_chosen;
    const int x = click_inside.x + click_inside.width / 2;
    const int y = click_inside.y + click_inside.height / 2;
    kelvra_test::push_button(window, SDL_BUTTON_LEFT, true, x, y);
    kelvra_test::push_button(window, SDL_BUTTON_LEFT, false, x, y);
    return false;
  }
};

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Dialogs::confirm, Dialogs::choose_file, nullptr};
    ui_set_dialog_hooks(&hooks);
    Dialogs::answer = false;
    Dialogs::asked = 0;
    Dialogs::files_chosen = 0;
    write_file(dir.file("project.json"), kProject);
  }
  void TearDown() override { ui_set_dialog_hooks(nullptr); }
  TempDir dir;
};

TEST_F(Frame, StartsOnTheMediaFolderAndDrawsTheFirstPass) {
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  EXPECT_EQ(editor.app->project.source_count, 2u);
  EXPECT_EQ(editor.app->selected_source, 0);
  ASSERT_EQ(editor.step(), KELVRA_FRAME_NEXT);
  EXPECT_EQ(editor.memory.frames_drawn, 1u);
  EXPECT_EQ(editor.app->client_width, 1334u);
  EXPECT_EQ(editor.app->library_card_count, 2u);
  const Rect first = editor.app->library_cards[0];
  EXPECT_EQ(editor.pixel(first.x, first.y + 10), PALETTE_SELECTED);  // the selected card's border
  const Rect second = editor.app->library_cards[1];
  EXPECT_EQ(editor.pixel(second.x, second.y + 10), PALETTE_BORDER);
  EXPECT_EQ(button_interior(editor, editor.app->tab_buttons[KELVRA_TAB_SAMPLING]), PALETTE_ACTIVE_BUTTON);
  EXPECT_EQ(editor.status(), "");
}

TEST_F(Frame, PressesLandOnTheRectanglesTheFrameDrew) {
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  editor.step();
  for (uint32_t tab : {KELVRA_TAB_TIMELINE, KELVRA_TAB_AUDIO, KELVRA_TAB_RENDER, KELVRA_TAB_TEXT, KELVRA_TAB_SAMPLING}) {
    ASSERT_EQ(editor.click(editor.app->tab_buttons[tab]), KELVRA_FRAME_NEXT);
    EXPECT_EQ(editor.app->active_tab, tab);
    for (uint32_t other = 0; other < KELVRA_TAB_COUNT; ++other)
      EXPECT_EQ(button_interior(editor, editor.app->tab_buttons[other]),
                other == tab ? PALETTE_ACTIVE_BUTTON : PALETTE_BUTTON)
          << "tab " << other << " after pressing " << tab;
  }
  // The second library card selects its source.
  editor.click(editor.app->library_cards[1]);
  EXPECT_EQ(editor.app->selected_source, 1);
  EXPECT_EQ(editor.pixel(editor.app->library_cards[1].x, editor.app->library_cards[1].y + 10), PALETTE_SELECTED);
}

TEST_F(Frame, UndoAndRedoButtonsStepTheHistory) {
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  editor.step();
  ASSERT_TRUE(kelvra_history_begin(editor.app));
  editor.app->project.clips[0].at = 4;
  editor.click(editor.app->undo_button);
  EXPECT_EQ(editor.app->project.clips[0].at, 0.0);
  EXPECT_EQ(editor.status(), "Undid the last edit.");
  EXPECT_EQ(editor.app->dirty, 0);
  editor.click(editor.app->redo_button);
  EXPECT_EQ(editor.app->project.clips[0].at, 4.0);
  EXPECT_EQ(editor.status(), "Redid the last edit.");
  // Ctrl+Z from the keyboard takes the same road.
  editor.key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(editor.app->project.clips[0].at, 0.0);
  // The status line was drawn: the bar holds text.
  const int32_t H = static_cast<int32_t>(editor.app->client_height);
  int ink = 0;
  for (int x = 6; x < 200; ++x)
    for (int y = H - 20; y < H - 3; ++y) ink += editor.pixel(x, y) != PALETTE_BAR;
  EXPECT_GT(ink, 30);
}

TEST_F(Frame, ClosingAsksOnlyWithUnsavedEdits) {
  {
    RunningEditor editor(dir.path());
    ASSERT_TRUE(editor.started);
    editor.step();
    ASSERT_TRUE(kelvra_history_begin(editor.app));
    editor.app->project.clips[0].at = 1;
    EXPECT_EQ(editor.close_button(), KELVRA_FRAME_NEXT);  // declined: the editor runs on
    EXPECT_EQ(Dialogs::asked, 1);
    Dialogs::answer = true;
    editor.close_button();
    EXPECT_EQ(editor.step(), KELVRA_FRAME_QUIT);
  }
  RunningEditor clean(dir.path());
  ASSERT_TRUE(clean.started);
  clean.close_button();
  EXPECT_EQ(clean.step(), KELVRA_FRAME_QUIT);
  EXPECT_EQ(Dialogs::asked, 2);
}

// Clicks made inside a dialog belong to it: once it is gone they must not
// reach the editor (here one lands where the Save button is).
TEST_F(Frame, ClicksMadeInADialogStayThere) {
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  editor.step();
  Dialogs::window = editor.window_id;
  Dialogs::click_inside = editor.app->save_button;
  editor.click(editor.app->open_button);
  editor.step(3);
  EXPECT_EQ(Dialogs::files_chosen, 1);  // the Open dialog only, no Save dialog after it
  // The editor still takes clicks normally afterwards.
  editor.click(editor.app->tab_buttons[KELVRA_TAB_TEXT]);
  EXPECT_EQ(editor.app->active_tab, KELVRA_TAB_TEXT);
}

TEST_F(Frame, ResizingLaysOutAndRedrawsInTheSamePass) {
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  editor.step();
  const uint64_t drawn = editor.memory.frames_drawn;
  SDL_SetWindowSize(ui_window_sdl(editor.app->window), 900, 700);
  editor.step();
  EXPECT_EQ(editor.app->client_width, 900u);
  EXPECT_EQ(editor.app->layout_height, 700);
  EXPECT_EQ(editor.memory.frames_drawn, drawn + 1);
  const Rect save = editor.app->save_button;
  EXPECT_EQ(save.x + save.width, 900 - 7);
  EXPECT_EQ(button_interior(editor, save), PALETTE_BUTTON);
}

}  // namespace
