// File dialogs as a user meets them. The desktop dialog (here a stand-in
// zenity or kdialog put first on PATH, which answers when the test lets it)
// runs beside the frame loop: the editor keeps drawing, playing and
// collecting exports, takes no input but the window's close, and goes on with
// Open or Save when the answer comes. The editor's own picker, used when
// neither program is installed, saves under the proposed name in the
// project's folder and survives many rounds of opening and cancelling, also
// on a real X server.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/run.h"
#include "app_fixture.h"
#include "child_process.h"
#include "editor/app.h"
#include "editor/file_commands.h"
#include "export_fixture.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"
#include "test_util.h"

namespace {

using kelvra_test::process_runs;
using kelvra_test::read_file;
using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;
using kelvra_test::write_program;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Thirty seconds of the coded source with its sound on one canvas: playback
// goes on for the whole test.
constexpr char kProject[] = R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 3, "mode": "loop", "loops": 10}], "primaryCanvas": "hd", "canvasSizes": ["hd"]})";
constexpr char kOther[] = R"({"title": "Other", "sources": [{"id": "o", "file": "other.mp4"}]})";

struct Answers {
  static inline bool yes = false;  // the answer to every question
  static inline std::string asked;
  static bool confirm(const char* title, const char* text) {
    asked = std::string(title) + ": " + text;
    return yes;
  }
};

// ------------------------------------------------------------ the desktop dialog

// The editor on kProject with stand-in dialog programs first on PATH. A
// stand-in notes its arguments and process id, waits until the test creates
// "go", prints "answer" and exits with "NAME.code" (0 without); after 30 s
// without "go" it gives up as a cancelled dialog.
class DesktopDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Answers::confirm, nullptr, nullptr};
    ui_set_dialog_hooks(&hooks);
    Answers::yes = false;
    Answers::asked.clear();
    media_ = std::make_unique<TempDir>();
    bin_ = std::make_unique<TempDir>();
    talk_ = std::make_unique<TempDir>();
    path_ = std::make_unique<ScopedEnv>("PATH", (bin_->path() + ":/usr/bin:/bin").c_str());
    ASSERT_EQ(::symlink(fixture("coded-with-sound.mp4").c_str(), media_->file("coded-with-sound.mp4").c_str()), 0);
    write_file(media_->file("other.pjn"), kOther);
    for (const char* program : {"zenity", "kdialog"}) {
      const std::string talk = talk_->path() + "/" + program;
      write_program(bin_->path(), program,
                    "printf '%s\\n' \"$@\" > '" + talk + ".args'\n"
                    "echo $$ > '" + talk + ".pid'\n"
                    "i=0\n"
                    "while [ ! -e '" + talk_->file("go") + "' ]; do\n"
                    "  sleep 0.01; i=$((i+1)); [ $i -lt 3000 ] || exit 1\n"
                    "done\n"
                    "cat '" + talk_->file("answer") + "' 2>/dev/null\n"
                    "exit $(cat '" + talk + ".code' 2>/dev/null || echo 0)\n");
    }
    editor = kelvra_test::start_on_project(media_->path(), kProject);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
  }
  void TearDown() override {
    editor.reset();
    path_.reset();
    ui_set_dialog_hooks(nullptr);
  }

  // Lets the stand-ins answer `answer` (nothing when empty).
  void let_answer(const std::string& answer) {
    if (!answer.empty()) write_file(talk_->file("answer"), answer + "\n");
    write_file(talk_->file("go"), "");
  }
  pid_t stand_in(const char* program) { return std::atoi(read_file(talk_->path() + "/" + program + ".pid").c_str()); }
  std::string arguments(const char* program) { return read_file(talk_->path() + "/" + program + ".args"); }

  // Runs frames until the file dialog has answered; false after about ten seconds.
  bool until_answered() {
    for (int i = 0; i < 1000 && app->file_dialog != KELVRA_DIALOG_NONE; ++i) {
      EXPECT_EQ(editor->step(), KELVRA_FRAME_NEXT);
      ui_sleep_ms(10);
    }
    return app->file_dialog == KELVRA_DIALOG_NONE;
  }

  // A real Space: its key press, then its text, then one frame.
  void space() {
    editor->text(" ");
    editor->key(SDLK_SPACE);
  }

  // Whether the stand-in `program` has started (its process id noted).
  bool started(const char* program) {
    for (int i = 0; i < 500 && stand_in(program) == 0; ++i) ui_sleep_ms(10);
    return stand_in(program) != 0;
  }

  // Fresh for every case.
  std::unique_ptr<TempDir> media_;
  std::unique_ptr<TempDir> bin_;
  std::unique_ptr<TempDir> talk_;
  std::unique_ptr<ScopedEnv> path_;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// While zenity is open, frames keep coming: they draw, playback goes on, a
