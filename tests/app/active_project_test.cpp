// Save As into the media folder makes the saved project the one the next
// start opens; one saved elsewhere leaves ".active-project" as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app_fixture.h"
#include "app/run.h"
#include "editor/app.h"
#include "editor/piano_roll.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

std::string g_next_path;

bool choose(bool, const char*, char* path) {
  std::snprintf(path, 260, "%s", g_next_path.c_str());
  return true;
}

TEST(ActiveProject, SaveAsInTheMediaFolderIsOpenedAtTheNextStart) {
  TempDir dir;
  TempDir elsewhere;
  kelvra_test::write_file(dir.file("first.pjn"), R"({"sources": [{"id": "a", "file": "a.mp4"}], "title": "First"})");
  kelvra_test::write_file(dir.file(".active-project"), "first.pjn\n");
  static const UiDialogHooks hooks = {nullptr, choose, nullptr};
  ui_set_dialog_hooks(&hooks);
  {
    RunningEditor editor(dir.path());
    ASSERT_TRUE(editor.started);
    editor.step();
    ASSERT_NE(std::string(editor.app->project_path).find("first.pjn"), std::string::npos);
    g_next_path = elsewhere.file("away.pjn");
    editor.key(SDLK_s, KMOD_CTRL);
    EXPECT_EQ(kelvra_test::read_file(dir.file(".active-project")), "first.pjn\n");
    g_next_path = dir.file("second.pjn");
    editor.key(SDLK_s, KMOD_CTRL);
    EXPECT_EQ(editor.status(), "Saved the Kelvra project.");
    EXPECT_EQ(kelvra_test::read_file(dir.file(".active-project")), "second.pjn\n");
  }
  ui_set_dialog_hooks(nullptr);
  RunningEditor again(dir.path());
  ASSERT_TRUE(again.started);
  again.step();
  EXPECT_NE(std::string(again.app->project_path).find("second.pjn"), std::string::npos) << again.app->project_path;
}

uint32_t g_answer = UI_SAVE_QUESTION_CANCEL;
std::string g_asked;
uint32_t answer_save_question(const char* title, const char* text) {
  g_asked = std::string(title) + ": " + text;
  return g_answer;
}

// The close question offers Save beside Discard and Cancel: Cancel keeps the
// window and the edits, Save writes them to the project's file and closes.
TEST(ActiveProject, TheCloseQuestionCanSave) {
  TempDir dir;
  kelvra_test::write_file(dir.file("project.json"), R"({"sources": [{"id": "a", "file": "a.mp4"}], "title": "T"})");
  ui_set_save_question_hook(answer_save_question);
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  editor.step();
  editor.click(editor.app->tab_buttons[KELVRA_TAB_AUDIO]);
  RollLayout layout;
  audio_layout(&layout, editor.app);
  editor.click(layout.metronome);  // one edit
  ASSERT_TRUE(editor.app->dirty);
  g_answer = UI_SAVE_QUESTION_CANCEL;
  EXPECT_EQ(editor.close_button(), KELVRA_FRAME_NEXT);
  EXPECT_EQ(g_asked, "Close project: Discard the unsaved project edits?");
  EXPECT_TRUE(editor.app->dirty);
  EXPECT_EQ(kelvra_test::read_file(dir.file("project.json")).find("\"metronome\": true"), std::string::npos);
  g_answer = UI_SAVE_QUESTION_SAVE;
  const uint32_t closed = editor.close_button();
  const uint32_t next = closed == KELVRA_FRAME_NEXT ? editor.step() : closed;
  EXPECT_NE(next, KELVRA_FRAME_NEXT);
  EXPECT_NE(kelvra_test::read_file(dir.file("project.json")).find("\"metronome\": true"), std::string::npos);
  ui_set_save_question_hook(nullptr);
}

}  // namespace
