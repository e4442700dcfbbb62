// Names for the clip controls that show only an icon or a dial: the one the
// pointer rests on says what it is in a small box above it.
#include <cstring>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

struct Tip {
  uint32_t control;
  const char* text;
};

const Tip kTips[] = {
    {SEQUENCE_CUT, "Cut: play the range once"},
    {SEQUENCE_LOOP, "Loop: repeat the range"},
    {SEQUENCE_FADE_IN, "Fade in (drag up or down)"},
    {SEQUENCE_FADE_OUT, "Fade out (drag up or down)"},
    {SEQUENCE_GAIN, "Gain in dB (drag up or down)"},
    {SEQUENCE_VIDEO, "Video: show the clip's pictures"},
    {SEQUENCE_AUDIO, "Audio: sound the clip"},
};

}  // namespace

const char* kelvra_tooltip_text(uint32_t control) {
  for (const Tip& tip : kTips)
    if (tip.control + 1 == control) return tip.text;
  return nullptr;
}

void kelvra_hover(KelvraApp* app, bool over, int32_t x, int32_t y) {
  uint32_t under = 0;
  const bool controls = over && app->active_tab == KELVRA_TAB_TIMELINE && app->project.clip_count > 0 &&
                        app->drag_kind == KELVRA_DRAG_NONE;
  for (const Tip& tip : kTips) {
    const Rect r = app->clip_controls[tip.control];
    if (controls && x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) under = tip.control + 1;
  }
  if (under != app->hover_control) app->needs_redraw = 1;
  app->hover_control = under;
}

void kelvra_draw_tooltip(KelvraApp* app) {
  const char* text = kelvra_tooltip_text(app->hover_control);
  if (text == nullptr || app->active_tab != KELVRA_TAB_TIMELINE) return;
  const Rect control = app->clip_controls[app->hover_control - 1];
  const int32_t width = static_cast<int32_t>(std::strlen(text)) * 7 + 12;
  int32_t x = control.x + control.width / 2 - width / 2;
  if (x + width > app->layout_width - 4) x = app->layout_width - 4 - width;
  if (x < 4) x = 4;
  const Rect box{x, control.y - 26, width, 22};
  kelvra_shape(app->painter, box, 3.0f, PALETTE_BORDER);
  kelvra_shape(app->painter, Rect{box.x + 1, box.y + 1, box.width - 2, box.height - 2}, 2.0f, PALETTE_BAR);
  kelvra_text(app->painter, box, text, PALETTE_PRIMARY_TEXT, true);
}
