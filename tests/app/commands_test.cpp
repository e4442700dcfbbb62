// Open and Save through the (answered) file dialog, the start-up project
// lookup, and the first input routes: close, shortcuts, buttons, library and tabs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/app.h"
#include "app/file_commands.h"
#include "app/history.h"
#include "app/run.h"
#include "app/workspace.h"
#include "editor/editor.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"
#include "test_util.h"

namespace {

using kelvra_test::read_file;
using kelvra_test::TempDir;
using kelvra_test::write_file;

// What the answered dialogs were asked and will answer.
struct Dialogs {
  static inline std::string next_path;
  static inline bool confirm_answer = false;
  static inline std::string asked;
  static inline int file_dialogs = 0;
  static bool confirm(const char* title, const char* text) {
    asked = std::string(title) + ": " + text;
    return confirm_answer;
  }
  static bool choose_file(bool, const char* extension, char* path) {
    ++file_dialogs;
    if (next_path.empty() || std::string(extension) != "pjn") return false;
    std::snprintf(path, 260, "%s", next_path.c_str());
    return true;
  }
};

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Dialogs::confirm, Dialogs::choose_file, nullptr};
    ui_set_dialog_hooks(&hooks);
    Dialogs::next_path.clear();
    Dialogs::confirm_answer = false;
    Dialogs::asked.clear();
    Dialogs::file_dialogs = 0;
    app = kelvra_app_create();
    const UiWindowConfig config = {"Zarnel Kelvra", 1334, 872, 30, 0, 1, 1, 1, 1, 1};
    app->window = ui_window_create(&config);
    ASSERT_NE(app->window, nullptr);
    app->client_width = 1334;
    app->client_height = 872;
    kelvra_layout(app);
    write_file(dir.file("first.pjn"),
               R"({"sources": [{"id": "a", "file": "a.mp4", "title": "A"}, {"id": "b", "file": "b.mp4"}],
                   "clips": [{"sourceId": "a", "out": 2}], "layout": "edit"})");
    write_file(dir.file("broken.pjn"), "{\"sources\": [");
  }
  void TearDown() override {
    ui_window_poll_events();  // take a posted close request, if any
    ui_set_dialog_hooks(nullptr);
    kelvra_history_clear(app);
    kelvra_project_close(&app->project);
    ui_window_destroy(app->window);
    kelvra_app_free(app);
  }
  void open(const std::string& name) {
    Dialogs::next_path = dir.file(name);
    kelvra_open_file(app);
  }
  std::string title() { return SDL_GetWindowTitle(ui_window_sdl(app->window)); }
  void key(uint32_t code, bool ctrl, bool shift = false) {
    UiInput event{};
    event.key = code;
    event.ctrl = ctrl;
    event.shift = shift;
    kelvra_input(app, &event);
  }
  void press(int x, int y) {
    UiInput event{};
    event.pointer = UI_POINTER_PRESS;
    event.x = x;
    event.y = y;
    kelvra_input(app, &event);
  }
  void edit_clip(double at) {
    ASSERT_TRUE(kelvra_history_begin(app));
    app->project.clips[0].at = at;
  }

  TempDir dir;
  KelvraApp* app = nullptr;
};

TEST_F(Commands, OpenResetsTheEditorAroundTheNewProject) {
  app->project_serial = 4;
  app->timeline_playhead = 3;
  open("first.pjn");
  EXPECT_STREQ(app->status, "Project opened.");
  EXPECT_EQ(app->project.source_count, 2u);
  EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_EDIT);
  EXPECT_EQ(app->project_serial, 5u);
  EXPECT_EQ(app->selected_source, 0);
  EXPECT_EQ(app->selected_clip, -1);
  EXPECT_EQ(app->timeline_playhead, 0.0);
  EXPECT_EQ(app->dirty, 0);
  EXPECT_EQ(app->roll.beat_width, 36.0);
  EXPECT_EQ(app->transport_mode, TRANSPORT_SAMPLE);  // the edit layout plays the sample
  EXPECT_EQ(title(), "Zarnel Kelvra: first.pjn (" + dir.path() + "/)");
}

TEST_F(Commands, RefusedOpenKeepsProjectHistoryAndSelection) {
  open("first.pjn");
  edit_clip(5);
  app->selected_clip = 0;
  open("broken.pjn");
  EXPECT_EQ(Dialogs::asked, "Open project: Discard the unsaved project edits?");
  EXPECT_EQ(Dialogs::file_dialogs, 1);  // declined: no dialog, nothing changed, no message
  EXPECT_STREQ(app->status, "Project opened.");

  Dialogs::confirm_answer = true;
  open("broken.pjn");
  EXPECT_STREQ(app->status, "Could not read this Kelvra project.");
  EXPECT_EQ(app->project.source_count, 2u);
  EXPECT_EQ(app->history.undo_count, 1u);
  EXPECT_EQ(app->selected_clip, 0);
  EXPECT_EQ(app->dirty, 1);

  Dialogs::next_path.clear();  // cancelled dialog: nothing at all
  app->status[0] = '\0';
  kelvra_open_file(app);
  EXPECT_STREQ(app->status, "");
}

