// Save As into the media folder makes the saved project the one the next
// start opens; one saved elsewhere leaves ".active-project" as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
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

}  // namespace
