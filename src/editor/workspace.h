// The workspace: shared rectangles recomputed from the client size every
// frame, the parts of the window that belong to no editor (background,
// header, library column, tab strip, status bar), and the basic widgets.
#pragma once

#include <cstdint>

#include "base/rect.h"

struct KelvraApp;
struct Meter;

void kelvra_layout(KelvraApp* app);
void kelvra_draw(KelvraApp* app);
void kelvra_draw_header(KelvraApp* app);
void kelvra_draw_library(KelvraApp* app);
void draw_header_meter(KelvraApp* app, int32_t x, int32_t width, const Meter* meter);

void kelvra_fill(KelvraApp* app, Rect rect, uint32_t rgb);
// A button: rounded border, interior, centred label.
void kelvra_box(KelvraApp* app, Rect rect, const char* label, bool active);
// A rotary dial showing a 0..1 value, with its label.
void kelvra_dial(KelvraApp* app, Rect rect, double value, const char* label);

// Rounds halves away from zero, as everywhere in the workspace.
int32_t kelvra_round(double value);
