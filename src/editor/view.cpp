// Drawing the workspace: background, header with meters and buttons, library
// column, main panel, tab strip, the active tab's view, the timeline band and
// the status bar; and the widgets every view uses.
//
// Index:
//   [widgets]  kelvra_fill, kelvra_box, kelvra_dial
//   [header]   kelvra_draw_header, draw_header_meter
//   (the library column and the search field: library_draw.cpp)
//   [frame]    kelvra_draw
#include <algorithm>
#include <cmath>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/library.h"
#include "editor/piano_roll.h"
#include "editor/render_tab.h"
#include "editor/workspace.h"
#include "export/render.h"
#include "media/video.h"
#include "platform/painter.h"

namespace {

constexpr const char* kTabNames[KELVRA_TAB_COUNT] = {"Sampling", "Timeline", "Text", "Audio", "Render"};

}  // namespace

// ----------------------------------------------------------------- [widgets]

void kelvra_fill(KelvraApp* app, Rect rect, uint32_t rgb) { kelvra_shape(app->painter, rect, 0.0f, rgb); }

void kelvra_box(KelvraApp* app, Rect rect, const char* label, bool active) {
  kelvra_shape(app->painter, rect, 3.0f, active ? PALETTE_ACTIVE_BORDER : PALETTE_BORDER);
  kelvra_shape(app->painter, Rect{rect.x + 1, rect.y + 1, rect.width - 2, rect.height - 2}, 2.0f,
               active ? PALETTE_ACTIVE_BUTTON : PALETTE_BUTTON);
  kelvra_text(app->painter, rect, label, active ? PALETTE_ACTIVE_LABEL : PALETTE_PRIMARY_TEXT, true);
}

void kelvra_dial(KelvraApp* app, Rect rect, double value, const char* label) {
  const int32_t m = std::min(rect.width, rect.height);
  const int32_t left = rect.x + (rect.width - m) / 2;
  const int32_t top = rect.y + (rect.height - m) / 2;
  kelvra_shape(app->painter, Rect{left, top, m, m}, m / 2.0f, 0x47554C);
  kelvra_shape(app->painter, Rect{left + 2, top + 2, m - 4, m - 4}, (m - 4) / 2.0f, 0x252F29);
  const double angle = (std::clamp(value, 0.0, 1.0) * 270.0 + 135.0) * M_PI / 180.0;
  const int32_t r = m / 2 - 2;
  const int32_t knob_x = left + m / 2 + kelvra_round(std::cos(angle) * r) - 2;
  const int32_t knob_y = top + m / 2 + kelvra_round(std::sin(angle) * r) - 2;
  kelvra_shape(app->painter, Rect{knob_x, knob_y, 4, 4}, 2.0f, PALETTE_SELECTED);
  kelvra_text(app->painter, rect, label, PALETTE_PRIMARY_TEXT, true);
}

// ------------------------------------------------------------------ [header]

void draw_header_meter(KelvraApp* app, int32_t x, int32_t width, const Meter* meter) {
  kelvra_text(app->painter, Rect{x, 5, width, 15}, meter->label, PALETTE_METER_LABEL, false);
  kelvra_fill(app, Rect{x, 23, width, 4}, PALETTE_METER_TRACK);
  const double fraction = std::clamp(meter->fraction, 0.0, 1.0);
  kelvra_fill(app, Rect{x, 23, kelvra_round(width * fraction), 4}, PALETTE_METER_BAR);
}

void kelvra_draw_header(KelvraApp* app) {
  const int32_t W = app->layout_width;
  kelvra_fill(app, Rect{0, 0, W, 40}, PALETTE_BAR);
  kelvra_fill(app, Rect{0, 39, W, 1}, PALETTE_HEADER_LINE);
  kelvra_draw_search(app);
  draw_header_meter(app, W - 548, 97, &app->buffer_meter);
  draw_header_meter(app, W - 447, 84, &app->memory_meter);
  draw_header_meter(app, W - 359, 68, &app->cpu_meter);
  kelvra_box(app, app->open_button, "Open", false);
  kelvra_box(app, app->undo_button, "↶", false);
  kelvra_box(app, app->redo_button, "↷", false);
  if (app->project.embedded_media) kelvra_box(app, Rect{W - 169, 7, 94, 25}, "Embedded", true);
  kelvra_box(app, app->save_button, "Save .pjn", false);
}

// ------------------------------------------------------------------- [frame]

void kelvra_draw(KelvraApp* app) {
  const int32_t W = app->layout_width;
  const int32_t H = app->layout_height;
  kelvra_fill(app, Rect{0, 0, W, H}, PALETTE_WINDOW);
  kelvra_draw_header(app);
  kelvra_draw_library(app);
  const Rect panel = app->main_panel;
  kelvra_fill(app, panel, PALETTE_BORDER);
  kelvra_fill(app, Rect{panel.x + 1, panel.y + 1, panel.width - 2, panel.height - 2}, PALETTE_PANEL);
  for (uint32_t i = 0; i < KELVRA_TAB_COUNT; ++i)
    kelvra_box(app, app->tab_buttons[i], kTabNames[i], i == app->active_tab);
  switch (app->active_tab) {
    case KELVRA_TAB_SAMPLING: kelvra_draw_sampling(app); break;
    case KELVRA_TAB_TIMELINE: kelvra_draw_monitor(app); break;
    case KELVRA_TAB_AUDIO: audio_draw(app); break;
    case KELVRA_TAB_RENDER: kelvra_render_draw(app); break;
    default: kelvra_draw_other(app); break;
  }
  kelvra_draw_sequence(app);
  kelvra_fill(app, Rect{0, H - 22, W, 22}, PALETTE_BAR);
  kelvra_fill(app, Rect{0, H - 22, W, 1}, PALETTE_BORDER);
  kelvra_text(app->painter, Rect{6, H - 21, W - 12, 19}, app->status, PALETTE_SECONDARY_TEXT, false);
  kelvra_draw_tooltip(app);
}
