// Shared between the platform backends only: the SDL side of the window layer.
#pragma once

#include <SDL2/SDL.h>

#include "platform/ui.h"

SDL_Window* ui_window_sdl(UiWindow* window);
// Queues a menu command event (used by the window's menu popup).
void ui_queue_command(UiWindow* window, uint16_t command);
// The menu set with ui_window_set_menu.
const UiMenuItem* ui_window_menu(UiWindow* window, uint64_t* count);
// Shows the window's menu as a popup and queues the chosen command.
void ui_open_window_menu(UiWindow* window);
// Around every modal dialog, box and menu: begin releases the pointer
// capture; end drops the pointer events that arrived while it was open.
void ui_modal_begin();
void ui_modal_end();
// The real Yes/No box behind ui_confirm.
bool ui_message_confirm(const char* title, const char* text);
// The three-button box behind ui_ask_save.
uint32_t ui_message_ask_save(const char* title, const char* text);

// Moves a popup of width x height whose corner was asked at (*x, *y) into
// `area` (the usable part of the screen): flipped to the left of or above
// the point when it would run past the right or bottom edge, then held
// inside. An area smaller than the popup keeps its left or top edge.
void ui_fit_popup(SDL_Rect area, int width, int height, int* x, int* y);
