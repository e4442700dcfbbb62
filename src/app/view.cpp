// Drawing the workspace: background, header with meters and buttons, library
// column, main panel, tab strip, the active tab's view, the timeline band and
// the status bar; and the widgets every view uses.
//
// Index:
//   [widgets]  kelvra_fill, kelvra_box, kelvra_dial
//   [header]   kelvra_draw_header, draw_header_meter
//   [library]  kelvra_draw_library
//   [frame]    kelvra_draw
#include <algorithm>
#include <cmath>

#include "app/app.h"
#include "app/workspace.h"
#include "editor/editor.h"
#include "media/video.h"
#include "music/audio_editor.h"
#include "platform/painter.h"

namespace {

constexpr uint32_t kWindowBackground = 0x151817;
constexpr uint32_t kBar = 0x1A201D;
constexpr uint32_t kHeaderLine = 0x313A34;
constexpr uint32_t kBorder = 0x404C44;
constexpr uint32_t kPanel = 0x1D2220;
constexpr uint32_t kSearch = 0x242923;
constexpr uint32_t kSecondaryText = 0xA4B1A9;
constexpr uint32_t kPrimaryText = 0xE7EFEA;
constexpr uint32_t kButton = 0x282F2B;
constexpr uint32_t kActiveBorder = 0xB99B51;
constexpr uint32_t kActiveButton = 0x534521;
constexpr uint32_t kActiveLabel = 0xFFF1C4;
constexpr uint32_t kMeterLabel = 0xA5D8FF;
constexpr uint32_t kMeterTrack = 0x243B4A;
constexpr uint32_t kMeterBar = 0x66AEE3;
constexpr uint32_t kLibraryEdge = 0x344037;
constexpr uint32_t kCard = 0x202923;
constexpr uint32_t kCardPicture = 0x101311;
constexpr uint32_t kSelectedCard = 0xF1CE72;
constexpr uint32_t kCheck = 0x9DE6B8;

constexpr const char* kTabNames[] = {"Sampling", "Timeline", "Text", "Audio", "Render"};
constexpr int32_t kTabWidths[] = {72, 66, 43, 53, 60};

}  // namespace

// ----------------------------------------------------------------- [widgets]

void kelvra_fill(KelvraApp* app, Rect rect, uint32_t rgb) { kelvra_shape(app->painter, rect, 0.0f, rgb); }

void kelvra_box(KelvraApp* app, Rect rect, const char* label, bool active) {
  kelvra_shape(app->painter, rect, 3.0f, active ? kActiveBorder : kBorder);
  kelvra_shape(app->painter, Rect{rect.x + 1, rect.y + 1, rect.width - 2, rect.height - 2}, 2.0f,
               active ? kActiveButton : kButton);
  kelvra_text(app->painter, rect, label, active ? kActiveLabel : kPrimaryText, true);
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
  kelvra_shape(app->painter, Rect{knob_x, knob_y, 4, 4}, 2.0f, 0xF1CE72);
  kelvra_text(app->painter, rect, label, kPrimaryText, true);
}

// ------------------------------------------------------------------ [header]

void draw_header_meter(KelvraApp* app, int32_t x, int32_t width, const Meter* meter) {
  kelvra_text(app->painter, Rect{x, 5, width, 15}, meter->label, kMeterLabel, false);
  kelvra_fill(app, Rect{x, 23, width, 4}, kMeterTrack);
  const double fraction = std::clamp(meter->fraction, 0.0, 1.0);
  kelvra_fill(app, Rect{x, 23, kelvra_round(width * fraction), 4}, kMeterBar);
}

