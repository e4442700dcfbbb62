// System dialogs and shell actions.
//
// Provides: the Yes/No box, file and folder choosers (one file, or several
// at once) through zenity, else
// kdialog, else the window layer's own picker; the colour chooser through
// zenity or kdialog (the desktop dialogs run beside the frame loop, which
// polls for their answer); popup menus drawn by the window layer; opening files and
// pages with xdg-open; showing a file or its properties in the file manager
// over the FileManager1 D-Bus interface (gdbus), else opening its folder.
// Cannot: choose a colour when neither zenity nor kdialog is installed.
//
// Index:
//   [hooks]    test answers, the start folder
//   [files]    the window layer's own picker, save names
//   [beside]   the open chooser: ui_file_dialog_begin, ui_folder_dialog_begin,
//              ui_color_dialog_begin, ui_dialog_poll, ui_dialog_end
//   [menus]    ui_popup_menu, the window menu
//   [shell]    shell verbs, revealing files, web pages
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/modal_list.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

#include "base/limits.h"

namespace {

// A dialog, box or menu is up for the life of the scope.
struct ModalScope {
  ModalScope() { ui_modal_begin(); }
  ~ModalScope() { ui_modal_end(); }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;
};

}  // namespace

namespace {

constexpr size_t kPathSize = KELVRA_PATH_SIZE;

// ------------------------------------------------------------------- [hooks]

UiDialogHooks g_hooks;
char g_start_folder[kPathSize];

bool file_exists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

bool is_folder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string start_folder() {
  if (g_start_folder[0] != '\0' && is_folder(g_start_folder)) return g_start_folder;
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
}

// Trims the line end a chooser program prints after the path.
void trim_line(char* text) {
  size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
}

// ------------------------------------------------------------------- [files]

std::string parent_of(const std::string& folder) {
  if (folder == "/") return folder;
  size_t slash = folder.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

bool has_extension(const char* name, const char* extension) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr && std::strcmp(dot + 1, extension) == 0;
}

// The window layer's own picker: a list of the folder's entries, Enter or a
// double click to choose, Backspace for the parent folder, a name line to
// save. A save starts in the folder of the proposed path (when it has one)
// with the proposed file's name in the name line; the chosen full path
// replaces `path`.
bool pick(UiWindow* window, bool save, bool folders, const char* extension, char* path) {
  std::string folder = start_folder();
  char name[kPathSize] = "";
  if (save && path[0] != '\0') {
    const char* slash = std::strrchr(path, '/');
    const std::string parent = slash == nullptr ? "" : slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
    if (!parent.empty() && is_folder(parent)) folder = parent;
    std::snprintf(name, sizeof name, "%s", slash != nullptr ? slash + 1 : path);
  }
  bool all_files = false;  // the "All files" choice: every file, not only the extension's
  for (;;) {
    std::vector<std::string> subfolders;
    std::vector<std::string> files;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string entry_name = entry->d_name;
        if (entry_name == "." || entry_name == ".." || entry_name[0] == '.') continue;
        if (is_folder(joined(folder, entry_name)))
          subfolders.push_back(entry_name + "/");
        else if (!folders && (all_files || extension == nullptr || has_extension(entry_name.c_str(), extension)))
          files.push_back(entry_name);
      }
      closedir(dir);
    }
    std::sort(subfolders.begin(), subfolders.end());
    std::sort(files.begin(), files.end());
    std::vector<std::string> rows;
    if (folders) rows.push_back("[ Use this folder ]");
    const bool filtered = !folders && extension != nullptr;
    const size_t filter_row = rows.size();
    if (filtered) rows.push_back(all_files ? std::string("[ Show only *.") + extension + " files ]" : "[ All files ]");
    rows.push_back("../");
    const size_t first_folder = rows.size();
    rows.insert(rows.end(), subfolders.begin(), subfolders.end());
    const size_t first_file = rows.size();
    rows.insert(rows.end(), files.begin(), files.end());
    std::vector<const char*> row_text;
    for (const std::string& r : rows) row_text.push_back(r.c_str());

