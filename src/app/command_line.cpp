// The editor's command line, and the media folder of a first run.
//
// Index:
//   [state]    what the command line found, kept for the start
//   [project]  checking the project named on the command line
//   [first]    the media folder of an account that has none
//   [public]   kelvra_command_line, kelvra_start_folder, kelvra_start_report
#include "app/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "editor/app.h"
#include "platform/process.h"
#include "project/project.h"

#ifndef KELVRA_VERSION
#define KELVRA_VERSION "unknown"
#endif

namespace {

constexpr char kHelp[] =
    "Usage: kelvra [PROJECT.pjn]\n"
    "       kelvra --help | --version\n"
    "\n"
    "Zarnel Kelvra: a video editor for short videos with their own music.\n"
    "\n"
    "Without PROJECT.pjn the editor starts on the media folder, ZARNELK_MEDIA or\n"
    "else ~/Videos/Zarnel (made on the first run, in the XDG videos folder when\n"
    "that is set), and opens the project that .active-project names there, or\n"
    "project.json. With PROJECT.pjn it opens that project and the project's folder\n"
    "becomes the media folder.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "The editor needs a desktop session (X11 or Wayland). Exit status: 0 when the\n"
    "window was closed, 1 when the editor could not start (no display), 2 for wrong\n"
    "arguments. See kelvra(1) for the environment variables and the files.\n";

// ------------------------------------------------------------------- [state]

// The status line holds this many bytes; a longer note is cut there.
constexpr size_t kNoteSize = sizeof(KelvraApp::status);

struct StartState {
  bool project_given;  // `folder` and `name` name a project that opened when checked
  char folder[KELVRA_PATH_SIZE];
  char name[KELVRA_NAME_SIZE];
  char note[kNoteSize];
};
StartState g_start;

// snprintf for texts that are meant to be cut at the end of `out` when long.
__attribute__((format(printf, 3, 4))) void format_cut(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(out, size, format, args);
  va_end(args);
}

// Adds a sentence to the note when the whole of it still fits; an earlier
// sentence is worth more than a later one.
void add_note(const char* text) {
  const size_t have = std::strlen(g_start.note);
  const size_t more = std::strlen(text);
  if (have == 0) {
    std::snprintf(g_start.note, sizeof g_start.note, "%s", text);
  } else if (have + 1 + more < sizeof g_start.note) {
    g_start.note[have] = ' ';
    std::memcpy(g_start.note + have + 1, text, more + 1);
  }
}

bool is_folder(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// ----------------------------------------------------------------- [project]

// The last named part of `path` ("b" of "/a/b/"), for a short message.
void shown_name(const char* path, char* out, size_t size) {
  size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  if (start == end) {
    std::snprintf(out, size, "%s", path);
    return;
  }
  std::snprintf(out, size, "%.*s", static_cast<int>(end - start), path + start);
}

// Why the file at `path` (a regular file) is not a project the editor can
// open; null when it is one.
const char* not_a_project(const char* path) {
  Project* probe = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  if (probe == nullptr) return "there is not enough memory to read it";
  const bool opened = kelvra_project_open(probe, path);
  kelvra_project_close(probe);
  std::free(probe);
  return opened ? nullptr : "it is not a Kelvra project this version can read";
}

// Checks the project named on the command line and, when it opens, keeps its
// folder (in full, links resolved) and its name for the start. Problems go to
// `err` and the note.
void take_project(const char* given, FILE* err) {
  char reason[160] = "";
  struct stat info;
  char folder[PATH_MAX] = "";
  const char* name = nullptr;
  if (::stat(given, &info) != 0) {
    std::snprintf(reason, sizeof reason, "%s",
                  errno == ENOENT || errno == ENOTDIR ? "there is no such file" : std::strerror(errno));
  } else if (S_ISDIR(info.st_mode)) {
    std::snprintf(reason, sizeof reason, "it is a folder, not a project file");
  } else if (!S_ISREG(info.st_mode)) {
    std::snprintf(reason, sizeof reason, "it is not a regular file");
  } else {
    const char* slash = std::strrchr(given, '/');
    name = slash != nullptr ? slash + 1 : given;
    char parent[PATH_MAX];
    if (slash == nullptr)
      std::snprintf(parent, sizeof parent, ".");
    else if (slash == given)
      std::snprintf(parent, sizeof parent, "/");
    else
      std::snprintf(parent, sizeof parent, "%.*s", static_cast<int>(slash - given), given);
    char path[KELVRA_PATH_SIZE];
    if (::realpath(parent, folder) == nullptr) {
      std::snprintf(reason, sizeof reason, "its folder cannot be read (%s)", std::strerror(errno));
    } else if (std::strlen(name) >= KELVRA_NAME_SIZE || !kelvra_path(folder, name, path)) {
      std::snprintf(reason, sizeof reason, "its path is too long");
    } else if (::access(path, R_OK) != 0) {
      std::snprintf(reason, sizeof reason, "it cannot be read (%s)", std::strerror(errno));
    } else if (const char* why = not_a_project(path); why != nullptr) {
      std::snprintf(reason, sizeof reason, "%s", why);
    }
  }
  char shown[KELVRA_NAME_SIZE];
  shown_name(given, shown, sizeof shown);
  char text[kNoteSize];
  if (reason[0] != '\0') {
    std::fprintf(err, "kelvra: Could not open %s: %s.\n", given, reason);
    format_cut(text, sizeof text, "Could not open %s: %s.", shown, reason);
    add_note(text);
    return;
  }
  g_start.project_given = true;
  std::snprintf(g_start.folder, sizeof g_start.folder, "%s", folder);
  std::snprintf(g_start.name, sizeof g_start.name, "%s", name);
  if (::access(folder, W_OK) != 0) {
    std::fprintf(err,
                 "kelvra: %s is in a read-only folder: its edits and exports cannot be written there; "
                 "Save can keep the project in another folder.\n",
                 given);
    format_cut(text, sizeof text,
               "%s is in a read-only folder: its edits and exports cannot be written there; Save can keep the "
               "project in another folder.",
               shown);
    add_note(text);
  }
}

int usage_error(FILE* err, const char* text, const char* argument) {
  std::fprintf(err, "kelvra: %s%s\nTry 'kelvra --help'.\n", text, argument);
  return KELVRA_COMMAND_LINE_USAGE;
}

// ------------------------------------------------------------------- [first]

// The user's videos folder from `xdg-user-dir VIDEOS`, without a trailing
// "/"; false when the tool is missing or the folder is not set (the tool then
// answers the home folder).
bool xdg_videos_folder(const char* home, char* out, size_t size) {
  const char* const argv[] = {"xdg-user-dir", "VIDEOS", nullptr};
  char answer[KELVRA_PATH_SIZE];
  int code = -1;
  if (!sys_run(argv, answer, sizeof answer, &code) || code != 0) return false;
  size_t length = std::strcspn(answer, "\n");
  while (length > 1 && answer[length - 1] == '/') --length;
  answer[length] = '\0';
  size_t home_length = std::strlen(home);
  while (home_length > 1 && home[home_length - 1] == '/') --home_length;
  if (answer[0] != '/' || length == 1) return false;
  if (length == home_length && std::strncmp(answer, home, home_length) == 0) return false;
  const int written = std::snprintf(out, size, "%s", answer);
  return written > 0 && static_cast<size_t>(written) < size;
}

// Makes `path` and the folders above it that are missing. False with errno set
// when one cannot be made or `path` is not a folder in the end.
bool make_folders(const char* path) {
  char partial[KELVRA_PATH_SIZE];
  std::snprintf(partial, sizeof partial, "%s", path);
  for (char* at = partial + 1; *at != '\0'; ++at) {
    if (*at != '/') continue;
    *at = '\0';
    if (::mkdir(partial, 0777) != 0 && errno != EEXIST) return false;
    *at = '/';
  }
  if (::mkdir(partial, 0777) != 0 && errno != EEXIST) return false;
  if (!is_folder(partial)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

// Without ZARNELK_MEDIA the media folder is ~/Videos/Zarnel when it exists;
// otherwise Zarnel in the user's videos folder, made when missing.
void choose_first_folder() {
  const char* media = std::getenv("ZARNELK_MEDIA");
  if (media != nullptr && media[0] != '\0') return;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    add_note("There is no media folder: HOME is not set. Set ZARNELK_MEDIA to a folder of your own.");
    return;
  }
  char standard[KELVRA_PATH_SIZE];
  const int length = std::snprintf(standard, sizeof standard, "%s/Videos/Zarnel", home);
  if (length < 1 || static_cast<size_t>(length) >= sizeof standard) return;  // the lookup says so itself
  if (is_folder(standard)) return;
  char folder[KELVRA_PATH_SIZE];
  std::snprintf(folder, sizeof folder, "%s", standard);
  char videos[KELVRA_PATH_SIZE];
  if (xdg_videos_folder(home, videos, sizeof videos)) {
    const int written = std::snprintf(folder, sizeof folder, "%s/Zarnel", videos);
    if (written < 1 || static_cast<size_t>(written) >= sizeof folder) std::snprintf(folder, sizeof folder, "%s", standard);
  }
  char text[kNoteSize];
  if (!is_folder(folder)) {
    if (!make_folders(folder)) {
      format_cut(text, sizeof text, "Could not make the media folder %s (%s). Set ZARNELK_MEDIA to a folder of your own.",
                 folder, std::strerror(errno));
      add_note(text);
      return;
    }
    format_cut(text, sizeof text,
               "Made the media folder %s. To bring media in, copy videos and sounds there and list them under "
               "\"sources\" in a project file (man kelvra).",
               folder);
    add_note(text);
  }
  if (std::strcmp(folder, standard) != 0) setenv("ZARNELK_MEDIA", folder, 1);
}

}  // namespace

// ------------------------------------------------------------------ [public]

int kelvra_command_line(int argc, const char* const* argv, FILE* out, FILE* err) {
  g_start = StartState{};
  const char* project = nullptr;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        options = false;
      } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        std::fputs(kHelp, out);
        return 0;
      } else if (std::strcmp(arg, "--version") == 0) {
        std::fprintf(out, "kelvra %s\n", kelvra_version());
        return 0;
      } else {
        return usage_error(err, "unknown option: ", arg);
      }
      continue;
    }
    if (project != nullptr) return usage_error(err, "more than one project: ", arg);
    project = arg;
  }
  if (project != nullptr) take_project(project, err);
  return KELVRA_COMMAND_LINE_START;
}

void kelvra_start_folder() {
  if (!g_start.project_given) {
    choose_first_folder();
    return;
  }
  setenv("ZARNELK_MEDIA", g_start.folder, 1);
  setenv("ZARNELK_START_PROJECT", g_start.name, 1);
  g_start.project_given = false;
}

void kelvra_start_report(KelvraApp* app) {
  if (g_start.note[0] != '\0') {
    char text[kNoteSize];
    const size_t have = std::strlen(g_start.note);
    if (app->status[0] != '\0' && have + 1 + std::strlen(app->status) < sizeof text)
      format_cut(text, sizeof text, "%s %s", g_start.note, app->status);
    else
      format_cut(text, sizeof text, "%s", g_start.note);
    kelvra_status(app, text);
  }
  g_start = StartState{};
}

const char* kelvra_version() { return KELVRA_VERSION; }
