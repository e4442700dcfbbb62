// Window layer on SDL2.
//
// Provides: the one top-level window, SDL events turned into the UiInput ring
// (256 events, the close request first), mouse capture while the left button
// is down, system cursors, frame pacing on CLOCK_MONOTONIC with absolute
// deadlines and a carried remainder (a wait that another thread can end
// early without moving the schedule), the clipboard (ASCII only), message
// boxes (ended by a termination request), a plain pixel framebuffer, and the
// files dropped on the window (their paths kept beside the queue).
// Cannot: show a native menu bar (a menu set with ui_window_set_menu opens as
// a popup on F10 instead), or report a "quit message" from the platform: the
// quit is posted only by ui_window_request_close; SDL's own quit event is a
// close request like the window's close button.
//
// Index:
//   [state]    backend record, window record
//   [create]   ui_display_available, ui_window_create, ui_window_destroy
//   [events]   event translation and the input ring
//   [pointer]  pointer position and cursors
//   [pacing]   ui_window_wait_frame and its arithmetic
//   [boxes]    message boxes, clipboard, framebuffer, menu
#include <SDL2/SDL.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

// ------------------------------------------------------------------- [state]

struct UiWindow {
  SDL_Window* sdl;
  uint32_t window_id;
  SDL_Cursor* cursor;   // shown over the client area; null until one is set
  uint32_t cursor_id;   // UI_CURSOR_* of `cursor`
  int64_t counter_frequency;  // counts per second of the pacing clock (nanoseconds)
  int64_t next_frame_count;
  uint32_t frame_remainder;
  uint32_t target_fps;
  int wake_fd;          // an eventfd that ui_window_wake counts up to end the frame wait; -1 when none
  uint8_t wait_cut;     // the last wait was ended by a wake before its deadline, which still stands
  uint8_t close_as_event;
  uint8_t close_requested;
  uint8_t captured;     // the left button holds the mouse capture
  int32_t hover_x;      // where the pointer last moved over the client area
  int32_t hover_y;
  uint8_t hovering;     // it has moved there and not left since
  UiInput queue[UI_QUEUE_SIZE];
  uint64_t queue_head;
  uint64_t queue_count;
  // The paths of dropped files, by slot; a drop event names its slot. The
  // ring is as long as the queue, so a slot is taken again only after its
  // event has left the queue. Each path is SDL's, freed with SDL_free.
  char* dropped[UI_QUEUE_SIZE];
  uint64_t next_drop;
  UiMenuItem* menu;     // copy of the items of ui_window_set_menu, or null
  char* menu_text;      // storage of the copied texts
  uint64_t menu_count;
};

namespace {

constexpr int kMaxWindows = 8;

struct UiPlatform {
  bool video_started;
  bool quit_posted;
  UiWindow* windows[kMaxWindows];
  SDL_Cursor* system_cursors[SDL_NUM_SYSTEM_CURSORS];
};
UiPlatform g_platform;

UiWindow* window_by_id(uint32_t id) {
  for (UiWindow* window : g_platform.windows) {
    if (window != nullptr && window->window_id == id) return window;
  }
  return nullptr;
}

bool start_video() {
  if (g_platform.video_started) return true;
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  g_platform.video_started = true;
  return true;
}

int64_t counter_now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

// ------------------------------------------------------------------ [create]

bool ui_display_available() {
  if (!start_video()) return false;
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr) return false;
  if (std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0) return true;
  // The headless drivers count only when they were asked for by name.
  const char* wanted = std::getenv("SDL_VIDEODRIVER");
  return wanted != nullptr && SDL_strcasecmp(wanted, driver) == 0;
}

