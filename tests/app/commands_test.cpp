// Open and Save through the (answered) file dialog, the start-up project
// lookup, and the first input routes: close, shortcuts, buttons, library and tabs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>
#include <string>

#include "app/run.h"
#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/file_commands.h"
#include "editor/history.h"
#include "editor/workspace.h"
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
    owner = kelvra_test::app_of_size(1334, 872);
    app = owner.get();
    const UiWindowConfig config = {"Zarnel Kelvra", 1334, 872, 30, 0, 1, 1, 1, 1, 1};
    app->window = ui_window_create(&config);
    ASSERT_NE(app->window, nullptr);
    write_file(dir.file("first.pjn"),
               R"({"sources": [{"id": "a", "file": "a.mp4", "title": "A"}, {"id": "b", "file": "b.mp4"}],
                   "clips": [{"sourceId": "a", "out": 2}], "layout": "edit"})");
    write_file(dir.file("broken.pjn"), "{\"sources\": [");
  }
  void TearDown() override {
    ui_window_poll_events();  // take a posted close request, if any
    ui_set_dialog_hooks(nullptr);
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

  void press(Rect rect) { press(rect.x, rect.y); }

  TempDir dir;
  kelvra_test::AppPtr owner;
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
  const Rect undo = app->undo_button;
  const Rect redo = app->redo_button;
  press(undo);
  EXPECT_EQ(app->project.clips[0].at, 1.0);
  press(redo.x + redo.width - 1, redo.y + redo.height - 1);
  EXPECT_EQ(app->project.clips[0].at, 2.0);
  press(undo.x + undo.width, undo.y + 5);  // the gap between the two buttons
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

TEST_F(Commands, LibraryRowsAndTabs) {
  open("first.pjn");
  app->active_tab = KELVRA_TAB_RENDER;
  const Rect rows = app->library_rows;
  press(rows.x + 50, rows.y + 106 + 5);  // the second row
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
  EXPECT_EQ(app->selected_source, 1);
  press(rows.x + 50, rows.y + 106 * 4);  // past the last source: only the tab changes
  EXPECT_EQ(app->selected_source, 1);
  // Each tab takes presses from its first to its last pixel.
  for (uint32_t tab : {KELVRA_TAB_TIMELINE, KELVRA_TAB_AUDIO, KELVRA_TAB_SAMPLING, KELVRA_TAB_RENDER, KELVRA_TAB_TEXT}) {
    const Rect r = app->tab_buttons[tab];
    press(r.x, r.y);
    EXPECT_EQ(app->active_tab, tab);
    app->active_tab = tab == KELVRA_TAB_SAMPLING ? KELVRA_TAB_TEXT : KELVRA_TAB_SAMPLING;
    press(r.x + r.width - 1, r.y + r.height - 1);
    EXPECT_EQ(app->active_tab, tab);
  }
  press(app->tab_buttons[KELVRA_TAB_AUDIO]);
  EXPECT_EQ(app->transport_mode, TRANSPORT_SCORE);  // the Audio tab plays the score
  const Rect last = app->tab_buttons[KELVRA_TAB_RENDER];
  press(last.x + last.width, last.y);  // just past the strip
  EXPECT_EQ(app->active_tab, KELVRA_TAB_AUDIO);
}

TEST_F(Commands, TextCursorOverTheNameFieldOnly) {
  open("first.pjn");
  app->layout_mode = KELVRA_LAYOUT_SPLIT;
  kelvra_layout(app);
  const Rect field = app->clip_name_field;
  EXPECT_EQ(kelvra_cursor_for(app, field.x, field.y), static_cast<uint32_t>(UI_CURSOR_IBEAM));
  app->drag_kind = KELVRA_DRAG_CLIP_MOVE;  // even during a drag
  EXPECT_EQ(kelvra_cursor_for(app, field.x, field.y), static_cast<uint32_t>(UI_CURSOR_IBEAM));
  app->drag_kind = KELVRA_DRAG_NONE;
  EXPECT_EQ(kelvra_cursor_for(app, field.x - 1, field.y), static_cast<uint32_t>(UI_CURSOR_ARROW));
  app->layout_mode = KELVRA_LAYOUT_SOURCE;  // the field is not shown
  EXPECT_EQ(kelvra_cursor_for(app, field.x, field.y), static_cast<uint32_t>(UI_CURSOR_ARROW));
}

// ---------------------------------------------------------------- start-up

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir.file("project.json"), R"({"sources": [{"id": "fallback"}]})");
    write_file(dir.file("chosen.pjn"), R"({"sources": [{"id": "chosen"}], "layout": "source"})");
    write_file(dir.file("active.pjn"), R"({"sources": [{"id": "active"}]})");
    write_file(dir.file("broken.pjn"), "{");
    ASSERT_EQ(::mkfifo(dir.file("pipe.pjn").c_str(), 0600), 0);
  }
  // The identifier of the first source of what start-up opened, or "" for
  // nothing. A start-up that waits on something fails the test instead of
  // hanging it: the FIFO gets a writer, which lets any open of it go on.
  std::string opened() {
    auto run = std::async(std::launch::async, [] {
      KelvraApp* app = kelvra_app_create();
      kelvra_open_active(app);
      std::string id = app->project.source_count > 0 ? app->project.sources[0].id : "";
      const bool layout_ok = id != "chosen" || app->layout_mode == KELVRA_LAYOUT_SOURCE;
      const bool selected = id.empty() || app->selected_source == 0;
      kelvra_project_close(&app->project);
      kelvra_app_free(app);
      return layout_ok && selected ? id : "<not set up>";
    });
    if (run.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "start-up waited on a FIFO";
      const int writer = ::open(dir.file("pipe.pjn").c_str(), O_RDWR);
      ::close(writer);
      const int active = ::open(dir.file(".active-project").c_str(), O_RDWR | O_NONBLOCK);
      ::close(active);
    }
    return run.get();
  }
  TempDir dir;
  kelvra_test::ScopedEnv media{"ZARNELK_MEDIA", dir.path().c_str()};
  kelvra_test::ScopedEnv start{"ZARNELK_START_PROJECT", nullptr};
};

