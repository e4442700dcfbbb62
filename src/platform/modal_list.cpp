// A modal list drawn by the window layer itself: the popup menu, and the file
// picker used when no desktop file dialog is installed.
//
// Provides: a borderless popup (menus) or a small dialog window (picker) that
// lists rows, highlights the row under the pointer or chosen with the arrow
// keys, optionally carries one editable line of text, and returns what was
// chosen. Escape, a click outside a popup, closing the dialog or a
// termination request (SIGTERM, SIGHUP) cancels.
// Cannot: scroll horizontally; rows longer than the window end in an ellipsis.
#include <SDL2/SDL.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/modal_list.h"
#include "platform/process.h"
#include "platform/ui_internal.h"

#include "base/palette.h"

namespace {

constexpr int kRowHeight = 24;
constexpr int kPad = 8;
constexpr Uint32 kPollMs = 10;  // the pause between two looks at an empty event queue

void colour(cairo_t* cr, uint32_t rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void text(cairo_t* cr, PangoLayout* layout, const char* value, int x, int y, int width, uint32_t rgb) {
  pango_layout_set_text(layout, value, -1);
  pango_layout_set_width(layout, width * PANGO_SCALE);
  PangoRectangle logical;
  pango_layout_get_pixel_extents(layout, nullptr, &logical);
  colour(cr, rgb);
  cairo_move_to(cr, x, y + (kRowHeight - logical.height) / 2.0);
  pango_cairo_show_layout(cr, layout);
}

struct ListState {
  const ModalListView* view;
  int width;
  int height;
  int first_row_y;  // top of row 0 in the window
  int visible_rows;
  uint64_t top;     // first row shown
  int64_t highlight;
};

void paint(SDL_Window* window, const ListState& state) {
  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (surface == nullptr) return;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, state.width, state.height);
  cairo_t* cr = cairo_create(image);
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_from_string("Segoe UI, Noto Sans, DejaVu Sans, sans-serif");
  pango_font_description_set_absolute_size(font, 12 * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_START);

  colour(cr, PALETTE_BORDER);
  cairo_paint(cr);
  colour(cr, PALETTE_PANEL);
  cairo_rectangle(cr, 1, 1, state.width - 2, state.height - 2);
  cairo_fill(cr);
  const ModalListView& view = *state.view;
  int y = kPad / 2;
  if (view.title != nullptr) {
    text(cr, layout, view.title, kPad, y, state.width - 2 * kPad, PALETTE_SECONDARY_TEXT);
    y += kRowHeight;
  }
  if (view.field != nullptr) {
    colour(cr, PALETTE_PICTURE);
    cairo_rectangle(cr, kPad, y + 2, state.width - 2 * kPad, kRowHeight - 4);
    cairo_fill(cr);
    char shown[300];
    std::snprintf(shown, sizeof shown, "%s|", view.field);
    text(cr, layout, shown, kPad + 4, y, state.width - 2 * kPad - 8, PALETTE_PRIMARY_TEXT);
  }
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  for (int i = 0; i < state.visible_rows; ++i) {
    const uint64_t row = state.top + static_cast<uint64_t>(i);
    if (row >= view.row_count) break;
    const int row_y = state.first_row_y + i * kRowHeight;
    if (static_cast<int64_t>(row) == state.highlight) {
      colour(cr, PALETTE_ACTIVE_BUTTON);
      cairo_rectangle(cr, 1, row_y, state.width - 2, kRowHeight);
      cairo_fill(cr);
    }
    text(cr, layout, view.rows[row] != nullptr ? view.rows[row] : "", kPad, row_y, state.width - 2 * kPad, PALETTE_PRIMARY_TEXT);
  }
  g_object_unref(layout);
  cairo_destroy(cr);
  cairo_surface_flush(image);
  SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(cairo_image_surface_get_data(image), state.width,
                                                           state.height, 32, cairo_image_surface_get_stride(image),
                                                           SDL_PIXELFORMAT_RGB888);
  if (source != nullptr) {
    SDL_BlitSurface(source, nullptr, surface, nullptr);
    SDL_FreeSurface(source);
    SDL_UpdateWindowSurface(window);
  }
  cairo_surface_destroy(image);
}

int64_t row_at(const ListState& state, int y) {
  if (y < state.first_row_y) return -1;
  const uint64_t row = state.top + static_cast<uint64_t>((y - state.first_row_y) / kRowHeight);
  return row < state.view->row_count ? static_cast<int64_t>(row) : -1;
}

void keep_visible(ListState* state) {
  if (state->highlight < 0) return;
  const uint64_t h = static_cast<uint64_t>(state->highlight);
  if (h < state->top) state->top = h;
  if (h >= state->top + static_cast<uint64_t>(state->visible_rows))
    state->top = h - static_cast<uint64_t>(state->visible_rows) + 1;
}

}  // namespace