// finished export joins the library, and presses and keys do nothing. The
// answer then saves where it says.
TEST_F(DesktopDialog, FramesGoOnWhileItIsOpen) {
  ASSERT_TRUE(kelvra_test::preview_canvases(editor.get()));
  editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
  editor->click(kelvra_test::render_tab::wav_button(app->main_panel));
  ASSERT_EQ(editor->status(), "WAV mix queued.");
  const uint64_t sources = app->project.source_count;
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  space();
  ASSERT_EQ(app->playing, 1);

  editor->key(SDLK_s, KMOD_CTRL);
  ASSERT_TRUE(started("zenity"));
  const pid_t zenity = stand_in("zenity");
  EXPECT_TRUE(process_runs(zenity)) << "the frame returned while zenity is open";
  const double playhead = app->timeline_playhead;
  const uint64_t drawn = editor->memory.frames_drawn;
  for (int i = 0; i < 3000 && app->project.source_count == sources; ++i) {
    ASSERT_EQ(editor->step(), KELVRA_FRAME_NEXT);
    ui_sleep_ms(10);
  }
  ASSERT_TRUE(process_runs(zenity)) << "the stand-in gave up waiting";
  EXPECT_EQ(app->project.source_count, sources + 1) << "the finished mix joins the library";
  EXPECT_GT(app->timeline_playhead, playhead) << "playback goes on";
  EXPECT_GT(editor->memory.frames_drawn, drawn + 10) << "the window keeps drawing";
  EXPECT_EQ(app->playing, 1);

  // No input but the close: Space does not pause, a tab does not change, Ctrl+O does not open.
  space();
  editor->click(app->tab_buttons[KELVRA_TAB_AUDIO]);
  editor->key(SDLK_o, KMOD_CTRL);
  EXPECT_EQ(app->playing, 1);
  EXPECT_EQ(app->active_tab, KELVRA_TAB_TIMELINE);
  EXPECT_EQ(Answers::asked, "");
  EXPECT_EQ(stand_in("zenity"), zenity) << "no second dialog";

  const std::string saved = media_->file("saved.pjn");
  EXPECT_FALSE(exists(saved));
  let_answer(saved);
  ASSERT_TRUE(until_answered());
  EXPECT_EQ(editor->status(), "Saved the Kelvra project.");
  EXPECT_NE(read_file(saved).find("coded-with-sound.mp4"), std::string::npos);
  EXPECT_FALSE(process_runs(zenity));
  // The dialog was asked for the project's own file, with overwriting confirmed by zenity.
  const std::string args = arguments("zenity");
  EXPECT_NE(args.find("--save\n"), std::string::npos) << args;
  EXPECT_NE(args.find("--filename=" + media_->file("project.json") + "\n"), std::string::npos) << args;
  // Input counts again.
  editor->click(app->tab_buttons[KELVRA_TAB_AUDIO]);
  EXPECT_EQ(app->active_tab, KELVRA_TAB_AUDIO);
}

