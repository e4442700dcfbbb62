// Crash recovery. While the project has unsaved edits, a copy of its text is
// written into the recovery folder ($XDG_STATE_HOME/zarnel-kelvra, by default
// ~/.local/state/zarnel-kelvra) at most every 30 seconds: the text is built on
// the UI thread into a reused buffer and handed to a writer thread, which
// writes it with the same atomic replacement as a save. A copy is named after
// the project's full path ("untitled" for a project never saved). Saving, a
// clean exit and opening another project remove the copy; a termination
// request (SIGTERM, SIGHUP) writes one at once and leaves it for the next start.
//
// At start-up a copy newer than its project is offered in one confirm dialog:
// restoring opens it as unsaved edits of the original project; declining sets
// it aside as NAME.declined.pjn until the next save; a copy that does not open
// is reported and set aside as NAME.corrupt.pjn.
#pragma once

#include <cstdint>

struct KelvraApp;
struct RecoveryWriter;

constexpr uint64_t RECOVERY_INTERVAL_MS = 30000;

// Starts the writer thread; null when it cannot. The interval comes from
// ZARNELK_RECOVERY_SECONDS when set (0 writes after every edit), else 30 s.
RecoveryWriter* kelvra_recovery_create();
// Lets a write in progress (and one waiting) finish, then stops the thread.
void kelvra_recovery_destroy(RecoveryWriter* writer);

// The recovery folder (not created); false without a usable home.
bool kelvra_recovery_folder(char* out);
// The full path of the copy for `project_path` (empty for an untitled
// project) with `suffix` ("", ".declined", ".corrupt") before ".pjn".
bool kelvra_recovery_path(const char* project_path, const char* suffix, char* out);

// Once a frame: hands a new copy to the writer when the project has edits the
// last copy lacks and the interval has passed since that copy.
void kelvra_recovery_poll(KelvraApp* app);
// On a termination request: makes sure a whole copy of the unsaved edits is
// on disk, handing over the current edits at once (whatever the interval)
// unless the last copy already holds them, and waits until it is written.
// True when there is nothing unsaved or the copy was written.
bool kelvra_recovery_write_now(KelvraApp* app);
// Drops a copy not yet written, waits for one being written, and removes the
// copies of `project_path` (the open project's when null).
void kelvra_recovery_discard(KelvraApp* app, const char* project_path);
// After start-up opened its project: offers a newer copy of it.
void kelvra_recovery_offer(KelvraApp* app);