void ui_fit_popup(SDL_Rect area, int width, int height, int* x, int* y) {
  const auto fit = [](int at, int size, int start, int length) {
    if (at + size > start + length && at - size >= start) at -= size;  // open towards the room there is
    if (at + size > start + length) at = start + length - size;
    return at < start ? start : at;
  };
  *x = fit(*x, width, area.x, area.w);
  *y = fit(*y, height, area.y, area.h);
}

ModalResult ui_modal_list_run(UiWindow* owner, int32_t x, int32_t y, bool popup, const ModalListView* view,
                              uint64_t* chosen) {
  SDL_Window* parent = ui_window_sdl(owner);
  int screen_x = x;
  int screen_y = y;
  if (parent != nullptr) {
    int wx = 0;
    int wy = 0;
    SDL_GetWindowPosition(parent, &wx, &wy);
    screen_x += wx;
    screen_y += wy;
  }
  ListState state{};
  state.view = view;
  const int header_rows = (view->title != nullptr) + (view->field != nullptr);
  const int max_rows = popup ? 24 : 16;
  state.visible_rows = std::max(1, std::min(max_rows, static_cast<int>(std::min<uint64_t>(view->row_count, 1000))));
  if (!popup) state.visible_rows = max_rows;
  state.width = popup ? 280 : 520;
  state.first_row_y = kPad / 2 + header_rows * kRowHeight;
  state.height = state.first_row_y + state.visible_rows * kRowHeight + kPad / 2;
  state.highlight = view->row_count > 0 && !popup ? 0 : -1;

  uint32_t flags = SDL_WINDOW_SHOWN | SDL_WINDOW_ALWAYS_ON_TOP;
  flags |= popup ? (SDL_WINDOW_BORDERLESS | SDL_WINDOW_POPUP_MENU | SDL_WINDOW_SKIP_TASKBAR) : SDL_WINDOW_UTILITY;
  if (!popup) {
    screen_x = SDL_WINDOWPOS_CENTERED;
    screen_y = SDL_WINDOWPOS_CENTERED;
  } else {
    // The menu stays on the screen of the window that opened it.
    const int display = parent != nullptr ? SDL_GetWindowDisplayIndex(parent) : 0;
    SDL_Rect area{};
    if (display >= 0 && SDL_GetDisplayUsableBounds(display, &area) == 0 && area.w > 0 && area.h > 0)
      ui_fit_popup(area, state.width, state.height, &screen_x, &screen_y);
  }
  SDL_Window* window = SDL_CreateWindow(popup ? "" : (view->caption != nullptr ? view->caption : ""), screen_x,
                                        screen_y, state.width, state.height, flags);
  if (window == nullptr) return MODAL_CANCEL;
  const uint32_t id = SDL_GetWindowID(window);
  SDL_RaiseWindow(window);
  const bool text_was_on = SDL_IsTextInputActive();
  if (view->field != nullptr) SDL_StartTextInput();

  ModalResult result = MODAL_CANCEL;
  bool running = true;
  bool dirty = true;
  while (running) {
    if (dirty) {
      paint(window, state);
      dirty = false;
    }
    // A termination request ends the list as a dismissal; the frame loop then ends the program.
    if (sys_termination_signal() != 0) break;
    // Polled, never waited for: on X11 SDL's blocking wait wakes itself by
    // sending a message to the newest window (this list's) over a second
    // connection to the X server, which orders nothing between its two
    // connections. A wake-up still in flight when the list's window is
    // destroyed then reaches no window, and the BadWindow error of that
    // XSendEvent ends the program (Xlib's default error handler exits).
    SDL_Event e;
    if (!SDL_PollEvent(&e)) {
      SDL_Delay(kPollMs);
      continue;
    }
    switch (e.type) {
      case SDL_QUIT:
        running = false;
        break;
      case SDL_WINDOWEVENT:
        if (e.window.windowID != id) break;
        if (e.window.event == SDL_WINDOWEVENT_CLOSE) running = false;
        if (popup && e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) running = false;
        if (e.window.event == SDL_WINDOWEVENT_EXPOSED) dirty = true;
        break;
      case SDL_MOUSEMOTION:
        if (e.motion.windowID == id) {
          int64_t row = row_at(state, e.motion.y);
          if (row != state.highlight && row >= 0) {
            state.highlight = row;
            dirty = true;
          }
        }
        break;
      case SDL_MOUSEWHEEL:
        if (e.wheel.windowID == id) {
          const int64_t top = static_cast<int64_t>(state.top) - e.wheel.y * 3;
          const int64_t last = std::max<int64_t>(0, static_cast<int64_t>(view->row_count) - state.visible_rows);
          state.top = static_cast<uint64_t>(std::clamp<int64_t>(top, 0, last));
          dirty = true;
        }
        break;
      case SDL_MOUSEBUTTONUP:
        if (e.button.windowID != id) {
          if (popup) running = false;  // a click elsewhere dismisses a popup
          break;
        }
        if (e.button.button == SDL_BUTTON_LEFT || e.button.button == SDL_BUTTON_RIGHT) {
          const int64_t row = row_at(state, e.button.y);
          if (row >= 0 && (popup || e.button.clicks >= 2 || view->single_click)) {
            *chosen = static_cast<uint64_t>(row);
            result = MODAL_ROW;
            running = false;
          } else if (row >= 0) {
            state.highlight = row;
            dirty = true;
          }
        }
        break;
      case SDL_TEXTINPUT:
        if (e.text.windowID == id && view->field != nullptr) {
          size_t length = std::strlen(view->field);
          for (const char* p = e.text.text; *p != '\0' && length + 1 < view->field_size; ++p) {
            if (*p == '/') continue;
            view->field[length++] = *p;
          }
          view->field[length] = '\0';
          dirty = true;
        }
        break;
      case SDL_KEYDOWN:
        if (e.key.windowID != id) break;
        switch (e.key.keysym.sym) {
          case SDLK_ESCAPE:
            running = false;
            break;
          case SDLK_UP:
            if (state.highlight > 0) --state.highlight;
            keep_visible(&state);
            dirty = true;
            break;
          case SDLK_DOWN:
            if (state.highlight + 1 < static_cast<int64_t>(view->row_count)) ++state.highlight;
            keep_visible(&state);
            dirty = true;
            break;
          case SDLK_BACKSPACE:
            if (view->field != nullptr && view->field[0] != '\0') {
              size_t length = std::strlen(view->field);
              // Remove one whole UTF-8 character.
              do {
                --length;
              } while (length > 0 && (static_cast<unsigned char>(view->field[length]) & 0xC0) == 0x80);
              view->field[length] = '\0';
              dirty = true;
            } else if (view->back_row < view->row_count) {
              *chosen = view->back_row;
              result = MODAL_ROW;
              running = false;
            }
            break;
          case SDLK_RETURN:
          case SDLK_KP_ENTER:
            if (view->field != nullptr && view->field[0] != '\0') {
              result = MODAL_FIELD;
              running = false;
            } else if (state.highlight >= 0) {
              *chosen = static_cast<uint64_t>(state.highlight);
              result = MODAL_ROW;
              running = false;
            }
            break;
          default:
            break;
        }
        break;
      default:
        break;
    }
  }
  if (view->field != nullptr && !text_was_on) SDL_StopTextInput();
  SDL_DestroyWindow(window);
  if (parent != nullptr) SDL_RaiseWindow(parent);
  // Events the owner window received meanwhile belong to the modal time: drop the pointer ones.
  SDL_FlushEvents(SDL_MOUSEMOTION, SDL_MOUSEWHEEL);
  return result;
}
