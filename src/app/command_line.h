// The editor's command line and the choice of its first folder: `kelvra
// [PROJECT.pjn]`, `--help` and `--version`, and on an account that has no
// media folder yet, the folder made for it.
//
// kelvra_command_line runs in main before anything else; what it found waits
// in this module until the editor starts. kelvra_start_folder then runs first
// in kelvra_start, before any thread exists, and points the start-up lookup
// (ZARNELK_MEDIA, ZARNELK_START_PROJECT) at the project named on the command
// line, or makes the media folder of a first run. kelvra_start_report puts
// what the user should know on the status line once the start-up project is
// open.
#pragma once

#include <cstdint>
#include <cstdio>

struct KelvraApp;

enum : int {
  KELVRA_COMMAND_LINE_START = -1,  // go on and start the editor
  KELVRA_COMMAND_LINE_USAGE = 2,   // the exit status for wrong arguments
};

// Reads the arguments. --help and --version print on `out` and give 0;
// wrong arguments print on `err` and give KELVRA_COMMAND_LINE_USAGE; a project
// path is checked at once (a file that is missing, a folder, not a project, or
// in a read-only folder is told on `err`) and remembered for the start, and
// the result is KELVRA_COMMAND_LINE_START. The editor starts on a project that
// cannot be opened too, as it would without arguments.
int kelvra_command_line(int argc, const char* const* argv, FILE* out, FILE* err);

// Sets up the start-up lookup: the folder of the project from the command
// line becomes the media folder and the project the one to open; without
// one, and without ZARNELK_MEDIA, a missing default media folder is made
// (~/Videos/Zarnel, or Zarnel in the XDG videos folder when that is set and
// ~/Videos/Zarnel does not exist). Changes the environment: call it while
// no other thread runs.
void kelvra_start_folder();

// Puts the note of the start (a project that did not open, a read-only
// folder, a media folder just made, one that could not be made) on the
// status line ahead of what opening the project said; then forgets it.
void kelvra_start_report(KelvraApp* app);

// The program's version, from the build.
const char* kelvra_version();
