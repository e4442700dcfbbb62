// The clip-name field as a user drives it: the editor started on a media
// folder, real SDL presses, key presses and text input pushed into its
// offscreen window, one frame per step; then the edit buffer, the clip's
// name, the pending name, the undo history and the drawn pixels checked.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/run.h"
#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/clip_name.h"
#include "editor/history.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;
using kelvra_test::write_file;

struct Dialogs {
  static inline int confirms = 0;
  static inline std::string save_path;
  static bool confirm(const char*, const char*) {
    ++confirms;
    return false;  // the editor stays open
  }
  static bool choose_file(bool, const char*, char* path) {
    std::snprintf(path, KELVRA_PATH_SIZE, "%s", save_path.c_str());
    return true;
  }
};

// One key of a sequence: the key and its modifiers.
struct Key {
  SDL_Keycode sym;
  uint16_t mod = KMOD_NONE;
};

class ClipName : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Dialogs::confirm, Dialogs::choose_file, nullptr};
    ui_set_dialog_hooks(&hooks);
    Dialogs::confirms = 0;
    Dialogs::save_path = dir.file("saved.pjn");
  }
  void TearDown() override {
    editor.reset();
    ui_set_dialog_hooks(nullptr);
  }

 public:
  // Starts the editor on a project with one source and one clip of it named
  // `clip_name`; with `select_clip` that clip is selected, as a press on it in
  // the timeline would leave it. `layout` is the project's stored layout.
  RunningEditor& open(const std::string& clip_name, bool select_clip = true, const char* layout = "split") {
    write_file(dir.file("project.json"),
               R"({"sources": [{"id": "a", "file": "a.mp4", "title": "A"}],
                   "clips": [{"id": "c1", "sourceId": "a", "name": ")" +
                   clip_name + R"(", "out": 2}], "layout": ")" + layout + R"("})");
    editor.reset();
    editor = std::make_unique<RunningEditor>(dir.path(), "project.json");
    EXPECT_TRUE(editor->started);
    EXPECT_EQ(editor->app->project.clip_count, 1u);
    if (select_clip) editor->app->selected_clip = 0;
    editor->step();
    return *editor;
  }

  KelvraApp* app() { return editor->app; }
  const char* clip_name() { return editor->app->project.clips[0].name; }
  Rect field() { return editor->app->clip_name_field; }
  uint32_t step() { return editor->step(); }

  uint32_t click_field() { return editor->click(field()); }
  // The header's search field: a press there starts nothing.
  uint32_t click_elsewhere() { return editor->click(Rect{290, 10, 20, 20}); }
  uint32_t key(SDL_Keycode sym, uint16_t mod = KMOD_NONE) { return editor->key(sym, mod); }

  void push_key(SDL_Keycode sym, uint16_t mod) { kelvra_test::push_key(editor->window_id, sym, mod); }
  void push_text(const char* text) { kelvra_test::push_text(editor->window_id, text); }
  // Types ASCII text key by key: each character is its key press followed by
  // the text input it produces, as a keyboard delivers them.
  uint32_t type(const std::string& text) {
    uint32_t result = KELVRA_FRAME_NEXT;
    for (size_t i = 0; i < text.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const bool upper = std::isupper(c) != 0;
      push_key(static_cast<SDL_Keycode>(upper ? std::tolower(c) : c), upper ? KMOD_LSHIFT : KMOD_NONE);
      const char one[2] = {static_cast<char>(c), '\0'};
      push_text(one);
      if (i % 50 == 49) result = step();  // the window's input queue holds 256 events
    }
    return text.size() % 50 != 0 ? step() : result;
  }
  uint32_t paste(const std::string& clipboard) {
    EXPECT_EQ(SDL_SetClipboardText(clipboard.c_str()), 0);
    return key(SDLK_v, KMOD_LCTRL);
  }
  // Starts editing and ends it with `typed` as the whole text.
  void enter_name(const std::string& typed) {
    click_field();
    if (typed.empty())
      key(SDLK_BACKSPACE);
    else
      type(typed);
    key(SDLK_RETURN);
  }

  // The first column of the text area with a vertical run of ink taller than
  // any lowercase letter: the caret mark. -1 when none is drawn.
  int caret_column() {
    const Rect f = field();
    const uint32_t ground = editor->pixel(f.x + 3, f.y + f.height / 2);
    for (int x = f.x + 5; x < f.x + f.width - 5; ++x) {
      int run = 0;
      for (int y = f.y + 4; y < f.y + f.height - 4; ++y) {
        run = editor->pixel(x, y) != ground ? run + 1 : 0;
        if (run >= 12) return x;
      }
    }
    return -1;
  }
  // The brightest pixel of the text area, by its green channel.
  uint32_t brightest_text() {
    const Rect f = field();
    uint32_t best = 0;
    for (int y = f.y + 1; y < f.y + f.height - 1; ++y) {
      for (int x = f.x + 5; x < f.x + f.width - 5; ++x) {
        const uint32_t p = editor->pixel(x, y);
        if ((p & 0xFF00) > (best & 0xFF00)) best = p;
      }
    }
    return best;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
};