// The answer goes on with the command that opened the dialog; a cancel does
// nothing; a zenity that cannot show the dialog gives way to kdialog.
TEST_F(DesktopDialog, TheAnswerGoesOnWithTheCommand) {
  const struct Case {
    const char* what;
    bool save;
    const char* zenity_code;  // null: 0
    const char* answer;       // a name in the media folder, or null for none
    const char* status;       // expected afterwards
    const char* answered_by;  // the stand-in that answered
  } cases[] = {
      {"open", false, nullptr, "other.pjn", "Project opened.", "zenity"},
      {"save without an extension", true, nullptr, "copy", "Saved the Kelvra project.", "zenity"},
      {"cancel", false, "1", nullptr, "", "zenity"},
      {"zenity without a display", false, "255", "other.pjn", "Project opened.", "kdialog"},
      // A full path far longer than the 260 bytes of a Windows path.
      {"open from deep folders", false, nullptr,
       "a-folder-with-a-long-name-for-the-shoots-of-the-harbour-at-dawn-and-at-dusk-in-the-second-week-of-march/"
       "another-folder-with-a-long-name-for-the-takes-that-were-kept-after-the-first-cut-of-the-film/"
       "and-a-third-one-for-good-measure-with-more-words/other.pjn",
       "Project opened.", "zenity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (c.zenity_code != nullptr) write_file(talk_->file("zenity.code"), c.zenity_code);
    if (c.answer != nullptr && std::strchr(c.answer, '/') != nullptr) {
      std::filesystem::create_directories(std::filesystem::path(media_->file(c.answer)).parent_path());
      write_file(media_->file(c.answer), kOther);
    }
    kelvra_status(app, "");
    let_answer(c.answer != nullptr ? media_->file(c.answer) : "");
    editor->key(c.save ? SDLK_s : SDLK_o, KMOD_CTRL);
    ASSERT_TRUE(until_answered());
    EXPECT_EQ(editor->status(), c.status);
    EXPECT_TRUE(exists(talk_->path() + "/" + c.answered_by + ".args"));
    if (std::string(c.answered_by) == "kdialog") {
      EXPECT_NE(arguments("kdialog").find("--getopenfilename\n"), std::string::npos) << arguments("kdialog");
    }
    if (c.save) {
      EXPECT_NE(read_file(media_->file("copy.pjn")).find("coded-with-sound.mp4"), std::string::npos);
    }
    if (std::string(c.status) == "Project opened.") {
      EXPECT_STREQ(app->project.sources[0].id, "o");
    }
    if (c.answer == nullptr) {
      EXPECT_STREQ(app->project.sources[0].id, "c");
    }
  }
}

// Closing the window while the dialog is open ends the dialog's program, then
// asks about unsaved edits as always: declined, the editor goes on and can
// open the dialog again; accepted, it closes.
TEST_F(DesktopDialog, ClosingEndsTheDialogThenAsks) {
  editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
  editor->click(kelvra_test::render_tab::loudness_button(app->main_panel));  // an edit
  ASSERT_TRUE(app->dirty);
  for (const bool discard : {false, true}) {
    SCOPED_TRACE(discard ? "discarded" : "kept");
    ::unlink((talk_->path() + "/zenity.pid").c_str());
    Answers::asked.clear();
    Answers::yes = discard;
    editor->key(SDLK_s, KMOD_CTRL);
    ASSERT_TRUE(started("zenity"));
    const pid_t zenity = stand_in("zenity");
    ASSERT_TRUE(process_runs(zenity));
    const uint32_t result = editor->close_button();
    EXPECT_FALSE(process_runs(zenity)) << "the dialog's program ends";
    EXPECT_EQ(Answers::asked, "Close project: Discard the unsaved project edits?");
    if (!discard) {
      EXPECT_EQ(result, KELVRA_FRAME_NEXT);
      EXPECT_EQ(editor->step(), KELVRA_FRAME_NEXT);
      EXPECT_EQ(app->file_dialog, KELVRA_DIALOG_NONE);
      EXPECT_TRUE(app->dirty);
      continue;
    }
    EXPECT_EQ(editor->step(), KELVRA_FRAME_QUIT);
  }
}

// The colour and folder choosers answer through the same poll: zenity's and
// kdialog's colour notations, a folder, and a colour chooser with neither
// program (there is no own colour picker).
TEST_F(DesktopDialog, ColourAndFolderChoosersAnswerThroughThePoll) {
  const struct Case {
    const char* what;
    bool folder;
    const char* zenity_code;  // null: 0
    const char* kdialog_code;
    const char* answer;
    uint32_t state;
    uint32_t rgb;
  } cases[] = {
      {"zenity's rgb()", false, nullptr, nullptr, "rgb(18,52,86)", UI_DIALOG_CHOSEN, 0x123456},
      {"kdialog's #rrggbb", false, "255", nullptr, "#a0b0c0", UI_DIALOG_CHOSEN, 0xa0b0c0},
      {"not a colour", false, nullptr, nullptr, "blue", UI_DIALOG_CANCELLED, 0},
      {"neither program shows it", false, "255", "255", "", UI_DIALOG_CANCELLED, 0},
      {"a folder", true, nullptr, nullptr, "/tmp", UI_DIALOG_CHOSEN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (c.zenity_code != nullptr) write_file(talk_->file("zenity.code"), c.zenity_code);
    if (c.kdialog_code != nullptr) write_file(talk_->file("kdialog.code"), c.kdialog_code);
    let_answer(c.answer);
    UiDialogAnswer answer{};
    uint32_t state = c.folder ? ui_folder_dialog_begin(app->window, &answer)
                              : ui_color_dialog_begin(app->window, 0x102030, &answer);
    for (int i = 0; i < 1000 && state == UI_DIALOG_WAITING; ++i) {
      ui_sleep_ms(10);
      state = ui_dialog_poll(app->window, &answer);
    }
    EXPECT_EQ(state, c.state);
    EXPECT_EQ(ui_dialog_poll(app->window, &answer), static_cast<uint32_t>(UI_DIALOG_IDLE));
    if (c.folder) {
      EXPECT_STREQ(answer.path, "/tmp");
      EXPECT_NE(arguments("zenity").find("--directory\n"), std::string::npos);
    } else if (c.state == UI_DIALOG_CHOSEN) {
      EXPECT_EQ(answer.rgb, c.rgb);
    }
    if (!c.folder) {
      EXPECT_NE(arguments("zenity").find("--color=#102030\n"), std::string::npos) << arguments("zenity");
    }
  }
}

// ------------------------------------------------------------ the own picker

// Drives the editor's own picker the way a user would: when a window other
// than the editor's is shown, the script's events are pushed into its queue.
class PickerScript {
 public:
  enum Kind { KEY, TEXT, CLOSE };
  struct Step {
    Kind kind;
    SDL_Keycode key;
    const char* text;
  };

  explicit PickerScript(uint32_t editor_window) : editor_(editor_window) { SDL_AddEventWatch(watch, this); }
  ~PickerScript() { SDL_DelEventWatch(watch, this); }
  PickerScript(const PickerScript&) = delete;
  PickerScript& operator=(const PickerScript&) = delete;

  std::vector<Step> next;  // what the next picker gets
  int shown = 0;           // pickers shown so far
  uint32_t last = 0;       // the last picker's window

 private:
  static int watch(void* data, SDL_Event* e) {
    auto* self = static_cast<PickerScript*>(data);
    if (e->type != SDL_WINDOWEVENT || e->window.event != SDL_WINDOWEVENT_SHOWN || e->window.windowID == self->editor_)
      return 1;
    ++self->shown;
    self->last = e->window.windowID;
    for (const Step& step : self->next) {
      if (step.kind == KEY) kelvra_test::push_key(self->last, step.key);
      if (step.kind == TEXT) kelvra_test::push_text(self->last, step.text);
      if (step.kind == CLOSE) kelvra_test::push_close(self->last);
    }
    return 1;
  }
  uint32_t editor_;
};

// The editor on a project with neither zenity nor kdialog on PATH.
class OwnPicker : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Answers::confirm, nullptr, nullptr};
    ui_set_dialog_hooks(&hooks);
    Answers::yes = true;
    Answers::asked.clear();
    media_ = std::make_unique<TempDir>();
    empty_bin_ = std::make_unique<TempDir>();
    path_ = std::make_unique<ScopedEnv>("PATH", empty_bin_->path().c_str());
    write_file(media_->file("other.pjn"), kOther);
    write_file(media_->file("zeta.pjn"), kOther);
    editor = kelvra_test::start_on_project(media_->path(), R"({"title": "Harbour", "primaryCanvas": "hd"})");
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    script = std::make_unique<PickerScript>(editor->window_id);
  }
  void TearDown() override {
    script.reset();
    editor.reset();
    path_.reset();
    ui_set_dialog_hooks(nullptr);
  }

  void edit() {
    editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
    editor->click(kelvra_test::render_tab::loudness_button(app->main_panel));
    ASSERT_TRUE(app->dirty);
  }

  // Fresh for every case.
  std::unique_ptr<TempDir> media_;
  std::unique_ptr<TempDir> empty_bin_;
  std::unique_ptr<ScopedEnv> path_;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
  std::unique_ptr<PickerScript> script;
};

