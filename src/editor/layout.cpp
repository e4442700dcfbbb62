// Workspace layout: every shared rectangle from the client size and layout mode.
#include <algorithm>
#include <cmath>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/library.h"
#include "editor/text_tab.h"
#include "editor/workspace.h"

namespace {

constexpr int32_t kTabWidths[KELVRA_TAB_COUNT] = {72, 66, 43, 53, 60};

}  // namespace

int32_t kelvra_round(double value) { return static_cast<int32_t>(std::lround(value)); }

void kelvra_layout(KelvraApp* app) {
  const int32_t W = static_cast<int32_t>(app->client_width);
  const int32_t H = static_cast<int32_t>(app->client_height);
  const int32_t V = std::max(H - 237, 245);
  const int32_t half = (W - 181) / 2;
  const int32_t source_width = app->layout_mode == KELVRA_LAYOUT_SOURCE ? W - 193 : half - 12;
  const int32_t sample_x = app->layout_mode == KELVRA_LAYOUT_EDIT ? 185 : half + 185;
  const double s = std::clamp((W - sample_x - 177) / 303.0, 0.6, 1.0);
  const int32_t c = kelvra_round(303 * s);
  const int32_t name_width = std::clamp((W - sample_x - 11) - c - 92, 22, 180);

  app->main_panel = Rect{178, 71, W - 181, V - 72};
  app->library_panel = Rect{0, 40, 176, H - 62};
  app->source_view = Rect{185, 107, source_width, V - 147};
  app->source_seek_bar = Rect{221, V - 35, source_width - 125, 24};
  app->sample_view = Rect{sample_x, 107, W - sample_x - 11, V - 200};
  app->sample_strip = Rect{sample_x, V - 93, W - sample_x - 11, 53};
  app->clip_name_field = Rect{sample_x + c, V - 35, name_width, 24};
  app->place_button = Rect{sample_x + c + name_width + 5, V - 35, 87, 24};
  app->source_play_button = Rect{190, V - 35, 27, 24};
  // Offsets and widths at full scale; kelvra_sample_control scales them.
  const struct {
    uint32_t control;
    int32_t offset;
    int32_t width;
  } row[] = {{SAMPLE_CONTROL_IN_LABEL, 7, 16}, {SAMPLE_CONTROL_IN, 21, 42},    {SAMPLE_CONTROL_OUT_LABEL, 69, 23},
             {SAMPLE_CONTROL_OUT, 91, 42},     {SAMPLE_CONTROL_VIDEO, 138, 42}, {SAMPLE_CONTROL_AUDIO, 184, 44},
             {SAMPLE_CONTROL_CUT, 232, 32},    {SAMPLE_CONTROL_LOOP, 268, 32},  {SAMPLE_CONTROL_MODE, 232, 68}};
  app->control_scale = s;
  for (const auto& control : row)
    kelvra_sample_control(&app->sample_controls[control.control], app, control.offset, control.width);
  const int32_t sample_right = W - 11;
  app->before_button = Rect{sample_right - 103, 81, 53, 24};
  app->after_button = Rect{sample_right - 46, 81, 45, 24};
  app->clip_lanes = Rect{212, V + 31, W - 217, 130};
  app->timeline_toolbar = Rect{178, V, W - 181, 30};
  app->open_button = Rect{W - 219, 7, 46, 25};
  app->save_button = Rect{W - 72, 7, 65, 25};
  app->undo_button = Rect{app->open_button.x - 64, 7, 30, 25};
  app->redo_button = Rect{app->open_button.x - 32, 7, 30, 25};
  int32_t tab_x = 179;
  for (uint32_t i = 0; i < KELVRA_TAB_COUNT; ++i) {
    app->tab_buttons[i] = Rect{tab_x, 46, kTabWidths[i], 25};
    tab_x += kTabWidths[i];
  }
  const Rect toolbar = app->timeline_toolbar;
  const int32_t centre = toolbar.x + toolbar.width / 2;
  const int32_t button_y = toolbar.y + 3;
  app->layout_buttons[KELVRA_LAYOUT_SPLIT] = Rect{centre - 76, button_y, 42, 24};
  app->layout_buttons[KELVRA_LAYOUT_SOURCE] = Rect{centre - 31, button_y, 55, 24};
  app->layout_buttons[KELVRA_LAYOUT_EDIT] = Rect{centre + 27, button_y, 50, 24};
  app->split_button = Rect{centre - 193, button_y, 49, 24};
  app->duplicate_button = Rect{centre - 140, button_y, 68, 24};
  app->remove_button = Rect{centre - 68, button_y, 61, 24};
  app->timeline_play_button = Rect{centre - 3, button_y, 65, 24};
  app->export_button = Rect{centre + 66, button_y, 72, 24};
  app->canvases_button = Rect{toolbar.x + toolbar.width - 153, button_y, 89, 24};
  app->follow_button = Rect{toolbar.x + toolbar.width - 57, button_y, 56, 24};
  app->snap_button = Rect{toolbar.x + toolbar.width - 211, button_y, 54, 24};
  const Rect lanes = app->clip_lanes;
  const int32_t B = lanes.y + lanes.height;
  Rect* controls = app->clip_controls;
  controls[SEQUENCE_CUT] = Rect{183, B + 12, 35, 32};
  controls[SEQUENCE_LOOP] = Rect{222, B + 12, 30, 32};
  controls[SEQUENCE_FEWER] = Rect{261, B + 15, 23, 25};
  controls[SEQUENCE_LOOPS] = Rect{286, B + 15, 50, 25};
  controls[SEQUENCE_MORE] = Rect{338, B + 15, 23, 25};
  controls[SEQUENCE_POSITION] = Rect{371, B + 15, 147, 25};
  controls[SEQUENCE_FADE_IN] = Rect{534, B + 11, 35, 35};
  controls[SEQUENCE_FADE_OUT] = Rect{575, B + 11, 35, 35};
  controls[SEQUENCE_GAIN] = Rect{616, B + 11, 39, 35};
  controls[SEQUENCE_VIDEO] = Rect{659, B + 15, 30, 25};
  controls[SEQUENCE_AUDIO] = Rect{693, B + 15, 29, 25};
  controls[SEQUENCE_SCROLL] = Rect{lanes.x, B, lanes.width, 7};
  app->library_rows = Rect{0, 67, 176, H - 89};
  app->timeline_top = V;
  app->layout_width = W;
  app->layout_height = H;
  app->pixels_per_second = app->band_pps > 0 ? app->band_pps : 40;
  kelvra_monitor_area(&app->monitor_area, app);
  kelvra_inset_control(&app->inset_button, app);
  kelvra_library_layout(app);  // the cards the search lets through, the scroll bar, the search field
  kelvra_text_layout(app);
}
