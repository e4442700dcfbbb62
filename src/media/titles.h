// Text titles drawn over a picture, as the previews and the export show them.
#pragma once

#include <cstdint>

#include "base/rect.h"

struct Painter;
struct Project;

// A title colour: "#" and exactly six hexadecimal digits.
bool kelvra_title_color(const char* text, uint32_t* rgb);
// The titles of `project` shown at timeline time `t`, placed in `rect` (a
// canvas laid out 480 units high).
void kelvra_draw_titles(Painter* painter, const Project* project, double t, Rect rect);