    ModalListView view{};
    view.caption = folders ? "Open folder" : save ? "Save project" : "Open project";
    view.title = folder.c_str();
    view.rows = row_text.data();
    view.row_count = row_text.size();
    view.field = save ? name : nullptr;
    view.field_size = sizeof name;
    view.back_row = first_folder - 1;
    uint64_t chosen = 0;
    const ModalResult result = ui_modal_list_run(window, 0, 0, false, &view, &chosen);
    if (result == MODAL_CANCEL) return false;
    std::string picked;
    if (result == MODAL_FIELD) {
      picked = joined(folder, name);
    } else if (folders && chosen == 0) {
      picked = folder;
    } else if (filtered && chosen == filter_row) {
      all_files = !all_files;
      continue;
    } else if (chosen == first_folder - 1) {
      folder = parent_of(folder);
      continue;
    } else if (chosen < first_file) {
      std::string sub = rows[chosen];
      folder = joined(folder, sub.substr(0, sub.size() - 1));
      continue;
    } else if (save) {
      std::snprintf(name, sizeof name, "%s", rows[chosen].c_str());
      picked = joined(folder, name);
    } else {
      picked = joined(folder, rows[chosen]);
    }
    if (picked.size() >= kPathSize) continue;
    std::snprintf(path, kPathSize, "%s", picked.c_str());
    return true;
  }
}

// After a save dialog: the extension is added when the name has none, and
// replacing a file that the dialog did not ask about is confirmed here.
bool finish_save_name(char* path, const char* extension, bool dialog_confirmed) {
  const char* slash = std::strrchr(path, '/');
  const char* base = slash != nullptr ? slash + 1 : path;
  bool appended = false;
  if (std::strchr(base, '.') == nullptr) {
    char longer[kPathSize];
    if (std::snprintf(longer, sizeof longer, "%s.%s", path, extension) >= static_cast<int>(sizeof longer)) return false;
    std::snprintf(path, kPathSize, "%s", longer);
    appended = true;
  }
  if ((appended || !dialog_confirmed) && file_exists(path))
    return ui_confirm("Save project", "A file with this name exists. Replace it?");
  return true;
}

// ------------------------------------------------------------------ [beside]
//
// The open chooser. Its program runs beside the frame loop; when it ends
// without a usable answer (not installed, no display) the next one is tried:
// zenity, kdialog, then the window layer's own picker (files and folders).

enum DialogKind : uint32_t { DIALOG_FILE, DIALOG_FOLDER, DIALOG_COLOR, DIALOG_FILES };
enum Program : int { ZENITY = 0, KDIALOG = 1, PROGRAMS = 2 };

struct OpenDialog {
  bool open;
  uint32_t kind;
  bool save;
  char extension[32];
  char proposed[kPathSize];  // a save's proposed path, as given
  uint32_t rgb;              // the colour shown first
  int program;               // the one running
  char title[128];           // a chooser of several files: its title
  SysChild child;
  char output[65536];        // several chosen paths fit
  size_t length;
};
OpenDialog g_dialog;
// The paths a chooser of several files answered, each ending in its NUL.
std::vector<char> g_files;

std::vector<std::string> program_arguments(const OpenDialog& d, int program) {
  if (d.kind == DIALOG_COLOR) {
    char start[8];
    std::snprintf(start, sizeof start, "#%06x", d.rgb & 0xFFFFFF);
    if (program == ZENITY) return {"zenity", "--color-selection", "--show-palette", std::string("--color=") + start};
    return {"kdialog", "--getcolor", "--default", start};
  }
  if (d.kind == DIALOG_FILES) {
    // One path a line: a name holding a line break is put together again
    // when the answer is read.
    const std::string start = start_folder() + "/";
    if (program == ZENITY)
      return {"zenity", "--file-selection", "--multiple", "--separator=\n", std::string("--title=") + d.title,
              "--filename=" + start};
    return {"kdialog", "--getopenfilename", start, "*|All files", "--multiple", "--separate-output", "--title", d.title};
  }
  if (d.kind == DIALOG_FOLDER) {
    const std::string start = start_folder() + "/";
    if (program == ZENITY) return {"zenity", "--file-selection", "--directory", "--title=Open folder", "--filename=" + start};
    return {"kdialog", "--getexistingdirectory", start, "--title", "Open folder"};
  }
  const std::string start = !d.save || d.proposed[0] == '\0' ? start_folder() + "/"
                            : d.proposed[0] == '/'            ? std::string(d.proposed)
                                                              : joined(start_folder(), d.proposed);
  const std::string extension = d.extension;
  const std::string label = extension + " files";
  if (program == KDIALOG)
    return {"kdialog", d.save ? "--getsavefilename" : "--getopenfilename", start,
            "*." + extension + "|" + label + "\n*|All files"};
  std::vector<std::string> zenity = {"zenity", "--file-selection",
                                     std::string("--title=") + (d.save ? "Save project" : "Open project"),
                                     "--filename=" + start, "--file-filter=" + label + " | *." + extension,
                                     "--file-filter=All files | *"};
  if (d.save) {
    zenity.push_back("--save");
    zenity.push_back("--confirm-overwrite");
  }
  return zenity;
}

