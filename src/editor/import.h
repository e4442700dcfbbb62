// Import: files dropped on the window or chosen with the Import button are
// checked, copied into the media folder by a worker thread of their own, one
// after another, and join the library, each as one edit. A copy is written
// under a temporary name and moved to its final name only when whole, never
// over an existing file (a taken name gets " (2)", " (3)", ...); a file the
// media layer cannot read, a folder, an empty or unreadable file is refused
// with a status text and not copied. A long copy shows its progress in the
// library column and on the status line, and Cancel stops it and the files
// waiting after it.
#pragma once

#include <cstdint>

#include "base/limits.h"

struct KelvraApp;
struct ImportWorker;
struct UiDialogAnswer;

constexpr uint32_t IMPORT_QUEUE = 64;  // files waiting to be imported at once

enum : uint32_t {
  IMPORT_DONE = 0,        // copied (or already in the media folder): joins the library
  IMPORT_CANCELLED = 1,
  IMPORT_FOLDER = 2,      // a folder was given
  IMPORT_EMPTY = 3,       // a file of zero bytes
  IMPORT_UNREADABLE = 4,  // missing, closed to the user, or no regular file
  IMPORT_NOT_MEDIA = 5,   // the media layer reads no picture or sound out of it
  IMPORT_NO_SPACE = 6,    // the disk filled up during the copy
  IMPORT_FAILED = 7,      // the copy or its move into place failed otherwise
};

// One finished import, as the worker reports it.
struct ImportResult {
  uint32_t outcome;             // IMPORT_*
  char shown[KELVRA_NAME_SIZE]; // the given file's name as text: valid UTF-8, no control characters
  char name[KELVRA_NAME_SIZE];  // IMPORT_DONE: the file's name in the media folder
  double duration;              // seconds; 0 when the file does not tell
  uint8_t video;                // a picture was decoded
  uint8_t audio;                // sound was decoded
  int error;                    // IMPORT_FAILED: the system's error number
};

// The name a file given as `path` gets in the media folder: its own name
// with every byte that is not valid UTF-8 and every control character
// replaced by "_", and "\", ":" also replaced, cut (keeping its extension)
// so that " (999)" still fits. False when nothing usable is left.
bool import_file_name(const char* path, char* out);
// The name to try on the `attempt`-th try (from 1): the name itself, then
// "stem (2).ext", "stem (3).ext", ...
void import_candidate(const char* name, uint32_t attempt, char* out);

// Queues `path` (a file outside or inside the media folder) for import; a
// status text tells when it is refused at once (the library or the queue is full).
void kelvra_import_path(KelvraApp* app, const char* path);
// The Import button: opens the chooser of several files, or cancels the imports in progress.
void kelvra_import_button(KelvraApp* app);
// The chooser's answer: every chosen file is queued.
void kelvra_import_chosen(KelvraApp* app, const UiDialogAnswer* answer);
// Stops the copy in progress (nothing of it stays) and drops the files waiting.
void kelvra_import_cancel(KelvraApp* app);
// Once a frame: finished imports join the library; progress on the status line.
void kelvra_import_poll(KelvraApp* app);
// Whether a copy runs or files wait; `fraction` (may be null) gets how much of the current copy is done.
bool kelvra_import_busy(KelvraApp* app, double* fraction);
// Cancels what runs and stops the worker; accepts a record without one.
void kelvra_import_destroy(KelvraApp* app);
