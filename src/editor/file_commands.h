// The Open and Save commands and the window title. Their file dialog runs
// beside the frame loop: a command opens it and goes on when the answer comes.
#pragma once

struct KelvraApp;

// Open asks first when there are unsaved edits; both do nothing while a file dialog is open.
void kelvra_open_file(KelvraApp* app);
void kelvra_save_file(KelvraApp* app);
// Once a frame: finishes the Open or Save whose dialog has answered.
void kelvra_file_dialog_poll(KelvraApp* app);
// Closes an open file dialog without an answer (its program is ended).
void kelvra_file_dialog_end(KelvraApp* app);
// Sets the window title from a project path; nothing without a window.
void kelvra_project_title(KelvraApp* app, const char* path);

// The close question's "Save": saves to the project's own file (or asks
// where, for an untitled project), then closes the window when that worked.
void kelvra_save_then_close(KelvraApp* app);
