// Editing on the band: trimming a clip by its edges, splitting the selected
// clip at the playhead, deleting it, zooming around the pointer, stepping the
// position with the wheel, typing the clip controls' numbers, and setting a
// title's span by its box on the titles row. Also what the band draws along
// its clips: fades, loop boundaries, a sound's waveform and a video's pictures.
#pragma once

#include <cstdint>

#include "base/rect.h"

struct KelvraApp;
struct UiInput;

constexpr double BAND_MIN_PPS = 2.0;    // the whole band spans many minutes
constexpr double BAND_MAX_PPS = 480.0;  // a frame at 30 per second is 16 px wide
constexpr double BAND_MIN_PASS = 0.04;  // the shortest range a trim leaves, a little over a frame

// A press on the lanes: a clip's edge starts a trim, a title's box on the
// titles row a change of its span; false when the press is none of these.
bool kelvra_band_press(KelvraApp* app, const UiInput* event);
// The trim and title-span drags (KELVRA_DRAG_TRIM_*, KELVRA_DRAG_TITLE_START, _END, _SHIFT).
void kelvra_band_drag(KelvraApp* app, const UiInput* event);
// The drag kind a press at the pointer would start on the band (for the cursor), or KELVRA_DRAG_NONE.
uint32_t kelvra_band_handle(const KelvraApp* app, const UiInput* event);

// Cuts the selected clip at the playhead into clips that play as it did.
void kelvra_band_split(KelvraApp* app);
// Removes the selected title on the Text tab, else the selected clip.
void kelvra_band_delete(KelvraApp* app);
// Ctrl+wheel over the lanes: zooms around the pointer; true when taken.
bool kelvra_band_zoom(KelvraApp* app, const UiInput* event);
// The wheel over the position control: steps the selected clip's start; true when taken.
bool kelvra_band_wheel(KelvraApp* app, const UiInput* event);

// A double-click on a number of the clip controls (position, fades, gain,
// loop count) opens a field to type it in; true when the press was taken.
bool kelvra_number_press(KelvraApp* app, const UiInput* event);
// Offers an event to the open number field; true when the field consumed it.
bool kelvra_number_input(KelvraApp* app, const UiInput* event);

// Fades, loop boundaries, waveform and pictures of clip `index` over the
// visible part [left, right) of its box starting at x on the row at y.
void kelvra_band_decorate(KelvraApp* app, uint64_t index, int32_t x, int32_t left, int32_t right, int32_t y);
// The number field over its control, when one is open.
void kelvra_band_overlay(KelvraApp* app);
// Notes pictures and waveforms that arrived since the last frame (asks for a redraw).
void kelvra_band_poll(KelvraApp* app);
