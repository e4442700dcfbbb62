// The Open and Save commands, their dialog beside the frame loop, and the
// project's name in the window title.
#include "editor/file_commands.h"

#include <cstdio>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/import.h"
#include "editor/piano_roll.h"
#include "editor/recovery.h"
#include "editor/render_tab.h"
#include "editor/text_tab.h"
#include "export/render.h"
#include "platform/files.h"
#include "platform/ui.h"

namespace {

// A project saved in the media folder becomes the one the next start opens.
void remember_active(const KelvraApp* app, const char* saved) {
  char folder[KELVRA_PATH_SIZE];
  char file[KELVRA_PATH_SIZE];
  if (!sys_full_path(app->media_folder, folder) || !sys_full_path(saved, file)) return;
  const size_t length = std::strlen(folder);
  if (std::strncmp(file, folder, length) != 0 || file[length] != '/') return;
  const char* name = file + length + 1;
  char path[KELVRA_PATH_SIZE];
  if (name[0] == '\0' || std::strchr(name, '/') != nullptr || std::strpbrk(name, "\r\n") != nullptr ||
      !kelvra_path(app->media_folder, ".active-project", path))
    return;
  char text[KELVRA_PATH_SIZE + 2];
  const int written = std::snprintf(text, sizeof text, "%s\n", name);
  if (written > 0 && static_cast<size_t>(written) < sizeof text)
    sys_file_write_atomic(path, text, static_cast<uint64_t>(written));
}

void open_chosen(KelvraApp* app, const char* path) {
  if (!kelvra_project_open(&app->project, path)) {
    kelvra_status(app, "Could not read this Kelvra project.");
    return;
  }
  // The edits of the project left behind were saved or discarded.
  kelvra_recovery_discard(app, nullptr);
  if (!sys_full_path(path, app->project_path)) app->project_path[0] = '\0';
  kelvra_history_clear(app);
  app->layout_mode = app->project.layout;
  app->project_serial += 1;
  app->previewed_canvases = 0;
  app->dirty = 0;
  kelvra_stop_playback(app);
  app->timeline_scroll = 0;
  app->timeline_playhead = 0;
  app->edit_serial = 0;
  app->saved_serial = 0;
  app->selected_source = -1;
  app->selected_clip = -1;
  audio_editor_reset(app);
  kelvra_change_tab(app, KELVRA_TAB_SAMPLING);
  kelvra_render_library(app);
  kelvra_check_sources(app);
  kelvra_select(app, 0);
  kelvra_project_title(app, path);
  kelvra_status(app, "Project opened.");
  kelvra_report_lost_clips(app);
}

void save_chosen(KelvraApp* app, const char* path) {
  const uint32_t result = kelvra_project_save(&app->project, path, app->layout_mode);
  switch (result) {
    case PROJECT_SAVED:
    case PROJECT_SAVED_NOT_FLUSHED:
      break;
    case PROJECT_SAVE_TOO_LARGE:
      kelvra_status(app, "The project is too large to be opened again, so it was not saved.");
      return;
    case PROJECT_SAVE_READ_ONLY:
      kelvra_status(app, "The project file is read-only, so it was not saved.");
      return;
    default:
      kelvra_status(app, "The project could not be saved.");
      return;
  }
  app->dirty = 0;
  app->saved_serial = app->edit_serial;
  // The copies of the edits under the old name and any under the new one are outdated now.
  kelvra_recovery_discard(app, nullptr);
  if (sys_full_path(path, app->project_path)) kelvra_recovery_discard(app, nullptr);
  kelvra_project_title(app, path);
  remember_active(app, path);
  if (app->close_after_save) {
    app->close_after_save = 0;
    ui_window_request_close(app->window);
  }
  kelvra_status(app, result == PROJECT_SAVED ? "Saved the Kelvra project."
                                             : "Saved the Kelvra project, but its folder could not be flushed to disk.");
}

// Goes on with `command` once its dialog is in `state`; a dialog still open
// is remembered, and until it answers the window takes no input but its close.
void follow(KelvraApp* app, uint32_t command, uint32_t state, const UiDialogAnswer& answer) {
  if (state == UI_DIALOG_WAITING) {
    app->file_dialog = command;
    // The press that opened the dialog ends here: its release goes with the other input.
    app->drag_kind = KELVRA_DRAG_NONE;
    app->pending_deselect = 0;
    return;
  }
  app->file_dialog = KELVRA_DIALOG_NONE;
  if (state != UI_DIALOG_CHOSEN) {
    app->close_after_save = 0;  // not saved: the window stays
    return;
  }
  if (command == KELVRA_DIALOG_OPEN)
    open_chosen(app, answer.path);
  else if (command == KELVRA_DIALOG_IMPORT)
    kelvra_import_chosen(app, &answer);
  else if (command == KELVRA_DIALOG_SAVE)
    save_chosen(app, answer.path);
  else
    kelvra_title_color_chosen(app, command, answer.rgb);
}

}  // namespace

void kelvra_open_file(KelvraApp* app) {
  if (app->file_dialog != KELVRA_DIALOG_NONE) return;
  if (app->dirty && !ui_confirm("Open project", "Discard the unsaved project edits?")) return;
  UiDialogAnswer answer{};
  const uint32_t state = ui_file_dialog_begin(app->window, false, "pjn", "", &answer);
  follow(app, KELVRA_DIALOG_OPEN, state, answer);
}

void kelvra_save_file(KelvraApp* app) {
  if (app->file_dialog != KELVRA_DIALOG_NONE) return;
  // The dialog proposes the open project's own file.
  UiDialogAnswer answer{};
  const uint32_t state = ui_file_dialog_begin(app->window, true, "pjn", app->project_path, &answer);
  follow(app, KELVRA_DIALOG_SAVE, state, answer);
}

void kelvra_save_then_close(KelvraApp* app) {
  if (app->file_dialog != KELVRA_DIALOG_NONE) return;
  app->close_after_save = 1;
  if (app->project_path[0] == '\0') {
    kelvra_save_file(app);
    return;
  }
  save_chosen(app, app->project_path);
  app->close_after_save = 0;  // a failed save leaves the window open, its status saying why
}

void kelvra_file_dialog_poll(KelvraApp* app) {
  if (app->file_dialog == KELVRA_DIALOG_NONE) return;
  UiDialogAnswer answer{};
  const uint32_t state = ui_dialog_poll(app->window, &answer);
  follow(app, app->file_dialog, state == UI_DIALOG_IDLE ? UI_DIALOG_CANCELLED : state, answer);
}

void kelvra_file_dialog_end(KelvraApp* app) {
  if (app->file_dialog == KELVRA_DIALOG_NONE) return;
  ui_dialog_end();
  app->file_dialog = KELVRA_DIALOG_NONE;
}

void kelvra_project_title(KelvraApp* app, const char* path) {
  if (app->window == nullptr) return;
  char full[KELVRA_PATH_SIZE];
  if (!sys_full_path(path, full)) return;
  const char* slash = std::strrchr(full, '/');
  const char* name = slash != nullptr ? slash + 1 : full;
  if (name[0] == '\0') return;
  char title[KELVRA_PATH_SIZE + 32];
  std::snprintf(title, sizeof title, "Zarnel Kelvra: %s (%.*s)", name, static_cast<int>(name - full), full);
  ui_window_set_title(app->window, title);
}