TEST_F(StartUp, FindsTheProjectToOpen) {
  enum Active { NONE, FILE_ACTIVE, FILE_BROKEN, FILE_PIPE, FIFO };
  const struct {
    const char* start;  // ZARNELK_START_PROJECT, null when unset
    Active active;      // what ".active-project" is
    bool fallback;      // "project.json" exists
    const char* expected;
  } cases[] = {
      {nullptr, NONE, true, "fallback"},              // neither variable nor ".active-project"
      {nullptr, FILE_ACTIVE, true, "active"},         // its first line, cut at the line end
      {"chosen.pjn", FILE_ACTIVE, true, "chosen"},    // the variable comes first
      {"missing.pjn", FILE_ACTIVE, true, "fallback"},  // ".active-project" is not consulted then
      {"", FILE_ACTIVE, true, "fallback"},
      {"../chosen.pjn", NONE, true, "fallback"},
      {"sub/chosen.pjn", NONE, true, "fallback"},
      {"c:chosen.pjn", NONE, true, "fallback"},
      {"..", NONE, true, "fallback"},
      {nullptr, FILE_BROKEN, false, ""},               // nothing opens: the project stays empty
      {nullptr, NONE, false, ""},
      {"pipe.pjn", FILE_ACTIVE, true, "fallback"},     // a FIFO is not a project
      {nullptr, FILE_PIPE, true, "fallback"},
      {nullptr, FIFO, true, "fallback"},               // nor a FIFO as ".active-project"
  };
  const std::string too_long(260, 'n');
  for (const auto& c : cases) {
    std::remove(dir.file(".active-project").c_str());
    if (c.active == FILE_ACTIVE) write_file(dir.file(".active-project"), "active.pjn\r\nignored");
    if (c.active == FILE_BROKEN) write_file(dir.file(".active-project"), "broken.pjn\n");
    if (c.active == FILE_PIPE) write_file(dir.file(".active-project"), "pipe.pjn");
    if (c.active == FIFO) {
      ASSERT_EQ(::mkfifo(dir.file(".active-project").c_str(), 0600), 0);
    }
    if (c.fallback)
      write_file(dir.file("project.json"), R"({"sources": [{"id": "fallback"}]})");
    else
      std::remove(dir.file("project.json").c_str());
    kelvra_test::ScopedEnv variable("ZARNELK_START_PROJECT", c.start);
    EXPECT_EQ(opened(), c.expected) << (c.start != nullptr ? c.start : "(unset)") << " " << c.active;
  }
  std::remove(dir.file(".active-project").c_str());
  write_file(dir.file(".active-project"), "active.pjn\n");
  kelvra_test::ScopedEnv variable("ZARNELK_START_PROJECT", too_long.c_str());
  EXPECT_EQ(opened(), "active");  // a name of 260 characters or more is ignored
}

// A media folder that cannot be used starts the editor on an empty project
// with the status line naming the folder and what is wrong with it; a usable
// one starts without a word.
TEST_F(StartUp, ABadMediaFolderIsNamedOnTheStatusLine) {
  ASSERT_EQ(::mkdir(dir.file("closed").c_str(), 0), 0);
  kelvra_test::ScopedEnv home("HOME", dir.path().c_str());
  const struct {
    std::string folder;  // ZARNELK_MEDIA
    std::string status;
  } cases[] = {
      {dir.path(), ""},
      {dir.file("project.json"), "The media folder " + dir.file("project.json") + " is not a folder. Nothing was opened."},
      {dir.file("missing"), "The media folder " + dir.file("missing") + " does not exist. Nothing was opened."},
      {dir.file("project.json/sub"),
       "The media folder " + dir.file("project.json/sub") + " does not exist. Nothing was opened."},
      // The default folder of a fresh account is made, as on a first run.
      {"", "Made the media folder " + dir.file("Videos/Zarnel") +
               ". To bring media in, copy videos and sounds there and list them under \"sources\" in a project file "
               "(man kelvra)."},
      {dir.file("closed"), "The media folder " + dir.file("closed") + " cannot be read. Nothing was opened."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    if (c.folder == dir.file("closed") && ::access(c.folder.c_str(), R_OK) == 0) continue;  // the superuser reads it
    kelvra_test::RunningEditor editor(c.folder);
    ASSERT_TRUE(editor.started);
    editor.step();
    EXPECT_EQ(editor.status(), c.status);
    EXPECT_EQ(editor.app->project.source_count, c.status.empty() ? 1u : 0u);
    std::filesystem::remove_all(dir.file("Videos"));
  }
}

TEST_F(StartUp, RemovesTemporaryFilesOfKilledSavesOlderThanAnHour) {
  for (const char* name : {"zkeOld123", "zkeNew123", "zkeOld12", "zke-old-1", "notzke123"}) {
    write_file(dir.file(name), "partial");
    if (std::string(name) != "zkeNew123") {
      const struct timespec old[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), old, 0), 0);
    }
  }
  ::mkdir(dir.file("zkeDir123").c_str(), 0755);  // not a file: kept
  opened();
  EXPECT_EQ(kelvra_test::list_folder(dir.path()),
            "active.pjn;broken.pjn;chosen.pjn;notzke123;pipe.pjn;project.json;zke-old-1;zkeDir123;zkeNew123;zkeOld12;");
}

}  // namespace