UiWindow* ui_window_create(const UiWindowConfig* config) {
  if (config == nullptr || config->title == nullptr || config->target_fps > 1000 || config->mode > 2) return nullptr;
  if (config->mode < 2 && (config->width == 0 || config->height == 0 || config->width > 1073741823u ||
                           config->height > 1073741823u))
    return nullptr;
  if (!config->decorated && (config->minimize_box || config->maximize_box)) return nullptr;
  if (config->maximize_box && !config->resizable) return nullptr;
  if (!start_video()) return nullptr;
  int slot = 0;
  while (slot < kMaxWindows && g_platform.windows[slot] != nullptr) ++slot;
  if (slot == kMaxWindows) return nullptr;

  UiWindow* window = static_cast<UiWindow*>(std::calloc(1, sizeof(UiWindow)));
  if (window == nullptr) return nullptr;
  uint32_t flags = SDL_WINDOW_HIDDEN;
  int x = SDL_WINDOWPOS_CENTERED_DISPLAY(0);
  int y = SDL_WINDOWPOS_CENTERED_DISPLAY(0);
  int width = static_cast<int>(config->width);
  int height = static_cast<int>(config->height);
  if (config->mode == 2) {
    SDL_Rect bounds;
    if (SDL_GetDisplayBounds(0, &bounds) != 0) {
      std::free(window);
      return nullptr;
    }
    flags |= SDL_WINDOW_BORDERLESS;
    x = bounds.x;
    y = bounds.y;
    width = bounds.w;
    height = bounds.h;
  } else {
    if (!config->decorated) flags |= SDL_WINDOW_BORDERLESS;
    if (config->resizable) flags |= SDL_WINDOW_RESIZABLE;
    if (config->mode == 1) flags |= SDL_WINDOW_MAXIMIZED;
  }
  SDL_SetHint("SDL_VIDEO_X11_WMCLASS", "zarnel-kelvra");
  SDL_SetHint("SDL_VIDEO_WAYLAND_WMCLASS", "zarnel-kelvra");
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  // Files dragged from a file manager arrive as drop events (the window
  // then tells the desktop that it takes them).
  SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
  window->sdl = SDL_CreateWindow(config->title, x, y, width, height, flags);
  if (window->sdl == nullptr) {
    std::free(window);
    return nullptr;
  }
  window->window_id = SDL_GetWindowID(window->sdl);
  window->close_as_event = config->close_as_event;
  window->counter_frequency = 1000000000LL;
  window->target_fps = config->target_fps;
  window->next_frame_count = counter_now();
  // Without it the frame wait is only ever ended by its deadline.
  window->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_platform.windows[slot] = window;
  g_platform.quit_posted = false;
  SDL_ShowWindow(window->sdl);
  if (config->mode == 1) SDL_MaximizeWindow(window->sdl);
  return window;
}

void ui_window_destroy(UiWindow* window) {
  if (window == nullptr) return;
  for (UiWindow*& slot : g_platform.windows) {
    if (slot == window) slot = nullptr;
  }
  if (window->captured) SDL_CaptureMouse(SDL_FALSE);
  for (char*& path : window->dropped) {
    SDL_free(path);
    path = nullptr;
  }
  SDL_DestroyWindow(window->sdl);
  if (window->wake_fd >= 0) close(window->wake_fd);
  std::free(window->menu);
  std::free(window->menu_text);
  std::free(window);
}

SDL_Window* ui_window_sdl(UiWindow* window) { return window != nullptr ? window->sdl : nullptr; }

// ------------------------------------------------------------------ [events]

