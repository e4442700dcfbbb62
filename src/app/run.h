// Start-up, the frame loop and shutdown of the editor.
#pragma once

#include <cstdint>

struct KelvraApp;

// Runs the editor until its window is closed; the process exit code.
int kelvra_run();
// Finds and opens the start-up project in the media folder.
void kelvra_open_active(KelvraApp* app);
// The pointer cursor for the drag or the handle under (x, y) (UI_CURSOR_* id).
uint32_t kelvra_cursor_for(const KelvraApp* app, int32_t x, int32_t y);
