// The Open and Save commands and the window title.
#pragma once

struct KelvraApp;

void kelvra_open_file(KelvraApp* app);
void kelvra_save_file(KelvraApp* app);
// Sets the window title from a project path; nothing without a window.
void kelvra_project_title(KelvraApp* app, const char* path);
