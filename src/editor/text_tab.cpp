// The Text tab: its buttons, the primary canvas with the titles at the
// playhead, the list of the project's titles, and the edits of titles.
//
// Index:
//   [layout]  kelvra_text_layout
//   [edit]    kelvra_title_add, _delete, _color_begin, _color_chosen
//   [draw]    kelvra_text_draw
//   [input]   kelvra_text_press, kelvra_text_drag
#include "editor/text_tab.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/clip_name.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/workspace.h"
#include "media/titles.h"
#include "platform/clock.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

constexpr uint32_t kCanvasBackground = 0x090B0A;
constexpr uint64_t kDoubleClickMs = 419;
constexpr double kNewTitleSeconds = 3.0;
constexpr uint64_t kListedTitles = 20;

struct ButtonSpec {
  uint32_t id;
  int32_t width;
  const char* label;
};
constexpr ButtonSpec kButtons[] = {{TEXT_ADD, 70, "+ Title"},
                                   {TEXT_COLOR, 92, "Text colour"},
                                   {TEXT_BOX_COLOR, 88, "Box colour"},
                                   {TEXT_NO_BOX, 64, "No box"},
                                   {TEXT_DELETE, 62, "Delete"}};

Rect text_area(const KelvraApp* app) { return Rect{185, 78, app->layout_width - 382, app->timeline_top - 116}; }

Rect list_row(const KelvraApp* app, uint64_t i) {
  return Rect{app->layout_width - 185, 106 + 21 * static_cast<int32_t>(i), 158, 21};
}

Title* selected_title(KelvraApp* app) {
  return static_cast<uint64_t>(app->selected_title) < app->project.title_count
             ? &app->project.titles[app->selected_title]
             : nullptr;
}

bool showing(const Title& title, double t) { return title.at <= t && t < title.at + title.duration; }

// The title whose box is under the pointer on the canvas, the one drawn last first; -1 for none.
int64_t title_under(const KelvraApp* app, const UiInput* event) {
  const Project& project = app->project;
  for (uint64_t i = project.title_count; i-- > 0;) {
    const Title& title = project.titles[i];
    if (showing(title, app->timeline_playhead) && kelvra_hit(kelvra_title_box(&title, app->title_canvas), event))
      return static_cast<int64_t>(i);
  }
  return -1;
}

void frame(KelvraApp* app, Rect box, uint32_t rgb) {
  kelvra_fill(app, Rect{box.x - 2, box.y - 2, box.width + 4, 1}, rgb);
  kelvra_fill(app, Rect{box.x - 2, box.y + box.height + 1, box.width + 4, 1}, rgb);
  kelvra_fill(app, Rect{box.x - 2, box.y - 2, 1, box.height + 4}, rgb);
  kelvra_fill(app, Rect{box.x + box.width + 1, box.y - 2, 1, box.height + 4}, rgb);
}

}  // namespace

// ------------------------------------------------------------------ [layout]

void kelvra_text_layout(KelvraApp* app) {
  const Rect area = text_area(app);
  int32_t x = area.x + 4;
  for (const ButtonSpec& button : kButtons) {
    app->title_buttons[button.id] = Rect{x, area.y + 3, button.width, 24};
    x += button.width + 4;
  }
  app->title_canvas = Rect{};
  app->title_field = Rect{};
  if (area.width < 40 || area.height < 80) return;
  kelvra_canvas_rect(&app->title_canvas, &app->project, Rect{area.x + 4, area.y + 31, area.width - 8, area.height - 35});
  if (app->name_editing && app->name_for_title && app->name_clip < app->project.title_count)
    app->title_field = kelvra_title_box(&app->project.titles[app->name_clip], app->title_canvas);
}

// -------------------------------------------------------------------- [edit]