TEST_F(Commands, SaveWritesTheFileAndTracksTheDirtyMark) {
  open("first.pjn");
  edit_clip(7.5);
  Dialogs::next_path = dir.file("saved.pjn");
  kelvra_save_file(app);
  EXPECT_STREQ(app->status, "Saved the Kelvra project.");
  EXPECT_EQ(app->dirty, 0);
  EXPECT_EQ(app->saved_serial, app->edit_serial);
  EXPECT_NE(read_file(dir.file("saved.pjn")).find("\"at\": 7.5"), std::string::npos);
  EXPECT_NE(read_file(dir.file("saved.pjn")).find("\"layout\": \"edit\""), std::string::npos);
  EXPECT_EQ(title(), "Zarnel Kelvra: saved.pjn (" + dir.path() + "/)");
  kelvra_history_step(app, false);
  EXPECT_EQ(app->dirty, 1);  // undoing past the save

  Dialogs::next_path = dir.file("missing-folder/x.pjn");
  kelvra_save_file(app);
  EXPECT_STREQ(app->status, "The project could not be saved.");
  EXPECT_EQ(app->dirty, 1);
}

TEST_F(Commands, CloseAsksOnlyWithUnsavedEdits) {
  UiInput close{};
  close.close = 1;
  kelvra_input(app, &close);
  EXPECT_EQ(Dialogs::asked, "");
  EXPECT_FALSE(ui_window_poll_events());  // closed at once

  open("first.pjn");
  edit_clip(1);
  key(UI_KEY_A + ('Q' - 'A'), true);
  EXPECT_EQ(Dialogs::asked, "Close project: Discard the unsaved project edits?");
  EXPECT_TRUE(ui_window_poll_events());  // declined: the program keeps running
  Dialogs::confirm_answer = true;
  kelvra_input(app, &close);
  EXPECT_FALSE(ui_window_poll_events());
}

TEST_F(Commands, ShortcutsAndHeaderButtons) {
  open("first.pjn");
  edit_clip(1);
  edit_clip(2);
  key(UI_KEY_A + ('Z' - 'A'), true);
  EXPECT_EQ(app->project.clips[0].at, 1.0);
  key(UI_KEY_A + ('Z' - 'A'), true, true);
  EXPECT_EQ(app->project.clips[0].at, 2.0);
  key(UI_KEY_A + ('Z' - 'A'), false);  // without Ctrl: nothing
  EXPECT_EQ(app->project.clips[0].at, 2.0);
  const int undo_x = app->open_button.x - 64;
  press(undo_x, 7);
  EXPECT_EQ(app->project.clips[0].at, 1.0);
  press(undo_x + 32, 31);  // redo
  EXPECT_EQ(app->project.clips[0].at, 2.0);
  press(undo_x + 30, 20);  // the gap between the two buttons
  EXPECT_EQ(app->project.clips[0].at, 2.0);
  key(UI_KEY_A + ('Y' - 'A'), true);
  EXPECT_EQ(app->project.clips[0].at, 2.0);

  Dialogs::next_path = dir.file("via-ctrl-s.pjn");
  key(UI_KEY_A + ('S' - 'A'), true);
  EXPECT_STREQ(app->status, "Saved the Kelvra project.");
  Dialogs::next_path = dir.file("first.pjn");
  press(app->open_button.x + 1, app->open_button.y + 1);
  EXPECT_STREQ(app->status, "Project opened.");
  Dialogs::next_path = dir.file("via-button.pjn");
  press(app->save_button.x, app->save_button.y);
  EXPECT_EQ(read_file(dir.file("via-button.pjn")).empty(), false);
}

TEST_F(Commands, LibraryCardsAndTabs) {
  open("first.pjn");
  app->active_tab = KELVRA_TAB_RENDER;
  press(50, 67 + 106 + 5);  // the second card
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
  EXPECT_EQ(app->selected_source, 1);
  press(50, 67 + 106 * 5);  // past the last source: only the tab changes
  EXPECT_EQ(app->selected_source, 1);
  const struct {
    int x;
    uint32_t tab;
  } tabs[] = {{250, KELVRA_TAB_SAMPLING}, {251, KELVRA_TAB_TIMELINE}, {359, KELVRA_TAB_TEXT},
              {412, KELVRA_TAB_AUDIO},    {472, KELVRA_TAB_RENDER}};
  for (const auto& t : tabs) {
    press(t.x, 50);
    EXPECT_EQ(app->active_tab, t.tab) << t.x;
  }
  EXPECT_EQ(app->transport_mode, TRANSPORT_SCORE);  // the Audio tab plays the score; Render keeps it
  press(473, 50);
  EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
}