namespace {

void queue_event(UiWindow* window, const UiInput& event) {
  if (window->queue_count == UI_QUEUE_SIZE) return;  // full: the new event is dropped
  window->queue[(window->queue_head + window->queue_count) % UI_QUEUE_SIZE] = event;
  ++window->queue_count;
}

UiInput modified_event(uint16_t modifiers) {
  UiInput event{};
  event.ctrl = (modifiers & KMOD_CTRL) != 0;
  event.shift = (modifiers & KMOD_SHIFT) != 0;
  return event;
}

uint32_t key_code(SDL_Keycode sym) {
  if (sym >= SDLK_a && sym <= SDLK_z) return UI_KEY_A + static_cast<uint32_t>(sym - SDLK_a);
  if (sym >= SDLK_F1 && sym <= SDLK_F12) return UI_KEY_F1 + static_cast<uint32_t>(sym - SDLK_F1);
  switch (sym) {
    case SDLK_ESCAPE: return UI_KEY_ESCAPE;
    case SDLK_LEFT: return UI_KEY_LEFT;
    case SDLK_RIGHT: return UI_KEY_RIGHT;
    case SDLK_UP: return UI_KEY_UP;
    case SDLK_DOWN: return UI_KEY_DOWN;
    case SDLK_HOME: return UI_KEY_HOME;
    case SDLK_END: return UI_KEY_END;
    case SDLK_DELETE: return UI_KEY_DELETE;
    case SDLK_BACKQUOTE: return UI_KEY_GRAVE;
    case SDLK_PAGEUP: return UI_KEY_PAGE_UP;
    case SDLK_PAGEDOWN: return UI_KEY_PAGE_DOWN;
    default: return UI_KEY_NONE;
  }
}

// The character a key press types besides what text input delivers: the
// control characters and every Ctrl combination.
uint32_t key_character(SDL_Keycode sym, uint16_t modifiers) {
  switch (sym) {
    case SDLK_ESCAPE: return 27;
    case SDLK_BACKSPACE: return 8;
    case SDLK_TAB: return 9;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return 10;
    default: break;
  }
  if (modifiers & KMOD_CTRL) {
    if (sym >= SDLK_a && sym <= SDLK_z) return static_cast<uint32_t>(sym) & 0x1F;
    if (sym == SDLK_SPACE) return 32;
  }
  return 0;
}

void handle_key(UiWindow* window, const SDL_KeyboardEvent& key) {
  if (key.keysym.sym == SDLK_F10 && window->menu_count > 0 && !(key.keysym.mod & (KMOD_CTRL | KMOD_SHIFT))) {
    ui_open_window_menu(window);
    return;
  }
  UiInput event = modified_event(key.keysym.mod);
  event.key = key_code(key.keysym.sym);
  if (event.key != UI_KEY_NONE) queue_event(window, event);
  event.key = UI_KEY_NONE;
  event.character = key_character(key.keysym.sym, key.keysym.mod);
  if (event.character != 0) queue_event(window, event);
}

void handle_text(UiWindow* window, const char* text) {
  const uint16_t modifiers = SDL_GetModState();
  if (modifiers & KMOD_CTRL) return;  // the key press already gave the character
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p >= 128) continue;  // only ASCII is typed into the program
    UiInput event = modified_event(modifiers);
    event.character = *p == 13 ? 10 : *p;
    queue_event(window, event);
  }
}

void handle_button(UiWindow* window, const SDL_MouseButtonEvent& button, bool down) {
  UiInput event = modified_event(SDL_GetModState());
  event.x = button.x;
  event.y = button.y;
  if (button.button == SDL_BUTTON_LEFT) {
    if (down) {
      SDL_RaiseWindow(window->sdl);
      SDL_CaptureMouse(SDL_TRUE);
      window->captured = 1;
      event.pointer = UI_POINTER_PRESS;
    } else {
      if (window->captured) SDL_CaptureMouse(SDL_FALSE);
      window->captured = 0;
      event.pointer = UI_POINTER_RELEASE;
    }
  } else if (button.button == SDL_BUTTON_RIGHT && !down) {
    event.pointer = UI_POINTER_CONTEXT;
  } else if (button.button == SDL_BUTTON_MIDDLE && down) {
    event.pointer = UI_POINTER_MIDDLE;
  } else {
    return;
  }
  queue_event(window, event);
}

// A dropped file: its path goes to the next slot, its event to the queue.
void handle_drop(UiWindow* window, char* path) {
  if (window == nullptr || window->queue_count == UI_QUEUE_SIZE) {
    SDL_free(path);  // a full queue drops the event, and with it the path
    return;
  }
  const uint64_t slot = window->next_drop;
  window->next_drop = (slot + 1) % UI_QUEUE_SIZE;
  SDL_free(window->dropped[slot]);
  window->dropped[slot] = path;
  UiInput event{};
  event.drop = static_cast<uint16_t>(slot + 1);
  queue_event(window, event);
}

