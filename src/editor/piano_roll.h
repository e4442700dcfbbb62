// The piano-roll editor of the Audio tab.
#pragma once

#include <cstdint>

#include "base/rect.h"

struct KelvraApp;
struct UiInput;

// The piano roll's rectangles, from the main panel.
struct RollLayout {
  Rect rolls;          // the stacked roll bands
  Rect scroll_track;
  Rect ruler;
  Rect add_roll;       // "+ Piano roll"
  Rect to_timeline;    // "+ Timeline": the score (or the selected region) as a music clip
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
// The height of one roll band: a 19-pixel title, then 24 key rows of 9 pixels.
int32_t audio_roll_height();
// The beat under client column x, snapped down to a quarter beat, 0..14399.75.
double audio_beat_at(const KelvraApp* app, const RollLayout* layout, int32_t x);
// The key y pixels below the first key row of `roll`, 0..127.
uint8_t audio_key_at(const KelvraApp* app, uint64_t roll, int32_t y);
// The tempo for tempo-slider column x, 20..400 in whole beats per minute.
double audio_tempo_at(const RollLayout* layout, int32_t x);
// The largest roll_scroll in beats: the score's end plus 16 beats (at least
// 64) less the beats the grid shows, never below 0.
double audio_scroll_limit(const KelvraApp* app, const RollLayout* layout);

// Clears the view state and places each roll's top key above its highest note.
void audio_editor_reset(KelvraApp* app);
void audio_draw(KelvraApp* app);
void audio_draw_roll(KelvraApp* app, const RollLayout* layout, uint64_t roll, int32_t y);
// Offers an event to the editor; true when it took it.
bool audio_editor_input(KelvraApp* app, const UiInput* event);
// A left press: the toolbar, the scroll bar, the ruler, or the rolls.
void audio_editor_press(KelvraApp* app, const RollLayout* layout, const UiInput* event);
// The release that ends a drag: makes the region, the region end or the note it drew.
void audio_editor_finish(KelvraApp* app);
// A press on a toolbar control; true when one took it.
bool audio_editor_toolbar(KelvraApp* app, const RollLayout* layout, const UiInput* event);
// The instrument menu of the selected region at client point x, y.
void audio_editor_menu(KelvraApp* app, int32_t x, int32_t y);
// Sets the tempo (20..400), keeping the playhead and the music clips on their beats.
void audio_editor_tempo(KelvraApp* app, double tempo);
// The beat scroll for a thumb drag to client x.
double scroll_thumb(const KelvraApp* app, const RollLayout* layout, int32_t x);
// The roll and key under the pointer; false off the key rows.
bool piano_point(const KelvraApp* app, const RollLayout* layout, const UiInput* event, uint64_t* roll, uint8_t* key);