// Starts the first program from `program` on that can be started; false when none can.
bool start_program(int program) {
  for (; program < PROGRAMS; ++program) {
    const std::vector<std::string> arguments = program_arguments(g_dialog, program);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    if (sys_child_start(argv.data(), &g_dialog.child)) {
      g_dialog.program = program;
      g_dialog.length = 0;
      g_dialog.output[0] = '\0';
      return true;
    }
  }
  return false;
}

uint32_t close_dialog(uint32_t state) {
  g_dialog.open = false;
  ui_modal_end();
  return state;
}

// A chosen path as the answer: false when it does not fit.
bool take_path(const char* chosen, UiDialogAnswer* answer) {
  const size_t length = std::strlen(chosen);
  if (length >= kPathSize) return false;
  std::memcpy(answer->path, chosen, length + 1);
  return true;
}

bool parse_color(const char* chosen, uint32_t* rgb) {
  unsigned r = 0;
  unsigned g = 0;
  unsigned b = 0;
  if (std::sscanf(chosen, "rgb(%u,%u,%u)", &r, &g, &b) == 3 || std::sscanf(chosen, "rgba(%u,%u,%u", &r, &g, &b) == 3) {
    *rgb = ((r & 0xFF) << 16) | ((g & 0xFF) << 8) | (b & 0xFF);
    return true;
  }
  unsigned value = 0;
  if (chosen[0] == '#' && std::strlen(chosen) == 7 && std::sscanf(chosen + 1, "%6x", &value) == 1) {
    *rgb = value;
    return true;
  }
  return false;
}

// Several chosen paths, one a line, into g_files and the answer. A piece
// that names nothing takes the next line as well: the line break was part
// of the name. Paths that name nothing even then are left out.
uint32_t take_files(const char* chosen, UiDialogAnswer* answer) {
  g_files.clear();
  uint32_t count = 0;
  std::string path;
  const char* at = chosen;
  while (*at != '\0') {
    const char* end = std::strchr(at, '\n');
    const std::string line = end != nullptr ? std::string(at, static_cast<size_t>(end - at)) : std::string(at);
    path = path.empty() ? line : path + "\n" + line;
    at = end != nullptr ? end + 1 : at + line.size();
    if (path.empty()) continue;
    if (!file_exists(path.c_str()) && *at != '\0' && path.size() < kPathSize) continue;
    if (file_exists(path.c_str()) && path.size() < kPathSize) {
      g_files.insert(g_files.end(), path.begin(), path.end());
      g_files.push_back('\0');
      ++count;
    }
    path.clear();
  }
  if (count == 0) return close_dialog(UI_DIALOG_CANCELLED);
  answer->files = g_files.data();
  answer->file_count = count;
  std::snprintf(answer->path, sizeof answer->path, "%s", g_files.data());
  return close_dialog(UI_DIALOG_CHOSEN);
}

// The answer `chosen` (a program's output line, or the own picker's path) as
// the dialog's result.
uint32_t finish(char* chosen, bool confirmed, UiDialogAnswer* answer) {
  if (g_dialog.kind == DIALOG_FILES) return take_files(chosen, answer);
  if (g_dialog.kind == DIALOG_COLOR)
    return close_dialog(parse_color(chosen, &answer->rgb) ? UI_DIALOG_CHOSEN : UI_DIALOG_CANCELLED);
  if (std::strlen(chosen) >= kPathSize) return close_dialog(UI_DIALOG_CANCELLED);
  if (g_dialog.kind == DIALOG_FILE && g_dialog.save && !finish_save_name(chosen, g_dialog.extension, confirmed))
    return close_dialog(UI_DIALOG_CANCELLED);
  return close_dialog(take_path(chosen, answer) ? UI_DIALOG_CHOSEN : UI_DIALOG_CANCELLED);
}

// No desktop dialog could answer: the window layer's own picker (colours have none).
uint32_t fall_back(UiWindow* window, UiDialogAnswer* answer) {
  if (g_dialog.kind == DIALOG_COLOR) return close_dialog(UI_DIALOG_CANCELLED);
  char picked[kPathSize];
  std::snprintf(picked, sizeof picked, "%s", g_dialog.save ? g_dialog.proposed : "");
  const char* extension = g_dialog.kind == DIALOG_FILE ? g_dialog.extension : nullptr;
  if (!pick(window, g_dialog.save, g_dialog.kind == DIALOG_FOLDER, extension, picked))
    return close_dialog(UI_DIALOG_CANCELLED);
  return finish(picked, false, answer);
}