void handle_event(const SDL_Event& e) {
  switch (e.type) {
    case SDL_QUIT:
      // Ctrl+C or the last window's close: a close request. (SIGTERM and
      // SIGHUP, a session's logout, have handlers of their own that ask nothing.)
      for (UiWindow* window : g_platform.windows) {
        if (window != nullptr && window->close_as_event) window->close_requested = 1;
      }
      return;
    case SDL_WINDOWEVENT: {
      UiWindow* window = window_by_id(e.window.windowID);
      if (window != nullptr && e.window.event == SDL_WINDOWEVENT_CLOSE && window->close_as_event)
        window->close_requested = 1;
      if (window != nullptr && e.window.event == SDL_WINDOWEVENT_LEAVE) window->hovering = 0;
      return;
    }
    case SDL_KEYDOWN: {
      if (UiWindow* window = window_by_id(e.key.windowID)) handle_key(window, e.key);
      return;
    }
    case SDL_TEXTINPUT: {
      if (UiWindow* window = window_by_id(e.text.windowID)) handle_text(window, e.text.text);
      return;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      if (e.button.which == SDL_TOUCH_MOUSEID) return;
      if (UiWindow* window = window_by_id(e.button.windowID))
        handle_button(window, e.button, e.type == SDL_MOUSEBUTTONDOWN);
      return;
    }
    case SDL_MOUSEMOTION: {
      UiWindow* window = window_by_id(e.motion.windowID);
      if (window != nullptr && !window->captured) {  // not an event: where the pointer rests
        window->hover_x = e.motion.x;
        window->hover_y = e.motion.y;
        window->hovering = 1;
      }
      if (window == nullptr || !window->captured) return;  // moves count only during a drag
      UiInput event = modified_event(SDL_GetModState());
      event.pointer = UI_POINTER_MOVE;
      event.x = e.motion.x;
      event.y = e.motion.y;
      queue_event(window, event);
      return;
    }
    case SDL_DROPFILE: {
      // A drop without a window (some desktops send none) goes to the only window.
      UiWindow* window = window_by_id(e.drop.windowID);
      if (window == nullptr && e.drop.windowID == 0) {
        for (UiWindow* any : g_platform.windows) {
          if (any != nullptr) {
            window = any;
            break;
          }
        }
      }
      if (e.drop.file != nullptr) handle_drop(window, e.drop.file);
      return;
    }
    case SDL_MOUSEWHEEL: {
      UiWindow* window = window_by_id(e.wheel.windowID);
      if (window == nullptr || e.wheel.y == 0) return;
      UiInput event = modified_event(SDL_GetModState());
      event.pointer = UI_POINTER_WHEEL;
      int notches = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
      event.wheel = notches * 120;
      event.x = e.wheel.mouseX;
      event.y = e.wheel.mouseY;
      queue_event(window, event);
      return;
    }
    default:
      return;
  }
}

}  // namespace

bool ui_window_poll_events() {
  SDL_Event e;
  while (SDL_PollEvent(&e)) handle_event(e);
  if (g_platform.quit_posted) {
    g_platform.quit_posted = false;
    return false;
  }
  return true;
}

bool ui_window_next_input(UiWindow* window, UiInput* out) {
  if (window == nullptr || out == nullptr) return false;
  if (window->close_requested) {
    window->close_requested = 0;
    *out = UiInput{};
    out->close = 1;
    return true;
  }
  if (window->queue_count == 0) return false;
  *out = window->queue[window->queue_head];
  window->queue_head = (window->queue_head + 1) % UI_QUEUE_SIZE;
  --window->queue_count;
  return true;
}

