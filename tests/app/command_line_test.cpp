// The editor's command line and its first folder: `kelvra PATH.pjn` opens
// that project on its folder, --help and --version answer without a display,
// bad paths are told on standard error and the status line while the editor
// still starts, and an account without a media folder gets one made.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app_fixture.h"

extern char** environ;

namespace {

using kelvra_test::read_file;
using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;

// What `kelvra ARGS` did before its window: the result and what it wrote.
struct Parsed {
  int result;
  std::string out;
  std::string err;
};

std::string drain(FILE* file) {
  std::rewind(file);
  std::string text;
  char chunk[512];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

Parsed parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"kelvra"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  Parsed parsed{};
  parsed.result = kelvra_command_line(static_cast<int>(argv.size()), argv.data(), out, err);
  parsed.out = drain(out);
  parsed.err = drain(err);
  return parsed;
}

// The editor started the way main starts it after the arguments: ZARNELK_MEDIA
// is `media` ("" counts as unset) until the start sets it from the command line.
std::unique_ptr<RunningEditor> start_editor(const std::string& media = "") {
  auto editor = std::make_unique<RunningEditor>(media);
  if (!editor->started) return nullptr;
  editor->step();
  return editor;
}

std::string window_title(const RunningEditor& editor) { return SDL_GetWindowTitle(ui_window_sdl(editor.app->window)); }

const char kHoliday[] = R"({"schemaVersion": 1, "title": "Holiday", "sources": [{"id": "sea", "file": "sea.wav"}]})";
const char kOther[] = R"({"schemaVersion": 1, "sources": [{"id": "other"}]})";

// ------------------------------------------------------------ the program

// The real program, run without any display, its output kept.
struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

ProgramRun run_editor(const std::vector<std::string>& args, const std::string& logs) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
        entry.starts_with("SDL_VIDEODRIVER="))
      continue;
    env_strings.push_back(entry);
  }
  std::vector<char*> env;
  for (std::string& entry : env_strings) env.push_back(entry.data());
  env.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(KELVRA_EDITOR)};
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string out = logs + "/out";
  const std::string err = logs + "/err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ProgramRun run{-1, "", ""};
  if (posix_spawn(&pid, KELVRA_EDITOR, &actions, nullptr, argv.data(), env.data()) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = read_file(out);
  run.err = read_file(err);
  return run;
}