uint32_t begin(UiWindow* window, UiDialogAnswer* answer) {
  ui_modal_begin();
  g_dialog.open = true;
  if (start_program(ZENITY)) return UI_DIALOG_WAITING;
  return fall_back(window, answer);
}

}  // namespace

void ui_set_dialog_hooks(const UiDialogHooks* hooks) { g_hooks = hooks != nullptr ? *hooks : UiDialogHooks{}; }

void ui_set_dialog_folder(const char* folder) {
  std::snprintf(g_start_folder, sizeof g_start_folder, "%s", folder != nullptr ? folder : "");
}

namespace {
uint32_t (*g_ask_save)(const char*, const char*) = nullptr;
}  // namespace

void ui_set_save_question_hook(uint32_t (*ask)(const char* title, const char* text)) { g_ask_save = ask; }

uint32_t ui_ask_save(const char* title, const char* text) {
  if (g_ask_save != nullptr) {
    ModalScope modal;
    return g_ask_save(title, text);
  }
  if (g_hooks.confirm != nullptr) {
    ModalScope modal;
    return g_hooks.confirm(title, text) ? UI_SAVE_QUESTION_DISCARD : UI_SAVE_QUESTION_CANCEL;
  }
  return ui_message_ask_save(title, text);
}

bool ui_confirm(const char* title, const char* text) {
  if (g_hooks.confirm != nullptr) {
    ModalScope modal;
    return g_hooks.confirm(title, text);
  }
  return ui_message_confirm(title, text);
}

uint32_t ui_file_dialog_begin(UiWindow* window, bool save, const char* extension, const char* proposed,
                              UiDialogAnswer* answer) {
  if (extension == nullptr || answer == nullptr || g_dialog.open) return UI_DIALOG_CANCELLED;
  if (proposed == nullptr || !save) proposed = "";
  if (std::strlen(extension) >= sizeof g_dialog.extension || std::strlen(proposed) >= kPathSize)
    return UI_DIALOG_CANCELLED;
  if (g_hooks.choose_file != nullptr) {
    ModalScope modal;
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s", proposed);
    if (!g_hooks.choose_file(save, extension, path)) return UI_DIALOG_CANCELLED;
    return take_path(path, answer) ? UI_DIALOG_CHOSEN : UI_DIALOG_CANCELLED;
  }
  g_dialog = OpenDialog{};
  g_dialog.kind = DIALOG_FILE;
  g_dialog.save = save;
  std::snprintf(g_dialog.extension, sizeof g_dialog.extension, "%s", extension);
  std::snprintf(g_dialog.proposed, sizeof g_dialog.proposed, "%s", proposed);
  return begin(window, answer);
}

uint32_t ui_folder_dialog_begin(UiWindow* window, UiDialogAnswer* answer) {
  if (answer == nullptr || g_dialog.open) return UI_DIALOG_CANCELLED;
  g_dialog = OpenDialog{};
  g_dialog.kind = DIALOG_FOLDER;
  return begin(window, answer);
}

uint32_t ui_files_dialog_begin(UiWindow* window, const char* title, UiDialogAnswer* answer) {
  if (answer == nullptr || g_dialog.open) return UI_DIALOG_CANCELLED;
  if (title == nullptr) title = "";
  if (g_hooks.choose_file != nullptr) {
    ModalScope modal;
    char path[kPathSize] = "";
    if (!g_hooks.choose_file(false, "", path) || !take_path(path, answer)) return UI_DIALOG_CANCELLED;
    g_files.assign(path, path + std::strlen(path) + 1);
    answer->files = g_files.data();
    answer->file_count = 1;
    return UI_DIALOG_CHOSEN;
  }
  g_dialog = OpenDialog{};
  g_dialog.kind = DIALOG_FILES;
  std::snprintf(g_dialog.title, sizeof g_dialog.title, "%s", title);
  return begin(window, answer);
}

uint32_t ui_color_dialog_begin(UiWindow* window, uint32_t rgb, UiDialogAnswer* answer) {
  if (answer == nullptr || g_dialog.open) return UI_DIALOG_CANCELLED;
  g_dialog = OpenDialog{};
  g_dialog.kind = DIALOG_COLOR;
  g_dialog.rgb = rgb;
  return begin(window, answer);
}