void kelvra_title_add(KelvraApp* app) {
  Project& project = app->project;
  if (project.title_count >= PROJECT_MAX_ROWS) {
    kelvra_status(app, "The project holds 256 titles, the most it can.");
    return;
  }
  if (!kelvra_history_begin(app)) return;
  const uint64_t index = project.title_count;
  Title& title = project.titles[index];
  title = Title{};
  std::snprintf(title.text, sizeof title.text, "Title");
  std::snprintf(title.color, sizeof title.color, "#ffffff");
  title.at = app->timeline_playhead;
  title.duration = kNewTitleSeconds;
  title.x = 0.5;
  title.y = 0.82;
  title.json_index = KELVRA_NONE;
  project.title_count = index + 1;
  app->selected_title = static_cast<int64_t>(index);
  kelvra_sequence_end(app);
  kelvra_title_edit_begin(app, index);
  kelvra_text_layout(app);
  kelvra_status(app, "Added a title at the playhead: type its text, then press Enter.");
}

void kelvra_title_delete(KelvraApp* app) {
  Project& project = app->project;
  if (selected_title(app) == nullptr || !kelvra_history_begin(app)) return;
  const uint64_t index = static_cast<uint64_t>(app->selected_title);
  std::memmove(&project.titles[index], &project.titles[index + 1], (project.title_count - index - 1) * sizeof(Title));
  project.title_count -= 1;
  app->selected_title = -1;
  kelvra_sequence_end(app);
  kelvra_status(app, "Removed the title.");
}

void kelvra_title_color_begin(KelvraApp* app, uint32_t which) {
  const Title* title = selected_title(app);
  if (title == nullptr) {
    kelvra_status(app, "Select a title first: press its box on the canvas or its name in the list.");
    return;
  }
  if (app->file_dialog != KELVRA_DIALOG_NONE) return;
  uint32_t rgb = which == KELVRA_DIALOG_TITLE_BOX ? 0x000000 : PALETTE_PRIMARY_TEXT;
  kelvra_title_color(which == KELVRA_DIALOG_TITLE_BOX ? title->background : title->color, &rgb);
  app->color_title = static_cast<uint64_t>(app->selected_title);
  UiDialogAnswer answer{};
  const uint32_t state = ui_color_dialog_begin(app->window, rgb, &answer);
  if (state == UI_DIALOG_WAITING) {
    // Until the chooser answers the window takes no input but its close.
    app->file_dialog = which;
    app->drag_kind = KELVRA_DRAG_NONE;
    app->pending_deselect = 0;
  } else if (state == UI_DIALOG_CHOSEN) {
    kelvra_title_color_chosen(app, which, answer.rgb);
  } else {
    kelvra_status(app, "No colour was chosen (the chooser needs zenity or kdialog).");
  }
}

void kelvra_title_color_chosen(KelvraApp* app, uint32_t which, uint32_t rgb) {
  if (app->color_title >= app->project.title_count) return;
  char text[16];
  std::snprintf(text, sizeof text, "#%06x", rgb & 0xFFFFFF);
  Title* title = &app->project.titles[app->color_title];
  char* field = which == KELVRA_DIALOG_TITLE_BOX ? title->background : title->color;
  if (std::strcmp(field, text) == 0 || !kelvra_history_begin(app)) return;
  title = &app->project.titles[app->color_title];
  field = which == KELVRA_DIALOG_TITLE_BOX ? title->background : title->color;
  std::memcpy(field, text, sizeof text);
  app->needs_redraw = 1;
}

// -------------------------------------------------------------------- [draw]

