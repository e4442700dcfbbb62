// Crash recovery as a user meets it: copies of unsaved edits appear in the
// state folder while the editor runs, go away on a save or a clean exit, are
// offered at the next start when newer than the project, and survive the
// editor being killed at any moment.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "editor/app.h"
#include "editor/recovery.h"
#include "app/run.h"
#include "base/palette.h"
#include "app_fixture.h"
#include "child_process.h"
#include "editor/piano_roll.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"
#include "project/text_buffer.h"
#include "test_util.h"

extern char** environ;

namespace {

using kelvra_test::read_file;
using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;

constexpr char kProject[] = R"({"title": "Harbour", "layout": "split", "clips": [], "primaryCanvas": "hd"})";

struct Dialogs {
  static inline bool answer = false;
  static inline int asked = 0;
  static inline std::string text;
  static inline std::string suggested;  // what the Save dialog proposed
  static inline std::string save_to;
  static bool confirm(const char* title, const char* message) {
    ++asked;
    text = std::string(title) + ": " + message;
    return answer;
  }
  static bool choose_file(bool, const char*, char* path) {
    suggested = path;
    if (save_to.empty()) return false;
    std::snprintf(path, KELVRA_PATH_SIZE, "%s", save_to.c_str());
    return true;
  }
};

// The project text the editor saves for `project_file` with its tempo set to `bpm`.
std::string text_with_tempo(const std::string& project_file, double bpm) {
  KelvraApp* app = kelvra_app_create();
  std::string text;
  if (kelvra_project_open(&app->project, project_file.c_str())) {
    app->layout_mode = app->project.layout;
    audio_editor_tempo(app, bpm);
    TextBuffer built;
    if (project_build_text(&app->project, app->layout_mode, &built)) text.assign(built.data, built.length);
    text_buffer_free(&built);
  }
  kelvra_history_clear(app);
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
  return text;
}

// The tempo of the project in `path`; 0 when it does not open.
double tempo_of(const std::string& path) {
  auto* project = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  double bpm = 0;
  if (kelvra_project_open(project, path.c_str())) bpm = kelvra_score_bpm(&project->score);
  kelvra_project_close(project);
  std::free(project);
  return bpm;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string full(const std::string& path) {
  char out[KELVRA_PATH_SIZE];
  return sys_full_path(path.c_str(), out) ? out : "";
}

std::string copy_of(const std::string& project_path, const char* suffix = "") {
  char out[KELVRA_PATH_SIZE];
  return kelvra_recovery_path(project_path.c_str(), suffix, out) ? out : "";
}

// Sets a file's modification time `seconds` from now.
void touch(const std::string& path, int seconds) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec += seconds;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Dialogs::confirm, Dialogs::choose_file, nullptr};
    ui_set_dialog_hooks(&hooks);
    Dialogs::answer = false;
    Dialogs::asked = 0;
    Dialogs::text.clear();
    Dialogs::suggested.clear();
    Dialogs::save_to.clear();
    media = std::make_unique<TempDir>();
    project = full(media->file("project.json"));
    write_file(project, kProject);
  }
  void TearDown() override {
    editor.reset();
    ui_set_dialog_hooks(nullptr);
  }

  void start() {
    editor = std::make_unique<RunningEditor>(media->path());
    ASSERT_TRUE(editor->started);
    app = editor->app;
    editor->step();
  }

  // One edit through the window: the Render tab's loudness switch.
  void edit() {
    editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
    const Rect p = app->main_panel;
    editor->click(Rect{p.x + 351, p.y + 7, 150, 25});
    ASSERT_TRUE(app->dirty);
  }

  // The text the editor would save now.
  std::string current_text() {
    TextBuffer built;
    std::string text;
    if (project_build_text(&app->project, app->layout_mode, &built)) text.assign(built.data, built.length);
    text_buffer_free(&built);
    return text;
  }

  // Runs frames until the copy holds the editor's current text; false after about five seconds.
  bool copy_catches_up() {
    const std::string want = current_text();
    for (int i = 0; i < 500; ++i) {
      if (exists(copy_of(project)) && read_file(copy_of(project)) == want) return true;
      editor->step();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<TempDir> media;  // a fresh one for every case
  std::string project;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// With copies after every edit: the copy follows the edits under a name made
// from the project's full path; saving removes it, the Save dialog proposing
// the project's own file; so does a clean exit after discarding the edits.
TEST_F(Recovery, CopiesFollowEditsAndLeaveOnSaveOrExit) {
  ScopedEnv every_edit("ZARNELK_RECOVERY_SECONDS", "0");
  start();
  editor->step(5);
  EXPECT_FALSE(exists(copy_of(project))) << "no copy without edits";
  const std::string copy = copy_of(project);
  EXPECT_EQ(copy.rfind(std::string(std::getenv("XDG_STATE_HOME")) + "/zarnel-kelvra/", 0), 0u) << copy;
  EXPECT_NE(copy.find("%2Fproject.json.pjn"), std::string::npos) << copy;

  edit();
  ASSERT_TRUE(copy_catches_up());
  edit();
  ASSERT_TRUE(copy_catches_up());
  EXPECT_EQ(read_file(project), kProject) << "a copy never touches the project itself";

  Dialogs::save_to = project;
  editor->click(app->save_button);
  EXPECT_EQ(Dialogs::suggested, project);
  EXPECT_FALSE(app->dirty);
  EXPECT_FALSE(exists(copy)) << "a save removes the copy";
  editor->step(5);
  EXPECT_FALSE(exists(copy));

  edit();
  ASSERT_TRUE(copy_catches_up());
  Dialogs::answer = true;  // discard the edits
  editor->close_button();
  EXPECT_EQ(editor->step(), KELVRA_FRAME_QUIT);
  EXPECT_FALSE(exists(copy)) << "a clean exit removes the copy";
}

// At the default interval the first edit is copied at once and the next ones
// wait: a second edit right after does not replace the copy.
TEST_F(Recovery, CopiesNoMoreOftenThanTheInterval) {
  ScopedEnv interval("ZARNELK_RECOVERY_SECONDS", nullptr);
  start();
  edit();
  ASSERT_TRUE(copy_catches_up());
  const std::string first = read_file(copy_of(project));
  edit();
  for (int i = 0; i < 20; ++i) {
    editor->step();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(read_file(copy_of(project)), first);
  EXPECT_NE(current_text(), first);
}

// The start-up question about unsaved edits is asked over the editor already
// drawn in its window, not over an empty one.
KelvraApp* g_starting = nullptr;
uint32_t g_status_bar_when_asked = 0;

bool confirm_seeing_window(const char*, const char*) {
  g_status_bar_when_asked = kelvra_test::painted_pixel(g_starting->painter, 3, static_cast<int>(g_starting->client_height) - 10);
  return false;
}

TEST_F(Recovery, StartUpQuestionIsAskedOverTheDrawnEditor) {
  static const UiDialogHooks hooks = {confirm_seeing_window, nullptr, nullptr};
  ui_set_dialog_hooks(&hooks);
  const std::string copy = copy_of(project);
  std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
  write_file(copy, kProject);
  touch(copy, 60);
  ScopedEnv folder("ZARNELK_MEDIA", media->path().c_str());
  g_starting = kelvra_app_create();
  ASSERT_NE(g_starting, nullptr);
  g_status_bar_when_asked = 0;
  ASSERT_TRUE(kelvra_start(g_starting));
  EXPECT_EQ(g_status_bar_when_asked, PALETTE_BAR);
  kelvra_shutdown(g_starting);
  g_starting = nullptr;
}

// A copy newer than its project is offered once at start-up, naming the
// project and the copy's time. Restoring opens it as unsaved edits of the
// original project; declining sets it aside until the next save; a copy
// older than the project is not offered.
TEST_F(Recovery, StartUpOffersANewerCopy) {
  struct Case {
    const char* what;
    int copy_age;  // seconds from now of the copy's time
    bool answer;
    bool untitled;
  };
  const Case cases[] = {
      {"restored", 60, true, false},
      {"declined", 60, false, false},
      {"older than the project", -60, true, false},
      {"untitled, restored", 60, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (c.untitled) ::unlink(project.c_str());
    const std::string named = c.untitled ? "" : project;
    const std::string copy = copy_of(named);
    std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
    write_file(media->file("base.json"), kProject);
    const std::string edited = text_with_tempo(media->file("base.json"), 97);
    ASSERT_FALSE(edited.empty());
    write_file(copy, edited);
    touch(copy, c.copy_age);
    struct stat copied{};
    ASSERT_EQ(::stat(copy.c_str(), &copied), 0);
    Dialogs::answer = c.answer;
    start();

    if (c.copy_age < 0) {
      EXPECT_EQ(Dialogs::asked, 0);
      EXPECT_EQ(kelvra_score_bpm(&app->project.score), 120);
      EXPECT_TRUE(exists(copy)) << "an older copy is left alone";
      continue;
    }
    EXPECT_EQ(Dialogs::asked, 1);
    EXPECT_NE(Dialogs::text.find(c.untitled ? "an untitled project" : "project.json"), std::string::npos)
        << Dialogs::text;
    char when[32];
    struct tm local{};
    localtime_r(&copied.st_mtim.tv_sec, &local);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_NE(Dialogs::text.find(when), std::string::npos) << Dialogs::text;

    if (!c.answer) {
      EXPECT_EQ(kelvra_score_bpm(&app->project.score), 120);
      EXPECT_FALSE(app->dirty);
      EXPECT_FALSE(exists(copy));
      const std::string aside = copy_of(named, ".declined");
      EXPECT_EQ(read_file(aside), edited) << "declined edits are kept";
      // Until the next save.
      edit();
      Dialogs::save_to = project;
      editor->click(app->save_button);
      EXPECT_FALSE(exists(aside));
      continue;
    }
    EXPECT_EQ(kelvra_score_bpm(&app->project.score), 97);
    EXPECT_TRUE(app->dirty);
    EXPECT_EQ(current_text(), edited);
    EXPECT_EQ(editor->status(), std::string("Restored the unsaved edits from ") + when + ".");
    if (c.untitled) {
      ::unlink(copy.c_str());  // no later editor of this process may find it
      continue;
    }
    EXPECT_NE(std::string(SDL_GetWindowTitle(ui_window_sdl(app->window))).find("project.json"), std::string::npos);
    EXPECT_EQ(read_file(project), kProject) << "restoring saves nothing";
    // Save names the original, and the copy goes once it is saved.
    Dialogs::save_to = project;
    editor->click(app->save_button);
    EXPECT_EQ(Dialogs::suggested, project);
    EXPECT_EQ(tempo_of(project), 97);
    EXPECT_FALSE(exists(copy));
  }
}

// A copy that does not open is reported, set aside, and start-up goes on with
// the project itself and without a question.
TEST_F(Recovery, UnreadableCopyIsSetAside) {
  const char* const contents[] = {"{\"clips\": [", "", "\x89PNG\r\n\x1a\n"};
  for (const char* bad : contents) {
    SCOPED_TRACE(bad);
    TearDown();
    SetUp();
    const std::string copy = copy_of(project);
    std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
    write_file(copy, bad);
    touch(copy, 60);
    start();
    EXPECT_EQ(Dialogs::asked, 0);
    EXPECT_EQ(editor->status(), "The recovery copy of project.json could not be read; it was set aside.");
    EXPECT_FALSE(exists(copy));
    EXPECT_EQ(read_file(copy_of(project, ".corrupt")), bad);
    EXPECT_FALSE(app->dirty);
    EXPECT_EQ(std::string(app->project_path), project);
    editor->step(3);
  }
}

// The editor a killed-editor test runs as a child process: it starts on the
// media folder it is given and raises the tempo one step at a time with the
// wheel until it is killed. A marker file says the first copy is on disk.
TEST(RecoveryChild, EditsUntilKilled) {
  const char* media = std::getenv("KELVRA_RECOVERY_CHILD_MEDIA");
  if (media == nullptr) GTEST_SKIP() << "run as a child process by Recovery.SurvivesKillsAtRandomMoments";
  RunningEditor editor(media);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  editor.click(app->tab_buttons[KELVRA_TAB_AUDIO]);
  RollLayout layout{};
  audio_layout(&layout, app);
  const std::string copy = copy_of(app->project_path);
  for (int k = 0; k < 280; ++k) {
    kelvra_test::push_wheel(editor.window_id, 1, layout.tempo.x + 5, layout.tempo.y + 5);
    editor.step();
    if (k == 0) {
      while (!exists(copy)) editor.step();
      write_file(std::string(media) + "/ready", "");
    }
  }
  for (;;) editor.step();
}

// Kills the editor at random moments while it edits: the copy left behind is
// always a whole project equal to one of the states it passed through, and
// the next start restores exactly that.
TEST_F(Recovery, SurvivesKillsAtRandomMoments) {
  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> delay_ms(0, 1500);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  for (int round = 0; round < 4; ++round) {
    const int delay = delay_ms(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", killed " + std::to_string(delay) + " ms after the first copy");
    TearDown();
    SetUp();
    TempDir state;
    const std::string log = media->file("child.log");
    std::vector<std::string> env_strings = {"KELVRA_RECOVERY_CHILD_MEDIA=" + media->path(),
                                            "KELVRA_RECOVERY_CHILD_STATE=" + state.path(),
                                            "ZARNELK_RECOVERY_SECONDS=0"};
    std::vector<char*> env;
    for (std::string& s : env_strings) env.push_back(s.data());
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "KELVRA_RECOVERY_", 16) != 0 && std::strncmp(*e, "ZARNELK_RECOVERY_", 17) != 0 &&
          std::strncmp(*e, "XDG_STATE_HOME=", 15) != 0)
        env.push_back(*e);
    env.push_back(nullptr);
    std::string filter = "--gtest_filter=RecoveryChild.EditsUntilKilled";
    char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    bool ready = false;
    for (int i = 0; i < 6000 && !ready; ++i) {
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) == child) {
        child = 0;
        break;
      }
      ready = exists(media->file("ready"));
      if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (child != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(ready) << read_file(log);

    std::string copy;
    {
      ScopedEnv home("XDG_STATE_HOME", state.path().c_str());
      copy = copy_of(project);
    }
    const double bpm = tempo_of(copy);
    ASSERT_GT(bpm, 120) << "the copy must open: " << read_file(copy).substr(0, 200);
    EXPECT_LE(bpm, 400);
    RecordProperty("tempo_after_round_" + std::to_string(round), std::to_string(bpm));
    EXPECT_EQ(bpm, static_cast<int>(bpm));
    EXPECT_EQ(read_file(copy), text_with_tempo(project, bpm)) << "the copy is one whole state of the edits";

    ScopedEnv home("XDG_STATE_HOME", state.path().c_str());
    Dialogs::answer = true;
    start();
    EXPECT_EQ(Dialogs::asked, 1);
    EXPECT_EQ(kelvra_score_bpm(&app->project.score), bpm);
    EXPECT_EQ(current_text(), read_file(copy));
    editor.reset();
  }
}

// The editor a termination test runs as a child process: it raises the tempo
// five steps with the wheel (the first step's copy is written at once, the
// later ones would wait for the interval), notes the tempo, then waits for
// the end in the way KELVRA_END_CHILD_HOW names: in the frame loop ("frame"),
// in its own file picker ("picker"), with the desktop's file dialog open
// ("desktop"), or asking whether to discard the edits after the window's
// close button ("question"). "ready" in the media folder says it is waiting.
TEST(RecoveryChild, EditsThenAwaitsTheEnd) {
  const char* media = std::getenv("KELVRA_END_CHILD_MEDIA");
  const char* how_text = std::getenv("KELVRA_END_CHILD_HOW");
  if (media == nullptr || how_text == nullptr) GTEST_SKIP() << "run as a child process by Recovery.TerminationWritesACopyAndEndsAtOnce";
  const std::string how = how_text;
  const std::string ready = std::string(media) + "/ready";
  RunningEditor editor(media);
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  editor.click(app->tab_buttons[KELVRA_TAB_AUDIO]);
  RollLayout layout{};
  audio_layout(&layout, app);
  for (int k = 0; k < 5; ++k) {
    kelvra_test::push_wheel(editor.window_id, 1, layout.tempo.x + 5, layout.tempo.y + 5);
    editor.step();
  }
  ASSERT_TRUE(app->dirty);
  write_file(std::string(media) + "/tempo", std::to_string(kelvra_score_bpm(&app->project.score)));
  static std::string picker_ready;
  picker_ready = ready;
  const auto note_picker = [](void* editor_window, SDL_Event* e) {
    if (e->type == SDL_WINDOWEVENT && e->window.event == SDL_WINDOWEVENT_SHOWN &&
        e->window.windowID != *static_cast<uint32_t*>(editor_window))
      write_file(picker_ready, "");
    return 1;
  };
  SDL_AddEventWatch(note_picker, &editor.window_id);
  uint32_t result = KELVRA_FRAME_NEXT;
  if (how == "frame") write_file(ready, "");
  if (how == "picker" || how == "desktop") result = editor.key(SDLK_s, KMOD_CTRL);
  if (how == "question") result = editor.close_button();
  while (result == KELVRA_FRAME_NEXT) result = editor.step();
  SDL_DelEventWatch(note_picker, &editor.window_id);
  EXPECT_EQ(result, static_cast<uint32_t>(KELVRA_FRAME_ENDED));
}

// SIGTERM or SIGHUP ends the editor within seconds, whatever it is waiting
// on, without asking anything: the unsaved edits are in a whole recovery copy
// (the same text a save would write), a dialog's program is ended with it, and
// the next start offers the copy as after a crash.
TEST_F(Recovery, TerminationWritesACopyAndEndsAtOnce) {
  const struct Case {
    const char* how;
    int signal_number;
  } cases[] = {{"frame", SIGTERM}, {"picker", SIGTERM}, {"desktop", SIGHUP}, {"question", SIGTERM}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    TearDown();
    SetUp();
    TempDir state;
    TempDir bin;  // a stand-in zenity (it also shows SDL's message boxes), or nothing for the own picker
    if (std::string(c.how) != "picker")
      kelvra_test::write_program(bin.path(), "zenity",
                                 "echo $$ > '" + media->file("dialog.pid") + "'\n: > '" + media->file("ready") +
                                     "'\nexec sleep 60\n");
    const std::string log = media->file("child.log");
    const pid_t child = kelvra_test::start_test_child(
        "RecoveryChild.EditsThenAwaitsTheEnd",
        {"KELVRA_END_CHILD_MEDIA=" + media->path(), std::string("KELVRA_END_CHILD_HOW=") + c.how,
         "KELVRA_RECOVERY_CHILD_STATE=" + state.path(), "PATH=" + bin.path()},
        {"KELVRA_", "ZARNELK_RECOVERY_", "XDG_STATE_HOME=", "DISPLAY=", "WAYLAND_DISPLAY="}, log);
    ASSERT_GT(child, 0);
    const bool ready = kelvra_test::wait_for_file(media->file("ready"), child, 120);
    if (ready) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the wait
    ::kill(child, c.signal_number);
    int status = 0;
    const bool ended = kelvra_test::wait_for_exit(child, 10, &status);
    ASSERT_TRUE(ready) << read_file(log);
    ASSERT_TRUE(ended) << "still running 10 s after the signal\n" << read_file(log);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(log);
    const pid_t dialog = std::atoi(read_file(media->file("dialog.pid")).c_str());
    if (dialog > 0) {
      EXPECT_FALSE(kelvra_test::process_runs(dialog)) << "the dialog's program was left running";
    }

    const double bpm = std::atof(read_file(media->file("tempo")).c_str());
    EXPECT_EQ(bpm, 125);
    std::string copy;
    {
      ScopedEnv home("XDG_STATE_HOME", state.path().c_str());
      copy = copy_of(project);
    }
    EXPECT_EQ(read_file(copy), text_with_tempo(project, bpm)) << "the copy holds every edit";
    EXPECT_EQ(read_file(project), kProject);

    ScopedEnv home("XDG_STATE_HOME", state.path().c_str());
    Dialogs::answer = true;
    start();
    EXPECT_EQ(Dialogs::asked, 1);
    EXPECT_EQ(kelvra_score_bpm(&app->project.score), bpm);
    EXPECT_TRUE(app->dirty);
    editor.reset();
  }
}

}  // namespace