// Help and version answer on standard output with nothing else, wrong
// arguments say what is wrong, and a bad project is told before the editor
// finds it has no display.
TEST(CommandLine, TheProgramAnswersWithoutADisplay) {
  TempDir logs;
  const std::string missing = logs.file("missing.pjn");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;  // what standard output begins with
    std::vector<std::string> err;  // what standard error holds, in order
  } cases[] = {
      {{"--help"}, 0, "Usage: kelvra [PROJECT.pjn]\n       kelvra --help | --version\n", {}},
      {{"-h"}, 0, "Usage: kelvra [PROJECT.pjn]\n", {}},
      {{"--version"}, 0, "kelvra " KELVRA_VERSION "\n", {}},
      {{missing, "--help"}, 0, "Usage: kelvra", {}},
      {{"--frobnicate"}, 2, "", {"kelvra: unknown option: --frobnicate\nTry 'kelvra --help'.\n"}},
      {{"a.pjn", "b.pjn"}, 2, "", {"kelvra: more than one project: b.pjn\n"}},
      {{missing}, 1, "", {"kelvra: Could not open " + missing + ": there is no such file.\n", "kelvra: no display"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ProgramRun run = run_editor(c.args, logs.path());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(run.out.starts_with(c.out)) << run.out;
    if (c.err.empty()) {
      EXPECT_EQ(run.err, "");
    }
    size_t at = 0;
    for (const std::string& part : c.err) {
      at = run.err.find(part, at);
      EXPECT_NE(at, std::string::npos) << "'" << part << "' in: " << run.err;
    }
  }
  EXPECT_EQ(run_editor({"--version"}, logs.path()).out, std::string("kelvra ") + kelvra_version() + "\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// ---------------------------------------------------------- a project by path

// The project named on the command line opens, however its path is written,
// and its folder becomes the media folder: its sources are found there, ahead
// of ZARNELK_MEDIA and of what that folder's .active-project names.
TEST(CommandLine, OpensTheProjectByPathOnItsFolder) {
  TempDir top;
  const std::string folder = top.file("Holiday Films");
  std::filesystem::create_directories(folder + "/sub");
  write_file(folder + "/holiday.pjn", kHoliday);
  write_file(folder + "/sea.wav", "RIFF");
  write_file(folder + "/project.json", kOther);
  write_file(folder + "/.active-project", "project.json\n");
  TempDir elsewhere;
  write_file(elsewhere.file("project.json"), kOther);
  std::filesystem::create_symlink(folder, top.file("link"));

  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(top.path());
  const char* const ways[] = {"absolute", "Holiday Films/holiday.pjn", "./Holiday Films/sub/../holiday.pjn",
                              "link/holiday.pjn"};
  for (const char* way : ways) {
    const std::string given = std::string(way) == "absolute" ? folder + "/holiday.pjn" : way;
    SCOPED_TRACE(given);
    const Parsed parsed = parse({given});
    ASSERT_EQ(parsed.result, KELVRA_COMMAND_LINE_START);
    EXPECT_EQ(parsed.err, "");
    ScopedEnv start("ZARNELK_START_PROJECT", nullptr);
    auto editor = start_editor(elsewhere.path());
    ASSERT_NE(editor, nullptr);
    KelvraApp* app = editor->app;
    EXPECT_EQ(std::string(app->media_folder), folder);
    EXPECT_EQ(std::string(app->project_path), folder + "/holiday.pjn");
    ASSERT_EQ(app->project.source_count, 1u);
    EXPECT_STREQ(app->project.sources[0].id, "sea");
    EXPECT_FALSE(app->source_missing[0]) << "the source is read from the project's folder";
    EXPECT_EQ(window_title(*editor), "Zarnel Kelvra: holiday.pjn (" + folder + "/)");
    EXPECT_EQ(editor->status(), "");
    EXPECT_EQ(editor->step(3), KELVRA_FRAME_NEXT);
  }
  std::filesystem::current_path(cwd);

  // The next start without arguments is the ordinary one again.
  parse({});
  auto editor = start_editor(elsewhere.path());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(std::string(editor->app->project_path), elsewhere.file("project.json"));
}

// A file that is missing, a folder, a file that is no project, or one that
// cannot be read: standard error and then the status line say which and why,
// and the editor starts as it would without it, on the project of its media
// folder.
TEST(CommandLine, BadInputIsToldAndTheEditorStartsAnyway) {
  TempDir media;
  write_file(media.file("project.json"), kOther);
  TempDir given;
  std::filesystem::create_directories(given.file("Clips"));
  write_file(given.file("notes.txt"), "shopping list\n");
  write_file(given.file("empty.pjn"), "");
  write_file(given.file("newer.pjn"), R"({"schemaVersion": 2, "sources": []})");
  write_file(given.file("broken.pjn"), R"({"schemaVersion": 1, "sources": [)");
  ASSERT_EQ(::mkfifo(given.file("pipe.pjn").c_str(), 0600), 0);
  const struct {
    std::string path;
    const char* shown;
    const char* reason;
  } cases[] = {
      {given.file("gone.pjn"), "gone.pjn", "there is no such file"},
      {given.file("gone/holiday.pjn"), "holiday.pjn", "there is no such file"},
      {given.file("notes.txt/holiday.pjn"), "holiday.pjn", "there is no such file"},
      {given.file("Clips"), "Clips", "it is a folder, not a project file"},
      {given.file("Clips/"), "Clips", "it is a folder, not a project file"},
      {given.file("notes.txt"), "notes.txt", "it is not a Kelvra project this version can read"},
      {given.file("empty.pjn"), "empty.pjn", "it is not a Kelvra project this version can read"},
      {given.file("newer.pjn"), "newer.pjn", "it is not a Kelvra project this version can read"},
      {given.file("broken.pjn"), "broken.pjn", "it is not a Kelvra project this version can read"},
      {given.file("pipe.pjn"), "pipe.pjn", "it is not a regular file"},
      {"", "", "there is no such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Parsed parsed = parse({c.path});
    ASSERT_EQ(parsed.result, KELVRA_COMMAND_LINE_START);
    EXPECT_EQ(parsed.err, "kelvra: Could not open " + c.path + ": " + c.reason + ".\n");
    auto editor = start_editor(media.path());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->status(), std::string("Could not open ") + c.shown + ": " + c.reason + ".");
    EXPECT_EQ(std::string(editor->app->project_path), media.file("project.json"));
    EXPECT_EQ(std::string(editor->app->media_folder), media.path());
    EXPECT_EQ(editor->step(2), KELVRA_FRAME_NEXT);
  }
  EXPECT_EQ(kelvra_test::list_folder(given.path()), "Clips;broken.pjn;empty.pjn;newer.pjn;notes.txt;pipe.pjn;");
}

// The project in a read-only folder opens, and the note says what cannot
// happen there. A child process checks it in a folder mounted read-only when
// this runs as root (for whom permission bits do not hold).
void expect_read_only_start(const std::string& folder) {
  const std::string project = folder + "/holiday.pjn";
  const Parsed parsed = parse({project});
  ASSERT_EQ(parsed.result, KELVRA_COMMAND_LINE_START);
  EXPECT_EQ(parsed.err, "kelvra: " + project +
                            " is in a read-only folder: its edits and exports cannot be written there; Save can keep "
                            "the project in another folder.\n");
  ScopedEnv start("ZARNELK_START_PROJECT", nullptr);
  auto editor = start_editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(std::string(editor->app->project_path), project);
  EXPECT_EQ(std::string(editor->app->media_folder), folder);
  EXPECT_FALSE(editor->app->source_missing[0]);
  EXPECT_EQ(editor->status(),
            "holiday.pjn is in a read-only folder: its edits and exports cannot be written there; Save can keep the "
            "project in another folder.");
  EXPECT_EQ(editor->step(2), KELVRA_FRAME_NEXT);
}

TEST(CommandLineChild, ReadOnlyFolder) {
  const char* folder = std::getenv("KELVRA_READ_ONLY_CHILD_FOLDER");
  if (folder == nullptr) GTEST_SKIP() << "run as a child process by CommandLine.OpensAProjectInAReadOnlyFolder";
  ASSERT_NE(::access(folder, W_OK), 0) << "the folder is writable";
  expect_read_only_start(folder);
}

TEST(CommandLine, OpensAProjectInAReadOnlyFolder) {
  TempDir top;
  const std::string folder = top.file("Archive");
  std::filesystem::create_directories(folder);
  write_file(folder + "/holiday.pjn", kHoliday);
  write_file(folder + "/sea.wav", "RIFF");
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    expect_read_only_start(folder);
    ::chmod(folder.c_str(), 0755);
    return;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string script = "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" \"$0\" || exit 99; exec \"$1\" "
                             "--gtest_filter=CommandLineChild.ReadOnlyFolder";
  ScopedEnv child_folder("KELVRA_READ_ONLY_CHILD_FOLDER", folder.c_str());
  const std::string log = top.file("child.log");
  const char* argv[] = {"unshare", "-Urm", "sh", "-c", script.c_str(), folder.c_str(), self.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "unshare", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::string output = read_file(log);
  if (code == 1 && output.find("unshare:") != std::string::npos)
    GTEST_SKIP() << "cannot mount a read-only folder here: 'unshare -Urm' failed: " << output;
  if (code == 99) GTEST_SKIP() << "cannot mount a read-only folder here: " << output;
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// ---------------------------------------------------------------- first run

// A fresh account: no ZARNELK_MEDIA and no ~/Videos/Zarnel. The editor makes
// the media folder (in the XDG videos folder when that is set), opens an
// empty project there and says how to bring media in; the next start finds
// the folder again and says nothing.
TEST(FirstRun, MakesTheMediaFolderAndSaysHowToBringMediaIn) {
  const struct {
    const char* what;
    const char* user_dirs;  // ~/.config/user-dirs.dirs, null for none
    const char* made;       // the media folder, under HOME
  } cases[] = {
      {"no XDG folders", nullptr, "Videos/Zarnel"},
      {"a videos folder of its own", "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n", "Filme/Zarnel"},
      {"a videos folder with spaces", "XDG_DESKTOP_DIR=\"$HOME/Desk\"\nXDG_VIDEOS_DIR=\"$HOME/My Films/\"\n",
       "My Films/Zarnel"},
      {"the videos folder unset (home)", "XDG_VIDEOS_DIR=\"$HOME/\"\n", "Videos/Zarnel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir home;
    ScopedEnv home_env("HOME", home.path().c_str());
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    if (c.user_dirs != nullptr) {
      std::filesystem::create_directories(home.file(".config"));
      write_file(home.file(".config/user-dirs.dirs"), c.user_dirs);
    }
    const std::string folder = home.file(c.made);
    parse({});
    {
      auto editor = start_editor();
      ASSERT_NE(editor, nullptr);
      KelvraApp* app = editor->app;
      EXPECT_TRUE(std::filesystem::is_directory(folder));
      EXPECT_EQ(std::string(app->media_folder), folder);
      EXPECT_EQ(editor->status(), "Made the media folder " + folder +
                                      ". To bring media in, copy videos and sounds there and list them under "
                                      "\"sources\" in a project file (man kelvra).");
      EXPECT_EQ(std::string(app->project_path), "");
      EXPECT_EQ(app->project.source_count, 0u);
      EXPECT_EQ(app->project.clip_count, 0u);
      EXPECT_EQ(editor->step(3), KELVRA_FRAME_NEXT);
      EXPECT_EQ(kelvra_test::list_folder(folder), "");
    }
    if (std::string(c.made) != "Videos/Zarnel") {
      EXPECT_FALSE(std::filesystem::exists(home.file("Videos")));
    }
    parse({});
    auto again = start_editor();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::string(again->app->media_folder), folder);
    EXPECT_EQ(again->status(), "");
  }
}

// ~/Videos/Zarnel, where it exists, stays the media folder whatever the XDG
// videos folder is; ZARNELK_MEDIA, where set, is never replaced by a made one.
TEST(FirstRun, KeepsTheFolderThatIsThere) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path().c_str());
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  std::filesystem::create_directories(home.file(".config"));
  write_file(home.file(".config/user-dirs.dirs"), "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n");
  std::filesystem::create_directories(home.file("Videos/Zarnel"));
  write_file(home.file("Videos/Zarnel/project.json"), kOther);
  parse({});
  {
    auto editor = start_editor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(std::string(editor->app->project_path), home.file("Videos/Zarnel/project.json"));
    EXPECT_EQ(editor->status(), "");
  }
  TempDir media;
  parse({});
  auto editor = start_editor(media.path());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(std::string(editor->app->media_folder), media.path());
  EXPECT_EQ(editor->status(), "");
  EXPECT_FALSE(std::filesystem::exists(home.file("Filme")));
}

// A media folder that cannot be made is told, with what to do, and the
// editor still starts; a bad project on the command line of a fresh account
// is told first (the note of the folder follows only when the whole of it
// fits), and the folder is made all the same.
TEST(FirstRun, TellsWhatWentWrongAndStillStarts) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path().c_str());
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  write_file(home.file("Videos"), "a file where the folder would go");
  parse({});
  {
    auto editor = start_editor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->status(), "Could not make the media folder " + home.file("Videos/Zarnel") +
                                    " (Not a directory). Set ZARNELK_MEDIA to a folder of your own.");
    EXPECT_EQ(editor->step(2), KELVRA_FRAME_NEXT);
  }
  std::filesystem::remove(home.file("Videos"));
  const Parsed parsed = parse({home.file("holiday.pjn")});
  ASSERT_EQ(parsed.result, KELVRA_COMMAND_LINE_START);
  auto editor = start_editor();
  ASSERT_NE(editor, nullptr);
  const std::string error = "Could not open holiday.pjn: there is no such file.";
  const std::string made = "Made the media folder " + home.file("Videos/Zarnel") +
                           ". To bring media in, copy videos and sounds there and list them under \"sources\" in a "
                           "project file (man kelvra).";
  ASSERT_GT(error.size() + 1 + made.size(), sizeof editor->app->status - 1);
  EXPECT_EQ(editor->status(), error);
  EXPECT_TRUE(std::filesystem::is_directory(home.file("Videos/Zarnel")));
}

}  // namespace