// Save proposes the project's own name in the project's folder: Enter saves
// over it. A name typed instead gets the extension; Open takes a chosen row.
TEST_F(OwnPicker, SavesUnderTheProposedNameAndOpensAChosenRow) {
  using S = PickerScript::Step;
  const S enter{PickerScript::KEY, SDLK_RETURN, nullptr};
  std::vector<S> retyped(std::string("project.json").size(), S{PickerScript::KEY, SDLK_BACKSPACE, nullptr});
  retyped.push_back(S{PickerScript::TEXT, 0, "copy"});
  retyped.push_back(enter);
  const struct Case {
    const char* what;
    bool save;
    std::vector<S> steps;
    const char* status;
    const char* written;  // the file the project is then in
    const char* asked;    // the picker does not ask before replacing a file: the editor does
  } cases[] = {
      {"Enter keeps the proposed name", true, {enter}, "Saved the Kelvra project.", "project.json",
       "Save project: A file with this name exists. Replace it?"},
      {"a typed name", true, retyped, "Saved the Kelvra project.", "copy.pjn", ""},
      // Rows: "[ All files ]", "../", other.pjn, zeta.pjn.
      {"Open: the third row", false,
       {S{PickerScript::KEY, SDLK_DOWN, nullptr}, S{PickerScript::KEY, SDLK_DOWN, nullptr}, enter}, "Project opened.",
       "other.pjn", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (c.save) edit();
    script->next = c.steps;
    editor->key(c.save ? SDLK_s : SDLK_o, KMOD_CTRL);
    EXPECT_EQ(script->shown, 1);
    EXPECT_EQ(Answers::asked, c.asked);
    EXPECT_EQ(editor->status(), c.status);
    EXPECT_EQ(std::string(app->project_path), media_->file(c.written));
    if (c.save) {
      EXPECT_FALSE(app->dirty);
      EXPECT_NE(read_file(media_->file(c.written)).find("\"Harbour\""), std::string::npos);
    }
    EXPECT_EQ(SDL_GetWindowFromID(script->last), nullptr) << "the picker's window is gone";
  }
}

// Sixty rounds of opening the picker from the Open and Save buttons and
// dismissing it with Escape or its close button: each leaves no window and no
// file behind, and the editor runs on.
TEST_F(OwnPicker, ManyRoundsOfOpeningAndCancelling) {
  const std::string before = kelvra_test::list_folder(media_->path());
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round % 3 == 2)
      script->next = {{PickerScript::CLOSE, 0, nullptr}};
    else
      script->next = {{PickerScript::KEY, SDLK_ESCAPE, nullptr}};
    ASSERT_EQ(editor->click(round % 2 == 0 ? app->open_button : app->save_button), KELVRA_FRAME_NEXT);
    ASSERT_EQ(script->shown, round + 1);
    EXPECT_EQ(SDL_GetWindowFromID(script->last), nullptr);
    ASSERT_EQ(editor->step(), KELVRA_FRAME_NEXT);
  }
  EXPECT_EQ(editor->status(), "");
  EXPECT_EQ(kelvra_test::list_folder(media_->path()), before);
}

