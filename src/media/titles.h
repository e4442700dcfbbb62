// Text titles drawn over a picture, as the previews and the export show them.
#pragma once

#include <cstdint>

#include "base/rect.h"

struct Painter;
struct Project;
struct Title;

// The dark outline every title's text gets, and its width outside the glyphs
// in the units the titles are laid out in.
constexpr uint32_t KELVRA_TITLE_OUTLINE = 0x000000;
constexpr double KELVRA_TITLE_OUTLINE_WIDTH = 1.0;

// A title colour: "#" and exactly six hexadecimal digits.
bool kelvra_title_color(const char* text, uint32_t* rgb);
// The box of `title` placed in `rect`: 170 x 30 units centred on its point.
Rect kelvra_title_box(const Title* title, Rect rect);
// The titles of `project` shown at timeline time `t`, placed in `rect` (a
// canvas laid out 480 units high).
void kelvra_draw_titles(Painter* painter, const Project* project, double t, Rect rect);
