// The window layer and the system dialogs: one top-level window, its input
// turned into a fixed queue of plain events, frame pacing, modal boxes, the
// clipboard, file dialogs, popup menus and shell actions. Main thread only.
// The rest of the program never sees a platform event; it sees UiInput.
#pragma once

#include <cstdint>

#include "base/limits.h"

struct UiWindow;

struct UiWindowConfig {
  const char* title;
  uint32_t width;
  uint32_t height;
  uint32_t target_fps;  // 0: no pacing; at most 1000
  uint32_t mode;        // 0 windowed, 1 maximized, 2 borderless on the primary display
  uint8_t decorated;
  uint8_t resizable;
  uint8_t minimize_box;
  uint8_t maximize_box;
  uint8_t close_as_event;  // the close button queues a close event instead of closing
};

enum : uint32_t {
  UI_KEY_NONE = 0,
  UI_KEY_ESCAPE = 1,
  UI_KEY_LEFT = 2,
  UI_KEY_RIGHT = 3,
  UI_KEY_UP = 4,
  UI_KEY_DOWN = 5,
  UI_KEY_HOME = 6,
  UI_KEY_END = 7,
  UI_KEY_DELETE = 8,
  UI_KEY_A = 9,
  UI_KEY_Z = 34,
  UI_KEY_F1 = 35,
  UI_KEY_F12 = 46,
  UI_KEY_GRAVE = 47,
  UI_KEY_PAGE_UP = 48,
  UI_KEY_PAGE_DOWN = 49,
};

enum : uint32_t {
  UI_POINTER_NONE = 0,
  UI_POINTER_PRESS = 1,    // left button down
  UI_POINTER_MOVE = 2,     // moved while the left button holds the capture
  UI_POINTER_RELEASE = 3,  // left button up
  UI_POINTER_WHEEL = 4,
  UI_POINTER_CONTEXT = 5,  // right button released
  UI_POINTER_MIDDLE = 6,   // middle button down
};

// System cursor identifiers, as the application names them.
enum : uint32_t {
  UI_CURSOR_ARROW = 32512,
  UI_CURSOR_IBEAM = 32513,
  UI_CURSOR_CROSS = 32515,
  UI_CURSOR_SIZENS = 32645,
  UI_CURSOR_SIZEWE = 32644,
  UI_CURSOR_SIZEALL = 32646,
};

constexpr uint64_t UI_QUEUE_SIZE = 256;

struct UiInput {
  uint32_t key;        // ui_key code of a key press
  uint32_t character;  // typed character 1..127
  uint16_t command;    // menu command
  uint8_t ctrl;
  uint8_t shift;
  uint32_t pointer;    // ui_pointer action
  int32_t x;
  int32_t y;
  int32_t wheel;       // positive away from the user, 120 per notch
  uint8_t close;       // the user asked to close the window
  uint16_t drop;       // a file was dropped on the window: 1 + the slot ui_window_dropped_path reads; else 0
};

struct UiFramebuffer {
  uint32_t* pixels;  // width x height, top row first, bytes B, G, R, X
  uint64_t width;
  uint64_t height;
};

struct UiMenuItem {
  const char* menu;
  const char* label;
  uint16_t command;
};

struct UiMenuEntry {
  const char* label;
  uint64_t command;  // from 1; 0 means nothing was chosen
};

// ---------------------------------------------------------------- window
// Whether a display can be used: false when only the headless fallback would
// run and no video driver was asked for by name.
bool ui_display_available();
UiWindow* ui_window_create(const UiWindowConfig* config);
void ui_window_destroy(UiWindow* window);
// Dispatches every waiting platform event; false once the quit request is taken.
bool ui_window_poll_events();
bool ui_window_next_input(UiWindow* window, UiInput* out);
// The path of the file dropped on the window with `event` (a drop event taken
// from the queue, before UI_QUEUE_SIZE later drops); false for another event
// or a path of `capacity` bytes or more. A dropped folder comes as its path too.
bool ui_window_dropped_path(UiWindow* window, const UiInput* event, char* out, uint64_t capacity);
bool ui_window_is_visible(UiWindow* window);
bool ui_window_client_size(UiWindow* window, uint32_t* width, uint32_t* height);
bool ui_window_pointer(UiWindow* window, int32_t* x, int32_t* y);
// Where the pointer last moved over the client area with no button held;
// false while a drag holds the capture or after it left the window.
bool ui_window_hover(UiWindow* window, int32_t* x, int32_t* y);
// kind 1 horizontal resize, 2 vertical resize, anything else the arrow.
void ui_window_set_cursor(UiWindow* window, uint32_t kind);
// Makes the system cursor `id` (UI_CURSOR_*) the window's cursor; false when it cannot be loaded.
bool ui_window_use_cursor(UiWindow* window, uint32_t id);
uint32_t ui_window_cursor(UiWindow* window);
void ui_window_set_title(UiWindow* window, const char* title);
void ui_window_request_close(UiWindow* window);
bool ui_window_set_target_fps(UiWindow* window, uint32_t fps);
uint32_t ui_window_target_fps(UiWindow* window);
// Waits until the next frame of the window's pacing, or less when woken.
bool ui_window_wait_frame(UiWindow* window);
// Ends the window's frame wait early; any thread may call it. A wait under way
// returns at once, or else the next one does; the frame after keeps the
// schedule's deadline, so wakes add passes without moving the pacing.
void ui_window_wake(UiWindow* window);
// The drift-free deadline step of the frame wait: one period of `frequency` / `fps`
// counts, carrying the remainder of the division from frame to frame.
void ui_frame_advance(int64_t* next_frame_count, uint32_t* frame_remainder, int64_t frequency, uint32_t fps);
bool ui_window_set_menu(UiWindow* window, const UiMenuItem* items, uint64_t count);

