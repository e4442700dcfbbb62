// The piano-roll editor of the Audio tab.
#pragma once

#include "base/rect.h"

struct KelvraApp;
struct UiInput;

// The piano roll's rectangles, from the main panel.
struct RollLayout {
  Rect rolls;          // the stacked roll bands
  Rect scroll_track;
  Rect ruler;
  Rect add_roll;       // "+ Piano roll"
  Rect play;
  Rect metronome;
  Rect position;
  Rect tempo;
  Rect tempo_slider;
  Rect mode;
  Rect duplicate;
  Rect instrument;
  Rect zoom_out;
  Rect zoom_in;
  int32_t grid_x;      // the note grid's horizontal extent
  int32_t grid_width;
};

void audio_layout(RollLayout* out, const KelvraApp* app);
// The largest roll_scroll in beats: the score's end plus 16 beats (at least
// 64) less the beats the grid shows, never below 0.
double audio_scroll_limit(const KelvraApp* app, const RollLayout* layout);

// Clears the view state and places each roll's top key above its highest note.
void audio_editor_reset(KelvraApp* app);
void audio_draw(KelvraApp* app);
// Offers an event to the editor; true when it took it.
bool audio_editor_input(KelvraApp* app, const UiInput* event);