// ------------------------------------------------------------ taking focus

TEST_F(ClipName, AClickSelectsTheWholeNameAndTypingReplacesIt) {
  open("Intro");
  click_field();
  ASSERT_EQ(app()->name_editing, 1);
  EXPECT_STREQ(app()->name_text, "Intro");
  EXPECT_EQ(app()->name_anchor, 0u);
  EXPECT_EQ(app()->name_caret, 5u);

  type("Outro");
  EXPECT_STREQ(app()->name_text, "Outro");
  EXPECT_EQ(app()->name_caret, 5u);
  EXPECT_EQ(app()->name_anchor, 5u);
  EXPECT_STREQ(clip_name(), "Intro");  // nothing is stored before the edit ends

  // A second click while editing selects the whole edited text again.
  key(SDLK_HOME);
  click_field();
  EXPECT_EQ(app()->name_anchor, 0u);
  EXPECT_EQ(app()->name_caret, 5u);
  EXPECT_STREQ(app()->name_text, "Outro");

  key(SDLK_RETURN);
  EXPECT_EQ(app()->name_editing, 0);
  EXPECT_STREQ(clip_name(), "Outro");
  EXPECT_EQ(app()->history.undo_count, 1u);
  EXPECT_EQ(app()->dirty, 1);
  key(SDLK_z, KMOD_LCTRL);  // the rename is one undo step
  EXPECT_STREQ(clip_name(), "Intro");
}

TEST_F(ClipName, OnlyTheLiveFieldTakesTheKeyboard) {
  open("Intro", true, "source");  // the SAMPLE column is hidden
  click_field();
  EXPECT_EQ(app()->name_editing, 0);

  open("Intro");
  editor->click(app()->tab_buttons[KELVRA_TAB_TEXT]);
  ASSERT_EQ(app()->active_tab, KELVRA_TAB_TEXT);
  click_field();
  EXPECT_EQ(app()->name_editing, 0);
  type("x");
  EXPECT_STREQ(clip_name(), "Intro");
}

// ------------------------------------------------------- ending the edit

TEST_F(ClipName, EscapeDiscardsTheEdit) {
  open("Intro");
  click_field();
  type("Gone");
  key(SDLK_ESCAPE);
  EXPECT_EQ(app()->name_editing, 0);
  EXPECT_STREQ(clip_name(), "Intro");
  EXPECT_EQ(app()->history.undo_count, 0u);
  EXPECT_EQ(app()->dirty, 0);
  click_field();  // the discarded text is not offered again
  EXPECT_STREQ(app()->name_text, "Intro");
}

