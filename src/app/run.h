// Start-up, the frame loop and shutdown of the editor.
#pragma once

#include <cstdint>

struct KelvraApp;

// The workers' serials one frame saw (the lane sum only on the Timeline tab).
struct FrameSerials {
  uint64_t source;
  uint64_t program;
  uint64_t wave;
  uint64_t lane_sum;
};

// What the loop remembers between passes to decide whether to draw; zero
// before the first pass.
struct FrameMemory {
  FrameSerials drawn;  // the serials of the last drawn frame
  uint64_t lane_sum;   // the lane sum of the last pass, drawn or not
  uint64_t drawn_ms;
  uint64_t frames_drawn;
  uint64_t work_ns;  // the last pass's work, from taking the input to presenting, without the frame wait
  bool drawn_once;
};

enum : uint32_t {
  KELVRA_FRAME_NEXT = 0,    // go on with the next pass
  KELVRA_FRAME_QUIT = 1,    // the window was closed
  KELVRA_FRAME_FAILED = 2,  // drawing, presenting or the frame wait failed
  KELVRA_FRAME_ENDED = 3,   // a termination request (SIGTERM, SIGHUP) ended the editor
};

// Runs the editor until its window is closed (exit code 0) or a termination
// request ends it (128 + the signal's number); the process exit code.
int kelvra_run();
// Catches the termination signals, creates the window, the painter and the
// workers in the record from kelvra_app_create, opens the start-up project and
// readies the editors.
// False when the window, the painter or a required worker is missing; the
// record must then still go through kelvra_shutdown.
bool kelvra_start(KelvraApp* app);
// One pass of the frame loop: drain the input, poll the file dialog, the
// exports and the recovery copy, lay out, choose the cursor, tick, feed the
// audio, draw and present when something changed, and wait for the next
// frame. On a termination request it ends any open dialog, writes a recovery
// copy of unsaved edits and returns KELVRA_FRAME_ENDED without asking anything.
uint32_t kelvra_frame(KelvraApp* app, FrameMemory* memory);
// Destroys everything in the record in a fixed order and frees it (ending an
// open file dialog and giving back the termination signals).
void kelvra_shutdown(KelvraApp* app);
// Finds and opens the start-up project in the media folder.
void kelvra_open_active(KelvraApp* app);
// The pointer cursor for the drag or the handle under (x, y) (UI_CURSOR_* id).
uint32_t kelvra_cursor_for(const KelvraApp* app, int32_t x, int32_t y);