// ------------------------------------------------------------ on an X server

// Xlib and its test extension, found at run time: real key presses and clicks
// as the X server delivers them from a keyboard and a mouse.
struct FakeInput {
  void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  void* xtst = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
  using OpenDisplay = void* (*)(const char*);
  using StringToKeysym = unsigned long (*)(const char*);
  using KeysymToKeycode = unsigned char (*)(void*, unsigned long);
  using Flush = int (*)(void*);
  using FakeKey = int (*)(void*, unsigned, int, unsigned long);
  using FakeButton = int (*)(void*, unsigned, int, unsigned long);
  using FakeMotion = int (*)(void*, int, int, int, unsigned long);
  void* display = nullptr;
  unsigned escape = 0;
  Flush flush = nullptr;
  FakeKey key = nullptr;
  FakeButton button = nullptr;
  FakeMotion motion = nullptr;
  int (*close_display)(void*) = nullptr;

  FakeInput() {
    if (x11 == nullptr || xtst == nullptr) return;
    auto open = reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"));
    auto to_keysym = reinterpret_cast<StringToKeysym>(dlsym(x11, "XStringToKeysym"));
    auto to_keycode = reinterpret_cast<KeysymToKeycode>(dlsym(x11, "XKeysymToKeycode"));
    flush = reinterpret_cast<Flush>(dlsym(x11, "XFlush"));
    close_display = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XCloseDisplay"));
    key = reinterpret_cast<FakeKey>(dlsym(xtst, "XTestFakeKeyEvent"));
    button = reinterpret_cast<FakeButton>(dlsym(xtst, "XTestFakeButtonEvent"));
    motion = reinterpret_cast<FakeMotion>(dlsym(xtst, "XTestFakeMotionEvent"));
    if (open == nullptr || to_keysym == nullptr || to_keycode == nullptr || flush == nullptr || key == nullptr ||
        button == nullptr || motion == nullptr || close_display == nullptr)
      return;
    display = open(nullptr);
    if (display != nullptr) escape = to_keycode(display, to_keysym("Escape"));
  }
  ~FakeInput() {
    if (display != nullptr) close_display(display);
  }
  FakeInput(const FakeInput&) = delete;
  FakeInput& operator=(const FakeInput&) = delete;