// ---------------------------------------------------------- modal boxes
int ui_report_error(const char* text);
bool ui_confirm(const char* title, const char* text);
// A question about unsaved edits with three answers.
enum : uint32_t {
  UI_SAVE_QUESTION_CANCEL = 0,
  UI_SAVE_QUESTION_DISCARD = 1,
  UI_SAVE_QUESTION_SAVE = 2,
};
uint32_t ui_ask_save(const char* title, const char* text);
// Answers ui_ask_save instead of a box (tests); null restores the box. Without
// it, a confirm hook answers: yes is Discard, no is Cancel.
void ui_set_save_question_hook(uint32_t (*ask)(const char* title, const char* text));
int ui_show_info(UiWindow* window, const char* caption, const char* text);

// ------------------------------------------------------------- clipboard
bool ui_clipboard_write(UiWindow* window, const char* text, uint64_t length);
bool ui_clipboard_read(UiWindow* window, char* buffer, uint64_t capacity);

// ----------------------------------------------------------- framebuffer
bool ui_framebuffer_init(UiFramebuffer* buffer, uint64_t width, uint64_t height);
void ui_framebuffer_destroy(UiFramebuffer* buffer);
bool ui_framebuffer_present(UiWindow* window, const UiFramebuffer* buffer);

// --------------------------------------------------------------- dialogs
// The file, folder and colour choosers run beside the frame loop: a *_begin
// call opens one and ui_dialog_poll, called once a frame, tells when its
// answer has come. A desktop dialog (zenity, else kdialog) is a program of its
// own, so the window keeps drawing while it is open; the window layer's own
// picker, used when neither is installed, and the test answers give their
// answer at once. One chooser is open at a time.
enum : uint32_t {
  UI_DIALOG_IDLE = 0,       // no chooser is open
  UI_DIALOG_WAITING = 1,    // the chooser is open; its answer has not come yet
  UI_DIALOG_CHOSEN = 2,     // answered: the path or colour is in the answer
  UI_DIALOG_CANCELLED = 3,  // dismissed, refused, or no chooser could be shown
};

struct UiDialogAnswer {
  char path[KELVRA_PATH_SIZE];  // a chosen file or folder (full path)
  uint32_t rgb;    // a chosen colour, 0xRRGGBB
  // The answer of a chooser of several files: `file_count` full paths one
  // after another, each ending in its NUL. They stay valid until the next
  // chooser opens.
  const char* files;
  uint32_t file_count;
};

// Opens a file chooser for `extension` files. A save chooser proposes
// `proposed` (a full path or a name; may be empty), adds the extension to a
// name without one and asks before replacing a file it did not ask about.
uint32_t ui_file_dialog_begin(UiWindow* window, bool save, const char* extension, const char* proposed,
                              UiDialogAnswer* answer);
uint32_t ui_folder_dialog_begin(UiWindow* window, UiDialogAnswer* answer);
// Opens a chooser of one or several existing files of any kind, titled `title`.
uint32_t ui_files_dialog_begin(UiWindow* window, const char* title, UiDialogAnswer* answer);
uint32_t ui_color_dialog_begin(UiWindow* window, uint32_t rgb, UiDialogAnswer* answer);
// Checks the open chooser without waiting: WAITING, or its answer (the
// chooser is then closed), or IDLE when none is open.
uint32_t ui_dialog_poll(UiWindow* window, UiDialogAnswer* answer);
// Closes the open chooser without an answer (its program is ended).
void ui_dialog_end();

uint64_t ui_popup_menu(UiWindow* window, int32_t x, int32_t y, const UiMenuEntry* entries, uint64_t count);
bool ui_shell_action(UiWindow* window, const char* verb, const char* path);
bool ui_show_properties(UiWindow* window, const char* path);
bool ui_open_folder(UiWindow* window, const char* path);
// Shows a file selected in the file manager; false when nothing could show it.
bool ui_reveal_file(const char* path);
// Opens a web page in the user's browser. Needs no window: the publishing
// workers call it from their own threads.
bool ui_open_url(const char* url);

// The folder the file choosers start in (the media folder).
void ui_set_dialog_folder(const char* folder);

// Answers that tests give in place of the modal dialogs (null entries fall
// back to the real dialogs). Production code never installs them.
struct UiDialogHooks {
  bool (*confirm)(const char* title, const char* text);
  bool (*choose_file)(bool save, const char* extension, char* path);
  uint64_t (*popup_menu)(int32_t x, int32_t y, const UiMenuEntry* entries, uint64_t count);
};
void ui_set_dialog_hooks(const UiDialogHooks* hooks);
