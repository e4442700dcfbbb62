// Real SDL events for one window, pushed into SDL's own queue: what a
// keyboard, a mouse and the window manager deliver to the window layer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/ui_internal.h"

namespace kelvra_test {

inline void push_key(uint32_t window, SDL_Keycode sym, uint16_t mod = KMOD_NONE) {
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.windowID = window;
  e.key.state = SDL_PRESSED;
  e.key.keysym.sym = sym;
  e.key.keysym.mod = mod;
  SDL_PushEvent(&e);
}

inline void push_text(uint32_t window, const char* typed) {
  SDL_Event e{};
  e.type = SDL_TEXTINPUT;
  e.text.windowID = window;
  std::snprintf(e.text.text, sizeof e.text.text, "%s", typed);
  SDL_PushEvent(&e);
}

inline void push_button(uint32_t window, uint8_t which, bool down, int x, int y) {
  SDL_Event e{};
  e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
  e.button.windowID = window;
  e.button.button = which;
  e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
  e.button.clicks = 1;
  e.button.x = x;
  e.button.y = y;
  SDL_PushEvent(&e);
}

inline void push_motion(uint32_t window, int x, int y) {
  SDL_Event e{};
  e.type = SDL_MOUSEMOTION;
  e.motion.windowID = window;
  e.motion.x = x;
  e.motion.y = y;
  SDL_PushEvent(&e);
}

inline void push_wheel(uint32_t window, int notches, int x, int y) {
  SDL_Event e{};
  e.type = SDL_MOUSEWHEEL;
  e.wheel.windowID = window;
  e.wheel.y = notches;
  e.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
  e.wheel.mouseX = x;
  e.wheel.mouseY = y;
  SDL_PushEvent(&e);
}

inline void push_close(uint32_t window) {
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.windowID = window;
  e.window.event = SDL_WINDOWEVENT_CLOSE;
  SDL_PushEvent(&e);
}

}  // namespace kelvra_test