TEST_F(ClipName, EveryWayOfFinishingStoresTheNameInOneStep) {
  struct Row {
    const char* how;
    void (*finish)(ClipName* test);
    uint32_t tab;  // the tab afterwards
  };
  const Row rows[] = {
      {"Enter", [](ClipName* t) { t->key(SDLK_RETURN); }, KELVRA_TAB_SAMPLING},
      {"Tab", [](ClipName* t) { t->key(SDLK_TAB); }, KELVRA_TAB_SAMPLING},
      {"a click on nothing", [](ClipName* t) { t->click_elsewhere(); }, KELVRA_TAB_SAMPLING},
      // The press goes on to what it landed on.
      {"a click on a tab", [](ClipName* t) { t->editor->click(t->app()->tab_buttons[KELVRA_TAB_TEXT]); },
       KELVRA_TAB_TEXT},
      {"Ctrl+S", [](ClipName* t) { t->key(SDLK_s, KMOD_LCTRL); }, KELVRA_TAB_SAMPLING},
      {"the close button", [](ClipName* t) { t->editor->close_button(); }, KELVRA_TAB_SAMPLING},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.how);
    open("Intro");
    click_field();
    type("Outro");
    row.finish(this);
    EXPECT_EQ(app()->name_editing, 0);
    EXPECT_STREQ(clip_name(), "Outro");
    EXPECT_EQ(app()->history.undo_count, 1u);
    EXPECT_EQ(app()->active_tab, row.tab);
  }
  // The save and the close ran after the name was stored.
  EXPECT_NE(kelvra_test::read_file(Dialogs::save_path).find("\"Outro\""), std::string::npos);
  EXPECT_EQ(Dialogs::confirms, 1);  // unsaved edits: the close asked first
}

TEST_F(ClipName, UndoWhileEditingStoresTheNameAndUndoesIt) {
  open("Intro");
  click_field();
  type("Outro");
  key(SDLK_z, KMOD_LCTRL);
  EXPECT_EQ(app()->name_editing, 0);
  EXPECT_STREQ(clip_name(), "Intro");
  EXPECT_EQ(app()->history.redo_count, 1u);
  key(SDLK_y, KMOD_LCTRL);
  EXPECT_STREQ(clip_name(), "Outro");
}