uint32_t ui_dialog_poll(UiWindow* window, UiDialogAnswer* answer) {
  if (!g_dialog.open) return UI_DIALOG_IDLE;
  if (answer == nullptr) return UI_DIALOG_WAITING;
  int code = -1;
  if (!sys_child_finished(&g_dialog.child, g_dialog.output, sizeof g_dialog.output, &g_dialog.length, &code))
    return UI_DIALOG_WAITING;
  trim_line(g_dialog.output);
  if (code == 0 && g_dialog.output[0] != '\0') return finish(g_dialog.output, g_dialog.program == ZENITY, answer);
  if (code == 1) return close_dialog(UI_DIALOG_CANCELLED);
  // The program could not show the dialog: the next one.
  if (start_program(g_dialog.program + 1)) return UI_DIALOG_WAITING;
  return fall_back(window, answer);
}

void ui_dialog_end() {
  if (!g_dialog.open) return;
  sys_child_stop(&g_dialog.child);
  close_dialog(UI_DIALOG_CANCELLED);
}

// ------------------------------------------------------------------- [menus]

uint64_t ui_popup_menu(UiWindow* window, int32_t x, int32_t y, const UiMenuEntry* entries, uint64_t count) {
  if (entries == nullptr && count > 0) return 0;
  ModalScope modal;
  if (g_hooks.popup_menu != nullptr) return g_hooks.popup_menu(x, y, entries, count);
  std::vector<const char*> rows;
  for (uint64_t i = 0; i < count; ++i) rows.push_back(entries[i].label != nullptr ? entries[i].label : "");
  ModalListView view{};
  view.rows = rows.data();
  view.row_count = count;
  view.back_row = UINT64_MAX;
  view.single_click = true;
  uint64_t chosen = 0;
  if (ui_modal_list_run(window, x, y, true, &view, &chosen) != MODAL_ROW || chosen >= count) return 0;
  return entries[chosen].command;
}

void ui_open_window_menu(UiWindow* window) {
  uint64_t count = 0;
  const UiMenuItem* items = ui_window_menu(window, &count);
  std::vector<std::string> labels;
  std::vector<UiMenuEntry> entries;
  for (uint64_t i = 0; i < count; ++i) labels.push_back(std::string(items[i].menu) + " › " + items[i].label);
  for (uint64_t i = 0; i < count; ++i) entries.push_back(UiMenuEntry{labels[i].c_str(), items[i].command + 1ull});
  const uint64_t chosen = ui_popup_menu(window, 0, 0, entries.data(), count);
  if (chosen != 0) ui_queue_command(window, static_cast<uint16_t>(chosen - 1));
}

// ------------------------------------------------------------------- [shell]

namespace {

// file:// address of a path, with everything but unreserved bytes and '/' escaped.
std::string file_uri(const char* path) {
  std::string uri = "file://";
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p != 0; ++p) {
    if (std::isalnum(*p) || std::strchr("-._~/", *p) != nullptr) {
      uri += static_cast<char>(*p);
    } else {
      uri += '%';
      uri += hex[*p >> 4];
      uri += hex[*p & 15];
    }
  }
  return uri;
}

bool file_manager_call(const char* method, const char* path) {
  const std::string items = "['" + file_uri(path) + "']";
  const char* argv[] = {"gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1", "--object-path",
                        "/org/freedesktop/FileManager1", "--method", method, items.c_str(), "", nullptr};
  int code = -1;
  return sys_run(argv, nullptr, 0, &code) && code == 0;
}

bool xdg_open(const char* target) {
  const char* argv[] = {"xdg-open", target, nullptr};
  int code = -1;
  return sys_launch(argv, 3000, &code) && code == 0;
}

}  // namespace

bool ui_shell_action(UiWindow*, const char* verb, const char* path) {
  if (verb == nullptr || path == nullptr || path[0] == '\0') return false;
  if (std::strcmp(verb, "open") == 0) return xdg_open(path);
  if (std::strcmp(verb, "properties") == 0) return file_manager_call("org.freedesktop.FileManager1.ShowItemProperties", path);
  return false;
}

bool ui_show_properties(UiWindow* window, const char* path) { return ui_shell_action(window, "properties", path); }

bool ui_open_folder(UiWindow* window, const char* path) { return ui_shell_action(window, "open", path); }

bool ui_reveal_file(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (file_manager_call("org.freedesktop.FileManager1.ShowItems", path)) return true;
  std::string folder = path;
  size_t slash = folder.find_last_of('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  return xdg_open(folder.c_str());
}

bool ui_open_url(const char* url) { return url != nullptr && url[0] != '\0' && xdg_open(url); }