void kelvra_text_draw(KelvraApp* app) {
  const Rect area = text_area(app);
  kelvra_fill(app, area, PALETTE_PICTURE);
  const Title* selected = selected_title(app);
  for (const ButtonSpec& button : kButtons) {
    const Rect rect = app->title_buttons[button.id];
    kelvra_box(app, rect, button.label, false);
    uint32_t swatch = 0;
    if (selected == nullptr) continue;
    if (button.id == TEXT_COLOR && kelvra_title_color(selected->color, &swatch))
      kelvra_fill(app, Rect{rect.x + rect.width - 12, rect.y + 8, 8, 8}, swatch);
    if (button.id == TEXT_BOX_COLOR && kelvra_title_color(selected->background, &swatch))
      kelvra_fill(app, Rect{rect.x + rect.width - 12, rect.y + 8, 8, 8}, swatch);
  }
  const Rect canvas = app->title_canvas;
  if (canvas.width > 0 && canvas.height > 0) {
    kelvra_fill(app, canvas, kCanvasBackground);
    kelvra_compose_primary(app, canvas);
    kelvra_draw_titles(app->painter, &app->project, app->timeline_playhead, canvas);
    if (selected != nullptr && showing(*selected, app->timeline_playhead))
      frame(app, kelvra_title_box(selected, canvas), PALETTE_SELECTED);
    kelvra_title_field_draw(app, app->title_field);
  }
  const int32_t W = app->layout_width;
  kelvra_text(app->painter, Rect{W - 185, 80, 160, 23}, "Saved titles", PALETTE_SECONDARY_TEXT, false);
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.title_count && i < kListedTitles; ++i) {
    const Rect row = list_row(app, i);
    if (static_cast<int64_t>(i) == app->selected_title) kelvra_fill(app, row, PALETTE_ACTIVE_BUTTON);
    kelvra_text(app->painter, row, project.titles[i].text, PALETTE_PRIMARY_TEXT, false);
  }
}

// ------------------------------------------------------------------- [input]

bool kelvra_text_press(KelvraApp* app, const UiInput* event) {
  if (app->active_tab != KELVRA_TAB_TEXT || event->pointer != UI_POINTER_PRESS) return false;
  const Rect* buttons = app->title_buttons;
  if (kelvra_hit(buttons[TEXT_ADD], event)) {
    kelvra_title_add(app);
    return true;
  }
  if (kelvra_hit(buttons[TEXT_COLOR], event)) {
    kelvra_title_color_begin(app, KELVRA_DIALOG_TITLE_COLOR);
    return true;
  }
  if (kelvra_hit(buttons[TEXT_BOX_COLOR], event)) {
    kelvra_title_color_begin(app, KELVRA_DIALOG_TITLE_BOX);
    return true;
  }
  if (kelvra_hit(buttons[TEXT_NO_BOX], event)) {
    Title* title = selected_title(app);
    if (title != nullptr && title->background[0] != '\0' && kelvra_history_begin(app))
      selected_title(app)->background[0] = '\0';
    return true;
  }
  if (kelvra_hit(buttons[TEXT_DELETE], event)) {
    kelvra_title_delete(app);
    return true;
  }
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.title_count && i < kListedTitles; ++i) {
    if (!kelvra_hit(list_row(app, i), event)) continue;
    app->selected_title = static_cast<int64_t>(i);
    app->timeline_playhead = project.titles[i].at;  // its box shows on the canvas
    kelvra_seek(app);
    return true;
  }
  if (kelvra_hit(app->title_canvas, event)) {
    const int64_t hit = title_under(app, event);
    if (hit < 0) {
      app->selected_title = -1;
      return true;
    }
    const uint64_t now = ui_time_ms();
    const bool twice = app->title_click == hit && now - app->title_click_ms <= kDoubleClickMs;
    app->selected_title = hit;
    app->title_click = hit;
    app->title_click_ms = twice ? 0 : now;
    if (twice) {
      kelvra_title_edit_begin(app, static_cast<uint64_t>(hit));
      kelvra_text_layout(app);
      return true;
    }
    const Title& title = project.titles[hit];
    app->drag_kind = KELVRA_DRAG_TITLE_MOVE;
    app->press_x = event->x;
    app->press_y = event->y;
    app->drag_start_in = title.x;
    app->drag_start_out = title.y;
    return true;
  }
  return kelvra_hit(text_area(app), event);
}

void kelvra_text_drag(KelvraApp* app, const UiInput* event) {
  Title* title = selected_title(app);
  const Rect canvas = app->title_canvas;
  if (title == nullptr || canvas.width <= 0 || canvas.height <= 0) return;
  const double x = app->drag_start_in + static_cast<double>(event->x - app->press_x) / canvas.width;
  const double y = app->drag_start_out + static_cast<double>(event->y - app->press_y) / canvas.height;
  title->x = std::clamp(std::round(x * 1000) / 1000, 0.0, 1.0);
  title->y = std::clamp(std::round(y * 1000) / 1000, 0.0, 1.0);
  app->dirty = 1;
}