TEST_F(ClipName, StoredNamesLoseOuterSpacesAndAClipKeepsItsName) {
  struct Row {
    bool clip_selected;
    const char* before;  // a name entered first, or null
    const char* typed;
    const char* clip;
    const char* pending;
    uint64_t steps;
  };
  const Row rows[] = {
      {true, nullptr, "  Outro  ", "Outro", "", 1},
      {true, nullptr, "Two  words", "Two  words", "", 1},  // inner spaces stay
      {true, nullptr, "   ", "Intro", "", 0},              // a clip cannot lose its name
      {true, nullptr, "", "Intro", "", 0},
      {true, nullptr, "Intro", "Intro", "", 0},  // the same name again
      {true, nullptr, " Intro ", "Intro", "", 0},
      {true, "Outro", "Outro", "Outro", "", 1},          // entered twice, one step
      {false, nullptr, "  Next  ", "Intro", "Next", 0},  // the next placed clip's name
      {false, "Next", "   ", "Intro", "", 0},            // all spaces empty the pending name
      {false, "Next", "", "Intro", "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.clip_selected ? "clip, " : "pending, ") + "'" + row.typed + "'");
    open("Intro", row.clip_selected);
    if (row.before != nullptr) enter_name(row.before);
    enter_name(row.typed);
    EXPECT_STREQ(clip_name(), row.clip);
    EXPECT_STREQ(app()->pending_clip_name, row.pending);
    EXPECT_EQ(app()->history.undo_count, row.steps);
  }
}

// ------------------------------------------------------ typing and pasting

TEST_F(ClipName, TheNameHoldsAtMost159Bytes) {
  open("Intro", false);
  click_field();
  type(std::string(158, 'a'));
  type("b");
  ASSERT_EQ(std::strlen(app()->name_text), 159u);
  type("c");  // no room
  EXPECT_EQ(std::string(app()->name_text), std::string(158, 'a') + "b");
  EXPECT_EQ(app()->name_caret, 159u);

  for (int i = 0; i < 3; ++i) key(SDLK_BACKSPACE);
  paste("wxyz");  // one byte too many: nothing of it goes in
  EXPECT_EQ(std::string(app()->name_text), std::string(156, 'a'));
  paste("xyz");
  EXPECT_EQ(std::string(app()->name_text), std::string(156, 'a') + "xyz");

  // A paste that replaces the selection counts the selected bytes as free.
  key(SDLK_LEFT, KMOD_LSHIFT);
  key(SDLK_LEFT, KMOD_LSHIFT);
  paste("12");
  EXPECT_EQ(std::string(app()->name_text), std::string(156, 'a') + "x12");
  key(SDLK_RETURN);
  EXPECT_EQ(std::strlen(app()->pending_clip_name), 159u);
}

TEST_F(ClipName, PastedTextIsCutAtALineBreakAndRefusedWhenNotUTF8) {
  struct Row {
    const char* clipboard;
    const char* name;
  };
  const Row rows[] = {
      {"xy", "Introxy"},  // one Ctrl+V pastes once
      {"two\nlines", "Introtwo"},
      {"a\r\nb", "Introa"},
      {"tab\there", "Introtab"},
      {"\nfirst", "Intro"},
      {"ok\xff", "Intro"},        // not UTF-8 at all
      {"ok\xc3", "Intro"},        // a character cut short
      {"\xc0\xaf", "Intro"},      // an overlong form
      {"\xed\xa0\x80", "Intro"},  // a surrogate
      {"", "Intro"},
  };
  open("Intro");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.clipboard);
    click_field();
    key(SDLK_END);
    paste(row.clipboard);
    EXPECT_STREQ(app()->name_text, row.name);
    EXPECT_EQ(app()->name_caret, std::strlen(row.name));
    key(SDLK_ESCAPE);
  }
  click_field();
  paste(std::string(200, 'z'));  // longer than a name can be
  EXPECT_STREQ(app()->name_text, "Intro");
}

