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