TEST_F(Commands, CursorFollowsTheDragOrTheField) {
  open("first.pjn");
  app->layout_mode = KELVRA_LAYOUT_SPLIT;
  kelvra_layout(app);
  const Rect field = app->clip_name_field;
  EXPECT_EQ(kelvra_cursor_for(app, field.x + 2, field.y + 2), static_cast<uint32_t>(UI_CURSOR_IBEAM));
  const struct {
    uint32_t drag;
    uint32_t cursor;
  } drags[] = {{3, UI_CURSOR_CROSS},   {5, UI_CURSOR_SIZEWE},  {6, UI_CURSOR_SIZEWE}, {4, UI_CURSOR_SIZEALL},
               {7, UI_CURSOR_SIZEALL}, {13, UI_CURSOR_SIZEALL}, {2, UI_CURSOR_ARROW},  {14, UI_CURSOR_ARROW}};
  for (const auto& d : drags) {
    app->drag_kind = d.drag;
    EXPECT_EQ(kelvra_cursor_for(app, 600, 300), d.cursor) << d.drag;
  }
  app->drag_kind = 7;
  EXPECT_EQ(kelvra_cursor_for(app, field.x + 2, field.y + 2), static_cast<uint32_t>(UI_CURSOR_IBEAM));
}

// ---------------------------------------------------------------- start-up

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_media = getenv_or("ZARNELK_MEDIA");
    saved_start = getenv_or("ZARNELK_START_PROJECT");
    setenv("ZARNELK_MEDIA", dir.path().c_str(), 1);
    unsetenv("ZARNELK_START_PROJECT");
    write_file(dir.file("project.json"), R"({"sources": [{"id": "fallback"}]})");
    write_file(dir.file("chosen.pjn"), R"({"sources": [{"id": "chosen"}], "layout": "source"})");
    write_file(dir.file("active.pjn"), R"({"sources": [{"id": "active"}]})");
  }
  void TearDown() override {
    restore("ZARNELK_MEDIA", saved_media);
    restore("ZARNELK_START_PROJECT", saved_start);
  }
  static std::string getenv_or(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(1, '=') + value : "";
  }
  static void restore(const char* name, const std::string& saved) {
    if (saved.empty())
      unsetenv(name);
    else
      setenv(name, saved.c_str() + 1, 1);
  }
  // The identifier of the first source of what start-up opened, or "" for nothing.
  std::string opened() {
    KelvraApp* app = kelvra_app_create();
    kelvra_open_active(app);
    std::string id = app->project.source_count > 0 ? app->project.sources[0].id : "";
    if (id == "chosen") {
      EXPECT_EQ(app->layout_mode, KELVRA_LAYOUT_SOURCE);
    }
    if (!id.empty()) {
      EXPECT_EQ(app->selected_source, 0);
    }
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
    return id;
  }
  TempDir dir;
  std::string saved_media;
  std::string saved_start;
};

TEST_F(StartUp, FindsTheProjectToOpen) {
  EXPECT_EQ(opened(), "fallback");  // neither variable nor ".active-project"
  write_file(dir.file(".active-project"), "active.pjn\r\nignored");
  EXPECT_EQ(opened(), "active");
  setenv("ZARNELK_START_PROJECT", "chosen.pjn", 1);
  EXPECT_EQ(opened(), "chosen");
  setenv("ZARNELK_START_PROJECT", "missing.pjn", 1);
  EXPECT_EQ(opened(), "fallback");  // ".active-project" is not consulted then
  setenv("ZARNELK_START_PROJECT", std::string(260, 'n').c_str(), 1);
  EXPECT_EQ(opened(), "active");  // too long: ignored
  for (const char* bad : {"../chosen.pjn", "sub/chosen.pjn", "c:chosen.pjn", ".."}) {
    setenv("ZARNELK_START_PROJECT", bad, 1);
    EXPECT_EQ(opened(), "fallback") << bad;
  }
  unsetenv("ZARNELK_START_PROJECT");
  std::remove(dir.file("project.json").c_str());
  write_file(dir.file(".active-project"), "broken.pjn\n");
  write_file(dir.file("broken.pjn"), "{");
  EXPECT_EQ(opened(), "");  // nothing opens: the project stays empty
}

}  // namespace