void kelvra_draw_header(KelvraApp* app) {
  const int32_t W = app->layout_width;
  kelvra_fill(app, Rect{0, 0, W, 40}, kBar);
  kelvra_fill(app, Rect{0, 39, W, 1}, kHeaderLine);
  const int32_t f = std::clamp(W - 566, 0, 532);
  kelvra_fill(app, Rect{8, 7, f, 26}, kBorder);
  kelvra_fill(app, Rect{9, 8, f - 2, 24}, kSearch);
  kelvra_text(app->painter, Rect{14, 7, f - 18, 26}, "YouTube link or keywords", kSecondaryText, false);
  draw_header_meter(app, W - 548, 97, &app->buffer_meter);
  draw_header_meter(app, W - 447, 84, &app->memory_meter);
  draw_header_meter(app, W - 359, 68, &app->cpu_meter);
  const Rect open = app->open_button;
  kelvra_box(app, open, "Open", false);
  kelvra_box(app, Rect{open.x - 64, 7, 30, 25}, "↶", false);
  kelvra_box(app, Rect{open.x - 32, 7, 30, 25}, "↷", false);
  if (app->project.embedded_media) kelvra_box(app, Rect{W - 169, 7, 94, 25}, "Embedded", true);
  kelvra_box(app, app->save_button, "Save .pjn", false);
}

// ----------------------------------------------------------------- [library]

void kelvra_draw_library(KelvraApp* app) {
  const int32_t H = app->layout_height;
  kelvra_fill(app, app->library_panel, kBar);
  kelvra_fill(app, Rect{175, 40, 1, H - 62}, kLibraryEdge);
  kelvra_text(app->painter, Rect{6, 43, 155, 21}, "LIBRARY", kSecondaryText, false);
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.source_count; ++i) {
    const int32_t b = 169 + 106 * static_cast<int32_t>(i);
    if (b >= H - 23) break;
    const Source& source = project.sources[i];
    const bool selected = static_cast<int64_t>(i) == app->selected_source;
    kelvra_fill(app, Rect{7, b - 102, 161, 102}, selected ? kSelectedCard : kBorder);
    kelvra_fill(app, Rect{8, b - 101, 159, 100}, kCard);
    const Rect picture{8, b - 101, 159, 80};
    kelvra_fill(app, picture, kCardPicture);
    char path[KELVRA_PATH_SIZE];
    if (selected && kelvra_path(app->media_folder, source.file, path))
      kelvra_video_paint(app->source_video, path, app->painter, picture, false);
    if (source.file[0] != '\0') kelvra_text(app->painter, Rect{11, b - 37, 40, 16}, "✓", kCheck, false);
    kelvra_text(app->painter, Rect{11, b - 22, 153, 20}, source.title, kPrimaryText, false);
  }
}

// ------------------------------------------------------------------- [frame]

void kelvra_draw(KelvraApp* app) {
  const int32_t W = app->layout_width;
  const int32_t H = app->layout_height;
  kelvra_fill(app, Rect{0, 0, W, H}, kWindowBackground);
  kelvra_draw_header(app);
  kelvra_draw_library(app);
  const Rect panel = app->main_panel;
  kelvra_fill(app, panel, kBorder);
  kelvra_fill(app, Rect{panel.x + 1, panel.y + 1, panel.width - 2, panel.height - 2}, kPanel);
  int32_t x = 179;
  for (uint32_t i = 0; i < 5; ++i) {
    kelvra_box(app, Rect{x, 46, kTabWidths[i], 25}, kTabNames[i], i == app->active_tab);
    x += kTabWidths[i];
  }
  switch (app->active_tab) {
    case KELVRA_TAB_SAMPLING: kelvra_draw_sampling(app); break;
    case KELVRA_TAB_TIMELINE: kelvra_draw_monitor(app); break;
    case KELVRA_TAB_AUDIO: audio_draw(app); break;
    default: kelvra_draw_other(app); break;
  }
  kelvra_draw_sequence(app);
  kelvra_fill(app, Rect{0, H - 22, W, 22}, kBar);
  kelvra_fill(app, Rect{0, H - 22, W, 1}, kBorder);
  kelvra_text(app->painter, Rect{6, H - 21, W - 12, 19}, app->status, kSecondaryText, false);
}