  bool usable() const { return display != nullptr && escape != 0; }
  void click(int x, int y) {
    motion(display, -1, x, y, 0);
    button(display, 1, 1, 0);
    button(display, 1, 0, 0);
    flush(display);
  }
  void press_escape() {
    key(display, escape, 1, 0);
    key(display, escape, 0, 0);
    flush(display);
  }
};

// Which picker window is shown, from the events the main thread adds.
std::atomic<uint32_t> g_picker_shown{0};
std::atomic<int> g_frames{0};  // passes of the frame loop
uint32_t g_editor_window = 0;

int follow_picker(void*, SDL_Event* e) {
  if (e->type != SDL_WINDOWEVENT || e->window.windowID == g_editor_window) return 1;
  if (e->window.event == SDL_WINDOWEVENT_SHOWN) g_picker_shown = e->window.windowID;
  if (e->window.event == SDL_WINDOWEVENT_HIDDEN) g_picker_shown = 0;
  return 1;
}

bool wait_until(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Run as a child process on a private X server by OwnPickerOnX.ManyRoundsOnAnXServer:
// the picker opened from the Open and Save buttons and dismissed, with the
// X server's own key presses and clicks when its test extension is there
// (else with events pushed into SDL's queue), while the frame loop runs.
TEST(OwnPickerChild, RoundsOnTheXServer) {
  const char* media = std::getenv("KELVRA_X_PICKER_MEDIA");
  if (media == nullptr) GTEST_SKIP() << "run as a child process by OwnPickerOnX.ManyRoundsOnAnXServer";
  RunningEditor editor(media);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step(3);
  g_editor_window = editor.window_id;
  SDL_AddEventWatch(follow_picker, nullptr);
  int wx = 0;
  int wy = 0;
  SDL_GetWindowPosition(ui_window_sdl(app->window), &wx, &wy);
  const Rect buttons[2] = {app->open_button, app->save_button};

  constexpr int kRounds = 40;
  std::atomic<bool> done{false};
  std::atomic<int> failed_round{-1};
  std::thread user([&] {
    FakeInput input;
    std::printf("input: %s\n", input.usable() ? "X test extension" : "pushed SDL events");
    for (int round = 0; round < kRounds && failed_round < 0; ++round) {
      const Rect b = buttons[round % 2];
      if (input.usable()) {
        input.click(wx + b.x + b.width / 2, wy + b.y + b.height / 2);
      } else {
        kelvra_test::push_button(g_editor_window, SDL_BUTTON_LEFT, true, b.x + 5, b.y + 5);
        kelvra_test::push_button(g_editor_window, SDL_BUTTON_LEFT, false, b.x + 5, b.y + 5);
      }
      if (!wait_until([] { return g_picker_shown != 0; })) {
        std::printf("round %d: the picker did not open\n", round);
        failed_round = round;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(60 + round * 37 % 250));
      if (round % 4 == 3)
        kelvra_test::push_close(g_picker_shown);
      else if (input.usable())
        input.press_escape();
      else
        kelvra_test::push_key(g_picker_shown, SDLK_ESCAPE);
      if (!wait_until([] { return g_picker_shown == 0; })) {
        std::printf("round %d: the picker did not close\n", round);
        failed_round = round;
        break;
      }
      // Pointer events that come while a picker closes belong to it; the next click waits for the editor's frames.
      const int frames = g_frames;
      wait_until([frames] { return g_frames >= frames + 2; });
    }
    done = true;
  });
  while (!done) {
    if (editor.step() != KELVRA_FRAME_NEXT) break;
    ++g_frames;
  }
  user.join();
  SDL_DelEventWatch(follow_picker, nullptr);
  EXPECT_EQ(failed_round, -1) << "the picker did not open or close in that round";
  EXPECT_EQ(editor.step(), KELVRA_FRAME_NEXT);
  EXPECT_EQ(editor.status(), "");
}

// The X server the test starts: Xvfb picks a free display and says which.
class PrivateXServer {
 public:
  PrivateXServer() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1000x24", "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const bool spawned =
        posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!spawned) pid_ = 0;
    char number[16] = "";
    pollfd ready{fds[0], POLLIN, 0};
    if (spawned && ::poll(&ready, 1, 20000) == 1) {
      const ssize_t got = ::read(fds[0], number, sizeof number - 1);
      if (got > 0) number[got] = '\0';
    }
    ::close(fds[0]);
    const int display = std::atoi(number);
    if (number[0] >= '0' && number[0] <= '9') display_ = ":" + std::to_string(display);
  }
  ~PrivateXServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

bool xvfb_installed() {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = folders.find(':', start);
    const std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!folder.empty() && ::access((folder + "/Xvfb").c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// The own picker on a real X server, where closing its window used to race
// SDL's wake-up message to it: forty rounds end without an X error.
TEST(OwnPickerOnX, ManyRoundsOnAnXServer) {
  if (!xvfb_installed()) GTEST_SKIP() << "Xvfb is not installed";
  PrivateXServer server;
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
  TempDir media;
  TempDir empty_bin;
  const std::string log = media.file("child.log");
  const pid_t child = kelvra_test::start_test_child(
      "OwnPickerChild.RoundsOnTheXServer",
      {"KELVRA_X_PICKER_MEDIA=" + media.path(), "DISPLAY=" + server.display(), "SDL_VIDEODRIVER=x11",
       "PATH=" + empty_bin.path()},
      {"WAYLAND_DISPLAY=", "XAUTHORITY="}, log);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_TRUE(kelvra_test::wait_for_exit(child, 240, &status)) << read_file(log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(log);
  EXPECT_NE(read_file(log).find("[  PASSED  ] 1 test"), std::string::npos) << read_file(log);
}

}  // namespace