bool ui_window_dropped_path(UiWindow* window, const UiInput* event, char* out, uint64_t capacity) {
  if (window == nullptr || event == nullptr || out == nullptr || capacity == 0) return false;
  if (event->drop == 0 || event->drop > UI_QUEUE_SIZE) return false;
  const char* path = window->dropped[event->drop - 1];
  if (path == nullptr) return false;
  const size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

void ui_queue_command(UiWindow* window, uint16_t command) {
  UiInput event{};
  event.command = command;
  queue_event(window, event);
}

bool ui_window_is_visible(UiWindow* window) {
  return window != nullptr && (SDL_GetWindowFlags(window->sdl) & SDL_WINDOW_MINIMIZED) == 0;
}

bool ui_window_client_size(UiWindow* window, uint32_t* width, uint32_t* height) {
  if (window == nullptr || width == nullptr || height == nullptr) return false;
  int w = 0;
  int h = 0;
  SDL_GetWindowSize(window->sdl, &w, &h);
  if (w < 0 || h < 0) return false;
  *width = static_cast<uint32_t>(w);
  *height = static_cast<uint32_t>(h);
  return true;
}

void ui_window_set_title(UiWindow* window, const char* title) {
  if (window != nullptr && title != nullptr) SDL_SetWindowTitle(window->sdl, title);
}

void ui_window_request_close(UiWindow*) { g_platform.quit_posted = true; }

// ----------------------------------------------------------------- [pointer]

bool ui_window_hover(UiWindow* window, int32_t* x, int32_t* y) {
  if (window == nullptr || !window->hovering || window->captured) return false;
  *x = window->hover_x;
  *y = window->hover_y;
  return true;
}

bool ui_window_pointer(UiWindow* window, int32_t* x, int32_t* y) {
  if (window == nullptr || x == nullptr || y == nullptr) return false;
  int px = 0;
  int py = 0;
  if (window->captured) {
    int gx = 0;
    int gy = 0;
    int wx = 0;
    int wy = 0;
    SDL_GetGlobalMouseState(&gx, &gy);
    SDL_GetWindowPosition(window->sdl, &wx, &wy);
    px = gx - wx;
    py = gy - wy;
  } else {
    if (SDL_GetMouseFocus() != window->sdl) return false;
    SDL_GetMouseState(&px, &py);
    int w = 0;
    int h = 0;
    SDL_GetWindowSize(window->sdl, &w, &h);
    if (px < 0 || py < 0 || px >= w || py >= h) return false;
  }
  *x = px;
  *y = py;
  return true;
}

namespace {

SDL_Cursor* system_cursor(uint32_t id) {
  SDL_SystemCursor kind;
  switch (id) {
    case UI_CURSOR_ARROW: kind = SDL_SYSTEM_CURSOR_ARROW; break;
    case UI_CURSOR_IBEAM: kind = SDL_SYSTEM_CURSOR_IBEAM; break;
    case UI_CURSOR_CROSS: kind = SDL_SYSTEM_CURSOR_CROSSHAIR; break;
    case UI_CURSOR_SIZEWE: kind = SDL_SYSTEM_CURSOR_SIZEWE; break;
    case UI_CURSOR_SIZENS: kind = SDL_SYSTEM_CURSOR_SIZENS; break;
    case UI_CURSOR_SIZEALL: kind = SDL_SYSTEM_CURSOR_SIZEALL; break;
    default: return nullptr;
  }
  if (g_platform.system_cursors[kind] == nullptr) g_platform.system_cursors[kind] = SDL_CreateSystemCursor(kind);
  return g_platform.system_cursors[kind];
}

}  // namespace

bool ui_window_use_cursor(UiWindow* window, uint32_t id) {
  if (window == nullptr) return false;
  SDL_Cursor* cursor = system_cursor(id);
  if (cursor == nullptr) return false;
  if (cursor != window->cursor) {
    window->cursor = cursor;
    window->cursor_id = id;
    if (SDL_GetMouseFocus() == window->sdl || window->captured) SDL_SetCursor(cursor);
  }
  return true;
}

void ui_window_set_cursor(UiWindow* window, uint32_t kind) {
  ui_window_use_cursor(window, kind == 1 ? UI_CURSOR_SIZEWE : kind == 2 ? UI_CURSOR_SIZENS : UI_CURSOR_ARROW);
}

uint32_t ui_window_cursor(UiWindow* window) { return window != nullptr ? window->cursor_id : 0; }

// ------------------------------------------------------------------ [pacing]

void ui_frame_advance(int64_t* next_frame_count, uint32_t* frame_remainder, int64_t frequency, uint32_t fps) {
  *next_frame_count += frequency / fps;
  *frame_remainder += static_cast<uint32_t>(frequency % fps);
  *next_frame_count += *frame_remainder / fps;
  *frame_remainder %= fps;
}

bool ui_window_set_target_fps(UiWindow* window, uint32_t fps) {
  if (window == nullptr || fps > 1000) return false;
  window->target_fps = fps;
  window->next_frame_count = counter_now();
  window->frame_remainder = 0;
  window->wait_cut = 0;
  return true;
}

uint32_t ui_window_target_fps(UiWindow* window) { return window != nullptr ? window->target_fps : 0; }

void ui_window_wake(UiWindow* window) {
  if (window == nullptr || window->wake_fd < 0) return;
  const uint64_t one = 1;
  // A full counter (never reached) already wakes the wait.
  [[maybe_unused]] const ssize_t written = write(window->wake_fd, &one, sizeof one);
}

namespace {

// Takes the wakes counted so far; true when there was one.
bool take_wake(UiWindow* window) {
  uint64_t count = 0;
  return window->wake_fd >= 0 && read(window->wake_fd, &count, sizeof count) == sizeof count && count > 0;
}

}  // namespace

bool ui_window_wait_frame(UiWindow* window) {
  if (window == nullptr) return false;
  if (window->target_fps == 0) {
    take_wake(window);
    return true;
  }
  // A wait that a wake ended left its deadline in place: this one waits for it.
  if (!window->wait_cut)
    ui_frame_advance(&window->next_frame_count, &window->frame_remainder, window->counter_frequency,
                     window->target_fps);
  window->wait_cut = 0;
  int64_t now = counter_now();
  if (now >= window->next_frame_count) {
    // A late frame restarts the schedule instead of hurrying to catch up.
    take_wake(window);
    window->next_frame_count = now;
    window->frame_remainder = 0;
    return true;
  }
  if (window->wake_fd < 0) {
    const timespec deadline{static_cast<time_t>(window->next_frame_count / 1000000000LL),
                            static_cast<long>(window->next_frame_count % 1000000000LL)};
    while (now < window->next_frame_count) {
      int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
      if (result != 0 && result != EINTR) return false;
      now = counter_now();
    }
    return true;
  }
  // Waits for the deadline or a wake (one that came during the pass ends the wait at once).
  while (now < window->next_frame_count) {
    if (take_wake(window)) {
      window->wait_cut = 1;
      return true;
    }
    const int64_t left = window->next_frame_count - now;
    const timespec timeout{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    pollfd woken{window->wake_fd, POLLIN, 0};
    const int result = ppoll(&woken, 1, &timeout, nullptr);
    if (result < 0 && errno != EINTR) return false;
    now = counter_now();
  }
  return true;
}

// ------------------------------------------------------------------- [boxes]

void ui_modal_begin() {
  // A window holding the pointer (on X11 a grab of the whole screen) would
  // keep the dialog from getting the clicks meant for it.
  for (UiWindow* window : g_platform.windows) {
    if (window == nullptr || !window->captured) continue;
    SDL_CaptureMouse(SDL_FALSE);
    window->captured = 0;
  }
}

void ui_modal_end() {
  // Pointer events that arrived while the dialog was up were meant for it.
  SDL_PumpEvents();
  SDL_FlushEvents(SDL_MOUSEMOTION, SDL_MOUSEWHEEL);
}

namespace {

// SDL shows a message box through a process of its own (zenity, or a forked
// X client) and waits for it, so nothing on this thread can end the box. A
// watcher does when a termination request comes: it ends the children that
// appeared while the box was up, and the box returns as dismissed.
int show_box(const SDL_MessageBoxData* box, int* chosen) {
  struct Watch {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    int spared[64];
    size_t spared_count = 0;
  } watch;
  watch.spared_count = sys_other_children(watch.spared, 64);
  std::thread watcher;
  try {
    watcher = std::thread([&watch] {
      std::unique_lock<std::mutex> held(watch.lock);
      while (!watch.done) {
        if (sys_termination_signal() != 0) sys_end_other_children(watch.spared, watch.spared_count);
        watch.changed.wait_for(held, std::chrono::milliseconds(20));
      }
    });
  } catch (...) {
    // Without a watcher the box is only ended by its user.
  }
  ui_modal_begin();
  const int shown = sys_termination_signal() == 0 ? SDL_ShowMessageBox(box, chosen) : -1;
  ui_modal_end();
  {
    std::lock_guard<std::mutex> held(watch.lock);
    watch.done = true;
  }
  watch.changed.notify_all();
  if (watcher.joinable()) watcher.join();
  return shown;
}

int show_simple_box(uint32_t flags, const char* caption, const char* text, SDL_Window* parent) {
  const SDL_MessageBoxButtonData ok = {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT,
                                       0, "OK"};
  const SDL_MessageBoxData box = {flags, parent, caption, text, 1, &ok, nullptr};
  int chosen = 0;
  return show_box(&box, &chosen);
}

}  // namespace

int ui_report_error(const char* text) {
  show_simple_box(SDL_MESSAGEBOX_ERROR, "Zarnel UI", text != nullptr ? text : "", nullptr);
  return 1;
}

bool ui_message_confirm(const char* title, const char* text) {
  const SDL_MessageBoxButtonData buttons[] = {
      {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 0, "No"},
      {0, 1, "Yes"},
  };
  const SDL_MessageBoxData box = {SDL_MESSAGEBOX_WARNING, nullptr, title, text, 2, buttons, nullptr};
  int chosen = 0;
  const int shown = show_box(&box, &chosen);
  return shown == 0 && chosen == 1;
}

uint32_t ui_message_ask_save(const char* title, const char* text) {
  const SDL_MessageBoxButtonData buttons[] = {
      {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, UI_SAVE_QUESTION_CANCEL, "Cancel"},
      {0, UI_SAVE_QUESTION_DISCARD, "Discard"},
      {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, UI_SAVE_QUESTION_SAVE, "Save"},
  };
  const SDL_MessageBoxData box = {SDL_MESSAGEBOX_WARNING, nullptr, title, text, 3, buttons, nullptr};
  int chosen = UI_SAVE_QUESTION_CANCEL;
  const int shown = show_box(&box, &chosen);
  return shown == 0 && chosen >= 0 && chosen <= 2 ? static_cast<uint32_t>(chosen) : UI_SAVE_QUESTION_CANCEL;
}

int ui_show_info(UiWindow* window, const char* caption, const char* text) {
  const int shown = show_simple_box(SDL_MESSAGEBOX_INFORMATION, caption, text, window != nullptr ? window->sdl : nullptr);
  return shown == 0 ? 1 : 0;
}

bool ui_clipboard_write(UiWindow* window, const char* text, uint64_t length) {
  if (window == nullptr || text == nullptr || length > 9223372036854775806ull) return false;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  bool ok = SDL_SetClipboardText(copy) == 0;
  std::free(copy);
  return ok;
}

bool ui_clipboard_read(UiWindow* window, char* buffer, uint64_t capacity) {
  if (window == nullptr || buffer == nullptr || capacity == 0 || !SDL_HasClipboardText()) return false;
  char* text = SDL_GetClipboardText();
  if (text == nullptr) return false;
  // ASCII only: the copy stops at the first other byte and succeeds only
  // when the terminator fits within the capacity.
  bool ok = false;
  for (uint64_t i = 0; i < capacity; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    buffer[i] = static_cast<char>(c);
    if (c == 0) {
      ok = true;
      break;
    }
    if (c >= 128) break;
  }
  SDL_free(text);
  return ok;
}

bool ui_framebuffer_init(UiFramebuffer* buffer, uint64_t width, uint64_t height) {
  if (buffer == nullptr || buffer->pixels != nullptr || width < 1 || height < 1 || width > 2147483647u ||
      height > 2147483647u)
    return false;
  if (width > UINT64_MAX / 4 / height) return false;
  buffer->pixels = static_cast<uint32_t*>(std::calloc(width * height, 4));
  if (buffer->pixels == nullptr) return false;
  buffer->width = width;
  buffer->height = height;
  return true;
}

void ui_framebuffer_destroy(UiFramebuffer* buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->pixels);
  *buffer = UiFramebuffer{};
}

bool ui_framebuffer_present(UiWindow* window, const UiFramebuffer* buffer) {
  if (window == nullptr || buffer == nullptr || buffer->pixels == nullptr) return false;
  SDL_Surface* target = SDL_GetWindowSurface(window->sdl);
  if (target == nullptr) return false;
  if (target->w == 0 || target->h == 0) return true;
  SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(buffer->pixels, static_cast<int>(buffer->width),
                                                           static_cast<int>(buffer->height), 32,
                                                           static_cast<int>(buffer->width * 4), SDL_PIXELFORMAT_RGB888);
  if (source == nullptr) return false;
  bool ok = SDL_BlitScaled(source, nullptr, target, nullptr) == 0 && SDL_UpdateWindowSurface(window->sdl) == 0;
  SDL_FreeSurface(source);
  return ok;
}

bool ui_window_set_menu(UiWindow* window, const UiMenuItem* items, uint64_t count) {
  if (window == nullptr || (items == nullptr && count > 0)) return false;
  size_t text_size = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (items[i].menu == nullptr || items[i].label == nullptr) return false;
    text_size += std::strlen(items[i].menu) + std::strlen(items[i].label) + 2;
  }
  UiMenuItem* copy = count > 0 ? static_cast<UiMenuItem*>(std::calloc(count, sizeof(UiMenuItem))) : nullptr;
  char* text = count > 0 ? static_cast<char*>(std::malloc(text_size)) : nullptr;
  if (count > 0 && (copy == nullptr || text == nullptr)) {
    std::free(copy);
    std::free(text);
    return false;
  }
  char* p = text;
  for (uint64_t i = 0; i < count; ++i) {
    copy[i].command = items[i].command;
    copy[i].menu = p;
    p = ::stpcpy(p, items[i].menu) + 1;
    copy[i].label = p;
    p = ::stpcpy(p, items[i].label) + 1;
  }
  std::free(window->menu);
  std::free(window->menu_text);
  window->menu = copy;
  window->menu_text = text;
  window->menu_count = count;
  return true;
}

const UiMenuItem* ui_window_menu(UiWindow* window, uint64_t* count) {
  *count = window->menu_count;
  return window->menu;
}