TEST_F(ClipName, TheCaretMovesOverWholeCharacters) {
  struct Row {
    const char* what;
    std::vector<Key> keys;
    const char* typed;
    const char* text;
    uint64_t caret;
    uint64_t anchor;
  };
  // "Café": C a f and the two bytes of é.
  const Row rows[] = {
      {"Left over é", {{SDLK_END}, {SDLK_LEFT}}, "", "Café", 3, 3},
      {"Left, Left, Right", {{SDLK_END}, {SDLK_LEFT}, {SDLK_LEFT}, {SDLK_RIGHT}}, "", "Café", 3, 3},
      {"Right over é", {{SDLK_HOME}, {SDLK_RIGHT}, {SDLK_RIGHT}, {SDLK_RIGHT}, {SDLK_RIGHT}}, "", "Café", 5, 5},
      {"Right at the end", {{SDLK_END}, {SDLK_RIGHT}}, "", "Café", 5, 5},
      {"Left at the start", {{SDLK_HOME}, {SDLK_LEFT}}, "", "Café", 0, 0},
      {"Ctrl+Left acts as Left", {{SDLK_END}, {SDLK_LEFT, KMOD_LCTRL}}, "", "Café", 3, 3},
      {"Backspace after é", {{SDLK_END}, {SDLK_BACKSPACE}}, "", "Caf", 3, 3},
      {"Backspace at the start", {{SDLK_HOME}, {SDLK_BACKSPACE}}, "", "Café", 0, 0},
      {"Delete before é", {{SDLK_HOME}, {SDLK_RIGHT}, {SDLK_RIGHT}, {SDLK_RIGHT}, {SDLK_DELETE}}, "", "Caf", 3, 3},
      {"Delete at the end", {{SDLK_END}, {SDLK_DELETE}}, "", "Café", 5, 5},
      {"Shift+Left selects é", {{SDLK_END}, {SDLK_LEFT, KMOD_LSHIFT}}, "", "Café", 3, 5},
      {"Shift+Left twice", {{SDLK_END}, {SDLK_LEFT, KMOD_LSHIFT}, {SDLK_LEFT, KMOD_LSHIFT}}, "", "Café", 2, 5},
      {"Shift+Home", {{SDLK_END}, {SDLK_HOME, KMOD_LSHIFT}}, "", "Café", 0, 5},
      {"Left ends a selection", {{SDLK_END}, {SDLK_LEFT, KMOD_LSHIFT}, {SDLK_LEFT}}, "", "Café", 2, 2},
      {"typing replaces a selection",
       {{SDLK_END}, {SDLK_LEFT, KMOD_LSHIFT}, {SDLK_LEFT, KMOD_LSHIFT}},
       "X",
       "CaX",
       3,
       3},
      {"Shift+Right selects C", {{SDLK_HOME}, {SDLK_RIGHT, KMOD_LSHIFT}}, "", "Café", 1, 0},
      {"Backspace deletes a selection", {{SDLK_HOME}, {SDLK_RIGHT, KMOD_LSHIFT}, {SDLK_BACKSPACE}}, "", "afé", 0, 0},
      {"Delete deletes a selection", {{SDLK_LEFT, KMOD_LSHIFT}, {SDLK_DELETE}}, "", "é", 0, 0},
      {"Ctrl+A selects all", {{SDLK_HOME}, {SDLK_a, KMOD_LCTRL}}, "", "Café", 5, 0},
      {"the click's selection", {{SDLK_BACKSPACE}}, "", "", 0, 0},
      {"typing in the middle", {{SDLK_END}, {SDLK_LEFT}}, "s", "Cafsé", 4, 4},
  };
  open("Café");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    click_field();
    for (const Key& k : row.keys) key(k.sym, k.mod);
    if (row.typed[0] != '\0') type(row.typed);
    EXPECT_STREQ(app()->name_text, row.text);
    EXPECT_EQ(app()->name_caret, row.caret);
    EXPECT_EQ(app()->name_anchor, row.anchor);
    key(SDLK_ESCAPE);
  }
}

TEST_F(ClipName, ShortcutKeysTypeOrDoNothingWhileEditing) {
  open("Intro");
  click_field();
  key(SDLK_END);
  push_key(SDLK_SPACE, KMOD_NONE);  // a real Space: its key press, then its text
  push_text(" ");
  step();
  EXPECT_STREQ(app()->name_text, "Intro ");
  EXPECT_EQ(app()->playing, 0);
  key(SDLK_SPACE, KMOD_LCTRL);  // Ctrl+Space types nothing and plays nothing
  EXPECT_STREQ(app()->name_text, "Intro ");
  EXPECT_EQ(app()->playing, 0);
  EXPECT_EQ(key(SDLK_q, KMOD_LCTRL), KELVRA_FRAME_NEXT);  // no close either
  EXPECT_EQ(step(), KELVRA_FRAME_NEXT);
  EXPECT_EQ(app()->name_editing, 1);
  EXPECT_STREQ(app()->name_text, "Intro ");

  // Once the edit has ended the same Space plays the clip.
  key(SDLK_RETURN);
  push_key(SDLK_SPACE, KMOD_NONE);
  push_text(" ");
  step();
  EXPECT_EQ(app()->playing, 1);
}

// ---------------------------------------------------------------- drawing

TEST_F(ClipName, TheBorderShowsEditingAndTheHighlightASelection) {
  open("Intro");
  const Rect f = field();
  const int middle = f.y + f.height / 2;
  EXPECT_EQ(editor->pixel(f.x, middle), PALETTE_BORDER);
  EXPECT_EQ(editor->pixel(f.x + 1, middle), PALETTE_PICTURE);

  click_field();  // the whole name selected
  EXPECT_EQ(editor->pixel(f.x, middle), PALETTE_SELECTED);
  EXPECT_EQ(editor->pixel(f.x + 3, middle), PALETTE_ACTIVE_BUTTON);
  EXPECT_EQ(editor->pixel(f.x + f.width - 4, f.y + 4), PALETTE_ACTIVE_BUTTON);

  key(SDLK_END);  // no selection left
  EXPECT_EQ(editor->pixel(f.x, middle), PALETTE_SELECTED);
  EXPECT_EQ(editor->pixel(f.x + 3, middle), PALETTE_PICTURE);
  EXPECT_EQ(editor->pixel(f.x + f.width - 4, f.y + 4), PALETTE_PICTURE);

  key(SDLK_RETURN);
  EXPECT_EQ(editor->pixel(f.x, middle), PALETTE_BORDER);
}

TEST_F(ClipName, TheCaretStaysInViewAtTheEndOfALongName) {
  open(std::string(60, 'i'));  // far wider than the field
  const Rect f = field();
  EXPECT_EQ(caret_column(), -1);  // not editing
  click_field();
  EXPECT_EQ(caret_column(), -1);  // a selection shows no caret
  key(SDLK_END);
  const int at_end = caret_column();
  EXPECT_GT(at_end, f.x + 40);  // the name's end precedes it
  EXPECT_LT(at_end, f.x + f.width - 5);
  key(SDLK_HOME);
  const int at_start = caret_column();
  EXPECT_GE(at_start, f.x + 5);
  EXPECT_LT(at_start, f.x + 12);
}

TEST_F(ClipName, AnEmptyNameShowsThePlaceholder) {
  open("Clip name");  // the placeholder's own words as a real name
  EXPECT_EQ(brightest_text(), PALETTE_PRIMARY_TEXT);
  open("Clip name", false);  // no clip and no pending name
  EXPECT_EQ(brightest_text(), PALETTE_SECONDARY_TEXT);
  enter_name("Next");
  EXPECT_NE(brightest_text(), PALETTE_SECONDARY_TEXT);
}

// ------------------------------------------------------ the edit buffer

// Text reaching name_replace from anywhere but the keyboard is checked
// there too: only whole UTF-8 characters go in, and only when they fit.
TEST(ClipNameReplace, InsertsOnlyWholeUTF8ThatFits) {
  struct Row {
    std::string name;
    const char* text;
    std::string result;
  };
  const std::string full(157, 'a');
  const Row rows[] = {
      {"", "\xc3\xa9", "\xc3\xa9"},                  // two bytes
      {"", "\xe2\x82\xac", "\xe2\x82\xac"},          // three
      {"", "\xf0\x9d\x84\x9e", "\xf0\x9d\x84\x9e"},  // four
      {"", "\xef\xbf\xbf", "\xef\xbf\xbf"},
      {"x", "\xc3", "x"},      // cut short
      {"x", "\xa9", "x"},      // a lone continuation byte
      {"x", "\xc1\xbf", "x"},  // overlong
      {"x", "\xe0\x9f\xbf", "x"},
      {"x", "\xf0\x8f\xbf\xbf", "x"},
      {"x", "\xed\xbf\xbf", "x"},      // surrogate
      {"x", "\xf4\x90\x80\x80", "x"},  // past U+10FFFF
      {"x", "\xf5\x80\x80\x80", "x"},
      {"x", "ok\xe2\x82", "x"},
      {"x", "ok\n\xff", "xok"},               // only the part before the break counts
      {full, "\xc3\xa9", full + "\xc3\xa9"},  // 159 bytes: fits
      {full, "\xe2\x82\xac", full},           // 160: dropped whole
  };
  kelvra_test::AppPtr app = kelvra_test::new_app();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::snprintf(app->name_text, sizeof app->name_text, "%s", row.name.c_str());
    app->name_caret = app->name_anchor = row.name.size();
    name_replace(app.get(), row.text);
    EXPECT_EQ(std::string(app->name_text), row.result);
    EXPECT_EQ(app->name_caret, row.result.size());
  }
}

}  // namespace
